#!/usr/bin/env python3
"""The per-socket SSM source limit of Linux (net.ipv4.igmp_max_msf, 10 by
default, per network namespace) with thirteen IPv4 SSM beacons.

Time budget: about 60 s, at most 200 s.

Thirteen hosts on one segment, one beacon each, all with -S, so every beacon
joins twelve (S,G) channels; with the default limit ten fit on one socket and
the beacon opens a second one for the rest:

  hi     h1  igmp_max_msf raised to 64 in its namespace, -v -v: joins all
             twelve on its one SSM socket; ssm figures of all twelve
  quiet  h2  default limit, no -v: ssm figures of all twelve, nothing logged
             about SSM
  loud   h3  default limit, -v -v: every join succeeds, the first ten on SSM
             socket 1, the others on socket 2, which it says it opened; two
             sockets bound to the SSM group in its namespace; its dump and
             its reports (as hi's dump shows them) carry ssm figures of all
             twelve
  tight  h4  default limit and a descriptor limit that leaves no room for a
             second SSM socket, -v: ten joins succeed, two are refused with
             ENOBUFS; the warning that no further socket can be opened is
             logged exactly once; ssm figures of exactly the joined ten
  b05..b13   default limit, no options beyond -S

A second lab simulates a 70-beacon IPv6 group beyond net.ipv6.mld_max_msf
(64 by default): one beacon (-S -v -v) and, on a second host, 69 crafted
beacons (hostile_util's crowd helper) that send probes to the beacon group
and to the SSM channel.  The beacon joins 64 sources on its first SSM socket
and the other five on a second one, and its dump carries ssm figures of all
69.
"""

import errno
import ipaddress
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
from runbeacon_util import udp_sockets  # noqa: E402
from matrix_util import read_dump  # noqa: E402
from hostile_util import add_addresses, run_helper  # noqa: E402

GROUP = "239.77.0.2"
SSM_BIND = "232.2.3.2:10000"
HOSTS = 13
RAISED_MSF = 64
DEFAULT_MSF = 10
# 0-2, the sending socket, the group socket, the first SSM socket, and the
# four descriptors the daemon keeps free: no room for a second SSM socket.
TIGHT_FILES = 10
WARNING = ("SSM join refused: every SSM socket (1) is at its source limit and no further socket can be opened "
           "(%s); raise the descriptor limit to receive SSM from every beacon" % os.strerror(errno.EMFILE))
OLD_WARNING = "SSM join refused: the per-socket source limit is reached"
ENOBUFS_TEXT = os.strerror(errno.ENOBUFS)   # "No buffer space available"
ADDING = re.compile(r"^Adding source (\S+)(?: \[.*\])?$")
JOINED = re.compile(r"^Joined SSM \(S, G\) where S = (\S+)$")
FAILED = re.compile(r"^Failed to join SSM \(S,G\) where S = (\S+), reason: (.*)$")
ON_SOCKET = re.compile(r"^SSM \(S, G\) where S = (\S+) is on SSM socket (\d+) of (\d+) \(descriptor \d+\)$")
OPENED = re.compile(r"^Opened SSM socket (\d+) \(descriptor \d+\): the other SSM sockets are at their source limit$")
POLL = 0.4

