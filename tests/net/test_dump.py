#!/usr/bin/env python3
"""The dump file of running beacons: rewritten every interval, replaced
whole, always well-formed, with the group, the local beacon, the measured
sources and the remote beacons; the program launched after each dump.

Time budget: about 35 s wall time (typically; up to 100 s when the random
probe pauses happen to be long).  One lab, two beacons on 239.77.14.1:
  P  h1  -S -F ssmping, three websites, country PT, -U, -d, -I 5,
         -L a script that appends its argument to a log; its interface's
         counters sampled every 10 ms
  Q  h2  one website, country DE, -d, -I 5, -L a program that does not exist
A watcher polls both dump files every 20 ms: every new version must parse
(ElementTree and xmllint --noout), and FILE.working must never be seen in
two polls in a row.
"""

import os
import re
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from lab import Lab, CaseRunner, wait_for  # noqa: E402
from beacons import CheckFailed, run_timed, xmllint_complaint  # noqa: E402
from runbeacon_util import (  # noqa: E402
    check, check_eq, setup, beacon_args, start_beacon, wait_started, read_dump,
    local_beacon, remote_beacons, local_source_by_host, find_logs, udp_sockets, CONTACT)

BINARY = setup(__doc__)
GROUP = "239.77.14.1"
PORT = 10000
POLL = 0.02
INTERVAL = 5.0
WAIT = 100.0
VERSION_INFO = "0.3.9.1 ($Rev: 409 $)"
SITES = (("generic", "http://p.lab.example/"), ("lg", "http://p.lab.example/lg"),
         ("matrix", "http://p.lab.example/matrix?a=1"))
Q_SITE = "http://q.lab.example/"


class Watcher(threading.Thread):
    """Polls a dump file: records every new version (its mtime, text and
    parsed root, and when it was seen) and every sighting of FILE.working."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.working = path + ".working"
        self.versions = []          # (mtime, text, root, seen_at)
        self.errors = []
        self.lingering = []         # FILE.working seen in two polls in a row
        self.sightings = 0
        self.stopping = False
        self.lock = threading.Lock()

    def run(self):
        last_mtime = None
        seen_before = False
        while not self.stopping:
            seen = os.path.exists(self.working)
            if seen:
                self.sightings += 1
                if seen_before:
                    self.lingering.append(time.time())
            seen_before = seen
            try:
                got = read_dump(self.path)
            except CheckFailed as e:
                got = None
                self.errors.append(str(e))
            if got and got[0] != last_mtime:
                last_mtime = got[0]
                complaint = xmllint_complaint(path=self.path)
                if complaint:
                    self.errors.append("xmllint: " + complaint)
                with self.lock:
                    self.versions.append((got[0], got[1], got[2], time.time()))
            time.sleep(POLL)

    def snapshot(self):
        with self.lock:
            return list(self.versions)

    def latest(self):
        v = self.snapshot()
        return v[-1] if v else None


class Beacon:
    def __init__(self, key, host, dump, args):
        self.key = key
        self.host = host
        self.addr = host.addr4
        self.dump = dump
        self.args = args
        self.proc = None
        self.watch = Watcher(dump)
        self.port = None
        self.start_time = None

    def label(self):
        return "%s/%d" % (self.addr, self.port)


def src_of(root, addr):
    found = local_source_by_host(root, addr)
    return found[0] if len(found) == 1 else None


def remote_of(root, addr):
    for b in remote_beacons(root):
        if b.get("addr", "").rsplit("/", 1)[0] == addr:
            return b
    return None


def external_of(remote, addr):
    for s in remote.find("sources").findall("source"):
        if s.get("addr", "").rsplit("/", 1)[0] == addr:
            return s
    return None


# -- cases ---------------------------------------------------------------------

def case_rewrites(beacons):
    """A dump every 5 s (mtimes 5 s apart, the first 5 s after start-up),
    each version parsing, FILE.working never left behind."""
    for b in beacons:
        v = b.watch.snapshot()
        check(len(v) >= 5, "%s: %d dumps seen" % (b.key, len(v)))
        check(not b.watch.errors, "%s: every version parses (ElementTree, xmllint)" % b.key, b.watch.errors[:2])
        gaps = [y[0] - x[0] for x, y in zip(v, v[1:])]
        check(all(abs(g - INTERVAL) <= 0.2 for g in gaps), "%s: rewritten every 5 s (%s)" % (
            b.key, " ".join("%.3f" % g for g in gaps)),
              ["%.3f" % g for g in gaps])
        first = v[0][0] - b.start_time
        check(4.8 <= first <= 5.3, "%s: first dump 5 s after start-up" % b.key, "%.3f s" % first)
        check(not b.watch.lingering, "%s: FILE.working never seen twice in a row (%d polls saw it)" % (
            b.key, b.watch.sightings), b.watch.lingering[:3])
        check(not os.path.exists(b.dump + ".working"), "%s: no FILE.working left" % b.key)


def case_layout(p, q):
    """Header, group line and the local beacon's line exactly as specified;
    flags and websites of the local beacon; the beacon's age advancing."""
    for b, ssm in ((p, True), (q, False)):
        v = b.watch.snapshot()
        text, root = v[0][1], v[0][2]
        lines = text.split("\n")
        check(re.fullmatch(r'<beacons rxrate="\d+\.\d\d" txrate="\d+\.\d\d" versioninfo="%s">' % re.escape(
            VERSION_INFO), lines[0]) is not None, "%s: first line of the first dump" % b.key, lines[0])
        check(float(root.get("txrate")) > 0, "%s: the first dump counts what was sent since start-up" % b.key,
              lines[0])
        group = '<group addr="%s/%d"%s int="5.00">' % (
            GROUP, PORT, ' ssmgroup="232.2.3.2/10000"' if ssm else "")
        check_eq(lines[1], group, "%s: group line%s" % (b.key, " with ssmgroup" if ssm else " without ssmgroup"))
        check(text.endswith("</group>\n</beacons>\n"), "%s: ends with </group></beacons>" % b.key)
        country = "PT" if b is p else "DE"
        local = re.fullmatch(r'\t<beacon name="%s" addr="%s" contact="%s" country="%s" age="(\d+)" '
                             r'lastupdate="0" rxlocal="true">' % (
                                 re.escape("dump-" + b.key), re.escape(b.label()), re.escape(CONTACT), country),
                             lines[2])
        check(local is not None, "%s: local beacon line" % b.key, lines[2])
        el = local_beacon(root)
        flags = [(f.get("name"), f.get("value")) for f in el.findall("flag")]
        check_eq(flags, [("SSM", "true"), ("SSMPing", "true")] if b is p else [],
                 "%s: flag lines" % b.key)
        sites = [(w.get("type"), w.get("url")) for w in el.findall("website")]
        check_eq(sites, list(SITES) if b is p else [("generic", Q_SITE)], "%s: website lines in order" % b.key)
        ages = [int(local_beacon(x[2]).get("age")) for x in v]
        check(ages[0] in (4, 5) and all(y - x in (4, 5, 6) for x, y in zip(ages, ages[1:])),
              "%s: age advances with the dumps (%s)" % (b.key, ages), ages)
        check("\t</beacon>\n\n" in text, "%s: an empty line after the local beacon" % b.key)


