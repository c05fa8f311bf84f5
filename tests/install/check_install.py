#!/usr/bin/env python3
"""Checks of what `cmake --install` and `cpack -G DEB` deliver.

    check_install.py destdir|man|units|package|deps --build-dir DIR --binary QUILLON

destdir  installs into DESTDIRs with the prefixes /usr and /opt/quillon and
         compares what landed with the expected list; the configuration is
         kept when present; the units name the prefix's paths; every
         relative link of the installed README leads to an installed file.
man      lints the man pages (mandoc -Tlint, groff -ww -z: no message at
         all) and checks that every option `quillon -h` prints and every
         option of the table is in quillon(8), that every exit status,
         message and default in the tables below that quillon(8) states is
         what the program does (a beacon runs 16 s on loopback, in a network
         namespace of its own), and that quillon.conf(5) lists exactly the
         keys the daemon accepts.
units    `systemd-analyze verify` of both units as installed, and their
         `systemd-analyze security --offline=true` exposure below 2.0.
deps     runs tools/install-deps under a root of its own with stand-ins
         for apt-get, dpkg and the service helpers: the sets, the
         policy-rc.d guard, the services disabled again, --check.
package  builds the .deb, checks it with lintian (no errors), installs it
         with dpkg -i, runs `quillon -V` and `man -w quillon`, purges it and
         finds nothing left behind.  Needs root (else exit 77); changes the
         machine, so CTest runs it alone.

Exit status 0 when every check passed, 1 otherwise, 77 when skipped.
"""

import argparse
import gzip
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VERSION_TEXT = "quillon - a Multicast Beacon 0.3.9.1 ($Rev: 409 $)"
EXEC_START = "/usr/sbin/quillon -c /etc/quillon/quillon.conf -d /var/lib/quillon/dump.xml"
EXPOSURE_LIMIT = 2.0
SKIP = 77


class Failed(Exception):
    pass


def expect(cond, message):
    if not cond:
        raise Failed(message)


def run(argv, env=None, check=True, **kw):
    r = subprocess.run(argv, capture_output=True, text=True, env=env, **kw)
    if check and r.returncode != 0:
        raise Failed("%s: status %d\n%s%s" % (" ".join(argv), r.returncode, r.stdout, r.stderr))
    return r


def view_built(build):
    return os.path.exists(os.path.join(build, "view")) and any(
        os.access(p, os.X_OK) for p in (os.path.join(build, "quillon-view"),
                                         os.path.join(build, "view", "quillon-view")))


def install(build, prefix, destdir):
    env = dict(os.environ, DESTDIR=destdir)
    return run(["cmake", "--install", build, "--prefix", prefix], env=env).stdout


def landed(destdir):
    out = set()
    for root, _, files in os.walk(destdir):
        for name in files:
            out.add(os.path.relpath(os.path.join(root, name), destdir))
    return out


def expected_files(build, prefix, etc):
    p = prefix.lstrip("/")
    files = {etc.lstrip("/") + "/quillon/quillon.conf", p + "/sbin/quillon",
             p + "/lib/systemd/system/quillon.service",
             p + "/share/man/man8/quillon.8.gz", p + "/share/man/man5/quillon.conf.5.gz"}
    files |= {p + "/share/doc/quillon/" + d for d in ("README.md", "CHANGELOG.md.gz", "changelog.gz", "copyright",
                                                       "quillon.conf.example", "docs/matrix.png", "bench/RESULTS.md",
                                                       "bench/SYSTEM_RESULTS.md")}
    contrib = os.path.join(SOURCE, "contrib", "prometheus")
    for root, _, names in os.walk(contrib):
        for name in names:
            files.add(p + "/share/doc/quillon/prometheus/" +
                      os.path.relpath(os.path.join(root, name), contrib))
    if view_built(build):
        files |= {p + "/bin/quillon-view", p + "/share/man/man1/quillon-view.1.gz",
                  p + "/lib/systemd/system/quillon-view.service"}
    return files


def broken_links(readme):
    """The relative links (and pictures) of a Markdown file that lead to
    nothing beside it."""
    text = open(readme).read()
    targets = re.findall(r"\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)", text) + re.findall(r'<img[^>]*\ssrc="([^"]+)"', text)
    base = os.path.dirname(readme)
    broken = []
    for target in targets:
        if re.match(r"[a-z][a-z0-9+.-]*:", target) or target.startswith("#"):
            continue                        # a URL, a mail address, a heading of the same file
        path = target.split("#", 1)[0]
        if not os.path.exists(os.path.join(base, path)):
            broken.append(target)
    return broken


