"""What every black-box beacon test needs, whichever scenario it runs: the
beacon wire format (probes and reports built and taken apart byte by byte),
the start of a script and a runner printing one line per check, the daemon's
log lines, its dump files and the window arithmetic of its statistics,
worked out independently of the daemon.

The helper modules of the scenario families (beacon_util, hostile_util,
runbeacon_util, matrix_util) build on this one.
"""

import math
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402

M32 = 0xFFFFFFFF

# ---------------------------------------------------------------------------
# Wire format

MAGIC = b"\xbe\xac"
VERSION = 1
PACKET_PROBE = 0
PACKET_REPORT = 1
SENDER_TTL = 127          # TTL / hop limit of the beacon's multicast datagrams
DEFAULT_PORT = 10000
SSMPING_PORT = 4321
# The value of an 'A' or 'S' TLV: timestamp, age, hops, delay, jitter,
# loss, duplicates, out of order.
FIGURES_FORMAT = "!IIBffBBB"
FIGURES_LEN = 20


def probe(seq, ts):
    """A 12-byte probe: magic, version 1, type 0, sequence, timestamp."""
    return struct.pack("!2sBBII", MAGIC, VERSION, PACKET_PROBE, seq & M32, ts & M32)


def is_probe(payload):
    return len(payload) == 12 and payload[:4] == MAGIC + bytes([VERSION, PACKET_PROBE])


def parse_probe(payload):
    """(seq, ts) of a well-formed probe, else None."""
    if not is_probe(payload):
        return None
    return struct.unpack("!II", payload[4:])


def is_report(payload):
    return len(payload) >= 5 and payload[:4] == MAGIC + bytes([VERSION, PACKET_REPORT])


def tlv(kind, value):
    """One TLV; kind a letter or a number, value bytes or text (each
    character one byte)."""
    if isinstance(kind, str):
        kind = ord(kind)
    if isinstance(value, str):
        value = value.encode("latin-1")
    assert len(value) <= 255
    return bytes([kind, len(value)]) + value


def report(tlvs, ttl=SENDER_TTL):
    """Report header (magic, version, type 1, sender TTL) and the TLVs."""
    return MAGIC + bytes([VERSION, PACKET_REPORT, ttl]) + b"".join(tlvs)


class Malformed(ValueError):
    """Bytes that do not split into TLVs."""


def split_tlvs(data):
    """[(type number, value bytes)] of TLVs that lie wholly inside data;
    raises Malformed otherwise."""
    out = []
    pos = 0
    while pos < len(data):
        if len(data) - pos < 2:
            raise Malformed("a lone byte after the TLVs")
        t, ln = data[pos], data[pos + 1]
        if pos + 2 + ln > len(data):
            raise Malformed("TLV %r overruns the datagram" % chr(t))
        out.append((t, data[pos + 2:pos + 2 + ln]))
        pos += 2 + ln
    return out


def listed_source(kind, value):
    """The "ADDR/PORT" text and the nested TLV bytes of a source TLV ('i'
    or 'I'); raises Malformed when the value is too short for them."""
    alen = 4 if kind in ("i", ord("i")) else 16
    if len(value) < alen + 2:
        raise Malformed("source TLV too short")
    ip = socket.inet_ntop(socket.AF_INET if alen == 4 else socket.AF_INET6, value[:alen])
    port = struct.unpack("!H", value[alen:alen + 2])[0]
    return "%s/%d" % (ip, port), value[alen + 2:]


# ---------------------------------------------------------------------------
# The daemon's version text and timing

VERSION_INFO = "0.3.9.1 ($Rev: 409 $)"
GC_PERIOD = 30.0          # seconds between expiry runs
# beacon_interval never drops below ln(4) / 1.38 x 4 seconds (a received
# rate at or below 4 Kb/s); a beacon silent for six times it is removed:
# the time-out in whole milliseconds.
MIN_BEACON_INTERVAL = math.log(4.0) / 1.38 * 4.0
MIN_TIMEOUT_MS = int(MIN_BEACON_INTERVAL * 6.0 * 1000.0)


def ms32(seconds):
    """Low 32 bits of wall-clock milliseconds."""
    return int(seconds * 1000) & M32


# ---------------------------------------------------------------------------
# Running a script

class CheckFailed(AssertionError):
    pass


def binary_from_args():
    """--binary, root (else exit 77) and the binary's presence; ends the
    script with status 2 when it is not there.  Returns its path."""
    args = lab.parse_args()
    lab.require_root()
    if not args.binary or not os.access(args.binary, os.X_OK):
        print("FAIL: no executable quillon given (--binary %s)" % args.binary, flush=True)
        sys.exit(2)
    return args.binary


def run_timed(main):
    """Runs main(), prints the wall time it took and exits with its status."""
    start = time.monotonic()
    status = main()
    print("wall time %.1f s" % (time.monotonic() - start))
    sys.exit(status)


