#!/usr/bin/env python3
"""serve's history file under SIGKILL and given a file that is not one.

On loopback only, in about 20 s:

- kill loop: a dump rewritten every 0.3 s with new figures for 40 cells;
  serve records it into --history FILE and is killed with SIGKILL at a
  random moment, 12 times.  After each kill the file opens, passes
  SQLite's integrity check, and holds at least every window that /history
  had answered before the kill (what a completed dump read recorded).
- a full disk (a file size limit on serve, raised later with prlimit):
  recording stops with one line and starts again with one, while
  /matrix.json is answered throughout.
- a file of garbage and another program's SQLite database given as
  --history: each is moved aside unchanged under a name with a timestamp,
  serve says so in one line, records into a new file and answers.

usage: history_crash.py QUILLON-VIEW
"""

import json
import os
import random
import resource
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

BEACONS = 7          # 42 cells
KILLS = 12


def dump_text(step):
    """A dump whose figures change at every step: each is a new window."""
    lines = ['<beacons rxrate="1.00" txrate="1.00" versioninfo="0.3.9.1 ($Rev: 409 $)">',
             '<group addr="239.1.1.1/10000" int="5.00">']
    for r in range(BEACONS):
        attrs = 'name="b%d" addr="10.9.0.%d/100%d" age="100" ' % (r, r + 1, r)
        lines.append('\t<beacon %s%s>' % (attrs, 'lastupdate="0" rxlocal="true"' if r == 0 else
                                           'rxlocal="true" lastupdate="1"'))
        lines.append('\t\t<sources>')
        for s in range(BEACONS):
            if s == r:
                continue
            lines.append('\t\t\t<source addr="10.9.0.%d/100%d" age="90">' % (s + 1, s))
            lines.append('\t\t\t\t<asm ttl="1" rptage="0" loss="%.1f" delay="%.3f" jitter="0.100" ooo="0.000" dup="0.000" />'
                         % (step % 3, 1 + (step % 1000) / 1000.0))
            lines.append('\t\t\t</source>')
        lines.append('\t\t</sources>')
        lines.append('\t</beacon>')
    lines += ['</group>', '</beacons>', '']
    return "\n".join(lines)


def write_dump(path, step):
    with open(path + ".working", "w") as f:
        f.write(dump_text(step))
    # Each step two seconds apart in the file's time: windows at distinct times.
    os.utime(path + ".working", (1800000000 + 2 * step, 1800000000 + 2 * step))
    os.rename(path + ".working", path)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Serve:
    def __init__(self, view, dump, history, tmp, preexec_fn=None):
        self.port = free_port()
        self.err_path = os.path.join(tmp, "serve-%d.err" % self.port)
        self.p = subprocess.Popen([view, "serve", dump, "--listen", "127.0.0.1:%d" % self.port, "--history", history,
                                   "--dump-interval", "0.5"],
                                  stdout=subprocess.DEVNULL, stderr=open(self.err_path, "w"), preexec_fn=preexec_fn)

    def get(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=3) as r:
            return json.loads(r.read().decode())

    def points(self):
        # The figures' times are the dump's, around 1800000000.
        return len(self.get("/history?receiver=10.9.0.1&sender=10.9.0.2&from=1799999000&to=1800050000")["points"])

    def wait_up(self):
        end = time.monotonic() + 10
        while time.monotonic() < end:
            try:
                self.points()
                return True
            except (OSError, ValueError, urllib.error.HTTPError):
                time.sleep(0.05)
        return False

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM):
        if self.p.poll() is None:
            self.p.send_signal(sig)
        self.p.wait(timeout=10)


def stored_points(history):
    db = sqlite3.connect("file:%s?mode=ro" % history, uri=True)
    try:
        check = db.execute("PRAGMA integrity_check").fetchone()[0]
        n = db.execute("SELECT count(*) FROM sample s JOIN cell c ON c.id = s.cell WHERE c.receiver = '10.9.0.1'"
                       " AND c.sender = '10.9.0.2' AND c.channel = 0").fetchone()[0]
        return check, n
    finally:
        db.close()