# Samples the host's interface counters every 10 ms, one line each: the
# time, then tx_bytes, tx_packets, rx_bytes, rx_packets.
COUNTERS_PY = """
import time
names = ("tx_bytes", "tx_packets", "rx_bytes", "rx_packets")
files = [open("/sys/class/net/eth0/statistics/" + n) for n in names]
while True:
    t = time.time()
    values = []
    for f in files:
        f.seek(0)
        values.append(f.read().strip())
    print(t, *values, flush=True)
    time.sleep(0.01)
"""
FRAME_OVERHEAD = 14 + 20 + 8    # Ethernet, IPv4 and UDP headers of a beacon datagram


def counters_at(samples, t):
    """(tx_bytes, tx_packets, rx_bytes, rx_packets) of the last sample taken
    at or before t."""
    before = [x for x in samples if x[0] <= t]
    return before[-1][1:] if before else None


def case_rates_and_interval(p):
    """rxrate and txrate are the beacon datagrams' bytes since the previous
    dump over the time since then: at every dump, within 10 % of what the
    interface counted (UDP payload: bytes minus the frame, IP and UDP
    headers of each packet); int shows beacon_interval: 5.00, then 4.02."""
    v = p.watch.snapshot()
    t0 = v[0][0] - 5.0                      # the queue's reference point
    by_slot = {round((x[0] - t0) / 5.0): x for x in v}
    for k in (1, 2, 3, 4, 5):
        check(k in by_slot, "P: dump at %d s" % (5 * k))
    samples = []
    for line in p.counters.stdout_text().splitlines():
        fields = line.split()
        if len(fields) == 5:
            samples.append((float(fields[0]),) + tuple(int(x) for x in fields[1:]))
    seen = []
    for (m0, _, _, _), (m1, _, root, _) in zip(v[1:], v[2:]):
        c0, c1 = counters_at(samples, m0), counters_at(samples, m1)
        check(c0 is not None and c1 is not None, "P: interface counters around the dump at %.1f s" % (m1 - t0))
        elapsed = (m1 - m0) * 1000.0
        tx = (c1[0] - c0[0]) - FRAME_OVERHEAD * (c1[1] - c0[1])
        rx = (c1[2] - c0[2]) - FRAME_OVERHEAD * (c1[3] - c0[3])
        for attr, n in (("txrate", tx), ("rxrate", rx)):
            got, want = float(root.get(attr)), n * 8 / elapsed
            seen.append("%s %s/%.2f" % (attr[:2], root.get(attr), want))
            check(abs(got - want) <= 0.01 + want * 0.10,
                  "P: dump at %.1f s: %s %s, the interface counted %d payload bytes in %.0f ms: %.2f Kb/s" % (
                      m1 - t0, attr, root.get(attr), n, elapsed, want))
    check(len(seen) >= 6, "P: rates of at least three dumps compared", seen)
    print("  P's rates, dump/interface Kb/s: %s" % ", ".join(seen), flush=True)
    for k in (1, 2):
        check_eq(dump_int(by_slot[k][2]), "5.00", "P: int 5.00 at %d s" % (5 * k))
    for k in (3, 4, 5):
        check_eq(dump_int(by_slot[k][2]), "4.02", "P: int 4.02 at %d s (ln 4 / 1.38 x 4)" % (5 * k))


