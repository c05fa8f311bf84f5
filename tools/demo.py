#!/usr/bin/env python3
"""The live demo behind tools/demo: three beacons in a virtual network.

As root: one segment of three network namespaces (tests/net/lab.py), one
beacon in each -- alpha (any-source multicast only), bravo (also its SSM
channel, -S) and charlie (sends on SSM without joining, -O) -- each writing
its XML dump into the output directory every 5 seconds.  quillon-view
serves alpha's dump as a live web page on 127.0.0.1 (port 9798 unless that
is taken).  While the first measurement windows fill (40 probes, about half
a minute) it shows which beacon hears which; then it prints the reception
matrix read from the dump files and refreshes it every 10 seconds until
Ctrl-C, or until --seconds have passed since the beacons were up (the
build and the network's set-up before are not counted).  The namespaces and the web server
go away on exit; the dumps and logs stay.

Without root it cannot create namespaces; it then starts one beacon on
loopback inside a private network namespace of the user's own (unshare), so
that nothing reaches the real network, and shows its start-up line and its
dump, which lists no other beacon.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request
import xml.etree.ElementTree as ET

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "net"))

GROUP = "239.77.0.1"
DUMP_INTERVAL = 5
PROGRESS_EVERY = 3.0
REFRESH_EVERY = 10.0
VIEW_PORT = 9798

# name, extra options, country, what it does
BEACONS = [
    ("alpha", [], "NO", "any-source multicast only"),
    ("bravo", ["-S"], "BR", "also sends and receives on its SSM channel (-S)"),
    ("charlie", ["-O"], "CL", "also sends on SSM, joins no SSM channel (-O)"),
]
CHANNELS = ("asm", "ssm")


def say(text=""):
    print(text, flush=True)


# ---------------------------------------------------------------------------
# Reading the dumps

def read_dump(path):
    """The local beacon's measurements in a dump: {sender address: {channel:
    attributes}} and the addresses of every source it lists; None when the
    file is missing or not well-formed."""
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError):
        return None
    group = root.find("group")
    local = group.find("beacon") if group is not None else None
    if local is None or local.find("sources") is None:
        return None
    heard, figures = [], {}
    for src in local.find("sources").findall("source"):
        addr = src.get("addr", "").rsplit("/", 1)[0]
        heard.append(addr)
        for ch in CHANNELS:
            el = src.find(ch)
            if el is not None:
                figures.setdefault(addr, {})[ch] = el.attrib
    return {"heard": heard, "figures": figures}


def cell_text(attrib):
    if attrib is None:
        return "-"
    delay = attrib.get("delay", "?")
    if attrib.get("future") == "true":
        delay = "-" + delay  # the sender's clock is ahead
    return "%5s%% / %s / %s" % (attrib.get("loss", "?"), delay, attrib.get("jitter", "?"))


def matrix(names, addrs, dumps, expected):
    """The reception matrix as lines of text: rows are receivers, columns
    senders, two lines per receiver (ASM, SSM)."""
    cells = {}
    for r in names:
        d = dumps.get(r)
        for s in names:
            for ch in CHANNELS:
                if r == s:
                    text = "(self)"
                else:
                    a = d["figures"].get(addrs[s], {}).get(ch) if d else None
                    text = cell_text(a)
                    if a is None and (r, s, ch) in expected:
                        text = "- (filling)"
                cells[r, s, ch] = text
    width = max([len(t) for t in cells.values()] + [len(n) for n in names]) + 2
    head = "%-9s %-4s " % ("receiver", "") + "".join("| %-*s" % (width, n) for n in names)
    lines = [head, "-" * len(head)]
    for r in names:
        for ch in CHANNELS:
            lines.append("%-9s %-4s " % (r if ch == "asm" else "", ch.upper())
                         + "".join("| %-*s" % (width, cells[r, s, ch]) for s in names))
    return lines


def measured_cells(names, addrs, dumps):
    got = set()
    for r in names:
        d = dumps.get(r)
        if not d:
            continue
        for s in names:
            for ch in d["figures"].get(addrs[s], {}):
                got.add((r, s, ch))
    return got


def expected_cells(names):
    """What this network can measure: every beacon hears every other one's
    any-source probes; only bravo joins SSM channels, and only charlie (and
    bravo itself) send on SSM."""
    cells = {(r, s, "asm") for r in names for s in names if r != s}
    cells.add(("bravo", "charlie", "ssm"))
    return cells


# ---------------------------------------------------------------------------
# The web page: quillon-view serve on one dump, on loopback only

class WebPage:
    def __init__(self, view, dump, log):
        self.proc, self.url, self.why = None, None, None
        if not view or not os.access(view, os.X_OK):
            self.why = "quillon-view is not built (%s)" % view
            return
        port = VIEW_PORT if _port_free(VIEW_PORT) else _port_free(0)
        with open(log, "wb") as out:
            # serve learns the beacons' dump interval (-I) from the rewrites;
            # the history (the page's "since when") lives beside the dumps.
            self.proc = subprocess.Popen([view, "serve", dump, "--listen", "127.0.0.1:%d" % port,
                                          "--history", os.path.join(os.path.dirname(dump), "history.db")],
                                         stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                         start_new_session=True)
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                self.url = "http://127.0.0.1:%d/" % port
                return
            except OSError:
                time.sleep(0.1)
        self.why = "quillon-view serve did not start (see %s)" % _show(log)
        self.stop()

    def shows(self):
        """(beacons, measurements) that the page's data holds now, or None."""
        try:
            with urllib.request.urlopen(self.url + "matrix.json", timeout=2) as r:
                d = json.load(r)
            return len(d["beacons"]), len(d["measurements"])
        except (OSError, ValueError, KeyError, TypeError):
            return None

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(3)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def _port_free(port):
    """port when nothing listens on it on 127.0.0.1 (with 0: some free
    port), else None."""
    with socket.socket() as s:
        # As the server will bind: connections of an earlier run that are
        # still closing do not make the port busy.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return None
        return s.getsockname()[1]


