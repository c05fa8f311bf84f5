#!/usr/bin/env python3
"""Instructions per received datagram, counted by valgrind's callgrind: the
beacon against the bare receiver, and where the beacon's go.

    sudo python3 bench/callgrind_bench.py --build build-sysbench

The same lab as system_bench.py (h1 floods probes from 150 addresses, h2
runs the receiver under callgrind).  Each receiver runs twice, with a short
and a long flood at --rate; the difference of the two runs' instruction
counts divided by the difference of the datagrams read is the cost of one
datagram in user space, without start-up and idle time.  callgrind counts
only user-space instructions: the kernel's share of a datagram (the
system calls, the wake-ups) is in system_bench.py's CPU figures instead.

The long run of the beacon is kept (--keep DIR) for callgrind_annotate.

--matrix instead runs the beacon once with the full matrix: every flood
source first reports on all the others, and keeps reporting during the
flood, and the instructions of one call of the heavy operations (the dump,
a report, expiry) are listed.

Wall time: about 2 minutes.  Needs root and valgrind.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_lab as sl  # noqa: E402

lab = sl.lab

GROUP = "239.77.0.3"
PORT = 10003


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build-sysbench", help="build directory with quillon and bench/ tools")
    ap.add_argument("--rate", type=float, default=2000, help="flood rate in datagrams/s")
    ap.add_argument("--short", type=float, default=5.0, help="seconds of the short flood")
    ap.add_argument("--long", type=float, default=25.0, help="seconds of the long flood")
    ap.add_argument("--senders", type=int, default=150)
    ap.add_argument("--keep", default=None, help="directory for the callgrind output of the beacon's long run")
    ap.add_argument("--top", type=int, default=25, help="functions to list from callgrind_annotate")
    ap.add_argument("--matrix", action="store_true", help="the beacon with the full matrix; cost per call")
    return ap.parse_args()


def total_ir(path):
    with open(path) as f:
        text = f.read()
    m = re.search(r"^(?:summary|totals):\s+(\d+)", text, re.M)
    return int(m.group(1))


PER_CALL = ("write_dump()", "render_dump(", "handle_beacon_packet(", "expire_sources()", "send_report(",
            "bandwidth_stats()")


def per_call(path):
    """(function, calls, inclusive instructions, per call) of PER_CALL,
    from callgrind_annotate's caller tree."""
    text = subprocess.run(["callgrind_annotate", "--tree=caller", "--inclusive=yes", "--threshold=100", path], capture_output=True,
                          text=True).stdout
    out = []
    calls = 0
    for line in text.splitlines():
        m = re.match(r"^\s*([\d,]+) \([^)]*\)\s+<\s.*\(([\d,]+)x\)", line)
        if m:
            calls += int(m.group(2).replace(",", ""))
            continue
        m = re.match(r"^\s*([\d,]+) \([^)]*\)\s+\*\s+\S*?:(.*?) \[", line)
        if m:
            name, total = m.group(2), int(m.group(1).replace(",", ""))
            for wanted in PER_CALL:
                if name.startswith(wanted) and calls:
                    out.append((name.split("(")[0], calls, total, total / calls))
            calls = 0
            continue
        if not line.strip():
            calls = 0
    return out


def run_matrix(the_lab, programs, first, args):
    sender, rx = the_lab.hosts[0], the_lab.hosts[1]
    out_path = os.path.join(the_lab.tmpdir, "callgrind.beacon.matrix")
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out_path, programs["quillon"], "-n", "bench",
            "-a", "a@b", "-b", "%s/%d" % (GROUP, PORT), "-d", os.path.join(the_lab.tmpdir, "dump.xml")]
    proc = rx.run(argv, label="callgrind-matrix")
    time.sleep(3.0)
    flood = [programs["quillon_flood"], "-g", GROUP, "-p", PORT, "-s", first, "-k", args.senders, "-i",
             sender.ifname]
    sender.execute(flood + ["-m", "report", "-r", "30", "-t", "%g" % (2 * args.senders / 30.0)], timeout=120)
    reports = sender.run(flood + ["-m", "report", "-r", "5", "-t", "%g" % args.long], label="reports")
    r = sender.execute(flood + ["-r", "%g" % args.rate, "-t", "%g" % args.long], timeout=args.long + 60)
    reports.wait(args.long + 30)
    print(r.stdout.strip())
    print("receiver: %s" % {k: v for k, v in sl.udp_counters(proc.pid).items() if k in ("InDatagrams", "RcvbufErrors")})
    proc.stop(timeout=60, sig=signal.SIGTERM)
    print()
    rows = [[name, calls, total, "%.0f" % each] for name, calls, total, each in per_call(out_path)]
    print(sl.markdown_table(["function", "calls", "instructions", "per call"], rows))
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        shutil.copy(out_path, os.path.join(args.keep, "callgrind.beacon.matrix"))


