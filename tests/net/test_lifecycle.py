#!/usr/bin/env python3
"""Lifecycle of running beacons: start-up and its errors, membership, first
reports, bandwidth lines, signals, daemon mode.

Time budget: about 30 s wall time.  Every beacon runs in one lab from the
start; the longest wait is two 10-second bandwidth windows.

Beacons (one per namespace, each on its own group, heard by receivers on h3):
  A  h1  IPv4 239.77.11.1  -U, three websites, country      ended by SIGTERM
  B  h2  IPv6 ff3e::1234   -U, one website, flag ssmping    ended by SIGINT
  D  h4  IPv4 239.77.11.4  -S (SSM on 232.2.3.2)            ended by SIGINT
  E  h5  IPv6 ff3e::1235   -S -B fd77::3 -v -v -d e.xml     ended by SIGTERM
  F  h6  IPv4 239.77.11.6  -O -B 10.77.0.3                  ended by SIGTERM
  C  h7  IPv4 239.77.11.7  -D, relative -pidfile -d -L      ended by SIGTERM
E and C start in the lab's directory, where their relative paths lead.
"""

import math
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from lab import Lab, CaseRunner, receiver, udp_send, wait_for  # noqa: E402
from beacons import is_report, log_lines, parse_probe, probe, run_timed  # noqa: E402
from runbeacon_util import (  # noqa: E402
    check, check_eq, setup, beacon_args, start_beacon, wait_started, cpu_ticks,
    comm, stop, find_logs, wait_logs, website_report, schedule_reference,
    plain_report, farewell_report, igmp_has, mcfilter_sources, udp_sockets, CONTACT)

BINARY = setup(__doc__)
PORT = 10000
TOL_BW_S = 0.12          # a 10-second event against the probe clock, seconds
GARBAGE = [b"\x00not-a-beacon-packet".ljust(100, b"."), b"x" * 100, b"\xbe\xac\x09" + b"\x00" * 97]


class Beacon:
    def __init__(self, key, host, family, group, args, end_signal, websites=(), country=None,
                 flags=0):
        self.key = key
        self.host = host
        self.family = family
        self.group = group
        self.args = args
        self.end_signal = end_signal
        self.name = "life-" + key
        self.websites = websites
        self.country = country
        self.flags = flags
        self.proc = None
        self.rx = None

    @property
    def addr(self):
        return self.host.addr(self.family)

    def label(self):
        return "%s/%d" % (self.group, PORT)

    def sent(self):
        """Datagrams the receiver got from this beacon, in order."""
        return [d for d in self.rx.records() if d.src == self.addr]

    def website(self):
        return website_report(self.name, self.websites, self.country, self.flags)


def maddr_text(b):
    return b.host.check_output(["ip", "maddr", "show", "dev", b.host.ifname])


# -- cases ---------------------------------------------------------------------

def case_startup_errors(host):
    """Configuration that cannot work ends start-up with status 255 and the
    one line that names the problem, before any packet."""
    table = [
        ("no group", ["-n", "x", "-a", CONTACT], r"Nothing to do, check `quillon -h`\.", True),
        ("unicast group", beacon_args("x", "10.0.0.1"), r"No usable records for 10\.0\.0\.1", True),
        ("IPv6 source for an IPv4 group", beacon_args("x", "239.77.11.9", "-s", host.addr6),
         r"Failed to bind local socket: \S.*", False),
        ("IPv4 source for an IPv6 group", beacon_args("x", "ff3e::1239", "-s", host.addr4),
         r"Failed to bind local socket: \S.*", False),
    ]
    for what, args, line_re, logged in table:
        r = host.execute([BINARY] + args, timeout=10)
        check_eq(r.returncode, 255, "%s: exit status" % what)
        lines = [ln for ln in r.stderr.splitlines() if ln.strip()]
        if logged:
            # one time-stamped log line, nothing more
            logs = log_lines(r.stderr)
            check(len(lines) == 1 and len(logs) == 1 and re.fullmatch(line_re, logs[0][1]),
                  "%s: the one line %r" % (what, line_re), r.stderr)
        else:
            # perror form: no time stamp, the text, a colon, the system's error
            check(len(lines) == 1 and re.fullmatch(line_re, lines[0]),
                  "%s: perror line %r" % (what, line_re), r.stderr)
        check_eq(r.stdout, "", "%s: nothing on standard output" % what)