def unit_value(text, key):
    return [line.split("=", 1)[1] for line in text.splitlines() if line.startswith(key + "=")]


# ---------------------------------------------------------------------------

def check_destdir(args, tmp):
    cases = [("/usr", "/etc"), ("/opt/quillon", "/opt/quillon/etc")]
    for prefix, etc in cases:
        dest = os.path.join(tmp, prefix.strip("/").replace("/", "_"))
        install(args.build_dir, prefix, dest)
        got = landed(dest)
        print("installed with prefix %s:\n  %s" % (prefix, "\n  ".join(sorted(got))))
        want = expected_files(args.build_dir, prefix, etc)
        expect(got == want, "prefix %s: missing %s, unexpected %s" % (prefix, sorted(want - got), sorted(got - want)))

        root = dest + prefix
        r = run([root + "/sbin/quillon", "-V"], check=False)
        expect(r.returncode == 1 and VERSION_TEXT in r.stderr, "installed quillon -V: %d %r" % (r.returncode, r.stderr))

        unit = open(root + "/lib/systemd/system/quillon.service").read()
        conf = etc + "/quillon/quillon.conf"
        start = "%s/sbin/quillon -c %s -d /var/lib/quillon/dump.xml" % (prefix, conf)
        expect(unit_value(unit, "ExecStart") == [start], "ExecStart %r, want %r" % (unit_value(unit, "ExecStart"), start))
        expect(not re.search(r"@[A-Z_]+@", unit), "unit with an unfilled placeholder:\n" + unit)
        if prefix == "/usr":
            expect(start == EXEC_START, "the packaged unit's ExecStart is %r" % start)
        page = gzip.open(root + "/share/man/man5/quillon.conf.5.gz", "rt").read()
        expect(conf in page and not re.search(r"@[A-Z_]+@", page), "quillon.conf(5) names %s, no placeholder" % conf)
        with open(root + "/share/man/man8/quillon.8.gz", "rb") as f:
            head = f.read(10)
        expect(head[3] & 0x08 == 0 and head[4:8] == b"\0\0\0\0", "man page gzipped with a name or time stamp")

        readme = root + "/share/doc/quillon/README.md"
        expect(re.search(r"\]\((?!https?:|#)", open(readme).read()), "the installed README has relative links")
        broken = broken_links(readme)
        expect(not broken, "links of the installed README that lead nowhere: %s" % broken)

        config = dest + conf
        expect(open(config).read() == open(os.path.join(SOURCE, "quillon.conf.example")).read(),
               "the installed configuration is the sample")
        with open(config, "a") as f:
            f.write("addr: 239.1.2.3\n")
        out = install(args.build_dir, prefix, dest)
        expect(open(config).read().endswith("addr: 239.1.2.3\n"), "a second install overwrote " + config)
        expect("Kept: " + config in out, "the second install does not say it kept the configuration")


def rendered(page_path):
    """The page as plain text (mandoc, overstrike removed)."""
    text = run(["mandoc", "-Tutf8", page_path]).stdout
    return re.sub(".\b", "", text)


def section(text, title):
    m = re.search(r"^%s\n(.*?)(?=^[A-Z][A-Z ]+\n|\Z)" % re.escape(title), text, re.S | re.M)
    expect(m, "no %s section" % title)
    return m.group(1)


def has_token(text, token):
    return re.search(r"(?<![\w-])%s(?![\w-])" % re.escape(token), text) is not None


def option_table():
    """(short, long or None) of every entry of the daemon's option table."""
    src = open(os.path.join(SOURCE, "control", "options.cpp")).read()
    rows = re.findall(r'\{\d+, "([^"]+)", (?:"([^"]+)"|nullptr), ARG_', src)
    expect(len(rows) == 27, "option table: %d entries read" % len(rows))
    return [(s, l or None) for s, l in rows]


def conf_keys(path):
    """The keys quillon.conf(5) lists: the bold words of each item tag
    (.TP) of its KEYS section, read from the source of the page."""
    text = open(path).read()
    keys_src = text.split(".SH KEYS\n", 1)[1].split("\n.SH ", 1)[0].splitlines()
    keys = set()
    for line, tag in zip(keys_src, keys_src[1:]):
        if line != ".TP":
            continue
        macro, *words = shlex.split(tag)
        bold = words if macro == ".B" else words[0::2]   # .BR/.BI alternate from bold
        keys |= {w.rstrip(":") for w in bold if w.strip(", ")}
    return keys


