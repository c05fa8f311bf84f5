"""Helpers for the whole-system lab scripts (test_system.py, test_ssm_limit.py).

A `Beacon` is one quillon daemon in a lab host with the options it was given,
so that the tests can say from the configuration alone what every dump must
show.  `read_dump` parses a dump file into plain records.  `hold_egress` and
`release_egress` keep a host's outgoing frames queued while a group of
beacons starts, so that every beacon hears every other beacon's start-up
website report (the next one is due only two minutes later).
`ScenarioChecks` keeps a script's score and the newest version of each dump.
"""

import ipaddress
import os
import re
import signal
import subprocess
import sys
import threading
import time
import traceback
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
from beacons import DEFAULT_PORT, MIN_TIMEOUT_MS, VERSION_INFO, log_messages, read_dump_file  # noqa: E402

MIN_TIMEOUT = MIN_TIMEOUT_MS / 1000.0     # seconds
START_TIMEOUT = 30.0      # beacon_interval is 5.0 s until the first accounting

_print_lock = threading.Lock()


def say(*parts):
    with _print_lock:
        print(*parts, flush=True)


class Failure(Exception):
    """A check of a scenario that does not hold."""


def expect(cond, message):
    """Fails the running check with message unless cond holds."""
    if not cond:
        raise Failure(message)


class ScenarioChecks:
    """What a scenario script keeps while it runs: the score of its checks
    (one PASS or FAIL line each, after `[tag]` when it has one), the newest
    version of each beacon's dump and the problems found in any of them."""

    def __init__(self, tag=None):
        self.tag = tag
        self.passed = 0
        self.failed = 0
        self.latest = {}          # beacon name -> newest Dump
        self.invariant_problems = []

    def check(self, name, fn):
        prefix = "[%s] " % self.tag if self.tag else ""
        start = time.monotonic()
        try:
            fn()
        except Exception as e:  # noqa: BLE001 - every failure is reported
            self.failed += 1
            detail = str(e) if isinstance(e, (Failure, AssertionError)) else traceback.format_exc()
            say("FAIL %s%s (%.1f s): %s" % (prefix, name, time.monotonic() - start, detail))
            return False
        self.passed += 1
        say("PASS %s%s (%.1f s)" % (prefix, name, time.monotonic() - start))
        return True

    def changed_dump(self, b):
        """Beacon b's dump when it is another version than the one kept
        (it is kept from now on), else None; a dump that is not well-formed
        is an invariant problem."""
        try:
            d = read_dump(b.dump_path)
        except ValueError as e:
            self.invariant_problems.append(str(e))
            return None
        if d is None:
            return None
        old = self.latest.get(b.name)
        if old is not None and old.mtime == d.mtime and old.data == d.data:
            return None
        self.latest[b.name] = d
        return d


def norm_ip(text):
    return str(ipaddress.ip_address(text))


def host_of(addr_text):
    """'10.77.0.1/4321' -> '10.77.0.1'."""
    return addr_text.rsplit("/", 1)[0]


