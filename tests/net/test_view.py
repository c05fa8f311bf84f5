#!/usr/bin/env python3
"""quillon-view on the dump of a real three-beacon lab, and its page in a
real browser.

Time budget: 60 to 90 s (the matrix needs about 40 s to fill; the browser
checks take 10-20 s); at most about 150 s.

Three beacons on one segment, two of them with names an attacker would
choose -- any beacon on the group can announce any printable text:

  alpha    h1  -S, -C NO, -W https://alpha.example.net/
  (script) h2  -S, named <script>window.__pwned=1</script>
  (img)    h3  ASM only, named <img src=x onerror=window.__pwned=2>,
               -W javascript:window.__pwned=3

Once alpha's dump holds the whole matrix (its own figures and what the
other two report, ASM everywhere, SSM between the two -S beacons), a copy of
it is read three ways:

- `quillon-view json` matches what the XML says, read here independently:
  beacon order and identities, every figure of every cell, nothing
  invented; each pair's round trip and clock offset from its two delays;
- `quillon-view table` lists every beacon;
- `quillon-view serve` on loopback, loaded in headless Chromium (Debian's
  chromium, chromium-driver and python3-selenium): 3 x 3 cells, the figures
  of one known cell in its details on hover (with the pair's round trip),
  the hostile names shown as text with nothing run (window.__pwned stays
  undefined), the javascript: URL not a link, no Content-Security-Policy
  violation, the live page refreshing from /matrix.json and, once the dump
  is half-written, keeping the last matrix with a banner saying why;
  ?metric= honoured.  A screenshot goes to $TMPDIR/quillon-view-matrix.png.

A crafted five-beacon dump with one clock 50 ms ahead: that beacon, and
only that one, is marked clock-suspect on the page, and the details of its
cells give the clock offset (+50 ms as a sender, -50 ms as a receiver).

History: a second `serve` reads alpha's live dump from the start, with its
history in a file.  Once the matrix is whole, nftables in alpha's namespace
drops every second probe of the <script> beacon until the history logs the
cell bad, then lets them pass until it logs it good again.  The page from
that server, with the cell clicked, charts the loss in its history panel
and lists the bad and the good state change, each within one window of the
moment the drops began and ended (counted in the cell's recorded windows:
at most the one under way lies between); the Events view lists the bad
one with a link to the cell.

Then a synthetic 150-beacon dump (22 350 entries) goes through
`quillon-view html` and the browser: 22 500 cells, laid out and painted
within one second of the page's script starting; the search box.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import lab  # noqa: E402
import matrix_util as mu  # noqa: E402
from matrix_util import Beacon, expect, say  # noqa: E402
from beacons import Checks, binary_from_args  # noqa: E402

GROUP = "239.77.0.1"
SCRIPT_NAME = "<script>window.__pwned=1</script>"
IMG_NAME = "<img src=x onerror=window.__pwned=2>"
JS_URL = "javascript:window.__pwned=3"
FILL_LIMIT = 100.0        # seconds for alpha's dump to hold the whole matrix
RENDER_LIMIT_MS = 1000.0
BIG = 150


# ---------------------------------------------------------------------------
# The dump, read here without quillon-view

def number(text):
    return None if text is None else float(text)


def read_matrix(path):
    """What the dump says, in the shape of quillon-view's JSON: beacons in
    order (local, remote elements, addresses only seen as sources), and the
    measurements keyed by (receiver address, sender address, channel)."""
    group = ET.parse(path).getroot().find("group")
    elements = group.findall("beacon")
    order, beacons = [], {}

    def add(addr):
        if addr not in beacons:
            order.append(addr)
            beacons[addr] = {"name": None, "contact": None, "country": None, "flags": [], "websites": {}}
        return beacons[addr]

    for el in elements:
        b = add(el.get("addr"))
        b["name"], b["contact"] = el.get("name"), el.get("contact")
        b["flags"] = [f.get("name") for f in el.findall("flag")]
        b["websites"] = {w.get("type"): w.get("url") for w in el.findall("website")}
    local = elements[0]
    beacons[local.get("addr")]["country"] = local.get("country")
    cells = {}
    for el in elements:
        for src in el.find("sources").findall("source"):
            b = add(src.get("addr"))
            if el is local and src.get("country"):
                b["country"] = src.get("country")
            for st in src:
                delay = float(st.get("delay"))
                cells[el.get("addr"), src.get("addr"), st.tag] = {
                    "ttl": None if st.get("ttl") is None else int(st.get("ttl")),
                    "age_s": int(st.get("rptage")), "loss_percent": number(st.get("loss")),
                    "delay_ms": -delay if st.get("future") == "true" else delay,
                    "jitter_ms": number(st.get("jitter")), "ooo_percent": number(st.get("ooo")),
                    "dup_percent": number(st.get("dup")), "texts": dict(st.attrib)}
    return {"group": group.get("addr"), "ssm_group": group.get("ssmgroup"), "interval": float(group.get("int")),
            "order": order, "beacons": beacons, "cells": cells}


def complete(path, beacons):
    """True when the dump holds every cell the lab can measure: ASM between
    every two beacons, SSM between the two that join SSM."""
    try:
        m = read_matrix(path)
    except (OSError, ET.ParseError, AttributeError):
        return False
    addr = {b.name: a for b in beacons for a in m["order"] if a.split("/")[0] == b.ip}
    if len(addr) != len(beacons):
        return False
    for r in beacons:
        for s in beacons:
            if r is s:
                continue
            want = ["asm"] + (["ssm"] if r.joins_ssm and s.sends_ssm else [])
            if any((addr[r.name], addr[s.name], ch) not in m["cells"] for ch in want):
                return False
    # Every beacon's identity has arrived, and the websites with it.
    return all(m["beacons"][addr[b.name]]["name"] == b.name for b in beacons)


# ---------------------------------------------------------------------------
# The checks

def check_json(view, snapshot, want):
    got = json.loads(subprocess.run([view, "json", snapshot], capture_output=True, text=True,
                                    check=True, timeout=30).stdout)
    expect("status" not in got, "json carries the page's status object")
    for key in ("group", "ssm_group", "interval"):
        expect(got[key] == want[key], "%s: %r, the dump says %r" % (key, got[key], want[key]))
    expect(got["local"] == 0, "local %r" % got["local"])
    addrs = [b["address"] for b in got["beacons"]]
    expect(addrs == want["order"], "beacons %r, the dump's order is %r" % (addrs, want["order"]))
    for b in got["beacons"]:
        w = want["beacons"][b["address"]]
        for key in ("name", "contact", "country", "flags", "websites"):
            expect(b[key] == w[key], "%s %s: %r, the dump says %r" % (b["address"], key, b[key], w[key]))
    seen = {}
    for m in got["measurements"]:
        key = (addrs[m["receiver"]], addrs[m["sender"]], m["channel"])
        expect(key not in seen, "measurement %r twice" % (key,))
        seen[key] = m
    expect(set(seen) == set(want["cells"]), "measurements %r, the dump has %r"
           % (sorted(seen), sorted(want["cells"])))
    for key, w in want["cells"].items():
        for field in ("ttl", "age_s", "loss_percent", "delay_ms", "jitter_ms", "ooo_percent", "dup_percent"):
            expect(seen[key][field] == w[field], "%s %s: %r, the dump says %r (%r)"
                   % (key, field, seen[key][field], w[field], w["texts"]))
    # Pairs: a < b, once per channel where both delays are there; the
    # offset is b's clock minus a's.
    pairs = {}
    for q in got.get("pairs", []):
        key = (q["a"], q["b"], q["channel"])
        expect(q["a"] < q["b"] and key not in pairs, "pair %r" % q)
        pairs[key] = q
    want_pairs = set()
    for (r, s, ch) in want["cells"]:
        a, b = sorted((addrs.index(r), addrs.index(s)))
        if (addrs[b], addrs[a], ch) in want["cells"] and (addrs[a], addrs[b], ch) in want["cells"]:
            want_pairs.add((a, b, ch))
    expect(set(pairs) == want_pairs, "pairs %r, want %r" % (sorted(pairs), sorted(want_pairs)))
    for (a, b, ch), q in pairs.items():
        there = want["cells"][addrs[b], addrs[a], ch]["delay_ms"]     # b measured a's probes
        back = want["cells"][addrs[a], addrs[b], ch]["delay_ms"]
        expect(abs(q["round_trip_ms"] - (there + back)) < 1e-6 and
               abs(q["clock_offset_ms"] - (there - back) / 2) < 1e-6,
               "pair %r: want round trip %.3f, offset %.4f" % (q, there + back, (there - back) / 2))
    say("  json: %d beacons, %d measurements, %d pairs as in the dump" % (len(addrs), len(seen), len(pairs)))
    return got


def check_table(view, snapshot, doc):
    out = subprocess.run([view, "table", snapshot], capture_output=True, text=True, check=True, timeout=30).stdout
    for i, b in enumerate(doc["beacons"]):
        line = next((ln for ln in out.splitlines() if b["address"] in ln), None)
        expect(line is not None, "table does not list %s:\n%s" % (b["address"], out))
        expect(line.split()[0] == str(i + 1) and b["name"] in line,
               "table line of %s: %r, want number %d and name %r" % (b["address"], line, i + 1, b["name"]))
    # Every cell: the ASM loss as the dump gives it, "-" without figures,
    # nothing on the diagonal.  Numbers are right-aligned under the header's
    # column numbers; a stale figure carries a '*' after it.
    lines = out.splitlines()
    h = next(i for i, ln in enumerate(lines) if ln.lstrip().startswith("rx\\tx"))
    ends = [m.end() for m in re.finditer(r"\d+", lines[h])]
    loss = {(m["receiver"], m["sender"]): "%.1f" % m["loss_percent"]
            for m in doc["measurements"] if m["channel"] == "asm"}
    n = len(doc["beacons"])
    for r in range(n):
        row = lines[h + 1 + r]
        expect(row.split()[0] == str(r + 1), "table row %d: %r" % (r + 1, row))
        for c in range(n):
            start = ends[c - 1] + 1 if c else len(row) - len(row.lstrip()) + len(str(r + 1))
            cell = row[start:ends[c] + 1].strip().rstrip("*")
            want = "" if r == c else loss.get((r, c), "-")
            expect(cell == want, "table cell %d,%d: %r, want %r\n%s" % (r + 1, c + 1, cell, want, out))


class Page:
    """The browser on one page: helpers around a Selenium driver."""

    def __init__(self, driver):
        self.d = driver

    def load(self, url, timeout=20.0):
        self.d.get(url)
        ok = lab.wait_for(lambda: self.js("return window.quillonRenderMs") is not None, timeout, interval=0.1)
        expect(ok, "the page at %s did not render within %.0f s; banners: %r"
               % (url, timeout, self.js("return document.getElementById('banners').textContent")))

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def console_problems(self):
        return [e["message"] for e in self.d.get_log("browser") if e.get("level") in ("SEVERE", "WARNING")]

    def cell(self, receiver, sender):
        from selenium.webdriver.common.by import By
        row = self.d.find_element(By.CSS_SELECTOR, '#matrix .mrow[data-beacon="%d"]' % receiver)
        cols = [int(h.get_attribute("data-beacon")) for h in
                self.d.find_elements(By.CSS_SELECTOR, "#matrix .mrow.head .ch")]
        return row.find_elements(By.CSS_SELECTOR, ".c")[cols.index(sender)]

    def hover(self, element):
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.d).move_to_element(element).perform()
        lab.wait_for(lambda: "shown" in (self.js("return document.getElementById('tip').className") or ""), 5.0)
        return self.js("return document.getElementById('tip').innerText")


def tip_rows(text):
    """The details' figure lines: {label: (asm text, ssm text)}."""
    rows = {}
    for line in text.splitlines():
        parts = line.split("\t") if "\t" in line else line.rsplit(" ", 2)
        parts = [p.strip() for p in parts if p.strip()]
        if len(parts) == 3:
            rows[parts[0]] = (parts[1], parts[2])
    return rows