def check_man(args, tmp):
    pages = {p: os.path.join(args.build_dir, "man", p) for p in ("quillon.8", "quillon.conf.5", "quillon-view.1")}
    for name, path in pages.items():
        r = run(["mandoc", "-Tlint", path], check=False)
        expect(r.returncode == 0 and not (r.stdout + r.stderr).strip(), "mandoc -Tlint %s:\n%s%s" % (name, r.stdout, r.stderr))
        r = run(["groff", "-ww", "-z", "-man", path], check=False)
        expect(r.returncode == 0 and not (r.stdout + r.stderr).strip(), "groff -ww -z %s:\n%s" % (name, r.stderr))
    print("lint: no message for %s" % ", ".join(pages))

    options = section(rendered(pages["quillon.8"]), "OPTIONS")
    usage = run([args.binary, "-h"], check=False).stdout
    printed = re.findall(r"(?:^|[\s,])(-[A-Za-z0-9][\w-]*)", usage)
    expect(len(set(printed)) >= 30, "quillon -h: only %r" % sorted(set(printed)))
    missing = sorted({o for o in printed if not has_token(options, o)})
    expect(not missing, "options printed by quillon -h but not in quillon(8): %s" % missing)
    table = [n for entry in option_table() for n in entry if n]
    missing = sorted({"-" + n for n in table if not has_token(options, "-" + n)})
    expect(not missing, "options of the table not in quillon(8): %s" % missing)
    print("quillon(8) has the %d options quillon -h prints and all %d names of the table"
          % (len(set(printed)), len(table)))

    page_text = folded(rendered(pages["quillon.8"]))
    failures = check_statements(args.binary, page_text, tmp)
    ran = check_running_statements(args.binary, page_text, tmp)
    failures += ran or []
    expect(not failures, "quillon(8) and the program disagree:\n  " + "\n  ".join(failures))
    print("quillon(8): %d statements shown by the program's exit statuses and messages, %d quoted log lines "
          "written by the source%s" % (len(MANUAL_STATEMENTS), len(MANUAL_LOG_LINES), "" if ran is None else ", %d and SIGTERM's status 0 by a running beacon"
        % len(RUN_STATEMENTS)))
    if ran is None:
        print("  (no network namespace can be made here: the running beacon's statements were not checked)")

    documented = conf_keys(pages["quillon.conf.5"])
    keys = {l for _, l in option_table() if l}
    expect(documented == keys, "quillon.conf(5) keys: missing %s, not keys %s"
           % (sorted(keys - documented), sorted(documented - keys)))
    print("quillon.conf(5) lists the %d keys" % len(keys))

    view = [p for p in (os.path.join(os.path.dirname(args.binary), "quillon-view"),
                        os.path.join(os.path.dirname(args.binary), "view", "quillon-view")) if os.access(p, os.X_OK)]
    if view:
        r = run([view[0], "-h"], check=False)
        usage = r.stdout + r.stderr
        words = set(re.findall(r"(?:^|[\s,\[|])(--?[A-Za-z][\w-]*)", usage))
        text = rendered(pages["quillon-view.1"])
        missing = sorted(w for w in words if not has_token(text, w))
        expect(not missing, "options of quillon-view -h not in quillon-view(1): %s" % missing)
        print("quillon-view(1) has the %d options quillon-view -h prints" % len(words))


