#!/usr/bin/env python3
"""Checks of what `cmake --install` and `cpack -G DEB` deliver.

    check_install.py destdir|man|units|package --build-dir DIR --binary QUILLON

destdir  installs into DESTDIRs with the prefixes /usr and /opt/quillon and
         compares what landed with the expected list; the configuration is
         kept when present; the units name the prefix's paths.
man      lints the man pages (mandoc -Tlint, groff -ww -z: no message at
         all) and checks that every option `quillon -h` prints and every
         option of the table is in quillon(8), and that quillon.conf(5)
         lists exactly the keys the daemon accepts.
units    `systemd-analyze verify` of both units as installed, and their
         `systemd-analyze security --offline=true` exposure below 2.0.
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
    files |= {p + "/share/doc/quillon/" + d for d in ("README.md", "CHANGELOG.md.gz", "changelog.gz", "copyright")}
    contrib = os.path.join(SOURCE, "contrib", "prometheus")
    for root, _, names in os.walk(contrib):
        for name in names:
            files.add(p + "/share/doc/quillon/prometheus/" +
                      os.path.relpath(os.path.join(root, name), contrib))
    if view_built(build):
        files |= {p + "/bin/quillon-view", p + "/share/man/man1/quillon-view.1.gz",
                  p + "/lib/systemd/system/quillon-view.service"}
    return files


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


CHECKS = {"destdir": check_destdir, "man": check_man, "units": check_units, "package": check_package}


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
