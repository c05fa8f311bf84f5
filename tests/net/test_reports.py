#!/usr/bin/env python3
"""Reports, the reception matrix, farewell and expiry, black-box.

Time budget: about 130 s wall time, set by the website report, which a
beacon sends at its start and next 120 s later.  Three labs run at once,
each in its own thread:

- ipv4: three beacons with SSM (-S), fixed ports (-s) so that the table order
  (port first, then address) is known, dumps every 5 s, a fourth host
  listening on the beacon group and on one beacon's SSM channel.  Every
  dump must come to show every other beacon with its identity, country,
  websites, flags, its own measurements (asm and ssm) and what each beacon
  reports about the others; the reports on the wire must follow the format;
  a beacon ended with SIGTERM leaves the others' dumps at their next dump.
  The beacons start one after the other, so each hears the start-up website
  report (country, websites, flags) of those started after it; the dumps
  must show exactly those until the website reports due 120 s after start
  complete every dump.
- ipv6: the same over IPv6 with ports chosen by the system, one beacon
  without SSM, and names, contacts and URLs holding XML's special characters.
- expiry (IPv6): an observer and two beacons killed with SIGKILL at chosen
  moments; each must stay in the observer's dump until the first garbage
  collection (every 30 s) at which its last datagram, or the last report
  that listed it, is older than 6 x beacon_interval (beacon_interval at its
  floor of ln 4 / 1.38 x 4 s with so little traffic), and be gone after it.
"""

import datetime
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from beacons import (Checks, CheckFailed, GC_PERIOD, LOG_TIME_RE, MAGIC, MIN_BEACON_INTERVAL,  # noqa: E402
                     MIN_TIMEOUT_MS, SENDER_TTL, binary_from_args, xmllint_complaint)
from beacon_util import (Beacon, DumpHistory, classify, expect, expect_eq, read_dump,  # noqa: E402
                         run_threads, split_addr, table_key)

DUMP_INTERVAL = 5
MATRIX_TIMEOUT = 85.0     # 40 probes from every sender (4 bursts and 3 random pauses),
                          # then a report (every ~8 s) and a dump (every 5 s)
WEBSITE_TYPES = (("G", "generic"), ("L", "lg"), ("M", "matrix"))

NUM3 = re.compile(r"^\d+\.\d{3}$")
NUM1 = re.compile(r"^\d+\.\d$")
INT = re.compile(r"^\d+$")


# ---------------------------------------------------------------------------
# What a dump must show

def expected_websites(b):
    return [(name, b.websites[letter]) for letter, name in WEBSITE_TYPES if letter in b.websites]


def expected_flags(b):
    return (["SSM"] if b.ssm else []) + (["SSMPing"] if b.ssmping else [])


def stats_problems(where, st, measured):
    """Figures of a clean segment: the hop count is 0 (sent with 127, received
    with 127), nothing lost, duplicated or reordered, a small delay from the
    shared clock (never in the future)."""
    keys = {"ttl", "rptage", "loss", "delay", "jitter", "ooo", "dup"}
    out = []
    if set(st) != keys:
        out.append("%s: attributes %s, want %s" % (where, sorted(st), sorted(keys)))
        return out
    if st["ttl"] != "0":
        out.append("%s: ttl %s, want 0 (%s form)" % (where, st["ttl"], "measured" if measured else "reported"))
    if st["loss"] != "0.0":
        out.append("%s: loss %s, want 0.0" % (where, st["loss"]))
    if st["ooo"] != "0.000" or st["dup"] != "0.000":
        out.append("%s: ooo %s dup %s, want 0.000" % (where, st["ooo"], st["dup"]))
    for k in ("delay", "jitter"):
        if not NUM3.match(st[k]) or float(st[k]) >= 100.0:
            out.append("%s: %s %s is not a small figure with 3 decimals" % (where, k, st[k]))
    if not INT.match(st["rptage"]):
        out.append("%s: rptage %s" % (where, st["rptage"]))
    return out


