#!/usr/bin/env python3
"""The matrix of a three-beacon mesh in a real Prometheus server, through
one `quillon-view serve` per beacon.

Time budget: about 60 to 90 s (the first figures need about 40 s); at most
about 180 s.

Three beacons on one segment, alpha (h1), beta (h2), gamma (h3).  Before
they start, nftables in alpha's namespace drops every 4th probe of beta
(numgen inc), so alpha loses exactly 25 % of beta's probes.  Each beacon's
dump is served by its own `quillon-view serve` (default scope: only what
that beacon receives) on 127.0.0.1, and Debian's `prometheus`, started here
with a temporary configuration and data directory and a scrape interval of
1 s, scrapes the three.  Through Prometheus' HTTP API (/api/v1/query):

- the 3 x 2 ASM matrix is complete: six series, one per receiver and
  sender, each from the receiver's own exporter;
- every pair's loss equals the figure in the receiver's dump, and alpha's
  loss of beta is 0.25;
- every pair of beacons has a round trip (both exporters of the pair give
  it) and, the lab's hosts sharing one clock, a clock offset below the
  clock-suspect threshold (10 ms) and no clock-suspect beacon.

Then a pair with a shifted clock: the impairment helper sends 80 probes
from a fixed port on h3 with time stamps 300 ms ahead, which alpha's daemon
measures (from the future); a shadow receiver on h3 measures alpha's own
probes there.  A dump made from alpha's with a beacon element for the
shifted sender reporting that delay plus 300 ms (what a beacon with that
clock would have measured) gives, through `quillon-view json`, a clock
offset of +300 ms within 1 ms for the pair, and the shifted beacon is
clock-suspect.  A copy of alpha's complete dump is left as
$TMPDIR/quillon-lab-dump.xml (the promtool check's sample).
"""

import json
import os
import shutil
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import matrix_util as mu  # noqa: E402
import test_impairment as impairment  # noqa: E402
from beacons import Checks, binary_from_args  # noqa: E402
from matrix_util import Beacon, Failure, expect  # noqa: E402

GROUP = impairment.GROUP          # the group the impairment helpers send to
PORT = impairment.PORT
FILL_LIMIT = 100.0                # s for every dump to hold both other beacons' figures
SCRAPE_LIMIT = 30.0               # s for Prometheus to have them
PAIR_LIMIT = 60.0                 # s more for every beacon's report of the others
SHIFT_MS = 300
FAKE_PORT = 10977
SHIFTED_PROBES = 80


# ---------------------------------------------------------------------------
# The dumps, read here without quillon-view

def own_figures(beacon):
    """{sender ip: asm attributes} of what the beacon measured itself."""
    try:
        d = mu.read_dump(beacon.dump_path)
    except ValueError:  # being replaced: not yet
        return {}
    if d is None:
        return {}
    return {mu.host_of(r.addr): r.stats["asm"].attrs for r in d.local.rows.values() if "asm" in r.stats}


def matrix_filled(beacons):
    return all(len([ip for ip in own_figures(b) if ip != b.ip]) >= 2 for b in beacons)


# ---------------------------------------------------------------------------
# Prometheus

class Prometheus:
    def __init__(self, net, targets):
        self.dir = os.path.join(net.tmpdir, "prometheus")
        os.makedirs(os.path.join(self.dir, "data"))
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: quillon\n    scrape_interval: 1s\n    scrape_timeout: 1s\n"
                    "    static_configs:\n      - targets: [%s]\n" % ", ".join('"%s"' % t for t in targets))
        self.port = mu.free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        self.proc = lab.LabProcess(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=warn"],
            os.path.join(self.dir, "out"), os.path.join(self.dir, "err"), start_new_session=True)
        if not lab.wait_for(self.ready, 30.0, interval=0.2):
            raise Failure("prometheus did not start: %s" % self.proc.stderr_text()[-1000:])

    def ready(self):
        try:
            with urllib.request.urlopen(self.base + "/-/ready", timeout=2) as r:
                return r.status == 200
        except OSError:
            return False

    def query(self, promql):
        """[(labels, value)] of an instant query."""
        url = self.base + "/api/v1/query?" + urllib.parse.urlencode({"query": promql})
        with urllib.request.urlopen(url, timeout=10) as r:
            doc = json.load(r)
        expect(doc["status"] == "success", "query %s: %s" % (promql, doc))
        return [(s["metric"], float(s["value"][1])) for s in doc["data"]["result"]]

    def stop(self):
        self.proc.stop()


# ---------------------------------------------------------------------------
# Checks

