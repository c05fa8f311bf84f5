#!/usr/bin/env python3
"""Scale benchmark (by hand, not in the test command): N real beacons (-S,
dumps every 5 s on disk) on one segment of the namespace lab, for each N
given (default 50 100 150).  Prints one line per N:

- convergence: seconds from the start until every beacon's own row is
  complete (ASM, SSM) and until every dump holds the whole matrix (ASM, SSM);
- CPU (% of a core) and RSS per beacon over an idle minute after that;
- dump size (largest file) and the longest write seen (a .working file
  present across polls 10 ms apart: a lower bound);
- local drops (the beacons' sockets, UdpRcvbufErrors of their namespaces)
  and lab drops (host backlog, host-wide; bridge ports) during that minute;
- the loss of the idle mesh: lossy cells of all and their largest loss.

    sudo python3 bench/scale_bench.py --binary build/quillon [N ...]
"""

import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "net"))
import lab  # noqa: E402
import matrix_util as mu  # noqa: E402
from matrix_util import Beacon  # noqa: E402

GROUP = "239.77.21.1"
IDLE_S = 60
LIMIT_S = 300


def note_writes(beacons, working_since):
    """Notes the dumps' .working files that appeared; returns the longest
    time one of those that went away was there (0 when none did)."""
    longest = 0.0
    for b in beacons:
        w = b.dump_path + ".working"
        if os.path.exists(w):
            working_since.setdefault(w, time.time())
        elif w in working_since:
            longest = max(longest, time.time() - working_since.pop(w))
    return longest


def cells(d, kind):
    local = sum(1 for r in d.local.rows.values() if kind in r.stats)
    remote = sum(1 for b in d.remotes.values() for r in b.rows.values() if kind in r.stats)
    return local, remote


def losses(d):
    out = []
    for rows in [d.local.rows] + [b.rows for b in d.remotes.values()]:
        for r in rows.values():
            for kind in ("asm", "ssm"):
                if kind in r.stats:
                    out.append(float(r.stats[kind].attrs["loss"]))
    return out


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run(binary, n, dump_dir):
    with lab.Lab(hosts=n, settle_timeout=120.0) as the_lab:
        beacons = [Beacon(the_lab, h, "b%03d" % (i + 1), 4, GROUP, ssm=True) for i, h in enumerate(the_lab.hosts)]
        for b in beacons:  # dumps on disk, not on the lab's temporary directory
            b.dump_path = os.path.join(dump_dir, "%s.xml" % b.host.name)
            for stale in (b.dump_path, b.dump_path + ".working"):
                if os.path.exists(stale):
                    os.unlink(stale)
            b.argv_tail[b.argv_tail.index("-d") + 1] = b.dump_path
        mu.start_together(beacons, binary, timeout=120.0)
        start = time.time()
        reached = {}
        longest_write = 0.0
        working_since = {}
        while len(reached) < 4 and time.time() - start < LIMIT_S:
            now = time.time() - start
            longest_write = max(longest_write, note_writes(beacons, working_since))
            # Counted in the text: parsing 150 dumps of 6.5 MB at every poll
            # would take the machine from the beacons.
            texts = []
            for b in beacons:
                try:
                    with open(b.dump_path, "rb") as f:
                        texts.append(f.read())
                except OSError:
                    texts.append(b"")
            for kind in (b"asm", b"ssm"):
                name = kind.decode()
                own_rows = [t[:t.find(b"</beacon>")].count(b"<" + kind + b" ") for t in texts]
                if all(c == n - 1 for c in own_rows):
                    reached.setdefault(name + " row", now)
                if all(t.count(b"<" + kind + b" ") == n * (n - 1) for t in texts):
                    reached.setdefault(name + " matrix", now)
            if reached:
                time.sleep(0.01)
            else:  # polls a second apart measure no write
                time.sleep(1.0)
                working_since.clear()

        before = the_lab.drop_counts()
        ticks = {b.name: cpu_ticks(b.proc.pid) for b in beacons}
        t0 = time.time()
        while time.time() - t0 < IDLE_S:
            longest_write = max(longest_write, note_writes(beacons, working_since))
            time.sleep(0.01)
        elapsed = time.time() - t0
        after = the_lab.drop_counts()
        hz = os.sysconf("SC_CLK_TCK")
        cpu = [100.0 * (cpu_ticks(b.proc.pid) - ticks[b.name]) / hz / elapsed for b in beacons]
        rss = [rss_kb(b.proc.pid) / 1024.0 for b in beacons]
        local = sum(after["sockets"][h] - before["sockets"].get(h, 0) for h in after["sockets"])
        lab_drops = after["backlog"] - before["backlog"] + after["bridge"] - before["bridge"]
        said = sum(1 for b in beacons if any(m.startswith("Receive buffer full") for m in b.log_messages()))
        all_losses = [l for b in beacons for l in losses(mu.read_dump(b.dump_path))]
        lossy = [l for l in all_losses if l > 0]
        size = max(os.path.getsize(b.dump_path) for b in beacons)
        load = open("/proc/loadavg").read().split()[:3]
        for b in beacons:
            b.terminate(10)

    def t(k):
        return "%.0f" % reached[k] if k in reached else ">%d" % LIMIT_S
    print("| %d | %s / %s | %s / %s | %.2f %% (max %.2f) | %.1f MB | %.1f MB | %.0f ms | %d (%d beacons said so) | %d | %d of %d (max %.1f %%) | %s |" % (
        n, t("asm row"), t("ssm row"), t("asm matrix"), t("ssm matrix"), sum(cpu) / n, max(cpu),
        sum(rss) / n, size / 1e6, longest_write * 1000, local, said, lab_drops, len(lossy), len(all_losses),
        max(lossy) if lossy else 0.0, " ".join(load)), flush=True)


def main():
    args = [a for a in sys.argv[1:]]
    binary = args[args.index("--binary") + 1] if "--binary" in args else "build/quillon"
    sizes = [int(a) for a in args if a.isdigit()] or [50, 100, 150]
    lab.require_root()
    dump_dir = os.environ.get("QUILLON_BENCH_DIR", "/var/tmp/quillon-scale")
    os.makedirs(dump_dir, exist_ok=True)
    print("| beacons | own row complete, s (ASM / SSM) | whole matrix, s (ASM / SSM) | CPU per beacon | RSS per beacon "
          "| dump size | longest write seen | local drops | lab drops | lossy cells (idle minute) | load |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for n in sizes:
        run(os.path.abspath(binary), n, dump_dir)


if __name__ == "__main__":
    main()
