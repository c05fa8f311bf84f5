#!/usr/bin/env python3
"""The beacon needs no privilege, black-box: everything runs as nobody.

Time budget: about 60 s wall time.

Two hosts on one segment each run a beacon with -S -P, a dump and a -L
program, started through setpriv as nobody:nogroup without supplementary
groups.  Checks: the processes run as nobody with no capability; each beacon
measures the other over ASM and SSM without loss; the SSM Ping responder on
port 4321 answers a request; the -L program runs and writes next to the
dump; the clock check says at start-up what the kernel says about the
host's clock, once.  When a quillon-view binary lies next to the quillon
binary, `quillon-view serve` runs as nobody on a beacon's dump and answers
/matrix.json with both beacons.
"""

import json
import os
import pwd
import grp
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
from beacons import (CLOCK_UNSYNC, CLOCK_ERROR_LIMIT_US, Checks, binary_from_args, host_clock,  # noqa: E402
                     is_clock_line, log_messages)
from beacon_util import Beacon, ask, expect, expect_eq, read_dump  # noqa: E402

AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
GROUP = "239.77.15.1"
MEASURE_TIMEOUT = 90.0
VIEW_PORT = 9798
LAUNCHED = """#!/bin/sh
cp "$1" "$1.launched"
"""


def status_fields(pid):
    with open("/proc/%d/status" % pid) as f:
        return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)


def view_binary(binary):
    here = os.path.dirname(os.path.abspath(binary))
    for path in (os.path.join(here, "quillon-view"), os.path.join(here, "view", "quillon-view")):
        if os.access(path, os.X_OK):
            return path
    return None