# ---------------------------------------------------------------------------
# As root: the three-beacon network

def run_network(opts):
    import lab
    from lab import Lab
    out = opts.output
    names = [b[0] for b in BEACONS]
    for n in names:
        for ext in (".xml", ".xml.working", ".log"):
            try:
                os.unlink(os.path.join(out, n + ext))
            except FileNotFoundError:
                pass
    try:
        lab.require_root()
    except SystemExit:  # it has said why the namespaces cannot be made
        say()
        return run_alone(opts, NO_NAMESPACES)
    say("Starting a virtual network: one switch and three hosts, each in its own network namespace.")
    t_lab = time.monotonic()
    page = None
    try:
        with Lab(hosts=len(BEACONS)) as net:
            page = WebPage(opts.view, os.path.join(out, "alpha.xml"), os.path.join(out, "view.log"))
            status = _run_beacons(opts, net, names, page, t_lab)
            if status:
                return status
    finally:
        if page:
            page.stop()
    _give_back(out)
    say("The dump files stay in %s/: %s" % (_show(out),
                                           ", ".join(n + ".xml" for n in names)))
    say("(the beacons' logs are next to them: %s)" % ", ".join(n + ".log" for n in names))
    return 0


def _run_beacons(opts, net, names, page, t_lab):
    from lab import wait_for
    out = opts.output
    procs, addrs, logs, dumps = {}, {}, {}, {}
    for host, (name, extra, country, what) in zip(net.hosts, BEACONS):
        addrs[name] = host.addr4
        logs[name] = os.path.join(out, name + ".log")
        dumps[name] = os.path.join(out, name + ".xml")
        argv = [opts.binary, "-n", name, "-a", "noc@%s.example.net" % name, "-b", GROUP,
                "-C", country, "-W", "https://%s.example.net/" % name,
                "-d", dumps[name], "-I", str(DUMP_INTERVAL), "-v"] + extra
        procs[name] = host.run(["sh", "-c", 'log=$1; shift; exec "$@" >"$log" 2>&1', "sh",
                                logs[name]] + argv, label=name)
    for name in names:
        started = wait_for(lambda: "Local name is" in _read(logs[name])
                           or procs[name].poll() is not None, 10.0)
        if not started or procs[name].poll() is not None:
            say("demo: beacon %s did not start; its log (%s):" % (name, logs[name]))
            say(_read(logs[name])[-2000:])
            return 1
    t0 = time.monotonic()
    say("Network up in %.1f s.  Beacon group %s, dumps every %d s in %s/"
        % (t0 - t_lab, GROUP, DUMP_INTERVAL, _show(out)))
    say()
    for name, extra, country, what in BEACONS:
        say("  %-8s %-10s country %s  %s" % (name, addrs[name], country, what))
        say("           " + _startup_line(logs[name]))
    say()
    if page.url:
        port = page.url.rstrip("/").rsplit(":", 1)[1]
        say("Web page: open %s in a browser (quillon-view serve on alpha's dump)." % page.url)
        say("It listens on this machine's loopback only; from another machine use")
        say("ssh -L %s:127.0.0.1:%s THIS-HOST and open the same URL there." % (port, port))
    else:
        say("No web page: %s." % page.why)
    if opts.seconds:
        say("The demo stops by itself after %.0f s; Ctrl-C stops it sooner." % opts.seconds)
    else:
        say("The demo runs until you press Ctrl-C (or start it with --seconds N to stop after N s).")
    say()
    say("Each beacon sends bursts of 10 probes with random pauses (about 5 s) between them;")
    say("a measurement needs a window of 40 probes, so the first figures take about half a minute.")
    say("Meanwhile, who hears whom (* : figures ready for that pair):")
    say()

    expected = expected_cells(names)
    end = t0 + opts.seconds if opts.seconds else None

    def elapsed():
        return time.monotonic() - t0

    def alive():
        for name in names:
            if procs[name].poll() is not None:
                say("demo: beacon %s ended (status %s); its log (%s):"
                    % (name, procs[name].poll(), logs[name]))
                say(_read(logs[name])[-2000:])
                return False
        return True

    def current():
        return {n: read_dump(dumps[n]) for n in names}

    # Phase 1: who hears whom, until every measurable pair has figures.
    next_progress = 0.0
    while True:
        if not alive():
            return 1
        now = elapsed()
        state = current()
        done = measured_cells(names, addrs, state) >= expected
        if done or (end and time.monotonic() >= end) or now > opts.fill_limit:
            break
        if now >= next_progress:
            parts = []
            for r in names:
                d = state[r]
                if d is None:
                    parts.append("%s: no dump yet" % r)
                    continue
                heard = [n + ("*" if d["figures"].get(addrs[n]) else "")
                         for n in names if addrs[n] in d["heard"]]
                parts.append("%s hears %s" % (r, ", ".join(heard) if heard else "nobody yet"))
            have = len(measured_cells(names, addrs, state) & expected)
            say("[%3.0f s] %s   (%d of %d measured)" % (now, " | ".join(parts), have, len(expected)))
            next_progress = now + PROGRESS_EVERY
        time.sleep(0.5)

    # Phase 2: the matrix, refreshed until the end.
    told = False
    while True:
        state = current()
        got = measured_cells(names, addrs, state)
        say()
        say("Reception matrix after %.0f s (%s) -- rows: receiver, columns: sender"
            % (elapsed(), time.strftime("%H:%M:%S")))
        say("each cell: loss %% / one-way delay ms / jitter ms, from %s/<receiver>.xml; "
            "'-': not measured" % _show(out))
        say()
        for line in matrix(names, addrs, state, expected):
            say("  " + line)
        missing = expected - got
        if missing:
            say()
            say("  still filling: " + ", ".join("%s<-%s %s" % (r, s, ch.upper())
                                                for r, s, ch in sorted(missing)))
        elif page.url and not told:
            shown = page.shows()
            if shown:
                say()
                say("  The web page %s shows alpha's dump: %d beacons, %d measurements."
                    % (page.url, shown[0], shown[1]))
                told = True
        if (opts.exit_when_complete and not missing) or (end and time.monotonic() >= end):
            break
        wake = time.monotonic() + REFRESH_EVERY
        if end:
            wake = min(wake, end)
        while time.monotonic() < wake:
            if not alive():
                return 1
            time.sleep(0.5)
    say()
    say("Stopping the beacons (each sends a farewell report), the web server, and removing the namespaces.")
    return 0


