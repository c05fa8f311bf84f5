"""Helpers shared by the system benchmarks (system_bench.py, idle_bench.py):
where the programs are, what /proc says about a process and its network
namespace, and what an observer saw of a beacon's probes and reports.

Nothing here sends traffic; the benchmarks do that inside the namespaces of
the lab (tests/net/lab.py)."""

import math
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(BENCH_DIR)
sys.path.insert(0, os.path.join(REPO, "tests", "net"))

import lab  # noqa: E402  (tests/net/lab.py)

CLK_TCK = os.sysconf("SC_CLK_TCK")
PROBE_SPACING_MS = 100.0
PROBE_LENGTH = 12
TOOLS = ("quillon_flood", "quillon_bare_receiver")


# ---------------------------------------------------------------------------
# Programs

def find_programs(build):
    """Paths of quillon and of the two bench tools in the build directory.
    The tools are normally built by CMake (target quillon_flood,
    quillon_bare_receiver, from bench/tools.cmake); when a build has not
    got them yet, they are compiled here from their single source files."""
    build = os.path.abspath(build)
    quillon = os.path.join(build, "quillon")
    if not os.access(quillon, os.X_OK):
        sys.exit("no quillon in %s: build it first (cmake --build %s --target quillon)" % (build, build))
    found = {"quillon": quillon}
    for tool in TOOLS:
        path = os.path.join(build, "bench", tool)
        if not os.access(path, os.X_OK):
            source = os.path.join(BENCH_DIR, tool[len("quillon_"):] + ".cpp")
            compiler = shutil.which("c++") or shutil.which("g++")
            if not compiler or not os.path.exists(source):
                sys.exit("no %s in %s/bench and no way to compile it" % (tool, build))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            print("compiling %s from %s" % (tool, os.path.relpath(source, REPO)), flush=True)
            subprocess.run([compiler, "-std=c++17", "-O2", "-Wall", "-Wextra", "-o", path, source], check=True)
        found[tool] = path
    return found


# ---------------------------------------------------------------------------
# /proc

def udp_counters(pid):
    """The Udp counters of /proc/net/snmp in the network namespace of pid,
    as a dict (InDatagrams, RcvbufErrors, InErrors, ...)."""
    with open("/proc/%d/net/snmp" % pid) as f:
        lines = [ln.split() for ln in f if ln.startswith("Udp:")]
    names, values = lines[0][1:], lines[1][1:]
    return {n: int(v) for n, v in zip(names, values)}


def cpu_seconds(pid):
    """(utime + stime from /proc/PID/stat in seconds, on-CPU time from
    /proc/PID/schedstat in seconds).  The first has the resolution of the
    clock tick; the second is exact to the nanosecond."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            run_ns = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        run_ns = None
    return ticks / CLK_TCK, (run_ns / 1e9 if run_ns is not None else None)


def status_kb(pid, key):
    """A kB figure of /proc/PID/status (VmHWM, VmRSS...)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


class Snapshot:
    """Counters of one receiving process at one moment."""

    def __init__(self, pid):
        self.time = time.monotonic()
        self.udp = udp_counters(pid)
        self.cpu, self.run = cpu_seconds(pid)

    def delta(self, later):
        d = {
            "seconds": later.time - self.time,
            "read": later.udp["InDatagrams"] - self.udp["InDatagrams"],
            "sock_drops": later.udp["RcvbufErrors"] - self.udp["RcvbufErrors"],
            "in_errors": later.udp["InErrors"] - self.udp["InErrors"],
            "cpu_s": later.cpu - self.cpu,
        }
        d["run_s"] = (later.run - self.run) if later.run is not None and self.run is not None else None
        return d


class Sampler:
    """Samples (wall time, InDatagrams, RcvbufErrors) of pid's namespace
    every `interval` seconds in a thread, between start() and stop()."""

    def __init__(self, pid, interval=0.1):
        import threading
        self.pid = pid
        self.interval = interval
        self.samples = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            try:
                c = udp_counters(self.pid)
            except OSError:
                return
            self.samples.append((time.time(), c["InDatagrams"], c["RcvbufErrors"]))
            self._stop.wait(self.interval)

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.samples

    def count_at(self, wall):
        """InDatagrams at wall time `wall`, interpolated between samples."""
        s = self.samples
        if not s or wall < s[0][0] or wall > s[-1][0]:
            return None
        for (t0, c0, _), (t1, c1, _) in zip(s, s[1:]):
            if t0 <= wall <= t1:
                return c0 + (c1 - c0) * ((wall - t0) / (t1 - t0) if t1 > t0 else 0.0)
        return s[-1][1]

    def drop_events(self):
        """(wall time, drops) of each sampling interval in which the socket
        refused datagrams; the time is the middle of the interval."""
        return [((t0 + t1) / 2, e1 - e0) for (t0, _, e0), (t1, _, e1) in zip(self.samples, self.samples[1:])
                if e1 > e0]


def process_start_wall(pid):
    """Wall-clock time at which pid started (to the clock tick)."""
    with open("/proc/%d/stat" % pid) as f:
        start_ticks = int(f.read().rsplit(")", 1)[1].split()[19])
    since_boot = time.clock_gettime(time.CLOCK_BOOTTIME)
    return time.time() - (since_boot - start_ticks / CLK_TCK)