# What quillon(8) states, each with a command line (and configuration file)
# that shows it and what the program must then do: (the statement, in the
# rendered page with white space folded; the arguments, where CONF stands
# for the file written from the text given and DIR for a directory; that
# text or None; the exit status; the stream and the line it must print,
# without the time stamp of a log line).
LONG_LINE = "name: " + "a" * 249 + "n"      # 256 characters: a line too long
MANUAL_STATEMENTS = [
    ("Print the fixed usage text on standard output and exit with status 1.",
     ["-h"], None, 1, "stdout", "Usage: quillon [OPTIONS...]"),
    ("Print the version text on standard error and exit with status 1.",
     ["-V"], None, 1, "stderr", VERSION_TEXT),
    ("Nothing to do, check `quillon -h`.", ["-n", "x", "-a", "a@b.c"], None, 255, "stderr",
     "Nothing to do, check `quillon -h`."),
    ("No administration contact supplied.", ["-b", "239.77.99.1"], None, 255, "stderr",
     "No administration contact supplied."),
    ("Not a valid email address.", ["-a", "nobody"], None, 255, "stderr", "Not a valid email address."),
    ("Bad country code.", ["-C", "DEU"], None, 255, "stderr", "Bad country code."),
    ("Dump interval: Expected unsigned integer.", ["-I", "10s"], None, 255, "stderr",
     "Dump interval: Expected unsigned integer."),
    ("Unknown option `name`", ["-nope"], None, 255, "stderr", "Unknown option `nope`"),
    ("Unknown option `name` An option or configuration key", ["-c", "CONF"], "nope: 1\n", 255, "stderr",
     "Unknown option `nope`"),
    ("Parameter `name` requires an argument.", ["-n"], None, 255, "stderr", "Parameter `n` requires an argument."),
    ("Failed to open configuration file.", ["-c", "CONF.missing"], None, 255, "stderr",
     "Failed to open configuration file."),
    ("cannot be opened or read (a directory, for one)", ["-c", "DIR"], None, 255, "stderr",
     "Failed to open configuration file."),
    ("file:line: line longer than 255 characters.", ["-c", "CONF"], "# quillon\n" + LONG_LINE + "\n", 255,
     "stderr", "CONF:2: line longer than 255 characters."),
    ("Invalid `what` string. A name, contact, URL or country with a non-printable character.",
     ["-n", "tab\there"], None, 1, "stderr", "Invalid `name` string."),
    ("an address that cannot be resolved", ["-n", "x", "-a", "a@b.c", "-b", "10.0.0.1"], None, 255, "stderr",
     "No usable records for 10.0.0.1"),
]

# What a running beacon shows of the statements (the beacon runs on
# loopback in a network namespace of its own, in DIR, with the arguments
# below), each with a check of its start-up directory, its dumps (mtime,
# text) and its standard error.
RUN_ARGS = ["-n", "manual", "-a", "noc@manual.example", "-b", "239.77.99.1", "-s", "127.0.0.1", "-S",
            "-d", "-I", "3", "-U", "-v"]
RUN_SECONDS = 15.8


def _int_of(text):
    m = re.search(r' int="([\d.]+)"', text)
    return m.group(1) if m else None


RUN_STATEMENTS = [
    ("(default dump.xml)", lambda d, dumps, err: bool(dumps), "a dump.xml in the start-up directory"),
    ("port 10000 by default", lambda d, dumps, err: '<group addr="239.77.99.1/10000"' in dumps[0][1],
     "the group's port"),
    ("232.2.3.2 or ff3e::beac by default", lambda d, dumps, err: 'ssmgroup="232.2.3.2/10000"' in dumps[0][1],
     "the SSM group"),
    ("at least 5 (smaller values give 5)",
     lambda d, dumps, err: all(abs(b[0] - a[0] - 5.0) < 0.5 for a, b in zip(dumps, dumps[1:])) and len(dumps) >= 3,
     "dumps every 5 s with -I 3"),
    ("5 seconds at start-up", lambda d, dumps, err: _int_of(dumps[0][1]) == "5.00", "int of the first dump"),
    ("runs at the floor of 4.02 seconds from its first 10 seconds on",
     lambda d, dumps, err: len(dumps) >= 3 and _int_of(dumps[2][1]) == "4.02", "int of the dump at 15 s"),
    ("every 10 seconds and a summary every 10 minutes, on standard error",
     lambda d, dumps, err: re.search(r"\d BW: Received \d+ bytes", err) is not None,
     "a BW line on standard error"),
    ("With -v, the beacon logs the dump file's absolute path at start-up",
     lambda d, dumps, err: "Dump file is %s/dump.xml" % d in err, "the dump path logged"),
]


# Log lines quillon(8) quotes whole, with the source file that writes them
# and what stands in the manual for each conversion of the format.
MANUAL_LOG_LINES = [
    ("SSM join refused: every SSM socket (n) is at its source limit and no further socket can be opened (reason); "
     "raise the descriptor limit to receive SSM from every beacon", "state/ssm_channel.cpp",
     {"%u": "n", "%s": "reason"}),
    ("Clock not synchronised: measured delays are not meaningful until the clock is synchronised (NTP or PTP).",
     "control/clock_check.cpp", {}),
]


