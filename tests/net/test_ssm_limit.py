#!/usr/bin/env python3
"""The per-socket SSM source limit of Linux (net.ipv4.igmp_max_msf, 10 by
default, per network namespace) with thirteen IPv4 SSM beacons.

Time budget: about 50 s, at most 110 s.

Thirteen hosts on one segment, one beacon each, all with -S, so every beacon
tries to join twelve (S,G) channels on its one SSM socket:

  hi     h1  igmp_max_msf raised to 64 in its namespace, -v -v: joins all
             twelve; ssm figures of all twelve in its dump
  quiet  h2  default limit, no -v: ten joins succeed, two are refused; the
             warning naming net.ipv4.igmp_max_msf is logged exactly once
  loud   h3  default limit, -v -v: one "Joined SSM" or "Failed to join SSM"
             line per added source, the first ten joined, the rest refused
             with ENOBUFS; its dump has ssm figures exactly for the joined
             sources, and so have its reports as hi's dump shows them
  b04..b13   default limit, no options beyond -S
"""

import errno
import os
import re
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
from matrix_util import Beacon, Failure, ScenarioChecks, World, check_dump, say  # noqa: E402
from beacons import binary_from_args, xmllint_complaint  # noqa: E402

GROUP = "239.77.0.2"
HOSTS = 13
RAISED_MSF = 64
DEFAULT_MSF = 10
WARNING = ("SSM join refused: the per-socket source limit is reached; raise net.ipv4.igmp_max_msf (IPv4) or "
           "net.ipv6.mld_max_msf (IPv6) to receive SSM from every beacon")
ENOBUFS_TEXT = os.strerror(errno.ENOBUFS)   # "No buffer space available"
ADDING = re.compile(r"^Adding source (\S+)(?: \[.*\])?$")
JOINED = re.compile(r"^Joined SSM \(S, G\) where S = (\S+)$")
FAILED = re.compile(r"^Failed to join SSM \(S,G\) where S = (\S+), reason: (.*)$")
POLL = 0.4