def check_live_page(page, base, snapshot, doc, want, shot):
    addrs = [b["address"] for b in doc["beacons"]]
    n = len(addrs)
    # Without refreshes while the cell's details are read.
    page.load(base + "/?refresh=3600")

    def cells():
        return page.js("return [document.querySelectorAll('#matrix .c').length,"
                       " document.querySelectorAll('#matrix .c.self').length]")
    expect(cells() == [n * n, n], "cells %r, want %d with %d on the diagonal" % (cells(), n * n, n))

    # The known cell: alpha (receiver 0) hearing the beacon named <script>.
    sender = next(i for i, b in enumerate(doc["beacons"]) if b["name"] == SCRIPT_NAME)
    rows = tip_rows(page.hover(page.cell(0, sender)))
    for channel, col in (("asm", 0), ("ssm", 1)):
        t = want["cells"][addrs[0], addrs[sender], channel]["texts"]
        delay = ("-" if t.get("future") == "true" else "") + t["delay"]
        for label, text in (("loss %", t["loss"]), ("delay ms", delay), ("jitter ms", t["jitter"]),
                            ("reordered %", t["ooo"]), ("duplicated %", t["dup"]), ("hops", t["ttl"]),
                            ("age s", None)):
            expect(label in rows, "no %r line in the details: %r" % (label, rows))
            if text is not None:
                expect(rows[label][col] == text, "details %s %s: %r, the dump says %r"
                       % (channel, label, rows[label][col], text))
    # The pair's round trip: both one-way delays added, whatever the clocks.
    for channel, col in (("asm", 0), ("ssm", 1)):
        there = want["cells"][addrs[sender], addrs[0], channel]["delay_ms"]
        back = want["cells"][addrs[0], addrs[sender], channel]["delay_ms"]
        expect(rows.get("round trip ms", ("?", "?"))[col] == "%.3f" % (there + back),
               "details %s round trip %r, the dump's delays add up to %.3f"
               % (channel, rows.get("round trip ms"), there + back))
    tip = page.js("return document.getElementById('tip').textContent")
    expect(SCRIPT_NAME in tip and addrs[sender] in tip and addrs[0] in tip,
           "the details lack the names and addresses: %r" % tip)
    say("  details of alpha <- %s: %r" % (SCRIPT_NAME, rows))

    # Hostile texts: shown, never run, never a link.
    expect(page.js("return typeof window.__pwned") == "undefined",
           "window.__pwned is %r" % page.js("return window.__pwned"))
    names = page.js("return Array.from(document.querySelectorAll('#beacons td.name')).map(e => e.textContent)")
    for name in (SCRIPT_NAME, IMG_NAME):
        expect(name in names, "%r is not shown as text among %r" % (name, names))
    expect(page.js("return document.querySelectorAll('img').length") == 0, "an <img> element made it into the page")
    expect(page.js("return document.scripts.length") == 3, "scripts: %r" % page.js(
        "return Array.from(document.scripts).map(s => s.outerHTML.slice(0, 80))"))
    links = page.js("return Array.from(document.links).map(a => a.href)")
    expect(all(h.startswith(("http://", "https://")) for h in links), "links %r" % links)
    expect("https://alpha.example.net/" in links, "alpha's website is no link: %r" % links)
    shown = page.js("return document.getElementById('beacons').textContent")
    expect(JS_URL in shown, "the javascript: URL is not shown as text")

    # Live: the page refreshes from /matrix.json (every second here).
    page.load(base + "/?refresh=1")
    lab.wait_for(lambda: (page.js("return window.quillonFetches || 0") or 0) >= 2, 6.0)
    fetched = page.js("return window.quillonFetches || 0")
    expect(fetched >= 2, "the live page fetched /matrix.json %r times in 6 s" % fetched)
    banners = page.js("return document.getElementById('banners').textContent")
    expect("fetch" not in banners, "banner after a refresh: %r" % banners)
    expect(cells()[0] == n * n, "cells after a refresh: %r" % cells())
    page.d.save_screenshot(shot)
    problems = page.console_problems()
    expect(not problems, "browser console: %r" % problems)

    # A half-written dump: the page keeps the last good matrix and says why.
    with open(snapshot) as f:
        half = f.read()[:300]
    with open(snapshot + ".tmp", "w") as f:
        f.write(half)
    os.rename(snapshot + ".tmp", snapshot)
    told = lab.wait_for(lambda: "could not be read" in page.js(
        "return document.getElementById('banners').textContent"), 6.0, interval=0.2)
    expect(told, "no banner about the broken dump: %r"
           % page.js("return document.getElementById('banners').textContent"))
    expect(cells()[0] == n * n, "cells after the dump broke: %r" % cells())

    page.load(base + "/?metric=delay")
    expect(page.js("return document.getElementById('metric').value") == "delay", "?metric=delay not honoured")
    legend = page.js("return document.getElementById('legend').textContent")
    expect("250 ms" in legend and "100 ms" in legend, "delay legend %r" % legend)