def c_strings(path):
    """The string literals of a C++ file, adjacent ones joined."""
    src = open(os.path.join(SOURCE, path)).read()
    out = []
    for run_ in re.finditer(r'"(?:[^"\\\n]|\\.)*"(?:\s*"(?:[^"\\\n]|\\.)*")*', src):
        out.append("".join(re.findall(r'"((?:[^"\\\n]|\\.)*)"', run_.group(0))))
    return out


def folded(text):
    """White space folded, words broken at a hyphen joined, typographic quotes made plain."""
    text = text.replace("\u2019", "'").replace("\u2018", "'").replace("\u201c", '"').replace("\u201d", '"')
    text = re.sub(r"(?<=\w-)\n\s+(?=\w)", "", text)    # a compound word broken at its hyphen
    return re.sub(r"\s+", " ", text)


def check_statements(binary, page_text, tmp):
    """Every statement of the tables is in quillon(8) and true of the
    program; gives the failures, one line each."""
    failures = []
    for statement, argv, conf, status, stream, line in MANUAL_STATEMENTS:
        if folded(statement) not in page_text:
            failures.append("quillon(8) does not say %r" % statement)
        path = os.path.join(tmp, "statement.conf")
        if conf is not None:
            with open(path, "w") as f:
                f.write(conf)
        words = [w.replace("CONF", path).replace("DIR", tmp) for w in argv]
        r = run([binary] + words, check=False)
        out = (r.stdout if stream == "stdout" else r.stderr).splitlines()
        want = line.replace("CONF", path)
        shown = [x for x in out if x == want or x.endswith(" " + want)]
        if r.returncode != status or not shown:
            failures.append("%r: quillon %s: status %d, %s %r; want %d and %r" % (
                statement, " ".join(words), r.returncode, stream, out[:3], status, want))
    for line, path, stand_ins in MANUAL_LOG_LINES:
        if folded(line) not in page_text:
            failures.append("quillon(8) does not quote the line %r" % line)
        written = []
        for literal in c_strings(path):
            for conversion, word in stand_ins.items():
                literal = literal.replace(conversion, word)
            written.append(literal)
        if line not in written:
            failures.append("%s writes no line %r" % (path, line))
    return failures


def check_running_statements(binary, page_text, tmp):
    """Runs one beacon for RUN_SECONDS and checks RUN_STATEMENTS, then that
    SIGTERM ends it with status 0; gives the failures, or None when this
    system lets nobody make a network namespace."""
    unshare = shutil.which("unshare")
    if not unshare or run([unshare, "-rn", "true"], check=False).returncode != 0:
        return None
    failures = [("quillon(8) does not say %r" % s) for s, _, _ in RUN_STATEMENTS if folded(s) not in page_text]
    if "Ended by SIGTERM or SIGINT" not in page_text:
        failures.append("quillon(8) does not say how SIGTERM ends it")
    where = os.path.join(tmp, "running")
    os.mkdir(where)
    script = 'ip link set lo up && ip route add 224.0.0.0/4 dev lo && exec "$@"'
    err_path = os.path.join(tmp, "running.err")
    with open(err_path, "w") as err:
        proc = subprocess.Popen([unshare, "-rn", "sh", "-c", script, "sh", os.path.abspath(binary)] + RUN_ARGS,
                                cwd=where, stdout=subprocess.DEVNULL, stderr=err)
    dumps = []
    dump = os.path.join(where, "dump.xml")
    deadline = time.monotonic() + RUN_SECONDS
    while time.monotonic() < deadline and proc.poll() is None:
        try:
            st = os.stat(dump)
            if not dumps or st.st_mtime != dumps[-1][0]:
                dumps.append((st.st_mtime, open(dump).read()))
        except OSError:
            pass
        time.sleep(0.05)
    alive = proc.poll() is None
    if alive:
        proc.send_signal(signal.SIGTERM)
    try:
        status = proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        status = proc.wait()
    err = open(err_path).read()
    if not alive or status != 0:
        failures.append("the beacon %s, status %s:\n%s" % ("ended early" if not alive else "after SIGTERM",
                                                            status, err[-1500:]))
    for statement, holds, what in RUN_STATEMENTS:
        try:
            ok = bool(dumps) and holds(where, dumps, err)
        except (IndexError, ValueError):
            ok = False
        if not ok:
            failures.append("%r: not so (%s); %d dumps, ints %s" % (
                statement, what, len(dumps), [_int_of(t) for _, t in dumps]))
    return failures