def _show(path):
    """A path as the user will type it: relative when under the current
    directory."""
    rel = os.path.relpath(path, os.getcwd())
    return path if rel.startswith("..") else rel


def _read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def _startup_line(log):
    for line in _read(log).splitlines():
        if "Local name is" in line:
            return line.strip()
    return "(no start-up line)"


def _give_back(out):
    """Under sudo, hands the output directory back to the calling user."""
    uid, gid = os.environ.get("SUDO_UID"), os.environ.get("SUDO_GID")
    if os.geteuid() != 0 or not uid or not uid.isdigit():
        return
    for dirpath, dirnames, filenames in os.walk(out):
        for p in [dirpath] + [os.path.join(dirpath, f) for f in filenames]:
            try:
                os.chown(p, int(uid), int(gid or uid))
            except OSError:
                pass


# ---------------------------------------------------------------------------
# Without root: one beacon on loopback

NEEDS_ROOT = """\
This demo needs root.  Its three beacons each run in their own network
namespace, joined by a virtual switch, and only root can create those
(ip netns).  Run it as root:

    bash tools/demo            (as root)
    sudo bash tools/demo       (as a user allowed to use sudo)
"""


NO_NAMESPACES = """\
This demo needs network namespaces (ip netns) for its three beacons, and
this system does not let it create them (see the line above).
"""


