#!/usr/bin/env python3
"""The matrix of a four-beacon mesh in a real Prometheus server, through
one `quillon-view serve` per beacon, and a timeline of faults against the
shipped alert rules.

Time budget: about 6 minutes (the first figures need about 40 s; each fault
waits for its alert, then for its resolution).

Four beacons on one segment, alpha (h1), beta (h2), gamma (h3) and delta
(h4).  delta runs as nobody (its dump in a directory of its own) with a
wall clock that the test can shift (clockshift.c, loaded with LD_PRELOAD).
Each beacon's dump is served by its own `quillon-view serve` (default scope:
only what that beacon receives, dump interval learnt) on 127.0.0.1, and
Debian's `prometheus`, started here with a temporary configuration and data
directory, scrapes the four every second and evaluates a copy of
contrib/prometheus/quillon-alerts.yml in which only the `for:` durations are
shortened.  Through Prometheus' HTTP API:

- the 4 x 3 ASM matrix is complete, each row from its receiver's exporter,
  and every loss equals the figure in the receiver's dump;
- every pair of beacons has a round trip from both exporters of the pair
  and, one clock, an offset below the clock-suspect threshold, no suspect.

Then the timeline, one fault after another, each removed once its alert
fired (or the mesh recovered) and followed by a quiet spell:

  restart      alpha stopped and started (a new source port)   no alert
  rename       beta started again as beta2                      no alert
  exporter     gamma's serve stopped, then started             QuillonExporterDown
  loss         alpha drops every 10th probe of beta2 (nft)     QuillonPairLoss
  clock        delta's clock 300 ms ahead                      QuillonClockSuspect
  freeze       gamma's beacon stopped (SIGSTOP), resumed       QuillonDumpStale
  unwritable   delta's dump directory read-only, writable      QuillonDumpStale

A thread records every alert /api/v1/alerts lists, with its state and
time.  A fault passes when exactly its alert fires, within two evaluation
periods after the shortened `for:` from the moment Prometheus found its
condition true, that moment within the fault's detection bound, and the
alert resolves after the fault is removed.  Any other firing alert at any
moment fails the test.  The timeline is printed at the end.  While delta's
clock is ahead, Prometheus' clock offset of every pair with delta is
+300 ms within 2 ms.  A copy of alpha's complete dump is left as
$TMPDIR/quillon-lab-dump.xml (the promtool check's sample).
"""

import calendar
import json
import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import matrix_util as mu  # noqa: E402
import test_impairment as impairment  # noqa: E402
from beacons import Checks, binary_from_args  # noqa: E402
from matrix_util import Beacon, Failure, expect  # noqa: E402

GROUP = impairment.GROUP          # the group the impairment helpers send to
PORT = impairment.PORT
CONTRIB = os.path.join(HERE, "..", "..", "contrib", "prometheus")
FILL_LIMIT = 100.0                # s for every dump to hold the other beacons' figures
SCRAPE_LIMIT = 30.0               # s for Prometheus to have them
PAIR_LIMIT = 60.0                 # s more for every beacon's report of the others
SHIFT_MS = 300
EVALUATION = 1.0                  # s: Prometheus' scrape and rule evaluation interval
POLL = 0.5                        # s between two looks at /api/v1/alerts
QUIET = 3.0                       # s without any alert between two faults
# A window of 40 probes takes four bursts with random pauses of about
# 5 s: a figure that changes shows in full within two windows, about 50 s
# and sometimes more.
WINDOWS = 90.0
# The shipped `for:` durations are minutes; the test's are seconds.  A
# missing beacon must still outlast the first figures of a beacon that
# restarted (a window of 40 probes, about 20 s, and a report round), as
# 5 minutes does in production.
FOR = {"QuillonPairLoss": 20, "QuillonBeaconMissing": 90, "QuillonDumpStale": 10,
       "QuillonExporterDown": 10, "QuillonClockSuspect": 30}
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
NAMES = ("alpha", "beta", "gamma", "delta")