def check_units(args, tmp):
    if not shutil.which("systemd-analyze"):
        print("SKIP: no systemd-analyze")
        return SKIP
    dest = os.path.join(tmp, "root")
    install(args.build_dir, "/usr", dest)
    units_dir = os.path.join(dest, "usr/lib/systemd/system")
    mandir = os.path.join(dest, "usr/share/man")
    view_unit = os.path.join(units_dir, "quillon-view.service")
    if not os.path.exists(view_unit):
        # quillon-view is not built here: check its unit as it would be
        # installed, with a stand-in program and the page from the build.
        with open(os.path.join(SOURCE, "systemd", "quillon-view.service.in")) as f:
            text = f.read().replace("@QUILLON_BINDIR@", "/usr/bin")
        with open(view_unit, "w") as f:
            f.write(text)
        os.makedirs(os.path.join(dest, "usr/bin"), exist_ok=True)
        shutil.copy(shutil.which("true"), os.path.join(dest, "usr/bin/quillon-view"))
        os.makedirs(os.path.join(mandir, "man1"), exist_ok=True)
        shutil.copy(os.path.join(args.build_dir, "man", "quillon-view.1"), os.path.join(mandir, "man1"))
        print("quillon-view is not built: its unit is checked with a stand-in program")
    env = dict(os.environ, MANPATH=mandir)
    for unit in ("quillon.service", "quillon-view.service"):
        with open(os.path.join(units_dir, unit)) as f:
            text = f.read()
        # The programs as installed into the DESTDIR: verify checks that
        # they exist and are executable, and that the man pages resolve.
        text = text.replace("/usr/sbin/quillon ", dest + "/usr/sbin/quillon ").replace(
            "/usr/bin/quillon-view ", dest + "/usr/bin/quillon-view ")
        path = os.path.join(tmp, unit)
        with open(path, "w") as f:
            f.write(text)
        r = run(["systemd-analyze", "verify", path], env=env, check=False)
        expect(r.returncode == 0 and not (r.stdout + r.stderr).strip(),
               "systemd-analyze verify %s: status %d\n%s%s" % (unit, r.returncode, r.stdout, r.stderr))
        r = run(["systemd-analyze", "security", "--offline=true", "--no-pager", path], check=False)
        m = re.search(r"Overall exposure level for \S+: (\d+\.\d+) (\w+)", r.stdout)
        expect(m, "systemd-analyze security %s: %s%s" % (unit, r.stdout[-500:], r.stderr))
        print("%s: verified; exposure %s %s" % (unit, m.group(1), m.group(2)))
        expect(float(m.group(1)) < EXPOSURE_LIMIT, "%s: exposure %s, want below %.1f\n%s"
               % (unit, m.group(1), EXPOSURE_LIMIT, r.stdout))


def dpkg(*argv, wait=600):
    """dpkg with these arguments, waiting while another package tool on the
    machine holds dpkg's lock."""
    deadline = time.monotonic() + wait
    while True:
        r = run(["dpkg"] + list(argv), check=False)
        if r.returncode == 0:
            return r
        if "lock" not in r.stderr or time.monotonic() > deadline:
            raise Failed("dpkg %s: status %d\n%s%s" % (" ".join(argv), r.returncode, r.stdout, r.stderr))
        time.sleep(2)


def quillon_paths():
    """Every path with quillon in its name where a package puts or leaves
    things (merged /usr: /lib is /usr/lib)."""
    out = set()
    for top in ("/etc", "/usr", "/var/lib", "/var/cache/man"):
        for root, dirs, files in os.walk(top):
            for name in dirs + files:
                if "quillon" in name:
                    out.add(os.path.join(root, name))
    return out