def dump_problems(x, beacons, d, all_sites):
    """Everything x's dump d must show once the matrix is complete; returns
    the list of what is missing or wrong.  A beacon's country, websites and
    flags travel only in its website report, sent at its start and then
    120 s later (and every 24 x beacon_interval s): before that x knows them
    only of the beacons that started after x (all_sites false)."""
    out = []
    others = sorted([b for b in beacons if b is not x], key=lambda b: table_key(b.addr))
    loc = d.local
    for attr, want in (("name", x.name), ("addr", x.addr), ("contact", x.contact),
                       ("country", x.country), ("lastupdate", "0"), ("rxlocal", "true")):
        if loc.get(attr) != want:
            out.append("local %s %r, want %r" % (attr, loc.get(attr), want))
    if loc["flags"] != expected_flags(x):
        out.append("local flags %r, want %r" % (loc["flags"], expected_flags(x)))
    if loc["websites"] != expected_websites(x):
        out.append("local websites %r, want %r" % (loc["websites"], expected_websites(x)))
    if d.group.get("addr") != x.group_label:
        out.append("group addr %r, want %r" % (d.group.get("addr"), x.group_label))
    want_ssm_group = x.ssm_label if x.ssm else None
    if d.group.get("ssmgroup") != want_ssm_group:
        out.append("group ssmgroup %r, want %r" % (d.group.get("ssmgroup"), want_ssm_group))

    # x's own view of each other beacon: the local source lines.
    got = [s.get("addr") for s in loc["sources"]]
    want = [b.addr for b in others]
    if got != want:
        out.append("local source lines %r, want %r (table order)" % (got, want))
    for y in others:
        s = d.local_source(y.addr)
        if s is None:
            continue
        sites = all_sites or y.order > x.order
        for attr, want_v in (("name", y.name), ("contact", y.contact),
                             ("country", y.country if sites else None)):
            if s.get(attr) != want_v:
                out.append("source %s: %s %r, want %r" % (y.name, attr, s.get(attr), want_v))
        if not INT.match(s.get("age", "")) or not INT.match(s.get("lastupdate", "")):
            out.append("source %s: age/lastupdate %r/%r" % (y.name, s.get("age"), s.get("lastupdate")))
        if "asm" not in s:
            out.append("source %s: no asm measurement yet" % y.name)
        else:
            out += stats_problems("source %s asm" % y.name, s["asm"], True)
        want_ssm = x.ssm and y.ssm
        if want_ssm and "ssm" not in s:
            out.append("source %s: no ssm measurement yet" % y.name)
        elif not want_ssm and "ssm" in s:
            out.append("source %s: ssm measurement without SSM on both ends" % y.name)
        elif want_ssm:
            out += stats_problems("source %s ssm" % y.name, s["ssm"], True)

    # Every other beacon's element: its identity and what it reports.
    got = [r.get("addr") for r in d.remotes]
    if got != want:
        out.append("remote beacon elements %r, want %r (table order)" % (got, [b.addr for b in others]))
    for y in others:
        r = d.remote(y.addr)
        if r is None:
            continue
        for attr, want_v in (("name", y.name), ("contact", y.contact), ("rxlocal", "true")):
            if r.get(attr) != want_v:
                out.append("beacon %s: %s %r, want %r" % (y.name, attr, r.get(attr), want_v))
        if "country" in r:
            out.append("beacon %s: a remote beacon element with a country attribute" % y.name)
        sites = all_sites or y.order > x.order
        want_f = expected_flags(y) if sites else []
        want_w = expected_websites(y) if sites else []
        if r["flags"] != want_f:
            out.append("beacon %s: flags %r, want %r" % (y.name, r["flags"], want_f))
        if r["websites"] != want_w:
            out.append("beacon %s: websites %r, want %r" % (y.name, r["websites"], want_w))
        listed = sorted([b for b in beacons if b is not y], key=lambda b: table_key(b.addr))
        got_l = [s.get("addr") for s in r["sources"]]
        if got_l != [b.addr for b in listed]:
            out.append("beacon %s reports %r, want %r" % (y.name, got_l, [b.addr for b in listed]))
            continue
        for z, s in zip(listed, r["sources"]):
            where = "%s's report of %s" % (y.name, z.name)
            if "name" in s and (s["name"] != z.name or s.get("contact") != z.contact):
                out.append("%s: name/contact %r/%r" % (where, s["name"], s.get("contact")))
            if not INT.match(s.get("age", "")):
                out.append("%s: age %r" % (where, s.get("age")))
            if "asm" not in s:
                out.append("%s: no asm figures yet" % where)
            else:
                out += stats_problems(where + " asm", s["asm"], False)
            want_ssm = y.ssm and z.ssm
            if want_ssm and "ssm" not in s:
                out.append("%s: no ssm figures yet" % where)
            elif not want_ssm and "ssm" in s:
                out.append("%s: ssm figures without SSM on both ends" % where)
            elif want_ssm:
                out += stats_problems(where + " ssm", s["ssm"], False)
    return out


