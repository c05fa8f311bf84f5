#!/usr/bin/env python3
"""serve under abuse, on loopback, with the 150-beacon group's dump and --all.

  serve_abuse.py VIEW GENERATOR

Slow readers: 64 connections from 127.0.0.2-127.0.0.9, each asking for one
of the four paths and reading one byte a second.  The server's resident
memory must stay below 3 x the sum of the four uncompressed bodies + 64 MB
while they hang on, and be back under it once they are gone.

Slow loris: the same addresses try to hold every connection slot, each
connection sending one header line a second, reconnecting when cut.  A
normal client on 127.0.0.1 must get /metrics, gzip-compressed as Prometheus
asks for it, within 1 s every time.

Prints the figures; exits 1 when a bound is broken.
"""

import gzip
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PATHS = ["/metrics", "/matrix.json", "/", "/dump.xml"]
CROWD = ["127.0.0.%d" % i for i in range(2, 10)]
MB = 1 << 20


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)) * 1024


def fetch(port, path, gzip_ok=False, timeout=30):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        extra = "Accept-Encoding: gzip\r\n" if gzip_ok else ""
        s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n%sConnection: close\r\n\r\n" % (path, extra)).encode())
        data = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            data += chunk
    finally:
        s.close()
    head, _, body = data.partition(b"\r\n\r\n")
    status = int(head.split()[1]) if head.startswith(b"HTTP/") else 0
    return status, head.decode("latin-1"), body


def start(view, dump):
    err = tempfile.TemporaryFile("w+")
    # Without the history: its memory has a limit of its own (--history-max-mb)
    # and grows with time, not with clients; what is measured here is what
    # the clients cost.
    serve = subprocess.Popen([view, "serve", dump, "--all", "--listen", "127.0.0.1:0", "--no-history"],
                             stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and serve.poll() is None:
        time.sleep(0.05)
        err.seek(0)
        m = re.search(r"http://127\.0\.0\.1:(\d+)/", err.read())
        if m:
            return serve, int(m.group(1))
    err.seek(0)
    raise SystemExit("serve did not start: " + err.read())


def slow_readers(port, pid, bound):
    socks, outcome = [], {"admitted": 0, "503": 0, "refused": 0}
    for i in range(64):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.bind((CROWD[i % len(CROWD)], 0))
        s.settimeout(2)
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % PATHS[i % 4]).encode())
            socks.append(s)
        except OSError:
            outcome["refused"] += 1
            s.close()
    peak, started = 0, time.monotonic()
    alive = list(socks)
    first = {}
    while alive and time.monotonic() - started < 8:
        for s in list(alive):
            try:
                s.settimeout(0.01)
                b = s.recv(1)
                if not b:
                    alive.remove(s)
                elif s not in first:
                    first[s] = b + s.recv(12)
            except socket.timeout:
                pass
            except OSError:
                alive.remove(s)
        peak = max(peak, rss(pid))
        time.sleep(1)
    for s, b in first.items():
        if b.startswith(b"HTTP/1.1 200"):
            outcome["admitted"] += 1
        elif b.startswith(b"HTTP/1.1 503"):
            outcome["503"] += 1
    outcome["refused"] += len(socks) - len(first)
    for s in socks:
        s.close()
    time.sleep(2)
    after = rss(pid)
    print("slow readers: %(admitted)d sent a body, %(503)d answered 503, %(refused)d refused or cut" % outcome)
    print("slow readers: peak RSS %.1f MB, %.1f MB after they closed; bound %.1f MB" %
          (peak / MB, after / MB, bound / MB))
    return peak < bound and after < bound


def slow_loris(port):
    stop = threading.Event()
    held = [0]

    def loris(source):
        while not stop.is_set():
            try:
                s = socket.socket()
                s.bind((source, 0))
                s.settimeout(2)
                s.connect(("127.0.0.1", port))
                s.sendall(b"GET /metrics HTTP/1.1\r\n")
                held[0] += 1
                n = 0
                while not stop.wait(1):
                    s.sendall(b"X-Slow-%d: 1\r\n" % n)
                    n += 1
            except OSError:
                stop.wait(0.2)
            finally:
                s.close()

    threads = [threading.Thread(target=loris, args=(CROWD[i % len(CROWD)],)) for i in range(80)]
    for t in threads:
        t.start()
    time.sleep(1.5)
    times, failures = [], 0
    started = time.monotonic()
    while time.monotonic() - started < 12:
        t0 = time.monotonic()
        try:
            status, head, body = fetch(port, "/metrics", gzip_ok=True, timeout=5)
            ok = status == 200 and b"quillon_" in gzip.decompress(body)
        except OSError:
            ok = False
        took = time.monotonic() - t0
        times.append(took)
        if not ok or took >= 1.0:
            failures += 1
        time.sleep(0.3)
    stop.set()
    for t in threads:
        t.join()
    times.sort()
    print("slow loris: %d crowd connections made; normal /metrics: %d requests, %d failed or slower than 1 s, "
          "median %.3f s, slowest %.3f s" % (held[0], len(times), failures, times[len(times) // 2], times[-1]))
    return failures == 0 and len(times) >= 10


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    view, generator = argv
    with tempfile.TemporaryDirectory() as tmp:
        dump = os.path.join(tmp, "group.xml")
        subprocess.run([generator, dump], check=True)
        serve, port = start(view, dump)
        try:
            sizes = {}
            for path in PATHS:
                status, _, plain = fetch(port, path)
                status2, head, packed = fetch(port, path, gzip_ok=True)
                if status != 200 or status2 != 200 or "Content-Encoding: gzip" not in head:
                    print("%s: %d / %d, no gzip" % (path, status, status2))
                    return 1
                sizes[path] = len(plain)
                print("%-12s %9d bytes, gzip %8d bytes" % (path, len(plain), len(packed)))
            total = sum(sizes.values())
            bound = 3 * total + 64 * MB
            print("baseline RSS %.1f MB" % (rss(serve.pid) / MB))
            ok = slow_readers(port, serve.pid, bound)
            ok &= slow_loris(port)
            ok &= serve.poll() is None
        finally:
            serve.send_signal(signal.SIGTERM)
            serve.wait(10)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
