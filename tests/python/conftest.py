# SPDX-License-Identifier: Apache-2.0
"""Fixtures of the binding's tests: the real manager and a fake one.

Run inside tools/sandbox only (the manager uses the fixed paths /run, /tmp and
/var/run, and the fixed ports), with VORNMGRD, VORNMGRCTL and VORN_LAYOUT
naming the built programs (cmake/libvornmgr.cmake sets them).
"""

import os
import shutil
import subprocess
import time

import pytest

if os.environ.get("SANDBOX") != "1":
    pytest.exit("run the binding's tests inside tools/sandbox", returncode=2)

OPERATOR_SOCKET = "/run/vornmgr_cli.sock"
STARTUP_FILE = "/tmp/.vornmgrd.startup.conf"
RUN_DIR = "/run/vornmgr"


def wait_until(predicate, seconds=10.0):
    """Polls every 20 ms until predicate() is true or the bound passes."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class Manager:
    """A real vornmgrd, its log and the operator tool."""

    def __init__(self, log_path):
        # A startup file or a runtime directory left by an earlier manager
        # would make this one a restarted manager that first waits for its
        # modules, and brings up again whoever its predecessor left down.
        for path in (STARTUP_FILE, OPERATOR_SOCKET):
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(RUN_DIR, ignore_errors=True)
        self.log_path = log_path
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen([os.environ["VORNMGRD"]], stderr=log, stdout=log)
        assert wait_until(lambda: os.path.exists(OPERATOR_SOCKET)), self.log()

    def log(self):
        with open(self.log_path, errors="replace") as log:
            return log.read()

    def ctl(self, *args):
        return subprocess.run([os.environ["VORNMGRCTL"], *args], input="y\n", capture_output=True, text=True,
                              timeout=60)

    def status_row(self, name):
        """The module's row of `vornmgrctl -s`, or None."""
        report = self.ctl("-s").stdout
        return next((line for line in report.splitlines() if line.startswith(f" {name:<16}:")), None)

    def all_threads_stopped(self):
        """Whether every thread of the manager is stopped (by SIGSTOP)."""
        task_dir = f"/proc/{self.process.pid}/task"
        for task in os.listdir(task_dir):
            with open(f"{task_dir}/{task}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] != "T":
                    return False
        return True

    def stop(self):
        self.process.kill()
        self.process.wait()


@pytest.fixture
def manager(tmp_path):
    started = Manager(str(tmp_path / "vornmgrd.log"))
    yield started
    started.stop()


class FakeManager:
    """The manager's two sockets, for the exact bytes a module sends."""

    def __init__(self):
        import zmq
        self.zmq = zmq
        self.context = zmq.Context()
        self.reply = self.context.socket(zmq.REP)
        self.reply.bind("tcp://127.0.0.1:49002")
        # XPUB tells when the module's subscription arrived.
        self.publisher = self.context.socket(zmq.XPUB)
        self.publisher.bind("tcp://127.0.0.1:49012")

    def wait_subscribed(self):
        assert self.publisher.poll(5000), "the module never subscribed"
        self.publisher.recv()

    def answer(self, reply):
        """Receives the next request, answers it with `reply` and returns it."""
        assert self.reply.poll(5000), "no request from the module"
        request = self.reply.recv()
        self.reply.send(reply)
        return request

    def publish(self, package):
        self.publisher.send(package)

    def close(self):
        self.context.destroy(linger=0)


@pytest.fixture
def fake_manager():
    fake = FakeManager()
    yield fake
    fake.close()
