#!/usr/bin/env python3
"""Proves the network lab itself: multicast on one segment (ASM and SSM, IPv4
and IPv6), isolation of coexisting labs, the router (TTL / hop limit, unicast
through the kernel, no multicast without the forwarder), every impairment of
the forwarder, and clean-up on exit, on signals and after a crash."""

import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from lab import Lab, udp_send, receiver, wait_for  # noqa: E402

G4, G6 = "239.77.0.1", "ff3e::77"
SSM4, SSM6 = "232.77.0.1", "ff3e::8000:1"
SETTLE = 0.4  # seconds to wait for stragglers before concluding "no more"


def payloads(tag, n):
    return [("%s-%d" % (tag, i)).encode() for i in range(n)]


def index_of(d, tag):
    text = d.payload.decode()
    assert text.startswith(tag + "-"), text
    return int(text[len(tag) + 1:])


def collect(rx, n, timeout=10.0):
    """Waits for n datagrams, then a little longer, and returns all."""
    return collect_all((rx, n), timeout=timeout)[0]


def collect_all(*wanted, timeout=10.0):
    """collect() for several (receiver, count) pairs at once."""
    deadline = time.monotonic() + timeout
    for rx, n in wanted:
        rx.wait_count(n, max(0.0, deadline - time.monotonic()))
    time.sleep(SETTLE)
    return [rx.stop() for rx, _ in wanted]


def expect_eq(what, got, want):
    assert got == want, "%s: got %r, want %r" % (what, got, want)


# -- one segment ---------------------------------------------------------------

def test_asm_one_segment(flat):
    h1, h2, h3 = flat.hosts
    for group in (G4, G6):
        src = h1.addr6 if ":" in group else h1.addr4
        rx = receiver(h2, group, 47000)
        other = receiver(h3, group, 47000)
        sent = udp_send(h1, group, 47000, payloads("asm", 5), ttl=3, interval=0.01)
        expect_eq("send times", len(sent), 5)
        for got in collect_all((rx, 5), (other, 5)):
            expect_eq("%s payloads" % group, [d.payload for d in got], payloads("asm", 5))
            expect_eq("%s sources" % group, {(d.src, d.dst, d.dport) for d in got}, {(src, group, 47000)})
            expect_eq("%s TTL on the same segment" % group, {d.ttl for d in got}, {3})
            for d, t in zip(got, sent):
                assert 0 <= d.time - t < 0.5, "receive time %.3f before/long after send %.3f" % (d.time, t)


def test_ssm_filters_by_source(flat):
    h1, h2, h3 = flat.hosts
    for group in (SSM4, SSM6):
        v6 = ":" in group
        s1, s3 = (h1.addr6, h3.addr6) if v6 else (h1.addr4, h3.addr4)
        from_h1 = receiver(h2, group, 47002, source=s1)
        from_h3 = receiver(h2, group, 47002, source=s3)
        udp_send(h1, group, 47002, payloads("h1", 4))
        udp_send(h3, group, 47002, payloads("h3", 6))
        got1, got3 = collect_all((from_h1, 4), (from_h3, 6))
        expect_eq("(h1,%s)" % group, [(d.src, d.payload) for d in got1], [(s1, p) for p in payloads("h1", 4)])
        expect_eq("(h3,%s)" % group, [(d.src, d.payload) for d in got3], [(s3, p) for p in payloads("h3", 6)])


def test_hosts_have_own_names(flat):
    with open("/proc/sys/kernel/hostname") as f:
        ours = f.read().strip()
    for h in flat.hosts:
        expect_eq("host name", h.check_output(["cat", "/proc/sys/kernel/hostname"]).strip(), h.name)
        p = h.run("cat /proc/sys/kernel/hostname; ip -o -4 addr show dev %s" % h.ifname)
        expect_eq("exit status", p.wait(10), 0)
        assert p.stdout_text().startswith(h.name + "\n"), p.stdout_text()
        assert " %s/24 " % h.addr4 in p.stdout_text(), p.stdout_text()
    with open("/proc/sys/kernel/hostname") as f:
        expect_eq("host name outside the lab", f.read().strip(), ours)


