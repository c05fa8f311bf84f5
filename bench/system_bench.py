#!/usr/bin/env python3
"""System benchmark: how close the single-threaded beacon comes to the limit
of its design under a datagram flood.

    sudo python3 bench/system_bench.py --build build-sysbench

A lab of four namespaces on one bridge (tests/net/lab.py):
  h1  the flood sender: quillon_flood, K source addresses 10.77.0.100.. on
      its interface, one socket per address, probes to GROUP/PORT;
  h2  the beacon under test (quillon -n bench -a a@b -b GROUP/PORT -d dump.xml);
  h4  the bare receiver (quillon_bare_receiver: select() and one recvmsg()
      per pass, nothing else);
  h3  an observer that records the beacon's own probes and reports (a
      source-specific join on h2's address, so the flood does not reach it).
Both receivers are started once; for each step the one not measured is
stopped (SIGSTOP: its own periodic work must not take the CPU the two share)
and its bridge port disabled (the flood reaches only the one measured), so
that the two are measured in turn under the same conditions.

Each receiver is flooded at every rate of --rates (datagrams/s, 0 = as fast
as the sender can) for --step-seconds, bare and beacon in turn, and the
sweep is repeated --repeat times (the machine's speed drifts; medians are
compared).  Per step, from the receiver's
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

Last, the full matrix: every flood source first sends reports naming itself
and listing the other K-1 sources with figures, as K real beacons would, so
that the beacon's table holds K x (K-1) reported entries and its dump is as
large as such a group makes it; then both receivers get the probe flood at
--hold-rate for --matrix-seconds, with --matrix-reports reports per second
alongside.

With --ssm the beacon runs with -S, so that it joins every flood source's
(S,G) channel: 'many' keeps the default net.ipv4.igmp_max_msf (10), which
puts fifteen SSM sockets into its wait with 150 senders; 'one' raises the
limit in its namespace, so one socket holds them all.  The two runs compare
what the extra descriptors in the wait cost per datagram.

The flood sender is pinned to CPU 0 and the receivers to CPU 1 (--no-pin to
leave placement to the scheduler), both SCHED_FIFO by default (--sched), so
that other work on the machine neither delays them nor takes their CPU.
The kernel delivers the flood into the receiver's socket on the sender's
CPU, so the sender's core bounds the highest rate.  All traffic stays inside
the lab's namespaces; the flood's TTL is 1.

Wall time with the defaults: about 13 minutes.  Needs root; exits 77 when the
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
    ap.add_argument("--matrix-seconds", type=float, default=30.0,
                    help="length of the full-matrix steps (0: none): the same flood at --hold-rate while the "
                         "senders also send reports listing each other")
    ap.add_argument("--matrix-reports", type=float, default=5.0,
                    help="reports per second from all senders together during the full-matrix steps")
    ap.add_argument("--baseline-seconds", type=float, default=10.0,
                    help="idle time before each sweep over which the receiver's own CPU use is measured")
    ap.add_argument("--repeat", type=int, default=2, help="sweeps of bare and beacon in turn")
    ap.add_argument("--no-pin", action="store_true", help="do not pin sender and receiver to CPUs")
    ap.add_argument("--sched", choices=("fifo", "nice", "none"), default="fifo",
                    help="scheduling of sender and receivers: SCHED_FIFO (default), nice -19, or as started")
    ap.add_argument("--burst", type=int, default=1, help="datagrams per sendmmsg() call of the flood (1..64)")
    ap.add_argument("--ssm", choices=("off", "one", "many"), default="off",
                    help="beacon with -S: 'many' keeps the default igmp_max_msf (10), so the senders' (S,G) "
                         "joins spread over one SSM socket per ten senders, all in the wait; 'one' raises "
                         "the limit in the beacon's namespace so that one socket holds them all")
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
        self.sender, self.rx, self.obs, self.bare_host = the_lab.hosts
        self.first_source = sl.add_addresses(self.sender, FIRST_SOURCE_OCTET, args.senders)
        self.pin = not args.no_pin
        self.sched = sl.sched_prefix(args.sched)
        if args.ssm == "one":
            self.rx.sysctl("net.ipv4.igmp_max_msf", args.senders + 10)
        # The observer joins (h2, GROUP) from the start, so that the flood
        # costs the sender the same in every phase.
        self.observer = self.lab.receiver(self.obs, GROUP, PORT, source=self.rx.addr4, duration=7200)

    # -- the flood -----------------------------------------------------------

    def flood_argv(self, rate, seconds, mode="probe"):
        return self.sched + sl.pin_prefix(0, self.pin) + [
            self.programs["quillon_flood"], "-g", GROUP, "-p", PORT, "-s", self.first_source,
            "-k", self.args.senders, "-r", "%g" % rate, "-t", "%g" % seconds, "-i", self.sender.ifname,
            "-b", self.args.burst, "-m", mode]

    def flood(self, rate, seconds):
        r = self.sender.execute(self.flood_argv(rate, seconds), timeout=seconds + 60)
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

    def step(self, pid, rate, seconds, before_hook=None, after_hook=None, idle_rate=0.0):
        time.sleep(2.0)  # queues empty; a resumed beacon catches up with its timers
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

    # -- the receivers -------------------------------------------------------

    def start_bare(self):
        proc = self.bare_host.run(self.sched + sl.pin_prefix(1, self.pin) + [
            self.programs["quillon_bare_receiver"], "-g", GROUP, "-p", PORT], label="bare")
        if not lab.wait_for(lambda: "ready" in proc.stdout_text() or proc.poll() is not None, 10):
            raise lab.LabError("bare receiver did not start")
        if proc.poll() is not None:
            raise lab.LabError("bare receiver failed: " + proc.stderr_text())
        self.bare = proc
        return proc.pid

    def bare_status(self):
        """The bare receiver's own count and CPU microseconds (SIGUSR1)."""
        proc = self.bare
        n = len(STATUS_RE.findall(proc.stdout_text()))
        os.kill(proc.pid, signal.SIGUSR1)
        lab.wait_for(lambda: len(STATUS_RE.findall(proc.stdout_text())) > n, 5)
        c, u, s_ = STATUS_RE.findall(proc.stdout_text())[-1]
        return int(c), int(u) + int(s_)

    def start_beacon(self):
        self.dump = os.path.join(self.lab.tmpdir, "dump.xml")
        argv = self.sched + sl.pin_prefix(1, self.pin) + [self.programs["quillon"], "-n", "bench", "-a", "a@b",
                                                          "-b", "%s/%d" % (GROUP, PORT), "-d", self.dump]
        if self.args.ssm != "off":
            argv += ["-S"]
        self.beacon = self.rx.run(argv, label="quillon")
        self.beacon_start_wall = sl.process_start_wall(self.beacon.pid)
        # The first burst starts 100 ms after start-up.
        got = lab.wait_for(lambda: any(sl.is_probe(r.payload) for r in self.observer.records()), 10)
        if not got or self.beacon.poll() is not None:
            raise lab.LabError("beacon did not start: " + self.beacon.stderr_text())
        return self.beacon.pid

    def connect_only(self, host):
        """Lets the flood reach host's receiver alone: the bridge port of the
        other receiver is disabled."""
        for h in (self.rx, self.bare_host):
            state = 3 if h is host else 0  # forwarding / disabled
            r = lab._run(["bridge", "-n", self.lab.switch.ns, "link", "set", "dev", h.port, "state", str(state)])
            if r.returncode != 0:
                raise lab.LabError("bridge port %s: %s" % (h.port, r.stderr.strip()))

    def run_only(self, which):
        """Lets only one receiver run: the other is stopped (SIGSTOP), so
        that its own periodic work (the beacon's dump, for one) cannot take
        the shared CPU from the one measured, and its bridge port is
        disabled, so that the flood reaches only the one measured."""
        mine, other = (self.bare, self.beacon) if which == "bare" else (self.beacon, self.bare)
        os.kill(other.pid, signal.SIGSTOP)
        os.kill(mine.pid, signal.SIGCONT)
        if mine is self.beacon:
            # A process stopped in its wait resumes the wait for the time it
            # still had to go; SIGCHLD (reaping, harmless) ends that wait, so
            # that the beacon catches up with its timers now, before the
            # step, rather than when the flood's first datagram arrives.
            os.kill(mine.pid, signal.SIGCHLD)
        self.connect_only(self.bare_host if which == "bare" else self.rx)

    def resume_all(self):
        for proc in (self.bare, self.beacon):
            if proc.poll() is None:
                os.kill(proc.pid, signal.SIGCONT)

    def measure(self, which, rate, seconds, rep=0, label=None):
        self.run_only(which)
        if which == "bare":
            d = self.step(self.bare.pid, rate, seconds, self.bare_status, self.bare_status,
                          idle_rate=self.idle["bare"])
        else:
            d = self.step(self.beacon.pid, rate, seconds, idle_rate=self.idle["beacon"])
            self.add_schedule(d)
        d["receiver"] = label or which
        d["rep"] = rep
        self.print_step(d)
        return d

    def sweeps(self):
        """Bare and beacon in turn at every rate, --repeat times; the order
        of the two alternates from one sweep to the next."""
        bare_pid, beacon_pid = self.start_bare(), self.start_beacon()
        self.connect_only(self.rx)
        before = {"bare": sl.Snapshot(bare_pid), "beacon": sl.Snapshot(beacon_pid)}
        time.sleep(self.args.baseline_seconds)
        self.idle = {}
        for which, pid in (("bare", bare_pid), ("beacon", beacon_pid)):
            d = before[which].delta(sl.Snapshot(pid))
            self.idle[which] = (d["run_s"] if d["run_s"] is not None else d["cpu_s"]) / d["seconds"]
        results = []
        for rep in range(self.args.repeat):
            for rate in self.args.rates:
                order = ("bare", "beacon") if (rep % 2 == 0) else ("beacon", "bare")
                for which in order:
                    results.append(self.measure(which, rate, self.args.step_seconds, rep))
        return results

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

    def hold(self):
        """A long flood of the beacon at one rate: CPU and drops as in a
        step, and its schedule over several report periods."""
        d = self.measure("beacon", self.args.hold_rate, self.args.hold_seconds, label="beacon (hold)")
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
        return d

    def matrix(self):
        """Both receivers under the probe flood while the senders also
        report on each other: the beacon's table holds the full matrix."""
        results = []
        seconds = self.args.matrix_seconds
        self.run_only("beacon")
        # Every sender reports twice: the beacon learns all K x (K-1) entries.
        r = self.sender.execute(self.flood_argv(50, 2 * self.args.senders / 50.0, "report"), timeout=120)
        if r.returncode != 0:
            raise lab.LabError("report flood failed: " + r.stderr)
        time.sleep(6.0)  # at least one dump of the full matrix
        for which in ("beacon", "bare"):
            reports = self.sender.run(self.flood_argv(self.args.matrix_reports, seconds + 4, "report"),
                                      label="reports")
            d = self.measure(which, self.args.hold_rate, seconds, label=which + " (matrix)")
            reports.wait(seconds + 30)
            d["drop_phases"] = [((t - self.beacon_start_wall) % 5.0, n) for t, n in d["drop_events"]]
            results.append(d)
        return results

    # -- printing ------------------------------------------------------------

    @staticmethod
    def print_step(d):
        line = ("%-14s #%d %5s: sent %8d (%6d/s, %d errors) read %8d drops %7d other %6d  cpu %s us/dgram "
                "(sched %s)  %.0f%% of a core  VmHWM %s kB" % (
                    d["receiver"], d.get("rep", 0) + 1, rate_label(d["rate"]), d["sent"], d["achieved"], d["send_errors"], d["read"],
                    d["sock_drops"], d["lost_elsewhere"], sl.fmt(d["cpu_us_per_dgram"], 3),
                    sl.fmt(d["run_us_per_dgram"], 3), 100 * d["cpu_share"], d["vmhwm_kb"]))
        if "own_count" in d:
            line += "  own count %d" % d["own_count"]
        if "gaps" in d:
            g = d["gaps"]
            line += "  bursts %d, gap max dev %s ms" % (d["bursts"], sl.fmt(g and g["max_dev"], 1))
        print(line, flush=True)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def comparison(steps):
    """Per rate: bare and beacon of the same sweep side by side."""
    rows = []
    for rate in dict.fromkeys(d["rate"] for d in steps):
        pairs = []
        for rep in sorted({d["rep"] for d in steps}):
            a = [d for d in steps if d["receiver"] == "bare" and d["rate"] == rate and d["rep"] == rep]
            b = [d for d in steps if d["receiver"] == "beacon" and d["rate"] == rate and d["rep"] == rep]
            if a and b:
                pairs.append((a[0], b[0]))
        if not pairs:
            continue

        def ratio(key, pair):
            x, y = pair[0][key], pair[1][key]
            return y / x if x and y else None
        rows.append({
            "rate": rate,
            "bare_achieved": median([a["achieved"] for a, _ in pairs]),
            "beacon_achieved": median([b["achieved"] for _, b in pairs]),
            "bare_us": median([a["run_us_per_dgram"] for a, _ in pairs]),
            "beacon_us": median([b["run_us_per_dgram"] for _, b in pairs]),
            "ratios": [ratio("run_us_per_dgram", p) for p in pairs],
            "ratio": median([ratio("run_us_per_dgram", p) for p in pairs]),
            "marginal_ratio": median([ratio("marginal_us_per_dgram", p) for p in pairs]),
            "bare_drops": sum(a["sock_drops"] for a, _ in pairs),
            "beacon_drops": sum(b["sock_drops"] for _, b in pairs),
            "bare_read": sum(a["read"] for a, _ in pairs),
            "beacon_read": sum(b["read"] for _, b in pairs),
        })
    return rows