def run_alone(opts, why=NEEDS_ROOT):
    say(why)
    unshare = shutil.which("unshare")
    ok = unshare and subprocess.run([unshare, "-rn", "true"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL).returncode == 0
    if not ok or not shutil.which("ip"):
        say("A single beacon cannot be shown either: this system does not let an ordinary user")
        say("create a private network namespace (unshare -rn), and a beacon started in the")
        say("machine's own namespace would join its group on the real network.")
        return 1
    dump = os.path.join(opts.output, "solo.xml")
    log = os.path.join(opts.output, "solo.log")
    for p in (dump, log):
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass
    say("Meanwhile, here is one beacon on loopback, in a private network namespace of your")
    say("own (unshare -rn: only a loopback interface, nothing reaches the real network).")
    say("With nobody else to hear, its dump lists no sources.")
    say()
    script = ('ip link set lo up && ip route add 224.0.0.0/4 dev lo && '
              'log=$1 && shift && exec "$@" >"$log" 2>&1')
    argv = [unshare, "-rn", "sh", "-c", script, "sh", log, opts.binary, "-n", "solo",
            "-a", "noc@solo.example.net", "-b", GROUP, "-s", "127.0.0.1", "-C", "NO",
            "-d", dump, "-I", str(DUMP_INTERVAL), "-v"]
    proc = subprocess.Popen(argv, start_new_session=True)
    try:
        deadline = time.monotonic() + DUMP_INTERVAL + 5
        while time.monotonic() < deadline and proc.poll() is None and not os.path.exists(dump):
            time.sleep(0.2)
        say("$ quillon " + " ".join(argv[argv.index("-n"):]))
        say(_read(log).rstrip())
        if proc.poll() is not None:
            say("demo: the beacon ended with status %s." % proc.returncode)
            return 1
        if not os.path.exists(dump):
            say("demo: no dump appeared within %d s." % (DUMP_INTERVAL + 5))
            return 1
        say()
        say("Its dump, %s:" % _show(dump))
        say()
        say(_read(dump).rstrip())
        if opts.seconds:
            rest = opts.seconds - (time.monotonic() - (deadline - DUMP_INTERVAL - 5))
            if rest > 0:
                time.sleep(rest)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
    say()
    say("Beacon stopped.  For the reception matrix of three beacons, run as root: bash tools/demo")
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="tools/demo",
        description="Runs three quillon beacons in network namespaces and shows their "
                    "reception matrix (root needed; without root, one beacon on loopback).")
    ap.add_argument("--seconds", type=float, default=0,
                    help="stop this many seconds after the beacons are up; the build and the "
                         "network's set-up before are not counted (default: run until Ctrl-C)")
    ap.add_argument("--output", default=os.path.join(REPO, "demo-output"),
                    help="directory for the dump files and logs (default: demo-output/)")
    ap.add_argument("--binary", default=os.path.join(REPO, "build", "quillon"),
                    help="the quillon program (default: build/quillon)")
    ap.add_argument("--view", default=None,
                    help="the quillon-view program (default: the one beside --binary)")
    ap.add_argument("--exit-when-complete", action="store_true",
                    help="stop as soon as every pair that can be measured has figures "
                         "(for automated checks; --seconds stays the limit)")
    ap.add_argument("--fill-limit", type=float, default=120.0, help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    opts.binary = os.path.abspath(opts.binary)
    opts.view = os.path.abspath(opts.view or os.path.join(os.path.dirname(opts.binary), "quillon-view"))
    opts.output = os.path.abspath(opts.output)
    if not os.access(opts.binary, os.X_OK):
        say("demo: %s is not there; run bash tools/demo to build it." % opts.binary)
        return 1
    os.makedirs(opts.output, exist_ok=True)
    try:
        if os.geteuid() == 0:
            return run_network(opts)
        return run_alone(opts)
    except KeyboardInterrupt:
        say()
        say("Interrupted.")
        return 130
    except SystemExit as e:  # the lab's handler of Ctrl-C / SIGTERM, after its clean-up
        if isinstance(e.code, int) and e.code >= 128:
            _give_back(opts.output)
            say()
            say("Stopped; namespaces removed.  Dumps and logs are in %s/"
                % _show(opts.output))
        raise


if __name__ == "__main__":
    sys.exit(main())
