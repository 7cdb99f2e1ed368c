#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""asyncio_module.py - a module of the switch written with asyncio: its
callbacks are coroutines that run on the application's event loop, beside
the rest of the daemon's work, while the vornmgr package (libvornmgr
underneath) waits for their answers on its own thread.

Run: asyncio_module.py [MODULE]   (a name as vornmgr-modsim spells it; stp)
"""
import asyncio
import logging
import signal
import sys

import vornmgr


class Daemon:
    """What the daemon keeps across a take-down: here, a count of its work."""

    def __init__(self, name):
        self.work_done = 0
        self.module = vornmgr.Module(name, self.on_go_down, self.on_come_up, on_before_up=self.on_before_up)

    async def on_before_up(self, mode, modules_up):
        # Before the manager hears "up": restore what the daemon needs. An
        # exception here keeps the module out of up until the next COME_UP.
        logging.info("restoring for %s, modules up: %s", vornmgr.mode_text(mode),
                     " ".join(vornmgr.module_text(m) for m in modules_up) or "none")
        await asyncio.sleep(0)

    async def on_go_down(self, module, mode):
        # Called for every GO_DOWN; only the module named goes down.
        if module == self.module.module:
            logging.info("going down for %s after %d units of work", vornmgr.mode_text(mode), self.work_done)
        return vornmgr.FailureReason.NO_ERROR  # BUSY tells the manager it failed

    async def on_come_up(self, mode):
        logging.info("up again, mode %s", vornmgr.mode_text(mode))

    async def work(self):
        while True:
            await asyncio.sleep(1)
            self.work_done += 1

    async def main(self):
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for signum in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(signum, stop.set)
        started = await self.module.start_async()
        logging.info("up, mode %s", vornmgr.mode_text(started.mode))
        worker = asyncio.create_task(self.work())
        await stop.wait()
        worker.cancel()
        await self.module.stop_async()
        logging.info("stopped")


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s")
    try:
        asyncio.run(Daemon(sys.argv[1] if len(sys.argv) > 1 else "stp").main())
    except (OSError, vornmgr.ProtocolError, vornmgr.BringUpRefused) as error:
        logging.error("cannot start: %s", error)
        sys.exit(1)