def dump_int(root):
    return root.find("group").get("int")


def case_sources(p, q):
    """The other beacon's source line with its identity and, once they
    exist, its measured figures; the remote beacon element with what the
    other beacon reports."""
    _, text, root, _ = p.watch.latest()
    s = src_of(root, q.addr)
    check(s is not None, "P: one source line for Q")
    check_eq((s.get("addr"), s.get("name"), s.get("contact"), s.get("country")),
             (q.label(), "dump-q", CONTACT, "DE"), "P: Q's source line: addr, name, contact, country")
    a = s.find("asm")
    check(a is not None, "P: measured figures of Q")
    check_eq((a.get("ttl"), a.get("loss"), a.get("ooo"), a.get("dup")), ("0", "0.0", "0.000", "0.000"),
             "P: Q's figures: ttl 0, no loss, no reordering, no duplicates")
    check(s.find("ssm") is None, "P: no ssm figures of Q (Q sends no SSM probes)")
    check(int(s.get("age")) >= int(s.get("lastupdate")), "P: Q's age >= its lastupdate")

    r = remote_of(root, q.addr)
    check(r is not None, "P: a remote beacon element for Q")
    check_eq((r.get("name"), r.get("contact"), r.get("addr"), r.get("rxlocal"), r.get("country")),
             ("dump-q", CONTACT, q.label(), "true", None),
             "P: remote Q: name, contact, addr, rxlocal true, no country")
    check(re.search(r'\n\t<beacon name="dump-q" contact="%s" addr="%s" age="\d+" rxlocal="true" lastupdate="\d+">\n'
                    % (re.escape(CONTACT), re.escape(q.label())), text) is not None,
          "P: remote Q's line in the specified attribute order")
    check_eq([(w.get("type"), w.get("url")) for w in r.findall("website")], [("generic", Q_SITE)],
             "P: remote Q's website from its website report")
    check_eq(r.findall("flag"), [], "P: remote Q has no flags")
    e = external_of(r, p.addr)
    check(e is not None, "P: remote Q lists P as one of its sources")
    check_eq(e.get("addr"), p.label(), "P: Q's source P keyed by P's address and port")
    ea = e.find("asm")
    check(ea is not None, "P: Q's reported figures of P")
    check_eq((ea.get("ttl"), ea.get("loss"), ea.get("ooo"), ea.get("dup")), ("0", "0.0", "0.000", "0.000"),
             "P: Q reports P with hop count 0 and no loss")

    _, _, qroot, _ = q.watch.latest()
    s = src_of(qroot, p.addr)
    check(s is not None and s.get("name") == "dump-p", "Q: P's source line, named by P's report")
    check(s.get("country") is None, "Q: no country for P (P's website report went out before Q started)")
    rp = remote_of(qroot, p.addr)
    check(rp is not None and rp.get("name") == "dump-p", "Q: a remote beacon element for P")


def live_quillons(host):
    out = []
    for pid in lab._run(["ip", "netns", "pids", host.ns]).stdout.split():
        try:
            with open("/proc/%s/stat" % pid) as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        state = stat.rsplit(")", 1)[1].split()[0]
        if name == "quillon" and state != "Z":
            out.append(int(pid))
    return out


def zombie_children(pid):
    n = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid and fields[0] == "Z":
            n += 1
    return n