def wait_matrix(beacons, timeout, all_sites=False):
    """Waits until every beacon's dump shows the whole matrix."""
    last = {}

    def complete():
        ok = True
        for b in beacons:
            d = read_dump(b.dump)
            last[b.name] = ["no dump yet"] if d is None else dump_problems(b, beacons, d, all_sites)
            ok = ok and not last[b.name]
        return ok
    if not lab.wait_for(complete, timeout, interval=0.5):
        lines = ["%s: %s" % (n, "; ".join(p[:6])) for n, p in last.items() if p]
        raise CheckFailed("matrix incomplete after %.0f s:\n  %s" % (timeout, "\n  ".join(lines)))
    for b in beacons:
        complaint = xmllint_complaint(path=b.dump)
        expect(complaint is None, "xmllint on %s's dump: %s" % (b.name, complaint))


# ---------------------------------------------------------------------------
# Reports on the wire

def check_reports_on_wire(beacons, rx, timeout=20.0):
    """Every datagram on the beacon group is a probe or a well-formed report;
    each beacon's first report is its website report; a later report of each
    lists exactly the other beacons, with figures of 20 bytes."""
    by_ip = {b.ip: b for b in beacons}

    def complete_reports():
        _, reports = classify(rx.records())
        done = set()
        for d, rep in reports:
            b = by_ip.get(d.src)
            if b and rep.kind == "sources" and set(rep.sources) == {o.addr for o in beacons if o is not b}:
                done.add(b.name)
        return len(done) == len(beacons)
    lab.wait_for(complete_reports, timeout, interval=0.5)

    probes, reports = classify(rx.records())
    for b in beacons:
        others = {o.addr: o for o in beacons if o is not b}
        mine = [(d, r) for d, r in reports if d.src == b.ip]
        expect(any(p.src == b.ip for p in probes), "no probe from %s on the group" % b.name)
        expect(mine, "no report from %s on the group" % b.name)
        for d, r in mine:
            expect_eq("%s report source port" % b.name, d.sport, b.port)
            expect_eq("%s report name" % b.name, r.name, b.name)
            expect_eq("%s report contact" % b.name, r.contact, b.contact)
            expect(r.kind != "leave", "%s sent a leave report while running" % b.name)
            expect_eq("%s report TTL on the segment" % b.name, d.ttl, SENDER_TTL)
        first = mine[0][1]
        expect_eq("%s first report kind (sent at start-up)" % b.name, first.kind, "website")
        expect_eq("%s website report URLs" % b.name, first.websites, b.websites)
        expect_eq("%s website report country" % b.name, first.country, b.country)
        expect_eq("%s website report flags" % b.name, first.flags, b.flags)
        full = None
        uptime = time.time() - b.started + 1
        for d, r in mine:
            if r.kind == "map":
                for a, entry in r.sources.items():
                    expect(a in others, "%s's map report lists %s" % (b.name, a))
                    expect_eq("%s's map entry for %s" % (b.name, a), (entry["n"], entry["a"]),
                              (others[a].name, others[a].contact))
            if r.kind != "sources":
                continue
            for a, entry in r.sources.items():
                expect(a in others, "%s's report lists %s, not another beacon" % (b.name, a))
                for ch, fig in entry.items():
                    where = "%s's %s figures of %s" % (b.name, ch, others[a].name)
                    expect(ch == "A" or (b.ssm and others[a].ssm), where + " without SSM")
                    expect_eq(where + " hop count", fig.hops, 0)
                    expect_eq(where + " loss/dup/ooo", (fig.loss, fig.dup, fig.ooo), (0, 0, 0))
                    expect(0 <= fig.delay < 100 and 0 <= fig.jitter < 100,
                           where + " delay %r jitter %r" % (fig.delay, fig.jitter))
                    expect(fig.age <= uptime, where + " age %d beyond the uptime" % fig.age)
            if set(r.sources) == set(others):
                full = r
        expect(full is not None, "no report of %s listing exactly %s" % (b.name, sorted(others)))
        for a, entry in full.sources.items():
            want = "AS" if (b.ssm and others[a].ssm) else "A"
            expect_eq("%s's channels for %s in its last full report" % (b.name, others[a].name),
                      "".join(sorted(entry)), want)