def tables(info, args, steps, idle, hold, matrix):
    out = []
    out.append("Machine: %s, %d cores, Linux %s; %s" % (info["model"], info["cores"], info["kernel"], info["date"]))
    out.append("Flood: %d senders, %g s per step, %d sweep(s), %d datagram(s) per send call; sender on CPU 0, "
               "receivers on CPU 1%s; scheduling: %s." % (
                   args.senders, args.step_seconds, args.repeat, args.burst,
                   "" if not args.no_pin else " (not pinned)",
                   {"fifo": "SCHED_FIFO", "nice": "nice -19", "none": "default"}[args.sched]))
    out.append("Idle CPU before the floods (%% of a core): bare receiver %s, beacon %s." % (
        sl.fmt(100 * idle["bare"], 3), sl.fmt(100 * idle["beacon"], 3)))
    out.append("")
    header = ["receiver", "sweep", "rate", "sent", "achieved/s", "read", "sock drops", "lost elsewhere",
              "CPU us/dgram (stat)", "CPU us/dgram (schedstat)", "marginal us/dgram", "% core", "peak RSS kB"]
    rows = []
    for d in steps + ([hold] if hold else []) + matrix:
        rows.append([d["receiver"], d.get("rep", 0) + 1, rate_label(d["rate"]), d["sent"], d["achieved"], d["read"],
                     d["sock_drops"], d["lost_elsewhere"], sl.fmt(d["cpu_us_per_dgram"], 3),
                     sl.fmt(d["run_us_per_dgram"], 3), sl.fmt(d["marginal_us_per_dgram"], 3),
                     "%.1f" % (100 * d["cpu_share"]), d["vmhwm_kb"]])
    out.append(sl.markdown_table(header, rows))
    out.append("")
    header = ["rate", "achieved/s bare", "achieved/s beacon", "bare us/dgram", "beacon us/dgram",
              "ratio per sweep", "ratio (median)", "ratio, marginal", "drops bare", "drops beacon"]
    rows = [[rate_label(c["rate"]), sl.fmt(c["bare_achieved"], 0), sl.fmt(c["beacon_achieved"], 0),
             sl.fmt(c["bare_us"], 3), sl.fmt(c["beacon_us"], 3), ", ".join(sl.fmt(r, 2) for r in c["ratios"]),
             sl.fmt(c["ratio"], 2), sl.fmt(c["marginal_ratio"], 2),
             "%d of %d" % (c["bare_drops"], c["bare_read"] + c["bare_drops"]),
             "%d of %d" % (c["beacon_drops"], c["beacon_read"] + c["beacon_drops"])] for c in comparison(steps)]
    out.append(sl.markdown_table(header, rows))
    sched = [d for d in steps if d["receiver"] == "beacon"] + ([hold] if hold else [])
    if sched:
        out.append("")
        header = ["step", "bursts", "gaps", "gap min ms", "mean", "max", "stddev", "max |gap-100|",
                  "probes lost"]
        rows = []
        for d in sched:
            g = d["gaps"] or {}
            rows.append(["%s %s #%d" % (d["receiver"], rate_label(d["rate"]), d.get("rep", 0) + 1), d["bursts"],
                         g.get("n", 0), sl.fmt(g.get("min"), 1), sl.fmt(g.get("mean"), 2), sl.fmt(g.get("max"), 1),
                         sl.fmt(g.get("stddev"), 2), sl.fmt(g.get("max_dev"), 1), d["probes_lost"]])
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
    if matrix:
        out.append("")
        out.append("Full matrix (%d senders reporting on each other, %g reports/s during the flood):" % (
            args.senders, args.matrix_reports))
        for d in matrix:
            events = d["drop_phases"]
            out.append("- %s: read %d, socket drops %d in %d of the 0.1-second samples%s" % (
                d["receiver"], d["read"], d["sock_drops"], len(events),
                "; phase in the beacon's 5-second dump cycle (s after a dump is due): " +
                ", ".join("%.2f (%d)" % (p, n) for p, n in sorted(events)) if events else ""))
    out.append("")
    out.append(verdicts(steps, hold, matrix))
    return "\n".join(out)


