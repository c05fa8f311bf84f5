#!/usr/bin/env python3
"""Helpers for the hostile-input and fault lab tests (test_flood.py,
test_faults.py): beacon packets built byte by byte from the wire format, a
flooder and a probe sender that run inside a lab namespace
(`python3 hostile_util.py _flood|_probes|_crowd JSON`), a watcher that checks every
version of a dump file as it appears, /proc readings (resident memory,
children, zombies) and a check runner that prints one line per check.  What
all the lab tests share (wire format, log lines, xmllint) is in beacons.py.
"""

import json
import os
import random
import re
import resource
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import beacons  # noqa: E402
from beacons import (  # noqa: E402
    CheckFailed, FIGURES_FORMAT, MAGIC, Malformed, SSMPING_PORT, binary_from_args, is_report, listed_source,
    log_lines, probe, report, split_tlvs, tlv)

PYTHON = sys.executable or "python3"
UTIL_PY = os.path.abspath(__file__)

# ---------------------------------------------------------------------------
# Wire format

PACKET_BUFFER = 8192          # the daemon reads at most this many bytes of a datagram
SSMPING_MAX = 1000
CRAFTED_TTL = 64              # the sender TTL crafted reports announce


def wall_ms():
    return int(time.time() * 1000)


def listing4(ip, port, nested=b""):
    """A source TLV 'i': address, port in network order, nested TLVs."""
    return tlv("i", socket.inet_aton(ip) + struct.pack("!H", port) + nested)


def figures(kind="A", ts=0, age=0, hops=1, delay=1.0, jitter=0.5, loss=0, dup=0, ooo=0):
    return tlv(kind, struct.pack(FIGURES_FORMAT, ts & 0xFFFFFFFF, age, hops, delay, jitter, loss, dup, ooo))


