#!/usr/bin/env python3
"""The SSM Ping responder (-P), black-box, over IPv4 and IPv6.

Time budget: about 12 s wall time.

One lab of three hosts: h1 runs an IPv4 beacon with -P and -S, h2 an IPv6
beacon with -P alone (and a second, deprecated address), h3 sends the
requests, listens on the SSM Ping groups source-specifically, sniffs its
interface and runs a plain IPv4 beacon that observes h1's flags.  The beacon
hosts' unicast TTL / hop limit is set to 50, so that the unicast answer (the
system's default) and the multicast answer (64) are told apart.

Checks: a request ('Q' first) from a fixed port is answered once by unicast
to that port, from port 4321 (for IPv6 from the address the request was
sent to), and once on 232.43.211.234 / ff3e::4321:1234 at the same port,
with hop limit 64, both identical to the request but for the first byte
('A'); an 'A' datagram, an empty one and one of 1001 bytes get no answer, one
of 1000 bytes does; a request from the beacon's own address is never
answered; -v -v logs each answered request; the flags TLV of the website
report and the dumps announce SSMPing; the real ssmping client gets unicast
and multicast replies, and asmping (which asks for an ASM group) unicast
ones only.
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from beacons import Checks, LOG_TIME_RE, binary_from_args  # noqa: E402
from beacon_util import (Beacon, FLAG_SSM, FLAG_SSMPING, ask, classify, expect, expect_eq,  # noqa: E402
                         read_dump, run_threads)

SSMPING_GROUP4 = "232.43.211.234"
SSMPING_GROUP6 = "ff3e::4321:1234"
SSMPING_HOPS = 64
UNICAST_HOPS = 50          # set on the beacon hosts
SECONDARY6 = "fd77::22"    # a second address of h2, deprecated so never chosen as source
ANSWER_WAIT = 1.5

BODY = bytes(range(256)) * 8


def request(n):
    """A request of n bytes: 'Q' and then bytes of every value."""
    return b"Q" + BODY[:n - 1]


def answer_of(req):
    return b"A" + req[1:]


# port -> (payload, answered?) of the crafted requests; 5005 is the request
# from the beacon's own address, 5006 (IPv6 only) the one to its second one.
CASES = [
    (5000, request(48), True, "a request of 48 bytes"),
    (5001, b"A" + BODY[:47], False, "an 'A' datagram"),
    (5002, b"", False, "an empty datagram"),
    (5003, request(1001), False, "a request of 1001 bytes"),
    (5004, request(1000), True, "a request of 1000 bytes"),
]
OWN_PORT = 5005
SECONDARY_PORT = 5006


def main():
    binary = binary_from_args()
    checks = Checks("lab")
    with lab.Lab(hosts=3) as the_lab:
        run(checks, the_lab, binary)
    return checks.finish()


def run(checks, the_lab, binary):
    h1, h2, h3 = the_lab.hosts
    tmp = the_lab.tmpdir
    g4, g6 = "239.77.9.1", "ff3e::9:1"
    st = {}

    def setup():
        h1.sysctl("net.ipv4.ip_default_ttl", UNICAST_HOPS)
        for scope in ("all", "default", "eth0"):
            h2.sysctl("net.ipv6.conf.%s.hop_limit" % scope, UNICAST_HOPS)
        h2.ip("addr", "add", SECONDARY6 + "/64", "dev", "eth0", "nodad", "preferred_lft", "0")
        st["rx4"] = lab.receiver(h3, g4, 10000, duration=120)
        st["rx6"] = lab.receiver(h3, g6, 10000, duration=120)
        st["obs"] = Beacon(h3, binary, "ping-observer", "obs@ping.example", g4, 4,
                           dump=os.path.join(tmp, "observer.xml"))
        st["obs"].wait_started()
        st["p4"] = Beacon(h1, binary, "ping4", "ops@four.example", g4, 4, ssm=True, ssmping=True,
                          dump=os.path.join(tmp, "p4.xml"), verbose=2)
        st["p6"] = Beacon(h2, binary, "ping6", "ops@six.example", g6, 6, ssmping=True,
                          dump=os.path.join(tmp, "p6.xml"), verbose=2)
        for b in (st["p4"], st["p6"]):
            b.wait_started()
            expect("Failed to setup SSM Ping." not in b.log(), "%s: %s" % (b.name, b.log()))
        # Multicast answers, joined source-specifically on the beacon's address.
        st["mrx"] = {}
        for fam, beacon_ip, group in ((4, h1.addr4, SSMPING_GROUP4), (6, h2.addr6, SSMPING_GROUP6)):
            for port, _, answered, _ in CASES:
                if answered:
                    st["mrx"][(fam, port)] = lab.receiver(h3, group, port, source=beacon_ip, duration=60)
        st["mrx"][(6, SECONDARY_PORT)] = lab.receiver(h3, SSMPING_GROUP6, SECONDARY_PORT,
                                                      source=SECONDARY6, duration=60)
        st["sniff"] = lab.sniffer(h3, duration=60)
    if not checks.run("setup: beacons with -P, receivers on the SSM Ping groups", setup):
        return

    # The real clients run meanwhile, from ports of their own.
    clients = {
        "ssmping4": h3.run(["ssmping", "-4", "-c", "3", h1.addr4], label="ssmping4"),
        "ssmping6": h3.run(["ssmping", "-6", "-c", "3", h2.addr6], label="ssmping6"),
        "asmping4": h3.run(["asmping", "-4", "-c", "2", "239.1.2.3", h1.addr4], label="asmping4"),
    }

    res = {}

    def send_requests():
        def from_h3(fam, dst):
            reqs = [{"sport": port, "payload": payload} for port, payload, _, _ in CASES]
            if fam == 6:
                reqs.append({"sport": SECONDARY_PORT, "payload": request(64), "dst": SECONDARY6})
            res[fam] = dict(zip([r["sport"] for r in reqs], zip(reqs, ask(h3, fam, dst, reqs, ANSWER_WAIT))))

        def from_own(fam, host):
            own = host.addr(fam)
            res[("own", fam)] = ask(host, fam, own, [{"src": own, "sport": OWN_PORT, "payload": request(32)}],
                                    ANSWER_WAIT)[0]
        run_threads([lambda: from_h3(4, h1.addr4), lambda: from_h3(6, h2.addr6),
                     lambda: from_own(4, h1), lambda: from_own(6, h2)])
        expect_eq("request batches answered by the helper", len(res), 4)
    if not checks.run("crafted requests sent from h3 and from the beacons' own addresses", send_requests):
        return

    def check_answered(fam, port, src_addr, rx_key=None):
        (req, answers) = res[fam][port]
        payload = req["payload"]
        requester = h3.addr(fam)
        expect_eq("unicast answers to port %d" % port, len(answers), 1)
        a = answers[0]
        expect_eq("unicast answer bytes", a["payload"].hex(), answer_of(payload).hex())
        expect_eq("unicast answer source", (a["src"], a["sport"]), (src_addr, 4321))
        expect_eq("unicast answer destination", a["dst"], requester)
        expect_eq("unicast answer hop limit (the system's default)", a["ttl"], UNICAST_HOPS)
        rx = st["mrx"][rx_key or (fam, port)]
        got = rx.wait_count(1, 2.0)
        time.sleep(0.2)
        got = rx.records()
        expect_eq("multicast answers at port %d" % port, len(got), 1)
        m = got[0]
        expect_eq("multicast answer bytes", m.payload.hex(), answer_of(payload).hex())
        expect_eq("multicast answer source", (m.src, m.sport), (src_addr, 4321))
        expect_eq("multicast answer destination", (m.dst, m.dport),
                  (SSMPING_GROUP6 if fam == 6 else SSMPING_GROUP4, port))
        expect_eq("multicast answer hop limit", m.ttl, SSMPING_HOPS)

    for fam, beacon_ip in ((4, h1.addr4), (6, h2.addr6)):
        for port, payload, answered, what in CASES:
            if answered:
                checks.run("ipv%d: %s gets both answers" % (fam, what), check_answered, fam, port, beacon_ip)
    checks.run("ipv6: a request to the second address is answered from that address",
               check_answered, 6, SECONDARY_PORT, SECONDARY6)

    def check_silent():
        sniffed = [d for d in st["sniff"].records() if d.sport == 4321 and d.direction == "in"]
        for fam in (4, 6):
            for port, payload, answered, what in CASES:
                if answered:
                    continue
                _, answers = res[fam][port]
                expect(not answers, "ipv%d: %s was answered by unicast: %r" % (fam, what, answers))
                expect(not [d for d in sniffed if d.dport == port],
                       "ipv%d: %s was answered: %r" % (fam, what, [d for d in sniffed if d.dport == port]))
    checks.run("an 'A' datagram, an empty one and one of 1001 bytes get no answer", check_silent)

    def check_own():
        sniffed = [d for d in st["sniff"].records() if d.sport == 4321 and d.dport == OWN_PORT]
        for fam in (4, 6):
            expect(not res[("own", fam)], "ipv%d: a request from the beacon's own address was answered: %r"
                   % (fam, res[("own", fam)]))
        expect(not sniffed, "a request from the beacon's own address was answered: %r" % sniffed)
    checks.run("a request from the beacon's own address gets no answer", check_own)

    def check_log():
        for fam, b in ((4, st["p4"]), (6, st["p6"])):
            text = b.log()
            requester = h3.addr(fam)
            ports = [p for p, _, answered, _ in CASES if answered] + ([SECONDARY_PORT] if fam == 6 else [])
            for port, _, answered, what in CASES + [(SECONDARY_PORT, None, fam == 6, "")]:
                line = re.compile(r"^%sGot SSM Ping Request from %s/%d$"
                                  % (LOG_TIME_RE, re.escape(requester), port), re.M)
                expect_eq("ipv%d log lines for the request from port %d" % (fam, port),
                          len(line.findall(text)), 1 if port in ports else 0)
            own = re.compile(r"Got SSM Ping Request from %s/" % re.escape(b.ip))
            expect(not own.search(text), "the request from the beacon's own address was logged")
    checks.run("-v -v logs 'Got SSM Ping Request from ADDR/PORT' for answered requests only", check_log)

    def check_clients():
        for name, proc in clients.items():
            try:
                proc.wait(15)
            except Exception:  # noqa: BLE001
                raise AssertionError("%s did not finish" % name)
        for fam, name, addr in ((4, "ssmping4", h1.addr4), (6, "ssmping6", h2.addr6)):
            out = clients[name].stdout_text()
            expect_eq("%s exit status (output %r)" % (name, out), clients[name].returncode, 0)
            for seq in (1, 2, 3):
                expect(re.search(r"^\s*unicast from %s, seq=%d " % (re.escape(addr), seq), out, re.M),
                       "%s: no unicast reply %d in %r" % (name, seq, out))
                expect(re.search(r"^multicast from %s, seq=%d dist=0 " % (re.escape(addr), seq), out, re.M),
                       "%s: no multicast reply %d at distance 0 in %r" % (name, seq, out))
            for kind in ("unicast", "multicast"):
                expect(re.search(r"^%s:\n\s+3 packets received, 0%% packet loss" % kind, out, re.M),
                       "%s: %s statistics in %r" % (name, kind, out))
        out = clients["asmping4"].stdout_text()
        expect(re.search(r"^unicast:\n\s+2 packets received, 0% packet loss", out, re.M),
               "asmping: unicast statistics in %r" % out)
        expect(re.search(r"^multicast:\n\s+0 packets received", out, re.M),
               "asmping: the answers should go to the SSM Ping group only: %r" % out)
    checks.run("ssmping -4/-6 get unicast and multicast replies; asmping unicast only", check_clients)

    def check_flags():
        for b, rx, want in ((st["p4"], st["rx4"], FLAG_SSM | FLAG_SSMPING), (st["p6"], st["rx6"], FLAG_SSMPING)):
            _, reports = classify(rx.records(), b.ip)
            sites = [r for _, r in reports if r.kind == "website"]
            expect(sites, "no website report from %s" % b.name)
            expect_eq("%s flags TLV" % b.name, sites[0].flags, want)
        for b, want in ((st["p4"], ["SSM", "SSMPing"]), (st["p6"], ["SSMPing"])):
            d = lab.wait_for(lambda: read_dump(b.dump), 8.0, interval=0.2)
            expect(d, "no dump from %s" % b.name)
            expect_eq("%s's own flags in its dump" % b.name, d.local["flags"], want)

        def remote_p4():
            d = read_dump(st["obs"].dump)
            for r in (d.remotes if d else []):
                if r.get("name") == "ping4":
                    return r
            return None
        r = lab.wait_for(remote_p4, 8.0, interval=0.2)
        expect(r, "the observer's dump has no element for ping4")
        expect_eq("ping4's flags in the observer's dump", r["flags"], ["SSM", "SSMPing"])
    checks.run("website report flags and dumps announce SSMPing", check_flags)


if __name__ == "__main__":
    sys.exit(main())
