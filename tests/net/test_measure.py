#!/usr/bin/env python3
"""Measurements: beacon pairs over a clean link, and crafted probe streams
whose published figures are exactly those the window arithmetic predicts.

Time budget: about 30 s wall time (typically; up to 100 s when the random
pauses of the real beacons happen to be long).  One lab:
  h1, h2  IPv4 beacons on 239.77.13.1, measuring each other (dumps)
  h3, h4  IPv6 beacons on ff3e::13:1, measuring each other (dumps)
  h5      IPv4 target on 239.77.13.5, -S -B 10.77.0.6, -v -v -v, dump
  h7      IPv6 target on ff3e::13:5, -v -v -v, dump
  h6      the crafter: sends probe streams and one report with the lab's
          udp_send from fixed source ports (a beacon is keyed by address
          and port)

The expected loss, duplicate and out-of-order figures of the crafted streams
come from a model of the statistics written from the rules (StatsModel in
beacons.py, shared with test_impairment.py): windows of 40 sequence
numbers, a fresh start beyond 150 numbers, late numbers inside the window
counted out of order, repeats counted as duplicates, quotients in single
precision.  Delay and jitter depend on the real receive times;
the model uses the send times, and the delay must lie between that figure
and 50 ms more (network and scheduling latency); the jitter within 8 ms.
"""

import math
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lab import Lab, CaseRunner, udp_send, wait_for  # noqa: E402
from beacons import (  # noqa: E402
    CheckFailed, M32, StatsModel, ms32, probe, report, run_timed, tlv, xmllint_complaint)
from runbeacon_util import (  # noqa: E402
    check, check_eq, setup, beacon_args, start_beacon, wait_started, read_dump, local_source,
    local_source_by_host, find_logs)

BINARY = setup(__doc__)
PORT = 10000
INTERVAL = 0.005        # between crafted probes, seconds
PROBE_TTL = 100         # hop limit of the crafted probes
REPORT_TTL = 120        # sender TTL the crafted report announces
DELAY_SLACK_MS = 50.0
JITTER_TOL_MS = 8.0
PAIR_WAIT = 100.0

class Stream:
    """A crafted probe stream from one source port of the crafter to one
    channel of a target beacon."""

    def __init__(self, key, target, group, src_port, base, shift_ms, pattern=(0,), channel="asm"):
        self.key = key
        self.target = target
        self.group = group
        self.src_port = src_port
        self.base = base
        self.shift_ms = shift_ms
        self.pattern = pattern
        self.channel = channel
        self.model = StatsModel()
        self.sent = []       # (seq, ts)

    def send(self, crafter, offsets):
        """Sends base + offset for each offset; timestamps are the planned
        send time plus shift_ms plus the pattern's extra milliseconds."""
        start = time.time() + 0.3
        payloads, planned = [], []
        for i, off in enumerate(offsets):
            ts = (ms32(start + i * INTERVAL) + self.shift_ms + self.pattern[i % len(self.pattern)]) & M32
            seq = (self.base + off) & M32
            payloads.append(probe(seq, ts))
            planned.append((seq, ts))
        times = udp_send(crafter, self.group, PORT, payloads, src_port=self.src_port, ttl=PROBE_TTL,
                         interval=INTERVAL)
        for (seq, ts), t in zip(planned, times):
            self.sent.append((seq, ts))
            self.model.update(seq, ts, ms32(t))    # lower bound: no latency at all
        self.last_sent = times[-1]
        return times[-1]


class Target:
    def __init__(self, key, host, family, group, dump, args):
        self.key = key
        self.host = host
        self.family = family
        self.group = group
        self.dump = dump
        self.args = args
        self.proc = None

    def wait_dump_after(self, t, timeout=8.0):
        """The first dump written after wall-clock time t."""
        got = wait_for(lambda: (lambda d: d if d and d[0] > t + 0.05 else None)(read_dump(self.dump)),
                       timeout, interval=0.1)
        if not got:
            raise CheckFailed("%s: no dump written after the stream" % self.key)
        complaint = xmllint_complaint(path=self.dump)
        check(complaint is None, "%s: dump is well-formed for xmllint" % self.key, complaint)
        return got


