#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A two-switch fleet (tools/fleet) reached by real SSH with the options of the
inventory it wrote: each switch answers with its own manager, and a warm
restart on sw1 reboots sw1 alone.

  fleet_test.py --build DIR

Runs itself inside the fleet ("tools/fleet run"), then checks from outside
that the fleet left no process and no mount behind. Exit status 0 when every
check held, 1 otherwise (each failed check printed on a FAIL: line).
"""

import argparse
import json
import os
import shlex
import subprocess
import sys
import time

import yaml

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
SKIPPED = 77
failures = []


def check(condition, text):
    if not condition:
        failures.append(text)
        print("FAIL: " + text, flush=True)
    return condition


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def read_lines(path):
    with open(path) as f:
        return f.read().splitlines()


class Fleet:
    """SSH to the switches with exactly the connection options of FLEET_INVENTORY."""

    def __init__(self):
        self.dir = os.environ["FLEET_DIR"]
        with open(os.environ["FLEET_INVENTORY"]) as f:
            group = yaml.safe_load(f)["switches"]
        self.hosts = group["hosts"]
        self.vars = group["vars"]

    def ssh(self, host, command):
        return (["ssh", "-l", self.vars["ansible_user"], "-i", self.vars["ansible_ssh_private_key_file"],
                 "-o", "BatchMode=yes", "-o", "ConnectTimeout=5"] +
                shlex.split(self.hosts[host]["ansible_ssh_common_args"]) + [host, command])

    def run(self, host, command):
        return subprocess.run(self.ssh(host, command), capture_output=True, text=True,
                              stdin=subprocess.DEVNULL, timeout=60)

    def status(self, host):
        """The manager's --json status, or None while the switch does not answer."""
        done = self.run(host, "vornmgrctl --json")
        return json.loads(done.stdout) if done.returncode == 0 else None

    def hold_session(self, host):
        """An SSH session that stays open until the switch goes away."""
        session = subprocess.Popen(self.ssh(host, "echo open; exec sleep 60"), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        check(session.stdout.readline().strip() == "open", "no session opened on %s" % host)
        return session

    def boots(self, host):
        return read_lines(os.path.join(self.dir, host, "boots.log"))

    def reboot_calls(self, host):
        return [line for line in read_lines(os.path.join(self.dir, host, "stubs.log")) if line.split()[0] == "reboot"]


def all_up_in(status, mode):
    return (status is not None and status["mode"]["text"] == mode and len(status["modules"]) == 8 and
            all(m["state"] == "up" and m["mode"]["text"] == mode for m in status["modules"]))


def inside():
    fleet = Fleet()
    check(sorted(fleet.hosts) == ["sw1", "sw2"], "inventory hosts: %s" % sorted(fleet.hosts))
    before = {}
    for host in ("sw1", "sw2"):
        done = fleet.run(host, "cat /etc/hostname /proc/sys/kernel/random/boot_id")
        check(done.stdout.split()[:1] == [host], "%s answered as %r" % (host, done.stdout))
        check(done.stdout.split()[1:] == fleet.boots(host)[0].split()[3:],
              "%s shows boot identity %r, its boots.log %s" % (host, done.stdout, fleet.boots(host)))
        before[host] = fleet.status(host)
        check(all_up_in(before[host], "cold"), "%s before the restart: %s" % (host, before[host]))
        check(fleet.boots(host)[0].startswith("boot 1 ") and len(fleet.boots(host)) == 1,
              "%s boots before the restart: %s" % (host, fleet.boots(host)))

    sessions = {host: fleet.hold_session(host) for host in ("sw1", "sw2")}
    restart = fleet.run("sw1", "vornmgrctl -wf")
    # The tool's answer may or may not get out before the reboot cuts the connection.
    check(restart.returncode in (0, 255), "vornmgrctl -wf on sw1: status %d, %s" % (restart.returncode,
                                                                                   restart.stderr))
    try:
        check(sessions["sw1"].wait(timeout=20) == 255, "the session on sw1 did not drop with status 255")
    except subprocess.TimeoutExpired:
        check(False, "the session on sw1 was still open 20 s after the restart")
    check(wait_for(lambda: len(fleet.boots("sw1")) == 2, 30), "sw1 boots: %s" % fleet.boots("sw1"))
    after = {}

    def sw1_up_again():
        after["sw1"] = fleet.status("sw1")
        return all_up_in(after["sw1"], "warm")

    check(wait_for(sw1_up_again, 30), "sw1 after its reboot: %s" % after.get("sw1"))
    check(after["sw1"] is not None and after["sw1"]["start_time"] > before["sw1"]["start_time"],
          "sw1's manager did not start again (start_time %s, then %s)"
          % (before["sw1"]["start_time"], after["sw1"] and after["sw1"]["start_time"]))
    config = fleet.run("sw1", "cat /proc/sys/kernel/random/boot_id; grep '^boot_mode=' /etc/norvane/vornmgrd.conf")
    check(config.stdout.split()[:1] == fleet.boots("sw1")[1].split()[3:],
          "sw1's boot identity after the reboot: %r, its boots.log %s" % (config.stdout, fleet.boots("sw1")))
    check(config.stdout.split()[-1:] == ["boot_mode=warm"], "sw1's configuration after the reboot: %r" % config.stdout)
    history = fleet.run("sw1", "vornmgrctl --history 1").stdout
    check("restart to warm mode" in history, "sw1's history lost the restart: %r" % history[:200])
    check(len(fleet.reboot_calls("sw1")) == 1, "sw1 reboot calls: %s" % fleet.reboot_calls("sw1"))

    check(sessions["sw2"].poll() is None, "the session on sw2 ended with sw1's reboot")
    sessions["sw2"].kill()
    sessions["sw2"].wait()
    after["sw2"] = fleet.status("sw2")
    check(all_up_in(after["sw2"], "cold") and after["sw2"]["start_time"] == before["sw2"]["start_time"],
          "sw2 changed with sw1's reboot: %s" % after["sw2"])
    check(len(fleet.boots("sw2")) == 1 and not fleet.reboot_calls("sw2"),
          "sw2 boots %s, reboot calls %s" % (fleet.boots("sw2"), fleet.reboot_calls("sw2")))
    return 1 if failures else 0


def outside(build):
    fleet_dir = os.path.join(build, "fleet-test")
    status = subprocess.call([os.path.join(PROJECT, "tools", "fleet"), "-n", "2", "--build", build,
                              "--dir", fleet_dir, "run", "--", "/usr/bin/python3", os.path.realpath(__file__)])
    check(status == 0, "the checks inside the fleet ended with status %d" % status)
    # Everything of the fleet lived in the sandbox's namespaces: nothing outlives it.
    left = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if fleet_dir.encode() in f.read():
                    left.append(pid)
        except OSError:
            pass
    check(not left, "processes of the fleet left running: %s" % left)
    with open("/proc/self/mountinfo") as f:
        mounts = [line for line in f if fleet_dir in line]
    check(not mounts, "mounts of the fleet left behind: %s" % mounts)
    return 1 if failures else 0


def main():
    if "FLEET_DIR" in os.environ:
        return inside()
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    if os.geteuid() != 0:
        print("SKIP: the fleet's sshd needs root")
        return SKIPPED
    return outside(os.path.realpath(parser.parse_args().build))


if __name__ == "__main__":
    sys.exit(main())