def verdicts(steps, hold, matrix):
    """The targets, judged at the rate of the sweep closest to 100k
    datagrams/s (medians over the sweeps, drops summed) and on the hold."""
    lines = ["Targets:"]
    rows = [c for c in comparison(steps) if c["rate"] > 0]
    top = min(rows, key=lambda c: abs(c["rate"] - 100000), default=None)
    if top:
        ok = top["ratio"] is not None and top["ratio"] <= 1.25
        lines.append("- CPU per datagram at %s (achieved %s/s bare, %s/s beacon): beacon %s us, bare %s us, "
                     "ratio %s (per sweep %s): %s (target <= 1.25)" % (
                         rate_label(top["rate"]), sl.fmt(top["bare_achieved"], 0), sl.fmt(top["beacon_achieved"], 0),
                         sl.fmt(top["beacon_us"], 3), sl.fmt(top["bare_us"], 3), sl.fmt(top["ratio"], 2),
                         ", ".join(sl.fmt(r, 2) for r in top["ratios"]), "met" if ok else "MISSED"))
        # The two may have been flooded at different rates: compare shares.
        share_a = top["bare_drops"] / max(1, top["bare_read"] + top["bare_drops"])
        share_b = top["beacon_drops"] / max(1, top["beacon_read"] + top["beacon_drops"])
        lines.append("- socket drops at %s: beacon %d (%.4f %%), bare %d (%.4f %%): %s" % (
            rate_label(top["rate"]), top["beacon_drops"], 100 * share_b, top["bare_drops"], 100 * share_a,
            "met" if share_b <= share_a else "MISSED"))
        if max(top["bare_achieved"], top["beacon_achieved"]) < 0.95 * top["rate"]:
            lines.append("- the sender did not reach %s datagrams/s on this machine" % rate_label(top["rate"]))
    if hold:
        g = hold["gaps"] or {}
        ok_gaps = bool(g) and g["max_dev"] <= 2.0
        dev = hold["report_period_deviation"]
        report_verdict = ("not measured (a hold of 3 report periods or more is needed)" if dev is None
                          else "met" if dev <= 0.1 else "MISSED")
        lines.append("- schedule in the hold: largest |probe gap - 100 ms| %s ms over %d gaps (%s, target 2 ms); "
                     "report periods within %s ms of 2 x beacon_interval (%s, tolerance 100 ms)" % (
                         sl.fmt(g.get("max_dev"), 2), g.get("n", 0), "met" if ok_gaps else "MISSED",
                         sl.fmt(dev * 1000 if dev is not None else None, 0), report_verdict))
    by = {d["receiver"].split()[0]: d for d in matrix}
    if "beacon" in by and "bare" in by:
        a, b = by["bare"], by["beacon"]
        share_a = a["sock_drops"] / max(1, a["read"] + a["sock_drops"])
        share_b = b["sock_drops"] / max(1, b["read"] + b["sock_drops"])
        lines.append("- socket drops with the full matrix: beacon %d of %d, bare %d of %d: %s" % (
            b["sock_drops"], b["read"] + b["sock_drops"], a["sock_drops"], a["read"] + a["sock_drops"],
            "met" if share_b <= share_a else "MISSED"))
    return "\n".join(lines)