def check_ssm_reports(sender, beacons, rx):
    """The SSM report goes to the sender's SSM channel, with the content of
    the report proper and nothing of the other kinds."""
    probes, reports = classify(rx.records(), sender.ip)
    expect(probes, "no SSM probe from %s" % sender.name)
    expect(reports, "no report from %s on its SSM channel" % sender.name)
    others = {o.addr for o in beacons if o is not sender}
    for d, r in reports:
        expect(r.kind in ("sources", "empty"), "%s sent a %s report to its SSM channel" % (sender.name, r.kind))
        expect(set(r.sources) <= others, "SSM report lists %r" % sorted(r.sources))
        expect_eq("SSM report source port", d.sport, sender.port)


# ---------------------------------------------------------------------------
# Farewell

def check_farewell(victim, observers, rx):
    t_kill = time.time()
    victim.proc.send_signal(signal.SIGTERM)
    try:
        status = victim.proc.wait(5)
    except Exception:  # noqa: BLE001
        raise CheckFailed("%s did not end within 5 s of SIGTERM" % victim.name)
    expect_eq("%s exit status after SIGTERM" % victim.name, status, 0)
    limit = t_kill + DUMP_INTERVAL + 1.0
    for o in observers:
        def fresh():
            d = read_dump(o.dump)
            return d if d is not None and d.mtime > t_kill + 0.05 else None
        d = lab.wait_for(fresh, limit - time.time() + 0.5, interval=0.1)
        expect(d is not None, "%s wrote no dump within %d s after the farewell" % (o.name, DUMP_INTERVAL + 1))
        expect(d.mtime <= limit, "%s's next dump came %.1f s after the farewell" % (o.name, d.mtime - t_kill))
        expect(d.remote(victim.addr) is None, "%s's dump still has a beacon element for %s"
               % (o.name, victim.name))
        expect(d.local_source(victim.addr) is None, "%s's dump still has a source line for %s"
               % (o.name, victim.name))
        line = re.compile(r"^%sRemoving source %s \[%s\]$" % (LOG_TIME_RE, re.escape(victim.addr),
                                                             re.escape(victim.name)), re.M)
        expect(lab.wait_for(lambda: line.search(o.log()), 2.0),
               "%s logged no removal line for %s" % (o.name, victim.addr))
    # The last datagram of the victim on the group is its farewell report.
    def leave_seen():
        mine = [d for d in rx.records() if d.src == victim.ip]
        return mine and not mine[-1].payload[:4] == MAGIC + b"\x01\x00" and mine[-1]
    last = lab.wait_for(leave_seen, 2.0)
    expect(last, "no report from %s after SIGTERM" % victim.name)
    n, a = victim.name.encode(), victim.contact.encode()
    want = MAGIC + bytes([1, 1, SENDER_TTL, ord("n"), len(n)]) + n + bytes([ord("a"), len(a)]) + a + b"Q\x00"
    expect_eq("farewell report bytes", last.payload.hex(), want.hex())
    expect(last.time >= t_kill - 0.01, "the last datagram of %s came before SIGTERM" % victim.name)


# ---------------------------------------------------------------------------
# The two matrix labs