def source_addr(crafter, family, port):
    return "%s/%d" % (crafter.addr(family), port)


def check_figures(stream, el, where):
    """The statistics element against the model."""
    m = stream.model
    check(el is not None, "%s: %s element present" % (where, stream.channel))
    want = m.shares()
    got = {k: el.get(k) for k in want}
    check_eq(got, want, "%s: loss/ooo/dup %s" % (where, want))
    future = el.get("future")
    delay = float(el.get("delay"))
    signed = -delay if future == "true" else delay
    check(future in (None, "true"), "%s: future attribute is absent or true" % where, future)
    check(m.delay - 0.01 <= signed <= m.delay + DELAY_SLACK_MS,
          "%s: delay %.3f ms within [%.3f, +%.0f]" % (where, signed, m.delay, DELAY_SLACK_MS))
    check_eq(future == "true", signed < 0, "%s: future=\"true\" exactly when the delay is negative" % where)
    jitter = float(el.get("jitter"))
    check(abs(jitter - m.jitter) <= JITTER_TOL_MS,
          "%s: jitter %.3f ms near the model's %.3f" % (where, jitter, m.jitter))


def check_logged(target, streams):
    """-v -v -v logs every probe as it arrives: each stream's (seq, ts)
    appear in sending order, so every crafted probe reached the beacon."""
    rx = r"beacon\(([^)]*)\) update (\d+), (\d+), (\d+)"
    lines = find_logs(target.proc, rx)
    for s in streams:
        lo, hi = s.base, s.base + 1000
        ssm = s.channel == "ssm"
        got = [(int(m.group(2)), int(m.group(3))) for _, m in lines
               if lo <= int(m.group(2)) < hi and m.group(1).endswith("/SSM") == ssm]
        check_eq(len(got), len(s.sent), "%s: one update line per crafted probe" % s.key)
        check(got == s.sent, "%s: update lines carry each probe's number and timestamp in order" % s.key)


# -- the cases -----------------------------------------------------------------