def check_headers(base):
    with urllib.request.urlopen(base + "/", timeout=10) as r:
        csp = r.headers.get("Content-Security-Policy", "")
        body = r.read().decode()
    for part in ("default-src 'none'", "script-src 'nonce-", "frame-ancestors 'none'"):
        expect(part in csp, "Content-Security-Policy %r lacks %r" % (csp, part))
    nonce = csp.split("'nonce-", 1)[1].split("'", 1)[0]
    expect('<script nonce="%s">' % nonce in body, "the page's script does not carry the header's nonce")


def check_clock_page(page, view, tmp):
    """A crafted dump in which beacon 3's clock is 50 ms ahead: the page
    marks it (and only it) clock-suspect, and a cell's details give the
    offset of the sender's clock to the receiver's."""
    dump, html = os.path.join(tmp, "clock.xml"), os.path.join(tmp, "clock.html")
    mu.write_synthetic_dump(dump, 5, seed=3, clock_ahead={3: 50.0})
    subprocess.run([view, "html", dump, "-o", html], check=True, timeout=30)
    page.load("file://" + html)
    marked = page.js("return Array.from(document.querySelectorAll('#matrix .rh'))"
                     ".filter(h => h.querySelector('.clock')).map(h => Number(h.dataset.beacon))")
    expect(marked == [3], "clock-suspect marks on beacons %r, want [3]" % marked)
    rows = tip_rows(page.hover(page.cell(0, 3)))
    offset = rows.get("sender clock \u2212 receiver clock, ms", ("?", "?"))
    expect(offset[0] == "+50.000", "beacon 0 <- 3: sender clock offset %r, want +50.000" % (offset,))
    rows = tip_rows(page.hover(page.cell(3, 1)))
    offset = rows.get("sender clock \u2212 receiver clock, ms", ("?", "?"))
    expect(offset[0] == "-50.000", "beacon 3 <- 1: sender clock offset %r, want -50.000" % (offset,))


