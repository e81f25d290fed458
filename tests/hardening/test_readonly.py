"""The read-only promise, checked on the system calls: a child interpreter
reads every part of some runs under strace; the trace must show no open for
writing, no creation, rename, truncation, deletion, link, mode, owner or time
change of anything inside a run directory, and no file descriptor on a run
path left open when a call returns.  The runs' files are also compared
before and after (bytes, mode, modification time)."""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import kestrune
import runs
from conftest import write_report

MARKER = "/kestrune-call-boundary"

# The child: every property and method of RawReader on each run, each call
# between two marker stats ("<MARKER>/<seq>/begin|end/<what>").
CHILD = r'''
import gc, os, sys
import kestrune

MARKER = sys.argv[1]
seq = [0]


def mark(edge, what):
    try:
        os.stat("%s/%d/%s/%s" % (MARKER, seq[0], edge, what))
    except OSError:
        pass


def call(what, fn):
    seq[0] += 1
    mark("begin", what)
    try:
        value = fn()
        outcome = "value"
    except RuntimeError as e:
        value, outcome = None, "RuntimeError: %s" % e
    mark("end", what)
    print("%s -> %s" % (what, outcome))
    return value


def everything(path):
    r = call("RawReader", lambda: kestrune.RawReader(path))
    if r is None:
        return
    call("repr", lambda: repr(r))
    call("header", lambda: [getattr(r.header, a) for a in ("version", "acquired_name", "acquired_date",
         "acquired_time", "instrument", "operator", "sample_description")] + [repr(r.header)])
    call("polarity", lambda: r.polarity)
    functions = call("functions", lambda: r.functions)
    call("function attributes", lambda: [(f.index, f.function_type, f.scan_subtype, f.cycle_time_s,
         f.interscan_delay_s, f.scan_time_s, f.tof_depth, f.mz_low, f.mz_high, f.is_lock_mass, repr(f))
         for f in functions])
    channels = call("channels", lambda: r.channels)
    call("channel attributes", lambda: [(c.index, c.source_type, c.name, c.scale_f, c.units, repr(c))
         for c in channels])
    for n in [f.index for f in functions] + [0, 99]:
        call("ms_level(%d)" % n, lambda: r.ms_level(n))
        call("function_encoding(%d)" % n, lambda: r.function_encoding(n))
        count = call("n_scans(%d)" % n, lambda: r.n_scans(n))
        for s in list(range(count or 0)) + [count or 0, 2 ** 64 - 1]:
            call("retention_time(%d, %d)" % (n, s), lambda: r.retention_time(n, s))
            call("read_spectrum(%d, %d)" % (n, s),
                 lambda: (lambda x: (x.mz, x.intensity, len(x), repr(x)))(r.read_spectrum(n, s)))
            call("read_ims_spectrum(%d, %d)" % (n, s),
                 lambda: (lambda x: (x.mz, x.drift_time_ms, x.intensity, len(x), repr(x)))(
                     r.read_ims_spectrum(n, s)))
    for i in list(range(len(channels))) + [len(channels), 2 ** 64 - 1]:
        call("read_chrom(%d)" % i, lambda: [(p.rt_min, p.value, repr(p)) for p in r.read_chrom(i)])
    call("release", lambda: gc.collect())


for path in sys.argv[2:]:
    everything(path)
'''

MUTATING = {
    "creat", "rename", "renameat", "renameat2", "unlink", "unlinkat", "truncate", "ftruncate",
    "mkdir", "mkdirat", "rmdir", "chmod", "fchmod", "fchmodat", "fchmodat2", "chown", "fchown",
    "lchown", "fchownat", "utime", "utimes", "futimesat", "utimensat", "link", "linkat", "symlink",
    "symlinkat", "mknod", "mknodat", "setxattr", "lsetxattr", "fsetxattr", "removexattr",
    "lremovexattr", "fremovexattr", "fallocate",
}
WRITING = {"write", "pwrite64", "writev", "pwritev", "pwritev2", "sendfile", "copy_file_range", "splice", "tee"}
OPENING = {"open", "openat", "openat2", "creat", "open_by_handle_at"}
WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND")