def test_labs_are_isolated(flat):
    with Lab(hosts=2) as other:
        assert other.prefix != flat.prefix
        assert set(other.namespaces()).isdisjoint(flat.namespaces())
        expect_eq("same addresses", other.hosts[0].addr4, flat.hosts[0].addr4)
        mine = receiver(flat.hosts[1], G4, 47003)
        theirs = receiver(other.hosts[1], G4, 47003)
        udp_send(other.hosts[0], G4, 47003, payloads("other", 3))
        expect_eq("other lab receives", len(collect(theirs, 3)), 3)
        expect_eq("this lab receives", mine.stop(), [])
        names = other.namespaces()
    left = lab.list_lab_namespaces()
    assert not set(names) & set(left), "left behind: %s" % (set(names) & set(left))
    assert set(flat.namespaces()) <= set(left), "the outer lab lost namespaces"


# -- across the router ---------------------------------------------------------
# routed: h1, h3 on segment 0; h2, h4 on segment 1; router between.

def test_router_hop_count(routed):
    h1, h2, h3, h4 = routed.hosts
    for group in (G4, G6):
        routed.start_forwarder()
        near = receiver(h3, group, 47010)       # segment 0, like the sender
        far = receiver(h2, group, 47010)        # segment 1
        back = receiver(h1, group, 47010)       # segment 0, from segment 1
        udp_send(h1, group, 47010, payloads("ttl5", 3), ttl=5)
        udp_send(h1, group, 47010, payloads("ttl1", 2), ttl=1)
        udp_send(h4, group, 47010, payloads("ttl9", 2), ttl=9)
        got_near, got_far, got_back = collect_all((near, 7), (far, 5), (back, 2))
        expect_eq("%s near" % group, [(d.payload, d.ttl) for d in got_near],
                  [(p, 5) for p in payloads("ttl5", 3)] + [(p, 1) for p in payloads("ttl1", 2)]
                  + [(p, 8) for p in payloads("ttl9", 2)])
        expect_eq("%s far" % group, [(d.payload, d.ttl) for d in got_far],
                  [(p, 4) for p in payloads("ttl5", 3)] + [(p, 9) for p in payloads("ttl9", 2)])
        # h1 also hears its own group traffic through multicast loopback.
        expect_eq("%s back" % group, [(d.payload, d.ttl) for d in got_back if d.payload.startswith(b"ttl9")],
                  [(p, 8) for p in payloads("ttl9", 2)])
        stats = routed.stop_forwarder()
        expect_eq("%s expired at the router" % group, stats["ttl_expired"], 2)
        expect_eq("%s relayed" % group, stats["relayed"], 5)
    routed.start_forwarder()