def check_matrix(prom, beacons, exporter_of):
    names = {b.name for b in beacons}
    got = prom.query('quillon_loss_ratio{job="quillon",channel="asm"}')
    cells = sorted((m["receiver"], m["sender"]) for m, _ in got)
    want = sorted((r, s) for r in names for s in names if r != s)
    expect(cells == want, "series %s, want %s" % (cells, want))
    for m, _ in got:
        expect(m["instance"] == exporter_of[m["receiver"]],
               "%s's row came from %s, not its own exporter" % (m["receiver"], m["instance"]))


def check_losses_equal_dumps(prom, beacons):
    """Each series equals the receiver's own dump figure; loss moves only at
    window ends, so a mismatch is retried a few times."""
    by_ip = {b.ip: b.name for b in beacons}
    problems = None
    for _ in range(5):
        problems = []
        got = {(m["receiver"], m["sender"]): v for m, v in prom.query('quillon_loss_ratio{channel="asm"}')}
        for b in beacons:
            for ip, attrs in own_figures(b).items():
                key = (b.name, by_ip.get(ip))
                want = float(attrs["loss"]) / 100
                if key not in got or abs(got[key] - want) > 1e-9:
                    problems.append("%s: Prometheus %s, dump %s" % (key, got.get(key), attrs["loss"]))
        if not problems:
            return
        time.sleep(1.5)
    raise Failure("; ".join(problems))


def check_every_4th(prom):
    got = prom.query('quillon_loss_ratio{receiver="alpha",sender="beta",channel="asm"}')
    expect(len(got) == 1 and abs(got[0][1] - 0.25) < 1e-9, "alpha's loss of beta: %s" % got)
    clean = prom.query('quillon_loss_ratio{sender!="beta",channel="asm"} > 0')
    expect(not clean, "loss where nothing is dropped: %s" % clean)


def check_pairs(prom):
    # A pair needs the other beacon's report of its figures too, which
    # comes a report period after its own.
    lab.wait_for(lambda: len(prom.query("quillon_pair_round_trip_seconds")) >= 6, PAIR_LIMIT, interval=1.0)
    trips = prom.query("quillon_pair_round_trip_seconds")
    pairs = {(m["a"], m["b"]) for m, _ in trips}
    expect(pairs == {("alpha", "beta"), ("alpha", "gamma"), ("beta", "gamma")}, "pairs %s" % sorted(pairs))
    expect(len(trips) == 6, "each pair from both of its exporters: %d series" % len(trips))
    # Probes carry whole milliseconds, so within one host a window's mean
    # delay, and with it a round trip, can be exactly 0.
    for m, v in trips:
        expect(0 <= v < 0.05, "round trip %s-%s: %s s" % (m["a"], m["b"], v))
    # One clock: an offset is only the difference of the two paths' delays,
    # a few ms at most on a busy machine; below the clock-suspect threshold.
    for m, v in prom.query("quillon_pair_clock_offset_seconds"):
        expect(abs(v) < 0.010, "one clock, yet offset %s-%s: %s s" % (m["a"], m["b"], v))
    suspects = prom.query("quillon_beacon_clock_suspect == 1")
    expect(not suspects, "clock suspects on one clock: %s" % suspects)


def arrival_delays(records, src_ip, sport):
    """One-way delays (ms) of a sender's probes at the shadow receiver:
    kernel arrival time minus the probe's time stamp (low 32 bits of ms)."""
    out = []
    for r in records:
        if r["src"] != src_ip or r["sport"] != sport:
            continue
        p = impairment.parse_probe(bytes.fromhex(r["payload"]))
        if p is None:
            continue
        arrival = (r["sec"] * 1000 + r["usec"] / 1000.0) % 2 ** 32
        d = arrival - p[1]
        if d < -2 ** 31:
            d += 2 ** 32
        out.append(d)
    return out


