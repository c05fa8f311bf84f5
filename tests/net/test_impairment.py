#!/usr/bin/env python3
"""Measurement accuracy of the beacon under known impairments.

Time budget: at most 180 s wall time (typically 45-90 s).  Three labs run
at the same time, each in its own thread:

- loss:    one segment; the receiving beacon's namespace drops, with
           nftables, every 4th probe of one beacon (numgen inc) and a random
           20 % of another's (numgen random);
- crafted: one segment; hand-made probe streams from fixed source ports:
           duplicates, reordering, gaps, a reset jump, a 150 gap, time stamps
           shifted by -3000 and +3000 ms, and ten streams under random drop
           for a tight statistical bound;
- delay:   two segments joined by the user-space forwarder, which holds
           every multicast datagram for 200 ms.

Expected figures never come from the daemon.  A "shadow" receiver in the
receiving namespace joins the same group and records every probe the
daemon's socket sees, with the same kernel time stamp (SO_TIMESTAMP); a
model of the window arithmetic (StatsModel in beacons.py) turns those arrivals into
the figures the dump must show.  On top of that, every scenario is checked
against what the impairment itself implies (25.0 % for every 4th probe,
20 % within a stated bound, 200 ms, 3000 ms) and the crafted streams against
counts worked out by hand.

The dump is written every 5 s.  A snapshot is compared with the model at
the moment of its write (its mtime); probes that arrived within half a
second before it are ambiguous, so every model state in that span is
accepted.
"""

import contextlib
import json
import math
import os
import random
import select
import signal
import socket
import struct
import sys
import threading
import time
import traceback
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
from lab import Lab, wait_for  # noqa: E402
from beacons import (  # noqa: E402
    M32, WINDOW, StatsModel, binary_from_args, dump_texts, f32, parse_probe, probe, wait_started)

THIS = os.path.abspath(__file__)
GROUP = "239.77.10.1"
PORT = 10000
SO_TIMESTAMP = 29            # also SCM_TIMESTAMP
AMBIGUOUS_BEFORE = 0.5       # s before a dump's mtime: maybe processed, maybe not
AMBIGUOUS_AFTER = 0.02       # s after it (coarse file time stamps)
MIN_TIMEOUT = 24.0           # s; 6 x the smallest beacon_interval (4.018 s)
Z = 4.0                      # statistical bounds: mean +- Z standard deviations


# ---------------------------------------------------------------------------
# Helpers run inside a namespace: `python3 test_impairment.py _shadow JOB`
# and `... _probes` (job on stdin).