LINE = re.compile(r"^(\d+)\s+(.*)$")
CALL = re.compile(r"^([a-z_0-9]+)\((.*)\)\s+=\s+(.*)$", re.S)
FD_PATH = re.compile(r"(?:\b\d+|AT_FDCWD)<([^>]*)>")
RET_FD = re.compile(r"^(\d+)<(.*)>$")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def strace_usable(tmp):
    """None when strace can trace a child here, else the reason it cannot."""
    if shutil.which("strace") is None:
        return "strace is not installed (scripts/setup.sh installs it)"
    out = os.path.join(tmp, "probe.trace")
    try:
        proc = subprocess.run(["strace", "-f", "-qq", "-o", out, "-e", "trace=%file", sys.executable, "-c", "pass"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "strace cannot run: %s" % e
    err = proc.stderr.decode(errors="replace")
    if proc.returncode != 0 or not os.path.exists(out) or os.path.getsize(out) == 0:
        return "strace cannot trace here (ptrace not permitted?): exit %d %s" % (proc.returncode, err.strip())
    return None


def join_resumed(lines):
    """Whole syscall records (pid, text): '<unfinished ...>' parts joined
    with their '<... resumed>' rest."""
    pending = {}
    for raw in lines:
        m = LINE.match(raw.rstrip("\n"))
        if not m:
            continue
        pid, text = int(m.group(1)), m.group(2)
        if text.endswith("<unfinished ...>"):
            pending[pid] = text[:-len("<unfinished ...>")]
            continue
        r = re.match(r"^<\.\.\. [a-z_0-9]+ resumed>(.*)$", text)
        if r:
            text = pending.pop(pid, "") + r.group(1)
        yield pid, text


def inside(path, roots):
    path = os.path.normpath(path)
    return any(path == r or path.startswith(r + "/") for r in roots)


def check_trace(lines, roots):
    """Violations of the read-only promise found in the trace, the run
    files opened, and the call boundaries seen."""
    violations = []
    opened_files = set()
    open_fds = {}          # (pid, fd) -> path inside a run
    boundaries = 0
    current = "start-up"
    for pid, text in join_resumed(lines):
        m = CALL.match(text)
        if not m:
            continue
        name, args, ret = m.group(1), m.group(2), m.group(3).strip()
        quoted = QUOTED.findall(args)
        if quoted and quoted[0].startswith(MARKER + "/"):
            _, seq, edge, what = quoted[0].split("/", 4)[1:]
            current = what
            boundaries += 1
            for (p, fd), path in sorted(open_fds.items()):
                violations.append("%s of %s: fd %d on %s still open" % (edge, what, fd, path))
            open_fds.clear()
            continue
        fd_paths = FD_PATH.findall(args)
        # Target path of a call taking a path: absolute, or relative to the
        # directory descriptor before it.
        targets = []
        for q in quoted[:2]:
            if q.startswith("/"):
                targets.append(q)
            elif fd_paths:
                targets.append(os.path.join(fd_paths[0], q))
        touches = any(inside(p, roots) for p in targets + fd_paths)
        if name in OPENING and any(inside(p, roots) for p in targets):
            if name == "creat" or any(f in args for f in WRITE_FLAGS):
                violations.append("%s: %s(%s)" % (current, name, args[:300]))
        if name in MUTATING and touches:
            violations.append("%s: %s(%s)" % (current, name, args[:300]))
        if name in WRITING and fd_paths and inside(fd_paths[0], roots):
            violations.append("%s: %s(%s)" % (current, name, args[:120]))
        if name == "mmap" and "MAP_SHARED" in args and "PROT_WRITE" in args and touches:
            violations.append("%s: writable shared mapping %s(%s)" % (current, name, args[:300]))
        r = RET_FD.match(ret)
        if r and inside(r.group(2), roots):
            open_fds[(pid, int(r.group(1)))] = r.group(2)
            opened_files.add(os.path.normpath(r.group(2)))
        if name == "close" and ret.startswith("0") and args:
            c = re.match(r"^(\d+)", args)
            if c:
                open_fds.pop((pid, int(c.group(1))), None)
    for (p, fd), path in sorted(open_fds.items()):
        violations.append("end of trace: fd %d on %s still open" % (fd, path))
    return violations, opened_files, boundaries


def snapshot(root):
    """{relative name: (sha256, mode, mtime_ns, size)} of a directory and its
    entries, without following links."""
    out = {}
    st = os.lstat(root)
    out["."] = (None, st.st_mode, st.st_mtime_ns, None)
    for name in sorted(os.listdir(root)):
        full = os.path.join(root, name)
        st = os.lstat(full)
        digest = None
        if os.path.isfile(full) and not os.path.islink(full):
            with open(full, "rb") as fh:
                digest = hashlib.sha256(fh.read()).hexdigest()
        out[name] = (digest, st.st_mode, st.st_mtime_ns, st.st_size)
    return out


def test_reading_every_part_of_a_run_changes_nothing_and_leaves_no_descriptor_open(tmp_path, show):
    reason = strace_usable(str(tmp_path))
    if reason:
        pytest.fail(reason)
    built = runs.build_all(str(tmp_path / "runs"))
    chosen = [built["standard"], built["synapt"], built["prefixed"]]
    # A run that fails to open half-way (a malformed index of function 2)
    # and one whose chromatogram file is missing: the error paths too.
    damaged = built["lower"].copy(str(tmp_path / "runs" / "damaged.raw"))
    damaged.truncate("_FUNC002.IDX", 21)
    no_chro = built["long"].copy(str(tmp_path / "runs" / "no_chro.raw"))
    no_chro.remove("_CHRO003.DAT")
    chosen += [damaged, no_chro]
    paths = [b.path for b in chosen]
    roots = [os.path.realpath(p) for p in paths]
    before = dict((p, snapshot(p)) for p in paths)

    script = tmp_path / "child.py"
    script.write_text(textwrap.dedent(CHILD))
    trace = tmp_path / "trace.txt"
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    # The module the tests were given, wherever the child's cwd is.
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1",
               PYTHONPATH=os.path.dirname(os.path.abspath(kestrune.__file__)))
    proc = subprocess.run(["strace", "-f", "-qq", "-y", "-s", "4096", "-o", str(trace),
                           "-e", "trace=%file,%desc,write", sys.executable, str(script), MARKER] + paths,
                          cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    out = proc.stdout.decode(errors="replace")
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]

    with open(str(trace), errors="replace") as fh:
        violations, opened, boundaries = check_trace(fh, roots)
    calls = out.count("\n")
    summary = "read-only check: %d calls on %d runs, %d call boundaries traced, %d run files opened, %d violations" % (
        calls, len(paths), boundaries, len(opened), len(violations))
    show(summary)
    write_report("readonly-summary.txt", summary + "\n" + "\n".join(violations))
    assert not violations, "\n".join(violations[:50])
    # The trace really shows the reads: two markers per call, and every file
    # of the intact runs was opened.
    assert boundaries == 2 * calls
    assert "RawReader -> RuntimeError" in out and "CHRO file 3 not found" in out
    for b in chosen[:3]:
        for name in os.listdir(b.path):
            assert os.path.join(os.path.realpath(b.path), name) in opened, name
    after = dict((p, snapshot(p)) for p in paths)
    assert after == before


def test_trace_check_finds_each_kind_of_violation():
    root = "/data/run.raw"
    lines = [
        '1 openat(AT_FDCWD</x>, "/data/run.raw/_HEADER.TXT", O_RDWR|O_CLOEXEC) = 3</data/run.raw/_HEADER.TXT>',
        '1 close(3</data/run.raw/_HEADER.TXT>) = 0',
        '1 newfstatat(AT_FDCWD</x>, "%s/1/begin/read_spectrum", 0x1, 0) = -1 ENOENT (No such file)' % MARKER,
        '1 openat(AT_FDCWD</x>, "/data/run.raw/_FUNC001.DAT", O_RDONLY|O_CLOEXEC) = 4</data/run.raw/_FUNC001.DAT>',
        '1 write(4</data/run.raw/_FUNC001.DAT>, "x", 1) = 1',
        '1 unlinkat(5</data/run.raw>, "_FUNC001.STS", 0) = 0',
        '1 utimensat(AT_FDCWD</x>, "/data/run.raw/_extern.inf", NULL, 0) = 0',
        '1 newfstatat(AT_FDCWD</x>, "%s/1/end/read_spectrum", 0x1, 0) = -1 ENOENT (No such file)' % MARKER,
        '1 openat(AT_FDCWD</x>, "/data/other/_HEADER.TXT", O_WRONLY|O_CREAT, 0644) = 3</data/other/_HEADER.TXT>',
        '1 rename("/data/other/a", "/data/other/b") = 0',
    ]
    violations, opened, boundaries = check_trace(lines, [root])
    assert boundaries == 2
    assert [v.split("(")[0] for v in violations] == [
        "start-up: openat", "read_spectrum: write", "read_spectrum: unlinkat", "read_spectrum: utimensat",
        "end of read_spectrum: fd 4 on /data/run.raw/_FUNC001.DAT still open"]
    assert opened == {"/data/run.raw/_HEADER.TXT", "/data/run.raw/_FUNC001.DAT"}
