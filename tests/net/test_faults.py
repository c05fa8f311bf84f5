#!/usr/bin/env python3
"""A beacon survives faults around it: its dump directory vanishing, unwritable or full, a launched program missing or hanging, signal storms, a sender whose clock steps.

Time budget: about 30 s wall time.  One lab, one segment; nine beacons run
side by side on h1, each on its own group, each with -d DIR/dump.xml -I 5
(dumps at R+5, R+10, ... after the beacon's reference point R):
  vanish     after the first dump the directory is removed (rmdir); two dumps
             fall due while it is missing; then it is made again
  immutable  `chattr +i` on the directory: even root cannot create or rename
             files in it (chmod would not stop root)
  readonly   a read-only bind mount of the directory inside the beacon's own
             mount namespace (nsenter): its writes fail with EROFS
  file       the directory renamed away and a regular file put in its place
  full       a 64 KiB tmpfs mounted on the directory inside the beacon's mount
             namespace, filled up after the first dump
    each: the beacon keeps running and logs one line naming the file, what
    failed and why (not one per dump), the last good dump stays byte for
    byte with no FILE.working left, and after the repair the next dump is
    written again, said in one line
  nolaunch   -L names a program that does not exist: no zombie children
  hang       -L a program that never ends: one copy at a time, the warning
             once per episode (the copy is killed, the next dump starts a new
             one, and the warning comes once more)
  storm      -L /bin/true; 400 SIGUSR1 and 400 SIGCHLD in 6 s from the first
             probe on: probes stay on their 100-ms grid, a peer's probes are
             all taken, each SIGUSR1 asked afterwards gets one "BW Usage" line
  clock      a crafted sender's time stamps jump by +1 h for one window of 40
             probes and back: only delay (future="true") and, by the jitter
             formula, jitter change; no loss, no new Source
"""

import errno
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from lab import Lab, wait_for  # noqa: E402
from beacons import CheckFailed, MAGIC, PACKET_PROBE, is_clock_line, log_lines  # noqa: E402
from hostile_util import (  # noqa: E402
    Checks, check, setup, run_helper, children, alive, matching, summarize,
    xmllint_complaint, bursts_of, check_schedule, PYTHON, UTIL_PY)

BINARY = setup(__doc__)
if shutil.which("xmllint") is None:
    print("NOTE xmllint is missing: dumps are checked with ElementTree only", flush=True)
PORT = 10000
CONTACT = "noc@faults.example"
DUMP_PERIOD = 5.0
# A dump is written within this long of its due time.
DUMP_SLACK = 0.5
# Probes inside a burst: 100 ms apart on a grid that does not drift.  The
# machine is shared, so a probe may leave late now and then: median deviation
# 15 ms, none later than 400 ms, pauses whole seconds within 50 ms.
GRID_WITHIN = 0.015
GRID_MOST = 0.4
PAUSE_TOLERANCE = 0.05
JUMP_MS = 3600000
JITTER_WEIGHT = 0.0625

HANG_SCRIPT = """#!/bin/sh
echo "$$ $1" >> "%s"
exec sleep 600
"""

BW_USAGE_RE = (r"^BW Usage for (\d+) secs: RX (\d+) bytes \((\d+\.\d\d) Kb/s\) "
               r"TX (\d+) bytes \((\d+\.\d\d) Kb/s\)$")