def main():
    binary = binary_from_args()
    checks = Checks("unprivileged")
    nobody = pwd.getpwnam("nobody").pw_uid
    nogroup = grp.getgrnam("nogroup").gr_gid
    with lab.Lab(hosts=2) as the_lab:
        h1, h2 = the_lab.hosts
        # The lab's directory is root's; nobody may only pass through it.
        os.chmod(the_lab.tmpdir, 0o711)
        home = os.path.join(the_lab.tmpdir, "nobody")
        os.mkdir(home)
        os.chown(home, nobody, nogroup)
        script = os.path.join(the_lab.tmpdir, "launched.sh")
        with open(script, "w") as f:
            f.write(LAUNCHED)
        os.chmod(script, 0o755)
        st = {}

        def start():
            for host, name in ((h1, "free-one"), (h2, "free-two")):
                st[name] = Beacon(host, binary, name, "ops@free.example", GROUP, 4, ssm=True, ssmping=True,
                                  dump=os.path.join(home, name + ".xml"), verbose=0,
                                  extra=["-L", script], run_as=AS_NOBODY)
            for b in st.values():
                b.wait_started()
        if not checks.run("start: two beacons as nobody with -S -P -d -L", start):
            return checks.finish()
        one, two = st["free-one"], st["free-two"]

        def as_nobody():
            for b in (one, two):
                fields = status_fields(b.proc.pid)
                expect_eq("%s process" % b.name, fields["Name"], "quillon")
                expect_eq("%s user ids" % b.name, fields["Uid"].split(), [str(nobody)] * 4)
                expect_eq("%s group ids" % b.name, fields["Gid"].split(), [str(nogroup)] * 4)
                expect_eq("%s supplementary groups" % b.name, fields["Groups"].strip(), "")
                for caps in ("CapPrm", "CapEff", "CapAmb"):
                    expect_eq("%s %s" % (b.name, caps), int(fields[caps], 16), 0)
        checks.run("both run as nobody:nogroup without capabilities", as_nobody)

        def measured(receiver, sender):
            d = read_dump(receiver.dump)
            if d is None:
                return None
            rows = [s for s in d.local["sources"] if s.get("addr", "").startswith(sender.ip + "/")]
            if len(rows) == 1 and "asm" in rows[0] and "ssm" in rows[0]:
                return rows[0]
            return None

        def each_other():
            pairs = ((one, two), (two, one))
            lab.wait_for(lambda: all(measured(r, s) for r, s in pairs), MEASURE_TIMEOUT, interval=0.5)
            for r, s in pairs:
                row = measured(r, s)
                expect(row is not None, "%s has no ASM and SSM figures of %s after %.0f s: %s"
                       % (r.name, s.name, MEASURE_TIMEOUT, read_dump(r.dump) and read_dump(r.dump).text))
                for channel in ("asm", "ssm"):
                    expect_eq("%s <- %s %s loss" % (r.name, s.name, channel), row[channel]["loss"], "0.0")
            for b in (one, two):
                flags = read_dump(b.dump).local["flags"]
                expect_eq("%s flags" % b.name, flags, ["SSM", "SSMPing"])
        checks.run("each measures the other over ASM and SSM", each_other)

        def ssm_ping():
            request = b"Q" + bytes(range(1, 48))
            answers = ask(h2, 4, h1.addr4, [{"sport": 5000, "payload": request}], 1.5)[0]
            unicast = [a for a in answers if a["src"] == h1.addr4 and a["sport"] == 4321]
            expect(len(unicast) == 1, "one unicast answer from %s port 4321: %r" % (h1.addr4, answers))
            expect_eq("answer", unicast[0]["payload"], b"A" + request[1:])
        checks.run("the SSM Ping responder on port 4321 answers", ssm_ping)

        def launched():
            for b in (one, two):
                path = b.dump + ".launched"
                lab.wait_for(lambda: os.path.exists(path), 15)
                expect(os.path.exists(path), "%s: the -L program left no %s" % (b.name, path))
                expect_eq("%s: owner of %s" % (b.name, path), os.stat(path).st_uid, nobody)
        checks.run("the -L program runs as nobody after a dump", launched)

        def clock_line():
            synced, error_us = host_clock()
            for b in (one, two):
                lines = [m for m in log_messages(b.log()) if is_clock_line(m)]
                if not synced:
                    expect_eq("%s clock lines (host clock unsynchronised)" % b.name, lines, [CLOCK_UNSYNC])
                elif error_us > CLOCK_ERROR_LIMIT_US:
                    expect(len(lines) == 1 and lines[0].startswith("Clock error estimated at "),
                           "%s: one warning about a %d us error: %r" % (b.name, error_us, lines))
                else:
                    expect_eq("%s clock lines (host clock synchronised)" % b.name, lines, [])
        checks.run("the clock check reports the host clock's state once", clock_line)

        view = view_binary(binary)
        if view is None:
            checks.note("SKIP quillon-view serve as nobody: no quillon-view next to %s" % binary)
        else:
            def serve():
                h1.run(AS_NOBODY + [view, "serve", one.dump, "--listen", "127.0.0.1:%d" % VIEW_PORT],
                       label="quillon-view")
                fetch = ("import json, sys, urllib.request\n"
                         "print(urllib.request.urlopen('http://127.0.0.1:%d/matrix.json', timeout=5).read()"
                         ".decode())" % VIEW_PORT)
                got = {}

                def answered():
                    r = h1.execute([sys.executable, "-c", fetch], timeout=10)
                    if r.returncode == 0:
                        got["doc"] = json.loads(r.stdout)
                    return "doc" in got
                lab.wait_for(answered, 15, interval=0.5)
                expect("doc" in got, "no answer from quillon-view serve on /matrix.json")
                names = sorted(b["name"] for b in got["doc"]["beacons"])
                expect_eq("beacons in /matrix.json", names, ["free-one", "free-two"])
                expect(got["doc"]["measurements"], "measurements in /matrix.json")
            checks.run("quillon-view serve as nobody answers /matrix.json", serve)
    return checks.finish()


if __name__ == "__main__":
    sys.exit(main())