def madeup4(prefix, k):
    """The k-th made-up IPv4 address under a /16 prefix such as '10.200'."""
    return "%s.%d.%d" % (prefix, k // 250, k % 250 + 1)


def split_report(data):
    """Strictly decodes a report: [(type, value)] of its outer TLVs, or None
    when it is not a well-formed report."""
    if not is_report(data):
        return None
    try:
        return [(chr(t), v) for t, v in split_tlvs(data[5:])]
    except Malformed:
        return None


def report_kind(tlvs):
    """'website' (ends with the flags TLV), 'leave', 'map' (sources with
    nested name/contact) or 'report' (sources with figures, or none)."""
    types = [t for t, _ in tlvs]
    if types and types[-1] == "F":
        return "website"
    if "Q" in types:
        return "leave"
    for t, v in tlvs:
        if t in "iI":
            nested = v[6:] if t == "i" else v[18:]
            if nested[:1] in (b"n", b"a"):
                return "map"
    return "report"


def listed_addresses(tlvs):
    """The "ADDR/PORT" texts of the source TLVs among tlvs."""
    return [listed_source(t, v)[0] for t, v in tlvs if t in ("i", "I")]


# ---------------------------------------------------------------------------
# Checks

def check(cond, what, detail=None):
    if not cond:
        raise CheckFailed(what + ("" if detail is None else ": %s" % (detail,)))


class Checks(beacons.Checks):
    """The check runner; a passed check's line gives its name alone."""

    def __init__(self, title):
        super().__init__(title, timed=False)


def setup(doc):
    """--binary, root (else exit 77), the binary's presence; prints the
    script's first doc line.  Returns the binary's path."""
    binary = binary_from_args()
    print(doc.strip().splitlines()[0], flush=True)
    return binary


# ---------------------------------------------------------------------------
# /proc

def rss_kb(pid):
    """VmRSS of a process in kB (None when it is gone)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        return None
    return None


def children(pid):
    """[(child pid, state letter, command)] of the processes whose parent is pid."""
    kids = set()
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                kids.update(int(k) for k in f.read().split())
    except (FileNotFoundError, ProcessLookupError):
        return []
    out = []
    for kid in sorted(kids):
        try:
            with open("/proc/%d/stat" % kid) as f:
                stat = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        head, _, tail = stat.rpartition(")")
        fields = tail.split()
        if len(fields) >= 2 and int(fields[1]) == pid:
            out.append((kid, fields[0], head.split("(", 1)[1]))
    return out


def alive(proc):
    return proc.poll() is None and lab.pid_alive(proc.pid)


# ---------------------------------------------------------------------------
# The probe schedule as an observer sees it

PROBE_SPACING = 0.1


def probe_seq(payload):
    return struct.unpack("!I", payload[4:8])[0]


def bursts_of(probes, split=0.5):
    """Groups probes (Datagrams in time order) into bursts: a silence of
    more than `split` seconds starts a new one."""
    bursts = []
    for p in probes:
        if bursts and p.time - bursts[-1][-1].time <= split:
            bursts[-1].append(p)
        else:
            bursts.append([p])
    return bursts


def grid_origin(burst):
    """The time of the burst's first slot on its 100-ms grid: the median of
    each probe's time less its slot offset, so late probes do not move it."""
    offs = sorted(p.time - PROBE_SPACING * i for i, p in enumerate(burst))
    return offs[len(offs) // 2]


def check_schedule(bursts, within, most, pause_tolerance, busy=()):
    """The burst schedule: every complete burst has 10 probes numbered one
    after the other; the probes keep to the burst's 100-ms grid (the queue
    does not drift: a late probe does not move the later ones), the median
    deviation at most `within` s and none late by more than `most` s beyond
    what `busy` explains: (start, end) intervals in which the daemon was
    known to be busy (writing a dump), a probe due in one leaving at its end
    at the earliest; the pause between bursts (origin to origin, less the
    burst's 1.0 s) is a whole number of seconds, at least 1, within
    `pause_tolerance`.  Returns (median deviation, largest unexplained
    lateness, pauses)."""
    devs, worst = [], 0.0
    for n, b in enumerate(bursts):
        seqs = [probe_seq(p.payload) for p in b]
        check(all((y - x) & 0xFFFFFFFF == 1 for x, y in zip(seqs, seqs[1:])),
              "consecutive numbers in the burst %d" % n, seqs)
        if n < len(bursts) - 1 or len(b) >= 10:
            check(len(b) == 10, "bursts of 10 probes", [len(x) for x in bursts])
        origin = grid_origin(b)
        for i, p in enumerate(b):
            slot = origin + PROBE_SPACING * i
            devs.append(abs(p.time - slot))
            explained = max([end - slot for start, end in busy if start <= slot <= end] + [0.0])
            late = p.time - slot - explained
            worst = max(worst, late)
            check(late <= most, "a probe %.0f ms late (%.0f ms of it while a dump was written)" % (
                (p.time - slot) * 1000, explained * 1000))
    devs.sort()
    median = devs[len(devs) // 2]
    check(median <= within, "median deviation from the grid %.1f ms" % (median * 1000))
    pauses = []
    for x, y in zip(bursts, bursts[1:]):
        pause = grid_origin(y) - grid_origin(x) - 10 * PROBE_SPACING
        pauses.append(pause)
        check(abs(pause - round(pause)) <= pause_tolerance and round(pause) >= 1,
              "pause between bursts of whole seconds", "%.3f s" % pause)
    return median, worst, pauses


# ---------------------------------------------------------------------------
# Log lines

def matching(proc, pattern):
    rx = re.compile(pattern)
    return [(t, msg) for t, msg in log_lines(proc.stderr_text()) if rx.search(msg)]


# ---------------------------------------------------------------------------
# Dump files

def xmllint_complaint(data):
    """None when xmllint is missing or accepts the bytes; else the start of
    its complaint."""
    complaint = beacons.xmllint_complaint(data)
    return complaint and complaint[:500]


def summarize(root):
    """What the checks need of one dump: the local beacon's source addresses,
    the remote beacons with their external sources, and the whole local and
    remote elements' attributes."""
    group = root.find("group")
    beacons = group.findall("beacon")
    local = beacons[0]
    srcs = {}
    for s in local.find("sources").findall("source"):
        stats = {c.tag: dict(c.attrib) for c in s}
        srcs[s.get("addr")] = dict(s.attrib, stats=stats)
    remotes = {}
    for b in beacons[1:]:
        exts = b.find("sources").findall("source")
        remotes[b.get("addr")] = {
            "attrib": dict(b.attrib),
            "externals": len(exts),
            "websites": [dict(w.attrib) for w in b.findall("website")],
            "flags": [f.get("name") for f in b.findall("flag")],
        }
    return {"sources": srcs, "remotes": remotes, "externals": sum(r["externals"] for r in remotes.values()),
            "group": dict(group.attrib), "rates": dict(root.attrib)}


class LintAll:
    """xmllint --noout on several documents at once, one thread each."""

    def __init__(self, items):
        self.results = [None] * len(items)
        self.threads = [threading.Thread(target=self._run, args=(n, data), daemon=True)
                        for n, (_, data) in enumerate(items)]
        for t in self.threads:
            t.start()

    def _run(self, n, data):
        self.results[n] = xmllint_complaint(data) or ""

    def result(self, n):
        self.threads[n].join()
        return self.results[n] or ""


class DumpWatcher(threading.Thread):
    """Polls a dump file and checks every new version as it appears: it must
    parse (ElementTree) and satisfy xmllint --noout.  Keeps for each version
    (seen, mtime, inode, size, summary); a failing version goes to `errors`.
    Versions larger than `defer_over` bytes are only copied when they appear
    and checked by finish(), so that the checking does not take the CPU from
    the daemon under test.  Also counts the polls that see FILE.working."""

    def __init__(self, path, poll=0.1, keep_text=False, defer_over=None):
        super().__init__(daemon=True)
        self.path = path
        self.poll = poll
        self.keep_text = keep_text
        self.defer_over = defer_over
        self.versions = []
        self.errors = []
        self.deferred = []
        self.working_seen = 0
        self.stopping = False
        self.lock = threading.Lock()

    def run(self):
        last = None
        while not self.stopping:
            try:
                st = os.stat(self.path)
                key = (st.st_ino, st.st_mtime_ns, st.st_size)
            except OSError:
                key = None
            if key is not None and key != last:
                try:
                    with open(self.path, "rb") as f:
                        st = os.fstat(f.fileno())
                        data = f.read()
                except OSError:
                    data = None
                if data is not None:
                    last = (st.st_ino, st.st_mtime_ns, st.st_size)
                    version = {"seen": time.time(), "mtime": st.st_mtime, "inode": st.st_ino,
                               "size": len(data), "summary": None, "text": data if self.keep_text else None}
                    with self.lock:
                        self.versions.append(version)
                    if self.defer_over is not None and len(data) > self.defer_over:
                        self.deferred.append((version, data))
                    else:
                        self._take(version, data)
            if os.path.exists(self.path + ".working"):
                self.working_seen += 1
            time.sleep(self.poll)

    def _take(self, version, data, complaint=None):
        if complaint is None:
            complaint = xmllint_complaint(data)
        summary = None
        try:
            summary = summarize(ET.fromstring(data))
        except (ET.ParseError, AttributeError, IndexError) as e:
            complaint = (complaint + "; " if complaint else "") + "ElementTree: %s" % e
        with self.lock:
            if complaint:
                self.errors.append((version["mtime"], complaint, data[:300]))
            version["summary"] = summary

    def finish(self):
        """Stops polling and checks the deferred versions (xmllint runs on
        all of them at once while ElementTree parses them one by one)."""
        self.stopping = True
        self.join(5)
        lint = None
        if self.deferred and shutil.which("xmllint"):
            lint = LintAll(self.deferred)
        for n, (version, data) in enumerate(self.deferred):
            self._take(version, data, complaint=lint.result(n) if lint else "")
        self.deferred = []

    def snapshot(self):
        with self.lock:
            return list(self.versions)

    def wait_for(self, predicate, timeout):
        """Waits for a version (after those already seen) for which
        predicate(version) holds; returns it or None."""
        start = len(self.snapshot())

        def found():
            for v in self.snapshot()[start:]:
                if v["summary"] is not None and predicate(v):
                    return v
            return None
        return lab.wait_for(found, timeout, interval=0.05)


# ---------------------------------------------------------------------------
# Helpers run inside a namespace

def _mcast_socket(src, sport, ifname, ttl=64):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((src, sport))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, ttl)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    index = socket.if_nametoindex(ifname)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, struct.pack("=4s4si", b"\0" * 4, b"\0" * 4, index))
    return s


def run_helper(host, mode, job, label=None):
    """Starts a helper of this file in host's namespace (LabProcess)."""
    return host.run([PYTHON, "-S", UTIL_PY, mode, json.dumps(job)], label=label or mode.strip("_"))


def _send(sock, data, dst):
    try:
        sock.sendto(data, dst)
        return True
    except OSError:
        return False


def _helper_probes(job):
    """A crafted beacon: probes from (src, sport) to the group, numbered from
    `seq` on, `interval` s apart, `count` of them or until wall time `until`,
    first at wall time `start` (or at once).  `offset_ms` is added to every
    timestamp.  Every `report_every` probes (from wall time `reports_from`
    on) a report goes out too, built by
    the `reports` list in turn: {"name", "contact", "listings": [prefix,
    first, count], "figures": bool, "pad_to": bytes, "truncate": bool}.
    Writes {"sent": [[index, seq, ts, wall]], "reports": n} to `out`."""
    s = _mcast_socket(job["src"], job["sport"], job["ifname"], job.get("ttl", 64))
    dst = (job["group"], job["port"])
    seq = job["seq"]
    count = job.get("count")
    until = job.get("until")
    interval = job["interval"]
    offset = job.get("offset_ms", 0)
    reports = job.get("reports") or []
    every = job.get("report_every", 0)
    start = job.get("start") or time.time()
    while time.time() < start:
        time.sleep(min(0.01, start - time.time()))
    sent, nrep, i = [], 0, 0
    t0 = time.monotonic()
    while (count is None or i < count) and (until is None or time.time() < until):
        due = t0 + i * interval
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        ts = wall_ms() + offset
        now = time.time()
        if _send(s, probe(seq, ts), dst):
            sent.append([i, seq & 0xFFFFFFFF, ts & 0xFFFFFFFF, now])
        seq += 1
        i += 1
        if every and reports and i % every == 0 and time.time() >= job.get("reports_from", 0):
            r = reports[nrep % len(reports)]
            _send(s, build_report(r), dst)
            nrep += 1
    with open(job["out"], "w") as f:
        json.dump({"sent": sent, "reports": nrep}, f)


def _helper_crowd(job):
    """Many crafted beacons in one process: every address of `sources` (on
    this host) sends probes from port `sport` to every group of `groups`
    (ASM and SSM alike), `rate` probes per second per source and group, each
    source with its own sequence, until wall time `until`.  Writes
    {"sent": n} to `out`."""
    family = socket.AF_INET6 if ":" in job["sources"][0] else socket.AF_INET
    index = socket.if_nametoindex(job["ifname"])
    socks = []
    for src in job["sources"]:
        s = socket.socket(family, socket.SOCK_DGRAM)
        s.bind((src, job["sport"]))
        if family == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 64)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_LOOP, 0)
        else:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 64)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                         struct.pack("=4s4si", b"\0" * 4, b"\0" * 4, index))
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        socks.append(s)
    groups = [(g, job["port"]) for g in job["groups"]]
    seq = [random.randrange(1 << 20) for _ in socks]
    period = 1.0 / job["rate"]
    sent, t0, rnd = 0, time.monotonic(), 0
    while time.time() < job["until"]:
        for k, s in enumerate(socks):
            data = probe(seq[k], wall_ms())
            for dst in groups:
                sent += _send(s, data, dst)
            seq[k] += 1
        rnd += 1
        delay = t0 + rnd * period - time.monotonic()
        if delay > 0:
            time.sleep(delay)
    with open(job["out"], "w") as f:
        json.dump({"sent": sent}, f)