def check_big_page(page, view, tmp, shot):
    dump, html = os.path.join(tmp, "big.xml"), os.path.join(tmp, "big.html")
    mu.write_synthetic_dump(dump, BIG, clock_ahead={7: 400.0})
    subprocess.run([view, "html", dump, "-o", html], check=True, timeout=60)
    times = []
    for _ in range(3):
        page.load("file://" + html, timeout=30)
        n = page.js("return document.querySelectorAll('#matrix .c').length")
        expect(n == BIG * BIG, "%d cells, want %d" % (n, BIG * BIG))
        times.append((page.js("return window.quillonRenderMs"), page.js("return window.quillonPainted")))
    best = min(t[0] for t in times)
    # The search box keeps the matching receivers: b7 and b70..b79.
    page.d.find_element("id", "search").send_keys("b7")
    shown = lambda: page.js("return document.querySelectorAll('#matrix .mrow[data-beacon]').length")  # noqa: E731
    lab.wait_for(lambda: shown() == 11, 3.0)
    expect(shown() == 11, "%d rows for 'b7', want 11" % shown())
    say("  %d beacons: page script to painted grid %s ms (since navigation start %s ms); page %.1f MB"
        % (BIG, ", ".join("%.0f" % t[0] for t in times), ", ".join("%.0f" % t[1] for t in times),
           os.path.getsize(html) / 1e6))
    page.d.save_screenshot(shot)
    expect(best < RENDER_LIMIT_MS, "the %d-beacon grid took %.0f ms at best" % (BIG, best))


