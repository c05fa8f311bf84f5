#!/usr/bin/env python3
"""Whole-system test: groups of beacons on IPv4 and on IPv6, checked through
their dump files.

Time budget: 75 to 110 s as a rule (both families run at the same time, each
in its own lab); at most about 170 s, when the matrix takes the longest
convergence time allowed (100 s) and echo's listings the longest expiry.

Each lab has two segments joined by the router (h1, h3, h5 on one side;
h2, h4, h6 on the other), whose forwarder relays multicast and lowers the
TTL by one.  Six beacons:

  alpha    h1  -S, -C NL, -W, -F ssmping       receives and sends SSM
  bravo    h2  ASM only, -C DE, -Wm, -Wl, -F ssmping (a name with XML
               special characters)
  charlie  h3  -O (sends SSM, never joins it), -C FR, -W lg$...
  delta    h4  -S -B <alpha's address>          bootstrapped, no options else
  echo     h5  ASM only, -C SE, -W               leaves (SIGTERM) once the
               matrix has converged
  foxtrot  h6  -S                                dies (SIGKILL) 2.5 s after
               its start, before any beacon can have figures of it

What is checked, from the configuration alone:
- the matrix converges: in every dump, every other beacon with its identity,
  flags and websites as announced, a local source line with the measured asm
  figures and hop count (0 on one segment, 1 across the router), and every
  other beacon's reported sources with their figures and hop counts;
- ssm figures exist exactly for receiver/sender pairs where the receiver
  joined SSM (-S) and the sender sends SSM (-S or -O);
- every dump version ever read obeys the same rules for what it holds
  (nothing from the future, no loss on the lab's paths, no ssm figures
  where none can be, no figures of a beacon that never sent 40 probes);
- echo's SIGTERM: exit status 0, its element and source lines are gone from
  the next dump of every beacon and stay gone; the rows that other beacons
  reported for it go when those listings time out;
- foxtrot's SIGKILL: it stays until the time-out (6 x beacon_interval) has
  passed and is gone by the garbage collection run after it (runs every
  30 s), plus one dump interval;
- delta's bootstrap entry (alpha's address with the default port 10000) and
  its expiry; delta's SSM reception from alpha must survive that expiry.
"""

import os
import sys
import threading
import time
import traceback
from contextlib import ExitStack

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import matrix_util as mu  # noqa: E402
from matrix_util import Beacon, Failure, ScenarioChecks, World, check_dump, say  # noqa: E402
from beacons import DEFAULT_PORT, GC_PERIOD, binary_from_args, xmllint_complaint  # noqa: E402

GROUPS = {4: "239.77.0.1", 6: "ff3e::77:1"}
KILL_AFTER = 2.5          # seconds; a third burst of probes starts 4.1 s after start at the earliest
DUMP_INTERVAL = 5.0
SLACK = 1.5               # scheduling and polling slack, seconds
POLL = 0.4
DEBUG = bool(os.environ.get("QUILLON_LAB_DEBUG"))