def main():
    args = parse_args()
    lab.require_root()
    programs = sl.find_programs(args.build)
    info = sl.machine()
    print("machine: %(model)s, %(cores)s cores, kernel %(kernel)s, %(date)s" % info, flush=True)
    hold, matrix = None, []
    with lab.Lab(hosts=4) as the_lab:
        bench = Bench(args, programs, the_lab)
        steps = bench.sweeps()
        if args.hold_seconds > 0:
            hold = bench.hold()
        matrix = bench.matrix() if args.matrix_seconds > 0 else []
        bench.resume_all()
        if args.ssm != "off":
            # The SSM channel's sockets, all bound to its group and port.
            out = bench.rx.check_output(["ss", "-uanH"])
            ssm_sockets = sum(1 for line in out.splitlines() if "232.2.3.2:10000" in line)
            info["ssm_sockets"] = ssm_sockets
            print("SSM sockets of the beacon in the wait: %d" % ssm_sockets, flush=True)
        if bench.beacon.poll() is not None:
            print("the beacon ended during the benchmark: %s" % bench.beacon.stderr_text(), flush=True)
        bench.beacon.stop()
        bench.bare.stop()
        idle = bench.idle
    text = tables(info, args, steps, idle, hold, matrix)
    print()
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "args": vars(args), "idle": idle, "steps": steps, "hold": hold,
                       "matrix": matrix}, f,
                      indent=1, default=str)
    return 0


if __name__ == "__main__":
    sys.exit(main())