GROUP6 = "ff15::77:2"
SSM6 = "ff3e::beac"
CROWD = 69               # crafted beacons beside the real one: a group of 70
DEFAULT_MLD_MSF = 64
CROWD_PORT = 41000
CROWD_RATE = 5           # probes per second per crafted beacon and channel


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
        self.tight = Beacon(L, h[3], "tight", 4, GROUP, ssm=True, verbose=1, max_files=TIGHT_FILES)
        self.others = [Beacon(L, host, "b%02d" % (i + 5), 4, GROUP, ssm=True, dump=False)
                       for i, host in enumerate(h[4:])]
        self.observers = [self.hi, self.quiet, self.loud, self.tight]
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
                   lambda: self._all_columns(self.hi))
        self.check("quiet (default limit) has ssm figures of all %d other beacons" % (HOSTS - 1),
                   lambda: self._all_columns(self.quiet))
        self.check("loud: %d joins on socket 1, the rest on socket 2, as its log, sockets and dump show"
                   % DEFAULT_MSF, self._loud_log_and_dump)
        self.check("loud's reports, as hi's dump shows them, carry ssm of every beacon", self._loud_reports)
        self.check("tight (no descriptor for a second socket): %d ssm columns, the rest refused, one warning"
                   % DEFAULT_MSF, self._tight)
        self.check("quiet logs nothing about SSM", self._quiet_log)
        self.check("hi logs %d successful joins on its one socket and no warning" % (HOSTS - 1), self._hi_log)
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

    def _with_ssm(self, b):
        """Problems with b's source lines: every other beacon listed with asm
        figures; gives (problems, addresses with ssm figures)."""
        missing = self._addresses_known()
        if missing:
            return ["addresses not yet learnt: %s" % missing], set()
        fig = self._figures(b)
        want = {x.addr for x in self.beacons if x is not b}
        p = []
        if set(fig) != want:
            p.append("%s lists %s, want %s" % (b.name, sorted(fig), sorted(want)))
        if any(not f or f[0] != "asm" for f in fig.values()):
            p.append("%s: sources without asm figures" % b.name)
        return p, {a for a, f in fig.items() if "ssm" in f}

    def _all_columns(self, b):
        def cond():
            p, with_ssm = self._with_ssm(b)
            missing = {x.addr for x in self.beacons if x is not b} - with_ssm
            if missing:
                p.append("%s has no ssm figures of %s" % (b.name, sorted(missing)))
            return p
        self.wait("ssm figures of every beacon at %s" % b.name, cond, self.t0 + 90)
        say("     %s complete at +%.1f s" % (b.name, time.time() - self.t0))

    def _join_lines(self, b):
        """(adds, results, sockets): the added addresses in order, the join
        results in order as (address, True) or (address, reason), and the
        SSM socket number each join went to."""
        adds, results, sockets = [], [], {}
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
                continue
            o = ON_SOCKET.match(m)
            if o:
                sockets[o.group(1)] = int(o.group(2))
        return adds, results, sockets

    def _loud_log_and_dump(self):
        self._all_columns(self.loud)
        adds, results, sockets = self._join_lines(self.loud)
        others = {b.addr for b in self.beacons if b is not self.loud}
        if sorted(adds) != sorted(others):
            raise Failure("loud added %s, want each of %s once" % (adds, sorted(others)))
        if results != [(a, True) for a in adds]:
            raise Failure("join results %s, want every addition %s joined" % (results, adds))
        want = {a: 1 if i < DEFAULT_MSF else 2 for i, a in enumerate(adds)}
        if sockets != want:
            raise Failure("joins went to sockets %s, want the first %d on 1 and the rest on 2: %s"
                          % (sockets, DEFAULT_MSF, want))
        opened = [m for m in self.loud.log_messages() if OPENED.match(m)]
        if [OPENED.match(m).group(1) for m in opened] != ["2"]:
            raise Failure("loud logged the sockets it opened as %s, want socket 2 once" % opened)
        bound = [s for s in udp_sockets(self.loud.host) if s == SSM_BIND]
        if len(bound) != 2:
            raise Failure("%d sockets bound to %s in loud's namespace, want 2" % (len(bound), SSM_BIND))
        if any(m.startswith("SSM join refused") for m in self.loud.log_messages()):
            raise Failure("loud logged a warning about the source limit")

    def _loud_reports(self):
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
            if with_ssm != want:
                p.append("loud reports ssm figures of %s, want all of %s" % (sorted(with_ssm), sorted(want)))
            return p
        self.wait("loud's reports with ssm of every beacon", cond, self.t0 + 100)

    def _tight(self):
        def cond():
            p, with_ssm = self._with_ssm(self.tight)
            if len(with_ssm) != DEFAULT_MSF:
                p.append("tight has ssm figures of %d sources, want %d" % (len(with_ssm), DEFAULT_MSF))
            return p
        self.wait("ten ssm columns at tight", cond, self.t0 + 90)
        adds, results, _ = self._join_lines(self.tight)
        want = [(a, True) for a in adds[:DEFAULT_MSF]] + [(a, ENOBUFS_TEXT) for a in adds[DEFAULT_MSF:]]
        # -v: successful joins are not logged, refused ones are.
        want = [r for r in want if r[1] is not True]
        if len(adds) != HOSTS - 1 or results != want:
            raise Failure("tight added %s with results %s, want the last %d refused with %r"
                          % (adds, results, len(adds) - DEFAULT_MSF, ENOBUFS_TEXT))
        msgs = self.tight.log_messages()
        if msgs.count(WARNING) != 1:
            raise Failure("the warning is logged %d times, want once; SSM lines: %s"
                          % (msgs.count(WARNING), [m for m in msgs if "SSM" in m][:8]))
        refused = {a for a, _ in results}
        _, with_ssm = self._with_ssm(self.tight)
        if refused & with_ssm:
            raise Failure("ssm figures of refused sources %s" % sorted(refused & with_ssm))

    def _quiet_log(self):
        msgs = self.quiet.log_messages()
        bad = [m for m in msgs if JOINED.match(m) or FAILED.match(m) or ADDING.match(m) or ON_SOCKET.match(m)
               or OPENED.match(m) or m.startswith("SSM join refused")]
        if bad:
            raise Failure("lines logged without -v: %s" % bad[:5])

    def _hi_log(self):
        adds, results, sockets = self._join_lines(self.hi)
        others = sorted(b.addr for b in self.beacons if b is not self.hi)
        if sorted(adds) != others or results != [(a, True) for a in adds]:
            raise Failure("hi added %s with results %s" % (adds, results))
        if set(sockets.values()) != {1} or sorted(sockets) != others:
            raise Failure("hi's joins went to sockets %s, want all on 1" % sockets)
        if any(m.startswith("SSM join refused") or m.startswith(OLD_WARNING) for m in self.hi.log_messages()):
            raise Failure("hi logged a warning with a limit of %d" % RAISED_MSF)

    def _invariants(self):
        self.poll()
        if self.invariant_problems:
            raise Failure("%d problems:\n  %s" % (len(self.invariant_problems),
                                                  "\n  ".join(self.invariant_problems[:30])))
        say("     %d dump versions read" % self.versions)