# ---------------------------------------------------------------------------
# The dumps, read here without quillon-view

def local_rows(beacon):
    """{source address/port: {channel: attributes}} of the beacon's own
    figures."""
    try:
        d = mu.read_dump(beacon.dump_path)
    except ValueError:
        return {}
    return {r.addr: {c: s.attrs for c, s in r.stats.items()} for r in d.local.rows.values()} if d else {}


def local_address(beacon):
    try:
        d = mu.read_dump(beacon.dump_path)
    except ValueError:
        return None
    return d.local.addr if d else None


def own_figures(beacon):
    """{sender ip: asm attributes} of what the beacon measured itself."""
    return {mu.host_of(a): ch["asm"] for a, ch in local_rows(beacon).items() if "asm" in ch}


def matrix_filled(beacons):
    return all(len([ip for ip in own_figures(b) if ip != b.ip]) >= len(beacons) - 1 for b in beacons)


# ---------------------------------------------------------------------------
# Prometheus

def shortened_rules(path):
    """The shipped alert rules with the test's `for:` durations, nothing
    else changed."""
    with open(os.path.join(CONTRIB, "quillon-alerts.yml")) as f:
        shipped = f.read().split("\n")
    copy, alert = [], None
    for line in shipped:
        m = re.match(r"\s*- alert: (\w+)$", line)
        if m:
            alert = m.group(1)
        m = re.match(r"(\s*for: )\S+$", line)
        copy.append(m.group(1) + "%ds" % FOR[alert] if m else line)
    changed = [a for a, b in zip(shipped, copy) if a != b]
    expect(len(changed) == len(FOR), "the rules have %d for: lines, not one per alert" % len(changed))
    with open(path, "w") as f:
        f.write("\n".join(copy))