def run_once(the_lab, programs, first, args, which, seconds, out_path):
    sender, rx = the_lab.hosts[0], the_lab.hosts[1]
    if which == "beacon":
        target = [programs["quillon"], "-n", "bench", "-a", "a@b", "-b", "%s/%d" % (GROUP, PORT),
                  "-d", os.path.join(the_lab.tmpdir, "dump.xml")]
    else:
        target = [programs["quillon_bare_receiver"], "-g", GROUP, "-p", PORT]
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out_path] + target
    proc = rx.run(argv, label="callgrind-" + which)
    time.sleep(3.0)  # start-up under valgrind
    before = sl.udp_counters(proc.pid)["InDatagrams"]
    r = sender.execute([programs["quillon_flood"], "-g", GROUP, "-p", PORT, "-s", first, "-k", args.senders,
                        "-r", "%g" % args.rate, "-t", "%g" % seconds, "-i", sender.ifname], timeout=seconds + 60)
    if r.returncode != 0:
        raise lab.LabError("flood failed: " + r.stderr)
    time.sleep(2.0)
    after = sl.udp_counters(proc.pid)
    proc.stop(timeout=30, sig=signal.SIGTERM)
    if not os.path.exists(out_path):
        raise lab.LabError("no callgrind output for %s: %s" % (which, proc.stderr_text()[-2000:]))
    return after["InDatagrams"] - before, after["RcvbufErrors"], total_ir(out_path)


def main():
    args = parse_args()
    lab.require_root()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is not installed")
    programs = sl.find_programs(args.build)
    results = {}
    keep = None
    with lab.Lab(hosts=2) as the_lab:
        first = sl.add_addresses(the_lab.hosts[0], 100, args.senders)
        if args.matrix:
            run_matrix(the_lab, programs, first, args)
            return 0
        for which in ("bare", "beacon"):
            runs = []
            for label, seconds in (("short", args.short), ("long", args.long)):
                out = os.path.join(the_lab.tmpdir, "callgrind.%s.%s" % (which, label))
                read, drops, ir = run_once(the_lab, programs, first, args, which, seconds, out)
                print("%-6s %-5s flood %4.0f s: read %7d (socket drops so far %d), %d instructions" % (
                    which, label, seconds, read, drops, ir), flush=True)
                runs.append((read, ir))
                if which == "beacon" and label == "long":
                    keep = out
            (r0, i0), (r1, i1) = runs
            results[which] = (i1 - i0) / (r1 - r0) if r1 != r0 else None
        annotate = None
        if keep and shutil.which("callgrind_annotate"):
            annotate = subprocess.run(["callgrind_annotate", "--inclusive=yes", keep], capture_output=True,
                                      text=True).stdout
            if args.keep:
                os.makedirs(args.keep, exist_ok=True)
                shutil.copy(keep, os.path.join(args.keep, "callgrind.beacon.long"))

    print()
    rows = [[w, sl.fmt(results[w], 0)] for w in ("bare", "beacon")]
    if results["bare"] and results["beacon"]:
        rows.append(["difference", sl.fmt(results["beacon"] - results["bare"], 0)])
    print(sl.markdown_table(["receiver", "user-space instructions per datagram"], rows))
    if annotate:
        print()
        lines = annotate.splitlines()
        start = next((i for i, ln in enumerate(lines) if re.match(r"^-+$", ln) and i > 10), 0)
        body = [ln for ln in lines[start:] if re.match(r"^\s*[\d,]+ ", ln)]
        print("Beacon, long run, inclusive instruction counts (callgrind_annotate):")
        for ln in body[:args.top]:
            print("  " + ln.strip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