class Scenario(ScenarioChecks):
    def __init__(self, family, binary, the_lab):
        super().__init__("IPv%d" % family)
        self.family = family
        self.binary = binary
        self.lab = the_lab
        self.versions = {}        # beacon name -> list of (mtime, Dump) read
        self.versions_checked = 0
        self.lint_problems = []
        self.max_interval = 5.0

    # -- dumps ------------------------------------------------------------------

    def poll(self):
        """Reads every dump that changed, checks it against the rules that
        hold at any time, and keeps it."""
        for b in self.dumpers:
            if b.left_at is not None and b.name in self.latest and self.latest[b.name].mtime > b.left_at:
                continue
            d = self.changed_dump(b)
            if d is None:
                continue
            self.versions.setdefault(b.name, []).append(d)
            self.world.learn(d)
            if self.foxtrot.addr:
                self.world.no_figures.add(self.foxtrot.addr)
            self.versions_checked += 1
            interval = d.group.get("int", "")
            if mu.FLOAT2.match(interval):
                self.max_interval = max(self.max_interval, float(interval))
            problems = check_dump(d, b, self.invariant_live, self.world, complete=False)
            for pr in problems:
                self.invariant_problems.append("%s's dump at +%.1f s: %s" % (b.name, d.mtime - self.t0, pr))
            complaint = xmllint_complaint(d.data, timeout=20)
            if complaint:
                self.lint_problems.append("%s: %s" % (b.name, complaint))

    def wait(self, what, cond, deadline):
        """Polls until cond() gives an empty list of problems; raises Failure
        with the last problems at the deadline (wall clock)."""
        shown_at = time.time()
        while True:
            self.poll()
            problems = cond()
            if not problems:
                return
            if DEBUG and time.time() - shown_at >= 5:
                shown_at = time.time()
                say("     [%s] +%.1f s waiting for %s:\n       %s" % (
                    self.tag, shown_at - self.t0, what, "\n       ".join(problems[:8])))
            if time.time() >= deadline:
                shown = problems[:25]
                more = "" if len(problems) <= 25 else "\n  ... and %d more" % (len(problems) - 25)
                raise Failure("%s not reached by +%.1f s:\n  %s%s" % (what, deadline - self.t0,
                                                                    "\n  ".join(shown), more))
            time.sleep(POLL)

    def timeout_max(self):
        """The longest time-out any expiry run can have used so far."""
        return max(mu.START_TIMEOUT, 6.0 * (self.max_interval + 0.005))

    # -- the scenario -------------------------------------------------------------

    def run(self):
        try:
            self._run()
        except Exception:  # noqa: BLE001
            self.failed += 1
            say("FAIL [%s] scenario aborted:\n%s" % (self.tag, traceback.format_exc()))

    def _run(self):
        L = self.lab
        fam = self.family
        g = GROUPS[fam]
        h = L.hosts
        self.alpha = Beacon(L, h[0], "alpha", fam, g, ssm=True, country="NL",
                            website="http://alpha.example/beacon?view=1&sort=<name>", ssmping_flag=True)
        self.bravo = Beacon(L, h[1], 'bravo "B&B" <br>', fam, g, country="DE",
                            matrix="http://bravo.example/matrix", lg="http://bravo.example/lg", ssmping_flag=True)
        self.charlie = Beacon(L, h[2], "charlie", fam, g, send_only=True, country="FR",
                              website_lg_prefix="http://charlie.example/lg")
        self.delta = Beacon(L, h[3], "delta", fam, g, ssm=True, bootstrap=self.alpha.ip)
        self.echo = Beacon(L, h[4], "echo", fam, g, country="SE", website="http://echo.example/")
        self.foxtrot = Beacon(L, h[5], "foxtrot", fam, g, ssm=True, dump=False)
        everyone = [self.alpha, self.bravo, self.charlie, self.delta, self.echo, self.foxtrot]
        for b in everyone:
            b.left_at = None
        self.dumpers = [b for b in everyone if b.dump_path]
        self.five = everyone[:5]
        self.four = everyone[:4]
        self.invariant_live = self.five
        self.world = World(everyone)
        self.phantom = "%s/%d" % (self.alpha.ip, DEFAULT_PORT)
        self.world.aliases[self.phantom] = "delta's bootstrap entry for alpha"
        self.world.no_figures.add(self.phantom)

        held = mu.start_together(everyone, self.binary)
        self.t0 = min(b.started for b in everyone)
        say("     [%s] beacons started, their first frames held for %.2f s" % (self.tag, held))
        self.check("start-up line of every beacon", lambda: self._startup_lines(everyone))

        time.sleep(max(0.0, self.foxtrot.started + KILL_AFTER - time.time()))
        self.t_kill = time.time()
        self.foxtrot.kill()

        self.check("every beacon writes its dump with its own identity", self._own_identities)
        self.check("foxtrot appears in every dump before it is missed", self._foxtrot_appears)
        self.check("delta's dump holds its bootstrap entry %s from the start" % self.phantom, self._bootstrap_entry)
        converged = self.check("the matrix of five beacons converges", self._converge)
        if converged:
            self.check("echo leaves on SIGTERM with exit status 0", self._echo_leaves)
            self.check("echo is gone from every next dump and stays gone", self._echo_gone)
        self.check("foxtrot (SIGKILL) is removed after the time-out, not before", self._foxtrot_expires)
        self.check("delta's bootstrap entry is removed after the time-out", self._phantom_expires)
        if converged:
            self.check("rows that others reported for echo expire", self._echo_rows_expire)
            self.check("final matrix of four: complete, with reported names, nothing stale", self._final)
        self.check("delta still receives alpha over SSM after its bootstrap entry expired",
                   self._bootstrap_ssm_kept)
        self.check("every dump version read obeyed the rules (%s)" % self.tag, self._invariants)

    # -- the checks -------------------------------------------------------------

    def _startup_lines(self, beacons):
        problems = []
        for b in beacons:
            want = "Local name is `%s` [Beacon group: %s, Local address: %s]" % (b.name, b.group_label(), b.ip)
            msgs = b.log_messages()
            if msgs.count(want) != 1:
                problems.append("%s: %r not logged once; log: %s" % (b.name, want, msgs[:5]))
        if problems:
            raise Failure("\n  ".join(problems))

    def _own_identities(self):
        def cond():
            p = []
            for b in self.dumpers:
                d = self.latest.get(b.name)
                if d is None:
                    p.append("no dump of %s yet" % b.name)
                    continue
                addr = d.local.addr or ""
                host, _, port = addr.rpartition("/")
                if host != b.ip or not port.isdigit() or not 0 < int(port) < 65536:
                    p.append("%s's local addr %r: want %s/<port>" % (b.name, addr, b.ip))
                    continue
                b.addr = addr
            return p
        self.wait("a first dump of every beacon", cond, self.t0 + DUMP_INTERVAL + 5)
        ports = {b.addr for b in self.dumpers}
        if len(ports) != len(self.dumpers):
            raise Failure("beacons share addresses: %s" % ports)
        for b in self.dumpers:
            first = self.versions[b.name][0]
            if first.mtime - b.started < DUMP_INTERVAL - 0.5:
                raise Failure("%s wrote its first dump %.2f s after its start, before the dump interval"
                              % (b.name, first.mtime - b.started))
            # Five seconds in: no 10-second accounting window has closed, so
            # beacon_interval is still 5.0; the rates count what was sent
            # since start-up.
            got = (first.header.get("rxrate"), first.header.get("txrate"), first.group.get("int"))
            if got[2] != "5.00" or not float(got[1]) > 0:
                raise Failure("%s's first dump: rxrate, txrate, int = %s, want int 5.00 and a txrate above 0"
                              % (b.name, got))

    def _foxtrot_appears(self):
        def cond():
            p = []
            for b in self.five:
                d = self.latest.get(b.name)
                names = [e.attrs.get("name") for e in d.remotes.values()] if d else []
                if self.foxtrot.name not in names:
                    p.append("%s: no element named foxtrot" % b.name)
            return p
        self.wait("foxtrot in every dump", cond, self.t0 + DUMP_INTERVAL + 5)
        if not self.foxtrot.addr:
            raise Failure("foxtrot's address not learnt")
        self.world.no_figures.add(self.foxtrot.addr)
        for b in self.five:
            row = self.latest[b.name].local.rows.get(self.foxtrot.addr)
            if row is None:
                raise Failure("%s has foxtrot's element but no source line" % b.name)

    def _bootstrap_entry(self):
        d = self.versions[self.delta.name][0]
        el = d.remotes.get(self.phantom)
        if el is None:
            raise Failure("first dump of delta (+%.1f s) has no element %s; elements: %s"
                          % (d.mtime - self.t0, self.phantom, sorted(d.remotes)))
        want = ["addr", "age", "rxlocal", "lastupdate"]
        if el.order != want or el.attrs["rxlocal"] != "false" or el.rows:
            raise Failure("bootstrap entry %s: %s, rows %s; want an unidentified, not directly heard beacon"
                          % (self.phantom, el.attrs, list(el.rows)))
        if self.phantom not in d.local.rows:
            raise Failure("delta lists no source line for its bootstrap entry %s" % self.phantom)

    def _converge(self):
        def cond():
            p = []
            for b in self.five:
                d = self.latest[b.name]
                p += ["%s: %s" % (b.name, x) for x in check_dump(d, b, self.five, self.world, complete=True,
                                                                  allow=(self.foxtrot.addr, self.phantom))]
            return p
        self.wait("a complete matrix of alpha..echo", cond, self.t0 + 100)
        self.t_conv = time.time()
        say("     [%s] converged at +%.1f s" % (self.tag, self.t_conv - self.t0))

    def _echo_leaves(self):
        self.t_leave = time.time()
        self.echo.left_at = self.t_leave
        status = self.echo.terminate()
        if status != 0:
            raise Failure("exit status %r, want 0; stderr: %s" % (status, self.echo.stderr()[-500:]))

    def _echo_present(self, d):
        return self.echo.addr in d.remotes or self.echo.addr in d.local.rows

    def _echo_gone(self):
        after = self.t_leave + 0.5

        def cond():
            p = []
            for b in self.four:
                newer = [d for d in self.versions[b.name] if d.mtime >= after]
                if not newer:
                    p.append("%s: no dump written since the leave" % b.name)
            return p
        self.wait("a dump of each beacon after the leave", cond, self.t_leave + DUMP_INTERVAL + SLACK + 0.5)
        self._echo_stays_gone()

    def _echo_stays_gone(self):
        after = self.t_leave + 0.5
        for b in self.four:
            for d in self.versions[b.name]:
                if d.mtime >= after and self._echo_present(d):
                    raise Failure("%s's dump at +%.1f s (%.1f s after the leave) still has echo"
                                  % (b.name, d.mtime - self.t0, d.mtime - self.t_leave))

    def _disappearance(self, observers, present, since):
        """For each observer: the time of its first dump without the thing
        after `since`, checking that it never comes back."""
        gone = {}
        for b in observers:
            seen = False
            for d in self.versions[b.name]:
                if d.mtime < since:
                    seen = seen or present(d)
                    continue
                if present(d):
                    if b.name in gone:
                        raise Failure("back in %s's dump at +%.1f s after being gone at +%.1f s"
                                      % (b.name, d.mtime - self.t0, gone[b.name] - self.t0))
                    seen = True
                elif b.name not in gone:
                    gone[b.name] = d.mtime
        return gone

    def _wait_gone(self, what, observers, present, since, latest):
        def cond():
            gone = self._disappearance(observers, present, since)
            return ["%s: still has %s" % (b.name, what) for b in observers if b.name not in gone]
        self.wait("%s gone" % what, cond, latest)
        return self._disappearance(observers, present, since)

    def _foxtrot_expires(self):
        fox = self.foxtrot.addr
        observers = self.four if self.echo.left_at else self.five

        def present(d):
            return fox in d.remotes or fox in d.local.rows
        latest = self.t_kill + self.timeout_max() + GC_PERIOD + DUMP_INTERVAL + SLACK
        gone = self._wait_gone("foxtrot", observers, present, self.t_kill, latest)
        earliest = self.foxtrot.started + mu.MIN_TIMEOUT
        latest = self.t_kill + self.timeout_max() + GC_PERIOD + DUMP_INTERVAL + SLACK
        for name, t in gone.items():
            if t < earliest:
                raise Failure("%s dropped foxtrot at +%.1f s, before the time-out of %.3f s after its last "
                              "datagram could have passed (+%.1f s)" % (name, t - self.t0, mu.MIN_TIMEOUT,
                                                                       earliest - self.t0))
            if t > latest:
                raise Failure("%s dropped foxtrot only at +%.1f s; due by +%.1f s" % (name, t - self.t0,
                                                                                     latest - self.t0))
        say("     [%s] foxtrot (killed at +%.1f s) gone at %s" % (
            self.tag, self.t_kill - self.t0, ", ".join("%s +%.1f s" % (n, t - self.t0) for n, t in gone.items())))

    def _phantom_expires(self):
        def present(d):
            return self.phantom in d.remotes or self.phantom in d.local.rows
        latest = self.delta.started + self.timeout_max() + GC_PERIOD + DUMP_INTERVAL + SLACK
        gone = self._wait_gone("the bootstrap entry", [self.delta], present, self.delta.started, latest)
        t = gone[self.delta.name]
        if t < self.delta.started + mu.MIN_TIMEOUT:
            raise Failure("bootstrap entry dropped at +%.1f s, before any time-out" % (t - self.t0))
        for b in self.dumpers:
            if b is self.delta:
                continue
            for d in self.versions[b.name]:
                if self.phantom in d.remotes or self.phantom in d.local.rows:
                    raise Failure("%s learnt delta's bootstrap entry %s" % (b.name, self.phantom))

    def _echo_rows_expire(self):
        echo = self.echo.addr

        def present(d):
            return any(echo in el.rows for el in d.remotes.values())
        latest = self.t_leave + self.timeout_max() + GC_PERIOD + DUMP_INTERVAL + SLACK
        gone = self._wait_gone("rows reported for echo", self.four, present, self.t_leave, latest)
        say("     [%s] echo left at +%.1f s; rows reported for it gone at %s" % (
            self.tag, self.t_leave - self.t0, ", ".join("%s +%.1f s" % (n, t - self.t0) for n, t in gone.items())))

    def _final(self):
        # Delta's expiry runs at 30 s and 60 s: a dump from 66 s on shows
        # what follows from the bootstrap entry's removal.
        after = max(self.t0 + 66.0, self.t_leave + 0.5)

        def cond():
            p = []
            for b in self.four:
                d = self.latest[b.name]
                if d.mtime < after:
                    p.append("%s: no dump since +%.1f s" % (b.name, after - self.t0))
                    continue
                p += ["%s: %s" % (b.name, x) for x in
                      check_dump(d, b, self.four, self.world, complete=True, row_names=True)]
            return p
        # Reported rows get names from map reports, every 6 x beacon_interval.
        deadline = max(after, self.t_conv + 6 * (self.max_interval + 0.01) + DUMP_INTERVAL) + SLACK + 4
        self.wait("the final matrix", cond, deadline)
        self._echo_stays_gone()

    def _bootstrap_ssm_kept(self):
        # The bootstrap entry goes at delta's expiry run at 30 s; had the
        # channel been left with it, no SSM window of alpha would complete
        # after that, and the figures would be invalid after the run at 60 s.
        # So: a dump from +66 s on with SSM figures of alpha published after
        # +30 s.  A window is 40 probes in bursts with random pauses, so
        # several dumps may pass before one is published.
        expired = self.delta.started + 30 + SLACK

        def published_after_expiry():
            d = self.latest[self.delta.name]
            if d.mtime < self.delta.started + 66:
                return ["no dump of delta from +66 s on yet"]
            row = d.local.rows.get(self.alpha.addr)
            if row is None or "ssm" not in row.stats:
                return ["delta's dump at +%.1f s has no ssm figures of alpha (%s): %s" % (
                    d.mtime - self.t0, self.alpha.addr, row.children if row else "no line")]
            # rptage is whole seconds, rounded down.
            updated = d.mtime - int(row.stats["ssm"].attrs["rptage"]) - 1
            if updated <= expired:
                return ["delta's ssm figures of alpha last published at +%.1f s" % (updated - self.t0)]
            return []

        self.wait("ssm figures of alpha published in delta's dump after its bootstrap entry expired",
                  published_after_expiry, self.delta.started + 66 + 45)

    def _invariants(self):
        self.poll()
        problems = self.invariant_problems + self.lint_problems
        if problems:
            raise Failure("%d problems in %d dump versions:\n  %s" % (
                len(problems), self.versions_checked, "\n  ".join(problems[:30])))
        if self.versions_checked < 20:
            raise Failure("only %d dump versions read" % self.versions_checked)
        for b in self.dumpers:
            times = [d.mtime for d in self.versions.get(b.name, [])]
            for t1, t2 in zip(times, times[1:]):
                k = round((t2 - t1) / DUMP_INTERVAL)
                if k < 1 or abs(t2 - t1 - k * DUMP_INTERVAL) > 0.5:
                    raise Failure("%s's dumps at +%.2f s and +%.2f s: not %g s apart" % (
                        b.name, t1 - self.t0, t2 - self.t0, DUMP_INTERVAL))
        say("     [%s] %d dump versions read" % (self.tag, self.versions_checked))


def main():
    binary = binary_from_args()
    started = time.monotonic()
    with ExitStack() as stack:
        labs = {fam: stack.enter_context(lab.Lab(hosts=6, segments=2, router=True)) for fam in (4, 6)}
        say("labs ready after %.1f s" % (time.monotonic() - started))
        scenarios = [Scenario(fam, binary, labs[fam]) for fam in (4, 6)]
        threads = [threading.Thread(target=s.run, name=s.tag) for s in scenarios]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        say("checks done after %.1f s; cleaning up" % (time.monotonic() - started))
    passed = sum(s.passed for s in scenarios)
    failed = sum(s.failed for s in scenarios)
    print("system: %d passed, %d failed, %.1f s" % (passed, failed, time.monotonic() - started), flush=True)
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