class Checks:
    """Runs named checks (from any thread), prints 'PASS name' or 'FAIL
    name' with the reason, and keeps the score for the closing line.  With
    `timed`, a passed check's line also gives how long it took and when it
    ended."""

    def __init__(self, title, timed=True):
        self.title = title
        self.timed = timed
        self.passed = 0
        self.failed = 0
        self.lock = threading.Lock()
        self.start = time.monotonic()

    def run(self, name, fn, *args, **kw):
        """Runs fn(*args, **kw) as the check `name`; True when it passed."""
        t0 = time.monotonic()
        try:
            fn(*args, **kw)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as e:  # noqa: BLE001 - every failure is reported
            with self.lock:
                self.failed += 1
                if not isinstance(e, CheckFailed):
                    traceback.print_exc()
                print("FAIL %s (%.1f s): %s" % (name, time.monotonic() - t0, e), flush=True)
            return False
        with self.lock:
            self.passed += 1
            if self.timed:
                print("PASS %s (%.1f s, at %.1f s)" % (name, time.monotonic() - t0,
                                                      time.monotonic() - self.start), flush=True)
            else:
                print("PASS %s" % name, flush=True)
        return True

    def note(self, text):
        with self.lock:
            print(text, flush=True)

    def finish(self):
        with self.lock:
            print("wall time %.1f s" % (time.monotonic() - self.start), flush=True)
            print("%s: %d passed, %d failed" % (self.title, self.passed, self.failed), flush=True)
            return 0 if self.failed == 0 and self.passed > 0 else 1


# ---------------------------------------------------------------------------
# The daemon's log lines on standard error: "Mon DD HH:MM:SS.uuuuuu message"

LOG_TIME_RE = r"[A-Z][a-z]{2} [ 0-3]\d \d{2}:\d{2}:\d{2}\.\d{6} "
LOG_LINE_RE = re.compile(r"^([A-Z][a-z]{2} [ 0-3]\d \d{2}:\d{2}:\d{2})\.(\d{6}) (.*)$")


def _log_time(stamp, micros):
    now = time.localtime()
    t = time.strptime("%d %s" % (now.tm_year, stamp), "%Y %b %d %H:%M:%S")
    secs = time.mktime(t)
    if secs > time.time() + 86400:       # written last December
        t = time.strptime("%d %s" % (now.tm_year - 1, stamp), "%Y %b %d %H:%M:%S")
        secs = time.mktime(t)
    return secs + int(micros) / 1e6


def log_lines(text):
    """[(wall-clock seconds, message)] of the time-stamped lines of text."""
    out = []
    for line in text.splitlines():
        m = LOG_LINE_RE.match(line)
        if not m:
            continue
        try:
            out.append((_log_time(m.group(1), m.group(2)), m.group(3)))
        except ValueError:
            continue
    return out


def log_messages(text):
    """The messages of the time-stamped lines of text."""
    return [m.group(3) for m in map(LOG_LINE_RE.match, text.splitlines()) if m]


# The clock-synchronisation check logs at start-up, whatever the verbosity,
# when the host's clock is not synchronised or its error is large: lines
# that depend on the machine the lab runs on, not on what a test does.
CLOCK_LINE_RE = re.compile(r"^Clock (not synchronised|error estimated|state unreadable|synchronised)\b")
CLOCK_UNSYNC = ("Clock not synchronised: measured delays are not meaningful until the clock is "
                "synchronised (NTP or PTP).")
CLOCK_ERROR_LIMIT_US = 10000


def is_clock_line(message):
    return CLOCK_LINE_RE.match(message) is not None


def host_clock():
    """(synchronised, estimated error in us) as the kernel tells it
    (adjtimex, read-only); namespaces share the one clock."""
    import ctypes

    class Timex(ctypes.Structure):
        _fields_ = [("modes", ctypes.c_uint), ("offset", ctypes.c_long), ("freq", ctypes.c_long),
                    ("maxerror", ctypes.c_long), ("esterror", ctypes.c_long), ("status", ctypes.c_int),
                    ("rest", ctypes.c_byte * 256)]
    tx = Timex()
    state = ctypes.CDLL(None, use_errno=True).adjtimex(ctypes.byref(tx))
    time_error, sta_unsync = 5, 0x40
    return state != time_error and not tx.status & sta_unsync, tx.esterror


def wait_started(proc, timeout):
    """Waits for the "Local name is" line, the last line of start-up, or for
    the process to end; True when the line is there."""
    lab.wait_for(lambda: "Local name is" in proc.stderr_text() or proc.poll() is not None, timeout)
    return "Local name is" in proc.stderr_text()


# ---------------------------------------------------------------------------
# Dump files

