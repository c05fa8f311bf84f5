#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The packet seeds follow the record layout of fuzz_packet.cpp: a control byte
(sender, SSM, expiry, reset, figures record), the received TTL, a time step,
a two-byte length and the datagram.  Run it again after changing a seed;
it replaces the files it writes and leaves others alone.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Sender indexes of fuzz_packet.cpp.
LOCAL, V4_A, V4_A_OTHER_PORT, V4_B, V6_A, V6_B, V6_LINK_LOCAL, V6_MAPPED = range(8)

WALL = 1700000000000


def record(sender, datagram, ttl=120, step=1, ssm=False, expire=False, reset=False, figures=False, verbose=False):
    control = sender | (8 if ssm else 0) | (16 if expire else 0) | (32 if reset else 0)
    control |= (64 if figures else 0) | (128 if verbose else 0)
    return bytes([control, ttl, step]) + struct.pack(">H", len(datagram)) + datagram


def probe(seq, ts):
    return b"\xbe\xac\x01\x00" + struct.pack(">II", seq & 0xFFFFFFFF, ts & 0xFFFFFFFF)


def tlv(kind, value):
    if isinstance(kind, str):
        kind = ord(kind)
    if isinstance(value, str):
        value = value.encode("latin-1")
    assert len(value) <= 255
    return bytes([kind, len(value)]) + value


def report(*tlvs, sender_ttl=64):
    return b"\xbe\xac\x01\x01" + bytes([sender_ttl]) + b"".join(tlvs)


def ident(name, contact):
    return tlv("n", name) + tlv("a", contact)


def v4(text):
    return bytes(int(x) for x in text.split("."))


def v6(text):
    import ipaddress
    return ipaddress.IPv6Address(text).packed


def listing(address, port, nested=b""):
    raw = v6(address) if ":" in address else v4(address)
    return tlv("I" if ":" in address else "i", raw + struct.pack(">H", port) + nested)


def figures(timestamp=1234, age=60, hops=3, delay=12.5, jitter=0.75, loss=13, dup=0, ooo=2):
    return struct.pack(">IIBffBBB", timestamp, age, hops, delay, jitter, loss, dup, ooo)


def inject(index, channel, hops, delay, jitter, loss, dup, ooo):
    return bytes([index, channel, hops]) + struct.pack(">fffff", delay, jitter, loss, dup, ooo)


def probe_run(sender, first, count, ssm=False, skip=(), repeat=(), swap=()):
    """Probes first..first+count-1, one every 32 ms, with gaps, duplicates and swaps."""
    seqs = [s for s in range(first, first + count) if s not in skip]
    for a in swap:
        i = seqs.index(a)
        seqs[i], seqs[i + 1] = seqs[i + 1], seqs[i]
    out = b""
    for s in seqs:
        out += record(sender, probe(s, WALL + s * 100 - 40), ssm=ssm, step=2)
        if s in repeat:
            out += record(sender, probe(s, WALL + s * 100 - 40), ssm=ssm, step=0)
    return out


