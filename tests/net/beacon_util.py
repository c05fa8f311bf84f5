#!/usr/bin/env python3
"""Helpers for the black-box beacon tests (test_reports.py, test_ssmping.py):
starting beacons in a lab host, reading their XML dump files, decoding report
datagrams strictly by the wire format, and a request helper that runs inside
a namespace (`python3 beacon_util.py _ask`).  What all the lab tests share
(wire format, check runner, dump files) is in beacons.py.
"""

import json
import os
import re
import select
import socket
import struct
import sys
import threading
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import beacons  # noqa: E402
from beacons import (  # noqa: E402
    CheckFailed, FIGURES_FORMAT, FIGURES_LEN, LOG_TIME_RE, MAGIC, Malformed, PACKET_PROBE, PACKET_REPORT,
    SENDER_TTL, VERSION, listed_source, read_dump_file)

PYTHON = sys.executable or "python3"
UTIL_PY = os.path.abspath(__file__)

# Flags of the website report.
FLAG_SSM = 1
FLAG_SSMPING = 2


def expect(cond, message):
    if not cond:
        raise CheckFailed(message)


def expect_eq(what, got, want):
    if got != want:
        raise CheckFailed("%s: got %r, want %r" % (what, got, want))


# ---------------------------------------------------------------------------
# Threads

def run_threads(targets):
    """Runs each callable in its own thread and waits for all of them."""
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


# ---------------------------------------------------------------------------
# Addresses

def family_of(addr):
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


def addr_text(ip, port):
    """The dump's text of an address with its port: IP/PORT."""
    return "%s/%d" % (ip, port)


def split_addr(text):
    ip, port = text.rsplit("/", 1)
    return ip, int(port)


def table_key(text):
    """The order of the beacon table for addresses as the daemon stores
    them: the whole zeroed socket address compared byte by byte, i.e. family
    (IPv4 first), then the port in network order, then the address bytes."""
    ip, port = split_addr(text)
    fam = family_of(ip)
    return (0 if fam == socket.AF_INET else 1, port, socket.inet_pton(fam, ip))


# ---------------------------------------------------------------------------
# Beacons

class Beacon:
    """One quillon process in a lab host and what it was configured with."""

    def __init__(self, host, binary, name, contact, group, family, dump=None, interval=5,
                 country=None, websites=None, ssm=False, ssmping=False, port=None,
                 verbose=1, extra=(), run_as=()):
        self.host = host
        self.name = name
        self.contact = contact
        self.group = group
        self.family = family
        self.country = country
        self.websites = dict(websites or {})   # 'G'/'L'/'M' -> URL
        self.ssm = ssm
        self.ssmping = ssmping
        self.ip = host.addr(family)
        self.port = port
        self.dump = dump
        argv = [binary, "-n", name, "-a", contact, "-b", group]
        if port is not None:
            argv += ["-s", addr_text(self.ip, port)]
        if ssm:
            argv += ["-S"]
        if ssmping:
            argv += ["-P"]
        if dump:
            argv += ["-d", dump, "-I", str(interval)]
        if country:
            argv += ["-C", country]
        for letter, option in (("G", "-W"), ("M", "-Wm"), ("L", "-Wl")):
            if letter in self.websites:
                argv += [option, self.websites[letter]]
        argv += ["-v"] * verbose
        argv += list(extra)
        self.argv = argv
        self.started = time.time()
        # run_as: a command that runs the rest as another user (setpriv ...).
        self.proc = host.run(list(run_as) + argv, label="quillon")

    @property
    def flags(self):
        return (FLAG_SSM if self.ssm else 0) | (FLAG_SSMPING if self.ssmping else 0)

    @property
    def addr(self):
        return addr_text(self.ip, self.port)

    def log(self):
        return self.proc.stderr_text()

    def wait_started(self, timeout=10.0):
        """Waits for the 'Local name is' line; learns the bound port from it
        when none was given; returns the line's wall-clock time."""
        pattern = re.compile(r"^(%s)Local name is `%s` \[Beacon group: (\S+), Local address: (\S+)\]$"
                             % (LOG_TIME_RE, re.escape(self.name)), re.M)
        m = lab.wait_for(lambda: pattern.search(self.log()) or self.proc.poll() is not None, timeout)
        m = pattern.search(self.log())
        if not m:
            raise CheckFailed("beacon %s did not start (status %r): %s"
                              % (self.name, self.proc.poll(), self.log()[-2000:]))
        expect_eq("%s local address" % self.name, m.group(3), self.ip)
        return m

    def learn_port(self, timeout=12.0):
        """Takes the port the beacon bound from its own dump."""
        def port():
            d = read_dump(self.dump)
            return d and d.local.get("addr")
        text = lab.wait_for(port, timeout, interval=0.1)
        if not text:
            raise CheckFailed("no dump from %s within %.0f s" % (self.name, timeout))
        ip, p = split_addr(text)
        expect_eq("%s dump address" % self.name, ip, self.ip)
        if self.port is not None:
            expect_eq("%s dump port" % self.name, p, self.port)
        self.port = p
        return p


