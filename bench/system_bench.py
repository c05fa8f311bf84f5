#!/usr/bin/env python3
"""System benchmark: how close the single-threaded beacon comes to the limit
of its design under a datagram flood.

    sudo python3 bench/system_bench.py --build build-sysbench

A lab of three namespaces on one bridge (tests/net/lab.py):
  h1  the flood sender: quillon_flood, K source addresses 10.77.0.100.. on
      its interface, one socket per address, probes to GROUP/PORT;
  h2  the receiver under test: first quillon_bare_receiver (select() and
      one recvmsg() per pass, nothing else), then a real beacon
      (quillon -n bench -a a@b -b GROUP/PORT -d dump.xml);
  h3  an observer that records the beacon's own probes and reports (a
      source-specific join on h2's address, so the flood does not reach it).

Each receiver is flooded at every rate of --rates (datagrams/s, 0 = as fast
as the sender can) for --step-seconds.  Per step, from the receiver's
network namespace and process:
  read        UDP InDatagrams delta (datagrams handed to the application)
  sock drops  UDP RcvbufErrors delta (datagrams the socket buffer refused)
  lost elsewhere  sent - read - sock drops (e.g. backlog queues; negative
              for the beacon by the own probes it reads back)
  CPU         utime + stime delta of /proc/PID/stat (clock ticks) and the
              on-CPU time of /proc/PID/schedstat (ns), per datagram read;
              "marginal" first takes off what the receiver used per second
              while idle (measured for --baseline-seconds before its sweep):
              the beacon's timers, probes, reports and dumps
  peak RSS    VmHWM of /proc/PID/status
The bare receiver's own count (it prints it on SIGUSR1) checks the first.
The beacon is not run verbosely: logging every datagram would cost more
than handling it.

Then the beacon is held under a flood at --hold-rate for --hold-seconds, long
enough to see several report periods, and its schedule is judged from what
the observer saw: the gaps between consecutive probes of a burst (100 ms)
and the period of its reports with figures (2 x beacon_interval, where
beacon_interval = ln(max(4, received Kb/s)) / 1.38 x 4 follows from the rate
it read).

The flood sender is pinned to CPU 0 and the receivers to CPU 1 (--no-pin to
leave placement to the scheduler), both SCHED_FIFO by default (--sched), so
that other work on the machine neither delays them nor takes their CPU.
The kernel delivers the flood into the receiver's socket on the sender's
CPU, so the sender's core bounds the highest rate.  All traffic stays inside
the lab's namespaces; the flood's TTL is 1.

Wall time with the defaults: about 9 minutes.  Needs root; exits 77 when the
lab cannot run.
"""

import argparse
import json
import os
import re
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import system_lab as sl  # noqa: E402

lab = sl.lab

GROUP = "239.77.0.1"
PORT = 10000
FIRST_SOURCE_OCTET = 100
FLOOD_RE = re.compile(r"sent (\d+) (?:probes|reports) from (\d+) sources in ([\d.]+) s: (\d+) datagrams/s, "
                      r"(\d+) bytes, (\d+) send errors, ([\d.]+) s CPU")
STATUS_RE = re.compile(r"^status count=(\d+) .*utime_us=(\d+) stime_us=(\d+)", re.M)


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build-sysbench", help="build directory with quillon and bench/ tools")
    ap.add_argument("--rates", default="1000,10000,50000,100000,0",
                    help="comma-separated flood rates in datagrams/s; 0 = as fast as possible")
    ap.add_argument("--senders", type=int, default=150, help="source addresses of the flood (1..150)")
    ap.add_argument("--step-seconds", type=float, default=20.0, help="length of each flood step")
    ap.add_argument("--hold-rate", type=float, default=100000, help="rate of the schedule run")
    ap.add_argument("--hold-seconds", type=float, default=180.0, help="length of the schedule run (0: none)")
    ap.add_argument("--baseline-seconds", type=float, default=10.0,
                    help="idle time before each sweep over which the receiver's own CPU use is measured")
    ap.add_argument("--skip-bare", action="store_true", help="flood only the beacon")
    ap.add_argument("--no-pin", action="store_true", help="do not pin sender and receiver to CPUs")
    ap.add_argument("--sched", choices=("fifo", "nice", "none"), default="fifo",
                    help="scheduling of sender and receivers: SCHED_FIFO (default), nice -19, or as started")
    ap.add_argument("--burst", type=int, default=1, help="datagrams per sendmmsg() call of the flood (1..64)")
    ap.add_argument("--json", help="write all figures to this file")
    ap.add_argument("--markdown", help="write the tables to this file")
    a = ap.parse_args()
    a.rates = [float(r) for r in a.rates.split(",") if r.strip()]
    if not 1 <= a.senders <= 150:
        ap.error("--senders must be 1..150")
    return a