def machine():
    """Model, cores and kernel of this machine."""
    model = platform.processor() or "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        m = re.search(r"^Model name:\s*(.+)$", out, re.M)
        if m:
            model = m.group(1).strip()
        hv = re.search(r"^Hypervisor vendor:\s*(.+)$", out, re.M)
        if hv:
            model += " (%s guest)" % hv.group(1).strip()
    except OSError:
        pass
    return {"model": model, "cores": os.cpu_count(), "kernel": platform.release(),
            "date": time.strftime("%Y-%m-%d %H:%M %Z")}


def pin_prefix(cpu, enabled=True):
    """taskset prefix that pins a command to one CPU, when possible."""
    if not enabled or cpu is None or (os.cpu_count() or 1) < 2 or not shutil.which("taskset"):
        return []
    return ["taskset", "-c", str(cpu)]


def sched_prefix(policy):
    """Command prefix for a scheduling policy: 'fifo' (SCHED_FIFO 10, so
    that other load on the machine cannot delay the process), 'nice'
    (nice -19) or 'none'."""
    if policy == "fifo" and shutil.which("chrt"):
        return ["chrt", "-f", "10"]
    if policy in ("fifo", "nice"):
        return ["nice", "-n", "-19"]
    return []


def add_addresses(host, first_octet, count):
    """Adds 10.77.<segment>.<first_octet + i>/24 for i < count to host's
    interface; returns the first address."""
    if not 1 <= first_octet or first_octet + count - 1 > 253:
        raise ValueError("addresses past .253")
    lines = ["addr add 10.77.%d.%d/24 dev %s" % (host.segment, first_octet + i, host.ifname)
             for i in range(count)]
    r = subprocess.run(["ip", "-n", host.ns, "-batch", "-"], input="\n".join(lines) + "\n",
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise lab.LabError("adding addresses: " + r.stderr.strip())
    return "10.77.%d.%d" % (host.segment, first_octet)


# ---------------------------------------------------------------------------
# What an observer saw of one beacon

def is_probe(payload):
    return len(payload) == PROBE_LENGTH and payload[:4] == b"\xbe\xac\x01\x00"


def is_report(payload):
    return len(payload) >= 5 and payload[:4] == b"\xbe\xac\x01\x01"


def report_kind(payload):
    """Tells the report kinds apart by their TLVs: 'website' (flags TLV),
    'leave', 'figures' (a source TLV with ASM or SSM figures), 'map' (a
    source TLV with a name), or 'empty' (only name and contact: a figures or
    map report of a beacon that lists nobody)."""
    pos = 5
    kind = "empty"
    while pos + 2 <= len(payload):
        t, ln = payload[pos], payload[pos + 1]
        value = payload[pos + 2:pos + 2 + ln]
        if t == 0x46:
            return "website"
        if t == 0x51:
            return "leave"
        if t in (0x69, 0x49):
            inner = value[6 if t == 0x69 else 18:]
            if inner[:1] in (b"A", b"S"):
                kind = "figures"
            elif inner[:1] in (b"n", b"a") and kind != "figures":
                kind = "map"
        pos += 2 + ln
    return kind


def report_sources(payload):
    """Number of source TLVs in a report."""
    pos, n = 5, 0
    while pos + 2 <= len(payload):
        if payload[pos] in (0x69, 0x49):
            n += 1
        pos += 2 + payload[pos + 1]
    return n


def bursts(probes, split_ms=500.0):
    """Splits (time_s, seq) pairs, in arrival order, into bursts: a gap of
    more than split_ms starts a new one (pauses are at least 1000 ms)."""
    out = []
    for t, seq in probes:
        if out and (t - out[-1][-1][0]) * 1000.0 <= split_ms:
            out[-1].append((t, seq))
        else:
            out.append([(t, seq)])
    return out


def burst_gaps(probes, window=None):
    """Gaps in ms between consecutive probes of one burst whose sequence
    numbers are consecutive (a lost probe would double a gap), limited to
    pairs wholly inside window = (start_s, end_s) when given.  Returns
    (gaps, number of bursts with at least one gap counted, lost probes seen
    inside bursts)."""
    gaps, counted, lost = [], 0, 0
    for b in bursts(probes):
        used = False
        for (t0, s0), (t1, s1) in zip(b, b[1:]):
            if window and not (window[0] <= t0 and t1 <= window[1]):
                continue
            step = (s1 - s0) & 0xFFFFFFFF
            if step != 1:
                lost += max(0, step - 1)
                continue
            gaps.append((t1 - t0) * 1000.0)
            used = True
        counted += used
    return gaps, counted, lost


def gap_summary(gaps):
    if not gaps:
        return None
    dev = [abs(g - PROBE_SPACING_MS) for g in gaps]
    return {
        "n": len(gaps), "min": min(gaps), "mean": statistics.fmean(gaps), "max": max(gaps),
        "stddev": statistics.pstdev(gaps) if len(gaps) > 1 else 0.0, "max_dev": max(dev),
    }


def beacon_interval_for(rate_kbps):
    """The beacon_interval a steady received rate leads to, in seconds:
    ln(max(4, rate)) / 1.38 * 4."""
    return math.log(max(4.0, rate_kbps)) / 1.38 * 4.0


# ---------------------------------------------------------------------------
# Output

def markdown_table(header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] + [line(r) for r in rows])


def fmt(value, digits=2, none="n/a"):
    if value is None:
        return none
    if isinstance(value, int):
        return str(value)
    return "%.*f" % (digits, value)
