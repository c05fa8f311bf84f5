#!/usr/bin/env python3
"""The page and /metrics with the history recording and without (run by
hand, not part of the test command; loopback only, about 2 minutes).

    history_serve.py QUILLON-VIEW QUILLON_GROUP_DUMP

The 150-beacon group's dump is rewritten every 5 s with every delay moved,
so that every one of its 44 700 cells publishes a new window at every
read (about five times what a real mesh does); serve reads it with
--no-history and with --history FILE, while one client asks for / and
/metrics in turn.  Printed: the median and worst time of each answer.
"""

import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

ROUNDS = 40


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rewriter(path, base, stop):
    step = 0
    while not stop.is_set():
        step += 1
        text = re.sub(r'delay="(\d+)\.(\d)', lambda m: 'delay="%s.%d' % (m.group(1), (int(m.group(2)) + step) % 10), base)
        with open(path + ".working", "w") as f:
            f.write(text)
        os.rename(path + ".working", path)
        stop.wait(5)


def fetch(url):
    t = time.perf_counter()
    with urllib.request.urlopen(url, timeout=30) as r:
        r.read()
    return (time.perf_counter() - t) * 1000


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    view, group_dump = sys.argv[1:]
    with tempfile.TemporaryDirectory(prefix="quillon-history-serve-") as tmp:
        base_path = os.path.join(tmp, "base.xml")
        subprocess.run([group_dump, base_path], check=True)
        with open(base_path) as f:
            base = f.read()
        for mode in ("--no-history", "--history"):
            dump = os.path.join(tmp, "dump.xml")
            shutil.copyfile(base_path, dump)
            port = free_port()
            argv = [view, "serve", dump, "--listen", "127.0.0.1:%d" % port, "--dump-interval", "5"]
            argv += [mode] + ([os.path.join(tmp, "history.db")] if mode == "--history" else [])
            serve = subprocess.Popen(argv, stderr=subprocess.DEVNULL)
            stop = threading.Event()
            writer = threading.Thread(target=rewriter, args=(dump, base, stop))
            try:
                for _ in range(100):
                    try:
                        fetch("http://127.0.0.1:%d/matrix.json" % port)
                        break
                    except OSError:
                        time.sleep(0.1)
                writer.start()
                times = {"/": [], "/metrics": []}
                for _ in range(ROUNDS):
                    for path in times:
                        times[path].append(fetch("http://127.0.0.1:%d%s" % (port, path)))
                    time.sleep(0.5)
                for path, t in times.items():
                    print("%-13s %-9s median %6.1f ms, worst %6.1f ms (%d requests)"
                          % (mode, path, statistics.median(t), max(t), len(t)))
                if mode == "--history":
                    db = os.path.join(tmp, "history.db")
                    print("history after %d s: %.1f MB" % (ROUNDS, os.path.getsize(db) / 1e6))
            finally:
                stop.set()
                if writer.is_alive():
                    writer.join()
                serve.terminate()
                serve.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