def case_membership(beacons):
    """The beacon joins its group in its namespace, binds the group socket to
    it, and announces its discovered local address."""
    for b in beacons:
        check(igmp_has(b.host, b.group), "%s: %s in /proc/net/%s" % (
            b.key, b.group, "igmp6" if b.family == 6 else "igmp"))
        want = ("inet6 " if b.family == 6 else "inet  ") + b.group
        check(want in maddr_text(b), "%s: ip maddr shows %r" % (b.key, want))
        socks = udp_sockets(b.host)
        bound = ("[%s]:%d" if b.family == 6 else "%s:%d") % (b.group, PORT)
        check(bound in socks, "%s: a socket bound to %s" % (b.key, bound), socks)
        local = [s for s in socks if s.rsplit(":", 1)[0].strip("[]") == b.addr]
        check(len(local) == 1, "%s: one socket bound to the local address %s" % (b.key, b.addr), socks)
        msg = "Local name is `%s` [Beacon group: %s, Local address: %s]" % (b.name, b.label(), b.addr)
        got = [m for _, m in log_lines(b.proc.stderr_text())]
        check(msg in got, "%s: log line %r" % (b.key, msg), got)


def case_first_reports(beacons):
    """One website report goes out at once, before the first probe; then
    only probes until the first regular report 10 s after start-up."""
    for b in beacons:
        wait_for(lambda: any(is_report(d.payload) and d.payload != b.website() for d in b.sent()), 20)
        sent = b.sent()
        check(len(sent) > 0 and sent[0].payload == b.website(),
              "%s: first datagram is the website report (%d bytes, flags TLV last)" % (
                  b.key, len(b.website())),
              sent[0].payload.hex() if sent else "nothing received")
        check_eq(sent[0].sport, sent[1].sport, "%s: reports and probes leave from one port" % b.key)
        probes = [d for d in sent if parse_probe(d.payload)]
        check(len(probes) >= 10, "%s: probes follow" % b.key)
        ref = schedule_reference([d.time for d in probes])
        delta = sent[0].time - ref
        check(-0.002 <= delta <= 0.05,
              "%s: the first burst begins 100 ms after the reference point, the website report at it" % b.key,
              "website report %.3f s after the reference point" % delta)
        reports = [d for d in sent if is_report(d.payload)]
        check(len(reports) >= 2, "%s: a regular report after the website report" % b.key)
        first = reports[1]
        check(abs(first.time - (ref + 10.0)) <= TOL_BW_S,
              "%s: first regular report 10 s after start-up" % b.key,
              "%.3f s" % (first.time - ref))
        check_eq(first.payload, plain_report(b.name),
                 "%s: first regular report holds name and contact only" % b.key)
        other = [d for d in sent if d.time < first.time and not parse_probe(d.payload)]
        check_eq(len(other), 1, "%s: nothing but probes between the two reports" % b.key)
        check(all(d.sport == sent[0].sport and d.ttl == 127 for d in sent),
              "%s: everything leaves from the beacon socket with hop limit 127" % b.key)


def case_ssm_socket(d, h3):
    """-S opens a second receive socket bound to the SSM channel that is a
    member of nothing until a source is joined; a new source joins."""
    ssm = "232.2.3.2"
    check("%s:%d" % (ssm, PORT) in udp_sockets(d.host), "D: socket bound to 232.2.3.2:10000")
    check(not igmp_has(d.host, ssm), "D: no membership of %s without sources" % ssm)
    check_eq(mcfilter_sources(d.host, ssm), [], "D: empty source filter for %s" % ssm)
    # A probe from h3 makes h3 a source, and its (S,G) channel is joined.
    udp_send(h3, d.group, PORT, probe(123456, 0), src_port=47010)
    wait_for(lambda: mcfilter_sources(d.host, ssm), 5)
    check_eq(mcfilter_sources(d.host, ssm), [h3.addr4], "D: (10.77.0.3, 232.2.3.2) joined after its probe")
    check(igmp_has(d.host, ssm), "D: membership of %s once a source is joined" % ssm)


def case_bootstrap(e, f, h3):
    """-S with -B joins the bootstrap (S,G) at start-up; -O with -B warns."""
    ssm6 = "ff3e::beac"
    check("[%s]:%d" % (ssm6, PORT) in udp_sockets(e.host), "E: socket bound to [ff3e::beac]:10000")
    check_eq(mcfilter_sources(e.host, ssm6), [h3.addr6], "E: (fd77::3, ff3e::beac) in /proc/net/mcfilter6")
    joined = [m for _, m in log_lines(e.proc.stderr_text())]
    check("Joined SSM (S, G) where S = %s/%d" % (h3.addr6, PORT) in joined, "E: join logged at -v -v", joined)
    check("Sending Report to %s" % e.label() in e.proc.stderr_text().splitlines(),
          "E: report sending line at -v -v")
    check("Dump file is %s" % e.dump in joined, "E: the absolute dump path logged at -v", joined)

    warn = "Tried to bootstrap using SSM when SSM is not enabled."
    got = [m for _, m in log_lines(f.proc.stderr_text())]
    check(warn in got, "F: -O -B logs %r" % warn, got)
    check(f.proc.poll() is None, "F: keeps running after the warning")
    socks = udp_sockets(f.host)
    check(not any(s.startswith("232.2.3.2:") for s in socks), "F: no SSM receive socket with -O", socks)
    check_eq(mcfilter_sources(f.host, "232.2.3.2"), [], "F: nothing joined with -O")


