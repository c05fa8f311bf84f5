"""Helpers shared by the black-box scripts that run real beacons in the lab
(test_lifecycle, test_probes, test_measure, test_dump): starting beacons,
finding their log lines, the reports they send, multicast memberships,
reading dump files, and one-line-per-check reporting.  What all the lab
tests share (wire format, log lines, dump files) is in beacons.py."""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from beacons import (  # noqa: E402
    CheckFailed, binary_from_args, log_lines, report, tlv, wait_started as _wait_started, read_dump_file)

CONTACT = "noc@lab.example"


def check(cond, name, detail=""):
    """One named check: prints 'ok: name' when cond holds, raises
    CheckFailed naming the check (and the detail) otherwise."""
    if not cond:
        raise CheckFailed("%s%s" % (name, (": " + str(detail)) if detail != "" else ""))
    print("  ok: %s" % name, flush=True)


def check_eq(got, want, name):
    check(got == want, name, "got %r, want %r" % (got, want))


def setup(doc):
    """Common start of a script: --binary, root (else exit 77), and the
    binary's presence; prints the first paragraph of doc.  Returns the
    path of the binary."""
    binary = binary_from_args()
    print(doc.strip().split("\n\n")[0].replace("\n", " "), flush=True)
    return binary


# ---------------------------------------------------------------------------
# Beacons

def beacon_args(name, group, *extra, contact=CONTACT):
    return ["-n", name, "-a", contact, "-b", group] + [str(e) for e in extra]


# The beacons under test run at a real-time priority (or, where that is
# refused, at a raised nice level), so that other work on a busy machine
# does not delay their timers: their schedule is what the scripts measure,
# with tolerances of a few milliseconds.
_priority = None


def _priority_prefix():
    global _priority
    if _priority is None:
        ok = shutil.which("chrt") and subprocess.run(["chrt", "-f", "1", "true"],
                                                     capture_output=True).returncode == 0
        _priority = ["chrt", "-f", "1"] if ok else ["nice", "-n", "-10"]
    return _priority


def start_beacon(host, binary, args, label="quillon", cwd=None):
    """Starts quillon with args in host's namespace (in the directory cwd
    when given).  `ip netns exec` and chrt (or nice) replace themselves with
    the program, so proc.pid is the beacon's pid."""
    return host.run(_priority_prefix() + [os.path.abspath(binary)] + list(args), label=label, cwd=cwd)


def schedule_reference(probe_times):
    """The reference point of a beacon's timer queue, from the receive
    times of its first burst: probe i (from 0) is due 100 (i + 1) ms after
    it; the least delayed probe gives the estimate."""
    first = [probe_times[0]]
    for t in probe_times[1:]:
        if t - first[-1] > 0.5:
            break
        first.append(t)
    return min(t - 0.1 * (i + 1) for i, t in enumerate(first))


def comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return None


def wait_started(proc, timeout=5.0):
    """Waits for the "Local name is" line (the last line of start-up)."""
    if not _wait_started(proc, timeout):
        raise CheckFailed("beacon %s did not start (status %r): %s" % (
            " ".join(proc.argv[4:]), proc.poll(), proc.stderr_text().strip()[-500:]))


def cpu_ticks(pid):
    """utime + stime of pid in clock ticks."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def stop(proc, sig=signal.SIGTERM, timeout=5.0):
    """Sends sig and returns the exit status (None when it did not end)."""
    if proc.poll() is None:
        os.kill(proc.pid, sig)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return None


# ---------------------------------------------------------------------------
# Log lines

def find_logs(proc, pattern):
    """[(time, match)] of the log lines whose message matches pattern."""
    rx = re.compile(pattern)
    out = []
    for t, msg in log_lines(proc.stderr_text()):
        m = rx.fullmatch(msg)
        if m:
            out.append((t, m))
    return out


def wait_logs(proc, pattern, count=1, timeout=10.0):
    lab.wait_for(lambda: len(find_logs(proc, pattern)) >= count, timeout, interval=0.1)
    return find_logs(proc, pattern)


# ---------------------------------------------------------------------------
# Reports a beacon sends

def website_report(name, websites=(), country=None, flags=0, contact=CONTACT):
    """The bytes of the website report a beacon with these settings sends;
    websites: (letter, url) pairs in any order."""
    tl = [tlv("n", name), tlv("a", contact)]
    for letter, url in sorted(websites):
        tl.append(tlv(letter, url))
    if country:
        tl.append(tlv("C", country))
    tl.append(tlv("F", struct.pack("!I", flags)))
    return report(tl)


def plain_report(name, contact=CONTACT):
    """A report that lists no sources: header, name and contact."""
    return report([tlv("n", name), tlv("a", contact)])


def farewell_report(name, contact=CONTACT):
    return report([tlv("n", name), tlv("a", contact), b"\x51\x00"])


# ---------------------------------------------------------------------------
# Multicast membership as the namespace's kernel shows it

def proc_net(host, name):
    return host.check_output(["cat", "/proc/net/" + name])


def igmp_has(host, group):
    """The group is joined (any socket, any mode) in host's namespace."""
    if ":" in group:
        return socket.inet_pton(socket.AF_INET6, group).hex() in proc_net(host, "igmp6")
    return socket.inet_aton(group)[::-1].hex().upper() in proc_net(host, "igmp")


def mcfilter_sources(host, group):
    """Source addresses (text) in the source filter of group, from
    /proc/net/mcfilter or mcfilter6."""
    out = []
    if ":" in group:
        want = socket.inet_pton(socket.AF_INET6, group).hex()
        for line in proc_net(host, "mcfilter6").splitlines()[1:]:
            f = line.split()
            if len(f) >= 4 and f[2] == want:
                out.append(socket.inet_ntop(socket.AF_INET6, bytes.fromhex(f[3])))
    else:
        want = "0x" + socket.inet_aton(group).hex()
        for line in proc_net(host, "mcfilter").splitlines()[1:]:
            f = line.split()
            if len(f) >= 4 and f[2].lower() == want:
                out.append(socket.inet_ntoa(bytes.fromhex(f[3][2:])))
    return out


def udp_sockets(host):
    """Local 'addr:port' texts of the UDP sockets in host's namespace."""
    out = []
    for line in host.check_output(["ss", "-uanH"]).splitlines():
        f = line.split()
        if len(f) >= 4:
            out.append(f[3])
    return out


# ---------------------------------------------------------------------------
# Dump files

def read_dump(path):
    """(mtime, text, root element) of the dump file, or None while it does
    not exist.  Raises CheckFailed when it does not parse."""
    got = read_dump_file(path)
    if got is None:
        return None
    data, st = got
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        raise CheckFailed("dump %s does not parse: %s\n%s" % (path, e, data[:2000]))
    return st.st_mtime, data.decode("utf-8", "replace"), root


def dump_group(root):
    return root.find("group")


def local_beacon(root):
    """The local beacon's element: the first beacon of the group."""
    return root.find("group").find("beacon")


def remote_beacons(root):
    return root.find("group").findall("beacon")[1:]


def local_source(root, addr):
    """The local beacon's source element whose addr is addr (with port)."""
    for s in local_beacon(root).find("sources").findall("source"):
        if s.get("addr") == addr:
            return s
    return None


def local_source_by_host(root, host_addr):
    """The local beacon's source elements whose address part is host_addr."""
    out = []
    for s in local_beacon(root).find("sources").findall("source"):
        if s.get("addr", "").rsplit("/", 1)[0] == host_addr:
            out.append(s)
    return out