def check_package(args, tmp):
    if os.geteuid() != 0:
        print("SKIP: dpkg -i needs root")
        return SKIP
    if run(["dpkg-query", "-W", "-f=${Status}", "quillon"], check=False).stdout.startswith("install"):
        print("SKIP: a quillon package is installed on this machine; not touching it")
        return SKIP
    run(["cpack", "-G", "DEB", "--config", os.path.join(args.build_dir, "CPackConfig.cmake"), "-B", tmp])
    debs = [f for f in os.listdir(tmp) if f.endswith(".deb")]
    expect(len(debs) == 1, "cpack made %s" % debs)
    deb = os.path.join(tmp, debs[0])
    depends = run(["dpkg-deb", "-f", deb, "Depends"]).stdout
    print("%s: Depends: %s" % (debs[0], depends.strip()))
    expect(re.search(r"\blibc6 \(>= [\d.]+\)", depends), "dependencies not derived: %r" % depends)
    conffiles = run(["dpkg-deb", "--info", deb, "conffiles"]).stdout
    expect(conffiles.split() == ["/etc/quillon/quillon.conf"], "conffiles: %r" % conffiles)
    r = run(["lintian", "--fail-on", "error", deb], check=False)
    print("lintian: %s" % ((r.stdout + r.stderr).strip() or "no tags"))
    expect(r.returncode == 0, "lintian found errors")

    before = quillon_paths()
    installed = False
    try:
        dpkg("-i", deb)
        installed = True
        r = run(["/usr/sbin/quillon", "-V"], check=False)
        expect(r.returncode == 1 and VERSION_TEXT in r.stderr, "quillon -V: %d %r" % (r.returncode, r.stderr))
        for page, path in (("quillon", "/usr/share/man/man8/quillon.8.gz"),
                           ("quillon.conf", "/usr/share/man/man5/quillon.conf.5.gz")):
            got = run(["man", "-w", page]).stdout.strip()
            expect(got == path, "man -w %s: %r" % (page, got))
        wants = "/etc/systemd/system/multi-user.target.wants/quillon.service"
        expect(os.path.islink(wants), "quillon.service not enabled (%s)" % wants)
        listed = run(["dpkg-query", "-W", "-f=${Conffiles}", "quillon"]).stdout
        expect("/etc/quillon/quillon.conf" in listed, "not a conffile: %r" % listed)
        print("installed: quillon -V, man -w quillon and quillon.conf, the unit enabled, the conffile")
    finally:
        if installed:
            dpkg("--purge", "quillon")
    left = quillon_paths() - before
    expect(not left, "left behind after purge: %s" % sorted(left))
    expect(not run(["dpkg-query", "-W", "-f=${Status}", "quillon"], check=False).stdout.startswith("install"),
           "still installed after purge")
    print("purged: nothing left behind")


# Stand-ins for the system's commands, for tools/install-deps under another
# root: they log how they were called (and what policy-rc.d said while
# apt-get installed), and the installation of prometheus enables its server.
FAKE_COMMANDS = {
    "id": 'echo 0\n',
    "dpkg": 'case "$1" in\n'
            '  -s) ! grep -qx "$2" "$FAKE/missing" ;;\n'
            '  -L) [ "$2" != prometheus ] || printf "/lib/systemd/system/prometheus.service\\n/etc/init.d/prometheus\\n" ;;\n'
            'esac\n',
    "apt-get": 'echo "apt-get $*" >> "$FAKE/log"\n'
               '[ "$1" = install ] || exit 0\n'
               'sh "$QUILLON_DEPS_ROOT/usr/sbin/policy-rc.d" prometheus start; echo "policy-rc.d: $?" >> "$FAKE/log"\n'
               'for p in "$@"; do sed -i "/^$p\$/d" "$FAKE/missing"; done\n'
               'case " $* " in *" prometheus "*)\n'
               '  ln -s /lib/systemd/system/prometheus.service '
               '"$QUILLON_DEPS_ROOT/etc/systemd/system/multi-user.target.wants/prometheus.service"\n'
               '  ln -s ../init.d/prometheus "$QUILLON_DEPS_ROOT/etc/rc2.d/S01prometheus" ;;\n'
               'esac\n',
    "deb-systemd-helper": 'echo "deb-systemd-helper $*" >> "$FAKE/log"\n'
                          'find "$QUILLON_DEPS_ROOT/etc/systemd/system" -name "$2" -delete\n',
    "update-rc.d": 'echo "update-rc.d $*" >> "$FAKE/log"\n'
                   'for f in "$QUILLON_DEPS_ROOT"/etc/rc?.d/S??"$1"; do mv "$f" "${f%/*}/K01$1"; done\n',
    "systemctl": 'echo "systemctl $*" >> "$FAKE/log"\n',
}