def case_launch(p, q, log):
    """-L: the program runs with the dump's path after every dump; a
    program that does not exist leaves the beacon dumping on its own."""
    def settled():
        now = time.time()
        return all(b.watch.latest() and 0.5 < now - b.watch.latest()[3] < 4.0 for b in (p, q))
    wait_for(settled, 6)
    n = len(p.watch.snapshot())
    with open(log) as f:
        lines = f.read().splitlines()
    check_eq(set(lines), {p.dump}, "P: the program gets the dump file's path")
    check_eq(len(lines), n, "P: one launch per dump (%d)" % n)
    with open(log + ".signals") as f:
        blocked = f.read().splitlines()
    check_eq(set(blocked), {"SigBlk:\t0000000000000000"}, "P: the program starts with no signal blocked")
    check_eq(zombie_children(p.proc.pid), 0, "P: every launched program reaped")

    gaps = [y[0] - x[0] for x, y in zip(q.watch.snapshot(), q.watch.snapshot()[1:])]
    check(len(gaps) >= 4 and all(abs(g - INTERVAL) <= 0.2 for g in gaps),
          "Q: keeps dumping every 5 s while its program cannot start")
    check_eq(live_quillons(q.host), [q.proc.pid], "Q: one beacon process, no child left running")
    check(zombie_children(q.proc.pid) <= 1, "Q: failed launches do not pile up")
    check(q.proc.poll() is None and p.proc.poll() is None, "both beacons still running")


def main():
    runner = CaseRunner("dump")
    with Lab(hosts=2) as net:
        h1, h2 = net.hosts
        log = os.path.join(net.tmpdir, "launched.log")
        script = os.path.join(net.tmpdir, "after-dump.sh")
        with open(script, "w") as f:
            # Also the signals the program starts with blocked: none.  Read
            # with builtins only: a shell blocks every signal around its own
            # forks, so a grep of the shell's status could see that mask.
            f.write('#!/bin/sh\necho "$1" >> "%s"\n'
                    'while read -r key value; do\n'
                    '  [ "$key" = "SigBlk:" ] && printf "SigBlk:\\t%%s\\n" "$value" >> "%s.signals"\n'
                    'done < /proc/self/status\n' % (log, log))
        os.chmod(script, 0o755)
        P = Beacon("p", h1, os.path.join(net.tmpdir, "p.xml"),
                   ["-S", "-F", "ssmping", "-C", "PT", "-W", SITES[0][1], "-Wl", SITES[1][1],
                    "-Wm", SITES[2][1], "-U", "-L", script])
        Q = Beacon("q", h2, os.path.join(net.tmpdir, "q.xml"),
                   ["-C", "DE", "-W", Q_SITE, "-L", os.path.join(net.tmpdir, "no-such-program")])
        P.counters = h1.run([sys.executable, "-c", COUNTERS_PY], label="counters")
        for b in (P, Q):
            b.watch.start()
            b.proc = start_beacon(b.host, BINARY, beacon_args("dump-" + b.key, GROUP, "-d", b.dump, "-I", "5",
                                                              *b.args), b.key)
            wait_started(b.proc)
            b.start_time = find_logs(b.proc, r"Local name is .*")[0][0]
            socks = [s for s in udp_sockets(b.host) if s.startswith(b.addr + ":")]
            b.port = int(socks[0].rsplit(":", 1)[1])

        def ready():
            pv, qv = P.watch.latest(), Q.watch.latest()
            if not pv or not qv or len(P.watch.snapshot()) < 5 or len(Q.watch.snapshot()) < 5:
                return False
            r = remote_of(pv[2], Q.addr)
            s = src_of(pv[2], Q.addr)
            return (s is not None and s.find("asm") is not None and r is not None
                    and external_of(r, P.addr) is not None and external_of(r, P.addr).find("asm") is not None
                    and src_of(qv[2], P.addr) is not None and src_of(qv[2], P.addr).get("name") is not None
                    and remote_of(qv[2], P.addr) is not None)
        t0 = time.monotonic()
        wait_for(ready, WAIT, interval=0.2)
        print("  waited %.1f s for measured and reported figures" % (time.monotonic() - t0), flush=True)

        runner.run("rewrites", case_rewrites, [P, Q])
        runner.run("layout of the first dump", case_layout, P, Q)
        runner.run("rates and int", case_rates_and_interval, P)
        runner.run("sources and remote beacons", case_sources, P, Q)
        runner.run("launched program", case_launch, P, Q, log)
        for b in (P, Q):
            b.watch.stopping = True
            os.kill(b.proc.pid, signal.SIGTERM)
    return runner.finish()


if __name__ == "__main__":
    run_timed(main)
