#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""rollout_times.py FLEET_DIR WALL_MS SWITCH... - a rolling restart's wall
time against the switches' own restart times.

A switch's own restart runs from the start of its take-down (started_ms of
the newest restart record in its kept history) to its console's last "all 8
modules up" (its modules up after the reboot): take-down, then reboot (the
reboot stub's call to the next boot), then bring-up. What the rollout adds
is the wall time less the sum of these."""

import datetime
import json
import os
import sys


def console_ms(line):
    stamp = datetime.datetime.strptime(line.split()[0], "%Y-%m-%dT%H:%M:%S.%fZ")
    return stamp.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000


def switch_times(fleet_dir, switch):
    with open(os.path.join(fleet_dir, switch, "var-lib-vornmgr", "history.jsonl")) as history:
        records = [json.loads(line) for line in history if line.strip()]
    record = [record for record in records if record.get("kind") == "restart"][-1]
    with open(os.path.join(fleet_dir, switch, "console.log")) as console:
        lines = console.read().splitlines()
    reboot = console_ms([line for line in lines if " reboot" in line][-1])
    boot = console_ms([line for line in lines if " boot " in line][-1])
    up = console_ms([line for line in lines if "modules up" in line][-1])
    start = record["started_ms"]
    return {"take_down": record["duration_ms"], "to_reboot": reboot - start, "reboot": boot - reboot,
            "bring_up": up - boot, "own": up - start}


def main():
    fleet_dir, wall_ms, switches = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
    total = 0.0
    for switch in switches:
        times = switch_times(fleet_dir, switch)
        total += times["own"]
        print("%s: own restart %.0f ms (take-down %.0f ms, its start to the reboot %.0f ms, reboot %.0f ms, "
              "bring-up %.0f ms)" % (switch, times["own"], times["take_down"], times["to_reboot"],
                                     times["reboot"], times["bring_up"]))
    print("rollout of %d switches: wall %.0f ms, sum of own restarts %.0f ms, overhead %.0f ms (%.0f ms a switch)"
          % (len(switches), wall_ms, total, wall_ms - total, (wall_ms - total) / len(switches)))


if __name__ == "__main__":
    main()