class Beacon:
    """One beacon of this script on h1, with its own group and dump."""

    def __init__(self, l, key, index, extra=(), dump_dir=None):
        self.key = key
        self.group = "239.77.52.%d" % index
        self.dir = dump_dir or os.path.join(l.tmpdir, key)
        os.makedirs(self.dir, exist_ok=True)
        self.dump = os.path.join(self.dir, "dump.xml")
        self.host = l.hosts[0]
        self.argv = [BINARY, "-n", "faults-" + key, "-a", CONTACT, "-b", "%s/%d" % (self.group, PORT),
                     "-d", self.dump, "-I", "5"] + list(extra)
        self.proc = None
        self.started = None

    def start(self):
        self.started = time.time()
        self.proc = self.host.run(self.argv, label=self.key)
        return self

    def settled(self):
        """True once the process is the beacon itself (ip netns exec and
        unshare have exec'd into it) in a mount namespace of its own: only
        then may mounts be made in its namespace, else they would land in
        the test's own."""
        try:
            exe = os.readlink("/proc/%d/exe" % self.proc.pid)
            mine = os.stat("/proc/self/ns/mnt").st_ino
            its = os.stat("/proc/%d/ns/mnt" % self.proc.pid).st_ino
        except OSError:
            return False
        return os.path.realpath(exe) == os.path.realpath(BINARY) and its != mine

    def nsenter(self, *cmd):
        """Runs cmd in the beacon's mount namespace; CompletedProcess."""
        check(self.settled(), "%s: the beacon runs in a mount namespace of its own" % self.key)
        return subprocess.run(["nsenter", "-t", str(self.proc.pid), "-m", "--"] + list(cmd),
                              capture_output=True, text=True, timeout=10)

    def view(self, path):
        """path as the beacon sees it (through its mount namespace)."""
        return "/proc/%d/root%s" % (self.proc.pid, path)

    def log_lines(self):
        return log_lines(self.proc.stderr_text())


def read_version(path):
    """(inode, mtime, bytes) of the file, or None."""
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            return st.st_ino, st.st_mtime, f.read()
    except OSError:
        return None


def wait_new_dump(path, after_mtime, timeout):
    """The first version of the file with an mtime after after_mtime."""
    def newer():
        v = read_version(path)
        return v if v and v[1] > after_mtime + 1e-6 else None
    return wait_for(newer, timeout, interval=0.05)


def well_formed(data, what):
    complaint = xmllint_complaint(data)
    check(complaint is None, "%s: xmllint accepts it" % what, complaint)
    try:
        return ET.fromstring(data)
    except ET.ParseError as e:
        raise CheckFailed("%s: does not parse: %s" % (what, e))


def sleep_until(t):
    while True:
        left = t - time.time()
        if left <= 0:
            return
        time.sleep(min(left, 0.2))


# ---------------------------------------------------------------------------
# Dump directory faults