def case_daemon(c, pidfile, dump, launched):
    """-D -pidfile: the parent ends with 0, the detached beacon writes its
    own pid, runs in the namespace, logs nothing to the terminal, and
    removes the file on SIGTERM after its farewell.  The relative PID file,
    dump file and launched program are those of the directory it started
    in, although a daemon works in /; the program gets the absolute dump
    path."""
    wait_for(lambda: c.proc.poll() is not None, 5)
    check_eq(c.proc.poll(), 0, "C: the parent of the detached beacon exits with 0")
    wait_for(lambda: os.path.exists(pidfile) and open(pidfile).read().endswith("\n"), 5)
    text = open(pidfile).read()
    check(re.fullmatch(r"\d+\n", text) is not None, "C: pid file holds a decimal pid and a newline", text)
    pid = int(text)
    check(pid != c.proc.pid, "C: the pid is the detached process's, not the parent's")
    check_eq(comm(pid), "quillon", "C: that pid is a running quillon")
    ns = lab._run(["ip", "netns", "identify", str(pid)]).stdout.strip()
    check_eq(ns, c.host.ns, "C: the detached beacon runs in its namespace")
    wait_for(lambda: any(parse_probe(d.payload) for d in c.sent()), 3)
    check(any(parse_probe(d.payload) for d in c.sent()), "C: the detached beacon sends probes")
    check_eq(c.proc.stderr_text(), "", "C: nothing on the terminal (logging goes to the system log)")
    wait_for(lambda: os.path.exists(launched), 8)
    check(os.path.exists(dump), "C: relative -d written in the start-up directory", dump)
    check(not os.path.exists("/" + os.path.basename(dump)), "C: nothing written to /" + os.path.basename(dump))
    check_eq(open(launched).read() if os.path.exists(launched) else None, dump + "\n",
             "C: the relative -L program ran, given the absolute dump path")
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: comm(pid) is None, 5)
    check(comm(pid) is None, "C: ends on SIGTERM")
    check(not os.path.exists(pidfile), "C: pid file removed on SIGTERM")
    wait_for(lambda: c.sent() and c.sent()[-1].payload == farewell_report(c.name), 3)
    check_eq(c.sent()[-1].payload, farewell_report(c.name), "C: farewell report sent")


BW_RE = r"BW: Received (\d+) bytes \((\d+\.\d\d) Kb/s\) Sent (\d+) bytes \((\d+\.\d\d) Kb/s\)"
USAGE_RE = r"BW Usage for (\d+) secs: RX (\d+) bytes \((\d+\.\d\d) Kb/s\) TX (\d+) bytes \((\d+\.\d\d) Kb/s\)"


def window_bytes(b, ref, k):
    """(certain, possible) bytes sent in the k-th 10-second window: each
    datagram is put at its due time (the probe schedule's 100 ms grid from
    the reference point; the website report at the reference point), and a
    datagram due exactly at a window's edge may fall on either side."""
    lo = hi = 0
    start, end = ref + 10.0 * (k - 1), ref + 10.0 * k
    for i, d in enumerate(b.sent()):
        due = ref + round((d.time - ref) / 0.1) * 0.1
        if i == 0:
            due = ref + 0.001           # sent during start-up, after the reference point
        if start + 1e-6 < due < end - 1e-6:
            lo += len(d.payload)
            hi += len(d.payload)
        elif abs(due - start) <= 1e-6 or abs(due - end) <= 1e-6:
            hi += len(d.payload)
    return lo, hi