def _helper_shadow(job):
    """Joins the group on the interface and records every datagram to the
    group's port: source, source port, payload and the kernel receive time
    as a timeval (the same stamp the daemon's socket is given)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMP, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 21)
    s.bind((job["group"], job["port"]))
    s.setsockopt(socket.IPPROTO_IP, lab.IP_MULTICAST_ALL, 0)
    index = socket.if_nametoindex(job["ifname"])
    mreqn = socket.inet_aton(job["group"]) + b"\0\0\0\0" + struct.pack("=i", index)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreqn)
    stop = []
    signal.signal(signal.SIGTERM, lambda *a: stop.append(1))
    with open(job["out"], "a") as out:
        out.write(json.dumps({"ready": True}) + "\n")
        out.flush()
        while not stop:
            try:
                r, _, _ = select.select([s], [], [], 0.2)
            except InterruptedError:
                continue
            if not r:
                continue
            data, anc, _, addr = s.recvmsg(65535, 256)
            sec = usec = None
            for level, kind, cdata in anc:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMP and len(cdata) >= 16:
                    sec, usec = struct.unpack_from("=qq", cdata)
            if sec is None:
                t = time.time_ns() // 1000
                sec, usec = divmod(t, 1000000)
            out.write(json.dumps({"src": addr[0], "sport": addr[1], "sec": sec, "usec": usec,
                                  "payload": data.hex()}) + "\n")
            out.flush()


def _helper_probes(job):
    """Sends 12-byte probes: items are [source port, sequence, time stamp
    offset in ms]; the time stamp is the wall clock at the moment of sending
    plus the offset, low 32 bits.  Prints the send times."""
    index = socket.if_nametoindex(job["ifname"])
    socks = {}
    times = []
    start = time.monotonic()
    for i, (sport, seq, offset) in enumerate(job["items"]):
        s = socks.get(sport)
        if s is None:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("", sport))
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 64)
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                         struct.pack("=4s4si", b"\0" * 4, b"\0" * 4, index))
            socks[sport] = s
        if i and job["interval"]:
            pause = start + i * job["interval"] - time.monotonic()
            if pause > 0:
                time.sleep(pause)
        now_ns = time.time_ns()
        ts = (now_ns // 1000000 + offset) & M32
        s.sendto(probe(seq, ts), (job["group"], job["port"]))
        times.append(now_ns / 1e9)
    json.dump({"times": times}, sys.stdout)


# ---------------------------------------------------------------------------
# The window arithmetic, worked independently of the daemon (StatsModel
# and the texts of its figures are in beacons.py)

def share_texts(lost, dup, ooo, span):
    """Loss, dup and ooo texts of a window worked out by hand."""
    q = lambda n: f32(f32(float(n)) / f32(float(span)))  # noqa: E731
    t = dump_texts(0.0, 0.0, q(lost), q(dup), q(ooo))
    return {k: t[k] for k in ("loss", "dup", "ooo")}


class Stream:
    """The probes of one sender as the receiving namespace got them, with
    the model's state after each of them."""

    def __init__(self, arrivals):
        self.arrivals = arrivals            # (time, seq, ts, receive_ms)
        model = StatsModel()
        self.states = [None]                # texts after k arrivals
        self.pub_counts = [0]               # windows published after k arrivals
        for _, seq, ts, rms in arrivals:
            model.update(seq, ts, rms)
            self.states.append(model.texts())
            self.pub_counts.append(len(model.publications))
        self.model = model
        self.times = [a[0] for a in arrivals]
        # arrival time of the probe that completed each window
        self.pub_times = [self.times[k - 1] for k in range(1, len(self.pub_counts))
                          if self.pub_counts[k] > self.pub_counts[k - 1]]

    def count_before(self, t):
        """Arrivals at or before time t."""
        lo, hi = 0, len(self.times)
        while lo < hi:
            mid = (lo + hi) // 2
            if self.times[mid] <= t:
                lo = mid + 1
            else:
                hi = mid
        return lo

    def candidates(self, mtime, before=AMBIGUOUS_BEFORE, after=AMBIGUOUS_AFTER):
        """Every state the daemon may have written at mtime, and the counts
        of windows published by then."""
        lo = self.count_before(mtime - before)
        hi = self.count_before(mtime + after)
        states = [self.states[k] for k in range(lo, hi + 1)]
        if lo and mtime - self.times[lo - 1] > MIN_TIMEOUT:
            states.append(None)  # the figures may have expired
        return states, {self.pub_counts[k] for k in range(lo, hi + 1)}


