#!/usr/bin/env python3
"""Time per I/O in each thread of the mirroring hosts, from the scheduler's
own accounting (/proc/PID/task/TID/schedstat: time on a CPU, time waiting
for one, times run), so that nothing in the hosts is timed or changed.

  thread_stages.py snap OUT.json NAME=PID...   the hosts' threads now
  thread_stages.py diff BEFORE.json AFTER.json IOS SECONDS
                                                what each stage spent per I/O

A stage is a group of threads of one host under one name ("blk_io_3" and
"blk_io_7" are "blk_io_*"). Per I/O it shows the CPU time, the time spent
runnable but waiting for a CPU, and how often the stage was run (each run
after the first is a wake-up: a hand-off). "busiest" is the share of the
wall time its busiest single thread was on a CPU: a serial stage near 100 %
is what holds the rate back.
"""
import json
import os
import re
import sys


def snap(pids):
    out = {}
    for name, pid in pids:
        base = f"/proc/{pid}/task"
        try:
            tids = os.listdir(base)
        except OSError:
            continue
        for tid in tids:
            try:
                comm = open(f"{base}/{tid}/comm").read().strip()
                run, wait, times = (int(v) for v in open(f"{base}/{tid}/schedstat").read().split())
            except (OSError, ValueError):
                continue  # the thread ended meanwhile
            out[f"{name}/{tid}"] = {"host": name, "comm": comm, "run": run, "wait": wait,
                                    "times": times}
    return out


# What each stage does in a mirrored write, by the thread names the driver
# and the host give (the DATA listener receives writes on the standby and
# their ACK1s on the active).
ROLES = [
    (r"^mirvold$", "FUSE workers: the request path, sync send"),
    (r"^blk_io", "I/O workers: disk writes, completions"),
    (r"^ktimer$", "timers"),
    (r"_01$", "ACK2 listener"),
    (r"_0[23]$", "heartbeat"),
    (r"_04$", "remote write (standby)"),
    (r"_05$", "DATA listener: writes in / ACK1s in"),
    (r"_06$", "ACK1 sender (standby)"),
    (r"_07$", "ACK2 sender (active)"),
    (r"_08$", "async sender"),
    (r"_09$", "history"),
    (r"^mirvol_common_1$", "disconnection timer"),
    (r"^mirvol_common_2$", "local bitmap writer"),
    (r"^mirvol_common_3$", "disk-error actions"),
    (r"^mirvol_common_4$", "remote bitmap writer"),
]


def role_of(stage):
    for pattern, role in ROLES:
        if re.search(pattern, stage):
            return role
    return ""


def stage_of(comm):
    # Numbered siblings (I/O workers, FUSE workers turned tasks) are one stage.
    return re.sub(r"_\d+$", "_*", comm) if comm.startswith("blk_io") else comm


def diff(before, after, ios, seconds):
    stages = {}
    for key, a in after.items():
        b = before.get(key, {"run": 0, "wait": 0, "times": 0})
        d = {k: a[k] - b[k] for k in ("run", "wait", "times")}
        if d["times"] <= 0:
            continue
        s = stages.setdefault((a["host"], stage_of(a["comm"])),
                              {"run": 0, "wait": 0, "times": 0, "threads": 0, "busiest": 0})
        for k in ("run", "wait", "times"):
            s[k] += d[k]
        s["threads"] += 1
        s["busiest"] = max(s["busiest"], d["run"])
    rows = []
    for (host, stage), s in stages.items():
        rows.append((host, stage, s["threads"], s["run"] / ios / 1e3, s["wait"] / ios / 1e3,
                     s["times"] / ios, 100.0 * s["busiest"] / (seconds * 1e9)))
    rows.sort(key=lambda r: -r[3])
    # Threads that ended during the job took their times with them.
    ended = {}
    for key, b in before.items():
        if key not in after:
            ended[b["host"]] = ended.get(b["host"], 0) + 1
    started = {}
    for key, a in after.items():
        if key not in before:
            started[a["host"]] = started.get(a["host"], 0) + 1
    return rows, started, ended


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "snap":
        pids = [a.split("=", 1) for a in sys.argv[3:]]
        json.dump(snap(pids), open(sys.argv[2], "w"))
        return 0
    if len(sys.argv) == 6 and sys.argv[1] == "diff":
        before, after = (json.load(open(p)) for p in sys.argv[2:4])
        ios, seconds = float(sys.argv[4]), float(sys.argv[5])
        print(f"  {'host':<5}{'stage':<18}{'threads':>8}{'cpu us/io':>11}{'wait us/io':>12}"
              f"{'runs/io':>9}{'busiest %':>11}  role")
        rows, started, ended = diff(before, after, max(ios, 1), seconds)
        for host, stage, n, cpu, wait, runs, busiest in rows:
            if cpu < 0.05 and runs < 0.01:
                continue
            print(f"  {host:<5}{stage:<18}{n:>8}{cpu:>11.1f}{wait:>12.1f}{runs:>9.2f}{busiest:>11.1f}"
                  f"  {role_of(stage)}")
        for host in sorted(set(started) | set(ended)):
            print(f"  {host}: {started.get(host, 0)} threads started and {ended.get(host, 0)} ended "
                  "during the job (an ended thread's time is not counted)")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