def kill_loop(view, tmp):
    dump = os.path.join(tmp, "d.xml")
    history = os.path.join(tmp, "kill.db")
    step = 0
    write_dump(dump, step)
    failures = []
    last = 0
    for kill in range(KILLS):
        serve = Serve(view, dump, history, tmp)
        if not serve.wait_up():
            failures.append("kill %d: serve did not answer: %s" % (kill, serve.stderr()))
            serve.stop(signal.SIGKILL)
            break
        # Rewrites while it records; the kill comes at a random moment.
        end = time.monotonic() + random.uniform(0.3, 1.5)
        seen = 0
        while time.monotonic() < end:
            step += 1
            write_dump(dump, step)
            time.sleep(0.05)
            try:
                seen = max(seen, serve.points())
            except (OSError, ValueError):
                pass
        serve.stop(signal.SIGKILL)
        check, stored = stored_points(history)
        if check != "ok" or stored < seen or stored < last:
            failures.append("kill %d: integrity %r, %d windows stored, %d answered before the kill, %d before"
                            % (kill, check, stored, seen, last))
        last = stored
    print("  %d kills during ingest: %d windows of one cell kept, the file sound after every kill" % (KILLS, last))
    return failures


def small_files():
    # Writes past 256 KB fail (EFBIG) as on a full disk, without the signal.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (256 * 1024, resource.RLIM_INFINITY))


def disk_full(view, tmp):
    failures = []
    dump = os.path.join(tmp, "d.xml")
    step = 1000
    write_dump(dump, step)
    serve = Serve(view, dump, os.path.join(tmp, "full.db"), tmp, preexec_fn=small_files)

    def lines():
        return [line for line in serve.stderr().splitlines() if "quillon-view: history:" in line]

    def rewrite_until(pred, seconds):
        nonlocal step
        end = time.monotonic() + seconds
        while time.monotonic() < end and not pred():
            step += 1
            write_dump(dump, step)
            time.sleep(0.2)
            serve.get("/matrix.json")
        return pred()
    try:
        if not serve.wait_up():
            return ["disk full: serve did not answer: %s" % serve.stderr()]
        if not rewrite_until(lambda: any("recording stopped" in line for line in lines()), 30):
            failures.append("disk full: no line saying recording stopped: %r" % lines())
        rewrite_until(lambda: False, 2)  # more failing writes: no more lines
        subprocess.run(["prlimit", "--pid", str(serve.p.pid), "--fsize=unlimited:unlimited"], check=True)
        if not rewrite_until(lambda: any("recording again" in line for line in lines()), 30):
            failures.append("disk full: no line saying recording started again: %r" % lines())
        if len(lines()) != 2:
            failures.append("disk full: want two lines, got %r" % lines())
        if serve.get("/history?receiver=10.9.0.1&sender=10.9.0.2")["recording"] is not True:
            failures.append("disk full: /history does not say it records again")
        print("  disk full: %s" % " / ".join(line.split("history: ", 1)[1] for line in lines()))
    finally:
        serve.stop()
    return failures


def moved_aside(view, tmp):
    failures = []
    dump = os.path.join(tmp, "d.xml")
    write_dump(dump, 1)
    foreign = os.path.join(tmp, "foreign.db")
    db = sqlite3.connect(foreign)
    db.execute("CREATE TABLE accounts(name TEXT)")
    db.execute("INSERT INTO accounts VALUES ('keep me')")
    db.commit()
    db.close()
    garbage = os.path.join(tmp, "garbage.db")
    with open(garbage, "wb") as f:
        f.write(b"not a database, " * 512)
    for path in (garbage, foreign):
        with open(path, "rb") as f:
            before = f.read()
        serve = Serve(view, dump, path, tmp)
        up = serve.wait_up()
        time.sleep(0.5)
        serve.stop()
        said = [line for line in serve.stderr().splitlines() if "quillon-view: history:" in line]
        aside = [n for n in os.listdir(tmp) if n.startswith(os.path.basename(path) + ".2")]
        if not up:
            failures.append("%s: serve did not answer" % path)
        if len(said) != 1 or "moved it to" not in said[0]:
            failures.append("%s: want one line saying where it went, got %r" % (path, said))
        if len(aside) != 1:
            failures.append("%s: moved aside as %r" % (path, aside))
        else:
            with open(os.path.join(tmp, aside[0]), "rb") as f:
                if f.read() != before:
                    failures.append("%s: the file moved aside is not the file given" % path)
            check, stored = stored_points(path)
            if check != "ok" or stored < 1:
                failures.append("%s: the new history: integrity %r, %d windows" % (path, check, stored))
            print("  %s: %s" % (os.path.basename(path), said[0] if said else "-"))
    return failures


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    view = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="quillon-history-") as tmp:
        failures = kill_loop(view, tmp) + disk_full(view, tmp) + moved_aside(view, tmp)
    for f in failures:
        print("FAIL " + f)
    print("history crash checks: %s" % ("FAIL" if failures else "PASS"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
