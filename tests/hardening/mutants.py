"""Malformed-run campaign: damaged copies of well-formed runs, each read
through every RawReader operation in a child process.

A mutant is a copy of one start run (runs.build_all) with one to three
mutations applied: truncated or extended files, flipped bytes, header fields
overwritten with extreme values, damaged text lines, deleted files, files
replaced by a directory, a symbolic link (dangling, to a directory, to
itself, to another file), a FIFO or an empty file, unreadable files or run
directories, duplicate prefixed names.  Mutant k is fully determined by the
rng start value and k (its generator is random.Random("<start>:<k>")).

Each mutant is read in a forked child (os.fork after the module is
imported), under an address-space limit, with a time limit enforced by the
parent.  Allowed outcomes of an operation: a value, or RuntimeError.  A
signal, a hang, MemoryError or any other exception is a fault.  When the
campaign runs as root, the child drops to an unprivileged user (when it can)
so that permission mutations take effect.

Command line (reproduce a campaign or one mutant):

    PYTHONPATH=build/binding python3 tests/hardening/mutants.py \\
        [--start N] [--count N] [--jobs J] [--only K] [--keep DIR]
"""

import argparse
import collections
import json
import logging
import os
import random
import re
import resource
import select
import shutil
import signal
import stat
import struct
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import runs  # noqa: E402  (also puts rawwriter on sys.path)

DEFAULT_START = 20240607
DEFAULT_COUNT = 2400
TIME_LIMIT_S = 15.0
# Address space a child may add on top of what it has after the fork: far
# more than any of these runs warrants (the largest file is 16 MiB).
MEMORY_HEADROOM = 1 << 30
NOBODY = 65534
BATCH = 25  # mutants per forked child

U64_MAX = 2 ** 64 - 1
U32_MAX = 2 ** 32 - 1

# Bounds of the operations per mutant (an extended index or function table
# can promise thousands of scans or functions).
MAX_FUNCTIONS = 12
MAX_SCANS = 24
MAX_CHANNELS = 12


# ---------------------------------------------------------------------------
# file kinds and fields


def file_kind(name):
    """Kind of a run file from its name (any case, any prefix)."""
    up = name.upper()
    if up.endswith("_FUNCTNS.INF"):
        return "functns"
    if up.endswith("_HEADER.TXT"):
        return "header"
    if up.endswith("_EXTERN.INF"):
        return "extern"
    if up.endswith("_CHROMS.INF"):
        return "chroms"
    if re.search(r"_CHRO\d+\.DAT$", up):
        return "chro"
    m = re.search(r"_FUNC\d+\.(IDX|DAT|STS)$", up)
    if m:
        return m.group(1).lower()
    return "other"


EXTREMES = {
    "u8": [0, 1, 0x7F, 0x80, 0xFF],
    "u16": [0, 1, 2, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF],
    "u24": [0, 1, 0x7FFFFF, 0x800000, 0xFFFFFF],
    "u32": [0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x00FFFFFF, 0x01000000],
    "f32": [float("nan"), float("-nan"), float("inf"), float("-inf"), 0.0, -0.0, 3.4028235e38,
            -3.4028235e38, 1.4e-45, -1.4e-45, 1e-30, 1e30, 65535.0, -1.0],
}
WIDTH = {"u8": 1, "u16": 2, "u24": 3, "u32": 4, "f32": 4}


def pack(kind, value):
    if kind == "f32":
        return struct.pack("<f", value)
    return int(value).to_bytes(WIDTH[kind], "little")


