#!/usr/bin/env python3
"""User-space multicast relay for the lab's router namespace.

The kernel here has no multicast routing and no netem, so this program plays
the multicast router between the lab's segments.  It opens one AF_PACKET
socket per router leg and relays every routable multicast UDP frame that
arrives on one leg out of every other leg:

- IPv4: destination in 224.0.0.0/4 but not the link-local 224.0.0.0/24;
- IPv6: destination in ff00::/8 with a scope wider than link-local;
- TTL / hop limit is decremented by one; a packet that arrives with 1 or 0
  is dropped, as a router would.  The IPv4 header checksum is recomputed.
- The UDP checksum of unfragmented datagrams is recomputed, because frames
  from a veth often carry only the partial (pseudo-header) sum that the
  sender's kernel left for offloading.
- The Ethernet source becomes the outgoing leg's own address; the multicast
  Ethernet destination is kept.
- Frames this program sent itself (PACKET_OUTGOING) and frames not addressed
  to a multicast MAC are ignored; a frame is never sent back out of the leg
  it came in on.

Unicast is not touched: the lab lets the router namespace's kernel forward
unicast (ip_forward / IPv6 forwarding on), which never forwards multicast
without a multicast routing daemon.  So every multicast packet that crosses
the router went through here exactly once.

Impairments apply to "matching" packets only.  A packet matches when it
satisfies every given filter (--match-port on the UDP destination port,
--match-src on the IP source, --match-dst on the IP destination, --match-in
on the incoming leg; several values of one filter are alternatives).  With no
filter every relayed packet matches.  Matching packets are numbered 1, 2, 3...
in arrival order (one counter for the whole program) and:

  --delay-ms D        every matching packet is sent D ms later
  --drop-every N      packets number N, 2N, 3N... are dropped
  --drop-random P     each matching packet is dropped with probability P
  --dup-every N       packets number N, 2N... are sent twice
  --reorder-every N   packets number N, 2N... are held back and sent right
                      after the next matching packet that is not dropped
                      (or after --reorder-hold-ms if none comes)

Fragments: the first fragment of an IPv4/IPv6 datagram decides for the whole
datagram; later fragments follow that decision (dropped, delayed, duplicated
with it).  A held (reordered) datagram has only its first fragment held,
which holds back the reassembled datagram just the same.

Counts go to --log as one JSON object, rewritten (atomically) when they
change; --ready names a file created once the sockets are open.  Runs until
SIGTERM/SIGINT.
"""

import argparse
import array
import heapq
import json
import os
import random
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
ETH_P_IP = 0x0800
ETH_P_IPV6 = 0x86DD
SOL_PACKET = 263
PACKET_ADD_MEMBERSHIP = 1
PACKET_MR_ALLMULTI = 2
PACKET_OUTGOING = 4

IPPROTO_UDP = 17
IPV6_EXTENSION_HEADERS = (0, 43, 60)  # hop-by-hop, routing, destination options
IPV6_FRAGMENT = 44


def checksum(data):
    """Internet checksum (one's complement of the one's complement sum)."""
    if len(data) % 2:
        data += b"\0"
    words = array.array("H", data)
    if sys.byteorder == "little":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


class IpPacket:
    """The fields of an IPv4/IPv6 packet that relaying and matching need."""

    __slots__ = ("version", "src", "dst", "ttl", "proto", "header_len",
                 "total_len", "fragmented", "first_fragment", "frag_key",
                 "udp_offset", "sport", "dport")