class Crowd6(ScenarioChecks):
    """Seventy IPv6 beacons, 69 of them crafted, with the default MLD limit."""

    def __init__(self, binary, the_lab):
        super().__init__()
        self.binary = binary
        self.lab = the_lab

    def run(self):
        L = self.lab
        h1, h2 = L.hosts
        # A system-wide setting, not one per namespace: read, never written.
        with open("/proc/sys/net/ipv6/mld_max_msf") as f:
            got = f.read().strip()
        if got != str(DEFAULT_MLD_MSF):
            raise Failure("net.ipv6.mld_max_msf is %s on this machine, want the default %d" % (got, DEFAULT_MLD_MSF))
        base = ipaddress.IPv6Address(h2.addr6)
        crowd = [str(base + 0x10000 + k) for k in range(1, CROWD + 1)]
        add_addresses(h2, crowd)
        self.want = {"%s/%d" % (a, CROWD_PORT) for a in crowd}
        self.big = Beacon(L, h1, "big", 6, GROUP6, ssm=True, verbose=2)
        self.t0 = time.time()
        out = os.path.join(L.tmpdir, "crowd.json")
        run_helper(h2, "_crowd", {"sources": crowd, "sport": CROWD_PORT, "ifname": h2.ifname,
                                  "groups": [GROUP6, SSM6], "port": 10000, "rate": CROWD_RATE,
                                  "until": self.t0 + 120, "out": out}, label="crowd")
        self.big.start(self.binary)
        if not lab.wait_for(lambda: self.big.started_up() or self.big.proc.poll() is not None, 15):
            raise Failure("the beacon did not start")
        self.check("big has asm and ssm figures of all %d crafted beacons" % CROWD, self._complete)
        self.check("big joined %d sources on SSM socket 1 and %d on socket 2, with no failure"
                   % (DEFAULT_MLD_MSF, CROWD - DEFAULT_MLD_MSF), self._sockets)

    def _complete(self):
        deadline = self.t0 + 75
        while True:
            d = read_dump(self.big.dump_path)
            rows = d.local.rows if d else {}
            missing = sorted(a for a in self.want if rows.get(a) is None or rows[a].children != ["asm", "ssm"])
            if not missing and set(rows) == self.want:
                say("     complete at +%.1f s" % (time.time() - self.t0))
                return
            if time.time() >= deadline:
                raise Failure("after %.0f s, %d of %d crafted beacons lack asm or ssm figures, e.g. %s; listed: %d"
                              % (deadline - self.t0, len(missing), CROWD, missing[:3], len(rows)))
            time.sleep(1.0)

    def _sockets(self):
        sockets, failed, opened = {}, [], []
        for m in self.big.log_messages():
            o = ON_SOCKET.match(m)
            if o:
                sockets[o.group(1)] = int(o.group(2))
            if FAILED.match(m) or m.startswith("SSM join refused"):
                failed.append(m)
            if OPENED.match(m):
                opened.append(m)
        counts = {n: list(sockets.values()).count(n) for n in set(sockets.values())}
        if set(sockets) != self.want or counts != {1: DEFAULT_MLD_MSF, 2: CROWD - DEFAULT_MLD_MSF}:
            raise Failure("joins per socket %s over %d sources" % (counts, len(sockets)))
        if failed or len(opened) != 1:
            raise Failure("failures %s, sockets opened %s" % (failed[:3], opened))
        bound = [x for x in udp_sockets(self.big.host) if x == "[%s]:10000" % SSM6]
        if len(bound) != 2:
            raise Failure("%d sockets bound to the SSM channel, want 2: %s" % (len(bound), udp_sockets(self.big.host)))


def main():
    binary = binary_from_args()
    started = time.monotonic()
    passed = failed = 0
    for hosts, scenario in ((HOSTS, Limit), (2, Crowd6)):
        with lab.Lab(hosts=hosts) as the_lab:
            t = scenario(binary, the_lab)
            try:
                t.run()
            except Exception:  # noqa: BLE001
                t.failed += 1
                say("FAIL scenario aborted:\n%s" % traceback.format_exc())
        passed += t.passed
        failed += t.failed
    print("ssm limit: %d passed, %d failed, %.1f s" % (passed, failed, time.monotonic() - started), flush=True)
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