def rate_label(rate):
    return "max" if rate == 0 else "%dk" % (rate / 1000) if rate >= 1000 else "%d" % rate


class Bench:
    def __init__(self, args, programs, the_lab):
        self.args = args
        self.programs = programs
        self.lab = the_lab
        self.sender, self.rx, self.obs = the_lab.hosts
        self.first_source = sl.add_addresses(self.sender, FIRST_SOURCE_OCTET, args.senders)
        self.pin = not args.no_pin
        self.sched = sl.sched_prefix(args.sched)
        # The observer joins (h2, GROUP) from the start, so that the flood
        # costs the sender the same in every phase.
        self.observer = self.lab.receiver(self.obs, GROUP, PORT, source=self.rx.addr4, duration=7200)

    # -- the flood -----------------------------------------------------------

    def flood(self, rate, seconds):
        argv = self.sched + sl.pin_prefix(0, self.pin) + [
            self.programs["quillon_flood"], "-g", GROUP, "-p", PORT, "-s", self.first_source,
            "-k", self.args.senders, "-r", "%g" % rate, "-t", "%g" % seconds, "-i", self.sender.ifname,
            "-b", self.args.burst]
        r = self.sender.execute(argv, timeout=seconds + 60)
        m = FLOOD_RE.search(r.stdout)
        if r.returncode != 0 or not m:
            raise lab.LabError("flood failed (%d): %s %s" % (r.returncode, r.stdout, r.stderr))
        return {"sent": int(m.group(1)), "flood_seconds": float(m.group(3)), "achieved": int(m.group(4)),
                "send_errors": int(m.group(6)), "sender_cpu_s": float(m.group(7))}

    @staticmethod
    def drain(pid, timeout=5.0):
        """Waits until the receiver has read what its socket still holds."""
        last = [sl.udp_counters(pid)["InDatagrams"]]

        def settled():
            time.sleep(0.2)
            now = sl.udp_counters(pid)["InDatagrams"]
            done = now == last[0]
            last[0] = now
            return done
        lab.wait_for(settled, timeout, interval=0.0)

    @staticmethod
    def baseline(pid, seconds):
        """CPU seconds per second that the receiver uses with no flood."""
        before = sl.Snapshot(pid)
        time.sleep(seconds)
        d = before.delta(sl.Snapshot(pid))
        return (d["run_s"] if d["run_s"] is not None else d["cpu_s"]) / d["seconds"]

    def step(self, pid, rate, seconds, before_hook=None, after_hook=None, idle_rate=0.0):
        time.sleep(1.0)  # let the previous step's queues empty
        extra_before = before_hook() if before_hook else None
        sampler = sl.Sampler(pid).start()
        before = sl.Snapshot(pid)
        wall_start = time.time()
        sent = self.flood(rate, seconds)
        wall_end = time.time()
        self.drain(pid)
        after = sl.Snapshot(pid)
        sampler.stop()
        extra_after = after_hook() if after_hook else None
        d = before.delta(after)
        d.update(sent)
        d.update({"rate": rate, "wall_start": wall_start, "wall_end": wall_end,
                  "vmhwm_kb": sl.status_kb(pid, "VmHWM"), "drop_events": sampler.drop_events()})
        self.last_sampler = sampler
        d["lost_elsewhere"] = d["sent"] - d["read"] - d["sock_drops"]
        d["cpu_us_per_dgram"] = d["cpu_s"] * 1e6 / d["read"] if d["read"] else None
        d["run_us_per_dgram"] = d["run_s"] * 1e6 / d["read"] if d["read"] and d["run_s"] is not None else None
        used = d["run_s"] if d["run_s"] is not None else d["cpu_s"]
        d["cpu_share"] = used / d["seconds"]
        d["idle_cpu_per_s"] = idle_rate
        d["marginal_us_per_dgram"] = (used - idle_rate * d["seconds"]) * 1e6 / d["read"] if d["read"] else None
        if extra_before is not None and extra_after is not None:
            d["own_count"] = extra_after[0] - extra_before[0]
            d["own_cpu_us"] = extra_after[1] - extra_before[1]
        return d

    # -- the bare receiver ---------------------------------------------------

    def bare_sweep(self):
        proc = self.rx.run(self.sched + sl.pin_prefix(1, self.pin) + [
            self.programs["quillon_bare_receiver"], "-g", GROUP, "-p", PORT], label="bare")
        if not lab.wait_for(lambda: "ready" in proc.stdout_text() or proc.poll() is not None, 10):
            raise lab.LabError("bare receiver did not start")
        if proc.poll() is not None:
            raise lab.LabError("bare receiver failed: " + proc.stderr_text())
        pid = proc.pid

        def status():
            n = len(STATUS_RE.findall(proc.stdout_text()))
            os.kill(pid, signal.SIGUSR1)
            lab.wait_for(lambda: len(STATUS_RE.findall(proc.stdout_text())) > n, 5)
            c, u, s = STATUS_RE.findall(proc.stdout_text())[-1]
            return int(c), int(u) + int(s)

        idle = self.baseline(pid, self.args.baseline_seconds)
        results = []
        for rate in self.args.rates:
            d = self.step(pid, rate, self.args.step_seconds, status, status, idle_rate=idle)
            d["receiver"] = "bare"
            results.append(d)
            self.print_step(d)
        proc.stop()
        return results

    # -- the beacon ----------------------------------------------------------

    def start_beacon(self):
        self.dump = os.path.join(self.lab.tmpdir, "dump.xml")
        argv = self.sched + sl.pin_prefix(1, self.pin) + [self.programs["quillon"], "-n", "bench", "-a", "a@b",
                                             "-b", "%s/%d" % (GROUP, PORT), "-d", self.dump]
        self.beacon = self.rx.run(argv, label="quillon")
        self.beacon_start_wall = sl.process_start_wall(self.beacon.pid)
        # The first burst starts 100 ms after start-up.
        got = lab.wait_for(lambda: any(sl.is_probe(r.payload) for r in self.observer.records()), 10)
        if not got or self.beacon.poll() is not None:
            raise lab.LabError("beacon did not start: " + self.beacon.stderr_text())
        return self.beacon.pid

    def observed(self, window=None):
        recs = self.observer.records()
        probes = [(r.time, int.from_bytes(r.payload[4:8], "big")) for r in recs if sl.is_probe(r.payload)]
        reports = [(r.time, sl.report_kind(r.payload), sl.report_sources(r.payload), len(r.payload))
                   for r in recs if sl.is_report(r.payload)]
        gaps, nbursts, lost = sl.burst_gaps(probes, window)
        return probes, reports, gaps, nbursts, lost

    def add_schedule(self, d):
        window = (d["wall_start"], d["wall_end"])
        _, reports, gaps, nbursts, lost = self.observed(window)
        d["gaps"] = sl.gap_summary(gaps)
        d["bursts"] = nbursts
        d["probes_lost"] = lost
        fig = [t for t, kind, _, _ in reports if kind == "figures"]
        d["report_times"] = [t for t in fig if window[0] <= t <= window[1]]
        d["report_intervals"] = [b - a for a, b in zip(fig, fig[1:]) if window[0] <= b <= window[1]]

    def beacon_sweep(self, pid):
        self.idle = self.baseline(pid, self.args.baseline_seconds)
        results = []
        for rate in self.args.rates:
            d = self.step(pid, rate, self.args.step_seconds, idle_rate=self.idle)
            d["receiver"] = "beacon"
            self.add_schedule(d)
            results.append(d)
            self.print_step(d)
        return results

    def hold(self, pid):
        """A long flood at one rate: CPU and drops as in a step, and the
        beacon's schedule over several report periods."""
        d = self.step(pid, self.args.hold_rate, self.args.hold_seconds, idle_rate=self.idle)
        d["receiver"] = "beacon (hold)"
        self.add_schedule(d)
        read_rate = d["read"] / d["flood_seconds"]
        kbps = read_rate * sl.PROBE_LENGTH * 8 / 1000.0
        b = sl.beacon_interval_for(kbps)
        d["expected_beacon_interval"] = b
        d["expected_report_period"] = 2 * b
        # Each report is rescheduled with the beacon_interval of the last
        # 10-second accounting window before it fired.  The windows start at
        # the beacon's start-up; their datagram counts come from the sampler.
        sampler = self.last_sampler
        origin = self.beacon_start_wall
        _, reports, _, _, _ = self.observed()
        fig = [t for t, kind, _, _ in reports if kind == "figures"]
        checks = []
        for a, b_ in zip(fig, fig[1:]):
            if not (d["wall_start"] <= a and b_ <= d["wall_end"] + 1.0):
                continue
            window_end = origin + 10.0 * int((a - origin) / 10.0)
            c0, c1 = sampler.count_at(window_end - 10.0), sampler.count_at(window_end)
            if c0 is None or c1 is None:
                continue
            rate_kbps = (c1 - c0) * sl.PROBE_LENGTH * 8 / 10000.0
            expected = 2 * sl.beacon_interval_for(rate_kbps)
            checks.append({"fired": a, "interval": b_ - a, "window_rate": (c1 - c0) / 10.0,
                           "expected": expected, "deviation": (b_ - a) - expected})
        d["report_checks"] = checks
        d["report_period_deviation"] = max((abs(c["deviation"]) for c in checks), default=None)
        d["steady_report_intervals"] = [c["interval"] for c in checks]
        # Where the drops fell in the beacon's 5-second dump cycle.
        d["drop_phases"] = [((t - origin) % 5.0, n) for t, n in d["drop_events"]]
        d["report_sizes"] = sorted({(kind, n, size) for t, kind, n, size in reports
                                    if d["wall_start"] <= t <= d["wall_end"]})
        self.print_step(d)
        return d

    # -- printing ------------------------------------------------------------

    @staticmethod
    def print_step(d):
        line = ("%-14s %5s: sent %8d (%6d/s, %d errors) read %8d drops %7d other %6d  cpu %s us/dgram "
                "(sched %s)  %.0f%% of a core  VmHWM %s kB" % (
                    d["receiver"], rate_label(d["rate"]), d["sent"], d["achieved"], d["send_errors"], d["read"],
                    d["sock_drops"], d["lost_elsewhere"], sl.fmt(d["cpu_us_per_dgram"], 3),
                    sl.fmt(d["run_us_per_dgram"], 3), 100 * d["cpu_share"], d["vmhwm_kb"]))
        if "own_count" in d:
            line += "  own count %d" % d["own_count"]
        if "gaps" in d:
            g = d["gaps"]
            line += "  bursts %d, gap max dev %s ms, report intervals %s" % (
                d["bursts"], sl.fmt(g and g["max_dev"], 1), [round(x, 2) for x in d["report_intervals"]])
        print(line, flush=True)