def case_bandwidth(beacons, received, cpu0):
    """-U logs a BW line every 10 s with the bytes of the closed window;
    SIGUSR1 reports the totals of the closed windows since the loop began;
    idle CPU stays well under 1% of a core."""
    for b in beacons:
        lines = wait_logs(b.proc, BW_RE, 1, 15)
        check(len(lines) >= 1, "%s: a BW line within 10 s" % b.key)
        t1, m = lines[0]
        sent = b.sent()
        ref = schedule_reference([d.time for d in sent if parse_probe(d.payload)])
        loop_start = sent[0].time          # the website report goes out just before the loop
        check(abs(t1 - (ref + 10.0)) <= TOL_BW_S, "%s: first BW line 10 s after start-up" % b.key,
              "%.3f s" % (t1 - ref))
        rx, tx = int(m.group(1)), int(m.group(3))
        check_eq(rx, received[b.key], "%s: BW Received counts the datagrams of the window" % b.key)
        check_eq(m.group(2), "%.2f" % (rx * 8 / 10000.0), "%s: BW received rate" % b.key)
        lo, hi = window_bytes(b, ref, 1)
        check(lo <= tx <= hi, "%s: BW Sent is the bytes sent in the first window" % b.key,
              "%d not in [%d, %d]" % (tx, lo, hi))
        check_eq(m.group(4), "%.2f" % (tx * 8 / 10000.0), "%s: BW sent rate" % b.key)

        # SIGUSR1 between the first and the second window's end.
        early = len(find_logs(b.proc, r"BW Usage for .*"))
        if b.key == "B":
            zero = find_logs(b.proc, r"BW Usage for 0 secs: RX 0 bytes \(\S+ Kb/s\) TX 0 bytes \(\S+ Kb/s\)")
            check(len(zero) == 1 and early == 1, "B: SIGUSR1 within the first second: 0 secs, 0 bytes",
                  find_logs(b.proc, r"BW Usage for .*"))
        os.kill(b.proc.pid, signal.SIGUSR1)
        usage = wait_logs(b.proc, r"BW Usage for .*", early + 1, 3)
        check(len(usage) == early + 1, "%s: SIGUSR1 gives one BW Usage line" % b.key)
        tu, u = usage[-1][0], re.fullmatch(USAGE_RE, usage[-1][1].group(0))
        check(u is not None, "%s: BW Usage line format" % b.key, usage[-1][1].group(0))
        secs = int(u.group(1))
        check(secs in (math.floor(tu - loop_start - 0.05), math.floor(tu - loop_start)),
              "%s: BW Usage counts the whole seconds since the loop began" % b.key,
              "%d for %.3f s" % (secs, tu - loop_start))
        check_eq((int(u.group(2)), int(u.group(4))), (rx, tx),
                 "%s: BW Usage totals are the closed window's bytes" % b.key)
        check_eq((u.group(3), u.group(5)), ("%.2f" % (rx * 8 / (secs * 1000.0)),
                                           "%.2f" % (tx * 8 / (secs * 1000.0))),
                 "%s: BW Usage rates over %d s" % (b.key, secs))
        check(b.proc.poll() is None, "%s: still running after SIGUSR1" % b.key)

    for b in beacons:
        lines = wait_logs(b.proc, BW_RE, 2, 15)
        check(len(lines) >= 2, "%s: a second BW line" % b.key)
        (t1, _), (t2, m) = lines[0], lines[1]
        check(abs(t2 - t1 - 10.0) <= 0.05, "%s: BW lines 10 s apart" % b.key, "%.3f s" % (t2 - t1))
        ref = schedule_reference([d.time for d in b.sent() if parse_probe(d.payload)])
        tx = int(m.group(3))
        lo, hi = window_bytes(b, ref, 2)
        check_eq(int(m.group(1)), 0, "%s: second window received nothing" % b.key)
        check(lo <= tx <= hi, "%s: second BW Sent is that window's bytes" % b.key,
              "%d not in [%d, %d]" % (tx, lo, hi))

    hz = os.sysconf("SC_CLK_TCK")
    for b in beacons:
        t0, ticks0 = cpu0[b.key]
        elapsed = time.monotonic() - t0
        used = (cpu_ticks(b.proc.pid) - ticks0) / hz
        check(elapsed >= 10.0 and used / elapsed < 0.005,
              "%s: idle CPU under 0.5%% of a core" % b.key, "%.3f s in %.1f s" % (used, elapsed))


def case_signals(beacons):
    """SIGTERM and SIGINT: farewell report (ending in 0x51 0x00), status 0."""
    for b in beacons:
        before = time.time()
        status = stop(b.proc, b.end_signal)
        check_eq(status, 0, "%s: exit status 0 on %s" % (b.key, signal.Signals(b.end_signal).name))
        wait_for(lambda: b.sent() and b.sent()[-1].time >= before, 3)
        last = b.sent()[-1]
        check(last.time >= before and last.payload == farewell_report(b.name),
              "%s: farewell report after the signal" % b.key, last.payload.hex())
        check_eq(last.payload[-2:], b"\x51\x00", "%s: farewell ends with 0x51 0x00" % b.key)