# ---------------------------------------------------------------------------
# Dump files

class Dump:
    """A parsed dump file: group and local beacon attributes, the local
    beacon's flags, websites and source lines, and the remote beacon
    elements, all in file order."""

    def __init__(self, text, mtime):
        self.text = text
        self.mtime = mtime
        root = ET.fromstring(text)
        expect_eq("dump root element", root.tag, "beacons")
        self.root = root.attrib
        groups = list(root)
        expect_eq("dump group elements", [g.tag for g in groups], ["group"])
        self.group = groups[0].attrib
        beacons = list(groups[0])
        expect(beacons and all(b.tag == "beacon" for b in beacons), "group holds only beacon elements")
        self.local = self._beacon(beacons[0])
        self.remotes = [self._beacon(b) for b in beacons[1:]]

    @staticmethod
    def _stats(el):
        out = {}
        for child in el:
            expect(child.tag in ("asm", "ssm") and child.tag not in out,
                   "unexpected statistics element %s" % child.tag)
            out[child.tag] = dict(child.attrib)
        return out

    def _beacon(self, el):
        b = dict(el.attrib)
        b["flags"] = []
        b["websites"] = []
        b["sources"] = []
        tags = [c.tag for c in el]
        expect(tags.count("sources") == 1 and tags[-1] == "sources",
               "beacon element ends with one sources element: %r" % tags)
        for child in el:
            if child.tag == "flag":
                expect_eq("flag value", child.attrib.get("value"), "true")
                b["flags"].append(child.attrib["name"])
            elif child.tag == "website":
                b["websites"].append((child.attrib["type"], child.attrib["url"]))
            elif child.tag == "sources":
                for s in child:
                    expect_eq("child of sources", s.tag, "source")
                    src = dict(s.attrib)
                    src.update(self._stats(s))
                    b["sources"].append(src)
            else:
                raise CheckFailed("unexpected element %s in a beacon element" % child.tag)
        return b

    def remote(self, addr):
        for r in self.remotes:
            if r.get("addr") == addr:
                return r
        return None

    def local_source(self, addr):
        for s in self.local["sources"]:
            if s.get("addr") == addr:
                return s
        return None

    def knows(self, addr):
        return self.remote(addr) is not None or self.local_source(addr) is not None


def read_dump_text(path):
    """(text, mtime) of a complete dump file, or None when there is none."""
    got = read_dump_file(path)
    if got is None:
        return None
    data, st = got
    return data.decode("utf-8"), st.st_mtime_ns / 1e9


def read_dump(path):
    got = read_dump_text(path)
    if got is None:
        return None
    return Dump(*got)


class DumpHistory:
    """Records every distinct version of a dump file (by modification time)
    while poll() is called."""

    def __init__(self, path):
        self.path = path
        self.versions = []   # Dump objects in order
        self._seen = set()

    def poll(self):
        got = read_dump_text(self.path)
        if got is None or got[1] in self._seen:
            return None
        self._seen.add(got[1])
        d = Dump(*got)
        self.versions.append(d)
        return d


# ---------------------------------------------------------------------------
# Report datagrams

class Tlv:
    def __init__(self, type_, value, nested=None):
        self.type = type_
        self.value = value
        self.nested = nested

    def __repr__(self):
        return "Tlv(%r, %d bytes)" % (chr(self.type), len(self.value))