def rfc3339(text):
    """Seconds since the epoch of Prometheus' UTC times."""
    m = re.match(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(\.\d+)?Z$", text)
    expect(m, "a time Prometheus gave: %r" % text)
    return calendar.timegm(time.strptime(m.group(1), "%Y-%m-%dT%H:%M:%S")) + float(m.group(2) or 0)


class Prometheus:
    def __init__(self, net, targets):
        self.dir = os.path.join(net.tmpdir, "prometheus")
        os.makedirs(os.path.join(self.dir, "data"))
        rules = os.path.join(self.dir, "quillon-alerts.yml")
        shortened_rules(rules)
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files: [%s]\n"
                    "scrape_configs:\n  - job_name: quillon\n    scrape_interval: 1s\n    scrape_timeout: 1s\n"
                    "    static_configs:\n      - targets: [%s]\n"
                    % (json.dumps(rules), ", ".join('"%s"' % t for t in targets)))
        self.port = mu.free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.proc = lab.LabProcess(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=warn"],
            os.path.join(self.dir, "out"), os.path.join(self.dir, "err"), start_new_session=True)
        if not lab.wait_for(self.ready, 30.0, interval=0.2):
            raise Failure("prometheus did not start: %s" % self.proc.stderr_text()[-1000:])

    def ready(self):
        try:
            with urllib.request.urlopen(self.base + "/-/ready", timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    def _get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as r:
            doc = json.load(r)
        expect(doc["status"] == "success", "%s: %s" % (path, doc))
        return doc["data"]

    def query(self, promql):
        """[(labels, value)] of an instant query."""
        data = self._get("/api/v1/query?" + urllib.parse.urlencode({"query": promql}))
        return [(s["metric"], float(s["value"][1])) for s in data["result"]]

    def alerts(self):
        """[(name, labels without alertname, state, activeAt)] of the
        pending and firing alerts."""
        out = []
        for a in self._get("/api/v1/alerts")["alerts"]:
            labels = dict(a["labels"])
            out.append((labels.pop("alertname"), labels, a["state"], rfc3339(a["activeAt"])))
        return out

    def stop(self):
        self.proc.stop()


class AlertLog:
    """Every alert Prometheus lists, looked at every POLL seconds from a
    thread: per episode (name, labels, activeAt) when it was first seen,
    first seen firing and last seen."""

    def __init__(self, prom):
        self.prom = prom
        self.lock = threading.Lock()
        self.episodes = {}
        self.now_listed = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopping.wait(POLL):
            try:
                listed = self.prom.alerts()
            except (OSError, ValueError, Failure):
                continue
            now = time.time()
            with self.lock:
                for name, labels, state, active in listed:
                    key = (name, tuple(sorted(labels.items())), active)
                    e = self.episodes.setdefault(key, {"key": key, "name": name, "labels": labels,
                                                       "active": active, "seen": now, "firing": None, "last": now})
                    e["last"] = now
                    if state == "firing" and e["firing"] is None:
                        e["firing"] = now
                self.now_listed = listed

    def listed(self):
        with self.lock:
            return list(self.now_listed)

    def episodes_of(self, name, labels):
        with self.lock:
            return [dict(e) for e in self.episodes.values() if e["name"] == name and
                    all(e["labels"].get(k) == v for k, v in labels.items())]

    def firing(self, name, labels, since):
        return [e for e in self.episodes_of(name, labels) if e["firing"] and e["active"] >= since - EVALUATION]

    def is_listed(self, name, labels):
        return any(n == name and all(l.get(k) == v for k, v in labels.items()) for n, l, _, _ in self.listed())

    def get(self, key):
        """The episode as it stands now (episodes_of gives copies)."""
        with self.lock:
            return dict(self.episodes[key])

    def all_episodes(self):
        with self.lock:
            return [dict(e) for e in self.episodes.values()]

    def stop(self):
        self.stopping.set()
        self.thread.join(5)


# ---------------------------------------------------------------------------
# Checks of the healthy mesh

def check_matrix(prom, beacons, exporter_of):
    names = {b.name for b in beacons}
    got = prom.query('quillon_loss_ratio{job="quillon",channel="asm"}')
    cells = sorted((m["receiver"], m["sender"]) for m, _ in got)
    want = sorted((r, s) for r in names for s in names if r != s)
    expect(cells == want, "series %s, want %s" % (cells, want))
    ips = {b.name: b.ip for b in beacons}
    for m, _ in got:
        expect(m["instance"] == exporter_of[m["receiver"]],
               "%s's row came from %s, not its own exporter" % (m["receiver"], m["instance"]))
        expect((m["receiver_address"], m["sender_address"]) == (ips[m["receiver"]], ips[m["sender"]]),
               "addresses without ports: %s" % m)


def check_losses_equal_dumps(prom, beacons):
    """Each series equals the receiver's own dump figure; loss moves only at
    window ends, so a mismatch is retried a few times."""
    by_ip = {b.ip: b.name for b in beacons}
    problems = None
    for _ in range(5):
        problems = []
        got = {(m["receiver"], m["sender"]): v for m, v in prom.query('quillon_loss_ratio{channel="asm"}')}
        for b in beacons:
            for ip, attrs in own_figures(b).items():
                key = (b.name, by_ip.get(ip))
                want = float(attrs["loss"]) / 100
                if key not in got or abs(got[key] - want) > 1e-9:
                    problems.append("%s: Prometheus %s, dump %s" % (key, got.get(key), attrs["loss"]))
        if not problems:
            return
        time.sleep(1.5)
    raise Failure("; ".join(problems))


def check_pairs(prom, beacons):
    # A pair needs the other beacon's report of its figures too, which
    # comes a report period after its own.
    n = len(beacons)
    want = n * (n - 1)   # every pair from both of its exporters
    lab.wait_for(lambda: len(prom.query("quillon_pair_round_trip_seconds")) >= want, PAIR_LIMIT, interval=1.0)
    trips = prom.query("quillon_pair_round_trip_seconds")
    names = sorted(b.name for b in beacons)
    pairs = {tuple(sorted((m["a"], m["b"]))) for m, _ in trips}
    expect(pairs == {(x, y) for x in names for y in names if x < y}, "pairs %s" % sorted(pairs))
    expect(len(trips) == want, "each pair from both of its exporters: %d series" % len(trips))
    # Probes carry whole milliseconds, so within one host a window's mean
    # delay, and with it a round trip, can be exactly 0.
    for m, v in trips:
        expect(0 <= v < 0.05, "round trip %s-%s: %s s" % (m["a"], m["b"], v))
    # One clock: an offset is only the difference of the two paths' delays,
    # a few ms at most on a busy machine; below the clock-suspect threshold.
    for m, v in prom.query("quillon_pair_clock_offset_seconds"):
        expect(abs(v) < 0.010, "one clock, yet offset %s-%s: %s s" % (m["a"], m["b"], v))
    suspects = prom.query("quillon_beacon_clock_suspect == 1")
    expect(not suspects, "clock suspects on one clock: %s" % suspects)


def shifted_offsets(prom, shifted):
    """Prometheus' offsets of every pair with the shifted beacon, its clock
    minus the other's, in ms."""
    out = []
    for m, v in prom.query("quillon_pair_clock_offset_seconds"):
        if shifted.ip in (m["a_address"], m["b_address"]):
            out.append((m["a"], m["b"], m["instance"], (v if m["b_address"] == shifted.ip else -v) * 1000))
    return out


# ---------------------------------------------------------------------------
# The fault timeline

class Fault:
    """One injected fault: inject() and remove() it; `alert` and `labels`
    name the one alert meant for it (None: no alert at all), `detect` bounds
    the seconds from the injection until Prometheus finds the alert's
    condition true, `resolve` those from the removal until the alert is
    gone.  Without an alert, `recovered` says when the mesh is whole again."""

    def __init__(self, name, what, inject, remove, alert=None, labels=None, detect=0.0, resolve=0.0,
                 recovered=None, during=None):
        self.name, self.what = name, what
        self.inject, self.remove = inject, remove
        self.alert, self.labels = alert, labels or {}
        self.detect, self.resolve = detect, resolve
        self.recovered, self.during = recovered, during
        self.injected = self.removed = self.ended = None
        self.episode = None
        self.problems = []


def run_fault(fault, log, t0):
    mu.say("  %6.1f s  %s: %s" % (time.time() - t0, fault.name, fault.what))
    fault.injected = time.time()
    fault.inject()
    if fault.alert:
        limit = fault.detect + FOR[fault.alert] + 2 * EVALUATION + POLL
        if not lab.wait_for(lambda: log.firing(fault.alert, fault.labels, fault.injected),
                            limit + 2, interval=POLL):
            fault.problems.append("%s%s did not fire within %.0f s" % (fault.alert, fault.labels, limit))
        else:
            fault.episode = min(log.firing(fault.alert, fault.labels, fault.injected), key=lambda e: e["active"])
        if fault.during:
            try:
                fault.during()
            except Failure as e:
                fault.problems.append(str(e))
    elif not lab.wait_for(fault.recovered, 90.0, interval=1.0):
        fault.problems.append("the mesh did not recover within 90 s")
    fault.removed = time.time()
    fault.remove()
    if fault.alert and not lab.wait_for(lambda: not log.is_listed(fault.alert, fault.labels),
                                        fault.resolve, interval=POLL):
        fault.problems.append("%s still listed %.0f s after the fault was removed" % (fault.alert, fault.resolve))
    fault.ended = time.time()
    # A quiet spell: nothing pending or firing before the next fault.
    lab.wait_for(lambda: not log.listed(), 60.0, interval=POLL)
    time.sleep(QUIET)


def judge(faults, log):
    """The problems of the timeline: each fault's own, then every firing
    alert that no fault explains."""
    problems = []
    for f in faults:
        problems += ["%s: %s" % (f.name, p) for p in f.problems]
        e = f.episode
        if not e:
            continue
        if e["active"] - f.injected > f.detect:
            problems.append("%s: condition true only %.1f s after the injection (bound %.0f s)"
                            % (f.name, e["active"] - f.injected, f.detect))
        if e["firing"] - e["active"] > FOR[f.alert] + 2 * EVALUATION + POLL:
            problems.append("%s: firing %.1f s after its condition (for: %d s)"
                            % (f.name, e["firing"] - e["active"], FOR[f.alert]))
    for e in log.all_episodes():
        if not e["firing"]:
            continue
        meant = [f for f in faults if f.alert == e["name"] and
                 all(e["labels"].get(k) == v for k, v in f.labels.items()) and
                 f.injected <= e["active"] + EVALUATION and e["firing"] <= f.ended]
        if not meant:
            problems.append("false alert: %s %s, firing at %s" % (e["name"], e["labels"], time.ctime(e["firing"])))
    return problems


def print_timeline(faults, log, t0):
    mu.say("\nFault timeline (s from the start of the timeline; for: %s)" %
           ", ".join("%s %d s" % (k[len("Quillon"):], v) for k, v in sorted(FOR.items())))
    mu.say("  %-10s %8s %8s  %-20s %9s %8s %9s" % ("fault", "injected", "removed", "alert", "condition",
                                                   "firing", "resolved"))
    for f in faults:
        e = f.episode
        if e:
            cells = ("%s" % f.alert[len("Quillon"):], "+%.1f" % (e["active"] - f.injected),
                     "+%.1f" % (e["firing"] - f.injected), "+%.1f" % (e["last"] + POLL - f.removed))
        else:
            cells = ("none" if not f.alert else "MISSING", "-", "-", "-")
        mu.say("  %-10s %8.1f %8.1f  %-20s %9s %8s %9s" % ((f.name, f.injected - t0, f.removed - t0) + cells))
    mu.say("  (condition, firing: after the injection; resolved: after the removal)")
    others = [e for e in log.all_episodes() if not any(f.episode and f.episode["active"] == e["active"] and
                                                        f.episode["name"] == e["name"] for f in faults)]
    for e in sorted(others, key=lambda e: e["active"]):
        if e["firing"]:
            mu.say("  FIRING %s %s: pending at %.1f s, firing at %.1f s"
                   % (e["name"], e["labels"], e["active"] - t0, e["firing"] - t0))
    pending = {}
    for e in others:
        if not e["firing"]:
            n, longest = pending.get(e["name"], (0, 0.0))
            pending[e["name"]] = (n + 1, max(longest, e["last"] + POLL - e["active"]))
    for name, (n, longest) in sorted(pending.items()):
        mu.say("  pending only, never firing: %s x%d (the longest %.0f s)" % (name, n, longest))


def build_clock_shift(net):
    """The shift library, compiled here; its control file, readable by
    nobody."""
    library = os.path.join(net.tmpdir, "clockshift.so")
    r = lab._run(["cc", "-shared", "-fPIC", "-O2", "-o", library, os.path.join(HERE, "clockshift.c"), "-ldl"],
                 timeout=60)
    if r.returncode != 0:
        raise lab.LabError("cannot build clockshift.c: %s" % r.stderr)
    control = os.path.join(net.tmpdir, "clock-shift-ms")
    with open(control, "w") as f:
        f.write("0\n")
    os.chmod(library, 0o755)
    os.chmod(control, 0o644)
    return library, control


def set_shift(control, ms):
    with open(control + ".new", "w") as f:
        f.write("%d\n" % ms)
    os.chmod(control + ".new", 0o644)
    os.rename(control + ".new", control)


def timeline(net, binary, view, beacons, serves, exporter_of, prom, clock):
    alpha, beta, gamma, delta = beacons
    h1 = net.hosts[0]
    log = AlertLog(prom)
    t0 = time.time()

    started_as = {}

    def restart(b, name=None):
        started_as[b.name] = local_address(b)
        b.terminate()
        if name:
            b.rename(name)
        b.start(binary)

    def rejoined(b):
        """b runs under a new address/port, every dump has figures of it and
        its own dump of every other beacon, Prometheus has the full matrix
        under the current names, and no alert is pending."""
        now = local_address(b)
        if now in (None, started_as.get(b.name)):
            return False
        for other in beacons:
            rows = local_rows(other)
            if other is not b and "asm" not in rows.get(now, {}):
                return False
        if not matrix_filled(beacons):
            return False
        got = {(m["receiver"], m["sender"]) for m, _ in prom.query('quillon_loss_ratio{channel="asm"}')}
        names = [x.name for x in beacons]
        return got == {(r, s) for r in names for s in names if r != s} and not log.listed()

    def loss_on():
        impairment.nft(h1, """
table ip impair {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr %s ip daddr %s udp dport %d udp length 20 numgen inc mod 10 == 0 counter drop
  }
}
""" % (beta.ip, GROUP, PORT))

    def loss_figures():
        # Every 10th probe dropped: about 10 % in a window of 40 (more or
        # less by one when a gap straddles its end), as alpha's dump says.
        def alpha_loss():
            got = prom.query('quillon_loss_ratio{receiver="alpha",sender="%s",channel="asm"}' % beta.name)
            return got[0][1] if len(got) == 1 else None

        def as_dump():
            dump = own_figures(alpha).get(beta.ip)
            return dump is not None and alpha_loss() == float(dump["loss"]) / 100
        expect(lab.wait_for(as_dump, 5.0, interval=0.5), "alpha's loss of %s: Prometheus %s, dump %s"
               % (beta.name, alpha_loss(), own_figures(alpha).get(beta.ip)))
        expect(0.07 <= alpha_loss() <= 0.13, "alpha's loss of %s: %s, not about 0.1" % (beta.name, alpha_loss()))
        mu.say("    alpha's loss of beta2 in Prometheus: %s" % alpha_loss())

    def offsets_300():
        def near():
            got = shifted_offsets(prom, delta)
            return len(got) == 6 and all(abs(o - SHIFT_MS) <= 2.0 for *_, o in got)
        # The windows measured partly before the shift need to pass.
        if not lab.wait_for(near, 45.0, interval=1.0):
            raise Failure("offsets of delta's pairs: %s, want +%d ms within 2 ms"
                          % (shifted_offsets(prom, delta), SHIFT_MS))
        mu.say("    delta's offsets in Prometheus: %s ms" % ", ".join(
            "%.3f" % o for *_, o in sorted(shifted_offsets(prom, delta))))

    dump_dir = os.path.dirname(delta.dump_path)
    faults = [
        Fault("restart", "alpha stopped and started", lambda: restart(alpha), lambda: None,
              recovered=lambda: rejoined(alpha)),
        Fault("rename", "beta started again as beta2", lambda: restart(beta, "beta2"), lambda: None,
              recovered=lambda: rejoined(beta)),
        Fault("exporter", "gamma's exporter stopped, then started",
              lambda: serves["gamma"].stop(), lambda: serves.update(gamma=start_serve(net, view, gamma, exporter_of)),
              "QuillonExporterDown", {"instance": exporter_of["gamma"]}, detect=3, resolve=10),
        Fault("loss", "alpha drops every 10th probe of beta2", loss_on,
              lambda: h1.execute(["nft", "delete", "table", "ip", "impair"], check=True),
              "QuillonPairLoss", {"receiver": "alpha", "sender": "beta2", "channel": "asm"},
              detect=WINDOWS, resolve=WINDOWS, during=loss_figures),
        Fault("clock", "delta's clock 300 ms ahead", lambda: set_shift(clock, SHIFT_MS),
              lambda: set_shift(clock, 0), "QuillonClockSuspect", {"address": delta.ip},
              detect=WINDOWS, resolve=WINDOWS, during=offsets_300),
        Fault("freeze", "gamma's beacon stopped (SIGSTOP), then resumed", lambda: gamma.signal(signal.SIGSTOP),
              lambda: gamma.signal(signal.SIGCONT), "QuillonDumpStale", {"instance": exporter_of["gamma"]},
              detect=20, resolve=10),
        Fault("unwritable", "delta's dump directory read-only, then writable",
              lambda: os.chmod(dump_dir, 0o555), lambda: os.chmod(dump_dir, 0o755),
              "QuillonDumpStale", {"instance": exporter_of["delta"]}, detect=20, resolve=10),
    ]
    try:
        for f in faults:
            run_fault(f, log, t0)
        time.sleep(QUIET)
    finally:
        log.stop()
        for f in faults:
            if f.episode:
                f.episode = log.get(f.episode["key"])
        if gamma.proc.poll() is None:
            gamma.signal(signal.SIGCONT)
        os.chmod(dump_dir, 0o755)
    print_timeline(faults, log, t0)
    problems = judge(faults, log)
    expect(not problems, "; ".join(problems))


def start_serve(net, view, b, exporter_of):
    return lab.LabProcess([view, "serve", b.dump_path, "--listen", exporter_of[b.name]],
                          os.path.join(net.tmpdir, "serve-%s.out" % b.name),
                          os.path.join(net.tmpdir, "serve-%s.err" % b.name), start_new_session=True)


def main():
    binary = binary_from_args()
    view = mu.view_binary(binary)
    for tool in ("prometheus", "nft", "cc", "setpriv"):
        if not shutil.which(tool):
            print("FAIL: %s is not installed (tools/install-deps installs it)" % tool)
            return 1
    checks = Checks("monitoring")
    with lab.Lab(hosts=4) as net:
        # delta runs as nobody: the lab's directory is root's, nobody may only
        # pass through it to a dump directory of its own.
        os.chmod(net.tmpdir, 0o711)
        nobody_dir = os.path.join(net.tmpdir, "delta-dump")
        os.makedirs(nobody_dir)
        shutil.chown(nobody_dir, "nobody", "nogroup")
        library, clock = build_clock_shift(net)
        hosts = net.hosts
        beacons = [Beacon(net, h, name, 4, GROUP) for h, name in zip(hosts[:3], NAMES[:3])]
        beacons.append(Beacon(net, hosts[3], "delta", 4, GROUP, dump_dir=nobody_dir,
                              wrapper=AS_NOBODY + ["env", "LD_PRELOAD=" + library, "LAB_CLOCK_SHIFT_FILE=" + clock]))
        mu.start_together(beacons, binary)
        serves, exporter_of, prom = {}, {}, None
        try:
            for b in beacons:
                exporter_of[b.name] = "127.0.0.1:%d" % mu.free_port()
                serves[b.name] = start_serve(net, view, b, exporter_of)
            prom = Prometheus(net, exporter_of.values())
            if not lab.wait_for(lambda: matrix_filled(beacons), FILL_LIMIT, interval=1.0):
                print("FAIL the dumps did not hold the whole matrix within %.0f s" % FILL_LIMIT)
                return 1
            cells = len(beacons) * (len(beacons) - 1)
            lab.wait_for(lambda: len(prom.query('quillon_loss_ratio{channel="asm"}')) >= cells, SCRAPE_LIMIT, 0.5)
            checks.run("Prometheus holds the complete 4 x 3 matrix, each row from its own exporter",
                       check_matrix, prom, beacons, exporter_of)
            checks.run("every pair's loss in Prometheus equals the receiver's dump", check_losses_equal_dumps,
                       prom, beacons)
            checks.run("pairs: a round trip from both exporters, one clock so offsets near 0", check_pairs,
                       prom, beacons)
            shutil.copyfile(beacons[0].dump_path,
                            os.path.join(os.environ.get("TMPDIR") or tempfile.gettempdir(), "quillon-lab-dump.xml"))
            exporter_of["beta2"] = exporter_of["beta"]
            checks.run("fault timeline: each fault raises its own alert, which resolves; no other alert fires",
                       timeline, net, binary, view, beacons, serves, exporter_of, prom, clock)
        finally:
            if prom:
                prom.stop()
            for s in serves.values():
                s.stop()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