# -- the lab -------------------------------------------------------------------

def main():
    runner = CaseRunner("lifecycle")
    with Lab(hosts=7) as net:
        h1, h2, h3, h4, h5, h6, h7 = net.hosts
        sites = (("G", "http://www.lab.example/"), ("L", "http://lg.lab.example/x?y=1"),
                 ("M", "http://lab.example/matrix"))
        A = Beacon("A", h1, 4, "239.77.11.1",
                   ["-U", "-W", sites[0][1], "-Wl", sites[1][1], "-Wm", sites[2][1], "-C", "PT"],
                   signal.SIGTERM, websites=sites, country="PT")
        B = Beacon("B", h2, 6, "ff3e::1234", ["-U", "-W", sites[0][1], "-F", "ssmping"],
                   signal.SIGINT, websites=sites[:1], flags=2)
        D = Beacon("D", h4, 4, "239.77.11.4", ["-S"], signal.SIGINT, flags=1)
        E = Beacon("E", h5, 6, "ff3e::1235", ["-S", "-B", h3.addr6, "-v", "-v", "-d", "e.xml"], signal.SIGTERM,
                   flags=1)
        E.dump = os.path.join(net.tmpdir, "e.xml")
        # -pidfile without -D: no PID file is written, and none removed.
        kept = os.path.join(net.tmpdir, "kept.pid")
        with open(kept, "w") as f:
            f.write("not a beacon\n")
        F = Beacon("F", h6, 4, "239.77.11.6", ["-pidfile", kept, "-B", h3.addr4, "-O"], signal.SIGTERM)
        # A daemon's relative paths: the PID file, the dump, and a program
        # named with a '/' that records its argument.
        pidfile = os.path.join(net.tmpdir, "beacon.pid")
        c_dump = os.path.join(net.tmpdir, "c-dump.xml")
        launched = os.path.join(net.tmpdir, "c-launched.txt")
        with open(os.path.join(net.tmpdir, "c-hook"), "w") as f:
            f.write('#!/bin/sh\necho "$1" > %s.part && mv %s.part %s\n' % (launched, launched, launched))
        os.chmod(os.path.join(net.tmpdir, "c-hook"), 0o755)
        C = Beacon("C", h7, 4, "239.77.11.7",
                   ["-D", "-pidfile", "beacon.pid", "-d", "c-dump.xml", "-L", "./c-hook"], signal.SIGTERM)
        everyone = [A, B, D, E, F, C]
        t_setup = time.monotonic()
        for b in everyone:
            b.rx = receiver(h3, b.group, PORT, duration=120)
        for b in everyone:
            b.proc = start_beacon(b.host, BINARY, beacon_args(b.name, b.group, *b.args), label=b.key,
                                  cwd=net.tmpdir)
        for b in everyone:
            if b is not C:
                wait_started(b.proc)
        # B is asked for its bandwidth before a whole second has passed.
        time.sleep(0.2)
        os.kill(B.proc.pid, signal.SIGUSR1)
        udp_send(h3, A.group, PORT, GARBAGE, interval=0.01)
        # Unicast to A's sending socket: nothing should make its loop spin.
        port = int([s for s in udp_sockets(h1) if s.startswith(h1.addr4 + ":")][0].rsplit(":", 1)[1])
        udp_send(h3, h1.addr4, port, [b"unicast to the beacon socket"] * 3)
        received = {"A": sum(map(len, GARBAGE)), "B": 0}
        print("  lab and beacons ready in %.1f s" % (time.monotonic() - t_setup), flush=True)
        cpu0 = {b.key: (time.monotonic(), cpu_ticks(b.proc.pid)) for b in (A, B)}

        runner.run("start-up errors", case_startup_errors, h3)
        runner.run("membership and local address", case_membership, [A, B, D, E])
        runner.run("SSM receive socket", case_ssm_socket, D, h3)
        runner.run("bootstrap", case_bootstrap, E, F, h3)
        runner.run("daemon, pid file and relative paths", case_daemon, C, pidfile, c_dump, launched)
        runner.run("first reports", case_first_reports, [A, B, D])
        runner.run("bandwidth lines, SIGUSR1, idle CPU", case_bandwidth, [A, B], received, cpu0)
        runner.run("SIGTERM and SIGINT", case_signals, [A, B, D, E, F])
        runner.run("-pidfile without -D", lambda: check_eq(
            open(kept).read(), "not a beacon\n", "F: the PID file is neither written nor removed"))
    return runner.finish()


if __name__ == "__main__":
    run_timed(main)
