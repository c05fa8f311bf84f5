#!/usr/bin/env python3
"""A virtual network of Linux network namespaces for black-box tests.

    with Lab(hosts=3) as lab:                      # one segment
        h1, h2, h3 = lab.hosts
    with Lab(hosts=4, segments=2, router=True) as lab:
        ...                                        # h1,h3 on segment 0; h2,h4 on 1

Layout.  One "switch" namespace holds one Linux bridge per segment (br0,
br1, ...), multicast snooping off so that every multicast frame is flooded.
Each host is a namespace with one veth leg, `eth0`, whose other end is a port
of its segment's bridge.  Host number n (1-based, over the whole lab) on
segment s has 10.77.s.n/24 and fd77:s::n/64.  Nothing is created in the
namespace this program runs in; veth pairs are created directly inside the
lab's namespaces, so interface names only have to be unique per namespace.

Router mode adds a router namespace with one leg `seg<s>` on every segment
(10.77.s.254/24, fd77:s::fe/64); the hosts' default routes point at it.
Unicast is forwarded by the router namespace's kernel.  Multicast is relayed
by forwarder.py (AF_PACKET, user space), which decrements TTL / hop limit and
can impair matching packets; the kernel has no multicast routing, so it never
relays multicast itself.  Without a router the hosts have device default
routes (multicast sends and joins need a route).

Everything is torn down on leaving the `with` block, on an exception, on
SIGTERM/SIGINT/SIGHUP and at interpreter exit: every process started in the
lab gets SIGTERM, then SIGKILL, whatever else still runs in the namespaces
is killed, and the namespaces are deleted.  Namespace names are
qlab<pid>-<counter>-<node>; `cleanup_stale()` removes those of processes that
no longer exist (run automatically when a lab starts).

Every command run in a node also gets its own UTS namespace whose host name
is the node's name (h1, h2, ..., rt), so programs that default to the host
name tell the hosts apart.

The helper processes (sender, receiver, sniffer) are this file run inside a
namespace: `ip netns exec NS python3 lab.py _send|_recv|_sniff`.
"""

import argparse
import atexit
import dataclasses
import ipaddress
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from typing import List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
LAB_PY = os.path.abspath(__file__)
FORWARDER_PY = os.path.join(HERE, "forwarder.py")
PYTHON = sys.executable or "python3"

PREFIX = "qlab"
SKIP = 77
DEFAULT_MULTICAST_TTL = 64

_NS_RE = re.compile(r"^%s(\d+)-(\d+)-" % PREFIX)

# Linux socket option numbers that the socket module does not always export.
SO_TIMESTAMPNS = 35
IP_PKTINFO = 8
IP_TTL = 2
IP_RECVTTL = 12
IP_MULTICAST_ALL = 49
IPV6_RECVPKTINFO = 49
IPV6_PKTINFO = 50
IPV6_RECVHOPLIMIT = 51
IPV6_HOPLIMIT = 52
IPV6_MULTICAST_ALL = 29
MCAST_JOIN_GROUP = 42
MCAST_JOIN_SOURCE_GROUP = 46


# ---------------------------------------------------------------------------
# Small helpers for test scripts

def require_root():
    """Exits with status 77 (skipped) when the lab cannot run here: not root,
    or network namespaces, veth pairs or bridges unusable."""
    reason = None
    if os.geteuid() != 0:
        reason = "not running as root"
    elif shutil.which("ip") is None:
        reason = "the ip command (iproute2) is missing"
    elif shutil.which("unshare") is None:
        reason = "the unshare command (util-linux) is missing"
    else:
        probe = "%s%d-probe" % (PREFIX, os.getpid())
        r = _run(["ip", "netns", "add", probe])
        if r.returncode != 0:
            reason = "ip netns unusable: " + r.stderr.strip()
        else:
            try:
                r = _run(["ip", "-n", probe, "link", "add", "name", "qb", "type", "bridge"])
                if r.returncode == 0:
                    r = _run(["ip", "-n", probe, "link", "add", "name", "qv0", "type", "veth",
                              "peer", "name", "qv1"])
                if r.returncode != 0:
                    reason = "bridge/veth unusable: " + r.stderr.strip()
            finally:
                _run(["ip", "netns", "del", probe])
    if reason:
        print("SKIP: network lab unavailable: %s" % reason, flush=True)
        sys.exit(SKIP)


def parse_args(argv=None):
    """Parses the arguments CTest passes: `--binary /path/to/quillon`.
    Returns an argparse namespace with `.binary` (absolute path or None).
    Unknown arguments are ignored."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", default=None, help="path of the quillon program")
    ap.add_argument("--keep", action="store_true", help="keep the lab's temp dir")
    args, _ = ap.parse_known_args(argv)
    if args.binary:
        args.binary = os.path.abspath(args.binary)
    if args.keep:
        os.environ["QUILLON_LAB_KEEP"] = "1"
    return args


def wait_for(predicate, timeout, interval=0.05):
    """Calls predicate() until it returns a true value or `timeout` seconds
    have passed; returns its last value (false on time-out)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(min(interval, max(0.0, deadline - time.monotonic())))