def test_router_unicast_by_kernel(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    routed.start_forwarder()
    for dst in (h2.addr4, h2.addr6):
        rx = receiver(h2, dst, 47011)
        udp_send(h1, dst, 47011, payloads("uni", 3), ttl=10)
        got = collect(rx, 3)
        expect_eq("unicast to %s" % dst, [(d.payload, d.ttl) for d in got], [(p, 9) for p in payloads("uni", 3)])
    expect_eq("unicast relayed by the forwarder", routed.stop_forwarder()["relayed"], 0)
    routed.start_forwarder()


def test_no_multicast_without_forwarder(routed):
    h1, h2, h3 = routed.hosts[:3]
    routed.stop_forwarder()
    try:
        for group in (G4, G6):
            near = receiver(h3, group, 47012)
            far = receiver(h2, group, 47012)
            udp_send(h1, group, 47012, payloads("nofwd", 3))
            expect_eq("%s near" % group, len(collect(near, 3)), 3)
            expect_eq("%s far" % group, far.stop(), [])
    finally:
        routed.start_forwarder()


DELAY_MS = 100
# The forwarder is a Python process that shares the CPUs with everything
# else: no packet may come early, but any may come late.  So every delayed
# packet must take at least DELAY_MS, and the median must be within
# DELAY_MEDIAN_SLACK_MS of it; unmatched packets must not be delayed (median
# below that slack).
DELAY_MEDIAN_SLACK_MS = 30


def median(values):
    v = sorted(values)
    return (v[(len(v) - 1) // 2] + v[len(v) // 2]) / 2


def test_forwarder_delay(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    routed.start_forwarder(delay_ms=DELAY_MS, match_ports=[47020])
    for group in (G4, G6):
        slow = receiver(h2, group, 47020)
        fast = receiver(h2, group, 47021)
        sent_slow = udp_send(h1, group, 47020, payloads("slow", 10), interval=0.03)
        sent_fast = udp_send(h1, group, 47021, payloads("fast", 10), interval=0.03)
        got_slow, got_fast = collect_all((slow, 10), (fast, 10))
        expect_eq("delayed payloads", [d.payload for d in got_slow], payloads("slow", 10))
        expect_eq("undelayed payloads", [d.payload for d in got_fast], payloads("fast", 10))
        slow_ms = [(d.time - sent_slow[index_of(d, "slow")]) * 1000 for d in got_slow]
        fast_ms = [(d.time - sent_fast[index_of(d, "fast")]) * 1000 for d in got_fast]
        assert min(slow_ms) >= DELAY_MS - 0.5, "%s: delays %s" % (group, slow_ms)
        assert median(slow_ms) <= DELAY_MS + DELAY_MEDIAN_SLACK_MS, "%s: delays %s" % (group, slow_ms)
        assert min(fast_ms) >= 0 and median(fast_ms) < DELAY_MEDIAN_SLACK_MS, "%s: undelayed %s" % (group, fast_ms)
    stats = routed.stop_forwarder()
    expect_eq("delayed count", stats["delayed"], 20)
    routed.start_forwarder()


def test_forwarder_drop_every_second(routed):
    h1, h2, h3 = routed.hosts[:3]
    routed.start_forwarder(drop_every=2, match_ports=[47030], match_sources=[h1.addr4, h1.addr6])
    for group in (G4, G6):
        matched = receiver(h2, group, 47030)
        other_port = receiver(h2, group, 47031)
        # Sent one after the other, so the matching packets are numbered
        # 1..20 in this order and the even-numbered ones go.
        udp_send(h1, group, 47030, payloads("m", 20), interval=0.005)
        udp_send(h3, group, 47030, payloads("src", 20), interval=0.005)
        udp_send(h1, group, 47031, payloads("port", 20), interval=0.005)
        got, got_port = collect_all((matched, 30), (other_port, 20))
        from_h1 = [index_of(d, "m") for d in got if d.payload.startswith(b"m-")]
        expect_eq("%s kept of the matching" % group, from_h1, list(range(0, 20, 2)))
        expect_eq("%s other source untouched" % group,
                  [d.payload for d in got if d.payload.startswith(b"src-")], payloads("src", 20))
        expect_eq("%s other port untouched" % group, [d.payload for d in got_port],
                  payloads("port", 20))
    stats = routed.stop_forwarder()
    expect_eq("matched", stats["matched"], 40)
    expect_eq("dropped", stats["dropped_every"], 20)
    routed.start_forwarder()


def test_forwarder_one_direction(routed):
    h1, h2, h3, h4 = routed.hosts
    routed.start_forwarder(drop_every=1, match_in=["seg1"])  # drop all from segment 1
    up = receiver(h2, G4, 47035)
    down = receiver(h3, G4, 47035)
    udp_send(h1, G4, 47035, payloads("a", 5))
    udp_send(h4, G4, 47035, payloads("b", 5))
    got_up, got_down = collect_all((up, 10), (down, 5))
    expect_eq("segment 0 to 1, and 1 itself", sorted(d.payload for d in got_up),
              payloads("a", 5) + payloads("b", 5))
    expect_eq("segment 1 to 0", [d.payload for d in got_down], payloads("a", 5))
    expect_eq("dropped", routed.stop_forwarder()["dropped_every"], 5)
    routed.start_forwarder()


def test_forwarder_random_drop(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    n, share = 200, 0.25
    routed.start_forwarder(drop_random=share, seed=7, match_ports=[47040])
    rx = receiver(h2, G4, 47040)
    udp_send(h1, G4, 47040, payloads("r", n), interval=0.002)
    # Until the forwarder has handled all of them and holds nothing back.
    assert wait_for(lambda: routed.forwarder_stats().get("matched") == n
                    and routed.forwarder_stats().get("pending") == 0, 10.0), routed.forwarder_stats()
    got = collect(rx, 1)
    idx = [index_of(d, "r") for d in got]
    expect_eq("order and no duplicates", idx, sorted(set(idx)))
    dropped = n - len(idx)
    stats = routed.stop_forwarder()
    expect_eq("dropped count", stats["dropped_random"], dropped)
    # Binomial(200, 0.25): mean 50, sd 6.1; the bounds are about 5 sd away.
    assert 20 <= dropped <= 80, "dropped %d of %d at share %.2f" % (dropped, n, share)
    routed.start_forwarder()


def test_forwarder_duplicates(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    routed.start_forwarder(dup_every=3, match_ports=[47050])
    for group in (G4, G6):
        rx = receiver(h2, group, 47050)
        udp_send(h1, group, 47050, payloads("d", 30), ttl=6, interval=0.005)
        got = collect(rx, 40)
        want = []
        for i in range(30):
            want += [i, i] if (i + 1) % 3 == 0 else [i]
        expect_eq("%s duplicated sequence" % group, [index_of(d, "d") for d in got], want)
        expect_eq("%s TTL of copies" % group, {d.ttl for d in got}, {5})
    expect_eq("duplicated count", routed.stop_forwarder()["duplicated"], 20)
    routed.start_forwarder()


def test_forwarder_reorders(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    hold_ms = 300
    routed.start_forwarder(reorder_every=4, reorder_hold_ms=hold_ms, match_ports=[47060])
    for group in (G4, G6):
        rx = receiver(h2, group, 47060)
        sent = udp_send(h1, group, 47060, payloads("o", 12), interval=0.02)
        got = collect(rx, 12)
        idx = [index_of(d, "o") for d in got]
        # Packets 4 and 8 follow their successors; packet 12 has none and
        # comes out when its hold time ends.
        expect_eq("%s order" % group, idx, [0, 1, 2, 4, 3, 5, 6, 8, 7, 9, 10, 11])
        last = got[-1]
        late_ms = (last.time - sent[11]) * 1000
        assert hold_ms - 0.5 <= late_ms <= hold_ms + 500, "%s: last held %.1f ms" % (group, late_ms)
    stats = routed.stop_forwarder()
    expect_eq("reordered", stats["reordered"], 6)
    expect_eq("released by time-out", stats["held_released_by_timeout"], 2)
    routed.start_forwarder()


def test_forwarder_fragments(routed):
    h1, h2 = routed.hosts[0], routed.hosts[1]
    routed.start_forwarder(drop_every=2, match_ports=[47080])
    for group in (G4, G6):
        rx = receiver(h2, group, 47080)
        big = [bytes([i]) * 4000 for i in range(6)]  # three fragments each
        udp_send(h1, group, 47080, big, ttl=3, interval=0.02)
        got = collect(rx, 3)
        expect_eq("%s whole datagrams" % group, [(d.payload, d.ttl) for d in got],
                  [(big[i], 2) for i in (0, 2, 4)])
    stats = routed.stop_forwarder()
    expect_eq("matched datagrams", stats["matched"], 12)
    routed.start_forwarder()


def test_sniffer_sees_both_directions(routed):
    h1, h3 = routed.hosts[0], routed.hosts[2]
    sn = lab.sniffer(h1, port=47070)
    udp_send(h1, G4, 47070, payloads("out", 2), ttl=4)
    udp_send(h3, G6, 47070, payloads("in", 3), ttl=7)
    got = collect(sn, 5)
    expect_eq("outgoing", [(d.direction, d.payload, d.ttl, d.dst) for d in got if d.direction == "out"],
              [("out", p, 4, G4) for p in payloads("out", 2)])
    expect_eq("incoming", [(d.direction, d.payload, d.ttl, d.src) for d in got if d.direction == "in"],
              [("in", p, 7, h3.addr6) for p in payloads("in", 3)])


# -- clean-up ------------------------------------------------------------------

CHILD = r"""
import json, sys, time
sys.path.insert(0, %r)
import lab
with lab.Lab(hosts=2, segments=2, router=True) as l:
    p = l.hosts[0].run(["sleep", "300"])
    print(json.dumps({"prefix": l.prefix, "pids": [p.pid, l.forwarder.pid], "tmpdir": l.tmpdir}), flush=True)
    time.sleep(120)
"""


def start_child():
    child = subprocess.Popen([sys.executable, "-c", CHILD % os.path.dirname(os.path.abspath(__file__))],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
    line = child.stdout.readline()
    if not line:
        child.kill()
        raise AssertionError("child lab did not start: " + child.stderr.read())
    info = json.loads(line)
    assert lab.list_lab_namespaces(info["prefix"] + "-"), "child lab has no namespaces"
    assert all(lab.pid_alive(p) for p in info["pids"])
    return child, info


def assert_gone(info):
    left = lab.list_lab_namespaces(info["prefix"] + "-")
    assert not left, "namespaces left: %s" % left
    alive = [p for p in info["pids"] if lab.pid_alive(p)]
    assert not alive, "processes left: %s" % alive


def test_cleanup_on_signals():
    for sig in (signal.SIGTERM, signal.SIGINT):
        child, info = start_child()
        child.send_signal(sig)
        try:
            status = child.wait(20)
        except subprocess.TimeoutExpired:
            child.kill()
            raise
        expect_eq("exit status after signal %d" % sig, status, 128 + sig)
        assert_gone(info)
        assert not os.path.exists(info["tmpdir"]), "temp dir left"


def test_stale_cleanup_after_crash():
    child, info = start_child()
    child.kill()  # SIGKILL: no chance to clean up
    child.wait(10)
    assert lab.list_lab_namespaces(info["prefix"] + "-"), "nothing left to clean"
    removed = lab.cleanup_stale()
    assert [n for n in removed if n.startswith(info["prefix"] + "-")], "not removed: %s" % removed
    assert wait_for(lambda: not any(lab.pid_alive(p) for p in info["pids"]), 5.0)
    assert_gone(info)
    import shutil
    shutil.rmtree(info["tmpdir"], ignore_errors=True)


def test_own_namespaces_gone():
    left = lab.list_lab_namespaces("%s%d-" % (lab.PREFIX, os.getpid()))
    assert not left, "namespaces left: %s" % left


def main():
    lab.parse_args()
    lab.require_root()
    started = time.monotonic()
    runner = lab.CaseRunner("lab selftest")
    with Lab(hosts=3) as flat:
        for case in (test_asm_one_segment, test_ssm_filters_by_source, test_hosts_have_own_names,
                     test_labs_are_isolated):
            runner.run(case.__name__, case, flat)
    with Lab(hosts=4, segments=2, router=True) as routed:
        for case in (test_router_hop_count, test_router_unicast_by_kernel,
                     test_no_multicast_without_forwarder, test_forwarder_delay,
                     test_forwarder_drop_every_second, test_forwarder_one_direction,
                     test_forwarder_random_drop,
                     test_forwarder_duplicates, test_forwarder_reorders, test_forwarder_fragments,
                     test_sniffer_sees_both_directions):
            runner.run(case.__name__, case, routed)
    for case in (test_cleanup_on_signals, test_stale_cleanup_after_crash, test_own_namespaces_gone):
        runner.run(case.__name__, case)
    print("total %.1f s" % (time.monotonic() - started))
    return runner.finish()


if __name__ == "__main__":
    sys.exit(main())