class Figures:
    """The 20-byte figures value of an 'A' or 'S' TLV."""

    def __init__(self, value):
        expect_eq("figures length", len(value), FIGURES_LEN)
        (self.timestamp, self.age, self.hops, self.delay, self.jitter,
         self.loss, self.dup, self.ooo) = struct.unpack(FIGURES_FORMAT, value)


class Report:
    """A report datagram decoded strictly: header, name first, contact
    second, then the TLVs of exactly one report kind.  `kind` is 'sources'
    (source TLVs with figures), 'map' (source TLVs with name and contact),
    'website', 'leave' or 'empty' (name and contact alone)."""

    def __init__(self, payload):
        expect(len(payload) >= 5, "report shorter than its header: %r" % payload)
        expect_eq("report header", payload[:5], MAGIC + bytes([VERSION, PACKET_REPORT, SENDER_TTL]))
        self.tlvs = split_tlvs(payload[5:])
        expect(len(self.tlvs) >= 2, "report without name and contact")
        expect_eq("first TLV", chr(self.tlvs[0].type), "n")
        expect_eq("second TLV", chr(self.tlvs[1].type), "a")
        self.name = self.tlvs[0].value.decode("ascii")
        self.contact = self.tlvs[1].value.decode("ascii")
        rest = self.tlvs[2:]
        types = "".join(chr(t.type) for t in rest)
        self.sources = {}      # "ip/port" -> {"A": Figures, "S": Figures} or {"n":..., "a":...}
        self.websites = {}
        self.country = None
        self.flags = None
        if not rest:
            self.kind = "empty"
        elif types == "Q":
            expect_eq("leave TLV length", len(rest[0].value), 0)
            self.kind = "leave"
        elif re.fullmatch(r"G?L?M?C?F", types):
            self.kind = "website"
            for t in rest:
                if chr(t.type) in "GLM":
                    self.websites[chr(t.type)] = t.value.decode("ascii")
                elif chr(t.type) == "C":
                    expect_eq("country TLV length", len(t.value), 2)
                    self.country = t.value.decode("ascii")
                else:
                    expect_eq("flags TLV length", len(t.value), 4)
                    self.flags = struct.unpack("!I", t.value)[0]
        elif re.fullmatch(r"[iI]+", types):
            kinds = set()
            for t in rest:
                try:
                    key, value = listed_source(t.type, t.value)
                except Malformed as e:
                    raise CheckFailed(str(e))
                head = len(t.value) - len(value)      # address and port
                nested = split_tlvs(value)
                ntypes = "".join(chr(n.type) for n in nested)
                expect(key not in self.sources, "source %s listed twice" % key)
                if ntypes in ("A", "S", "AS"):
                    kinds.add("sources")
                    entry = {}
                    for n in nested:
                        expect_eq("%s TLV length" % chr(n.type), len(n.value), FIGURES_LEN)
                        entry[chr(n.type)] = Figures(n.value)
                    expect_eq("source TLV length", len(t.value), head + 22 * len(nested))
                elif ntypes == "na":
                    kinds.add("map")
                    entry = {"n": nested[0].value.decode("ascii"), "a": nested[1].value.decode("ascii")}
                else:
                    raise CheckFailed("source TLV %s with nested TLVs %r" % (key, ntypes))
                self.sources[key] = entry
            expect_eq("kinds of source TLVs in one report", len(kinds), 1)
            self.kind = kinds.pop()
        else:
            raise CheckFailed("report TLVs after name and contact form no report kind: %r" % types)


def split_tlvs(data):
    """Splits bytes into TLVs; every TLV must lie wholly inside them."""
    try:
        return [Tlv(t, v) for t, v in beacons.split_tlvs(data)]
    except Malformed as e:
        raise CheckFailed(str(e))