def tables(info, args, bare, beacon, hold):
    out = []
    out.append("Machine: %s, %d cores, Linux %s; %s" % (info["model"], info["cores"], info["kernel"], info["date"]))
    out.append("Flood: %d senders, %g s per step, %d datagram(s) per send call; sender on CPU 0, receiver on "
               "CPU 1%s; scheduling: %s." % (args.senders, args.step_seconds, args.burst,
                                           "" if not args.no_pin else " (not pinned)",
                                           {"fifo": "SCHED_FIFO", "nice": "nice -19", "none": "default"}[args.sched]))
    out.append("Idle CPU before the floods: bare receiver %s, beacon %s (%% of a core)." % (
        sl.fmt(100 * bare[0]["idle_cpu_per_s"], 3) if bare else "n/a",
        sl.fmt(100 * beacon[0]["idle_cpu_per_s"], 3) if beacon else "n/a"))
    out.append("")
    header = ["receiver", "rate", "sent", "achieved/s", "read", "sock drops", "lost elsewhere",
              "CPU us/dgram (stat)", "CPU us/dgram (schedstat)", "marginal us/dgram", "% core", "peak RSS kB"]
    rows = []
    for d in bare + beacon + ([hold] if hold else []):
        rows.append([d["receiver"], rate_label(d["rate"]), d["sent"], d["achieved"], d["read"], d["sock_drops"],
                     d["lost_elsewhere"], sl.fmt(d["cpu_us_per_dgram"], 3), sl.fmt(d["run_us_per_dgram"], 3),
                     sl.fmt(d["marginal_us_per_dgram"], 3), "%.1f" % (100 * d["cpu_share"]), d["vmhwm_kb"]])
    out.append(sl.markdown_table(header, rows))
    if bare and beacon:
        out.append("")
        header = ["rate", "bare achieved/s", "beacon achieved/s", "bare us/dgram", "beacon us/dgram", "ratio",
                  "ratio (marginal)", "bare drops", "beacon drops"]
        rows = []
        for a, b in zip(bare, beacon):
            ra, rb = a["run_us_per_dgram"], b["run_us_per_dgram"]
            ma, mb = a["marginal_us_per_dgram"], b["marginal_us_per_dgram"]
            rows.append([rate_label(a["rate"]), a["achieved"], b["achieved"], sl.fmt(ra, 3), sl.fmt(rb, 3),
                         sl.fmt(rb / ra if ra and rb else None, 2), sl.fmt(mb / ma if ma and mb else None, 2),
                         a["sock_drops"], b["sock_drops"]])
        out.append(sl.markdown_table(header, rows))
    sched = beacon + ([hold] if hold else [])
    if sched:
        out.append("")
        header = ["step", "bursts", "gaps", "gap min ms", "mean", "max", "stddev", "max |gap-100|",
                  "probes lost", "figures reports: intervals s"]
        rows = []
        for d in sched:
            g = d["gaps"] or {}
            rows.append(["%s %s" % (d["receiver"], rate_label(d["rate"])), d["bursts"], g.get("n", 0),
                         sl.fmt(g.get("min"), 1), sl.fmt(g.get("mean"), 2), sl.fmt(g.get("max"), 1),
                         sl.fmt(g.get("stddev"), 2), sl.fmt(g.get("max_dev"), 1), d["probes_lost"],
                         ", ".join("%.2f" % x for x in d["report_intervals"]) or "none"])
        out.append(sl.markdown_table(header, rows))
    if hold:
        out.append("")
        out.append("Hold at %s for %g s: read %.0f datagrams/s on average (beacon_interval %.3f s, report period "
                   "%.3f s at that rate)." % (
                       rate_label(hold["rate"]), hold["flood_seconds"], hold["read"] / hold["flood_seconds"],
                       hold["expected_beacon_interval"], hold["expected_report_period"]))
        out.append("")
        header = ["report fired at (s into the hold)", "interval to the next s", "rate of its window dgram/s",
                  "expected 2 x beacon_interval s", "deviation ms"]
        rows = [["%.1f" % (c["fired"] - hold["wall_start"]), "%.3f" % c["interval"], "%.0f" % c["window_rate"],
                 "%.3f" % c["expected"], "%+.0f" % (1000 * c["deviation"])] for c in hold["report_checks"]]
        out.append(sl.markdown_table(header, rows) if rows else "No report interval measured in the hold.")
        events = hold["drop_phases"]
        if events:
            out.append("")
            out.append("Socket drops in the hold: %d datagrams in %d of the 0.1-second samples; their phase in the "
                       "beacon's 5-second dump cycle (s after a dump is due): %s." % (
                           sum(n for _, n in events), len(events),
                           ", ".join("%.2f (%d)" % (p, n) for p, n in sorted(events))))
    out.append("")
    out.append(verdicts(bare, beacon, hold))
    return "\n".join(out)


