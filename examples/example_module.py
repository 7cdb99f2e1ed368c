#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""example_module.py - how a daemon of the switch written in Python lives with
the lifecycle manager through the vornmgr package (libvornmgr underneath):
register, report load and init complete, answer the broadcasts it owes an
answer, unregister on SIGTERM. The Python twin of example_module.c.

Run: example_module.py [MODULE]   (a name as vornmgr-modsim spells it; stp)
"""
import logging
import signal
import sys

import vornmgr


def on_go_down(module, mode):
    """Called for every GO_DOWN; the module named goes down before answering."""
    if module == me.module:
        logging.info("going down for %s", vornmgr.mode_text(mode))
    return vornmgr.FailureReason.NO_ERROR  # BUSY would tell the manager it failed


def on_come_up(mode):
    logging.info("up again, mode %s", vornmgr.mode_text(mode))


logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s")
me = vornmgr.Module(sys.argv[1] if len(sys.argv) > 1 else "stp", on_go_down, on_come_up)

# Blocked before the library starts its threads, so that every thread inherits
# the mask and the signals wait for sigwait below: the library is not
# signal-safe, a handler could not unregister.
stop_signals = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}
signal.pthread_sigmask(signal.SIG_BLOCK, stop_signals)
try:
    started = me.start()
except (OSError, vornmgr.ProtocolError) as error:
    logging.error("cannot start: %s", error)
    sys.exit(1)
logging.info("registered, mode %s, modules up: %s", vornmgr.mode_text(started.mode),
             " ".join(vornmgr.module_text(m) for m in started.modules_up) or "none")
logging.info("stopping on signal %d", signal.sigwait(stop_signals))
me.stop()