def make_dir_fault(method):
    """Returns (break, repair, proof) for one way of taking the directory
    away from the beacon; proof() shows that root itself is stopped."""

    def vanish(b):
        os.unlink(b.dump)
        os.rmdir(b.dir)

    def vanish_repair(b):
        os.mkdir(b.dir)

    def vanish_proof(b):
        check(not os.path.exists(b.dir), "the directory is gone and was not made again by the beacon")

    def immutable(b):
        r = subprocess.run(["chattr", "+i", b.dir], capture_output=True, text=True)
        check(r.returncode == 0, "chattr +i", r.stderr)

    def immutable_repair(b):
        subprocess.run(["chattr", "-i", b.dir], capture_output=True)

    def immutable_proof(b):
        try:
            with open(os.path.join(b.dir, "root-probe"), "w"):
                pass
        except PermissionError:
            return
        raise CheckFailed("root could still create a file in the immutable directory")

    def readonly(b):
        check(wait_for(b.settled, 5), "%s: the beacon started" % b.key)
        r = b.nsenter("sh", "-c", 'mount --bind "$0" "$0" && mount -o remount,bind,ro "$0"', b.dir)
        check(r.returncode == 0, "read-only bind mount in the beacon's mount namespace", r.stderr)

    def readonly_repair(b):
        b.nsenter("umount", b.dir)

    def readonly_proof(b):
        r = b.nsenter("sh", "-c", ': > "$0"/root-probe', b.dir)
        check(r.returncode != 0 and "Read-only" in r.stderr, "root cannot write there either", r.stderr)

    def as_file(b):
        os.rename(b.dir, b.dir + ".moved")
        with open(b.dir, "w") as f:
            f.write("not a directory\n")

    def as_file_repair(b):
        os.unlink(b.dir)
        os.rename(b.dir + ".moved", b.dir)

    def as_file_proof(b):
        check(os.path.isfile(b.dir), "a file stands where the directory was")
        with open(b.dir) as f:
            check(f.read() == "not a directory\n", "the beacon left that file alone")

    def full(b):
        # Bounded: should the tmpfs not be there after all, this must not
        # fill the real disk.
        fd = os.open(b.view(os.path.join(b.dir, "filler")), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for _ in range(64):
                try:
                    os.write(fd, b"\0" * 4096)
                except OSError as e:
                    check(e.errno == errno.ENOSPC, "filling the tmpfs ends with ENOSPC", e)
                    return
            raise CheckFailed("256 KiB written without filling the 64 KiB tmpfs")
        finally:
            os.close(fd)

    def full_repair(b):
        os.unlink(b.view(os.path.join(b.dir, "filler")))

    def full_proof(b):
        st = os.statvfs(b.view(b.dir))
        check(st.f_bavail == 0, "no block left on the tmpfs", st.f_bavail)

    return {"vanish": (vanish, vanish_repair, vanish_proof),
            "immutable": (immutable, immutable_repair, immutable_proof),
            "readonly": (readonly, readonly_repair, readonly_proof),
            "file": (as_file, as_file_repair, as_file_proof),
            "full": (full, full_repair, full_proof)}[method]


# What fails, and why, when each fault breaks the dump directory.
DUMP_FAULT_REASONS = {"vanish": ("create", errno.ENOENT), "immutable": ("create", errno.EPERM),
                      "readonly": ("create", errno.EROFS), "file": ("create", errno.ENOTDIR),
                      "full": ("write", errno.ENOSPC)}


class SkipCase(Exception):
    pass


def method_usable(method, scratch):
    """None when the method works here, else why not."""
    if method in ("readonly", "full") and shutil.which("nsenter") is None:
        return "nsenter (util-linux) is missing"
    if method == "immutable":
        if shutil.which("chattr") is None:
            return "chattr (e2fsprogs) is missing"
        os.makedirs(scratch, exist_ok=True)
        r = subprocess.run(["chattr", "+i", scratch], capture_output=True, text=True)
        subprocess.run(["chattr", "-i", scratch], capture_output=True)
        if r.returncode != 0:
            return "chattr +i unsupported on this file system: " + r.stderr.strip()
    return None


def case_dump_dir(checks, b, method):
    why = method_usable(method, b.dir + ".scratch")
    if why:
        raise SkipCase(why)
    breaker, repair, proof = make_dir_fault(method)
    if method == "full":
        # A small tmpfs on the directory, visible to the beacon only.
        check(wait_for(b.settled, 5), "%s: the beacon started" % b.key)
        r = b.nsenter("mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", b.dir)
        check(r.returncode == 0, "tmpfs mounted in the beacon's mount namespace", r.stderr)
        theirs, ours = os.statvfs(b.view(b.dir)), os.statvfs(b.dir)
        check(theirs.f_blocks * theirs.f_frsize == 65536 and ours.f_blocks * ours.f_frsize != 65536,
              "the 64 KiB tmpfs is seen by the beacon only")
    path = b.view(b.dump) if method == "full" else b.dump
    first = wait_new_dump(path, 0, DUMP_PERIOD + 5)
    check(first, "%s: first dump written" % b.key, b.proc.stderr_text()[-300:])
    ino, mtime, data = first
    well_formed(data, "%s: first dump" % b.key)
    lines_before = len(b.log_lines())
    broken = ok = False
    try:
        breaker(b)
        broken = True
        # Two dumps fall due while the directory is unusable.
        sleep_until(mtime + 2 * DUMP_PERIOD + DUMP_SLACK)

        def during():
            check(alive(b.proc), "beacon still running")
            proof(b)
            action, error = DUMP_FAULT_REASONS[method]
            target = b.dump + ".working"
            want = ["Dump file %s not written: cannot %s %s: %s" % (b.dump, action, target, os.strerror(error))]
            got = [m for _, m in b.log_lines()[lines_before:]]
            check(got == want, "the failure logged once, with the file and the reason", got)
            if method in ("immutable", "readonly", "full"):
                got = read_version(path)
                check(got is not None and got[0] == ino and got[2] == data,
                      "the last good dump is still there, unchanged")
                check(not os.path.exists(path + ".working"), "no FILE.working left")
            if method == "file":
                got = read_version(os.path.join(b.dir + ".moved", "dump.xml"))
                check(got is not None and got[2] == data, "the last good dump, moved away with its directory, "
                                                          "is unchanged")
        ok = checks.run("%s: two dumps due while the directory is unusable: still running, one line logged, "
                        "last good dump kept" % b.key, during)
    finally:
        if broken or method in ("immutable", "readonly"):
            repair(b)
    if not ok:
        return

    def after():
        got = wait_new_dump(path, mtime, DUMP_PERIOD + DUMP_SLACK + 1)
        check(got, "a dump written again after the repair")
        check(got[0] != ino or method == "vanish", "a new file replaced the old one")
        k = (got[1] - mtime) / DUMP_PERIOD
        check(abs(k - round(k)) * DUMP_PERIOD <= DUMP_SLACK and round(k) == 3,
              "the dump due at R+20 s (3 periods after the first one)", "%.2f periods" % k)
        root = well_formed(got[2], "%s: dump after the repair" % b.key)
        check(root.find("group/beacon").get("name") == "faults-" + b.key, "it is this beacon's dump")
        check(not os.path.exists(path + ".working"), "no FILE.working left")
        check(alive(b.proc), "beacon still running")
        wait_for(lambda: len(b.log_lines()) > lines_before + 1, 2)   # logged just after the rename
        got = [m for _, m in b.log_lines()[lines_before + 1:]]
        check(got == ["Dump file %s written again" % b.dump], "the recovery logged once", got)
    checks.run("%s: dumps resume after the repair" % b.key, after)


# ---------------------------------------------------------------------------
# Launched programs

def case_nolaunch(checks, b):
    samples, zombies_in_a_row, most = 0, 0, 0
    first = wait_new_dump(b.dump, 0, DUMP_PERIOD + 5)
    check(first, "%s: first dump" % b.key)
    end = first[1] + 2 * DUMP_PERIOD + DUMP_SLACK
    previous_zombies = set()
    worst_run = 0
    while time.time() < end:
        kids = children(b.proc.pid)
        zombies = {pid for pid, state, _ in kids if state == "Z"}
        most = max(most, len(kids))
        # A child that failed to start may be seen once as a zombie before
        # the beacon reaps it, never twice 20 ms apart.
        if zombies & previous_zombies:
            zombies_in_a_row += 1
        worst_run = max(worst_run, len(zombies))
        previous_zombies = zombies
        samples += 1
        time.sleep(0.02)

    def result():
        check(alive(b.proc), "beacon still running")
        versions = read_version(b.dump)
        check(versions and versions[1] >= end - DUMP_SLACK - 0.2, "dumps still written (three so far)")
        check(most <= 1, "never more than one child at a time", most)
        check(zombies_in_a_row == 0, "no zombie seen in two samples 20 ms apart", zombies_in_a_row)
        check(children(b.proc.pid) == [], "no child left after three launches", children(b.proc.pid))
        check(not [m for _, m in b.log_lines() if "fatal" in m.lower() or "Select failed" in m],
              "nothing fatal logged")
    checks.run("%s: -L names a missing program: beacon runs on, failed children are reaped (%d samples)" % (
        b.key, samples), result)


def case_hang(checks, b, started_log):
    first = wait_new_dump(b.dump, 0, DUMP_PERIOD + 5)
    check(first, "%s: first dump" % b.key)
    d1 = first[1]
    warn = r"still running from an earlier dump; not started again"

    def starts():
        try:
            with open(started_log) as f:
                return [ln.split() for ln in f.read().splitlines() if ln.strip()]
        except FileNotFoundError:
            return []

    def live_children():
        return [(pid, st, comm) for pid, st, comm in children(b.proc.pid) if st != "Z"]

    sleep_until(d1 + 2 * DUMP_PERIOD + DUMP_SLACK)
    episode1 = {"starts": starts(), "children": live_children(), "warnings": matching(b.proc, warn)}

    def first_episode():
        e = episode1
        check(len(e["starts"]) == 1, "one copy started by three dumps", e["starts"])
        check(e["starts"][0][1] == b.dump, "the program gets the dump file as its argument", e["starts"][0])
        check(len(e["children"]) == 1 and str(e["children"][0][0]) == e["starts"][0][0],
              "that copy is the beacon's one child", e["children"])
        check(len(e["warnings"]) == 1, "the warning logged once for the two dumps that found it running",
              e["warnings"])
        t = e["warnings"][0][0]
        check(abs(t - (d1 + DUMP_PERIOD)) <= DUMP_SLACK, "the warning comes at the second dump",
              "%.2f s after the first" % (t - d1))
        check(alive(b.proc), "beacon still running")
    ok = checks.run("%s: a hanging program: one copy at a time, the warning once" % b.key, first_episode)
    if not ok:
        return
    pid = int(episode1["starts"][0][0])
    os.kill(pid, signal.SIGKILL)
    reaped = wait_for(lambda: children(b.proc.pid) == [], 2.0)
    sleep_until(d1 + 4 * DUMP_PERIOD + DUMP_SLACK)
    episode2 = {"starts": starts(), "children": live_children(), "warnings": matching(b.proc, warn)}

    def second_episode():
        check(reaped, "the killed copy is reaped at once (no zombie)")
        e = episode2
        check(len(e["starts"]) == 2, "the next dump starts a new copy", e["starts"])
        check(len(e["children"]) == 1 and str(e["children"][0][0]) == e["starts"][1][0],
              "the new copy is the only child", e["children"])
        check(len(e["warnings"]) == 2, "the warning once more in the new episode", e["warnings"])
        check(abs(e["warnings"][1][0] - (d1 + 4 * DUMP_PERIOD)) <= DUMP_SLACK,
              "the second warning comes at the dump after the new copy's start")
        check(alive(b.proc), "beacon still running")
    checks.run("%s: after the copy ends, a new copy and a new episode with its warning" % b.key, second_episode)


# ---------------------------------------------------------------------------
# Signals

def case_storm(checks, b, l):
    h2 = l.hosts[1]
    observer = b.observer
    probes = wait_for(lambda: [d for d in observer.records() if d.src == l.hosts[0].addr4
                               and len(d.payload) == 12], 5)
    check(probes, "%s: first probe" % b.key)
    R = probes[0].time - 0.1
    peer_out = os.path.join(l.tmpdir, "storm-peer.json")
    peer = run_helper(h2, "_probes", {"src": h2.addr4, "sport": 7200, "group": b.group, "port": PORT,
                                      "ifname": h2.ifname, "seq": random.getrandbits(31), "interval": 0.1,
                                      "count": 45, "out": peer_out}, label="stormpeer")
    sent = {"USR1": 0, "CHLD": 0}
    start = time.monotonic()
    pid = b.proc.pid
    for i in range(800):
        due = start + i * 0.0075
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        sig = signal.SIGUSR1 if i % 2 == 0 else signal.SIGCHLD
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            break
        sent["USR1" if sig == signal.SIGUSR1 else "CHLD"] += 1
    storm_end = time.time()
    time.sleep(0.5)
    during = matching(b.proc, r"^BW Usage")
    alive_after = alive(b.proc)
    # Then one signal at a time: each gets its line.
    single = []
    for k in range(3):
        before = len(matching(b.proc, r"^BW Usage"))
        os.kill(pid, signal.SIGUSR1)
        got = wait_for(lambda: len(matching(b.proc, r"^BW Usage")) > before, 1.0)
        time.sleep(0.2)
        single.append(len(matching(b.proc, r"^BW Usage")) - before if got else 0)
    peer.wait(10)
    dump = wait_for(lambda: _storm_dump(b, h2.addr4), max(1.0, R + 10.5 - time.time()))
    records = observer.stop()
    kids = children(pid)

    def result():
        check(alive_after and alive(b.proc), "beacon still running after %d SIGUSR1 and %d SIGCHLD" % (
            sent["USR1"], sent["CHLD"]))
        check(sent["USR1"] >= 300 and sent["CHLD"] >= 300, "the storm was sent", sent)
        check(1 <= len(during) <= sent["USR1"], "between 1 and %d BW Usage lines for the storm" % sent["USR1"],
              len(during))
        lines = matching(b.proc, r"^BW Usage")
        rx = re.compile(BW_USAGE_RE)
        last = -1
        for t, m in lines:
            mm = rx.match(m)
            check(mm, "BW Usage line in its format", m)
            secs = int(mm.group(1))
            check(secs >= last and secs <= t - R + 1, "seconds since the start, never decreasing", (secs, t - R))
            last = secs
        check(single == [1, 1, 1], "each SIGUSR1 sent on its own answered by exactly one line", single)
        check(not [m for _, m in b.log_lines() if not m.startswith("BW Usage") and not m.startswith("Local name")
                   and not is_clock_line(m)],
              "nothing else logged", [m for _, m in b.log_lines() if not m.startswith("BW Usage")][:3])
        mine = [d for d in records if d.src == l.hosts[0].addr4 and len(d.payload) == 12
                and d.payload[:2] == MAGIC and d.payload[3] == PACKET_PROBE]
        bursts = bursts_of(mine)
        check(bursts and len(bursts[0]) == 10, "the first burst: 10 probes", [len(x) for x in bursts])
        stormy = [x for x in bursts if x[0].time < storm_end]
        median, worst, pauses = check_schedule(stormy + bursts[len(stormy):len(stormy) + 1], GRID_WITHIN,
                                               GRID_MOST, PAUSE_TOLERANCE)
        checks.note("  %s: %d bursts during the storm; median deviation %.1f ms, largest lateness %.1f ms" % (
            b.key, len(stormy), median * 1000, worst * 1000))
        check(dump, "a dump with the peer measured", b.proc.stderr_text()[-200:])
        asm = dump["asm"]
        check(asm.get("loss") == "0.0" and asm.get("dup") == "0.000" and asm.get("ooo") == "0.000",
              "the peer's probes all taken during the storm", asm)
        check([k for k in kids if k[1] == "Z"] == [], "no zombie among the beacon's children", kids)
        checks.note("  %s: %d BW Usage lines for the storm of %d SIGUSR1 (signals coalesce while pending)" % (
            b.key, len(during), sent["USR1"]))
    checks.run("%s: a signal storm during normal work: schedule kept, peer measured, SIGUSR1 answered" % b.key,
               result)


def _storm_dump(b, peer_addr):
    v = read_version(b.dump)
    if not v:
        return None
    try:
        s = summarize(ET.fromstring(v[2]))
    except ET.ParseError:
        return None
    src = s["sources"].get("%s/7200" % peer_addr)
    return src["stats"] if src and "asm" in src["stats"] else None


# ---------------------------------------------------------------------------
# A sender whose clock steps

def jitter_model(delays):
    """The running jitter after probes with these absolute delays (ms), from
    a fresh record, as the reception statistics compute it."""
    j, last = 0.0, 0
    for a in delays:
        e = abs(a - last)
        last = a
        j = struct.unpack("f", struct.pack("f", j * (1 - JITTER_WEIGHT) + e * JITTER_WEIGHT))[0]
    return j


def case_clock(checks, b, l):
    h2 = l.hosts[1]
    if (int(time.time() * 1000) % (1 << 32)) > (1 << 32) - JUMP_MS - 600000:
        checks.note("SKIP %s: the wall clock is within 1 h of the 2^32 ms wrap of probe time stamps" % b.key)
        return
    out = os.path.join(l.tmpdir, "clock-%d.json")
    seq = random.getrandbits(31)
    key = "%s/7300" % h2.addr4
    windows = [("before the step", 0), ("stepped +1 h", JUMP_MS), ("back", 0)]
    seen = []
    last_mtime = 0
    for n, (what, offset) in enumerate(windows):
        job = {"src": h2.addr4, "sport": 7300, "group": b.group, "port": PORT, "ifname": h2.ifname,
                "seq": seq + 40 * n, "interval": 0.025, "count": 40, "offset_ms": offset, "out": out % n}
        r = h2.execute([PYTHON, "-S", UTIL_PY, "_probes", json.dumps(job)], timeout=20)
        check(r.returncode == 0, "%s: crafted sender ran" % b.key, r.stderr[-300:])
        got = wait_new_dump(b.dump, max(last_mtime, time.time()), DUMP_PERIOD + 2)
        check(got, "%s: a dump after the window %s" % (b.key, what))
        last_mtime = got[1]
        root = well_formed(got[2], "%s: dump" % b.key)
        seen.append((what, offset, summarize(root)))

    def result():
        check(alive(b.proc), "beacon still running")
        ages = []
        model = []
        for what, offset, s in seen:
            check(list(s["sources"]) == [key], "one Source, the sender's, after the window %s" % what,
                  list(s["sources"]))
            src = s["sources"][key]
            ages.append(int(src["age"]))
            asm = src["stats"].get("asm")
            check(asm, "figures after the window %s" % what)
            check(asm["loss"] == "0.0" and asm["ooo"] == "0.000" and asm["dup"] == "0.000",
                  "no loss, reordering or duplicates after the window %s" % what, asm)
            delay = float(asm["delay"])
            model += [JUMP_MS if offset else 0] * 40
            if offset:
                check(asm.get("future") == "true", "future=\"true\" once the sender's clock is 1 h ahead", asm)
                check(JUMP_MS - 50 <= delay <= JUMP_MS, "delay 1 h (less the transit time)", delay)
            else:
                check("future" not in asm, "no future attribute %s" % what, asm)
                check(0 <= delay <= 50, "delay of a few ms %s" % what, delay)
            want = jitter_model(model)
            got = float(asm["jitter"])
            check(abs(got - want) <= 0.01 * want + 5, "jitter %s %.3f, by the jitter formula %.3f" % (
                what, got, want))
        check(ages == sorted(ages) and ages[-1] >= 9, "the Source is the same one throughout (age %s)" % ages)
        checks.note("  %s: %s" % (b.key, "; ".join("%s: delay %s%s jitter %s" % (
            w, s["sources"][key]["stats"]["asm"]["delay"],
            " future" if "future" in s["sources"][key]["stats"]["asm"] else "",
            s["sources"][key]["stats"]["asm"]["jitter"]) for w, _, s in seen)))
    checks.run("%s: a sender's clock steps +1 h and back: only delay and jitter follow" % b.key, result)


# ---------------------------------------------------------------------------

def main():
    checks = Checks("faults")
    with Lab(hosts=3) as l:
        h1, h2, h3 = l.hosts
        hang_log = os.path.join(l.tmpdir, "hang.log")
        hang = os.path.join(l.tmpdir, "hang.sh")
        with open(hang, "w") as f:
            f.write(HANG_SCRIPT % hang_log)
        os.chmod(hang, 0o755)
        true = "/bin/true" if os.path.exists("/bin/true") else "true"
        dir_methods = ["vanish", "immutable", "readonly", "file", "full"]
        beacons = {m: Beacon(l, m, i + 1) for i, m in enumerate(dir_methods)}
        beacons["nolaunch"] = Beacon(l, "nolaunch", 10, ["-L", os.path.join(l.tmpdir, "no-such-dir", "hook")])
        beacons["hang"] = Beacon(l, "hang", 11, ["-L", hang])
        beacons["storm"] = Beacon(l, "storm", 12, ["-L", true])
        beacons["clock"] = Beacon(l, "clock", 13)
        beacons["storm"].observer = lab.receiver(h3, beacons["storm"].group, PORT, duration=60)
        for b in beacons.values():
            b.start()
        cases = [lambda m=m: case_dump_dir(checks, beacons[m], m) for m in dir_methods]
        cases += [lambda: case_nolaunch(checks, beacons["nolaunch"]),
                  lambda: case_hang(checks, beacons["hang"], hang_log),
                  lambda: case_storm(checks, beacons["storm"], l),
                  lambda: case_clock(checks, beacons["clock"], l)]
        names = dir_methods + ["nolaunch", "hang", "storm", "clock"]

        def guarded(name, fn):
            def run():
                try:
                    fn()
                except SkipCase as e:
                    checks.note("SKIP %s: %s" % (name, e))
            checks.run("%s: case ran to its end" % name, run)
        only = [a.split("=", 1)[1].split(",") for a in sys.argv if a.startswith("--only=")]
        picked = [(n, c) for n, c in zip(names, cases) if not only or n in only[0]]
        threads = [threading.Thread(target=guarded, args=nc, daemon=True) for nc in picked]
        for t in threads:
            t.start()
        for t in threads:
            t.join(90)
        statuses = {k: b.proc.stop() for k, b in beacons.items()}

        def ends():
            for k, st in statuses.items():
                check(st == 0, "%s: SIGTERM ends it with status 0" % k, st)
        checks.run("every beacon ends with status 0 on SIGTERM", ends)
        # Nothing may stay immutable: the lab removes its directory.
        subprocess.run(["chattr", "-i", beacons["immutable"].dir], capture_output=True)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