def matrix_lab(checks, tag, the_lab, binary, family, group, port, configs, ssm_group, periodic_sites):
    h = the_lab.hosts
    observer = h[3]
    rx = lab.receiver(observer, group, port, duration=300)
    tmp = the_lab.tmpdir
    beacons = []

    def started():
        # One after the other: each beacon has joined the group (its
        # "Local name" line follows its start-up website report) before the
        # next one starts, so every beacon hears the start-up website
        # reports of those started after it.
        for i, c in enumerate(configs):
            b = Beacon(h[i], binary, c["name"], c["contact"],
                       "%s/%d" % (group, port) if c.get("explicit_port") else group,
                       family, dump=os.path.join(tmp, "dump%d.xml" % i), interval=DUMP_INTERVAL,
                       country=c["country"], websites=c["websites"], ssm=c["ssm"],
                       port=c.get("port"), verbose=1)
            b.order = i
            b.group_label = "%s/%d" % (group, port)
            b.ssm_label = "%s/10000" % ssm_group
            beacons.append(b)
            b.wait_started()
        for b in beacons:
            b.learn_port()
        expect_eq("distinct addresses", len({b.addr for b in beacons}), len(beacons))
    if not checks.run("%s: three beacons start" % tag, started):
        return
    srx = lab.receiver(observer, ssm_group, 10000, source=beacons[0].ip, duration=300)
    checks.run("%s: every dump shows the whole matrix (sites of later beacons)" % tag,
               wait_matrix, beacons, MATRIX_TIMEOUT)
    checks.run("%s: reports on the group follow the wire format" % tag, check_reports_on_wire, beacons, rx)
    checks.run("%s: SSM reports go to the SSM channel" % tag, check_ssm_reports, beacons[0], beacons, srx)
    if periodic_sites:
        checks.run("%s: website reports again 120 s after start complete every dump" % tag,
                   check_periodic_sites, beacons, rx)
    checks.run("%s: SIGTERM farewell removes the beacon from the others' next dump" % tag,
               check_farewell, beacons[2], beacons[:2], rx)


def check_periodic_sites(beacons, rx):
    """The website report is due again 120 s after start; then every dump
    knows every beacon's country, websites and flags."""
    last_start = max(b.started for b in beacons)
    deadline = last_start + 120.0 + DUMP_INTERVAL + 3.0
    wait_matrix(beacons, max(1.0, deadline - time.time()), all_sites=True)
    _, reports = classify(rx.records())
    for b in beacons:
        sites = [d for d, r in reports if d.src == b.ip and r.kind == "website"]
        expect(len(sites) >= 2, "%s sent %d website reports" % (b.name, len(sites)))
        gap = sites[1].time - sites[0].time
        expect(119.5 <= gap <= 120.5, "%s's second website report came %.2f s after the first"
               % (b.name, gap))


def ipv4_lab(checks, the_lab, binary):
    # Ports chosen so that the table order (port, then address) is neither
    # the order of the hosts nor of the addresses: rpt4-beta, rpt4_gamma,
    # rpt4 alpha.
    configs = [
        dict(name="rpt4 alpha", contact="alpha@four.example", country="NO", ssm=True, port=30003,
             websites={"G": "http://alpha.four.example/", "L": "http://alpha.four.example/lg",
                       "M": "http://alpha.four.example/matrix"}),
        dict(name="rpt4-beta", contact="beta@four.example", country="SE", ssm=True, port=30001,
             websites={"G": "http://beta.four.example/", "L": "http://beta.four.example/lg",
                       "M": "http://beta.four.example/matrix"}),
        dict(name="rpt4_gamma", contact="gamma@four.example", country="FI", ssm=True, port=30001,
             websites={"G": "http://gamma.four.example/", "L": "http://gamma.four.example/lg",
                       "M": "http://gamma.four.example/matrix"}),
    ]
    matrix_lab(checks, "ipv4", the_lab, binary, 4, "239.77.4.1", 10000, configs, "232.2.3.2", True)