def classify(records, sender_ip=None):
    """Splits receiver records into (probes, reports, others); reports are
    (record, Report) pairs.  A datagram that is neither a 12-byte probe nor
    a well-formed report raises CheckFailed."""
    probes, reports = [], []
    for d in records:
        if sender_ip is not None and d.src != sender_ip:
            continue
        if d.payload[:4] == MAGIC + bytes([VERSION, PACKET_PROBE]):
            expect_eq("probe length from %s" % d.src, len(d.payload), 12)
            probes.append(d)
        else:
            try:
                reports.append((d, Report(d.payload)))
            except CheckFailed as e:
                raise CheckFailed("datagram from %s/%d: %s: %s" % (d.src, d.sport, e, d.payload.hex()))
    return probes, reports


# ---------------------------------------------------------------------------
# SSM Ping requests from inside a namespace

def ask(host, family, dst, requests, wait, timeout=30):
    """Sends each request ({"src": addr or None, "sport": port, "payload":
    bytes, optionally "dst"}) from its own socket in host's namespace to dst
    (or the request's own dst) port 4321, then
    collects for `wait` seconds whatever comes back to each socket.  Returns
    a list (one per request) of lists of answers {"src", "sport", "dst",
    "ttl", "payload", "t"}."""
    job = {"family": family, "dst": dst, "wait": wait,
            "requests": [{"src": r.get("src"), "sport": r["sport"], "payload": r["payload"].hex(),
                          "dst": r.get("dst") or dst} for r in requests]}
    r = host.execute([PYTHON, UTIL_PY, "_ask"], input=json.dumps(job), timeout=timeout)
    if r.returncode != 0:
        raise CheckFailed("request helper in %s failed: %s" % (host.name, r.stderr.strip()))
    out = json.loads(r.stdout)
    for answers in out:
        for a in answers:
            a["payload"] = bytes.fromhex(a["payload"])
    return out


def _helper_ask(job):
    fam = socket.AF_INET6 if job["family"] == 6 else socket.AF_INET
    socks = []
    for req in job["requests"]:
        s = socket.socket(fam, socket.SOCK_DGRAM)
        # The lab's receivers may hold the same port on a group address;
        # this socket takes no multicast (only the groups it joined: none).
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if fam == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, lab.IPV6_MULTICAST_ALL, 0)
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            s.setsockopt(socket.IPPROTO_IPV6, lab.IPV6_RECVHOPLIMIT, 1)
            s.setsockopt(socket.IPPROTO_IPV6, lab.IPV6_RECVPKTINFO, 1)
        else:
            s.setsockopt(socket.IPPROTO_IP, lab.IP_MULTICAST_ALL, 0)
            s.setsockopt(socket.IPPROTO_IP, lab.IP_RECVTTL, 1)
            s.setsockopt(socket.IPPROTO_IP, lab.IP_PKTINFO, 1)
        s.bind((req["src"] or "", req["sport"]))
        socks.append(s)
    for s, req in zip(socks, job["requests"]):
        s.sendto(bytes.fromhex(req["payload"]), (req["dst"], 4321))
    answers = [[] for _ in socks]
    deadline = time.monotonic() + job["wait"]
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select(socks, [], [], left)
        for s in ready:
            data, anc, _, addr = s.recvmsg(65535, 1024)
            ttl = dst = None
            for lvl, kind, cdata in anc:
                if lvl == socket.IPPROTO_IP and kind == lab.IP_TTL:
                    ttl = struct.unpack_from("=i", cdata)[0]
                elif lvl == socket.IPPROTO_IP and kind == lab.IP_PKTINFO:
                    dst = socket.inet_ntop(fam, cdata[8:12])
                elif lvl == socket.IPPROTO_IPV6 and kind == lab.IPV6_HOPLIMIT:
                    ttl = struct.unpack_from("=i", cdata)[0]
                elif lvl == socket.IPPROTO_IPV6 and kind == lab.IPV6_PKTINFO:
                    dst = socket.inet_ntop(fam, cdata[0:16])
            answers[socks.index(s)].append({"src": addr[0], "sport": addr[1], "dst": dst, "ttl": ttl,
                                            "payload": data.hex(), "t": time.time()})
    json.dump(answers, sys.stdout)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "_ask":
        _helper_ask(json.loads(sys.stdin.read()))
        sys.exit(0)
    print("helper module of the beacon lab tests", file=sys.stderr)
    sys.exit(2)
