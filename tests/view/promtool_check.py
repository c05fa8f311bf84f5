#!/usr/bin/env python3
"""Prometheus' own tool on what quillon ships for it (run from CTest):

  promtool_check.py rules CONTRIB_DIR
      check config and rules, and run the alert rules' unit tests;
  promtool_check.py metrics VIEW DUMP [--all]
  promtool_check.py metrics VIEW --generate GENERATOR [--all]
      start `quillon-view serve` on 127.0.0.1 (a free port), fetch /metrics
      and have `promtool check metrics` lint it; with --generate the dump is
      the 150-beacon group's, written by GENERATOR first.

Exits 77 (skipped) when promtool is not installed.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request


def run(argv, **kw):
    r = subprocess.run(argv, capture_output=True, text=True, timeout=600, **kw)
    print("$ %s -> %d\n%s%s" % (" ".join(argv), r.returncode, r.stdout, r.stderr))
    return r


def rules(contrib):
    ok = True
    for argv in (["promtool", "check", "config", "prometheus.yml"],
                 ["promtool", "check", "rules", "quillon-alerts.yml"],
                 ["promtool", "test", "rules", "quillon-alerts.test.yml"]):
        ok &= run(argv, cwd=contrib).returncode == 0
    return ok


def fetch_metrics(view, dump, extra):
    err = tempfile.TemporaryFile("w+")
    serve = subprocess.Popen([view, "serve", dump, "--listen", "127.0.0.1:0"] + extra,
                             stdout=subprocess.DEVNULL, stderr=err)
    try:
        port = None
        deadline = time.monotonic() + 20
        while port is None and time.monotonic() < deadline and serve.poll() is None:
            time.sleep(0.05)
            err.seek(0)
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", err.read())
            port = m and int(m.group(1))
        if port is None:
            err.seek(0)
            raise SystemExit("serve did not start: " + err.read())
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=60) as r:
            kind = r.headers.get("Content-Type")
            body = r.read()
        if kind != "text/plain; version=0.0.4":
            raise SystemExit("Content-Type %r" % kind)
        return body
    finally:
        serve.send_signal(signal.SIGTERM)
        serve.wait(10)


def metrics(view, dump, extra):
    body = fetch_metrics(view, dump, extra)
    series = sum(1 for line in body.decode().splitlines() if line and not line.startswith("#"))
    print("%s: %d series, %d bytes" % (dump, series, len(body)))
    r = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True, timeout=600)
    print("promtool check metrics -> %d %s%s" % (r.returncode, r.stdout.decode(), r.stderr.decode()))
    return r.returncode == 0 and series > 0


def main(argv):
    if not shutil.which("promtool"):
        print("promtool is not installed (Debian's prometheus package)")
        return 77
    if argv[:1] == ["rules"] and len(argv) == 2:
        return 0 if rules(argv[1]) else 1
    if argv[:1] == ["metrics"] and len(argv) >= 3:
        view, rest = argv[1], argv[2:]
        extra = ["--all"] if "--all" in rest else []
        rest = [a for a in rest if a != "--all"]
        if rest[0] == "--generate":
            with tempfile.TemporaryDirectory() as tmp:
                dump = os.path.join(tmp, "group.xml")
                subprocess.run([rest[1], dump], check=True)
                return 0 if metrics(view, dump, extra) else 1
        return 0 if metrics(view, rest[0], extra) else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