def read_dump_file(path):
    """(bytes, os.stat_result) of the dump file as one version of it (the
    daemon replaces the file by a rename, so the open file is one whole
    version), or None while there is none."""
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            return f.read(), st
    except FileNotFoundError:
        return None


def xmllint_complaint(data=None, path=None, timeout=None):
    """None when xmllint is not installed or finds the document (the bytes,
    or the file at path) well-formed; else its complaint, or its exit status
    when it gives none."""
    if shutil.which("xmllint") is None:
        return None
    if path is not None:
        r = subprocess.run(["xmllint", "--noout", path], capture_output=True, timeout=timeout)
    else:
        r = subprocess.run(["xmllint", "--noout", "-"], input=data, capture_output=True, timeout=timeout)
    if r.returncode == 0:
        return None
    return r.stderr.decode("utf-8", "replace").strip() or "status %d" % r.returncode


# ---------------------------------------------------------------------------
# The window arithmetic of the reception statistics, worked out from the
# rules: windows of 40 sequence numbers, a fresh start on a jump of more
# than 150, late numbers inside the window counted out of order, repeats
# counted as duplicates, quotients in single precision.

WINDOW = 40
SEQ_RESET_DISTANCE = 150


def f32(x):
    """x rounded to single precision."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def s32(x):
    """x reduced to a signed 32-bit value."""
    x &= M32
    return x - (1 << 32) if x & 0x80000000 else x


def dump_texts(delay, jitter, loss, dup, ooo):
    """The attribute texts a statistics element shows for these
    single-precision figures: percentages formed in single precision."""
    return {
        "loss": "%.1f" % f32(loss * 100.0),
        "delay": "%.3f" % abs(delay),
        "future": delay < 0,
        "jitter": "%.3f" % jitter,
        "ooo": "%.3f" % f32(ooo * 100.0),
        "dup": "%.3f" % f32(dup * 100.0),
    }


class StatsModel:
    """One channel's reception record of one sender: windows of 40
    sequence numbers, a reset on a jump of more than 150, duplicates, late
    arrivals, the mean delay of each window and the running jitter."""

    def __init__(self):
        self.last_seq = 0
        self._reset_window()
        self.last_delay = 0
        self.jitter = 0.0
        self.delay = self.loss = self.dup = self.ooo = 0.0
        self.valid = False
        self.publications = []   # (loss, dup, ooo, delay, span, lost) per window

    @property
    def published(self):
        """How many windows have been published."""
        return len(self.publications)

    def _reset_window(self):
        self.expected = self.received = self.delay_sum = 0
        self.lost = self.dups = self.late = 0
        self.seen = []

    def reset(self, start):
        self.last_seq = start
        self._reset_window()
        self.last_delay = 0
        self.jitter = 0.0
        self.delay = self.loss = self.dup = self.ooo = 0.0
        self.valid = False

    def update(self, seq, ts, receive_ms):
        seq &= M32
        d = self.last_seq - seq if self.last_seq >= seq else seq - self.last_seq
        if d > SEQ_RESET_DISTANCE:
            self.reset((seq - 1) & M32)
        if seq <= self.last_seq and self.last_seq - seq >= self.expected:
            return  # at or before the window's start
        if seq <= self.last_seq and seq in self.seen:
            self.dups += 1
        else:
            self.received += 1
            self.seen.append(seq)
            D = (receive_ms & M32) - ts
            A = abs(D) & M32
            self.delay_sum = s32(self.delay_sum + D)
            E = s32(A - self.last_delay)
            self.last_delay = A
            self.jitter = f32(self.jitter * 0.9375 + abs(E) * 0.0625)
            if seq == self.last_seq + 1:
                self.expected += 1
                self.last_seq = seq
            elif seq > self.last_seq + 1:
                self.expected += seq - self.last_seq
                self.lost += seq - self.last_seq - 1
                self.last_seq = seq
            else:
                self.lost -= 1
                self.late += 1
        if self.expected >= WINDOW:
            span = f32(float(self.expected))
            self.delay = f32(f32(float(self.delay_sum)) / f32(float(self.received)))
            self.loss = f32(f32(float(self.lost)) / span)
            self.dup = f32(f32(float(self.dups)) / span)
            self.ooo = f32(f32(float(self.late)) / span)
            self.valid = True
            self.publications.append((self.loss, self.dup, self.ooo, self.delay,
                                      self.expected, self.lost))
            self._reset_window()

    def texts(self):
        """What the dump shows now: None when the figures are not valid."""
        if not self.valid:
            return None
        return dump_texts(self.delay, self.jitter, self.loss, self.dup, self.ooo)

    def shares(self):
        """The loss, ooo and dup texts of the last figures, valid or not."""
        t = dump_texts(self.delay, self.jitter, self.loss, self.dup, self.ooo)
        return {"loss": t["loss"], "ooo": t["ooo"], "dup": t["dup"]}