def build_report(r):
    """A report from a description (see _helper_probes)."""
    tlvs = [tlv("n", r.get("name", "")), tlv("a", r.get("contact", ""))]
    prefix, first, n = r.get("listings") or ["10.250", 0, 0]
    for k in range(first, first + n):
        nested = b""
        if r.get("figures"):
            nested = figures(ts=k, age=k, hops=3, delay=2.5, jitter=0.25) + tlv("n", "m%d" % k)
        tlvs.append(listing4(madeup4(prefix, k), 10000, nested))
    data = report(tlvs, ttl=CRAFTED_TTL)
    pad_to = r.get("pad_to")
    if pad_to:
        # Fill with bare listings up to the size; the last one may straddle
        # the daemon's 8192-byte buffer.
        more = (pad_to - len(data)) // 8 + 1
        data = (data + b"".join(listing4(madeup4(prefix, first + n + j), 10001) for j in range(more)))[:pad_to]
    if r.get("truncate"):
        data += b"i\xff" + b"\x0a" * 20   # declares 255 bytes, holds 20
    return data


def _helper_flood(job):
    """The flooder.  Phase A (from wall time `start`), paced so the daemon
    takes every datagram in order:
      A1 every reporter (address `reporters[i]`, port `reporter_port`) sends
         a small report: name, contact, country, websites, flags (the texts
         of `identities`, in turn);
      A2 every (address, port) pair of `pair_addrs` x `pair_ports` sends one
         probe;
      A3 every reporter sends one report per entry [first, count, figures]
         of `listing_chunks`, listing made-up beacons under `listing_prefix`
         (bare, or with figures and a name).
    Phase B, until wall time `until`, about `rate` datagrams/s, from the
    (address, port) pairs `pool_addrs` x `pool_ports` in turn: valid probes,
    malformed probes and headers, garbage, truncated and oversized reports,
    reports listing hundreds of made-up beacons, and SSM Ping requests to
    `ssmping_target` (answers are read and matched).
    Progress and counts go to `out` as JSON lines."""
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (16384, 16384))
    except (ValueError, OSError):
        pass
    ifname = job["ifname"]
    dst = (job["group"], job["port"])
    out = open(job["out"], "a")

    def note(**kw):
        kw["t"] = time.time()
        out.write(json.dumps(kw) + "\n")
        out.flush()

    rnd = random.Random(job.get("seed", 7))
    start = job["start"]
    while time.time() < start:
        time.sleep(min(0.01, start - time.time()))
    note(phase="A1")
    identities = job["identities"]
    rsocks = []
    for i, addr in enumerate(job["reporters"]):
        s = _mcast_socket(addr, job["reporter_port"], ifname)
        ident = identities[i % len(identities)]
        tlvs = [tlv("n", ident["name"]), tlv("a", ident["contact"])]
        for letter in "GLM":
            if ident.get(letter):
                tlvs.append(tlv(letter, ident[letter]))
        tlvs.append(tlv("C", bytes.fromhex(ident["country_hex"])))
        tlvs.append(tlv("F", struct.pack("!I", 3)))
        _send(s, report(tlvs, ttl=CRAFTED_TTL), dst)
        rsocks.append(s)
        time.sleep(0.002)
    note(phase="A2")
    pairs = 0
    for port in job["pair_ports"]:
        for addr in job["pair_addrs"]:
            s = _mcast_socket(addr, port, ifname)
            _send(s, probe(rnd.getrandbits(32), wall_ms()), dst)
            s.close()
            pairs += 1
            if pairs % 20 == 0:
                time.sleep(0.004)
    note(phase="A3", pairs=pairs)
    listing_reports = 0
    for i, s in enumerate(rsocks):
        ident = identities[i % len(identities)]
        for first, n, with_figures in job["listing_chunks"]:
            data = build_report({"name": ident["name"], "contact": ident["contact"],
                                 "listings": [job["listing_prefix"], first, n], "figures": with_figures})
            assert len(data) <= PACKET_BUFFER, len(data)
            _send(s, data, dst)
            listing_reports += 1
            time.sleep(job.get("listing_pause", 0.01))
    for s in rsocks:
        s.close()
    note(phase="A-done", listing_reports=listing_reports)

    # Phase B.
    pool = [_mcast_socket(a, p, ifname) for p in job["pool_ports"] for a in job["pool_addrs"]]
    ping = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ping.bind((job["ping_src"], 0))
    ping.setblocking(False)
    ping_dst = (job["ssmping_target"], SSMPING_PORT)
    sent_pings = {}
    answers = []
    counts = {}
    prefix_b = job["pool_listing_prefix"]

    def payloads(k, s_index):
        """The k-th datagram of phase B: (kind, bytes)."""
        r = k % 100
        if r < 40:
            return "probe", probe(rnd.getrandbits(32), wall_ms())
        if r < 44:
            return "probe-11", probe(k, wall_ms())[:11]
        if r < 48:
            return "probe-13", probe(k, wall_ms()) + b"\0"
        if r < 52:
            return "bad-magic", b"\xbe\xad\x01\x00" + os.urandom(8)
        if r < 55:
            return "bad-version", b"\xbe\xac\x02\x01\x40" + tlv("n", "v2")
        if r < 58:
            return "bad-type", bytes([0xBE, 0xAC, 1, rnd.choice((2, 7, 255))]) + os.urandom(8)
        if r < 66:
            return "garbage", os.urandom(rnd.randrange(0, 1400))
        if r < 70:
            return "short", os.urandom(rnd.randrange(0, 4)) if r < 68 else MAGIC + b"\x01\x01"
        if r < 78:
            return "truncated-report", report([tlv("n", "t%d" % k), b"a\x40short"], ttl=CRAFTED_TTL)
        if r < 80:
            return "header-only", MAGIC + b"\x01\x01\x40"
        if r < 82:
            return "listing-report", build_report({"name": "flood%d" % k, "contact": "x",
                                                   "listings": [prefix_b, (k * 7) % 20000, 900]})
        if r == 82 and (k // 100) % 5 == 0:
            size = (8192, 8193, 9000, 16384, 65507)[(k // 500) % 5]
            if size not in oversized:
                oversized[size] = build_report({"name": "big", "contact": "x", "listings": [prefix_b, 0, 10],
                                                "pad_to": size})
            return "oversized-%d" % size, oversized[size]
        if r < 96:
            return "probe", probe(rnd.getrandbits(32), wall_ms())
        return "ssmping", None

    oversized = {}
    until = job["until"]
    rate = job["rate"]
    note(phase="B")
    k = 0
    t0 = time.monotonic()
    ping_sizes = (0, 1, 9, 64, 1000, 1001, 1400, 8000)
    ping_k = 0
    while time.time() < until:
        kind, data = payloads(k, k % len(pool))
        if kind == "ssmping":
            size = ping_sizes[ping_k % len(ping_sizes)]
            first = b"A" if ping_k % 17 == 5 else b"Q"
            ident = struct.pack("!Q", ping_k)
            body = (first + ident + bytes(rnd.getrandbits(8) for _ in range(16)) * 600)[:size]
            if _send(ping, body, ping_dst):
                sent_pings[ident] = (size, body[:1].decode("latin-1"), len(body) >= 9)
            ping_k += 1
        elif _send(pool[k % len(pool)], data, dst):
            counts[kind] = counts.get(kind, 0) + 1
        k += 1
        if k % 50 == 0:
            while True:
                try:
                    a = ping.recv(65535)
                except BlockingIOError:
                    break
                answers.append(a)
            ahead = t0 + k / rate - time.monotonic()
            if ahead > 0:
                time.sleep(ahead)
    end = time.time()
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        try:
            answers.append(ping.recv(65535))
        except BlockingIOError:
            time.sleep(0.02)
    for s in pool:
        s.close()
    # Each answer must be a request with its first byte made 'A'; requests
    # of 1 to 1000 bytes that begin with 'Q' are answered, no other.
    answered, bad = {}, []
    for a in answers:
        ident = a[1:9]
        req = sent_pings.get(ident)
        if len(a) < 9 or req is None or a[:1] != b"A" or req[0] != len(a):
            if len(a) == 1 and a == b"A":
                answered["size1"] = answered.get("size1", 0) + 1
                continue
            bad.append(a[:16].hex())
            continue
        answered[str(req[0]) + req[1]] = answered.get(str(req[0]) + req[1], 0) + 1
    requested = {}
    for size, first, _ in sent_pings.values():
        requested[str(size) + first] = requested.get(str(size) + first, 0) + 1
    note(phase="B-done", end=end, sent=k, counts=counts, pings_requested=requested, pings_answered=answered,
         bad_answers=bad[:10], pool=len(pool))


def note_of(path, phase):
    """The note the flooder wrote at the start (or end) of phase, or None."""
    for n in lab.read_json_lines(path):
        if n.get("phase") == phase:
            return n
    return None


def add_addresses(host, addrs, prefix_len=24):
    """Gives host's interface extra addresses (one ip -batch run); IPv6 ones
    on a /64 without duplicate address detection, usable at once."""
    batch = "".join("addr add %s/%d dev %s%s\n" % (a, 64 if ":" in a else prefix_len, host.ifname,
                                                    " nodad" if ":" in a else "") for a in addrs)
    r = subprocess.run(["ip", "-n", host.ns, "-batch", "-"], input=batch, capture_output=True, text=True)
    if r.returncode != 0:
        raise lab.LabError("adding addresses to %s: %s" % (host.name, r.stderr.strip()))


def _main(argv):
    if argv and argv[0] == "_flood":
        _helper_flood(json.loads(argv[1]))
        return 0
    if argv and argv[0] == "_probes":
        _helper_probes(json.loads(argv[1]))
        return 0
    if argv and argv[0] == "_crowd":
        _helper_crowd(json.loads(argv[1]))
        return 0
    print("usage: hostile_util.py _flood|_probes|_crowd JSON", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