def ipv6_lab(checks, the_lab, binary):
    configs = [
        dict(name='rpt6 <alpha> & "co"', contact="alpha'6@six.example", country="DE", ssm=True,
             explicit_port=True,
             websites={"G": "http://six.example/?a=1&b=<2>", "L": "http://six.example/lg?x=\"y\"",
                       "M": "http://six.example/m&'"}),
        dict(name="rpt6-beta", contact="beta@six.example", country="NL", ssm=True, explicit_port=True,
             websites={"G": "http://beta.six.example/", "M": "http://beta.six.example/matrix"}),
        dict(name="rpt6-gamma", contact="gamma@six.example", country="BE", ssm=False, explicit_port=True,
             websites={"L": "http://gamma.six.example/lg"}),
    ]
    matrix_lab(checks, "ipv6", the_lab, binary, 6, "ff3e::4:1", 10600, configs, "ff3e::beac", False)


# ---------------------------------------------------------------------------
# Expiry of beacons killed without a farewell

def log_time(line_match):
    """Wall-clock time of a log line's time stamp (local time, no year)."""
    stamp = line_match.group(1).strip()
    year = datetime.datetime.now().year
    return datetime.datetime.strptime("%d %s" % (year, stamp), "%Y %b %d %H:%M:%S.%f").timestamp()