def case_crafted(crafter, targets):
    """Four phases per target, each followed by the next dump."""
    streams = {}
    for t in targets:
        fam = t.family
        streams[t.key] = {
            "main": Stream("%s stream" % t.key, t, t.group, 47001, 3000000000, -5000, (0, 20, 5, 35)),
            "future": Stream("%s future" % t.key, t, t.group, 47002, 1000000, +5000, (0, 3)),
        }
        if "-S" in t.args:
            streams[t.key]["ssm"] = Stream("%s ssm" % t.key, t, "232.2.3.2", 47001, 2000000, -2000,
                                           (0, 10), channel="ssm")
    addr = {t.key: source_addr(crafter, t.family, 47001) for t in targets}
    faddr = {t.key: source_addr(crafter, t.family, 47002) for t in targets}

    # Phase 1: gaps, a late pair, repeats, a late repeat: one window of 40.
    w1 = [0, 1, 2, 3, 6, 5, 5, 7, 8, 9, 10, 3, 12, 11] + list(range(13, 21)) + [25, 22, 22, 23] \
        + list(range(26, 40))
    end = 0
    for t in targets:
        s = streams[t.key]
        end = s["main"].send(crafter, w1)
        end = s["future"].send(crafter, list(range(0, 40)))
        if "ssm" in s:
            end = s["ssm"].send(crafter, list(range(0, 20)) + [22, 21, 21] + list(range(23, 41)))
    for t in targets:
        s = streams[t.key]
        check_eq((s["main"].model.published, s["future"].model.published), (1, 1),
                 "%s: the model publishes one window per stream" % t.key)
        # Worked by hand: 40 numbers; 4, 5, 11, 21..24 skipped, of which 5,
        # 11, 22, 23 came late (3 lost, 4 out of order); 5, 3, 22 repeated.
        check_eq(s["main"].model.shares(), {"loss": "7.5", "ooo": "10.000", "dup": "7.500"},
                 "%s: the model agrees with the window worked by hand" % t.key)
        written, _, root = t.wait_dump_after(end)
        el = local_source(root, addr[t.key])
        check(el is not None, "%s: source line of %s" % (t.key, addr[t.key]))
        check(el.get("name") is None, "%s: no name before a report" % t.key)
        a = el.find("asm")
        check_figures(s["main"], a, "%s phase 1" % t.key)
        check(a.get("ttl") is None, "%s phase 1: no ttl attribute before the sender's report" % t.key)
        age = written - s["main"].last_sent
        check(int(a.get("rptage")) in (math.floor(age - 0.05), math.floor(age)),
              "%s phase 1: rptage %s counts whole seconds from the last probe (%.3f s before the dump)" % (
                  t.key, a.get("rptage"), age))
        f = local_source(root, faddr[t.key])
        check(f is not None, "%s: a second source line for source port 47002" % t.key)
        check_figures(s["future"], f.find("asm"), "%s future" % t.key)
        check_eq(f.find("asm").get("future"), "true", "%s future: future=\"true\"" % t.key)
        if "ssm" in s:
            check_figures(s["ssm"], el.find("ssm"), "%s phase 1 ssm" % t.key)

    # Phase 2: repeats of the published window are ignored; a window of 48
    # numbers; then the sender's report (sender TTL 120, name, contact).
    w2 = [39, 30] + list(range(40, 51)) + [52, 52, 51] + list(range(53, 78)) + [87]
    for t in targets:
        s = streams[t.key]
        s["main"].send(crafter, w2)
        check_eq(s["main"].model.published, 2, "%s: the model publishes the second window" % t.key)
        # By hand: 40..87 spans 48 numbers; 78..86 lost (9), 51 late, 52
        # repeated: 9/48, 1/48, 1/48.
        check_eq(s["main"].model.shares(), {"loss": "18.8", "ooo": "2.083", "dup": "2.083"},
                 "%s: the model agrees with the second window worked by hand" % t.key)
        rep = report([tlv("n", "crafted-%s" % t.key), tlv("a", "craft@lab.example")], ttl=REPORT_TTL)
        udp_send(crafter, t.group, PORT, rep, src_port=47001, ttl=PROBE_TTL)
        end = time.time()
    for t in targets:
        s = streams[t.key]
        _, _, root = t.wait_dump_after(end)
        el = local_source(root, addr[t.key])
        check_eq((el.get("name"), el.get("contact")), ("crafted-%s" % t.key, "craft@lab.example"),
                 "%s phase 2: named by its report" % t.key)
        a = el.find("asm")
        check_figures(s["main"], a, "%s phase 2" % t.key)
        check_eq(a.get("ttl"), str(REPORT_TTL - PROBE_TTL),
                 "%s phase 2: ttl = sender TTL %d - received %d" % (t.key, REPORT_TTL, PROBE_TTL))
        if "ssm" in s:
            check_eq(el.find("ssm").get("ttl"), str(REPORT_TTL - PROBE_TTL), "%s phase 2: ssm ttl" % t.key)
        f = local_source(root, faddr[t.key])
        check(f.find("asm").get("ttl") is None, "%s phase 2: the other port still has no ttl" % t.key)

    # Phase 3: a number 151 ahead starts afresh: the figures are gone.
    for t in targets:
        s = streams[t.key]
        end = s["main"].send(crafter, [87 + 151])
        check(not s["main"].model.valid, "%s: the model resets on 151 ahead" % t.key)
    for t in targets:
        _, _, root = t.wait_dump_after(end)
        el = local_source(root, addr[t.key])
        check(el is not None and el.find("asm") is None,
              "%s phase 3: no asm element after a jump of 151" % t.key)
        if "ssm" in streams[t.key]:
            check(el.find("ssm") is not None, "%s phase 3: the ssm figures stay" % t.key)

    # Phase 4: a jump of exactly 150 is a gap of 149 lost numbers.
    w4 = list(range(239, 251)) + [400]
    for t in targets:
        s = streams[t.key]
        end = s["main"].send(crafter, w4)
        check_eq(s["main"].model.published, 3, "%s: the model publishes a window of 163" % t.key)
        check_eq(s["main"].model.shares()["loss"], "%.1f" % (149 / 163 * 100),
                 "%s: 149 of 163 lost, by hand" % t.key)
    for t in targets:
        _, _, root = t.wait_dump_after(end)
        check_figures(streams[t.key]["main"], local_source(root, addr[t.key]).find("asm"),
                      "%s phase 4" % t.key)
        check_logged(t, list(streams[t.key].values()))