def check_shifted_clock(net, view, alpha, shadow):
    h3 = net.hosts[2]
    items = [(FAKE_PORT, seq, SHIFT_MS) for seq in range(1, SHIFTED_PROBES + 1)]
    impairment.send_probes(h3, items, 0.05)
    fake = "%s/%d" % (h3.addr4, FAKE_PORT)

    def measured():
        try:
            d = mu.read_dump(alpha.dump_path)
        except ValueError:  # being replaced
            return None
        for r in (d.local.rows.values() if d else ()):
            if r.addr == fake and "asm" in r.stats:
                return d, r.stats["asm"].attrs
        return None
    found = lab.wait_for(measured, 20.0, interval=0.5)
    expect(found, "alpha's dump has no figures of the shifted sender %s" % fake)
    dump, attrs = measured()
    expect(attrs.get("future") == "true", "300 ms ahead, yet not from the future: %s" % attrs)

    # What the shifted beacon would have measured of alpha: the delay of
    # alpha's last 40 probes at h3, on a clock 300 ms ahead.
    delays = arrival_delays(shadow.records(), alpha.ip, int(dump.local.addr.rsplit("/", 1)[1]))[-40:]
    expect(len(delays) >= 20, "the shadow on h3 caught %d of alpha's probes" % len(delays))
    back = sum(delays) / len(delays) + SHIFT_MS
    with open(alpha.dump_path) as f:
        text = f.read()
    element = ('\t<beacon addr="%s" age="10" rxlocal="true" lastupdate="1">\n\t\t<sources>\n'
               '\t\t\t<source name="alpha" contact="" addr="%s" age="10">\n'
               '\t\t\t\t<asm ttl="0" rptage="1" loss="0.0" delay="%.3f" jitter="0.000" ooo="0.000" dup="0.000" />\n'
               '\t\t\t</source>\n\t\t</sources>\n\t</beacon>\n' % (fake, dump.local.addr, back))
    crafted = os.path.join(net.tmpdir, "shifted.xml")
    with open(crafted, "w") as f:
        f.write(text.replace("</group>", element + "</group>"))
    r = lab._run([view, "json", crafted], timeout=30)
    expect(r.returncode == 0, "quillon-view json: %s" % r.stderr)
    doc = json.loads(r.stdout)
    index = {b["address"]: i for i, b in enumerate(doc["beacons"])}
    a, b = index[dump.local.addr], index[fake]
    pair = [p for p in doc["pairs"] if (p["a"], p["b"]) == (min(a, b), max(a, b)) and p["channel"] == "asm"]
    expect(len(pair) == 1, "pairs %s" % doc["pairs"])
    offset = pair[0]["clock_offset_ms"] * (1 if a < b else -1)   # the shifted clock's lead over alpha's
    expect(abs(offset - SHIFT_MS) <= 1.0, "offset %.3f ms for a clock %d ms ahead" % (offset, SHIFT_MS))
    expect(b in doc["clock_suspect"] and a not in doc["clock_suspect"],
           "clock suspects %s (alpha %d, shifted %d)" % (doc["clock_suspect"], a, b))
    print("    shifted clock: alpha measured %s ms (future), h3 %.3f ms; offset %.3f ms"
          % (attrs["delay"], back, offset), flush=True)


def main():
    binary = binary_from_args()
    view = mu.view_binary(binary)
    for tool in ("prometheus", "nft"):
        if not shutil.which(tool):
            print("FAIL: %s is not installed (tools/install-deps installs it)" % tool)
            return 1
    checks = Checks("monitoring")
    with lab.Lab(hosts=3) as net:
        h1, h2, h3 = net.hosts
        # Before any beacon runs, so that numgen counts only beta's probes
        # (UDP length 8 + 12); its reports are longer and pass.
        impairment.nft(h1, """
table ip impair {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr %s ip daddr %s udp dport %d udp length 20 numgen inc mod 4 == 1 counter drop
  }
}
""" % (h2.addr4, GROUP, PORT))
        beacons = [Beacon(net, h, name, 4, GROUP) for h, name in ((h1, "alpha"), (h2, "beta"), (h3, "gamma"))]
        shadow = impairment.Shadow(h3)
        mu.start_together(beacons, binary)
        serves, exporter_of, prom = [], {}, None
        try:
            for b in beacons:
                port = mu.free_port()
                exporter_of[b.name] = "127.0.0.1:%d" % port
                serves.append(lab.LabProcess(
                    [view, "serve", b.dump_path, "--listen", exporter_of[b.name]],
                    os.path.join(net.tmpdir, "serve-%s.out" % b.name),
                    os.path.join(net.tmpdir, "serve-%s.err" % b.name), start_new_session=True))
            prom = Prometheus(net, exporter_of.values())
            if not lab.wait_for(lambda: matrix_filled(beacons), FILL_LIMIT, interval=1.0):
                print("FAIL the dumps did not hold the whole matrix within %.0f s" % FILL_LIMIT)
                return 1
            lab.wait_for(lambda: len(prom.query('quillon_loss_ratio{channel="asm"}')) >= 6, SCRAPE_LIMIT, 0.5)
            checks.run("Prometheus holds the complete 3 x 2 matrix, each row from its own exporter",
                       check_matrix, prom, beacons, exporter_of)
            checks.run("every pair's loss in Prometheus equals the receiver's dump", check_losses_equal_dumps,
                       prom, beacons)
            checks.run("every 4th probe of beta dropped at alpha: 0.25 in Prometheus", check_every_4th, prom)
            checks.run("pairs: a round trip from both exporters, one clock so offsets near 0", check_pairs, prom)
            shutil.copyfile(beacons[0].dump_path,
                            os.path.join(os.environ.get("TMPDIR") or tempfile.gettempdir(), "quillon-lab-dump.xml"))
            checks.run("a sender 300 ms ahead: clock offset recovered within 1 ms, marked suspect",
                       check_shifted_clock, net, view, beacons[0], shadow)
        finally:
            if prom:
                prom.stop()
            for s in serves:
                s.stop()
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