class Limit(ScenarioChecks):
    def __init__(self, binary, the_lab):
        super().__init__()
        self.binary = binary
        self.lab = the_lab
        self.versions = 0

    def poll(self):
        for b in self.observers:
            d = self.changed_dump(b)
            if d is None:
                continue
            self.versions += 1
            if b.addr is None:
                b.addr = d.local.addr
            self.world.learn(d)
            for pr in check_dump(d, b, self.beacons, self.world, complete=False):
                self.invariant_problems.append("%s's dump at +%.1f s: %s" % (b.name, d.mtime - self.t0, pr))
            complaint = xmllint_complaint(d.data, timeout=20)
            if complaint:
                self.invariant_problems.append("%s: %s" % (b.name, complaint))

    def wait(self, what, cond, deadline):
        while True:
            self.poll()
            problems = cond()
            if not problems:
                return
            if time.time() >= deadline:
                raise Failure("%s not reached by +%.1f s:\n  %s" % (what, deadline - self.t0,
                                                                   "\n  ".join(problems[:25])))
            time.sleep(POLL)

    def run(self):
        L = self.lab
        h = L.hosts
        h[0].sysctl("net.ipv4.igmp_max_msf", RAISED_MSF)
        for host in h[1:]:
            got = host.get_sysctl("net.ipv4.igmp_max_msf")
            if got != str(DEFAULT_MSF):
                raise Failure("igmp_max_msf is %s in %s, want the default %d" % (got, host.ns, DEFAULT_MSF))
        self.hi = Beacon(L, h[0], "hi", 4, GROUP, ssm=True, verbose=2)
        self.quiet = Beacon(L, h[1], "quiet", 4, GROUP, ssm=True)
        self.loud = Beacon(L, h[2], "loud", 4, GROUP, ssm=True, verbose=2)
        self.others = [Beacon(L, host, "b%02d" % (i + 4), 4, GROUP, ssm=True, dump=False)
                       for i, host in enumerate(h[3:])]
        self.observers = [self.hi, self.quiet, self.loud]
        self.beacons = self.observers + self.others
        self.world = World(self.beacons)
        self.t0 = time.time()
        for b in self.beacons:
            b.start(self.binary)
        if not lab.wait_for(lambda: all(b.started_up() or b.proc.poll() is not None for b in self.beacons), 15):
            raise Failure("beacons did not start")
        dead = [b.name for b in self.beacons if b.proc.poll() is not None]
        if dead:
            raise Failure("beacons ended: %s" % dead)

        self.check("hi (igmp_max_msf %d) has ssm figures of all %d other beacons" % (RAISED_MSF, HOSTS - 1),
                   self._hi_all)
        self.check("quiet (default limit) has ssm figures of exactly %d beacons" % DEFAULT_MSF, self._quiet_ten)
        self.check("loud: the first %d joins succeed, the rest fail with ENOBUFS, as its dump shows"
                   % DEFAULT_MSF, self._loud_log_and_dump)
        self.check("loud's reports, as hi's dump shows them, carry ssm exactly for the sources it joined",
                   self._loud_reports)
        self.check("quiet logs the igmp_max_msf warning once and no join lines", self._quiet_log)
        self.check("hi logs %d successful joins and no warning" % (HOSTS - 1), self._hi_log)
        self.check("every dump version read obeyed the rules", self._invariants)

    # -- checks -----------------------------------------------------------------

    def _rows(self, b):
        d = self.latest.get(b.name)
        return d.local.rows if d else {}

    def _figures(self, b):
        """address -> figure elements of b's source lines (asm, ssm)."""
        return {addr: row.children for addr, row in self._rows(b).items()}

    def _addresses_known(self):
        return [b.name for b in self.beacons if b.addr is None]

    def _hi_all(self):
        def cond():
            missing = self._addresses_known()
            if missing:
                return ["addresses not yet learnt: %s" % missing]
            fig = self._figures(self.hi)
            want = {b.addr for b in self.beacons if b is not self.hi}
            p = []
            if set(fig) != want:
                p.append("hi lists %s, want %s" % (sorted(fig), sorted(want)))
            p += ["hi's line for %s: %s" % (a, f) for a, f in sorted(fig.items()) if f != ["asm", "ssm"]]
            return p
        self.wait("ssm figures of every beacon at hi", cond, self.t0 + 90)
        say("     hi complete at +%.1f s" % (time.time() - self.t0))

    def _count_ten(self, b):
        fig = self._figures(b)
        want = {x.addr for x in self.beacons if x is not b}
        p = []
        if set(fig) != want:
            p.append("%s lists %d sources, want %d" % (b.name, len(fig), len(want)))
        if any(not f or f[0] != "asm" for f in fig.values()):
            p.append("%s: sources without asm figures" % b.name)
        with_ssm = [a for a, f in fig.items() if "ssm" in f]
        if len(with_ssm) != DEFAULT_MSF:
            p.append("%s has ssm figures of %d sources, want %d" % (b.name, len(with_ssm), DEFAULT_MSF))
        return p

    def _quiet_ten(self):
        self.wait("ten ssm columns at quiet", lambda: self._count_ten(self.quiet), self.t0 + 90)

    def _join_lines(self, b):
        """(adds, results): the added addresses in order, and the join
        results in order as (address, True) or (address, reason)."""
        adds, results = [], []
        for m in b.log_messages():
            a = ADDING.match(m)
            if a:
                adds.append(a.group(1))
                continue
            j = JOINED.match(m)
            if j:
                results.append((j.group(1), True))
                continue
            f = FAILED.match(m)
            if f:
                results.append((f.group(1), f.group(2)))
        return adds, results

    def _loud_log_and_dump(self):
        self.wait("ten ssm columns at loud", lambda: self._count_ten(self.loud), self.t0 + 90)
        adds, results = self._join_lines(self.loud)
        others = {b.addr for b in self.beacons if b is not self.loud}
        if sorted(adds) != sorted(others):
            raise Failure("loud added %s, want each of %s once" % (adds, sorted(others)))
        if [a for a, _ in results] != adds:
            raise Failure("join results %s do not follow the additions %s one by one" % (results, adds))
        want = [(a, True) for a in adds[:DEFAULT_MSF]] + [(a, ENOBUFS_TEXT) for a in adds[DEFAULT_MSF:]]
        if results != want:
            raise Failure("join results %s, want the first %d joined and the rest refused with %r"
                          % (results, DEFAULT_MSF, ENOBUFS_TEXT))
        fig = self._figures(self.loud)
        refused = {a for a, r in results if r is not True}
        without_ssm = {a for a, f in fig.items() if "ssm" not in f}
        if refused != without_ssm:
            raise Failure("refused joins %s, but the dump lacks ssm figures of %s" % (sorted(refused),
                                                                                    sorted(without_ssm)))
        if self.loud.log_messages().count(WARNING) != 1:
            raise Failure("the warning is logged %d times, want once" % self.loud.log_messages().count(WARNING))
        self.loud_joined = {a for a, r in results if r is True}

    def _loud_reports(self):
        joined = getattr(self, "loud_joined", None)
        if joined is None:
            raise Failure("loud's joins unknown (an earlier check failed)")

        def cond():
            d = self.latest[self.hi.name]
            el = d.remotes.get(self.loud.addr)
            if el is None:
                return ["hi has no element for loud"]
            want = {b.addr for b in self.beacons if b is not self.loud}
            p = []
            if set(el.rows) != want:
                p.append("loud's element lists %d sources, want %d" % (len(el.rows), len(want)))
            with_ssm = {a for a, r in el.rows.items() if "ssm" in r.children}
            if with_ssm != joined:
                p.append("loud reports ssm figures of %s, want those it joined: %s" % (sorted(with_ssm),
                                                                                      sorted(joined)))
            return p
        self.wait("loud's reports with ssm for its joined sources", cond, self.t0 + 100)

    def _quiet_log(self):
        msgs = self.quiet.log_messages()
        if msgs.count(WARNING) != 1:
            raise Failure("%d warnings, want 1; log:\n  %s" % (msgs.count(WARNING), "\n  ".join(msgs[:20])))
        bad = [m for m in msgs if JOINED.match(m) or FAILED.match(m) or ADDING.match(m)]
        if bad:
            raise Failure("lines logged without -v: %s" % bad[:5])

    def _hi_log(self):
        adds, results = self._join_lines(self.hi)
        others = sorted(b.addr for b in self.beacons if b is not self.hi)
        if sorted(adds) != others or results != [(a, True) for a in adds]:
            raise Failure("hi added %s with results %s" % (adds, results))
        if WARNING in self.hi.log_messages():
            raise Failure("hi logged the warning with a limit of %d" % RAISED_MSF)

    def _invariants(self):
        self.poll()
        if self.invariant_problems:
            raise Failure("%d problems:\n  %s" % (len(self.invariant_problems),
                                                  "\n  ".join(self.invariant_problems[:30])))
        say("     %d dump versions read" % self.versions)


def main():
    binary = binary_from_args()
    started = time.monotonic()
    with lab.Lab(hosts=HOSTS) as the_lab:
        t = Limit(binary, the_lab)
        try:
            t.run()
        except Exception:  # noqa: BLE001
            t.failed += 1
            say("FAIL scenario aborted:\n%s" % traceback.format_exc())
    print("ssm limit: %d passed, %d failed, %.1f s" % (t.passed, t.failed, time.monotonic() - started), flush=True)
    return 0 if t.failed == 0 and t.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