def field_table(kind, data):
    """(offset, type) pairs of the fields of one record of the file, chosen
    by the caller's rng later; offsets are absolute."""
    n = len(data)
    if kind == "functns" and n >= 416:
        base = 416 * (n // 416 - 1) if n >= 832 else 0
        return [(base + o, t) for o, t in ((0, "u8"), (1, "u8"), (2, "f32"), (16, "u16"), (28, "f32"),
                                           (32, "f32"), (160, "f32"), (288, "f32"))]
    if kind == "idx":
        if n % 30 == 0 and n % 22 != 0 and n:
            return [(r * 30 + o, t) for r in range(n // 30) for o, t in ((12, "f32"), (22, "u32"))]
        if n >= 22:
            return [(r * 22 + o, t) for r in range(n // 22)
                    for o, t in ((0, "u32"), (4, "u24"), (7, "u8"), (12, "f32"), (16, "u16"))]
    if kind == "sts" and n >= 32:
        out = [(0, "u16"), (4, "u16"), (6, "u16")]
        for d in range(min((n - 32) // 48, 8)):
            out += [(32 + 48 * d, "u16"), (34 + 48 * d, "u16"), (36 + 48 * d, "u16")]
        return out
    if kind == "chroms" and n >= 8:
        out = [(4, "u16"), (6, "u16")]
        meta = struct.unpack_from("<H", data, 6)[0]
        first = 128 + 85 * meta
        out += [(off, "u32") for off in range(first, n - 3, 85)]
        return out
    if kind == "chro" and n > 128:
        return [(128 + 8 * s + o, "f32") for s in range((n - 128) // 8) for o in (0, 4)]
    if kind == "dat" and n >= 2:
        return [(o, t) for o in range(0, n - 1, 2) for t in ("u16", "u32", "f32") if o + WIDTH[t] <= n]
    return []


EXTREME_TEXTS = [
    "", " ", "nan", "NaN", "-nan", "inf", "-Infinity", "1e309", "-1e309", "1e-400", "4.9e-324",
    "-0", "0", "+", "-", ".", "e5", "1e", "0x1p3", "1,5", "1 000", "99999999999999999999999999",
    "4294967295", "4294967296", "-1", "18446744073709551616", "1" * 400, "T0", "T1", "T2",
    "ES+", "ES-", "POS", "\u00e9\u20ac", "\x00", "\t", "\u3000", "'\"\\", "\u2028", "\ufffd",
    "$$", ": ", "--", "SYNAPT", "synapt-g2",
]

HEADER_LINES = [
    "$$ Cal Function {n}: {coeffs}{type}",
    "$$ Cal Function Cal Function {n}: {coeffs}{type}",
    "$$ Instrument: {text}",
    "$$ Instrument: SYNAPT G2",
    "$$ Instrument: synapt",
    "$$ Instrument: SYNAP",
    "$$ Version: {text}",
    "$$ Acquired Date: {text}",
    "$$ Sample Description: {text}",
    "$${text}",
    "$$ {text}: {text}",
]
EXTERN_LINES = [
    "Lteff (mm)\t\t\t{num}",
    "Veff (V)\t\t\t{num}",
    "PusherInterval (us)\t\t\t{num}",
    "Pusher Interval\t{num}",
    "Pusher Cycle Time\t\t\t{num}",
    "Polarity\t\t\t{text}",
    "Function Parameters - Function {n} - {kind}",
    "Function Parameters - Function {n}",
    "Function Parameters - Function ",
    "Start Mass\t\t\t{num}",
    "End Mass\t\t\t{num}",
    "Set Mass\t{num}",
    "ADC Pusher Frequency\t{num}",
    "Instrument Configuration:",
    "Function {n}:",
    "{text}\t{text}",
]
FUNCTION_NUMBERS = ["0", "1", "2", "3", "4", "5", "+1", "01", "0001", "4294967295", "4294967296",
                    "-1", "x", "", " 2 "]
KINDS = ["TOF MS FUNCTION", "TOF MSMS FUNCTION", "TOF PARENT FUNCTION", "TOF DAUGHTER FUNCTION",
         "REFERENCE", "", "tof msms", "- - -", "\u00e9"]
# Record sizes of the files made of fixed records (for "repeat").
RECORD_SIZES = {"functns": 416, "idx": 22, "chroms": 85, "chro": 8, "sts": 16}

BAD_BYTES = [b"\xff", b"\xc3", b"\x00", b"\xe2\x80\xa8", b"\xc2\x85", b"\xef\xbf\xbd", b"\xed\xa0\x80",
             b"\xf4\x90\x80\x80", b"\r", b"\n", b"\r\r\n", b"\x0b", b"\x1b[0m"]


# ---------------------------------------------------------------------------
# mutations


class Mutant(object):
    def __init__(self, number, base, path):
        self.number = number
        self.base = base
        self.path = path        # the run directory (possibly replaced by something else)
        self.steps = []         # texts describing each mutation
        self.kinds = []         # the kind of each mutation
        self.needs_unprivileged = False

    def describe(self):
        return "mutant %d of %s: %s" % (self.number, self.base, "; ".join(self.steps) or "unchanged")


def _entries(path):
    try:
        return sorted(os.listdir(path))
    except OSError:
        return []


def _regular_entries(path):
    out = []
    for name in _entries(path):
        full = os.path.join(path, name)
        if os.path.isfile(full) and not os.path.islink(full):
            out.append(name)
    return out


def _read(full):
    with open(full, "rb") as fh:
        return fh.read()


def _write(full, data):
    """Writes a new file (never through a hard link to a start run)."""
    if os.path.lexists(full) and not os.path.isdir(full):
        os.unlink(full)
    with open(full, "wb") as fh:
        fh.write(data)


def _own(full):
    """Gives a file hard-linked to a start run its own copy, so that it can
    be changed in place."""
    st = os.lstat(full)
    if stat.S_ISREG(st.st_mode) and st.st_nlink > 1:
        _write(full, _read(full))
        os.chmod(full, stat.S_IMODE(st.st_mode))


def _link_tree(src, dst):
    """A mutant's copy of a start run: hard links to its files (changed
    files are copied first, see _own)."""
    os.mkdir(dst)
    os.chmod(dst, 0o755)
    for name in os.listdir(src):
        os.link(os.path.join(src, name), os.path.join(dst, name))


def _remove_any(full):
    if os.path.islink(full) or not os.path.isdir(full):
        os.remove(full)
    else:
        shutil.rmtree(full)


def _lines_of(data):
    return data.split(b"\n")


def _join_lines(lines):
    return b"\n".join(lines)


def _fill(rng, template):
    return template.format(
        n=rng.choice(FUNCTION_NUMBERS),
        coeffs=rng.choice(["", "1,", "0.5,1.0001,", "1e309,", "nan,inf,-inf,", ",,,", "1," * rng.choice([3, 64, 5000]),
                           " abc ,", "1e-400,-0,"]),
        type=rng.choice(["T1", "T0", "T2", "t1", "", " T1 ", "T1,"]),
        text=rng.choice(EXTREME_TEXTS),
        num=rng.choice(EXTREME_TEXTS),
        kind=rng.choice(KINDS),
    )


def mutate_text(rng, m, name, data):
    """A line-level change of a text file; returns (new bytes, description)."""
    lines = _lines_of(data)
    op = rng.choice(["value", "insert", "insert", "delete", "duplicate", "endings", "bad_bytes", "huge"])
    if op == "value" and lines:
        i = rng.randrange(len(lines))
        line = lines[i]
        new = rng.choice(EXTREME_TEXTS).encode("utf-8")
        cut = line.find(b": ")
        if cut >= 0:
            lines[i] = line[:cut + 2] + new
        else:
            parts = line.rstrip(b"\r").rsplit(None, 1)
            lines[i] = (parts[0] + b"\t" + new) if len(parts) == 2 else new
        return _join_lines(lines), "line %d value %r" % (i, new)
    if op == "insert":
        pool = HEADER_LINES if file_kind(name) == "header" else EXTERN_LINES
        line = _fill(rng, rng.choice(pool)).encode("utf-8")
        i = rng.randrange(len(lines) + 1)
        lines.insert(i, line + b"\r")
        return _join_lines(lines), "insert line %d %r" % (i, line[:80])
    if op == "delete" and lines:
        i = rng.randrange(len(lines))
        del lines[i]
        return _join_lines(lines), "delete line %d" % i
    if op == "duplicate" and lines:
        i = rng.randrange(len(lines))
        lines.insert(rng.randrange(len(lines) + 1), lines[i])
        return _join_lines(lines), "duplicate line %d" % i
    if op == "endings":
        how = rng.choice(["cr", "none", "lf"])
        new = {"cr": data.replace(b"\r\n", b"\r").replace(b"\n", b"\r"),
               "none": data.replace(b"\r", b"").replace(b"\n", b" "),
               "lf": data.replace(b"\r", b"")}[how]
        return new, "line ends %s" % how
    if op == "bad_bytes" or not lines:
        pos = rng.randrange(len(data) + 1)
        bad = rng.choice(BAD_BYTES)
        return data[:pos] + bad + data[pos:], "insert bytes %r at %d" % (bad, pos)
    # huge line
    what = rng.choice(["digits", "cal", "spaces", "words"])
    if what == "digits":
        line = b"$$ Version: " + b"9" * 200000
    elif what == "cal":
        line = b"$$ Cal Function 1: " + b"1.5," * 50000 + b"T1"
    elif what == "spaces":
        line = b" \t" * 100000 + b"Lteff 1"
    else:
        line = b"a " * 100000
    i = rng.randrange(len(lines) + 1)
    lines.insert(i, line)
    return _join_lines(lines), "insert huge %s line at %d" % (what, i)


def mutate_field(rng, name, data):
    kind = file_kind(name)
    table = field_table(kind, data)
    if not table:
        return None
    off, t = rng.choice(table)
    values = list(EXTREMES[t])
    if t in ("u32", "u24") and kind in ("idx", "sts", "chroms"):
        values += [len(data), len(data) + 1]
    value = rng.choice(values)
    if t != "f32":
        value &= (1 << (8 * WIDTH[t])) - 1
    raw = pack(t, value)
    return data[:off] + raw + data[off + len(raw):], "%s@%d=%r" % (t, off, value)


def apply_one(rng, m, scratch):
    """Applies one mutation to mutant m; appends its description."""
    run = m.path
    regular = _regular_entries(run)
    kinds = [("truncate", 12), ("extend", 8), ("flip", 14), ("field", 18), ("text", 10), ("delete", 6),
             ("directory", 3), ("link_dangling", 2), ("link_dir", 2), ("link_self", 2), ("link_file", 2),
             ("fifo", 3), ("empty", 5), ("unreadable", 4), ("duplicate", 3), ("recase", 2), ("extra", 3),
             ("run_dir", 3), ("repeat", 4)]
    total = sum(w for _, w in kinds)
    pick = rng.randrange(total)
    for op, w in kinds:
        if pick < w:
            break
        pick -= w
    if op == "text":
        texts = [n for n in regular if file_kind(n) in ("header", "extern")]
        if not texts:
            op = "flip"
        else:
            name = rng.choice(texts)
    if op not in ("text", "extra", "run_dir") and not regular:
        op = "extra" if os.path.isdir(run) and not os.path.islink(run) else "run_dir"
    if op not in ("text", "extra", "run_dir"):
        name = rng.choice(regular)
        if op == "field" and file_kind(name) in ("header", "extern"):
            op = "text"  # the text files have lines, not fields
    if op == "text":
        full = os.path.join(run, name)
    else:
        full = os.path.join(run, name) if op not in ("extra", "run_dir") else None
    if op == "repeat" and file_kind(name) not in RECORD_SIZES:
        op = "field"
    if op in ("truncate", "extend", "flip", "field", "text", "empty", "unreadable", "repeat"):
        _own(full)
    m.kinds.append(op)

    if op == "truncate":
        data = _read(full)
        n = len(data)
        choices = [0, 1, n // 2, max(n - 1, 0), rng.randrange(n + 1)]
        for rec in (22, 30, 416, 48, 85, 8, 6):
            if n > rec:
                choices += [n - rec, n - rec + 1]
        size = min(rng.choice(choices), n)
        os.truncate(full, size)
        m.steps.append("truncate %s %d->%d" % (name, n, size))
    elif op == "extend":
        how = rng.choice(["zeros", "random", "ff", "sparse"])
        n = os.path.getsize(full)
        if how == "sparse":
            new = rng.choice([n + (1 << 20), 16 << 20])
            sibling = re.sub(r"DAT$", "IDX", name, flags=re.I)
            sib = os.path.join(run, sibling)
            if file_kind(name) == "dat" and os.path.isfile(sib) and os.path.getsize(sib) % 22 == 0 \
                    and os.path.getsize(sib) % 30 != 0 and rng.random() < 0.5:
                new = (1 << 32) + rng.choice([0, 6, 8, 4096])  # a data file beyond 4 GiB
            os.truncate(full, max(new, n))
            m.steps.append("extend %s sparse to %d" % (name, max(new, n)))
        else:
            count = rng.choice([1, 2, 5, 6, 8, 21, 22, 23, 29, 30, 31, 48, 85, 416, rng.randrange(1, 5000)])
            extra = {"zeros": b"\0" * count, "ff": b"\xff" * count,
                     "random": bytes(rng.randrange(256) for _ in range(count))}[how]
            with open(full, "ab") as fh:
                fh.write(extra)
            m.steps.append("extend %s by %d %s bytes" % (name, count, how))
    elif op == "flip":
        data = bytearray(_read(full))
        if not data:
            _write(full, bytes([rng.randrange(256)]))
            m.steps.append("flip %s: empty file given one byte" % name)
        else:
            flips = []
            for _ in range(rng.choice([1, 1, 2, 3, 8])):
                pos = rng.randrange(len(data))
                mask = rng.choice([0x01, 0x80, 0xFF, rng.randrange(1, 256)])
                data[pos] ^= mask
                flips.append("%d^%02x" % (pos, mask))
            _write(full, bytes(data))
            m.steps.append("flip %s %s" % (name, ",".join(flips)))
    elif op == "field":
        data = _read(full)
        got = mutate_field(rng, name, data)
        if got is None:
            got = (data + b"\0" * 4, "no fields: 4 zero bytes appended")
        _write(full, got[0])
        m.steps.append("field %s %s" % (name, got[1]))
    elif op == "text":
        data, text = mutate_text(rng, m, name, _read(full))
        _write(full, data)
        m.steps.append("text %s %s" % (name, text))
    elif op == "repeat":
        data = _read(full)
        size = RECORD_SIZES[file_kind(name)]
        if file_kind(name) == "idx" and len(data) % 30 == 0 and len(data) % 22 != 0:
            size = 30
        record = data[-size:] if len(data) >= size else data + b"\0" * (size - len(data))
        times = rng.choice([50, 500, 3000])
        with open(full, "ab") as fh:
            fh.write(record * times)
        m.steps.append("repeat the last %d-byte record of %s %d times" % (size, name, times))
    elif op == "delete":
        os.remove(full)
        m.steps.append("delete %s" % name)
    elif op == "directory":
        os.remove(full)
        os.mkdir(full)
        if rng.random() < 0.5:
            _write(os.path.join(full, "inner"), b"x")
        m.steps.append("replace %s by a directory" % name)
    elif op == "link_dangling":
        os.remove(full)
        os.symlink("no-such-file", full)
        m.steps.append("replace %s by a dangling symlink" % name)
    elif op == "link_dir":
        os.remove(full)
        os.symlink(rng.choice([".", "..", "/"]), full)
        m.steps.append("replace %s by a symlink to a directory" % name)
    elif op == "link_self":
        os.remove(full)
        os.symlink(name, full)
        m.steps.append("replace %s by a symlink to itself" % name)
    elif op == "link_file":
        data = _read(full)
        os.remove(full)
        target = os.path.join(scratch, "outside-%d-%s" % (m.number, name))
        _write(target, data)
        os.symlink(target, full)
        m.steps.append("replace %s by a symlink to a copy outside the run" % name)
    elif op == "fifo":
        os.remove(full)
        os.mkfifo(full)
        m.steps.append("replace %s by a FIFO" % name)
    elif op == "empty":
        _write(full, b"")
        m.steps.append("empty %s" % name)
    elif op == "unreadable":
        os.chmod(full, rng.choice([0, 0o200, 0o111]))
        m.needs_unprivileged = True
        m.steps.append("make %s unreadable" % name)
    elif op == "duplicate":
        data = _read(full)
        prefixes = rng.choice([["A"], ["A", "B"], ["x", "yy"]])
        for p in prefixes:
            _write(os.path.join(run, p + name), data if rng.random() < 0.7 else b"")
        m.steps.append("prefixed copies %s of %s" % ("/".join(p + name for p in prefixes), name))
    elif op == "recase":
        new = rng.choice([name.lower(), name.upper(), name.swapcase(), "Z" + name])
        if new != name:
            os.rename(full, os.path.join(run, new))
        m.steps.append("rename %s to %s" % (name, new))
    elif op == "extra":
        if not os.path.isdir(run):
            m.steps.append("extra file: run directory gone")
            return
        choice = rng.choice(["_CHROMS.INF", "_CHRO%03d.DAT" % rng.choice([3, 4, 5, 1000]),
                             "_FUNC%03d.STS" % rng.choice([1, 2, 3, 4]),
                             "_FUNC%03d.IDX" % rng.choice([2, 5, 1000]),
                             "_FUNC%03d.DAT" % rng.choice([2, 5]), "_functns.inf", "X_HEADER.TXT"])
        content = rng.choice([b"", b"\0" * 128, b"\xff" * 300, bytes(rng.randrange(256) for _ in range(rng.randrange(1, 700))),
                              struct.pack("<IHH", 0, 85, 0) + b"\0" * 120 + struct.pack("<I", 4) + b"$CC$,1e309,0,x,0,\xff\x81" + b"\0" * 59])
        target = os.path.join(run, choice)
        if os.path.lexists(target):
            _remove_any(target)
        _write(target, content)
        m.steps.append("extra file %s (%d bytes)" % (choice, len(content)))
    elif op == "run_dir":
        how = rng.choice(["unreadable", "no_exec", "symlink", "dangling", "file", "fifo", "many"])
        parent = os.path.dirname(run)
        if os.path.islink(run) or not os.path.isdir(run):
            m.steps.append("run directory: already replaced")
            return
        if how == "unreadable":
            os.chmod(run, 0o300)
            m.needs_unprivileged = True
        elif how == "no_exec":
            os.chmod(run, 0o600)
            m.needs_unprivileged = True
        elif how == "symlink":
            real = os.path.join(parent, "real.raw")
            os.rename(run, real)
            os.symlink("real.raw", run)
        elif how == "dangling":
            shutil.rmtree(run)
            os.symlink("gone.raw", run)
        elif how == "file":
            shutil.rmtree(run)
            _write(run, b"not a directory")
        elif how == "fifo":
            shutil.rmtree(run)
            os.mkfifo(run)
        else:
            for k in range(rng.choice([50, 400])):
                _write(os.path.join(run, "noise%04d_FUNC" % k), b"")
        m.steps.append("run directory: %s" % how)


def make_mutant(start, number, bases, scratch):
    """Copies a start run and damages it; returns the Mutant."""
    rng = random.Random("%d:%d" % (start, number))
    base = rng.choice(sorted(bases))
    home = os.path.join(scratch, "m%d" % number)
    os.mkdir(home)
    os.chmod(home, 0o755)
    path = os.path.join(home, "run.raw")
    _link_tree(bases[base].path, path)
    m = Mutant(number, base, path)
    for _ in range(rng.choice([1, 1, 1, 1, 2, 2, 3])):
        apply_one(rng, m, home)
    return m


def _make_writable(path):
    for root, dirs, files in os.walk(path):
        for d in dirs:
            full = os.path.join(root, d)
            if not os.path.islink(full):
                os.chmod(full, 0o755)


def remove_mutant(m):
    home = os.path.dirname(m.path)
    if os.path.isdir(m.path) and not os.path.islink(m.path):
        os.chmod(m.path, 0o755)
    _make_writable(home)
    shutil.rmtree(home, ignore_errors=True)


# ---------------------------------------------------------------------------
# reading a mutant (runs in the child)


class Counter(object):
    def __init__(self):
        self.outcomes = collections.Counter()
        self.faults = []

    def call(self, op, fn):
        """Runs fn; counts a value or a RuntimeError; records anything else."""
        try:
            value = fn()
        except RuntimeError as e:
            if type(e) is not RuntimeError or len(e.args) != 1 or not isinstance(e.args[0], str):
                self.faults.append([op, "odd RuntimeError", repr(e)[:400]])
            else:
                self.outcomes["RuntimeError"] += 1
            return False, None
        except BaseException as e:  # noqa: B902 - every other exception is a fault
            self.faults.append([op, type(e).__name__, str(e)[:400]])
            return False, None
        self.outcomes["value"] += 1
        return True, value


def _floats(xs):
    assert isinstance(xs, list), type(xs)
    for x in xs:
        assert type(x) is float, type(x)
    return xs


def inspect_header(h):
    for a in ("version", "acquired_name", "acquired_date", "acquired_time", "instrument", "operator",
              "sample_description"):
        v = getattr(h, a)
        assert v is None or type(v) is str, (a, type(v))
    assert type(repr(h)) is str
    return h


def inspect_function(f):
    for a in ("index", "function_type", "scan_subtype", "tof_depth"):
        assert type(getattr(f, a)) is int, a
    for a in ("cycle_time_s", "interscan_delay_s", "scan_time_s", "mz_low", "mz_high"):
        assert type(getattr(f, a)) is float, a
    assert f.is_lock_mass is bool(f.scan_subtype & 0x80)
    assert type(repr(f)) is str
    return f


def inspect_channel(c):
    assert type(c.index) is int and type(c.source_type) is int
    assert type(c.name) is str and type(c.units) is str and type(c.scale_f) is float
    assert type(repr(c)) is str
    return c


def inspect_spectrum(s, ims):
    mz = _floats(s.mz)
    _floats(s.intensity)
    if ims:
        _floats(s.drift_time_ms)
    assert len(s) == len(mz)
    assert type(repr(s)) is str
    return s


def inspect_points(points):
    assert isinstance(points, list)
    for p in points:
        assert type(p.rt_min) is float and type(p.value) is float
        assert type(repr(p)) is str
    return points


def scan_numbers(n):
    picks = list(range(min(n, MAX_SCANS)))
    if n > MAX_SCANS:
        picks += [n - 2, n - 1]
    return picks + [n, n + 1, U64_MAX]


def exercise(kestrune, path, counter):
    """Every RawReader operation on the run at path (bounded)."""
    ok, r = counter.call("RawReader()", lambda: kestrune.RawReader(path))
    if not ok:
        return "refused"
    c = counter.call
    c("repr", lambda: repr(r))
    c("header", lambda: inspect_header(r.header))
    c("polarity", lambda: r.polarity)
    _, functions = c("functions", lambda: [inspect_function(f) for f in r.functions])
    _, channels = c("channels", lambda: [inspect_channel(ch) for ch in r.channels])
    numbers = [f.index for f in (functions or [])[:MAX_FUNCTIONS]]
    numbers += [0, len(functions or []) + 1, U32_MAX]
    for n in numbers:
        c("ms_level(%d)" % n, lambda: r.ms_level(n))
        c("function_encoding(%d)" % n, lambda: r.function_encoding(n))
        ok, count = c("n_scans(%d)" % n, lambda: r.n_scans(n))
        scans = scan_numbers(count) if ok else [0, 1, U64_MAX]
        for s in scans:
            c("retention_time(%d, %d)" % (n, s), lambda: r.retention_time(n, s))
            c("read_spectrum(%d, %d)" % (n, s), lambda: inspect_spectrum(r.read_spectrum(n, s), False))
            c("read_ims_spectrum(%d, %d)" % (n, s), lambda: inspect_spectrum(r.read_ims_spectrum(n, s), True))
    count = len(channels or [])
    for i in list(range(min(count, MAX_CHANNELS))) + [count, count + 1, U64_MAX - 3, U64_MAX]:
        c("read_chrom(%d)" % i, lambda: inspect_points(r.read_chrom(i)))
    return "opened"


class _Discard(logging.Handler):
    """Formats every forwarded record (to run the bridge's whole path) and
    drops it."""

    def emit(self, record):
        record.getMessage()


def quiet_logging():
    log = logging.getLogger("kestrune")
    log.setLevel(logging.DEBUG)
    log.propagate = False
    if not any(isinstance(h, _Discard) for h in log.handlers):
        log.addHandler(_Discard())


def _vm_size():
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return 0


def drop_privileges():
    """Turns a root child into an unprivileged one; True when done."""
    if os.geteuid() != 0:
        return True
    try:
        os.setgroups([])
        os.setgid(NOBODY)
        os.setuid(NOBODY)
    except OSError:
        return False
    return True


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def child_main(kestrune, batch, wfd):
    """Body of a forked child reading a batch of mutants: writes "S <k>"
    before and "R <k> <json>" after each one. Never returns."""
    code = 0
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        vm = _vm_size()
        if vm:
            limit = vm + MEMORY_HEADROOM
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        unprivileged = drop_privileges() and os.geteuid() != 0
        for m in batch:
            _write_all(wfd, b"S %d\n" % m.number)
            counter = Counter()
            opened = exercise(kestrune, m.path, counter)
            report = {"opened": opened, "outcomes": dict(counter.outcomes), "faults": counter.faults,
                      "unprivileged": unprivileged}
            _write_all(wfd, b"R %d %s\n" % (m.number, json.dumps(report).encode()))
    except BaseException as e:  # noqa: B902 - a harness failure, reported as such
        try:
            _write_all(wfd, b"H %s\n" % json.dumps("%s: %s" % (type(e).__name__, e)).encode())
        finally:
            code = 3
    os._exit(code)


# ---------------------------------------------------------------------------
# the campaign (runs in the parent)


class Result(object):
    def __init__(self, mutant, status, detail="", report=None):
        self.mutant = mutant
        self.status = status    # "ok", "crash", "hang", "exit", "harness"
        self.detail = detail
        self.report = report

    @property
    def faults(self):
        """Texts of every fault of this mutant (empty when it passed)."""
        out = []
        if self.status != "ok":
            out.append("%s: %s" % (self.status, self.detail))
        for op, kind, text in (self.report or {}).get("faults", []):
            out.append("%s raised %s: %s" % (op, kind, text))
        return out


class Child(object):
    """One forked child and the batch it reads."""

    def __init__(self, kestrune, batch, time_limit):
        self.time_limit = time_limit
        self.batch = {m.number: m for m in batch}
        self.order = [m.number for m in batch]
        self.done = set()
        self.current = None
        self.buf = b""
        rfd, wfd = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(rfd)
            child_main(kestrune, batch, wfd)
        os.close(wfd)
        self.pid, self.rfd = pid, rfd
        self.deadline = time.monotonic() + time_limit

    def feed(self, chunk):
        """Takes pipe data; returns the Results of completed mutants."""
        self.buf += chunk
        out = []
        while b"\n" in self.buf:
            line, self.buf = self.buf.split(b"\n", 1)
            tag, _, rest = line.partition(b" ")
            if tag == b"S":
                self.current = int(rest)
                self.deadline = time.monotonic() + self.time_limit
            elif tag == b"R":
                num, _, text = rest.partition(b" ")
                k = int(num)
                out.append(Result(self.batch[k], "ok", report=json.loads(text.decode())))
                self.done.add(k)
                self.current = None
            elif tag == b"H" and self.current is not None:
                k = self.current
                out.append(Result(self.batch[k], "harness", json.loads(rest.decode())))
                self.done.add(k)
                self.current = None
        return out

    def end(self, timed_out):
        """Reaps the child; returns (Results, mutants still to read)."""
        if timed_out:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except OSError:
                pass
        _, status = os.waitpid(self.pid, 0)
        os.close(self.rfd)
        out = []
        if self.current is not None:
            m = self.batch[self.current]
            earlier = [k for k in self.order if k in self.done]
            note = " (read in one child after mutants %s)" % earlier if earlier else ""
            if timed_out:
                out.append(Result(m, "hang", "no answer within %g s%s" % (self.time_limit, note)))
            elif os.WIFSIGNALED(status):
                sig = os.WTERMSIG(status)
                out.append(Result(m, "crash", "killed by signal %d (%s)%s" % (sig, signal.Signals(sig).name, note)))
            else:
                out.append(Result(m, "exit", "exit status %d%s" % (os.WEXITSTATUS(status), note)))
            self.done.add(self.current)
        elif timed_out or os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
            # Died between mutants: blame the next one, which is read again.
            pass
        rest = [self.batch[k] for k in self.order if k not in self.done]
        return out, rest


def run_mutants(kestrune, mutants, jobs=2, batch=BATCH, time_limit=TIME_LIMIT_S):
    """Reads the mutants in forked children, ``batch`` per child and up to
    ``jobs`` children at a time; after a crash or hang the rest of that
    child's batch goes to a new child. Yields Results in completion order."""
    source = iter(mutants)
    waiting = collections.deque()
    running = {}
    exhausted = False
    failures_in_a_row = 0
    while True:
        while len(running) < jobs:
            while not exhausted and len(waiting) < batch:
                try:
                    waiting.append(next(source))
                except StopIteration:
                    exhausted = True
            if not waiting:
                break
            take = [waiting.popleft() for _ in range(min(batch, len(waiting)))]
            child = Child(kestrune, take, time_limit)
            running[child.rfd] = child
        if not running:
            return
        timeout = max(min(c.deadline for c in running.values()) - time.monotonic(), 0.0)
        ready, _, _ = select.select(list(running), [], [], timeout)
        for fd in ready:
            child = running[fd]
            chunk = os.read(fd, 1 << 16)
            for res in child.feed(chunk):
                yield res
            if not chunk:
                del running[fd]
                results, rest = child.end(False)
                for res in results:
                    yield res
                failures_in_a_row = failures_in_a_row + 1 if (rest and not results) else 0
                if failures_in_a_row > 3:
                    raise RuntimeError("children die between mutants; giving up")
                waiting.extendleft(reversed(rest))
        now = time.monotonic()
        for fd, child in list(running.items()):
            if now > child.deadline:
                del running[fd]
                results, rest = child.end(True)
                for res in results:
                    yield res
                waiting.extendleft(reversed(rest))


class Summary(object):
    def __init__(self, start):
        self.start = start
        self.mutants = 0
        self.opened = 0
        self.refused = 0
        self.outcomes = collections.Counter()
        self.statuses = collections.Counter()
        self.fault_kinds = collections.Counter()
        self.step_kinds = collections.Counter()
        self.unprivileged = 0
        self.permission_mutants = 0
        self.failures = []
        self.seconds = 0.0

    def add(self, res):
        self.last = res
        self.mutants += 1
        self.statuses[res.status] += 1
        for kind in res.mutant.kinds:
            self.step_kinds[kind] += 1
        if res.mutant.needs_unprivileged:
            self.permission_mutants += 1
        rep = res.report or {}
        if rep.get("opened") == "opened":
            self.opened += 1
        elif rep.get("opened") == "refused":
            self.refused += 1
        if rep.get("unprivileged") and res.mutant.needs_unprivileged:
            self.unprivileged += 1
        self.outcomes.update(rep.get("outcomes", {}))
        for _, kind, _ in rep.get("faults", []):
            self.fault_kinds[kind] += 1
        if res.status != "ok":
            self.fault_kinds[res.status] += 1
        if res.faults:
            self.failures.append(res)

    def text(self):
        lines = [
            "malformed-run campaign: rng start value %d, %d mutants in %.1f s" % (self.start, self.mutants,
                                                                                  self.seconds),
            "  constructor: %d opened, %d refused with RuntimeError" % (self.opened, self.refused),
            "  operations: %d values, %d RuntimeError" % (self.outcomes["value"], self.outcomes["RuntimeError"]),
            "  children: %s" % ", ".join("%s %d" % kv for kv in sorted(self.statuses.items())),
            "  faults: %s" % (", ".join("%s %d" % kv for kv in sorted(self.fault_kinds.items())) or "none"),
            "  mutations: %s" % ", ".join("%s %d" % kv for kv in sorted(self.step_kinds.items())),
            "  permission mutants: %d, of them read unprivileged: %d" % (self.permission_mutants,
                                                                        self.unprivileged),
        ]
        for res in self.failures[:20]:
            lines.append("FAULT " + res.mutant.describe())
            for f in res.faults[:5]:
                lines.append("    " + f)
        return "\n".join(lines)


def scratch_dir():
    """A new directory for mutants, in memory when /dev/shm is there (file
    operations on disk cost more than reading the mutants), reachable by the
    unprivileged user the children switch to."""
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK | os.X_OK) else None
    path = tempfile.mkdtemp(prefix="kestrune-mutants-", dir=shm)
    os.chmod(path, 0o755)
    return path


def campaign(kestrune, start=DEFAULT_START, count=DEFAULT_COUNT, jobs=2, only=None, keep=None, scratch=None):
    """Builds the start runs, makes and reads the mutants; returns a Summary.
    ``only``: the one mutant number to run; ``keep``: leave the mutants'
    directories in this directory."""
    quiet_logging()
    own = scratch is None and keep is None
    scratch = keep or scratch or scratch_dir()
    os.makedirs(scratch, exist_ok=True)
    os.chmod(scratch, 0o755)
    bases = runs.build_all(os.path.join(scratch, "start"))
    for b in bases.values():
        _make_readable(b.path)
    numbers = [only] if only is not None else list(range(count))
    summary = Summary(start)
    t0 = time.monotonic()

    def produce():
        for k in numbers:
            yield make_mutant(start, k, bases, scratch)

    try:
        for res in run_mutants(kestrune, produce(), jobs, 1 if only is not None else BATCH):
            summary.add(res)
            if keep is None:
                remove_mutant(res.mutant)
    finally:
        summary.seconds = time.monotonic() - t0
        if own:
            _make_writable(scratch)
            shutil.rmtree(scratch, ignore_errors=True)
    return summary


def _make_readable(path):
    for root, dirs, files in os.walk(path):
        os.chmod(root, 0o755)
        for f in files:
            os.chmod(os.path.join(root, f), 0o644)
    os.chmod(os.path.dirname(path), 0o755)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--start", type=int, default=DEFAULT_START, help="rng start value")
    ap.add_argument("--count", type=int, default=DEFAULT_COUNT)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--only", type=int, help="run this mutant number only")
    ap.add_argument("--keep", help="directory to build the mutants in, left in place")
    args = ap.parse_args(argv)
    import kestrune
    s = campaign(kestrune, args.start, args.count, args.jobs, args.only, args.keep)
    print(s.text())
    if args.only is not None:
        print(s.last.mutant.describe())
        print(json.dumps(s.last.report, indent=1))
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