def read_json_lines(path):
    """The records of a file a helper appends JSON lines to: [] while there
    is no file; the last line, which may be partial, only once it ends."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        return []
    lines = text.split("\n")
    return [json.loads(ln) for ln in lines[:-1] if ln]


class CaseRunner:
    """Runs test cases one by one and keeps the score:

        runner = CaseRunner()
        runner.run("asm", test_asm, lab)     # name, callable, its arguments
        sys.exit(runner.finish())            # prints 'lab: N passed, N failed'

    A case passes when it returns; any exception fails it (traceback
    printed) and the next case still runs."""

    def __init__(self, title="lab"):
        self.title = title
        self.passed = 0
        self.failed = 0

    def run(self, name, fn, *args, **kw):
        start = time.monotonic()
        try:
            fn(*args, **kw)
        except SystemExit:
            raise
        except KeyboardInterrupt:
            raise
        except BaseException as e:  # noqa: BLE001 - report every failure
            self.failed += 1
            import traceback
            traceback.print_exc()
            print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - start, e), flush=True)
            return False
        self.passed += 1
        print("PASS %s (%.1f s)" % (name, time.monotonic() - start), flush=True)
        return True

    def finish(self):
        """Prints the closing line; returns the exit status (0: all passed)."""
        print("%s: %d passed, %d failed" % (self.title, self.passed, self.failed), flush=True)
        return 0 if self.failed == 0 and self.passed > 0 else 1


def run_cases(cases, title="lab"):
    """Runs callables (or (name, callable) pairs) with CaseRunner and
    returns the exit status: sys.exit(run_cases([...]))."""
    runner = CaseRunner(title)
    for case in cases:
        name, fn = case if isinstance(case, tuple) else (case.__name__, case)
        runner.run(name, fn)
    return runner.finish()


def _run(argv, timeout=30, input=None, check=False):
    r = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise LabError("%s failed (%d): %s" % (" ".join(argv), r.returncode, r.stderr.strip()))
    return r


class LabError(Exception):
    pass


def is_multicast(addr):
    if ":" in addr:
        return socket.inet_pton(socket.AF_INET6, addr)[0] == 0xFF
    return socket.inet_pton(socket.AF_INET, addr)[0] >> 4 == 0xE


def _family(addr, family=None):
    if family in (4, socket.AF_INET):
        return socket.AF_INET
    if family in (6, socket.AF_INET6):
        return socket.AF_INET6
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


# ---------------------------------------------------------------------------
# Namespace housekeeping

def list_lab_namespaces(prefix=PREFIX):
    """Names of the existing network namespaces that start with prefix."""
    r = _run(["ip", "netns", "list"])
    names = []
    for line in r.stdout.splitlines():
        name = line.split()[0] if line.split() else ""
        if name.startswith(prefix):
            names.append(name)
    return names


def pid_alive(pid):
    """True while process pid exists and is not a zombie."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return False
    return stat.rsplit(")", 1)[-1].split()[0] != "Z"


def _kill_namespace_processes(ns, grace=2.0):
    """SIGTERM, then SIGKILL, to every process inside namespace ns."""
    def pids():
        r = _run(["ip", "netns", "pids", ns])
        return [int(p) for p in r.stdout.split() if p.isdigit() and int(p) != os.getpid()]
    found = pids()
    if not found:
        return
    for pid in found:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    if not wait_for(lambda: not pids(), grace):
        for pid in pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for(lambda: not pids(), 2.0)


def _delete_namespace(ns):
    _kill_namespace_processes(ns)
    _run(["ip", "netns", "del", ns])


def cleanup_stale(all_labs=False):
    """Removes lab namespaces left by crashed runs: those whose creating
    process no longer exists (or all lab namespaces with all_labs=True),
    killing whatever still runs inside them.  Returns the removed names."""
    removed = []
    for ns in list_lab_namespaces():
        m = _NS_RE.match(ns)
        if not m:
            if not all_labs:
                continue
        elif not all_labs and (int(m.group(1)) == os.getpid() or pid_alive(int(m.group(1)))):
            continue
        _delete_namespace(ns)
        removed.append(ns)
    return removed


# ---------------------------------------------------------------------------
# Processes

