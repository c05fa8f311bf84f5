#!/usr/bin/env python3
"""Probes on the wire, seen from another namespace: format, numbering,
bursts, pauses, timestamps, ASM and SSM channels.

Time budget: about 20 s wall time (typically; at most 25 s unless a
random pause happens to exceed 20 s, then up to 90 s).  Two beacons run in
one lab until every channel has shown three whole bursts (two after 25 s):
  h1  IPv4 239.77.12.1 with -S: ASM probes and SSM probes to 232.2.3.2
  h2  IPv6 ff3e::12:1  with -O: ASM probes and SSM probes to ff3e::beac
      (send-only)
h3 receives the four channels (the SSM ones as (S,G) joins).

Tolerances: 100 ms +/- 15 ms between the probes of a burst; a pause is
(gap - 100 ms) and must be a whole number of seconds, at least 1, within
+/- 25 ms; a probe's timestamp lies between 1 ms after and 50 ms before the
kernel's receive time (both read the same wall clock).
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lab import Lab, CaseRunner, receiver, wait_for  # noqa: E402
from beacons import MAGIC, is_report, ms32, parse_probe, run_timed  # noqa: E402
from runbeacon_util import check, check_eq, setup, beacon_args, start_beacon, wait_started  # noqa: E402

BINARY = setup(__doc__)
PORT = 10000
GAP = 0.100
GAP_TOL = 0.015
PAUSE_TOL = 0.025
BURSTS = 3              # whole bursts wanted on every channel ...
ENOUGH_AFTER = 25.0     # ... but after this many seconds two will do
MIN_BURSTS = 2
WAIT = 90.0


class Channel:
    def __init__(self, key, rx, src, group):
        self.key = key
        self.rx = rx
        self.src = src
        self.group = group

    def datagrams(self):
        return [d for d in self.rx.records() if d.src == self.src]

    def probes(self):
        return [d for d in self.datagrams() if not is_report(d.payload)]

    def bursts(self):
        out = []
        for d in self.probes():
            if out and d.time - out[-1][-1].time < 0.5:
                out[-1].append(d)
            else:
                out.append([d])
        return out

    def whole_bursts(self):
        """Bursts that are over: every one but the last, and the last when
        it has ten probes."""
        b = self.bursts()
        return len(b) - (1 if b and len(b[-1]) < 10 else 0)


def case_format(channels):
    """Every non-report datagram is a 12-byte probe with the header
    BE AC 01 00, sent to the channel's group with hop limit 127."""
    for c in channels:
        probes = c.probes()
        check(len(probes) >= 10 * MIN_BURSTS, "%s: %d probes received" % (c.key, len(probes)))
        bad = [d.payload.hex() for d in probes if len(d.payload) != 12]
        check(not bad, "%s: every probe is 12 bytes" % c.key, bad[:3])
        bad = [d.payload.hex() for d in probes if d.payload[:4] != MAGIC + b"\x01\x00"]
        check(not bad, "%s: every probe starts BE AC 01 00" % c.key, bad[:3])
        check_eq({d.dst for d in probes}, {c.group}, "%s: sent to %s" % (c.key, c.group))
        check_eq({d.ttl for d in probes}, {127}, "%s: hop limit 127" % c.key)
        check_eq(len({d.sport for d in c.datagrams()}), 1, "%s: one source port" % c.key)


def case_numbering(channels):
    """Consecutive sequence numbers per channel, each channel its own."""
    for c in channels:
        seqs = [parse_probe(d.payload)[0] for d in c.probes()]
        jumps = [(a, b) for a, b in zip(seqs, seqs[1:]) if b != (a + 1) & 0xFFFFFFFF]
        check(not jumps, "%s: consecutive sequence numbers over %d probes" % (c.key, len(seqs)), jumps[:3])


def case_timestamps(channels):
    """Timestamps are the sender's wall-clock milliseconds (low 32 bits)."""
    for c in channels:
        off = [(ms32(d.time) - parse_probe(d.payload)[1] + 2 ** 31) % 2 ** 32 - 2 ** 31
               for d in c.probes()]
        check(all(-1 <= o <= 50 for o in off),
              "%s: timestamp within [-1, 50] ms of the receive time" % c.key,
              "offsets %d..%d ms" % (min(off), max(off)))