def verdicts(bare, beacon, hold):
    """The targets, judged at the step of the sweep closest to 100k
    datagrams/s and on the hold."""
    lines = ["Targets:"]
    pairs = [(a, b) for a, b in zip(bare, beacon) if a["rate"] == b["rate"] and a["rate"] > 0]
    top = max(pairs, key=lambda p: -abs(p[0]["rate"] - 100000), default=None)
    if top:
        a, b = top
        ratio = b["run_us_per_dgram"] / a["run_us_per_dgram"] if a["run_us_per_dgram"] else None
        lines.append("- CPU per datagram at the %s step (achieved %d/s bare, %d/s beacon): beacon %s us, bare %s us, "
                     "ratio %s: %s (target <= 1.25)" % (
                         rate_label(a["rate"]), a["achieved"], b["achieved"], sl.fmt(b["run_us_per_dgram"], 3),
                         sl.fmt(a["run_us_per_dgram"], 3), sl.fmt(ratio, 2),
                         "met" if ratio is not None and ratio <= 1.25 else "MISSED"))
        lines.append("- socket drops at that step: beacon %d, bare %d: %s" % (
            b["sock_drops"], a["sock_drops"], "met" if b["sock_drops"] <= a["sock_drops"] else "MISSED"))
        if max(a["achieved"], b["achieved"]) < 0.95 * a["rate"]:
            lines.append("- the sender did not reach %s datagrams/s on this machine" % rate_label(a["rate"]))
    if hold:
        g = hold["gaps"] or {}
        ok_gaps = bool(g) and g["max_dev"] <= 2.0
        dev = hold["report_period_deviation"]
        ok_reports = dev is not None and dev <= 0.1
        lines.append("- schedule in the hold: largest |probe gap - 100 ms| %s ms over %d gaps (%s, target 2 ms); "
                     "report periods within %s ms of 2 x beacon_interval (%s, tolerance 100 ms)" % (
                         sl.fmt(g.get("max_dev"), 2), g.get("n", 0), "met" if ok_gaps else "MISSED",
                         sl.fmt(dev * 1000 if dev is not None else None, 0), "met" if ok_reports else "MISSED"))
    return "\n".join(lines)


def main():
    args = parse_args()
    lab.require_root()
    programs = sl.find_programs(args.build)
    info = sl.machine()
    print("machine: %(model)s, %(cores)s cores, kernel %(kernel)s, %(date)s" % info, flush=True)
    bare, beacon, hold = [], [], None
    with lab.Lab(hosts=3) as the_lab:
        bench = Bench(args, programs, the_lab)
        if not args.skip_bare:
            bare = bench.bare_sweep()
        pid = bench.start_beacon()
        beacon = bench.beacon_sweep(pid)
        if args.hold_seconds > 0:
            hold = bench.hold(pid)
        if bench.beacon.poll() is not None:
            print("the beacon ended during the benchmark: %s" % bench.beacon.stderr_text(), flush=True)
        bench.beacon.stop()
    text = tables(info, args, bare, beacon, hold)
    print()
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "args": vars(args), "bare": bare, "beacon": beacon, "hold": hold}, f,
                      indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