def check_deps(args, tmp):
    """tools/install-deps under a root of its own, with stand-ins for the
    system's commands: each set installs its packages only; nothing starts
    while they are installed; what the installation enabled is disabled
    again, what the operator had enabled stays; the operator's policy-rc.d
    is back afterwards; --check names an enabled server of the sets."""
    root, fake = os.path.join(tmp, "root"), os.path.join(tmp, "fake")
    wants = os.path.join(root, "etc/systemd/system/multi-user.target.wants")
    for d in (wants, root + "/etc/rc2.d", root + "/usr/sbin", fake + "/bin"):
        os.makedirs(d)
    for name, body in FAKE_COMMANDS.items():
        with open(os.path.join(fake, "bin", name), "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(os.path.join(fake, "bin", name), 0o755)
    os.symlink("/lib/systemd/system/ours.service", os.path.join(wants, "ours.service"))
    operators_guard = "#!/bin/sh\n# the operator's\nexit 0\n"
    with open(root + "/usr/sbin/policy-rc.d", "w") as f:
        f.write(operators_guard)
    env = dict(os.environ, QUILLON_DEPS_ROOT=root, FAKE=fake, PATH=fake + "/bin:" + os.environ["PATH"])
    script = os.path.join(SOURCE, "tools", "install-deps")

    def deps(*words):
        open(fake + "/log", "w").close()
        r = run(["bash", script] + list(words), env=env, check=False)
        return r, open(fake + "/log").read()

    def missing(*packages):
        with open(fake + "/missing", "w") as f:
            f.write("".join(p + "\n" for p in packages))

    sets = {"--demo": "iproute2", "--build": "dpkg-dev"}
    for words, want in sets.items():
        missing("iproute2", "prometheus", "dpkg-dev")
        r, log = deps(words)
        installs = [line.split()[3:] for line in log.splitlines() if line.startswith("apt-get install")]
        expect(r.returncode == 0 and installs == [[want]], "install-deps %s: status %d, installed %s, want [%s]"
               % (words, r.returncode, installs, want))
    r, log = deps()
    expect(r.returncode == 2 and "usage" in r.stderr, "install-deps without a set: %d %r" % (r.returncode, r.stderr))

    missing("iproute2", "prometheus", "dpkg-dev")
    r, log = deps("--test")
    expect(r.returncode == 0, "install-deps --test: status %d\n%s" % (r.returncode, r.stderr))
    expect("apt-get install -y --no-install-recommends prometheus" in log, "prometheus not installed:\n" + log)
    expect(re.findall(r"policy-rc\.d: (\d+)", log) == ["101", "101"],
           "policy-rc.d while installing: %s, want 101 (no start) at each apt-get install" % log)
    expect("deb-systemd-helper disable prometheus.service" in log and "update-rc.d prometheus disable" in log,
           "what the installation enabled is not disabled:\n" + log)
    enabled = sorted(os.listdir(wants)) + sorted(x for x in os.listdir(root + "/etc/rc2.d") if x.startswith("S"))
    expect(enabled == ["ours.service"], "enabled after install-deps --test: %s, want the operator's only" % enabled)
    expect(open(root + "/usr/sbin/policy-rc.d").read() == operators_guard, "the operator's policy-rc.d not restored")

    r, _ = deps("--check")
    expect(r.returncode == 0, "install-deps --check after --test: %d %s" % (r.returncode, r.stderr))
    os.symlink("/lib/systemd/system/prometheus.service", os.path.join(wants, "prometheus.service"))
    r, _ = deps("--check")
    expect(r.returncode == 1 and "prometheus.service (package prometheus) is enabled" in r.stderr,
           "install-deps --check with prometheus enabled: %d %r" % (r.returncode, r.stderr))
    print("install-deps: --demo, --build and --test install their sets; prometheus installed, not started, "
          "disabled again; the operator's unit and policy-rc.d kept; --check names an enabled server")


CHECKS = {"destdir": check_destdir, "man": check_man, "units": check_units, "package": check_package,
          "deps": check_deps}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("check", choices=sorted(CHECKS))
    p.add_argument("--build-dir", required=True)
    p.add_argument("--binary", required=True)
    args = p.parse_args()
    args.build_dir = os.path.abspath(args.build_dir)
    tmp = tempfile.mkdtemp(prefix="quillon-%s-" % args.check)
    try:
        status = CHECKS[args.check](args, tmp)
    except Failed as e:
        print("FAIL %s: %s" % (args.check, e))
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if status == SKIP:
        return SKIP
    print("PASS %s" % args.check)
    return 0


if __name__ == "__main__":
    sys.exit(main())