def case_bursts(channels):
    """Ten probes 100 ms apart, then a pause of whole seconds (at least one)
    before the next burst's first probe, which follows 100 ms after it."""
    for c in channels:
        bursts = c.bursts()
        sizes = [len(b) for b in bursts]
        check(all(n == 10 for n in sizes[:-1]) and sizes[-1] <= 10,
              "%s: ten probes per burst" % c.key, sizes)
        gaps = [b - a for burst in bursts for a, b in zip([d.time for d in burst], [d.time for d in burst[1:]])]
        worst = max(abs(g - GAP) for g in gaps)
        check(worst <= GAP_TOL, "%s: %d gaps inside bursts are 100 +/- 15 ms (worst %.1f ms off)" % (
            c.key, len(gaps), worst * 1000),
              "worst %.1f ms off" % (worst * 1000))
        pauses = [nxt[0].time - cur[-1].time - GAP for cur, nxt in zip(bursts, bursts[1:])]
        check(len(pauses) >= MIN_BURSTS - 1, "%s: %d pauses seen" % (c.key, len(pauses)))
        off = [p - round(p) for p in pauses]
        check(all(abs(o) <= PAUSE_TOL for o in off) and all(round(p) >= 1 for p in pauses),
              "%s: pauses are whole seconds >= 1 (%s s)" % (
                  c.key, ", ".join("%d" % round(p) for p in pauses)),
              ["%.3f" % p for p in pauses])


def case_channels_start_together(pairs):
    """Both channels of a beacon begin their first burst 100 ms after the
    same reference point, and run their pauses independently."""
    for asm, ssm in pairs:
        t_asm = asm.probes()[0].time
        t_ssm = ssm.probes()[0].time
        check(abs(t_asm - t_ssm) <= 0.02, "%s and %s: first probes together" % (asm.key, ssm.key),
              "%.1f ms apart" % ((t_ssm - t_asm) * 1000))
        first_a = parse_probe(asm.probes()[0].payload)[0]
        first_s = parse_probe(ssm.probes()[0].payload)[0]
        check(first_a != first_s, "%s and %s: each channel draws its own first number" % (asm.key, ssm.key),
              "both start at %d" % first_a)


def main():
    runner = CaseRunner("probes")
    with Lab(hosts=3) as net:
        h1, h2, h3 = net.hosts
        g4, g6 = "239.77.12.1", "ff3e::12:1"
        ssm4, ssm6 = "232.2.3.2", "ff3e::beac"
        channels = [
            Channel("h1 ASM", receiver(h3, g4, PORT, duration=WAIT + 30), h1.addr4, g4),
            Channel("h1 SSM", receiver(h3, ssm4, PORT, source=h1.addr4, duration=WAIT + 30), h1.addr4, ssm4),
            Channel("h2 ASM", receiver(h3, g6, PORT, duration=WAIT + 30), h2.addr6, g6),
            Channel("h2 SSM (-O)", receiver(h3, ssm6, PORT, source=h2.addr6, duration=WAIT + 30), h2.addr6, ssm6),
        ]
        b1 = start_beacon(h1, BINARY, beacon_args("probe-v4", g4, "-S"), "h1")
        b2 = start_beacon(h2, BINARY, beacon_args("probe-v6", g6, "-O"), "h2")
        wait_started(b1)
        wait_started(b2)
        t0 = time.monotonic()
        def enough():
            want = BURSTS if time.monotonic() - t0 < ENOUGH_AFTER else MIN_BURSTS
            return all(c.whole_bursts() >= want for c in channels)
        wait_for(enough, WAIT, interval=0.2)
        print("  %d whole bursts per channel after %.1f s" % (
            min(c.whole_bursts() for c in channels), time.monotonic() - t0), flush=True)
        for c in channels:
            c.rx.stop()

        runner.run("probe format", case_format, channels)
        runner.run("sequence numbers", case_numbering, channels)
        runner.run("timestamps", case_timestamps, channels)
        runner.run("bursts and pauses", case_bursts, channels)
        runner.run("ASM and SSM channels", case_channels_start_together,
                   [(channels[0], channels[1]), (channels[2], channels[3])])
        runner.run("beacons still running", lambda: check(
            b1.poll() is None and b2.poll() is None, "both beacons alive at the end"))
    return runner.finish()


if __name__ == "__main__":
    run_timed(main)