class Beacon:
    """One daemon: its host, identity and announced settings.

    joins_ssm: started with -S (receives SSM); sends_ssm: -S or -O."""

    def __init__(self, lab_, host, name, family, group, *, ssm=False, send_only=False,
                 bootstrap=None, country=None, website=None, matrix=None, lg=None,
                 website_lg_prefix=None, ssmping_flag=False, verbose=0, dump=True, extra=(), max_files=None,
                 dump_dir=None, wrapper=(), env=None):
        self.lab = lab_
        self.host = host
        self.name = name
        self.family = family
        self.group = group
        self.contact = "ops-%s@example.net" % re.sub(r"[^a-z]", "", name.lower())[:12]
        self.joins_ssm = ssm
        self.sends_ssm = ssm or send_only
        self.send_only = send_only
        self.bootstrap = bootstrap
        self.country = country
        self.websites = {}
        if website:
            self.websites["G"] = website
        if website_lg_prefix:
            self.websites["L"] = website_lg_prefix
        if lg:
            self.websites["L"] = lg
        if matrix:
            self.websites["M"] = matrix
        self.flags = []
        if ssm:
            self.flags.append("SSM")
        if ssmping_flag:
            self.flags.append("SSMPing")
        self.ip = norm_ip(host.addr(family))
        self.segment = host.segment
        self.dump_path = os.path.join(dump_dir or lab_.tmpdir, "%s.dump.xml" % host.name) if dump else None
        argv = [None, "-n", name, "-a", self.contact, "-b", group]
        if self.dump_path:
            argv += ["-d", self.dump_path, "-I", "5"]
        if country:
            argv += ["-C", country]
        if website:
            argv += ["-W", website]
        if website_lg_prefix:
            argv += ["-W", "lg$" + website_lg_prefix]
        if matrix:
            argv += ["-Wm", matrix]
        if lg:
            argv += ["-Wl", lg]
        if ssmping_flag:
            argv += ["-F", "ssmping"]
        argv += ["-v"] * verbose
        argv += list(extra)
        # Options with an optional value go last or before another option,
        # so that they never take the next word as their value.
        if ssm:
            argv += ["-S"]
        if send_only:
            argv += ["-O"]
        if bootstrap:
            argv += ["-B", bootstrap]
        self.argv_tail = argv[1:]
        # A descriptor limit (RLIMIT_NOFILE) to start the daemon with; a
        # command that execs the daemon (setpriv ...) and its environment.
        self.max_files = max_files
        self.wrapper = list(wrapper)
        self.env = env
        self.proc = None
        self.started = None       # wall clock, just before the process starts
        self.addr = None          # "ip/port" as the beacon's own dump shows it

    def __repr__(self):
        return self.name

    def ssm_label(self):
        return "232.2.3.2/10000" if self.family == 4 else "ff3e::beac/10000"

    def group_label(self):
        return "%s/%d" % (norm_ip(self.group), DEFAULT_PORT)

    def start(self, binary):
        self.started = time.time()
        argv = [binary] + self.argv_tail
        if self.max_files:
            argv = ["prlimit", "--nofile=%d" % self.max_files, "--"] + argv   # execs: the pid stays the daemon's
        argv = self.wrapper + argv
        self.proc = self.host.run(argv, label=re.sub(r"\W", "", self.name) or "beacon", env=self.env)
        return self.proc

    def rename(self, name):
        """Takes another name for the next start."""
        self.argv_tail[self.argv_tail.index("-n") + 1] = self.name = name

    def stderr(self):
        return self.proc.stderr_text() if self.proc else ""

    def log_messages(self):
        """The messages of the time-stamped log lines on standard error."""
        return log_messages(self.stderr())

    def started_up(self):
        return any(m.startswith("Local name is `") for m in self.log_messages())

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def kill(self):
        self.signal(signal.SIGKILL)
        self.proc.wait(5)

    def terminate(self, timeout=5.0):
        self.signal(signal.SIGTERM)
        return self.proc.wait(timeout)


def hop_count(receiver, sender):
    """Routers between two beacons: the lab's hosts sit on two segments joined
    by one router, which lowers the TTL by one."""
    return 0 if receiver.segment == sender.segment else 1


# ---------------------------------------------------------------------------
# Holding a host's outgoing frames

_BACKLOG = re.compile(r"backlog (\d+)b (\d+)p")
_DUMMY4 = "239.255.77.77"   # throw-away datagrams, TTL 1


def _backlog_packets(host):
    out = host.check_output(["tc", "-s", "qdisc", "show", "dev", host.ifname])
    m = _BACKLOG.search(out)
    return int(m.group(2)) if m else 0


def hold_egress(host):
    """Queues every frame the host sends from now on, until release_egress.
    A token bucket with an almost zero rate is installed and its initial
    tokens are used up by a few throw-away datagrams."""
    host.check_output(["tc", "qdisc", "replace", "dev", host.ifname, "root", "tbf",
                       "rate", "8bit", "burst", "1600", "limit", "4000000"])
    for _ in range(20):
        host.execute(["bash", "-c", "for i in 1 2 3 4; do echo hold > /dev/udp/%s/9; done" % _DUMMY4])
        if _backlog_packets(host) > 0:
            return
    raise lab.LabError("could not hold the egress of %s" % host.name)


