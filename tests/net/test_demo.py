#!/usr/bin/env python3
"""The one-command demo, run the way an automated check runs it:

    tools/demo --seconds 60 --exit-when-complete --binary BIN --output DIR

Time budget: at most 70 s wall time (typically 20-40 s: the demo stops as
soon as every pair that can be measured has figures, at the latest after
60 s).  Checks that it printed the reception matrix with figures for every
measurable pair and "-" elsewhere, the URL of its web page, which served
the same matrix, and how to stop it; left well-formed dumps of the three
beacons with what each of them is; removed its namespaces, and stopped its
beacons and web server.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402

REPO = os.path.dirname(os.path.dirname(HERE))
DEMO = os.path.join(REPO, "tools", "demo")
NAMES = ["alpha", "bravo", "charlie"]
COUNTRIES = {"alpha": "NO", "bravo": "BR", "charlie": "CL"}
# Every beacon hears every other one's any-source probes; only bravo joins
# SSM channels, and of the others only charlie sends on SSM.
MEASURED = {(r, s, "ASM") for r in NAMES for s in NAMES if r != s} | {("bravo", "charlie", "SSM")}
CELL = re.compile(r"^(\d+\.\d)% / (-?\d+\.\d{3}) / (\d+\.\d{3})$")
LIMIT = 60


def fail(msg):
    raise AssertionError(msg)


def last_matrix(text):
    """The cells of the last matrix printed: {(receiver, sender, channel):
    text}."""
    blocks = text.split("Reception matrix after ")
    if len(blocks) < 2:
        fail("no reception matrix in the output:\n" + text[-3000:])
    lines = blocks[-1].splitlines()
    head = next((ln for ln in lines if ln.strip().startswith("receiver")), None)
    if head is None:
        fail("matrix without a header line")
    senders = [c.strip() for c in head.split("|")[1:]]
    if senders != NAMES:
        fail("matrix columns %r, want %r" % (senders, NAMES))
    cells, receiver = {}, None
    for ln in lines:
        parts = ln.split("|")
        if len(parts) != len(NAMES) + 1:
            continue
        left = parts[0].split()
        if not left or left[0] == "receiver":
            continue
        if len(left) == 2:
            receiver, channel = left
        else:
            channel = left[0]
        for s, c in zip(NAMES, parts[1:]):
            cells[receiver, s, channel] = c.strip()
    return cells


def main():
    args = lab.parse_args()
    if not args.binary or not os.access(args.binary, os.X_OK):
        print("FAIL: --binary /path/to/quillon is required")
        return 2
    lab.require_root()
    t0 = time.monotonic()
    out = tempfile.mkdtemp(prefix="quillon-demo-test-")
    runner = lab.CaseRunner("demo")
    try:
        # The demo runs "python3": let that be this interpreter.
        env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep
                   + os.environ.get("PATH", ""))
        proc = subprocess.Popen(["bash", DEMO, "--seconds", str(LIMIT), "--exit-when-complete",
                                 "--binary", args.binary, "--output", out], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            text, _ = proc.communicate(timeout=LIMIT + 8)
        except subprocess.TimeoutExpired:
            proc.terminate()
            text, _ = proc.communicate(timeout=10)
            text += "\n(the demo did not end in time)"
        took = time.monotonic() - t0
        print("demo ran %.1f s, status %s" % (took, proc.returncode))

        def status():
            if proc.returncode != 0:
                fail("exit status %s; output:\n%s" % (proc.returncode, text[-4000:]))

        def startup():
            for n in NAMES:
                if not re.search(r"Local name is `%s` \[Beacon group: 239\.77\.0\.1/10000" % n, text):
                    fail("no start-up line of %s in the output" % n)
            if "hears" not in text:
                fail("no progress lines while the windows fill")

        def matrix():
            cells = last_matrix(text)
            for r in NAMES:
                for s in NAMES:
                    for ch in ("ASM", "SSM"):
                        c = cells.get((r, s, ch))
                        if c is None:
                            fail("matrix lacks %s<-%s %s" % (r, s, ch))
                        if r == s:
                            if c != "(self)":
                                fail("%s<-%s %s: %r, want (self)" % (r, s, ch, c))
                        elif (r, s, ch) in MEASURED:
                            m = CELL.match(c)
                            if not m:
                                fail("%s<-%s %s: %r is not loss / delay / jitter" % (r, s, ch, c))
                            # One switch, one clock: nothing is lost, and
                            # the one-way delay is well under 50 ms.
                            if m.group(1) != "0.0" or not 0 <= float(m.group(2)) < 50:
                                fail("%s<-%s %s: %r on a clean segment" % (r, s, ch, c))
                        elif c != "-":
                            fail("%s<-%s %s: %r, but nothing can be measured there" % (r, s, ch, c))
            print("  last matrix: %d measured cells" % len(MEASURED))

        def dumps():
            addrs = {n: "10.77.0.%d" % (i + 1) for i, n in enumerate(NAMES)}
            xmllint = shutil.which("xmllint")
            for n in NAMES:
                path = os.path.join(out, n + ".xml")
                if not os.path.exists(path):
                    fail("%s was not left behind" % path)
                if xmllint:
                    r = subprocess.run([xmllint, "--noout", path], capture_output=True, text=True)
                    if r.returncode != 0:
                        fail("%s is not well-formed: %s" % (path, r.stderr.strip()))
                root = ET.parse(path).getroot()
                group = root.find("group")
                if group.get("addr") != "239.77.0.1/10000":
                    fail("%s: group %r" % (path, group.get("addr")))
                if ("ssmgroup" in group.attrib) != (n == "bravo"):
                    fail("%s: ssmgroup %r (only bravo receives SSM)" % (path, group.get("ssmgroup")))
                local = group.find("beacon")
                want = {"name": n, "contact": "noc@%s.example.net" % n, "country": COUNTRIES[n],
                        "rxlocal": "true"}
                got = {k: local.get(k) for k in want}
                if got != want:
                    fail("%s: local beacon %r, want %r" % (path, got, want))
                if not local.get("addr", "").startswith(addrs[n] + "/"):
                    fail("%s: local address %r" % (path, local.get("addr")))
                flags = {f.get("name") for f in local.findall("flag")}
                if flags != ({"SSM"} if n == "bravo" else set()):
                    fail("%s: flags %r" % (path, flags))
                sites = [(w.get("type"), w.get("url")) for w in local.findall("website")]
                if sites != [("generic", "https://%s.example.net/" % n)]:
                    fail("%s: websites %r" % (path, sites))
                sources = {s.get("addr", "").rsplit("/", 1)[0]: s
                           for s in local.find("sources").findall("source")}
                for other in NAMES:
                    if other == n:
                        continue
                    s = sources.get(addrs[other])
                    if s is None:
                        fail("%s does not list %s" % (path, other))
                    # The country comes in website reports: one at start-up,
                    # which a beacon started later misses, then every 24
                    # report intervals.  When it is there, it is the right one.
                    if s.get("name") != other or s.get("country") not in (None, COUNTRIES[other]):
                        fail("%s: source %s is %r/%r" % (path, other, s.get("name"), s.get("country")))
                    channels = {e.tag for e in s if e.tag in ("asm", "ssm")}
                    want_ch = {ch.lower() for r, snd, ch in MEASURED if r == n and snd == other}
                    if channels != want_ch:
                        fail("%s: figures of %s for %r, want %r" % (path, other, channels, want_ch))
                for suffix in (".log",):
                    if not os.path.exists(os.path.join(out, n + suffix)):
                        fail("no log %s%s" % (n, suffix))

        def cleaned_up():
            # The web server's command line names the dump in `out` too.
            left = [ns for ns in lab.list_lab_namespaces("%s%d-" % (lab.PREFIX, proc.pid))]
            if left:
                fail("namespaces left behind: %r" % left)
            r = subprocess.run(["pgrep", "-f", out], capture_output=True, text=True)
            if r.stdout.strip():
                fail("processes still running with %s: %s" % (out, r.stdout.split()))

        runner.run("demo exits with status 0", status)
        runner.run("demo shows the beacons starting and the windows filling", startup)
        def web_page():
            m = re.search(r"Web page: open (http://127\.0\.0\.1:(\d+)/) in a browser", text)
            if not m:
                fail("no URL of the web page in the output")
            shown = re.search(r"The web page %s shows alpha's dump: (\d+) beacons, (\d+) measurements\."
                              % re.escape(m.group(1)), text)
            # alpha's own two figures at least, and what the others have
            # reported so far (all of MEASURED once every report is in).
            if not shown or shown.group(1) != "3" or not 2 <= int(shown.group(2)) <= len(MEASURED):
                fail("the web page did not show alpha's dump: %r" % (shown and shown.group(0)))
            if "stops by itself after %d s; Ctrl-C stops it sooner" % LIMIT not in text:
                fail("the demo does not say how it stops")

        runner.run("demo prints a matrix with figures for every measurable pair", matrix)
        runner.run("demo serves the matrix as a web page and says how to stop", web_page)
        runner.run("demo leaves well-formed dumps of the three beacons", dumps)
        runner.run("demo removes its namespaces and stops its beacons", cleaned_up)
    finally:
        shutil.rmtree(out, ignore_errors=True)
    print("wall time %.1f s" % (time.monotonic() - t0))
    return runner.finish()


if __name__ == "__main__":
    sys.exit(main())