def parse_ip(packet, version):
    """Parses an IP packet (no Ethernet header).  Returns an IpPacket whose
    sport/dport are None when the packet is not UDP or is a later fragment,
    or None when the packet is malformed."""
    p = IpPacket()
    p.version = version
    p.sport = p.dport = None
    p.udp_offset = None
    if version == 4:
        if len(packet) < 20 or packet[0] >> 4 != 4:
            return None
        ihl = (packet[0] & 0x0F) * 4
        total = struct.unpack_from("!H", packet, 2)[0]
        if ihl < 20 or total < ihl or total > len(packet):
            return None
        frag = struct.unpack_from("!H", packet, 6)[0]
        offset = frag & 0x1FFF
        more = bool(frag & 0x2000)
        p.header_len = ihl
        p.total_len = total
        p.ttl = packet[8]
        p.proto = packet[9]
        p.src = socket.inet_ntop(socket.AF_INET, packet[12:16])
        p.dst = socket.inet_ntop(socket.AF_INET, packet[16:20])
        p.fragmented = more or offset != 0
        p.first_fragment = offset == 0
        p.frag_key = (4, packet[12:20], packet[4:6], p.proto) if p.fragmented else None
        if p.proto == IPPROTO_UDP and p.first_fragment and total >= ihl + 8:
            p.udp_offset = ihl
    elif version == 6:
        if len(packet) < 40 or packet[0] >> 4 != 6:
            return None
        payload_len = struct.unpack_from("!H", packet, 4)[0]
        total = 40 + payload_len
        if total > len(packet):
            return None
        p.total_len = total
        p.ttl = packet[7]
        p.src = socket.inet_ntop(socket.AF_INET6, packet[8:24])
        p.dst = socket.inet_ntop(socket.AF_INET6, packet[24:40])
        p.fragmented = False
        p.first_fragment = True
        p.frag_key = None
        nxt = packet[6]
        off = 40
        while True:
            if nxt in IPV6_EXTENSION_HEADERS:
                if off + 8 > total:
                    return None
                nxt, length = packet[off], (packet[off + 1] + 1) * 8
                off += length
            elif nxt == IPV6_FRAGMENT:
                if off + 8 > total:
                    return None
                frag = struct.unpack_from("!H", packet, off + 2)[0]
                p.fragmented = True
                p.first_fragment = (frag >> 3) == 0
                p.frag_key = (6, packet[8:40], packet[off + 4:off + 8])
                nxt = packet[off]
                off += 8
            else:
                break
        p.proto = nxt
        p.header_len = off
        if nxt == IPPROTO_UDP and p.first_fragment and total >= off + 8:
            p.udp_offset = off
    else:
        return None
    if p.udp_offset is not None:
        p.sport, p.dport = struct.unpack_from("!HH", packet, p.udp_offset)
    return p


def is_routable_multicast(p, packet):
    if p.version == 4:
        first = packet[16]
        if first >> 4 != 0xE:
            return False
        return not (packet[16:19] == b"\xe0\x00\x00")  # 224.0.0.0/24 is link-local
    if packet[24] != 0xFF:
        return False
    return (packet[25] & 0x0F) > 2  # scope wider than link-local


def relay_packet(p, packet):
    """Returns the packet as the router sends it on: TTL / hop limit one
    lower, IPv4 header checksum and the UDP checksum (unfragmented datagrams)
    recomputed.  Padding behind the IP packet is cut off."""
    out = bytearray(packet[:p.total_len])
    if p.version == 4:
        out[8] = p.ttl - 1
        out[10:12] = b"\0\0"
        out[10:12] = struct.pack("!H", checksum(bytes(out[:p.header_len])))
    else:
        out[7] = p.ttl - 1
    if p.udp_offset is not None and not p.fragmented:
        u = p.udp_offset
        udp_len = p.total_len - u
        if p.version == 4 and out[u + 6:u + 8] == b"\0\0":
            return bytes(out)  # IPv4 UDP without checksum stays without
        out[u + 6:u + 8] = b"\0\0"
        if p.version == 4:
            pseudo = bytes(out[12:20]) + struct.pack("!BBH", 0, IPPROTO_UDP, udp_len)
        else:
            pseudo = bytes(out[8:40]) + struct.pack("!IxxxB", udp_len, IPPROTO_UDP)
        c = checksum(pseudo + bytes(out[u:p.total_len]))
        out[u + 6:u + 8] = struct.pack("!H", c or 0xFFFF)
    return bytes(out)