def check_widths(page, view, tmp, shots):
    """A phone (420 px) and a wide screen (1920 px), in the light and the
    dark theme, with a 300-character name: nothing scrolls the page
    sideways, the legend is whole, the long name is cut with its whole text
    on hover, the beacons are listed in table's order, the metric selector
    names each unit once, and "no figures" stands out from the dark
    background (contrast 3:1 at least)."""
    long_name = "x" * 300
    dump, html = os.path.join(tmp, "widths.xml"), os.path.join(tmp, "widths.html")
    mu.write_synthetic_dump(dump, 6, names={2: long_name})
    subprocess.run([view, "html", dump, "-o", html], check=True, timeout=30)
    table = subprocess.run([view, "table", dump], check=True, timeout=30, capture_output=True, text=True).stdout
    legend_names = re.findall(r"^\s*\d+\s+(\S+)\s+10\.", table, re.M)
    contrast = """
        function lum(c) {
          var v = c.match(/\\d+/g).slice(0, 3).map(function (x) {
            x = x / 255; return x <= 0.03928 ? x / 12.92 : Math.pow((x + 0.055) / 1.055, 2.4); });
          return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2];
        }
        var none = getComputedStyle(document.querySelector('#legend .sw.none')).backgroundColor;
        var bg = getComputedStyle(document.body).backgroundColor;
        var a = lum(none), b = lum(bg);
        return (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);"""
    try:
        for width, scheme in ((420, "light"), (420, "dark"), (1920, "dark"), (1920, "light")):
            page.d.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                   {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            page.d.set_window_size(width, 900)
            page.load("file://" + html)
            at = "%d px, %s" % (width, scheme)
            inner = page.js("return window.innerWidth")
            wide = page.js("return document.documentElement.scrollWidth")
            expect(wide <= inner, "%s: the page is %d px wide in a %d px window" % (at, wide, inner))
            clipped = page.js("return Array.from(document.querySelectorAll('#legend .item'))"
                              ".filter(e => e.getBoundingClientRect().right > window.innerWidth + 0.5)"
                              ".map(e => e.textContent)")
            expect(not clipped, "%s: legend items beyond the window: %r" % (at, clipped))
            cell = page.js("var td = document.querySelectorAll('#beacons td.name')[2];"
                           "return [td.title, td.getBoundingClientRect().width]")
            expect(cell[0] == long_name and cell[1] < min(inner, 400),
                   "%s: the long name's cell is %.0f px wide, title %d characters" % (at, cell[1], len(cell[0])))
            names = page.js("return Array.from(document.querySelectorAll('#beacons td.name')).map(e => e.title)")
            expect([n[:40] for n in names] == [n[:40] for n in legend_names],
                   "%s: the page lists %r, table %r" % (at, names, legend_names))
            options = page.js("return Array.from(document.querySelectorAll('#metric option')).map(o => o.text)")
            expect("hops (ttl)" in options and not any("(hops)" in o for o in options),
                   "%s: metric options %r" % (at, options))
            if scheme == "dark":
                ratio = page.js(contrast)
                expect(ratio >= 3.0, "%s: 'no figures' against the background: contrast %.2f" % (at, ratio))
            page.d.save_screenshot(os.path.join(shots, "quillon-view-%d-%s.png" % (width, scheme)))
        say("  420 px and 1920 px, light and dark: screenshots quillon-view-*-{light,dark}.png in %s" % shots)
    finally:
        page.d.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        page.d.set_window_size(1400, 1000)


DROP_RULES = """
table ip viewloss {
  chain input {
    type filter hook input priority 0; policy accept;
    ip saddr %s udp length 20 numgen inc mod 2 == 0 counter drop
  }
}
"""


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.loads(r.read().decode())


def check_history(page, base, receiver_host, doc, drops_began):
    """The loss period in the history of alpha <- <script>: logged bad, then
    good once the drops end, and so on the page's panel and Events view."""
    sender = next(i for i, b in enumerate(doc["beacons"]) if b["name"] == SCRIPT_NAME)
    alpha_id = doc["beacons"][0]["address"].rsplit("/", 1)[0]
    sender_id = doc["beacons"][sender]["address"].rsplit("/", 1)[0]
    cell = "receiver=%s&sender=%s&channel=asm" % (alpha_id, sender_id)

    def changes(since=0):
        got = get_json(base + "/history?%s&from=%d&to=%d" % (cell, int(drops_began) - 600, int(time.time()) + 60))
        return [e for e in reversed(got["events"]) if e["time"] >= since]
    # Windows published before the drops may have had their own losses.
    bad = lab.wait_for(lambda: any(e["state"] == "bad" for e in changes(drops_began - 5)), 75.0, interval=1.0)
    expect(bad, "no bad state logged for the cell within 75 s of the drops: %r" % changes())
    receiver_host.execute(["nft", "delete", "table", "ip", "viewloss"], check=True)
    drops_ended = time.time()
    good = lab.wait_for(lambda: any(e["state"] == "good" for e in changes(drops_ended - 1)), 90.0, interval=1.0)
    expect(good, "no good state logged within 90 s of the drops' end: %r" % changes())
    log = changes()
    went_bad = next(e for e in log if e["state"] == "bad" and e["time"] >= drops_began - 5)
    came_back = next(e for e in log if e["state"] == "good" and e["time"] >= went_bad["time"])

    # Counted in the cell's own windows (their length varies with the
    # random pauses between bursts): at most the window under way when the
    # drops began (or ended) lies between that moment and the change.
    points = get_json(base + "/history?%s&from=%d&to=%d" % (cell, int(drops_began) - 300, int(time.time())))["points"]
    times = [p[0] for p in points if p]
    between_start = [t for t in times if drops_began < t < went_bad["time"]]
    between_end = [t for t in times if drops_ended < t < came_back["time"]]
    say("  drops for %.0f s; logged bad %+d s after they began, good %+d s after they ended; windows between: %d, %d"
        % (drops_ended - drops_began, went_bad["time"] - drops_began, came_back["time"] - drops_ended,
           len(between_start), len(between_end)))
    expect(went_bad["time"] >= drops_began - 1 and len(between_start) <= 1,
           "bad logged at %d, drops began at %.0f, windows %r" % (went_bad["time"], drops_began, times))
    expect(came_back["time"] >= drops_ended - 1 and len(between_end) <= 1,
           "good logged at %d, drops ended at %.0f, windows %r" % (came_back["time"], drops_ended, times))

    page.load(base + "/")
    page.cell(0, sender).click()
    panel = "document.querySelector('#hdirs .dir[data-receiver=\"0\"] .chan[data-channel=asm]')"
    shown = lab.wait_for(lambda: page.js("return !!" + panel), 10.0, interval=0.2)
    expect(shown, "the history panel did not open for alpha <- <script>")
    peak = page.js("return Number(%s.querySelector('svg[data-metric=loss]').getAttribute('data-max'))" % panel)
    expect(peak >= 5, "the loss chart peaks at %r %%, want the drops' loss (>= 5 %%)" % peak)
    listed = page.js("return Array.from(%s.querySelectorAll('table.log tr[data-time]')).map(function (r) {"
                     " return [r.getAttribute('data-state'), Number(r.getAttribute('data-time'))]; })" % panel)
    for e in (went_bad, came_back):
        expect([e["state"], e["time"]] in listed, "the panel lists %r, not %s at %d" % (listed, e["state"], e["time"]))
    text = page.js("return %s.textContent" % panel)
    expect(re.search(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d", text), "no local time with offset: %r" % text[:200])
    link = page.js("var r = document.querySelector('#elist tr[data-state=bad] a'); return r ? r.textContent : null")
    expect(link is not None and "script" in link, "the Events view has no link to the bad cell: %r" % link)
    expect(not page.js("return window.__pwned"), "a hostile name ran as script in the history views")
    expect(not page.console_problems(), "console: %r" % page.console_problems())


def main():
    binary = binary_from_args()
    mu.use_debian_selenium()
    view = mu.view_binary(binary)
    checks = Checks("view")
    shots = os.environ.get("TMPDIR") or tempfile.gettempdir()
    with lab.Lab(hosts=3) as net:
        h1, h2, h3 = net.hosts
        beacons = [
            Beacon(net, h1, "alpha", 4, GROUP, ssm=True, country="NO", website="https://alpha.example.net/"),
            Beacon(net, h2, SCRIPT_NAME, 4, GROUP, ssm=True),
            Beacon(net, h3, IMG_NAME, 4, GROUP, website=JS_URL),
        ]
        mu.start_together(beacons, binary)
        alpha = beacons[0]
        # Reads alpha's live dump from the start, recording its history.
        hport = mu.free_port()
        hbase = "http://127.0.0.1:%d" % hport
        recorder = lab.LabProcess([view, "serve", alpha.dump_path, "--listen", "127.0.0.1:%d" % hport,
                                   "--history", os.path.join(net.tmpdir, "history.db")],
                                  os.path.join(net.tmpdir, "history.out"), os.path.join(net.tmpdir, "history.err"),
                                  start_new_session=True)
        filled = lab.wait_for(lambda: complete(alpha.dump_path, beacons), FILL_LIMIT, interval=1.0)
        if not filled:
            print("FAIL alpha's dump did not hold the whole matrix within %.0f s" % FILL_LIMIT)
            return 1
        snapshot = os.path.join(net.tmpdir, "snapshot.xml")
        shutil.copyfile(alpha.dump_path, snapshot)
        want = read_matrix(snapshot)
        # The loss period runs while the snapshot's checks do.
        drops_began = time.time()
        lab_nft(h1, DROP_RULES % h2.addr4)
        state = {}

        def json_check():
            state["doc"] = check_json(view, snapshot, want)
        checks.run("json of a real dump says what the dump says", json_check)
        if "doc" not in state:
            return checks.finish()
        checks.run("table lists every beacon with its number and name", check_table, view, snapshot, state["doc"])

        port = mu.free_port()
        base = "http://127.0.0.1:%d" % port
        serve = lab.LabProcess([view, "serve", snapshot, "--listen", "127.0.0.1:%d" % port],
                               os.path.join(net.tmpdir, "serve.out"), os.path.join(net.tmpdir, "serve.err"),
                               start_new_session=True)
        driver = None
        try:
            up = lab.wait_for(lambda: _answers(base), 10.0, interval=0.1)
            if not up:
                print("FAIL quillon-view serve did not answer: %s" % serve.stderr_text())
                return 1
            checks.run("serve sends a nonce-based Content-Security-Policy", check_headers, base)
            driver = mu.headless_chromium(os.path.join(net.tmpdir, "chromium-profile"))
            page = Page(driver)
            checks.run("browser: the live page shows every cell, a cell's figures and hostile names as text",
                       check_live_page, page, base, snapshot, state["doc"], want,
                       os.path.join(shots, "quillon-view-matrix.png"))
            checks.run("browser: a beacon with a clock 50 ms ahead is marked, the offset in the details",
                       check_clock_page, page, view, net.tmpdir)
            checks.run("browser: the %d-beacon page renders within a second" % BIG, check_big_page, page, view,
                       net.tmpdir, os.path.join(shots, "quillon-view-matrix-150.png"))
            checks.run("browser: at 420 px and 1920 px, light and dark, with a 300-character name",
                       check_widths, page, view, net.tmpdir, shots)
            checks.run("history: a loss period charted, its start and end logged within a window, on the page",
                       check_history, page, hbase, h1, state["doc"], drops_began)
        finally:
            if driver is not None:
                driver.quit()
            serve.stop()
            recorder.stop()
    return checks.finish()


def lab_nft(host, script):
    r = host.execute(["nft", "-f", "-"], input=script)
    expect(r.returncode == 0, "nft in %s: %s" % (host.name, r.stderr.strip()))


def _answers(base):
    try:
        with urllib.request.urlopen(base + "/matrix.json", timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main())