def case_pairs(pairs):
    """Two beacons on one segment measure each other: no loss, no
    reordering, no duplicates; hop count 0 once the other's report arrived
    (sent with 127, received with 127)."""
    state = {}

    def done():
        for me, other in pairs:
            got = read_dump(me.dump)
            if not got:
                return False
            found = local_source_by_host(got[2], other.addr)
            if len(found) != 1 or found[0].find("asm") is None:
                return False
            a = found[0].find("asm")
            state[me.key] = (got, found[0], a)
            # Until a report arrives no ttl; afterwards exactly 0.
            if a.get("ttl") not in (None, "0"):
                raise CheckFailed("%s: ttl of %s is %r" % (me.key, other.key, a.get("ttl")))
            if a.get("ttl") is None:
                return False
        return True
    ok = wait_for(done, PAIR_WAIT, interval=0.5)
    for me, other in pairs:
        check(me.key in state, "%s: measured figures of %s in its dump" % (me.key, other.key))
        (_, _, root), src, a = state[me.key]
        check(ok, "%s: ttl present once %s's report arrived" % (me.key, other.key))
        check_eq(a.get("ttl"), "0", "%s: hop count 0 on one segment" % me.key)
        check_eq((a.get("loss"), a.get("ooo"), a.get("dup")), ("0.0", "0.000", "0.000"),
                 "%s: loss 0.0, ooo 0.000, dup 0.000 for %s" % (me.key, other.key))
        check(a.get("future") is None and 0.0 <= float(a.get("delay")) < 20.0,
              "%s: delay under 20 ms on one segment" % me.key, a.get("delay"))
        check(0.0 <= float(a.get("jitter")) < 20.0, "%s: jitter under 20 ms" % me.key, a.get("jitter"))
        check(re.fullmatch(r"%s/\d+" % re.escape(other.addr), src.get("addr")) is not None,
              "%s: source line keyed by %s and its port" % (me.key, other.addr))


class Peer:
    def __init__(self, key, host, family, group, dump):
        self.key = key
        self.host = host
        self.addr = host.addr(family)
        self.group = group
        self.dump = dump


def main():
    runner = CaseRunner("measure")
    with Lab(hosts=7) as net:
        h1, h2, h3, h4, h5, h6, h7 = net.hosts
        tmp = net.tmpdir
        g4, g6 = "239.77.13.1", "ff3e::13:1"
        peers = [Peer("v4-a", h1, 4, g4, tmp + "/a4.xml"), Peer("v4-b", h2, 4, g4, tmp + "/b4.xml"),
                 Peer("v6-a", h3, 6, g6, tmp + "/a6.xml"), Peer("v6-b", h4, 6, g6, tmp + "/b6.xml")]
        targets = [
            Target("T4", h5, 4, "239.77.13.5", tmp + "/t4.xml", ["-S", "-B", h6.addr4]),
            Target("T6", h7, 6, "ff3e::13:5", tmp + "/t6.xml", []),
        ]
        procs = []
        for t in targets:
            t.proc = start_beacon(t.host, BINARY, beacon_args("target-" + t.key, t.group, "-d", t.dump, "-I", "5",
                                                              *t.args, "-v", "-v", "-v"), t.key)
            procs.append(t.proc)
        for p in peers:
            procs.append(start_beacon(p.host, BINARY, beacon_args(p.key, p.group, "-d", p.dump, "-I", "5"), p.key))
        for p in procs:
            wait_started(p)
        runner.run("crafted probe streams", case_crafted, h6, targets)
        runner.run("IPv4 pair", case_pairs, [(peers[0], peers[1]), (peers[1], peers[0])])
        runner.run("IPv6 pair", case_pairs, [(peers[2], peers[3]), (peers[3], peers[2])])
        runner.run("beacons still running", lambda: check(
            all(p.poll() is None for p in procs), "every beacon alive at the end"))
    return runner.finish()


if __name__ == "__main__":
    run_timed(main)