class Forwarder:
    def __init__(self, opts):
        self.opts = opts
        self.random = random.Random(opts.seed)
        self.match_ports = set(opts.match_port)
        self.match_src = {self._norm(a) for a in opts.match_src}
        self.match_dst = {self._norm(a) for a in opts.match_dst}
        self.match_in = set(opts.match_in)
        self.legs = []  # (ifname, socket, mac)
        self.by_fd = {}
        self.queue = []  # (due, seq, leg index, frame)
        self.seq = 0
        self.matched = 0
        self.held = None  # (release deadline, [(leg index, frame)...])
        self.fragments = {}  # fragment key -> decision dict
        self.counts = {
            "frames_seen": 0, "relayed": 0, "sent": 0, "ttl_expired": 0,
            "matched": 0, "dropped_every": 0, "dropped_random": 0,
            "duplicated": 0, "reordered": 0, "delayed": 0,
            "held_released_by_timeout": 0, "not_relayed": 0, "malformed": 0,
            "send_errors": 0,
        }
        self.per_leg = {}
        self.dirty = True
        self.last_write = 0.0
        self.stopping = False
        self.wake_fd = None

    @staticmethod
    def _norm(addr):
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        return socket.inet_ntop(family, socket.inet_pton(family, addr))

    def open(self):
        for ifname in self.opts.interfaces:
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            s.bind((ifname, ETH_P_ALL))
            index = socket.if_nametoindex(ifname)
            mreq = struct.pack("iHH8s", index, PACKET_MR_ALLMULTI, 0, b"")
            s.setsockopt(SOL_PACKET, PACKET_ADD_MEMBERSHIP, mreq)
            s.setblocking(False)
            mac = s.getsockname()[4]
            self.by_fd[s.fileno()] = len(self.legs)
            self.legs.append((ifname, s, mac))
            self.per_leg[ifname] = {"in": 0, "out": 0}
        # Frames that reached a socket between socket() and bind() may come
        # from any interface; the receive path checks the interface name.

    def matches(self, p, in_ifname):
        if self.match_in and in_ifname not in self.match_in:
            return False
        if self.match_src and p.src not in self.match_src:
            return False
        if self.match_dst and p.dst not in self.match_dst:
            return False
        if self.match_ports and p.dport not in self.match_ports:
            return False
        return True

    def decide(self, p, in_ifname):
        """Returns the decision for one datagram, or None when it does not
        match.  Later fragments reuse the decision of their first one."""
        if p.fragmented and not p.first_fragment:
            return self.fragments.get(p.frag_key)
        if not self.matches(p, in_ifname):
            return None
        o = self.opts
        self.matched += 1
        self.counts["matched"] += 1
        k = self.matched
        d = {"drop": False, "dup": False, "hold": False, "delay": o.delay_ms / 1000.0}
        if o.drop_every and k % o.drop_every == 0:
            d["drop"] = True
            self.counts["dropped_every"] += 1
        elif o.drop_random and self.random.random() < o.drop_random:
            d["drop"] = True
            self.counts["dropped_random"] += 1
        else:
            if o.dup_every and k % o.dup_every == 0:
                d["dup"] = True
                self.counts["duplicated"] += 1
            if o.reorder_every and k % o.reorder_every == 0:
                d["hold"] = True
                self.counts["reordered"] += 1
            if o.delay_ms:
                self.counts["delayed"] += 1
        if p.fragmented:
            if len(self.fragments) > 1024:
                self.fragments.clear()
            self.fragments[p.frag_key] = dict(d, hold=False)
        return d

    def schedule(self, due, leg, frame):
        self.seq += 1
        heapq.heappush(self.queue, (due, self.seq, leg, frame))

    def handle(self, leg_index, frame, now):
        ifname = self.legs[leg_index][0]
        self.counts["frames_seen"] += 1
        self.per_leg[ifname]["in"] += 1
        self.dirty = True
        if len(frame) < 14 or not frame[0] & 1:
            self.counts["not_relayed"] += 1
            return
        ethertype = struct.unpack_from("!H", frame, 12)[0]
        if ethertype == ETH_P_IP:
            version = 4
        elif ethertype == ETH_P_IPV6:
            version = 6
        else:
            self.counts["not_relayed"] += 1
            return
        packet = frame[14:]
        p = parse_ip(packet, version)
        if p is None:
            self.counts["malformed"] += 1
            return
        if p.proto != IPPROTO_UDP or not is_routable_multicast(p, packet):
            self.counts["not_relayed"] += 1
            return
        if p.ttl <= 1:
            self.counts["ttl_expired"] += 1
            return
        decision = self.decide(p, ifname)
        if decision is not None and decision["drop"]:
            return
        self.counts["relayed"] += 1
        relayed = relay_packet(p, packet)
        out = []
        for i, (_, _, mac) in enumerate(self.legs):
            if i != leg_index:
                out.append((i, frame[0:6] + mac + frame[12:14] + relayed))
        if decision is None:
            for i, f in out:
                self.schedule(now, i, f)
            return
        due = now + decision["delay"]
        if decision["dup"]:
            out = out * 2
        if decision["hold"]:
            if self.held is not None:  # a second hold before any release
                self.release_held(due)
            self.held = (now + self.opts.reorder_hold_ms / 1000.0, out)
            return
        for i, f in out:
            self.schedule(due, i, f)
        if self.held is not None and p.first_fragment:
            self.release_held(due)

    def release_held(self, due):
        _, frames = self.held
        self.held = None
        for i, f in frames:
            self.schedule(due, i, f)

    def send_due(self, now):
        while self.queue and self.queue[0][0] <= now:
            _, _, leg, frame = heapq.heappop(self.queue)
            ifname, s, _ = self.legs[leg]
            try:
                s.send(frame)
                self.counts["sent"] += 1
                self.per_leg[ifname]["out"] += 1
            except OSError:
                self.counts["send_errors"] += 1
            self.dirty = True

    def write_log(self, force=False):
        if not self.opts.log or not (self.dirty or force):
            return
        now = time.monotonic()
        if not force and now - self.last_write < 0.1:
            return
        self.last_write = now
        self.dirty = False
        data = dict(self.counts)
        data["legs"] = self.per_leg
        data["pending"] = len(self.queue)
        data["holding"] = self.held is not None
        tmp = self.opts.log + ".tmp"
        with open(tmp, "w") as f:
            json.dump(data, f, sort_keys=True)
            f.write("\n")
        os.replace(tmp, self.opts.log)

    def run(self):
        fds = [s for _, s, _ in self.legs]
        if self.wake_fd is not None:
            fds.append(self.wake_fd)
        while not self.stopping:
            now = time.monotonic()
            if self.held is not None and self.held[0] <= now:
                self.counts["held_released_by_timeout"] += 1
                self.release_held(now)
            self.send_due(now)
            self.write_log()
            timeout = 0.1
            if self.queue:
                timeout = min(timeout, max(0.0, self.queue[0][0] - now))
            if self.held is not None:
                timeout = min(timeout, max(0.0, self.held[0] - now))
            try:
                readable, _, _ = select.select(fds, [], [], timeout)
            except InterruptedError:
                continue
            for s in readable:
                if s == self.wake_fd:
                    try:
                        os.read(self.wake_fd, 512)
                    except BlockingIOError:
                        pass
                    continue
                leg = self.by_fd[s.fileno()]
                ifname = self.legs[leg][0]
                for _ in range(256):
                    try:
                        frame, addr = s.recvfrom(65535)
                    except (BlockingIOError, InterruptedError):
                        break
                    if addr[2] == PACKET_OUTGOING or addr[0] != ifname:
                        continue
                    self.handle(leg, frame, time.monotonic())
                    # Send at once what is due now, so undelayed traffic
                    # keeps its order and timing within a burst.
                    self.send_due(time.monotonic())
        self.write_log(force=True)