class LabProcess(subprocess.Popen):
    """A process started inside a lab namespace.  Its standard output and
    error go to files in the lab's temp dir."""

    def __init__(self, argv, stdout_path, stderr_path, **kw):
        self.stdout_path = stdout_path
        self.stderr_path = stderr_path
        self.argv = argv
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            super().__init__(argv, stdout=out, stderr=err, **kw)

    def stdout_text(self):
        with open(self.stdout_path, errors="replace") as f:
            return f.read()

    def stderr_text(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def stop(self, timeout=3.0, sig=signal.SIGTERM):
        """Sends sig (SIGTERM) and waits; SIGKILL after timeout seconds.
        Returns the exit status (negative: killed by that signal)."""
        if self.poll() is None:
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass
            try:
                self.wait(timeout)
            except subprocess.TimeoutExpired:
                pass
            # Also whatever it started in its session and left behind.  Only
            # for a process that was running just now: the group id of one
            # reaped long ago may belong to someone else by now.
            self._kill_group()
            try:
                self.wait(5)
            except subprocess.TimeoutExpired:
                pass
        return self.returncode

    def _kill_group(self):
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass


class Node:
    """A namespace of the lab: a host or the router."""

    def __init__(self, lab, name):
        self.lab = lab
        self.name = name
        self.ns = "%s-%s" % (lab.prefix, name)
        self.hostname = name
        self._count = 0

    def __repr__(self):
        return "<%s %s>" % (type(self).__name__, self.name)

    def _argv(self, cmd):
        # Each command also gets its own UTS namespace with the node's name
        # as host name, so programs that default to the host name differ.
        if isinstance(cmd, str):
            cmd = ["sh", "-c", cmd]
        return (["ip", "netns", "exec", self.ns, "unshare", "--uts", "sh", "-c",
                 'echo "$0" > /proc/sys/kernel/hostname && exec "$@"', self.hostname]
                + [str(c) for c in cmd])

    def run(self, cmd, label=None, env=None, cwd=None, stdin=subprocess.DEVNULL):
        """Starts cmd (argv list, or a string for sh -c) in this namespace in
        its own session and returns a LabProcess (a subprocess.Popen).
        stdout/stderr are written to <tmpdir>/<node>.<label>.<k>.out/.err.
        The lab stops it at cleanup (SIGTERM, then SIGKILL)."""
        argv = self._argv(cmd)
        if label is None:
            first = cmd if isinstance(cmd, str) else str(cmd[0])
            label = re.sub(r"[^A-Za-z0-9_.-]", "_", os.path.basename(first.split()[0]))[:32]
        self._count += 1
        base = os.path.join(self.lab.tmpdir, "%s.%s.%d" % (self.name, label, self._count))
        proc = LabProcess(argv, base + ".out", base + ".err", env=env, cwd=cwd,
                          stdin=stdin, start_new_session=True)
        self.lab._procs.append(proc)
        return proc

    def execute(self, cmd, timeout=30, input=None, check=False):
        """Runs cmd to completion in this namespace; returns a
        subprocess.CompletedProcess with text stdout/stderr."""
        r = subprocess.run(self._argv(cmd), input=input, capture_output=True,
                           text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise subprocess.CalledProcessError(r.returncode, r.args, r.stdout, r.stderr)
        return r

    def check_output(self, cmd, timeout=30, input=None):
        """Runs cmd in this namespace and returns its standard output; raises
        subprocess.CalledProcessError (with stderr) on a non-zero status."""
        return self.execute(cmd, timeout=timeout, input=input, check=True).stdout

    def sysctl(self, name, value):
        """Sets a sysctl (dotted name, e.g. net.ipv6.conf.eth0.accept_dad)
        inside this namespace."""
        path = "/proc/sys/" + name.replace(".", "/")
        self.execute(["sh", "-c", 'printf "%s\\n" "$1" > "$2"', "sh", str(value), path],
                     check=True)

    def get_sysctl(self, name):
        path = "/proc/sys/" + name.replace(".", "/")
        return self.check_output(["cat", path]).strip()

    def ip(self, *args, check=True):
        """Runs `ip -n <ns> args...`; returns its stdout."""
        r = _run(["ip", "-n", self.ns] + [str(a) for a in args])
        if check and r.returncode != 0:
            raise LabError("ip %s in %s: %s" % (" ".join(map(str, args)), self.ns, r.stderr.strip()))
        return r.stdout


class Host(Node):
    """A lab host: one interface `ifname` on segment `segment`, addresses
    `addr4` and `addr6` (without prefix length)."""

    def __init__(self, lab, name, number, segment):
        super().__init__(lab, name)
        self.number = number
        self.segment = segment
        self.ifname = "eth0"
        self.addr4 = "10.77.%d.%d" % (segment, number)
        self.addr6 = str(ipaddress.IPv6Address("fd77:%x::%x" % (segment, number)))
        self.port = "h%d" % number  # its port on the bridge

    def addr(self, family):
        return self.addr6 if _family("", family) == socket.AF_INET6 else self.addr4


class Router(Node):
    """The router namespace: leg `seg<s>` on every segment s."""

    def __init__(self, lab):
        super().__init__(lab, "rt")
        self.legs = ["seg%d" % s for s in range(lab.segments)]

    def addr4(self, segment):
        return "10.77.%d.254" % segment

    def addr6(self, segment):
        return str(ipaddress.IPv6Address("fd77:%x::fe" % segment))


# ---------------------------------------------------------------------------
# The lab

_active_labs = []
_lab_counter = 0
_saved_handlers = {}
_cleaning = False
_pending_signal = None
_HANDLED_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def _on_signal(signum, frame):
    global _pending_signal
    if _cleaning:
        _pending_signal = signum
        return
    for lab in list(reversed(_active_labs)):
        lab.cleanup()
    raise SystemExit(128 + signum)


def _install_handlers():
    if _saved_handlers:
        return
    for sig in _HANDLED_SIGNALS:
        try:
            _saved_handlers[sig] = signal.signal(sig, _on_signal)
        except (ValueError, OSError):  # not the main thread
            pass


def _restore_handlers():
    for sig, handler in list(_saved_handlers.items()):
        try:
            signal.signal(sig, handler)
        except (ValueError, OSError):
            pass
    _saved_handlers.clear()


@atexit.register
def _cleanup_at_exit():
    for lab in list(reversed(_active_labs)):
        lab.cleanup()


class Lab:
    """Creates the namespaces on entry and removes them on exit.

    hosts:    number of hosts (named h1..hN; with several segments they are
              spread round-robin: h1 on 0, h2 on 1, ...), or a list giving
              each host's segment, e.g. [0, 0, 1]
    segments: number of bridges
    router:   add the router namespace and the multicast forwarder
    forward:  start the forwarder at once (router mode)
    """

    def __init__(self, hosts=2, segments=1, router=False, forward=True,
                 settle_timeout=20.0, keep_tmpdir=None):
        global _lab_counter
        if segments < 1 or segments > 200:
            raise ValueError("segments must be 1..200")
        if router and segments < 2:
            raise ValueError("a router needs at least two segments")
        if isinstance(hosts, int):
            layout = [i % segments for i in range(hosts)]
        else:
            layout = list(hosts)
        if not layout or len(layout) > 250 or any(not 0 <= s < segments for s in layout):
            raise ValueError("bad host layout %r" % (hosts,))
        self.prefix = "%s%d-%d" % (PREFIX, os.getpid(), _lab_counter)
        _lab_counter += 1
        self.segments = segments
        self.hosts: List[Host] = [Host(self, "h%d" % (i + 1), i + 1, s) for i, s in enumerate(layout)]
        self.router: Optional[Router] = Router(self) if router else None
        self.switch = Node(self, "sw")
        self.forward = forward
        self.settle_timeout = settle_timeout
        self.keep_tmpdir = keep_tmpdir if keep_tmpdir is not None else bool(os.environ.get("QUILLON_LAB_KEEP"))
        self.tmpdir = None
        self.forwarder = None
        self._forwarder_log = None
        self._forwarder_runs = 0
        self._procs = []
        self._namespaces = []
        self._started = False
        self._cleaned = False

    # -- context manager ----------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None and self.tmpdir and not self._cleaned:
            self.keep_tmpdir = True
        self.cleanup()
        return False

    def __getitem__(self, name):
        return self.host(name)

    def host(self, name):
        for h in self.hosts:
            if h.name == name:
                return h
        raise KeyError(name)

    def segment_hosts(self, segment):
        return [h for h in self.hosts if h.segment == segment]

    def nodes(self):
        return [self.switch] + self.hosts + ([self.router] if self.router else [])

    def namespaces(self):
        return [n.ns for n in self.nodes()]

    # -- set-up ------------------------------------------------------------

    def start(self):
        if self._started:
            return self
        self._started = True
        cleanup_stale()
        self.tmpdir = tempfile.mkdtemp(prefix=self.prefix + "-")
        _active_labs.append(self)
        _install_handlers()
        try:
            self._build()
            self._settle()
            if self.router and self.forward:
                self.start_forwarder()
        except BaseException:
            self.keep_tmpdir = True
            self.cleanup()
            raise
        return self

    def _add_namespace(self, node):
        _run(["ip", "netns", "add", node.ns], check=True)
        self._namespaces.append(node.ns)

    def _sysctls(self, node, settings):
        script = "set -e\n" + "".join(
            'echo %s > /proc/sys/%s\n' % (v, k.replace(".", "/")) for k, v in settings)
        r = node.execute(["sh", "-c", script])
        if r.returncode != 0:
            raise LabError("sysctl in %s: %s" % (node.ns, r.stderr.strip()))

    def _batch(self, node, lines):
        r = _run(["ip", "-n", node.ns, "-batch", "-"], input="\n".join(lines) + "\n")
        if r.returncode != 0:
            raise LabError("ip -batch in %s: %s" % (node.ns, r.stderr.strip()))

    @staticmethod
    def _base_sysctls(forwarding=False, ipv6=True):
        s = [
            ("net.ipv4.conf.all.rp_filter", 0), ("net.ipv4.conf.default.rp_filter", 0),
            ("net.ipv4.ip_forward", 1 if forwarding else 0),
        ]
        if not ipv6:
            return s + [("net.ipv6.conf.all.disable_ipv6", 1), ("net.ipv6.conf.default.disable_ipv6", 1)]
        for scope in ("all", "default"):
            s += [
                ("net.ipv6.conf.%s.accept_dad" % scope, 0),
                ("net.ipv6.conf.%s.dad_transmits" % scope, 0),
                ("net.ipv6.conf.%s.accept_ra" % scope, 0),
                ("net.ipv6.conf.%s.router_solicitations" % scope, 0),
            ]
        s.append(("net.ipv6.conf.all.forwarding", 1 if forwarding else 0))
        return s

    @staticmethod
    def _if_sysctls(ifname):
        return [
            ("net.ipv6.conf.%s.accept_dad" % ifname, 0),
            ("net.ipv6.conf.%s.dad_transmits" % ifname, 0),
            ("net.ipv6.conf.%s.accept_ra" % ifname, 0),
            ("net.ipv4.conf.%s.rp_filter" % ifname, 0),
        ]

    def _build(self):
        sw = self.switch
        self._add_namespace(sw)
        # The switch is layer 2 only: no IPv6 on its ports, so it sends no
        # neighbour discovery or MLD of its own.
        self._sysctls(sw, self._base_sysctls(ipv6=False))
        lines = ["link set lo up"]
        for s in range(self.segments):
            lines += [
                "link add name br%d type bridge stp_state 0 forward_delay 0 mcast_snooping 0" % s,
                "link set br%d up" % s,
            ]
        self._batch(sw, lines)

        legs = []  # (node, its ifname, switch port, segment)
        for h in self.hosts:
            legs.append((h, h.ifname, h.port, h.segment))
        if self.router:
            for s, leg in enumerate(self.router.legs):
                legs.append((self.router, leg, "rt%d" % s, s))
        nodes = self.hosts + ([self.router] if self.router else [])
        for node in nodes:
            self._add_namespace(node)
            self._sysctls(node, self._base_sysctls(forwarding=node is self.router))

        sw_lines = []
        for node, ifname, port, seg in legs:
            sw_lines += [
                "link add name %s type veth peer name %s netns %s" % (port, ifname, node.ns),
                "link set %s master br%d" % (port, seg),
                "link set %s up" % port,
            ]
        self._batch(sw, sw_lines)

        for node in nodes:
            ifnames = [ifn for n, ifn, _, _ in legs if n is node]
            settings = []
            for ifn in ifnames:
                settings += self._if_sysctls(ifn)
            self._sysctls(node, settings)
            lines = ["link set lo up"]
            if node is self.router:
                for s, ifn in enumerate(ifnames):
                    lines += [
                        "addr add %s/24 dev %s" % (self.router.addr4(s), ifn),
                        "addr add %s/64 dev %s nodad" % (self.router.addr6(s), ifn),
                        "link set %s up" % ifn,
                    ]
            else:
                lines += [
                    "addr add %s/24 dev %s" % (node.addr4, node.ifname),
                    "addr add %s/64 dev %s nodad" % (node.addr6, node.ifname),
                    "link set %s up" % node.ifname,
                ]
                if self.router:
                    lines += [
                        "route add default via %s dev %s" % (self.router.addr4(node.segment), node.ifname),
                        "route add ::/0 via %s dev %s" % (self.router.addr6(node.segment), node.ifname),
                    ]
                else:
                    lines += [
                        "route add default dev %s" % node.ifname,
                        "route add ::/0 dev %s" % node.ifname,
                    ]
            self._batch(node, lines)

    def _node_ready(self, node, ifnames):
        for ifn in ifnames:
            link = node.ip("-o", "link", "show", "dev", ifn, check=False)
            if "state UP" not in link:
                return False
            addrs = node.ip("-o", "addr", "show", "dev", ifn, check=False)
            if "tentative" in addrs or "inet6 fe80" not in addrs:
                return False
        return True

    def _settle(self):
        """Waits until every leg is up with usable addresses and every bridge
        port forwards."""
        def ready():
            r = _run(["bridge", "-n", self.switch.ns, "link", "show"])
            ports = [ln for ln in r.stdout.splitlines() if "master br" in ln]
            if len(ports) != len(self.hosts) + (self.segments if self.router else 0):
                return False
            if any("state forwarding" not in ln for ln in ports):
                return False
            for h in self.hosts:
                if not self._node_ready(h, [h.ifname]):
                    return False
            if self.router and not self._node_ready(self.router, self.router.legs):
                return False
            return True
        if not wait_for(ready, self.settle_timeout, interval=0.1):
            raise LabError("lab %s did not settle within %.0f s" % (self.prefix, self.settle_timeout))

    # -- the forwarder -----------------------------------------------------

    def start_forwarder(self, delay_ms=0, drop_every=0, drop_random=0.0, dup_every=0,
                        reorder_every=0, reorder_hold_ms=None, match_ports=(),
                        match_sources=(), match_groups=(), match_in=(), seed=None):
        """(Re)starts forwarder.py in the router namespace with these
        impairments (see forwarder.py) and waits until it listens.  Packets
        that cross while it restarts are lost, so set impairments before
        starting the daemons under test.  Returns the LabProcess."""
        if not self.router:
            raise LabError("this lab has no router")
        self.stop_forwarder()
        self._forwarder_runs += 1
        base = os.path.join(self.tmpdir, "forwarder.%d" % self._forwarder_runs)
        ready = base + ".ready"
        self._forwarder_log = base + ".json"
        argv = [PYTHON, "-S", FORWARDER_PY] + self.router.legs + ["--log", self._forwarder_log, "--ready", ready]
        if delay_ms:
            argv += ["--delay-ms", delay_ms]
        if drop_every:
            argv += ["--drop-every", drop_every]
        if drop_random:
            argv += ["--drop-random", drop_random]
        if dup_every:
            argv += ["--dup-every", dup_every]
        if reorder_every:
            argv += ["--reorder-every", reorder_every]
        if reorder_hold_ms is not None:
            argv += ["--reorder-hold-ms", reorder_hold_ms]
        for p in match_ports:
            argv += ["--match-port", p]
        for a in match_sources:
            argv += ["--match-src", a]
        for a in match_groups:
            argv += ["--match-dst", a]
        for i in match_in:
            argv += ["--match-in", i]
        if seed is not None:
            argv += ["--seed", seed]
        proc = self.router.run(argv, label="forwarder")
        if not wait_for(lambda: os.path.exists(ready) or proc.poll() is not None, 10.0):
            raise LabError("forwarder did not start")
        if proc.poll() is not None:
            raise LabError("forwarder failed: " + proc.stderr_text())
        self.forwarder = proc
        return proc

    def stop_forwarder(self):
        """Stops the forwarder (multicast stops crossing the router) and
        returns its final counts, or None if none was running."""
        if self.forwarder is None:
            return None
        self.forwarder.stop()
        self.forwarder = None
        return self.forwarder_stats()

    def forwarder_stats(self):
        """The forwarder's counts as a dict (they may lag up to 0.1 s while
        it runs; exact after stop_forwarder()).  Keys: frames_seen, relayed,
        sent, ttl_expired, matched, dropped_every, dropped_random, duplicated,
        reordered, delayed, held_released_by_timeout, not_relayed, malformed,
        send_errors, pending, holding, legs {ifname: {in, out}}."""
        if not self._forwarder_log or not os.path.exists(self._forwarder_log):
            return {}
        with open(self._forwarder_log) as f:
            return json.load(f)

    # -- helpers bound to this lab -------------------------------------------

    def receiver(self, host, group, port, **kw):
        return receiver(host, group, port, **kw)

    def sniffer(self, host, **kw):
        return sniffer(host, **kw)

    def udp_send(self, host, dst, port, payload, **kw):
        return udp_send(host, dst, port, payload, **kw)

    # -- tear-down ---------------------------------------------------------

    def drop_counts(self):
        """Where datagrams were dropped, as counters to compare before and
        after a measurement: {"backlog": frames the host's per-CPU input
        backlog (net.core.netdev_max_backlog) refused, host-wide, so other
        labs on the machine add to it; "bridge": frames the switch's ports
        dropped; "sockets": {host name: datagrams its UDP sockets dropped for
        want of buffer space (UdpRcvbufErrors of its namespace)}}.  The first
        two are the lab's own losses, the last the programs'."""
        backlog = 0
        with open("/proc/net/softnet_stat") as f:
            for line in f:
                backlog += int(line.split()[1], 16)
        bridge = 0
        out = self.switch.check_output(["ip", "-s", "-j", "link", "show"])
        for link in json.loads(out or "[]"):
            stats = link.get("stats64", {})
            bridge += stats.get("rx", {}).get("dropped", 0) + stats.get("tx", {}).get("dropped", 0)
        sockets = {}
        for h in self.hosts:
            lines = [l.split() for l in h.check_output(["cat", "/proc/net/snmp"]).splitlines() if l.startswith("Udp:")]
            if len(lines) >= 2:
                sockets[h.name] = int(dict(zip(lines[0][1:], lines[1][1:])).get("RcvbufErrors", 0))
        return {"backlog": backlog, "bridge": bridge, "sockets": sockets}

    def cleanup(self):
        """Stops every process of the lab and deletes its namespaces.
        Idempotent; also run on exit and on SIGTERM/SIGINT/SIGHUP."""
        global _cleaning, _pending_signal
        if self._cleaned or not self._started:
            return
        was_cleaning = _cleaning
        _cleaning = True
        try:
            procs = [p for p in self._procs if p.poll() is None]
            self._procs = []
            for p in procs:
                if p.poll() is None:
                    try:
                        os.kill(p.pid, signal.SIGTERM)
                    except ProcessLookupError:
                        pass
            deadline = time.monotonic() + 3.0
            for p in procs:
                try:
                    p.wait(max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    pass
            for p in procs:
                p._kill_group()
                try:
                    p.wait(2)
                except subprocess.TimeoutExpired:
                    pass
            for ns in reversed(self._namespaces):
                _delete_namespace(ns)
            # Anything of this lab that the list missed (e.g. a failed start).
            for ns in list_lab_namespaces(self.prefix + "-"):
                _delete_namespace(ns)
            self._namespaces = []
            self._cleaned = True
            if self in _active_labs:
                _active_labs.remove(self)
            if self.tmpdir:
                if self.keep_tmpdir:
                    print("lab %s: files kept in %s" % (self.prefix, self.tmpdir), file=sys.stderr)
                else:
                    shutil.rmtree(self.tmpdir, ignore_errors=True)
        finally:
            _cleaning = was_cleaning
            if not _active_labs:
                _restore_handlers()
        if not _cleaning and _pending_signal is not None:
            signum, _pending_signal = _pending_signal, None
            raise SystemExit(128 + signum)


# ---------------------------------------------------------------------------
# Traffic helpers (run in the namespaces)

@dataclasses.dataclass
class Datagram:
    """One received (or sniffed) UDP datagram.  `time` is the kernel's
    receive time (wall clock, seconds); `ttl` the IPv4 TTL or IPv6 hop limit
    it arrived with; `dst` its destination address; `direction` is "in" or
    "out" for the sniffer, None for the receiver."""
    time: float
    src: str
    sport: int
    dst: Optional[str]
    dport: int
    payload: bytes
    ttl: Optional[int]
    direction: Optional[str] = None


def _helper_argv(host, mode):
    return [PYTHON, "-S", LAB_PY, mode]


def udp_send(host, dst, port, payload, src_port=None, ttl=None, family=None,
             count=1, interval=0.0, src=None, timeout=60):
    """Sends UDP datagrams from inside host's namespace to dst:port and
    returns the wall-clock send time of each (list of floats).

    payload: bytes (sent `count` times) or a list of bytes (each sent once,
    in order).  interval: seconds between datagrams.  src/src_port: bind to
    this address/port (SO_REUSEADDR).  ttl: IPv4 TTL / IPv6 hop limit; for a
    multicast destination it defaults to 64 (the system default would be 1,
    which never crosses the router) and the datagram leaves through
    host.ifname; for unicast the system default applies.  family: 4/6 or
    AF_INET/AF_INET6, by default taken from dst."""
    payloads = [payload] * count if isinstance(payload, (bytes, bytearray)) else list(payload)
    job = {
        "family": 6 if _family(dst, family) == socket.AF_INET6 else 4,
        "dst": dst, "port": int(port), "src": src, "src_port": src_port,
        "ttl": ttl, "ifname": getattr(host, "ifname", None), "interval": float(interval),
        "payloads": [bytes(p).hex() for p in payloads],
    }
    r = host.execute(_helper_argv(host, "_send"), input=json.dumps(job), timeout=timeout)
    if r.returncode != 0:
        raise LabError("udp_send from %s failed: %s" % (host.name, r.stderr.strip()))
    return json.loads(r.stdout)["times"]


class Receiver:
    """A background receiver (or sniffer) inside a namespace.  Records go to
    a JSON-lines file; read them at any time with records()."""

    def __init__(self, host, mode, job, ready_timeout=10.0):
        self.host = host
        self.path = os.path.join(host.lab.tmpdir, "%s.%s.%d.jsonl" % (
            host.name, mode.strip("_"), len(host.lab._procs)))
        job = dict(job, out=self.path)
        argv = _helper_argv(host, mode) + [json.dumps(job)]
        self.proc = host.run(argv, label=mode.strip("_"))
        ok = wait_for(lambda: self._ready() or self.proc.poll() is not None, ready_timeout)
        if not ok or not self._ready():
            self.proc.stop()
            raise LabError("%s on %s did not start: %s" % (mode, host.name, self.proc.stderr_text().strip()))

    def _lines(self):
        return read_json_lines(self.path)

    def _ready(self):
        lines = self._lines()
        return bool(lines) and lines[0].get("ready")

    def records(self) -> List[Datagram]:
        out = []
        for d in self._lines():
            if "ready" in d:
                continue
            out.append(Datagram(d["t"], d["src"], d["sport"], d.get("dst"), d["dport"],
                                bytes.fromhex(d["payload"]), d.get("ttl"), d.get("dir")))
        return out

    def wait_count(self, n, timeout):
        """Waits until at least n datagrams arrived (or timeout); returns the
        records so far."""
        wait_for(lambda: len(self.records()) >= n, timeout)
        return self.records()

    def wait(self, timeout=None):
        """Waits until the helper ends by itself (duration or count reached);
        returns the records."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
        return self.stop()

    def stop(self):
        """Stops the helper and returns all records."""
        self.proc.stop()
        return self.records()


def receiver(host, group, port, source=None, duration=60.0, count=None, family=None):
    """Starts a UDP receiver in host's namespace and returns a Receiver once
    it has joined.  group: a multicast group (joined on host.ifname; ASM, or
    SSM (S,G) when `source` is given) or a unicast/wildcard address to bind
    to.  It records every datagram to that address and port, with its
    kernel receive time, source address and port, TTL / hop limit and
    payload, for at most `duration` seconds or until `count` arrived."""
    fam = _family(group, family)
    job = {"family": 6 if fam == socket.AF_INET6 else 4, "group": group, "port": int(port),
            "source": source, "ifname": host.ifname, "duration": float(duration),
            "count": count}
    return Receiver(host, "_recv", job)


def sniffer(host, port=None, duration=60.0, count=None, ifname=None):
    """Starts an AF_PACKET capture on host's interface and returns a
    Receiver whose records are every IPv4/IPv6 UDP datagram seen in either
    direction (direction "in"/"out"), optionally only those with `port` as
    source or destination port.  Later fragments are not recorded."""
    job = {"port": port, "ifname": ifname or host.ifname, "duration": float(duration),
            "count": count}
    return Receiver(host, "_sniff", job)


# -- helper processes (inside a namespace) -------------------------------------

def _sockaddr_storage(family, addr):
    if family == socket.AF_INET:
        sa = struct.pack("=H", socket.AF_INET) + b"\0\0" + socket.inet_pton(family, addr)
    else:
        sa = struct.pack("=H", socket.AF_INET6) + b"\0\0" + b"\0" * 4 + socket.inet_pton(family, addr) + b"\0" * 4
    return sa + b"\0" * (128 - len(sa))


def _helper_send(job):
    fam = socket.AF_INET6 if job["family"] == 6 else socket.AF_INET
    level = socket.IPPROTO_IPV6 if fam == socket.AF_INET6 else socket.IPPROTO_IP
    s = socket.socket(fam, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if job["src"] or job["src_port"]:
        s.bind((job["src"] or "", job["src_port"] or 0))
    ttl = job["ttl"]
    if is_multicast(job["dst"]):
        ttl = DEFAULT_MULTICAST_TTL if ttl is None else ttl
        if fam == socket.AF_INET:
            s.setsockopt(level, socket.IP_MULTICAST_TTL, ttl)
        else:
            s.setsockopt(level, socket.IPV6_MULTICAST_HOPS, ttl)
        if job["ifname"]:
            index = socket.if_nametoindex(job["ifname"])
            if fam == socket.AF_INET:
                s.setsockopt(level, socket.IP_MULTICAST_IF, struct.pack("=4s4si", b"\0" * 4, b"\0" * 4, index))
            else:
                s.setsockopt(level, socket.IPV6_MULTICAST_IF, index)
    elif ttl is not None:
        s.setsockopt(level, IP_TTL if fam == socket.AF_INET else socket.IPV6_UNICAST_HOPS, ttl)
    times = []
    start = time.monotonic()
    for i, hexpayload in enumerate(job["payloads"]):
        if i and job["interval"]:
            delay = start + i * job["interval"] - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        times.append(time.time())
        s.sendto(bytes.fromhex(hexpayload), (job["dst"], job["port"]))
    json.dump({"times": times}, sys.stdout)


class _Recorder:
    def __init__(self, job):
        self.job = job
        self.out = open(job["out"], "a")
        self.n = 0
        self.stopping = False
        # A signal wakes the select() below through this pipe.
        self.wake_r, wake_w = os.pipe()
        os.set_blocking(wake_w, False)
        signal.set_wakeup_fd(wake_w)
        signal.signal(signal.SIGTERM, self._stop)
        signal.signal(signal.SIGINT, self._stop)

    def _stop(self, signum, frame):
        self.stopping = True

    def ready(self):
        self.write({"ready": True})

    def write(self, d):
        self.out.write(json.dumps(d) + "\n")
        self.out.flush()

    def loop(self, sock, handle):
        deadline = time.monotonic() + self.job["duration"]
        count = self.job.get("count")
        while not self.stopping and (count is None or self.n < count):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            r, _, _ = select.select([sock, self.wake_r], [], [], left)
            if sock not in r:
                continue
            d = handle()
            if d is not None:
                self.write(d)
                self.n += 1


def _timestamp(ancdata):
    for level, kind, data in ancdata:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
            sec, nsec = struct.unpack_from("=qq", data)
            return sec + nsec / 1e9
    return time.time()


def _helper_recv(job):
    fam = socket.AF_INET6 if job["family"] == 6 else socket.AF_INET
    level = socket.IPPROTO_IPV6 if fam == socket.AF_INET6 else socket.IPPROTO_IP
    group = job["group"]
    s = socket.socket(fam, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    if fam == socket.AF_INET6:
        s.setsockopt(level, socket.IPV6_V6ONLY, 1)
        s.setsockopt(level, IPV6_RECVHOPLIMIT, 1)
        s.setsockopt(level, IPV6_RECVPKTINFO, 1)
    else:
        s.setsockopt(level, IP_RECVTTL, 1)
        s.setsockopt(level, IP_PKTINFO, 1)
    s.bind((group or "", job["port"]))
    if group and is_multicast(group):
        try:  # only the groups this socket joined
            s.setsockopt(level, IP_MULTICAST_ALL if fam == socket.AF_INET else IPV6_MULTICAST_ALL, 0)
        except OSError:
            pass
        index = socket.if_nametoindex(job["ifname"])
        head = struct.pack("=I4x", index)
        if job["source"]:
            req = head + _sockaddr_storage(fam, group) + _sockaddr_storage(fam, job["source"])
            s.setsockopt(level, MCAST_JOIN_SOURCE_GROUP, req)
        else:
            s.setsockopt(level, MCAST_JOIN_GROUP, head + _sockaddr_storage(fam, group))
    rec = _Recorder(job)
    rec.ready()

    def handle():
        data, anc, _, addr = s.recvmsg(65535, 1024)
        ttl = dst = None
        for lvl, kind, cdata in anc:
            if fam == socket.AF_INET and lvl == socket.IPPROTO_IP:
                if kind == IP_TTL:
                    ttl = struct.unpack_from("=i", cdata)[0]
                elif kind == IP_PKTINFO:
                    dst = socket.inet_ntop(fam, cdata[8:12])
            elif fam == socket.AF_INET6 and lvl == socket.IPPROTO_IPV6:
                if kind == IPV6_HOPLIMIT:
                    ttl = struct.unpack_from("=i", cdata)[0]
                elif kind == IPV6_PKTINFO:
                    dst = socket.inet_ntop(fam, cdata[0:16])
        return {"t": _timestamp(anc), "src": addr[0], "sport": addr[1], "dst": dst,
                "dport": job["port"], "ttl": ttl, "payload": data.hex()}
    rec.loop(s, handle)


def _helper_sniff(job):
    sys.path.insert(0, HERE)
    import forwarder
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(forwarder.ETH_P_ALL))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.bind((job["ifname"], forwarder.ETH_P_ALL))
    rec = _Recorder(job)
    rec.ready()
    port = job.get("port")

    def handle():
        frame, anc, _, addr = s.recvmsg(65535, 1024)
        if addr[0] != job["ifname"] or len(frame) < 14:
            return None
        ethertype = struct.unpack_from("!H", frame, 12)[0]
        version = {forwarder.ETH_P_IP: 4, forwarder.ETH_P_IPV6: 6}.get(ethertype)
        if version is None:
            return None
        packet = frame[14:]
        p = forwarder.parse_ip(packet, version)
        if p is None or p.sport is None:
            return None
        if port is not None and port not in (p.sport, p.dport):
            return None
        payload = packet[p.udp_offset + 8:p.total_len]
        return {"t": _timestamp(anc), "src": p.src, "sport": p.sport, "dst": p.dst,
                "dport": p.dport, "ttl": p.ttl, "payload": payload.hex(),
                "dir": "out" if addr[2] == forwarder.PACKET_OUTGOING else "in"}
    rec.loop(s, handle)


def _main(argv):
    if argv and argv[0] == "_send":
        _helper_send(json.loads(sys.stdin.read()))
        return 0
    if argv and argv[0] == "_recv":
        _helper_recv(json.loads(argv[1]))
        return 0
    if argv and argv[0] == "_sniff":
        _helper_sniff(json.loads(argv[1]))
        return 0
    ap = argparse.ArgumentParser(description="Network lab housekeeping.")
    ap.add_argument("--cleanup", action="store_true",
                    help="remove lab namespaces of processes that no longer exist")
    ap.add_argument("--cleanup-all", action="store_true",
                    help="remove every lab namespace, also of running labs")
    opts = ap.parse_args(argv)
    if opts.cleanup or opts.cleanup_all:
        for ns in cleanup_stale(all_labs=opts.cleanup_all):
            print("removed", ns)
        return 0
    ap.print_help()
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