def expiry_lab(checks, the_lab, binary):
    h1, h2, h3 = the_lab.hosts
    group, port = "ff3e::4:2", 10700
    sn = lab.sniffer(h1, duration=200)   # the group and the SSM channel
    dump = os.path.join(the_lab.tmpdir, "observer.xml")
    t0 = time.time()
    obs = Beacon(h1, binary, "expiry-observer", "obs@expiry.example", "%s/%d" % (group, port), 6,
                 dump=dump, interval=DUMP_INTERVAL, ssm=True, verbose=1)
    # With SSM the late victim sends two independent probe bursts, so that
    # some datagram of it falls into the short window in which it is killed.
    v1 = Beacon(h2, binary, "victim-late", "late@expiry.example", "%s/%d" % (group, port), 6, ssm=True)
    v2 = Beacon(h3, binary, "victim-early", "early@expiry.example", "%s/%d" % (group, port), 6)
    hist = DumpHistory(dump)
    state = {}

    def started():
        m = obs.wait_started()
        state["s_lo"], state["s_hi"] = t0, max(t0, log_time(m))
        expect(state["s_hi"] - t0 < 2.0, "observer took %.1f s to start" % (state["s_hi"] - t0))
        for v in (v1, v2):
            v.wait_started()
        obs.learn_port()
    if not checks.run("expiry: observer and two victims start", started):
        return
    s = state["s_lo"]
    kills = {}

    def learn_victim_port(v):
        # The observer's dump knows each victim by address and port.
        def found():
            d = read_dump(dump)
            for r in (d.remotes if d else []):
                if r.get("name") == v.name:
                    return r["addr"]
            return None
        a = lab.wait_for(found, 12.0, interval=0.2)
        expect(a, "%s not in the observer's dump" % v.name)
        v.port = split_addr(a)[1]

    # The early victim dies right after its first report (due 10 s after its
    # start): at the collection 30 s after start it has been silent about
    # 20 s (< the time-out), at the one 60 s after start about 50 s.  The
    # late one dies right after a datagram of it seen 31.5 to 35 s after
    # start (or at 35 s): at the collection 60 s after start it has been
    # silent 25 to 28.5 s, beyond the time-out of 24.1 s but short of the
    # 30 s that the start value of beacon_interval would give.
    late_from, late_until = s + 31.5, s + 35.0
    plan = [(v2, s + 11.0, s + 11.0), (v1, late_from, late_until)]
    end = s + 67.0
    ok = checks.run("expiry: victims appear in the observer's dump",
                    lambda: [learn_victim_port(v) for v in (v1, v2)])
    while time.time() < end:
        hist.poll()
        now = time.time()
        for v, start, latest in plan:
            if v in kills or now < start:
                continue
            fresh = now >= latest or any(r.src == v.ip and r.direction == "in" and r.time >= start
                                         and now - r.time < 0.25 for r in sn.records()[-40:])
            if fresh:
                v.proc.send_signal(signal.SIGKILL)
                kills[v] = time.time()
        pending = [p for p in plan if p[0] not in kills]
        time.sleep(0.02 if pending and now >= min(p[1] for p in pending) - 0.1 else 0.2)
    hist.poll()
    if not ok:
        return

    T = MIN_TIMEOUT_MS / 1000.0
    recs = [r for r in sn.records() if r.direction == "in"]

    def last_refresh(v):
        """When the observer last heard of v: a datagram from v, or a report
        of another beacon that listed v."""
        last = None
        for r in recs:
            if r.src == v.ip:
                last = r.time
            elif r.payload[:4] == MAGIC + b"\x01\x01":
                _, reps = classify([r])
                if reps and v.addr in reps[0][1].sources:
                    last = max(last or 0, r.time)
        return last

    def check_interval():
        after = [d for d in hist.versions if d.mtime > s + 12.0]
        expect(after, "no dump after the first 10-second window")
        for d in after:
            expect_eq("beacon_interval in the dump (int attribute)", d.group.get("int"),
                      "%.2f" % MIN_BEACON_INTERVAL)
    checks.run("expiry: beacon_interval drops to its floor with little traffic", check_interval)

    def check_victim(v):
        k = kills.get(v)
        expect(k is not None, "%s was not killed" % v.name)
        last = last_refresh(v)
        expect(last is not None and last <= max(kills.values()) + 0.05,
               "last refresh of %s at %r" % (v.name, last))
        # Collections run every 30 s from the observer's start (somewhere in
        # [s_lo, s_hi]); the first at which the last refresh is older than
        # T removes the victim.  A collection within 0.3 s of the border is
        # allowed either way.
        lo_window = hi_window = None
        n = 1
        while hi_window is None:
            g_lo = state["s_lo"] + n * GC_PERIOD
            g_hi = state["s_hi"] + n * GC_PERIOD + 0.1
            if g_lo - last > T + 0.3:
                hi_window = g_hi
                lo_window = g_lo if lo_window is None else lo_window
            elif g_hi - last >= T - 0.3:
                lo_window = g_lo if lo_window is None else lo_window
            n += 1
        present_until, absent_from = lo_window - 0.3, hi_window + 0.3
        checks.note("  %s: killed at %.1f s, last heard of at %.1f s, time-out %.3f s, "
                    "removal expected at %.1f-%.1f s (after the observer's start)"
                    % (v.name, k - s, last - s, T, lo_window - s, hi_window - s))
        before = [d for d in hist.versions if k + 0.5 < d.mtime < present_until]
        after = [d for d in hist.versions if d.mtime > absent_from]
        expect(len(before) >= 3, "too few dumps before the expected removal (%d)" % len(before))
        expect(after, "no dump after the expected removal at %.1f s" % (hi_window - s))
        for d in before:
            expect(d.remote(v.addr) is not None and d.local_source(v.addr) is not None,
                   "%s gone from the dump %.1f s after its last datagram (time-out %.1f s)"
                   % (v.name, d.mtime - last, T))
        for d in after:
            expect(not d.knows(v.addr), "%s still in the dump %.1f s after its last datagram"
                   % (v.name, d.mtime - last))
        line = re.compile(r"^%sRemoving source %s \[%s\] by Timeout$"
                          % (LOG_TIME_RE, re.escape(v.addr), re.escape(v.name)), re.M)
        expect(line.search(obs.log()), "no time-out removal line for %s" % v.addr)
    checks.run("expiry: SIGKILLed beacon silent ~20 s survives a collection, then expires",
               check_victim, v2)
    checks.run("expiry: SIGKILLed beacon silent 25-28.5 s at a collection expires there", check_victim, v1)


def main():
    binary = binary_from_args()
    checks = Checks("lab")
    with lab.Lab(hosts=4) as l4, lab.Lab(hosts=4) as l6, lab.Lab(hosts=3) as lk:
        run_threads([lambda: expiry_lab(checks, lk, binary),
                     lambda: ipv4_lab(checks, l4, binary),
                     lambda: ipv6_lab(checks, l6, binary)])
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