def parse_args(argv):
    ap = argparse.ArgumentParser(description="Relay multicast UDP between interfaces, with impairments.")
    ap.add_argument("interfaces", nargs="+", help="interfaces to relay between (two or more)")
    ap.add_argument("--log", help="file for the JSON counts")
    ap.add_argument("--ready", help="file created once the sockets are open")
    ap.add_argument("--delay-ms", type=float, default=0.0)
    ap.add_argument("--drop-every", type=int, default=0)
    ap.add_argument("--drop-random", type=float, default=0.0)
    ap.add_argument("--dup-every", type=int, default=0)
    ap.add_argument("--reorder-every", type=int, default=0)
    ap.add_argument("--reorder-hold-ms", type=float, default=30000.0)
    ap.add_argument("--match-port", type=int, action="append", default=[])
    ap.add_argument("--match-src", action="append", default=[])
    ap.add_argument("--match-dst", action="append", default=[])
    ap.add_argument("--match-in", action="append", default=[])
    ap.add_argument("--seed", type=int, default=None)
    opts = ap.parse_args(argv)
    if len(opts.interfaces) < 2:
        ap.error("need at least two interfaces")
    for name in ("drop_every", "dup_every", "reorder_every"):
        if getattr(opts, name) < 0:
            ap.error("--%s must not be negative" % name.replace("_", "-"))
    if not 0.0 <= opts.drop_random <= 1.0:
        ap.error("--drop-random must be between 0 and 1")
    if opts.delay_ms < 0 or opts.reorder_hold_ms < 0:
        ap.error("times must not be negative")
    return opts


def main(argv=None):
    opts = parse_args(sys.argv[1:] if argv is None else argv)
    fwd = Forwarder(opts)

    def stop(signum, frame):
        fwd.stopping = True

    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_w, False)
    signal.set_wakeup_fd(wake_w)  # a signal ends the select() at once
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    fwd.open()
    os.set_blocking(wake_r, False)
    fwd.wake_fd = wake_r
    fwd.write_log(force=True)
    if opts.ready:
        with open(opts.ready, "w") as f:
            f.write("%d\n" % os.getpid())
    fwd.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
