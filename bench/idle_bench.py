#!/usr/bin/env python3
"""Idle benchmark: what a beacon costs when nothing but its peers' beacon
traffic arrives, and how precisely it spaces the probes of a burst.

    sudo python3 bench/idle_bench.py --build build-sysbench

A lab of five namespaces on one bridge (tests/net/lab.py): h1 runs the beacon
under test (quillon -n bench -a a@b -b GROUP/PORT -d dump.xml), h2 to h4 run
one peer beacon each, h5 an observer that records h1's datagrams (a
source-specific join on h1's address).  After --warmup seconds, for
--seconds seconds:
  CPU       on-CPU time of /proc/PID/schedstat (ns) and utime + stime of
            /proc/PID/stat (clock ticks), as a share of one core
  wake-ups  voluntary context switches of /proc/PID/status per second
  spacing   the gaps between consecutive probes of one burst as the
            observer's kernel time-stamped them: min, mean, max, stddev
            and the largest deviation from 100 ms
  machine   how busy the whole machine was meanwhile (/proc/stat), since
            other work delays the beacon's wake-ups

--sched fifo runs the beacon under SCHED_FIFO, so that other work on the
machine cannot delay it; by default it runs as a beacon normally does.
Traffic stays inside the lab.  Wall time: --warmup + --seconds + about 10 s.
Needs root; exits 77 when the lab cannot run.
"""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_lab as sl  # noqa: E402

lab = sl.lab

GROUP = "239.77.0.2"
PORT = 10002
PEERS = 3


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build-sysbench", help="build directory with quillon")
    ap.add_argument("--seconds", type=float, default=60.0, help="length of the measurement")
    ap.add_argument("--warmup", type=float, default=5.0, help="time after start-up before measuring")
    ap.add_argument("--sched", choices=("none", "nice", "fifo"), default="none",
                    help="scheduling of the beacon under test")
    ap.add_argument("--json", help="write the figures to this file")
    ap.add_argument("--markdown", help="write the table to this file")
    return ap.parse_args()


def machine_busy():
    """(busy jiffies, total jiffies) of all CPUs from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    total = sum(fields[:8])
    return total - idle, total


def ctx_switches(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    return 0


def main():
    args = parse_args()
    lab.require_root()
    programs = sl.find_programs(args.build)
    info = sl.machine()
    print("machine: %(model)s, %(cores)s cores, kernel %(kernel)s, %(date)s" % info, flush=True)
    with lab.Lab(hosts=PEERS + 2) as the_lab:
        beacon_host, peers, observer_host = the_lab.hosts[0], the_lab.hosts[1:-1], the_lab.hosts[-1]
        observer = the_lab.receiver(observer_host, GROUP, PORT, source=beacon_host.addr4, duration=7200)
        target = "%s/%d" % (GROUP, PORT)
        for i, host in enumerate(peers):
            host.run([programs["quillon"], "-n", "peer%d" % (i + 1), "-a", "peer%d@lab" % (i + 1), "-b", target],
                     label="peer")
        dump = os.path.join(the_lab.tmpdir, "dump.xml")
        beacon = beacon_host.run(sl.sched_prefix(args.sched) + [programs["quillon"], "-n", "bench", "-a", "a@b",
                                                                "-b", target, "-d", dump], label="quillon")
        pid = beacon.pid
        time.sleep(args.warmup)
        if beacon.poll() is not None:
            sys.exit("the beacon ended: " + beacon.stderr_text())

        before = sl.Snapshot(pid)
        switches = ctx_switches(pid)
        busy0, total0 = machine_busy()
        start = time.time()
        time.sleep(args.seconds)
        end = time.time()
        after = sl.Snapshot(pid)
        busy1, total1 = machine_busy()
        d = before.delta(after)
        d["wakeups_per_s"] = (ctx_switches(pid) - switches) / d["seconds"]
        d["vmhwm_kb"] = sl.status_kb(pid, "VmHWM")
        d["machine_busy"] = (busy1 - busy0) / max(1, total1 - total0)
        d["cpu_share_stat"] = d["cpu_s"] / d["seconds"]
        d["cpu_share_sched"] = d["run_s"] / d["seconds"] if d["run_s"] is not None else None
        # Records are time-stamped by the observer's kernel; take the probes
        # of the measured window.
        recs = observer.records()
        probes = [(r.time, int.from_bytes(r.payload[4:8], "big")) for r in recs if sl.is_probe(r.payload)]
        gaps, nbursts, lost = sl.burst_gaps(probes, (start, end))
        d["gaps"] = sl.gap_summary(gaps)
        d["gap_values"] = [round(g, 3) for g in gaps]
        d["bursts"] = nbursts
        d["probes_lost"] = lost
        beacon.stop()

    g = d["gaps"] or {}
    header = ["measure", "value"]
    share = d["cpu_share_sched"] if d["cpu_share_sched"] is not None else d["cpu_share_stat"]
    rows = [
        ["window", "%.1f s after %.0f s of warm-up; beacon scheduling: %s" % (d["seconds"], args.warmup, args.sched)],
        ["CPU, % of a core (schedstat)", sl.fmt(100 * share, 4)],
        ["CPU, % of a core (stat ticks)", sl.fmt(100 * d["cpu_share_stat"], 3)],
        ["CPU seconds in the window", sl.fmt(d["run_s"], 4)],
        ["wake-ups per second", sl.fmt(d["wakeups_per_s"], 1)],
        ["datagrams read per second", sl.fmt(d["read"] / d["seconds"], 1)],
        ["peak RSS kB", d["vmhwm_kb"]],
        ["bursts / gaps measured", "%d / %d" % (nbursts, g.get("n", 0))],
        ["probe gap min / mean / max ms", "%s / %s / %s" % (sl.fmt(g.get("min"), 2), sl.fmt(g.get("mean"), 3),
                                                             sl.fmt(g.get("max"), 2))],
        ["probe gap stddev ms", sl.fmt(g.get("stddev"), 3)],
        ["largest |gap - 100 ms|", sl.fmt(g.get("max_dev"), 2)],
        ["probes lost inside bursts", d["probes_lost"]],
        ["machine busy meanwhile (both cores)", "%.1f %%" % (100 * d["machine_busy"])],
    ]
    text = "Machine: %s, %d cores, Linux %s; %s\n\n%s" % (info["model"], info["cores"], info["kernel"], info["date"],
                                                         sl.markdown_table(header, rows))
    print()
    print(text)
    verdict_cpu = share < 0.001
    verdict_gap = bool(g) and g["max_dev"] <= 2.0
    print()
    print("idle CPU under 0.1 %% of a core: %s" % ("met" if verdict_cpu else "MISSED"))
    print("probe spacing 100 +- 2 ms: %s" % ("met" if verdict_gap else "MISSED"))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "args": vars(args), "result": d}, f, indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