def packet_seeds():
    s = {}
    s["probes_asm"] = record(V4_A, b"", reset=True, step=0) + probe_run(V4_A, 1000, 45)
    s["probes_ssm_lossy"] = probe_run(V6_A, 77, 48, ssm=True, skip={80, 90}, repeat={85}, swap={100})
    s["probe_wrap"] = probe_run(V4_B, 0xFFFFFFF0, 40)
    s["report_figures"] = record(V4_A, report(
        ident("beacon-a", "ops@a.example"),
        listing("198.51.100.20", 10000, tlv("A", figures()) + tlv("S", figures(loss=0, dup=255, ooo=0))),
        listing("198.51.100.21", 10001, tlv("S", figures(delay=-3.5))),
        listing("2001:db8::20", 10000, tlv("A", figures(hops=0, loss=255, dup=254, ooo=255))),
        listing("192.0.2.1", 10000, tlv("A", figures())),  # the local address
        listing("198.51.100.22", 10000)))
    s["report_map"] = record(V4_B, report(
        ident("beacon-b", "noc@b.example"),
        listing("198.51.100.20", 10000, ident("beacon-x", "x@x.example")),
        listing("2001:db8::21", 10000, ident("", "")),
        listing("198.51.100.23", 10000, ident('q"uote <&> \'', "c&d@<e>"))))
    s["report_website"] = record(V6_A, report(
        ident("beacon-6", "v6@example.org"),
        tlv("G", "http://example.org/beacon"), tlv("L", "http://lg.example.org/?x=<1>&y=2"),
        tlv("M", "http://matrix.example.org/"), tlv("C", "PT"), tlv("F", struct.pack(">I", 3))))
    s["report_leave"] = (record(V4_A_OTHER_PORT, report(ident("leaving", "l@example.org"))) +
                         record(V4_A_OTHER_PORT, report(ident("leaving", "l@example.org"), tlv("Q", b""),
                                                        tlv("n", "after-leave"))))
    # A whole beacon: measured, identified, with figures, then listed by others.
    scenario = record(V4_A, b"", reset=True, step=0) + probe_run(V4_A, 500, 42)
    scenario += probe_run(V6_LINK_LOCAL, 9000, 41, ssm=True)
    scenario += record(V4_A, report(ident("alpha", "alpha@example.org"), tlv("C", "DE")))
    scenario += record(V6_LINK_LOCAL, report(ident("link", "link@example.org"), sender_ttl=200))
    scenario += record(V4_B, report(ident("beta", "beta@example.org"),
                                    listing("192.0.2.2", 10000, tlv("A", figures()) + ident("alpha", "a@x"))))
    scenario += record(0, inject(0, 0, 100, -2.5, 1.0, 0.025, 0.01, 0.5), figures=True)
    scenario += record(0, inject(1, 1, 50, float("nan"), float("inf"), -1.0, 10.5, 2.0), figures=True)
    scenario += record(0, inject(2, 7, 1, 1e30, -0.0, 1.0, 10.0, 0.999), figures=True)
    s["scenario"] = scenario
    s["expiry"] = (record(V4_B, report(ident("old", "o@example.org"), listing("198.51.100.30", 10000)))
                   + record(V6_B, probe(5, 5), step=200, expire=True)
                   + record(V6_B, probe(6, 6), step=255, expire=True))
    # More Sources than one report holds: the reports are cut short.
    s["many_listings"] = (
        record(V4_B, report(ident("big", "big@example.org"),
                            *[listing("10.0.%d.%d" % (i // 200, i % 200), 10000, ident("b%d" % i, "c@d"))
                              for i in range(300)]), reset=True)
        + record(V6_B, report(ident("bigger", "bigger@example.org"),
                              *[listing("10.1.%d.%d" % (i // 256, i % 256), 10000 + i % 3) for i in range(600)]))
        + record(0, inject(0, 4, 64, 10.0, 2.0, 0.1, 0.2, 0.3), figures=True)
        + record(0, inject(100, 5, 64, 11.0, 3.0, 0.01, 0.02, 0.03), figures=True))
    # Two ports of one address share one SSM membership: it stays while
    # either is in the table.  A listing on a third port joins nothing new.
    s["shared_membership"] = (
        record(V4_A, probe(1, 1), reset=True) + record(V4_A_OTHER_PORT, probe(1, 1))
        + record(V4_B, report(ident("lister", "l@example.org"), listing("192.0.2.2", 10003),
                              listing("192.0.2.2", 10010)))
        + record(V4_A_OTHER_PORT, report(ident("gone", "g@example.org"), tlv("Q", b"")))
        + record(V4_B, probe(2, 2), step=160, expire=True)
        + record(V4_A, report(ident("back", "b@example.org")), step=200, expire=True))
    # One sender lists more beacons than a Source may report and than the
    # table holds; then a new sender finds the table full.
    s["table_full"] = (
        record(V4_A, report(ident("flood", "f@example.org"),
                            *[listing("100.64.%d.%d" % (i // 250, i % 250), 10000) for i in range(1100)]),
               reset=True)
        + record(V6_A, probe(1, 1)) + record(V6_B, report(ident("late", "l@example.org"))))
    s["hostile_text"] = record(V6_B, report(
        tlv("n", "tab\there"), tlv("n", "caf\xe9"), tlv("n", '<"&>'), tlv("a", "\x01"),
        tlv("C", "\x01\xe9"), tlv("F", b"\x00\x00"), tlv("C", "ABC"), tlv("G", "ok&<\"'>"), tlv("L", "\x7f")),
        verbose=True)
    s["malformed"] = b"".join([
        record(V4_A, b"\xbe\xac\x01"),
        record(V4_A, b"\xbe\xac\x01\x01"),
        record(V4_A, b"\xbe\xad\x01\x01\x40"),
        record(V4_A, b"\xbe\xac\x02\x00" + bytes(8)),
        record(V4_A, b"\xbe\xac\x01\x02\x40" + bytes(7)),
        record(V4_A, probe(1, 1)[:11]),
        record(V4_A, probe(1, 1) + b"\x00"),
        record(V4_A, report(tlv("n", "trunc"))[:-1]),
        record(V4_A, report(b"n\x05abc")),
        record(V4_B, report(listing("198.51.100.40", 1, tlv("A", figures()[:19]) + tlv("S", figures())))),
        record(V4_B, report(tlv("i", b"\x01\x02\x03\x04\x05"), tlv("I", bytes(17)))),
        record(V4_B, report(listing("198.51.100.41", 1, b"A\x30" + figures()))),
        record(V6_MAPPED, report(tlv("Q", b"xyz"))),
    ])
    return s


def config_seeds():
    every_key = "\n".join([
        "name: quillon test beacon",
        "contact: ops@example.org",
        "interface: lo",
        "addr: ff3e::beac/10000",
        "ssm_addr: ff3e::4321:1234",
        "ssm_send_only: yes",
        "bootstrap: 192.0.2.5/10000",
        "ssmping: true",
        "source: 127.0.0.1",
        "dump: beacon-dump.xml",
        "interval: 10",
        "exec: /bin/true",
        "website: http://example.org/",
        "matrix: http://example.org/matrix",
        "lg: http://example.org/lg",
        "CC: PT",
        "flag: ssmping",
        "verbose: 2",
        "dump-bw: no",
        "ipv4",
        "ipv6",
        "daemon",
        "pidfile: /run/quillon-test.pid",
        "syslog",
    ]) + "\n"
    s = {}
    s["every_key"] = b"\x00" + every_key.encode()
    s["quoting"] = b"\x00" + (
        'name: "a beacon # with: colons"\n'
        'contact: "x@y"\n'
        'website: "lg$http://lg.example.org/"\n'
        'website: matrix$\n'
        'name: ""\n'
        'lg: http://host:8080/path#frag\n').encode()
    s["comments"] = b"\x00" + (
        "# a comment\n\n   // another\n\t\n  daemon  \n   name : spaced  \n"
        "verbose\nssm_addr\nssmping\ndump\n").encode()
    s["long_line"] = b"\x00name: " + b"x" * 300 + b"\n"
    s["bad_quote"] = b"\x00name: \"a\"b\"\n"
    s["open_quote"] = b"\x00contact: \"a@b\n"
    s["unknown_key"] = b"\x00n: short\n"
    s["no_value"] = b"\x00name\n"
    s["value_for_none"] = b"\x00daemon:\n"
    s["bad_bool"] = b"\x00ssmping: maybe\n"
    s["bad_number"] = b"\x00interval: 10s\n"
    s["huge_interval"] = b"\x00interval: 99999999999\n"
    s["bad_country"] = b"\x00CC: PRT\n"
    s["control_byte"] = b"\x00name: a\x01b\n"
    s["bad_address"] = b"\x00bootstrap: not-an-address\n"
    s["cmd_line"] = (b"\x01-n beacon -a a@b.c -b ff3e::beac -S -O -v -v 2 -d -D -I 6 -W lg$http://x "
                     b"-C DE -F other -4 -6 -s 127.0.0.1 -B ::1/1 -c conf\x00name: from-file\nverbose\n")
    s["cmd_line_stray"] = b"\x01stray -name x --name y - -vv -c !missing\x00"
    s["cmd_help"] = b"\x01-n x -h -V"
    s["cmd_version"] = b"\x01-V"
    return s


def address_seeds():
    # flags: bit 0 require_multicast, bit 1 default_port, bits 2-3 family.
    texts = [
        (3, "224.1.2.3"), (3, "ff3e::beac/9999"), (1, "10.0.0.1"), (0, "0.0.0.0/1234"),
        (2, "fe80::1%1/10000"), (8, "::ffff:224.1.2.3"), (4, "ff02::1"), (6, "1"),
        (0, "2001:db8::" + "0" * 120), (3, "239.255.255.255/65535"), (2, "/10000"),
        (0, "ff02::1/65536"), (0x1c, "ff3e::1/abc"), (0xe1, "127.0.0.1/0"), (0, "::/1"),
    ]
    return {"addr_%02d" % i: bytes([flags, i * 9]) + text.encode() for i, (flags, text) in enumerate(texts)}


def write(target, seeds):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def main():
    write("fuzz_packet", packet_seeds())
    write("fuzz_config", config_seeds())
    write("fuzz_address", address_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