def release_egress(hosts):
    """Sends the held frames of the hosts in order and stops holding."""
    for host in hosts:
        host.check_output(["tc", "qdisc", "change", "dev", host.ifname, "root", "tbf",
                           "rate", "10gbit", "burst", "4000000", "limit", "4000000"])
    # Each bucket's timer was set for the far future: one more frame makes
    # its queue run at the new rate at once.
    for _ in range(20):
        waiting = [h for h in hosts if _backlog_packets(h) > 0]
        if not waiting:
            return
        kicks = [subprocess.Popen(h._argv(["bash", "-c", "echo release > /dev/udp/%s/9" % _DUMMY4]),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for h in waiting]
        for k in kicks:
            k.wait(10)
    raise lab.LabError("held frames did not leave: %s" % [h.name for h in hosts if _backlog_packets(h)])


def start_together(beacons, binary, timeout=15.0):
    """Starts the beacons so that each one's start-up report reaches all the
    others: the hosts' outgoing frames are held until every daemon has
    joined its groups and sent its report, then released.  Returns how
    long the first beacon's frames were held, in seconds."""
    hosts = []
    for b in beacons:
        if b.host not in hosts:
            hosts.append(b.host)
    for h in hosts:
        hold_egress(h)
    try:
        for b in beacons:
            b.start(binary)
        ok = lab.wait_for(lambda: all(b.started_up() or b.proc.poll() is not None for b in beacons),
                          timeout, interval=0.02)
        dead = [b for b in beacons if b.proc.poll() is not None]
        if dead or not ok:
            raise AssertionError("beacons did not start: %s" % "; ".join(
                "%s: %s" % (b.name, b.stderr().strip()[-300:]) for b in beacons
                if b.proc.poll() is not None or not b.started_up()))
    finally:
        release_egress(hosts)
    return time.time() - min(b.started for b in beacons)


# ---------------------------------------------------------------------------
# Dump files

class Stats:
    def __init__(self, el):
        self.tag = el.tag
        self.attrs = dict(el.attrib)
        self.order = list(el.attrib)


class Row:
    """A <source> element: a local source line or a reported source."""

    def __init__(self, el):
        self.attrs = dict(el.attrib)
        self.order = list(el.attrib)
        self.addr = el.get("addr")
        self.children = [c.tag for c in el]
        self.stats = {}
        for c in el:
            self.stats[c.tag] = Stats(c)


class BeaconElement:
    def __init__(self, el, problems):
        self.attrs = dict(el.attrib)
        self.order = list(el.attrib)
        self.addr = el.get("addr")
        self.flags = []
        self.websites = []
        self.rows = {}
        self.children = [c.tag for c in el]
        for c in el:
            if c.tag == "flag":
                if c.get("value") != "true" or list(c.attrib) != ["name", "value"]:
                    problems.append("flag element %r" % c.attrib)
                self.flags.append(c.get("name"))
            elif c.tag == "website":
                if list(c.attrib) != ["type", "url"]:
                    problems.append("website element %r" % c.attrib)
                self.websites.append((c.get("type"), c.get("url")))
            elif c.tag == "sources":
                for s in c:
                    if s.tag != "source":
                        problems.append("unexpected <%s> in sources" % s.tag)
                        continue
                    row = Row(s)
                    if row.addr in self.rows:
                        problems.append("source %s listed twice under %s" % (row.addr, self.addr))
                    self.rows[row.addr] = row
            else:
                problems.append("unexpected <%s> in beacon %s" % (c.tag, self.addr))


class Dump:
    """One version of a dump file."""

    def __init__(self, path, data, mtime):
        self.path = path
        self.data = data
        self.mtime = mtime
        self.problems = []
        root = ET.fromstring(data)
        if root.tag != "beacons":
            self.problems.append("root element <%s>" % root.tag)
        self.header = dict(root.attrib)
        self.header_order = list(root.attrib)
        groups = list(root)
        if len(groups) != 1 or groups[0].tag != "group":
            raise ValueError("expected one <group> element, got %s" % [g.tag for g in groups])
        group = groups[0]
        self.group = dict(group.attrib)
        self.group_order = list(group.attrib)
        elements = list(group)
        if not elements or any(e.tag != "beacon" for e in elements):
            raise ValueError("group holds %s" % [e.tag for e in elements])
        self.local = BeaconElement(elements[0], self.problems)
        self.remotes = {}
        for e in elements[1:]:
            b = BeaconElement(e, self.problems)
            if b.addr in self.remotes:
                self.problems.append("beacon %s written twice" % b.addr)
            self.remotes[b.addr] = b


def read_dump(path):
    """The current version of a dump file, or None when there is none yet.
    Raises ValueError (with the text) when the file is not well-formed."""
    got = read_dump_file(path)
    if got is None:
        return None
    data, st = got
    try:
        return Dump(path, data, st.st_mtime)
    except (ET.ParseError, ValueError) as e:
        raise ValueError("%s is not a valid dump (%s):\n%s" % (path, e, data.decode(errors="replace")))


FLOAT1 = re.compile(r"^-?\d+\.\d$")
FLOAT2 = re.compile(r"^-?\d+\.\d{2}$")
FLOAT3 = re.compile(r"^-?\d+\.\d{3}$")
UINT = re.compile(r"^\d+$")
INT = re.compile(r"^-?\d+$")

STATS_ORDER = ["ttl", "rptage", "loss", "delay", "future", "jitter", "ooo", "dup"]


def check_stats(where, st, hops, problems, max_delay_ms=1000.0):
    """A statistics element of a loss-free lab path: no loss, duplicates or
    reordering, a plausible delay (both clocks are the same machine's, so
    never from the future) and the hop count expected between the two hosts."""
    a = st.attrs
    want_order = [k for k in STATS_ORDER if k in a]
    if st.order != want_order or set(a) - set(STATS_ORDER):
        problems.append("%s: attributes %s" % (where, st.order))
        return
    if hops is None:
        if "ttl" in a:
            problems.append("%s: ttl=%s where none is due" % (where, a["ttl"]))
    elif a.get("ttl") != str(hops):
        problems.append("%s: ttl=%r, want %d" % (where, a.get("ttl"), hops))
    for key, pattern in (("rptage", UINT), ("loss", FLOAT1), ("delay", FLOAT3), ("jitter", FLOAT3),
                         ("ooo", FLOAT3), ("dup", FLOAT3)):
        if not pattern.match(a.get(key, "")):
            problems.append("%s: %s=%r" % (where, key, a.get(key)))
            return
    if a["loss"] != "0.0" or a["ooo"] != "0.000" or a["dup"] != "0.000":
        problems.append("%s: loss/ooo/dup %s/%s/%s on a loss-free path" % (where, a["loss"], a["ooo"], a["dup"]))
    if "future" in a:
        problems.append("%s: delay in the future between two clocks of one machine" % where)
    if not 0.0 <= float(a["delay"]) < max_delay_ms:
        problems.append("%s: delay %s ms" % (where, a["delay"]))
    if not 0.0 <= float(a["jitter"]) < max_delay_ms:
        problems.append("%s: jitter %s ms" % (where, a["jitter"]))


# ---------------------------------------------------------------------------
# What a dump must show

def website_list(beacon):
    names = {"G": "generic", "L": "lg", "M": "matrix"}
    return [(names[k], beacon.websites[k]) for k in sorted(beacon.websites)]


class World:
    """Every beacon of a scenario, found by the address text dumps use.

    A beacon's address (with the port its sending socket got) is learnt from
    its own dump, or from others' dumps for one that never wrote one.
    `no_figures` are addresses of which no beacon can have measured figures
    (a beacon killed before its fourth probe burst, a bootstrap entry under
    a port no beacon sends from)."""

    def __init__(self, beacons):
        self.beacons = list(beacons)
        self.no_figures = set()
        self.aliases = {}      # address text -> label of something that is no beacon

    def find(self, addr):
        for b in self.beacons:
            if b.addr == addr:
                return b
        return None

    def learn(self, dump):
        """Fills in beacons' addresses from a dump: the local element and any
        element whose host is a beacon's host with a name equal to its name."""
        for el in [dump.local] + list(dump.remotes.values()):
            if not el.addr or "/" not in el.addr or el.addr in self.aliases:
                continue
            for b in self.beacons:
                # One beacon per host: an element not yet identified (its
                # start-up report was missed) is still that host's beacon.
                if b.addr is None and host_of(el.addr) == b.ip and el.attrs.get("name", b.name) == b.name:
                    b.addr = el.addr


def check_dump(d, me, live, world, complete, row_names=False, allow=(), max_delay_ms=1000.0):
    """Problems of dump d of beacon `me` (an empty list: none).

    live: the beacons that form the matrix.  complete: every cell of the
    matrix of `live` must be there (else only what is there is checked, so
    that the same rules hold for every dump ever read).  row_names: reported
    sources must carry the names that map reports give them.  allow:
    addresses that may still have an element and a source line, without
    figures (beacons on their way out)."""
    p = list(d.problems)
    # Header and group.
    if d.header_order != ["rxrate", "txrate", "versioninfo"]:
        p.append("header attributes %s" % d.header_order)
    if d.header.get("versioninfo") != VERSION_INFO:
        p.append("versioninfo %r" % d.header.get("versioninfo"))
    for k in ("rxrate", "txrate"):
        if not FLOAT2.match(d.header.get(k, "")) or float(d.header[k]) < 0:
            p.append("header %s=%r" % (k, d.header.get(k)))
    want = ["addr"] + (["ssmgroup"] if me.joins_ssm else []) + ["int"]
    if d.group_order != want:
        p.append("group attributes %s, want %s" % (d.group_order, want))
    if d.group.get("addr") != me.group_label():
        p.append("group addr %r, want %r" % (d.group.get("addr"), me.group_label()))
    if me.joins_ssm and d.group.get("ssmgroup") != me.ssm_label():
        p.append("ssmgroup %r, want %r" % (d.group.get("ssmgroup"), me.ssm_label()))
    interval = d.group.get("int", "")
    if not FLOAT2.match(interval) or not 4.02 <= float(interval) <= 26.70:
        p.append("group int=%r: beacon_interval stays between 4.02 and 26.70 s here" % interval)

    # The local beacon.
    el = d.local
    want = ["name", "addr", "contact"] + (["country"] if me.country else []) + ["age", "lastupdate", "rxlocal"]
    if el.order != want:
        p.append("local beacon attributes %s, want %s" % (el.order, want))
    a = el.attrs
    for k, v in (("name", me.name), ("contact", me.contact), ("country", me.country),
                 ("lastupdate", "0"), ("rxlocal", "true")):
        if v is not None and a.get(k) != v:
            p.append("local beacon %s=%r, want %r" % (k, a.get(k), v))
    if me.addr and a.get("addr") != me.addr:
        p.append("local addr %r, want %r" % (a.get("addr"), me.addr))
    if not UINT.match(a.get("age", "")):
        p.append("local age %r" % a.get("age"))
    elif complete and me.started and abs(int(a["age"]) - (d.mtime - me.started)) > 2.5:
        p.append("local age %s for a beacon started %.1f s before the dump" % (a["age"], d.mtime - me.started))
    p += _check_identity_extras("local beacon", el, me)

    # Its sources: what it measures itself.
    others = [b for b in live if b is not me]
    for s in others:
        row = el.rows.get(s.addr) if s.addr else None
        if row is None:
            if complete:
                p.append("no local source line for %s (%s)" % (s.name, s.addr))
            continue
        where = "%s's line for %s" % (me.name, s.name)
        has_name = complete or "name" in row.attrs
        has_country = bool(s.country) if complete else "country" in row.attrs
        want = (["addr"] + (["name", "contact"] if has_name else []) + (["country"] if has_country else [])
                + ["age", "lastupdate"])
        if row.order != want:
            p.append("%s: attributes %s, want %s" % (where, row.order, want))
        for k, v in (("name", s.name), ("contact", s.contact), ("country", s.country)):
            if k in row.attrs and row.attrs[k] != v:
                p.append("%s: %s=%r, want %r" % (where, k, row.attrs[k], v))
        p += _check_ages(where, row.attrs, complete, a.get("age"))
        p += _check_figures(where, row, me, s, complete, measured=True, max_delay_ms=max_delay_ms)
    for addr, row in el.rows.items():
        b = world.find(addr)
        if b in others or (addr in allow and not row.children):
            continue
        if not complete:
            if addr in world.no_figures:
                if not row.children:
                    continue
            elif b is not None and b is not me:
                # A beacon that has left, until it is removed.
                p += _check_figures("%s's line for %s" % (me.name, b.name), row, me, b, False, True, max_delay_ms)
                continue
        p.append("%s lists source %s (%s)%s" % (me.name, addr, b.name if b else world.aliases.get(addr, "unknown"),
                                                " with figures" if row.children else ""))

    # Remote beacons: what each of them reports.
    for s in others:
        el = d.remotes.get(s.addr) if s.addr else None
        if el is None:
            if complete:
                p.append("no beacon element for %s (%s)" % (s.name, s.addr))
            continue
        where = "%s's element for %s" % (me.name, s.name)
        want = ["name", "contact", "addr", "age", "rxlocal", "lastupdate"]
        if not complete and "name" not in el.attrs:
            want = ["addr", "age", "rxlocal", "lastupdate"]
        if el.order != want:
            p.append("%s: attributes %s, want %s" % (where, el.order, want))
        for k, v in (("name", s.name), ("contact", s.contact)):
            if k in el.attrs and el.attrs[k] != v:
                p.append("%s: %s=%r, want %r" % (where, k, el.attrs[k], v))
        if complete and el.attrs.get("rxlocal") != "true":
            p.append("%s: rxlocal=%r for a beacon heard directly" % (where, el.attrs.get("rxlocal")))
        p += _check_ages(where, el.attrs, complete, a.get("age"))
        if complete or el.flags or el.websites:
            p += _check_identity_extras(where, el, s)
        listed = [b for b in live if b is not s]
        for l in listed:
            row = el.rows.get(l.addr) if l.addr else None
            if row is None:
                if complete:
                    p.append("%s: %s not listed" % (where, l.name))
                continue
            p += _check_reported_row(where, row, s, l, complete, row_names, max_delay_ms)
        for addr, row in el.rows.items():
            b = world.find(addr)
            if b in listed:
                continue
            if b is not None and not complete and b is not s and addr not in world.no_figures:
                # A beacon that left stays listed until the listing expires.
                p += _check_reported_row(where, row, s, b, False, False, max_delay_ms)
                continue
            p.append("%s: lists %s (%s)" % (where, addr, b.name if b else world.aliases.get(addr, "unknown")))
    for addr, el in d.remotes.items():
        b = world.find(addr)
        if b in others or (addr in allow and not el.rows):
            continue
        if not complete:
            if addr in world.no_figures:
                if not el.rows:
                    continue
            elif b is not None and b is not me:
                continue   # a beacon that has left, until it is removed
        what = b.name if b else world.aliases.get(addr, "unknown")
        p.append("%s has an element for %s (%s)%s" % (me.name, addr, what, " with sources" if el.rows else ""))
    return p


def _check_identity_extras(where, el, b):
    p = []
    if el.flags != b.flags:
        p.append("%s: flags %s, want %s" % (where, el.flags, b.flags))
    if el.websites != website_list(b):
        p.append("%s: websites %s, want %s" % (where, el.websites, website_list(b)))
    want = ["flag"] * len(el.flags) + ["website"] * len(el.websites) + ["sources"]
    if el.children != want:
        p.append("%s: children %s" % (where, el.children))
    return p


def _check_ages(where, attrs, complete, local_age):
    p = []
    for k in ("age", "lastupdate"):
        if k not in attrs:
            continue
        if not UINT.match(attrs[k]):
            p.append("%s: %s=%r" % (where, k, attrs[k]))
        elif local_age and UINT.match(local_age) and int(attrs[k]) > int(local_age) + 1:
            p.append("%s: %s=%s older than the beacon itself (%s)" % (where, k, attrs[k], local_age))
    if complete and UINT.match(attrs.get("lastupdate", "x")) and int(attrs["lastupdate"]) > 20:
        p.append("%s: lastupdate=%s although it reports every 10 s" % (where, attrs["lastupdate"]))
    return p


def _check_figures(where, row, receiver, sender, complete, measured, max_delay_ms):
    """asm always once complete; ssm exactly when the receiver joined SSM and
    the sender sends SSM."""
    p = []
    want = ["asm"] + (["ssm"] if receiver.joins_ssm and sender.sends_ssm else [])
    if complete and row.children != want:
        p.append("%s: figures %s, want %s" % (where, row.children, want))
    elif [c for c in want if c in row.children] != row.children:
        p.append("%s: figures %s where only %s can be, in this order" % (where, row.children, want))
    hops = hop_count(receiver, sender)
    for tag, st in row.stats.items():
        if tag not in ("asm", "ssm"):
            p.append("%s: <%s>" % (where, tag))
            continue
        if measured and not complete and "ttl" not in st.attrs:
            st_hops = None   # no report from the sender yet: no hop count
        else:
            st_hops = hops
        check_stats("%s %s" % (where, tag), st, st_hops, p, max_delay_ms)
    return p


def _check_reported_row(where, row, reporter, listed, complete, row_names, max_delay_ms):
    p = []
    w = "%s, row of %s" % (where, listed.name)
    if "name" in row.attrs or row_names:
        want = ["name", "contact", "addr", "age"]
    else:
        want = ["addr", "age"]
    if row.order != want:
        p.append("%s: attributes %s, want %s" % (w, row.order, want))
    for k, v in (("name", listed.name), ("contact", listed.contact)):
        if k in row.attrs and row.attrs[k] != v:
            p.append("%s: %s=%r, want %r" % (w, k, row.attrs[k], v))
    if not UINT.match(row.attrs.get("age", "")):
        p.append("%s: age=%r" % (w, row.attrs.get("age")))
    p += _check_figures(w, row, reporter, listed, complete, measured=False, max_delay_ms=max_delay_ms)
    return p


# ---------------------------------------------------------------------------
# Looking at the matrix: quillon-view and a headless browser

def view_binary(binary):
    """quillon-view, built beside the daemon."""
    path = os.path.join(os.path.dirname(os.path.abspath(binary)), "quillon-view")
    if not os.access(path, os.X_OK):
        raise Failure("no quillon-view beside %s" % binary)
    return path


def use_debian_selenium():
    """Debian's python3-selenium lives in the system interpreter's
    packages: when this interpreter cannot import it, the script is run
    again with /usr/bin/python3."""
    try:
        import selenium  # noqa: F401
        return
    except ImportError:
        pass
    system = "/usr/bin/python3"
    if os.path.realpath(sys.executable) != os.path.realpath(system) and os.access(system, os.X_OK):
        os.execv(system, [system] + sys.argv)
    raise Failure("python3-selenium is not installed (tools/install-deps installs it)")


def headless_chromium(profile_dir, width=1400, height=1000):
    """A Selenium driver of Debian's chromium with a fresh profile, no
    network of its own (no update checks, no sync, no QUIC) and the
    browser's console log kept."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    opts = Options()
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--disable-default-apps", "--disable-domain-reliability", "--disable-breakpad",
              "--disable-client-side-phishing-detection", "--no-pings", "--dns-prefetch-disable",
              "--disable-features=Translate,OptimizationHints,MediaRouter,AutofillServerCommunication",
              "--disable-dev-shm-usage", "--window-size=%d,%d" % (width, height),
              "--user-data-dir=" + profile_dir):
        opts.add_argument(a)
    opts.binary_location = "/usr/bin/chromium"
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_synthetic_dump(path, n, seed=1, interval=5, clock_ahead=None, names=None):
    """A dump of an n-beacon group in the daemon's layout: the local beacon
    with its own figures of the n-1 others, then every other beacon with
    what it reports of the n-1 it hears (no hop counts there).  Some cells
    are lossy, late, stale or without SSM figures, so that every state of a
    cell occurs.  Paths are symmetric: each pair has one true delay both
    ways, and a beacon whose clock is ahead by D ms ({index: D} in
    clock_ahead) measures D more, and is measured D less (a negative
    result is written as its absolute value with future="true").  names
    ({index: name}) replaces the b<index> names."""
    import random
    rnd = random.Random(seed)
    ahead = clock_ahead or {}
    addrs = ["10.%d.%d.%d/10000" % (77 + i // 62500, i // 250 % 250, i % 250 + 1) for i in range(n)]
    true_delay = {}

    def figures(tag, local, r, s):
        ttl = ' ttl="%d"' % rnd.choice([0, 1, 2, 20]) if local else ""
        pair = (min(r, s), max(r, s), tag)
        if pair not in true_delay:
            true_delay[pair] = round(rnd.uniform(0.1, 300), 3)
        delay = true_delay[pair] + ahead.get(r, 0.0) - ahead.get(s, 0.0)
        future = ' future="true"' if delay < 0 else ""
        return ('\t\t\t\t<%s%s rptage="%d" loss="%.1f" delay="%.3f"%s jitter="%.3f" ooo="%.3f" dup="%.3f" />\n'
                % (tag, ttl, rnd.choice([1, 2, 3, 4] * 10 + [200]), rnd.choice([0.0] * 8 + [2.5, 12.5]),
                   abs(delay), future, rnd.uniform(0, 40), rnd.choice([0.0] * 9 + [1.25]), 0.0))

    def name(i):
        return (names or {}).get(i, "b%d" % i)

    def sources(r, local):
        out = ["\t\t<sources>\n"]
        for s in range(n):
            if s == r:
                continue
            who = ' name="%s" contact="noc@b%d.example.net"' % (name(s), s)
            if local:
                head = '<source addr="%s"%s country="NO" age="100" lastupdate="1">' % (addrs[s], who)
            else:
                head = '<source%s addr="%s" age="100">' % (who, addrs[s])
            ssm = figures("ssm", local, r, s) if (r + s) % 3 else ""
            out.append("\t\t\t%s\n%s%s\t\t\t</source>\n" % (head, figures("asm", local, r, s), ssm))
        out.append("\t\t</sources>\n")
        return "".join(out)

    parts = ['<beacons rxrate="120.00" txrate="1.20" versioninfo="quillon">\n',
             '<group addr="239.77.0.1/10000" ssmgroup="232.2.3.2/10000" int="%.2f">\n' % interval,
             '\t<beacon name="b0" addr="%s" contact="noc@b0.example.net" country="NO" age="100" lastupdate="0" '
             'rxlocal="true">\n\t\t<website type="generic" url="https://b0.example.net/" />\n%s\t</beacon>\n\n'
             % (addrs[0], sources(0, True))]
    for i in range(1, n):
        parts.append('\t<beacon name="%s" contact="noc@b%d.example.net" addr="%s" age="100" rxlocal="true" '
                     'lastupdate="1">\n\t\t<flag name="SSM" value="true" />\n%s\t</beacon>\n'
                     % (name(i), i, addrs[i], sources(i, False)))
    parts.append("</group>\n</beacons>\n")
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write("".join(parts))
    os.rename(tmp, path)