def streams_from(records, wanted=None):
    """Splits shadow records into per-sender Streams of well-formed probes;
    wanted: a predicate on (source, source port)."""
    per = {}
    for r in records:
        got = parse_probe(bytes.fromhex(r["payload"]))
        if got is None:
            continue
        key = (r["src"], r["sport"])
        if wanted and not wanted(key):
            continue
        seq, ts = got
        per.setdefault(key, []).append((r["sec"] + r["usec"] / 1e6, seq, ts,
                                        r["sec"] * 1000 + r["usec"] // 1000))
    return {k: Stream(v) for k, v in per.items()}


# ---------------------------------------------------------------------------
# Lab plumbing

class Shadow:
    def __init__(self, host):
        self.path = os.path.join(host.lab.tmpdir, "%s.shadow.jsonl" % host.name)
        job = {"group": GROUP, "port": PORT, "ifname": host.ifname, "out": self.path}
        self.proc = host.run([sys.executable, THIS, "_shadow", json.dumps(job)], label="shadow")
        if not wait_for(lambda: self._lines() or self.proc.poll() is not None, 10.0) or not self._lines():
            raise lab.LabError("shadow receiver on %s did not start: %s" % (host.name, self.proc.stderr_text()))

    def _lines(self):
        return lab.read_json_lines(self.path)

    def records(self):
        return [r for r in self._lines() if "ready" not in r]


class DumpWatcher(threading.Thread):
    """Keeps every version of a dump file: (mtime, text), one per write."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.snapshots = []
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.start()

    def run(self):
        last = None
        while not self.stopping.is_set():
            try:
                with open(self.path) as f:
                    st = os.fstat(f.fileno())
                    ident = (st.st_ino, st.st_mtime_ns)
                    if ident != last:
                        text = f.read()
                        last = ident
                        with self.lock:
                            self.snapshots.append((st.st_mtime_ns / 1e9, text))
            except FileNotFoundError:
                pass
            self.stopping.wait(0.05)

    def stop(self):
        self.stopping.set()
        self.join(2)

    def all(self):
        with self.lock:
            return list(self.snapshots)

    def next_after(self, t, timeout):
        """The first snapshot written after time t (waits for it)."""
        def find():
            for m, text in self.all():
                if m > t:
                    return m, text
            return None
        return wait_for(find, timeout, interval=0.05)


def start_beacon(host, name, dump, extra=()):
    argv = [BINARY, "-n", name, "-a", "noc@%s.example" % name, "-b", GROUP,
            "-d", dump, "-I", "5", "-v"] + list(extra)
    proc = host.run(argv, label=name)
    if not wait_started(proc, 10.0) or proc.poll() is not None:
        raise lab.LabError("beacon %s did not start (status %s): %s"
                           % (name, proc.poll(), proc.stderr_text()[-2000:]))
    return proc


def send_probes(host, items, interval):
    job = {"group": GROUP, "port": PORT, "ifname": host.ifname, "items": items,
            "interval": interval}
    r = host.execute([sys.executable, THIS, "_probes"], input=json.dumps(job), timeout=60)
    if r.returncode != 0:
        raise lab.LabError("probe sender failed: " + r.stderr.strip())
    return json.loads(r.stdout)["times"]


def nft(host, script):
    r = host.execute(["nft", "-f", "-"], input=script)
    if r.returncode != 0:
        raise lab.LabError("nft in %s: %s" % (host.name, r.stderr.strip()))


def stats_element(text, key, channel="asm"):
    """The attributes of the local beacon's statistics element for the
    source key "ADDR/PORT", or None when there is none; raises on a dump
    that is not well-formed."""
    root = ET.fromstring(text)
    local = root.find("group").find("beacon")
    for src in local.find("sources").findall("source"):
        if src.get("addr") == key:
            el = src.find(channel)
            return None if el is None else el.attrib
    return None


def shown(attrib):
    """The compared part of a statistics element."""
    if attrib is None:
        return None
    return {"loss": attrib.get("loss"), "delay": attrib.get("delay"),
            "future": attrib.get("future") == "true", "jitter": attrib.get("jitter"),
            "ooo": attrib.get("ooo"), "dup": attrib.get("dup")}


class Failure(AssertionError):
    pass


def check(cond, message):
    if not cond:
        raise Failure(message)


def compare_snapshots(snapshots, stream, key, what):
    """Every dump version against the model states possible at its write.
    Returns [(mtime, texts, set of window counts)] of those with figures."""
    seen = []
    for m, text in snapshots:
        states, counts = stream.candidates(m)
        got = shown(stats_element(text, key))
        check(got in states, "%s: dump written at %.3f shows %r, the arithmetic allows only %r"
              % (what, m, got, states))
        if got is not None:
            seen.append((m, got, counts))
    return seen


def dumped_after(stream, windows, snapshots):
    """True when a dump was written well after the given number of windows
    had been published (so that it cannot have missed the last of them)."""
    if len(stream.pub_times) < windows:
        return False
    t = stream.pub_times[windows - 1] + AMBIGUOUS_BEFORE + AMBIGUOUS_AFTER
    return any(m > t for m, _ in snapshots)


def windows_checked(seen):
    """Distinct windows whose figures a dump showed unambiguously."""
    return {min(c) for _, _, c in seen if len(c) == 1}


# ---------------------------------------------------------------------------
# Scenario 1: loss made by nftables in the receiving namespace

def scenario_loss(lb, out, deadline):
    h1, h2, h3 = lb.hosts
    # Rules before any beacon runs: numgen counts only the packets that got
    # that far in the rule, i.e. the probes (UDP length 8 + 12) of one
    # sender; its reports are longer and pass.
    nft(h1, """
table ip impair {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr %s ip daddr %s udp dport %d udp length 20 numgen inc mod 4 == 1 counter drop
    ip saddr %s ip daddr %s udp dport %d udp length 20 numgen random mod 100 < 20 counter drop
  }
}
""" % (h2.addr4, GROUP, PORT, h3.addr4, GROUP, PORT))
    shadow = Shadow(h1)
    dump = os.path.join(lb.tmpdir, "rx.xml")
    watcher = DumpWatcher(dump)
    start_beacon(h1, "rx", dump)
    start_beacon(h2, "every4th", os.path.join(lb.tmpdir, "e.xml"))
    start_beacon(h3, "random20", os.path.join(lb.tmpdir, "r.xml"))
    out["started"] = time.time()

    def enough():
        ss = streams_from(shadow.records())
        det = [s for k, s in ss.items() if k[0] == h2.addr4]
        rnd = [s for k, s in ss.items() if k[0] == h3.addr4]
        snaps = watcher.all()
        return (det and rnd and dumped_after(det[0], 2, snaps) and dumped_after(rnd[0], 2, snaps))
    wait_for(enough, max(0.0, deadline - time.monotonic()), interval=1.0)
    watcher.stop()
    out["records"] = shadow.records()
    out["snapshots"] = watcher.all()
    out["hosts"] = (h2.addr4, h3.addr4)
    out["nft"] = h1.execute(["nft", "list", "ruleset"]).stdout


def checks_loss(out):
    det_addr, rnd_addr = out["hosts"]
    streams = streams_from(out["records"])
    keys = {k[0]: k for k in streams}
    snaps = out["snapshots"]

    def every_4th():
        check(det_addr in keys, "no probe of the every-4th sender reached the receiver")
        key = keys[det_addr]
        st = streams[key]
        seqs = [a[1] for a in st.arrivals]
        first = seqs[0]
        # The rule drops the probes numbered 1, 5, 9... (from 0) among those
        # it sees; the receiver ran before the sender's first probe.
        want = [first + k for k in range(seqs[-1] - first + 1) if k % 4 != 1]
        check(seqs == want, "lab: the probes that passed the rule are not every 4th dropped "
              "(first %d): %r" % (first, seqs[:20]))
        # By the arithmetic: the first probe resets the record just below
        # itself, so each window spans first+40j .. first+40j+39; the last of
        # a window (k = 40j+39, k mod 4 = 3) always arrives, so no window is
        # stretched, and each holds exactly 10 numbers k = 1 mod 4.
        want_texts = share_texts(10, 0, 0, 40)
        check(want_texts["loss"] == "25.0", "arithmetic: %r" % want_texts)
        seen = compare_snapshots(snaps, st, "%s/%d" % key, "every-4th sender")
        check(seen, "no dump showed the every-4th sender's figures (%d windows published)"
              % len(st.model.publications))
        for m, got, _ in seen:
            for k, v in want_texts.items():
                check(got[k] == v, "dump at %.3f: %s=%s, every 4th probe dropped gives %s"
                      % (m, k, got[k], v))
        print("  every-4th: %d windows published, %d shown, loss %s each"
              % (len(st.model.publications), len(windows_checked(seen)), want_texts["loss"]))

    def random_20():
        check(rnd_addr in keys, "no probe of the random sender reached the receiver")
        key = keys[rnd_addr]
        st = streams[key]
        seen = compare_snapshots(snaps, st, "%s/%d" % key, "random sender")
        check(seen, "no dump showed the random sender's figures")
        # What the daemon published, window by window (each window the
        # dumps showed unambiguously), against the 20 % of the rule.
        shown_windows = {}
        for _, got, counts in seen:
            if len(counts) == 1:
                shown_windows[min(counts)] = float(got["loss"]) / 100.0
        losses = list(shown_windows.values())
        check(losses, "no dump showed a window of the random sender unambiguously")
        p = 0.20
        bound = Z * math.sqrt(p * (1 - p) / (WINDOW * len(losses)))
        mean = sum(losses) / len(losses)
        check(abs(mean - p) <= bound, "random sender: mean loss %.4f over %d windows, want "
              "%.2f +- %.4f" % (mean, len(losses), p, bound))
        print("  random-20: mean loss %.4f over %d windows (bound %.2f +- %.4f)"
              % (mean, len(losses), p, bound))

    return [("nft every 4th probe dropped: loss 25.0 in every window", every_4th),
            ("nft random 20% drop: exact figures per window, mean within bound", random_20)]


# ---------------------------------------------------------------------------
# Scenario 2: crafted probe streams

# Window by window, the offsets from the stream's base, and the counts the
# arithmetic gives (worked by hand; the model must agree):
#   lost, dup, ooo, span    or None: no valid figures after it
CRAFTED = [
    # 0..9; 5 again (dup); 12, 13 (10, 11 missing); 11 late (ooo); 11 again
    # (dup); 10 late (ooo); 14..20; 22..30 (21 missing); 25 again (dup);
    # 0 again, still inside the window (dup); 32..38; 31 late (ooo); 39.
    (list(range(10)) + [5, 12, 13, 11, 11, 10] + list(range(14, 21)) + list(range(22, 31))
     + [25, 0] + list(range(32, 39)) + [31, 39], (1, 4, 3, 40)),
    # 39 and 20 lie at or before the new window's start: ignored.
    ([39, 20] + list(range(40, 80)), (0, 0, 0, 40)),
    # 80..118, then 125: the gap straddles the end, the window spans 46.
    (list(range(80, 119)) + [125], (6, 0, 0, 46)),
    # 151 ahead: the record resets; the figures are not valid any more.
    ([125 + 151], None),
    # The new window starts at 276: 40 in order.
    (list(range(277, 316)), (0, 0, 0, 40)),
    # 150 ahead is a gap, not a reset: 149 lost in a window of 150.
    ([315 + 150], (149, 0, 0, 150)),
]
SPORT_CRAFTED = 40001
SPORT_PAST, SPORT_FUTURE = 40002, 40003
SHIFT_MS = 3000
SPORT_RANDOM = list(range(40010, 40020))
RANDOM_BATCHES = 4
MAX_LATENCY = 0.05  # s from sendto to the receiver's time stamp, same host


def scenario_crafted(lb, out, deadline):
    h1, h2 = lb.hosts
    nft(h1, """
table ip impair {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr %s ip daddr %s udp sport %d-%d udp dport %d udp length 20 numgen random mod 100 < 20 counter drop
  }
}
""" % (h2.addr4, GROUP, SPORT_RANDOM[0], SPORT_RANDOM[-1], PORT))
    shadow = Shadow(h1)
    dump = os.path.join(lb.tmpdir, "rx.xml")
    watcher = DumpWatcher(dump)
    start_beacon(h1, "rx", dump)
    rng = random.Random()
    base = rng.randrange(1 << 20, 1 << 31)
    rbases = [rng.randrange(1 << 20, 1 << 31) for _ in SPORT_RANDOM]
    cycles = []  # (send end, dump mtime, dump text)
    send_times = {}
    first = watcher.next_after(0, 12.0)  # sync with the dump period
    check(first, "receiver wrote no dump")
    for c in range(max(len(CRAFTED), RANDOM_BATCHES)):
        streams = []
        if c < len(CRAFTED):
            streams.append([[SPORT_CRAFTED, base + o, 0] for o in CRAFTED[c][0]])
        if c == 0:
            streams.append([[SPORT_PAST, base + i, -SHIFT_MS] for i in range(WINDOW)])
            streams.append([[SPORT_FUTURE, base + i, SHIFT_MS] for i in range(WINDOW)])
        if c < RANDOM_BATCHES:
            for sport, rb in zip(SPORT_RANDOM, rbases):
                streams.append([[sport, rb + WINDOW * c + i, 0] for i in range(WINDOW)])
        items = _interleave(streams)
        times = send_probes(h2, items, 0.001)
        for (sport, seq, off), t in zip(items, times):
            send_times.setdefault(sport, []).append((seq, t))
        end = times[-1]
        snap = watcher.next_after(end + 0.3, 8.0)
        check(snap, "no dump after cycle %d" % c)
        cycles.append((end, snap[0], snap[1]))
        if time.monotonic() > deadline:
            break
    time.sleep(0.3)
    watcher.stop()
    out.update(records=shadow.records(), cycles=cycles, base=base, src=h2.addr4,
               send_times=send_times)


def _interleave(streams):
    """Round-robin merge of several lists: each keeps its own order."""
    out = []
    for i in range(max((len(x) for x in streams), default=0)):
        out += [x[i] for x in streams if i < len(x)]
    return out


def checks_crafted(out):
    src = out["src"]
    streams = streams_from(out["records"], lambda k: k[0] == src)
    cycles = out["cycles"]

    def key(sport):
        return "%s/%d" % (src, sport)

    def at_cycle(sport, c):
        st = streams[(src, sport)]
        end, m, text = cycles[c]
        k = st.count_before(m)
        check(st.count_before(end + 0.3) == k, "probes of port %d still arriving at the dump" % sport)
        return st, st.states[k], shown(stats_element(text, key(sport)))

    def dup_ooo_gaps():
        check((src, SPORT_CRAFTED) in streams, "no crafted probe arrived")
        st_all = streams[(src, SPORT_CRAFTED)]
        check([a[1] - out["base"] for a in st_all.arrivals]
              == [o for w in CRAFTED for o in w[0]], "lab: crafted stream not received whole")
        check(len(cycles) >= len(CRAFTED), "only %d of %d cycles ran" % (len(cycles), len(CRAFTED)))
        for c, (offsets, counts) in enumerate(CRAFTED):
            st, model_now, got = at_cycle(SPORT_CRAFTED, c)
            if counts is None:
                check(model_now is None, "model: figures valid after the reset")
                check(got is None, "window %d: figures still shown after a jump of 151: %r" % (c + 1, got))
                continue
            want = share_texts(*counts)
            for k, v in want.items():
                check(model_now[k] == v, "model disagrees with the hand count (window %d %s: %s vs %s)"
                      % (c + 1, k, model_now[k], v))
            check(got is not None, "window %d: no figures in the dump" % (c + 1))
            check(got == model_now, "window %d: dump %r, arithmetic %r" % (c + 1, got, model_now))
            check(not got["future"] and float(got["delay"]) < MAX_LATENCY * 1000,
                  "window %d: delay %s for probes stamped when sent" % (c + 1, got["delay"]))
            print("  window %d: loss %s dup %s ooo %s delay %s jitter %s"
                  % (c + 1, got["loss"], got["dup"], got["ooo"], got["delay"], got["jitter"]))

    def shifted_stamps():
        for sport, sign in ((SPORT_PAST, -1), (SPORT_FUTURE, 1)):
            st, model_now, got = at_cycle(sport, 0)
            check(len(st.arrivals) == WINDOW, "port %d: %d of %d probes arrived"
                  % (sport, len(st.arrivals), WINDOW))
            check(got is not None, "port %d: no figures in the dump" % sport)
            check(got == model_now, "port %d: dump %r, arithmetic %r" % (sport, got, model_now))
            # Each delay is floor(receive ms) - (floor(send ms) + sign*3000):
            # -sign*3000 plus the transit time, +-1 for the rounding down.
            lat = max(t - s for (_, s), t in zip(out["send_times"][sport], st.times))
            check(0 <= lat < MAX_LATENCY, "port %d: transit %.4f s" % (sport, lat))
            d = float(got["delay"])
            if sign < 0:
                lo, hi = SHIFT_MS - 1, SHIFT_MS + lat * 1000 + 1
                check(not got["future"], "port %d: future set for a past time stamp" % sport)
            else:
                lo, hi = SHIFT_MS - lat * 1000 - 1, SHIFT_MS + 1
                check(got["future"], "port %d: no future attribute for stamps 3 s ahead" % sport)
            check(lo <= d <= hi, "port %d: delay %s, want %.1f..%.1f" % (sport, got["delay"], lo, hi))
            # Jitter: the first probe moves it from the reset's 0 by
            # A1 x 0.0625 (A1 = |delay| of that probe, 3000 +- (transit + 1));
            # 39 probes follow, each with |E| <= transit + 2 ms.
            f = 0.9375 ** (WINDOW - 1)
            lat_ms = lat * 1000
            jlo = (SHIFT_MS - 1 - lat_ms) * 0.0625 * f
            jhi = (SHIFT_MS + 1 + lat_ms) * 0.0625 * f + (lat_ms + 2) * (1 - f)
            check(jlo <= float(got["jitter"]) <= jhi, "port %d: jitter %s, want %.2f..%.2f"
                  % (sport, got["jitter"], jlo, jhi))
            print("  ts %+d ms: delay %s%s jitter %s" % (sign * SHIFT_MS, got["delay"],
                  " future" if got["future"] else "", got["jitter"]))

    def random_streams():
        losses = []
        for sport in SPORT_RANDOM:
            check((src, sport) in streams, "port %d: nothing arrived" % sport)
            prev = 0
            for c in range(min(RANDOM_BATCHES, len(cycles))):
                st, model_now, got = at_cycle(sport, c)
                check(got == model_now, "port %d after batch %d: dump %r, arithmetic %r"
                      % (sport, c + 1, got, model_now))
                n = st.pub_counts[st.count_before(cycles[c][1])]
                if n > prev:  # a window closed during this batch
                    losses.append(float(got["loss"]) / 100.0)
                prev = n
        check(len(losses) >= 2 * len(SPORT_RANDOM), "only %d windows published" % len(losses))
        p = 0.20
        bound = Z * math.sqrt(p * (1 - p) / (WINDOW * len(losses)))
        mean = sum(losses) / len(losses)
        check(abs(mean - p) <= bound, "mean published loss %.4f over %d windows, want %.2f +- %.4f"
              % (mean, len(losses), p, bound))
        print("  random streams: mean loss %.4f over %d windows (bound %.2f +- %.4f)"
              % (mean, len(losses), p, bound))

    return [("crafted duplicates, late arrivals, gaps, reset: exact per window", dup_ooo_gaps),
            ("time stamps shifted by -3000/+3000 ms: delay, future, jitter", shifted_stamps),
            ("ten streams under 20% random drop: exact and within bound", random_streams)]


# ---------------------------------------------------------------------------
# Scenario 3: delay added by the forwarder between two segments

DELAY_MS = 200
DELAY_SLACK_MS = 50  # the forwarder's own scheduling, in user space, on a busy host


def scenario_delay(lb, out, deadline):
    h1, h2 = lb.hosts
    lb.start_forwarder(delay_ms=DELAY_MS)
    shadows = {h: Shadow(h) for h in (h1, h2)}
    watchers = {}
    for h, name in ((h1, "west"), (h2, "east")):
        dump = os.path.join(lb.tmpdir, "%s.xml" % name)
        watchers[h] = DumpWatcher(dump)
        start_beacon(h, name, dump)

    def enough():
        for h, other in ((h1, h2), (h2, h1)):
            ss = streams_from(shadows[h].records(), lambda k: k[0] == other.addr4)
            if not any(dumped_after(s, 1, watchers[h].all()) for s in ss.values()):
                return False
        return True
    wait_for(enough, max(0.0, deadline - time.monotonic()), interval=1.0)
    for w in watchers.values():
        w.stop()
    out["pairs"] = []
    names = {h1: "west", h2: "east"}
    for h, other in ((h1, h2), (h2, h1)):
        out["pairs"].append((names[h], other.addr4, shadows[h].records(), watchers[h].all()))
    out["forwarder"] = lb.forwarder_stats()


def checks_delay(out):
    def make(rx_name, far, records, snaps):
        def fn():
            ss = streams_from(records, lambda k: k[0] == far)
            check(len(ss) == 1, "%s: probes of %s from %d ports" % (rx_name, far, len(ss)))
            (k, st), = ss.items()
            check(st.model.publications, "%s: no window of %s completed" % (rx_name, far))
            seen = compare_snapshots(snaps, st, "%s/%d" % k, "%s receiving %s" % (rx_name, far))
            check(seen, "%s: no dump showed %s's figures" % (rx_name, far))
            for m, got, _ in seen:
                d = float(got["delay"])
                check(not got["future"], "%s: future delay through a 200 ms forwarder" % rx_name)
                # Every probe is held at least 200 ms; rounding both times
                # down to ms can take 1 off.
                check(DELAY_MS - 1 <= d <= DELAY_MS + DELAY_SLACK_MS,
                      "%s: delay %s, want %d..%d" % (rx_name, got["delay"], DELAY_MS - 1,
                                                      DELAY_MS + DELAY_SLACK_MS))
            print("  %s <- %s: delay %s jitter %s loss %s (%d dumps)"
                  % (rx_name, far, seen[-1][1]["delay"], seen[-1][1]["jitter"],
                     seen[-1][1]["loss"], len(seen)))
        return fn
    return [("forwarder delay %d ms seen by %s" % (DELAY_MS, rx), make(rx, far, rec, snaps))
            for rx, far, rec, snaps in out["pairs"]]


# ---------------------------------------------------------------------------

def main():
    global BINARY
    BINARY = binary_from_args()
    if not lab.shutil.which("nft"):
        print("FAIL: nft (nftables) is missing")
        return 1
    t0 = time.monotonic()
    deadline = t0 + 125.0
    runner = lab.CaseRunner("impairment")
    scenarios = [("loss", dict(hosts=3), scenario_loss, checks_loss),
                 ("crafted", dict(hosts=2), scenario_crafted, checks_crafted),
                 ("delay", dict(hosts=2, segments=2, router=True, forward=False),
                  scenario_delay, checks_delay)]
    with contextlib.ExitStack() as stack:
        labs = [stack.enter_context(Lab(**kw)) for _, kw, _, _ in scenarios]
        print("labs ready after %.1f s" % (time.monotonic() - t0), flush=True)
        outs = [{} for _ in scenarios]
        errors = [None] * len(scenarios)

        def body(i):
            try:
                scenarios[i][2](labs[i], outs[i], deadline)
            except BaseException:  # noqa: BLE001
                errors[i] = traceback.format_exc()
        threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(len(scenarios))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(deadline - time.monotonic() + 40)
        print("measurements done after %.1f s" % (time.monotonic() - t0), flush=True)
        for i, (name, _, _, checks) in enumerate(scenarios):
            if errors[i] or threads[i].is_alive():
                def failed(msg=errors[i] or "still running"):
                    raise Failure(msg)
                runner.run("%s lab" % name, failed)
                continue
            for cname, fn in checks(outs[i]):
                runner.run(cname, fn)
    print("wall time %.1f s" % (time.monotonic() - t0))
    return runner.finish()


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "_shadow":
        _helper_shadow(json.loads(sys.argv[2]))
        sys.exit(0)
    if len(sys.argv) > 1 and sys.argv[1] == "_probes":
        _helper_probes(json.loads(sys.stdin.read()))
        sys.exit(0)
    sys.exit(main())
