"""The export as a pipeline step: the run is never written, failures stop at
once and leave nothing behind, exit statuses and standard error say what
happened, many runs go into one directory."""

import copy
import hashlib
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ET

import pytest

from support import CLI, NS, SAMPLE, rw, standard_builder


def cli(*args, check=None, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    proc = subprocess.run([CLI] + [os.fspath(a) if hasattr(a, "__fspath__") else str(a) for a in args],
                          stderr=subprocess.PIPE, timeout=300, **kw)
    if check is not None:
        assert proc.returncode == check, proc.stderr.decode(errors="replace")
    return proc


def snapshot(directory):
    """{name: (size, mtime, sha1)} of every file in the directory."""
    out = {}
    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        with open(path, "rb") as fh:
            out[name] = (os.path.getsize(path), os.stat(path).st_mtime_ns, hashlib.sha1(fh.read()).hexdigest())
    return out


def big_run(path, scans=2000, points=4000):
    """A run whose export takes long enough to be interrupted: one scan's
    records repeated (the writer decodes it once)."""
    run = rw.RunBuilder()
    f = run.add_function("a", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1100.0)
    first = f.add_scan([100.0 + k * 1000.0 / points for k in range(points)],
                       [1 + (k * 37) % 5000 for k in range(points)], rt_min=0.0)
    for k in range(1, scans):
        scan = copy.copy(first)
        scan.rt_min = k * 0.001
        f.scans.append(scan)
    return run.build(path)


@pytest.fixture(scope="module")
def std_run(tmp_path_factory):
    return standard_builder().build(str(tmp_path_factory.mktemp("pipe") / "standard.raw"))


def check_index_and_checksum(data):
    root = ET.fromstring(data)
    for index in root.findall("m:indexList/m:index", NS):
        tag = b"<" + index.get("name").encode() + b" "
        for off in index.findall("m:offset", NS):
            assert data[int(off.text):int(off.text) + len(tag)] == tag
    assert data[int(root.find("m:indexListOffset", NS).text):].startswith(b"<indexList ")
    end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert root.find("m:fileChecksum", NS).text == hashlib.sha1(data[:end]).hexdigest()
    return root


# ---------------------------------------------------------------------------
# the run is only read


def test_outputs_that_resolve_into_the_run_are_refused(tmp_path):
    run = standard_builder().build(str(tmp_path / "r.raw")).path
    other = tmp_path / "elsewhere"
    other.mkdir()
    os.symlink(run, tmp_path / "link")
    os.symlink(os.path.join(run, "_FUNC001.DAT"), tmp_path / "innocent.mzML")
    before = snapshot(run)
    cases = [  # (working directory, output)
        (tmp_path, os.path.join(run, "_FUNC001.DAT")),  # a file of the run
        (tmp_path, os.path.join(run, "new.mzML")),
        (tmp_path, run),
        (other, "../r.raw/x.mzML"),  # relative, through ..
        (run, "x.mzML"),  # relative, inside the run
        (other, "../elsewhere/../r.raw/_HEADER.TXT"),
        (tmp_path, tmp_path / "link" / "x.mzML"),  # through a link to the run
        (tmp_path, tmp_path / "innocent.mzML"),  # a link onto a run file
    ]
    for cwd, out in cases:
        proc = cli("export", run, "-o", out, cwd=cwd)
        assert proc.returncode == 1 and "refusing to write" in proc.stderr.decode(), (cwd, out)
        assert snapshot(run) == before, (cwd, out)
    proc = cli("export", run, "-O", tmp_path / "link")
    assert proc.returncode == 1 and "refusing to write" in proc.stderr.decode()
    assert snapshot(run) == before and sorted(os.listdir(other)) == []


# ---------------------------------------------------------------------------
# failing fast, leaving nothing


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (32 * 1024, 32 * 1024))


def as_nobody():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


def test_write_failures_name_their_cause_and_leave_nothing(tmp_path):
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    # Over the file-size limit: SIGXFSZ no longer kills the program silently.
    proc = cli("export", SAMPLE, "-o", out_dir / "s.mzML", preexec_fn=limit_file_size)
    assert proc.returncode == 1 and "File too large" in proc.stderr.decode()
    # A directory where the file should go: said before the run is read.
    proc = cli("export", SAMPLE, "-o", out_dir)
    assert proc.returncode == 1 and "Is a directory" in proc.stderr.decode()
    # Standard output on a full device.
    with open("/dev/full", "wb") as full:
        for args in (["export", SAMPLE, "-o", "-"], ["spectrum", SAMPLE, 1, 0], ["info", SAMPLE]):
            proc = cli(*args, stdout=full)
            assert proc.returncode == 1 and "No space left on device" in proc.stderr.decode(), args
    assert os.listdir(out_dir) == []


def test_an_unwritable_directory_fails_before_reading(tmp_path):
    # The tests run as root, whom permissions do not stop: the program runs
    # as nobody, from a copy in a directory everyone can read.
    base = tempfile.mkdtemp(prefix="kestrune-perm-")
    try:
        os.chmod(base, 0o755)
        binary = os.path.join(base, "kestrune")
        shutil.copy(CLI, binary)
        run = standard_builder().build(os.path.join(base, "r.raw")).path
        locked = os.path.join(base, "locked")
        os.mkdir(locked, 0o755)  # root's: nobody cannot write in it
        proc = subprocess.run([binary, "export", run, "-o", os.path.join(locked, "r.mzML")],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=as_nobody, timeout=120)
        assert proc.returncode == 1 and "Permission denied" in proc.stderr.decode()
        assert os.listdir(locked) == []
    finally:
        shutil.rmtree(base)


def writing_into(pid, directory):
    """Whether the process holds a file of `directory` open with data in it
    (the output being written has no name there until it is complete)."""
    fds = "/proc/%d/fd" % pid
    try:
        for fd in os.listdir(fds):
            link = os.path.join(fds, fd)
            if os.readlink(link).startswith(str(directory) + "/") and os.stat(link).st_size > 0:
                return True
    except OSError:
        pass
    return False


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_mid_export_leaves_no_temporary_file(tmp_path_factory, sig):
    run = big_run(str(tmp_path_factory.mktemp("big") / "big.raw")).path
    out_dir = tmp_path_factory.mktemp("sigout")
    # One thread at the slowest compression level keeps the export busy for
    # seconds; the process is stopped while the signal is sent, so it cannot
    # finish in between.
    proc = subprocess.Popen([CLI, "export", run, "-o", str(out_dir / "big.mzML"), "--threads", "1",
                             "--compression-level", "12"], stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None and not writing_into(proc.pid, out_dir):
            time.sleep(0.005)
        proc.send_signal(signal.SIGSTOP)
        assert proc.poll() is None, "the export ended before it could be interrupted"
        proc.send_signal(sig)
        proc.send_signal(signal.SIGCONT)
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
    assert proc.returncode == -sig
    assert os.listdir(out_dir) == []


# ---------------------------------------------------------------------------
# exit statuses, standard error, standard output


def test_exit_statuses(std_run, tmp_path):
    out = tmp_path / "x.mzML"
    run = std_run.path
    cases = [
        (0, ["--help"]),
        (0, ["export", run, "-o", out, "-q"]),
        (2, []),
        (2, ["export", run, "-o", out, "--bogus"]),
        (2, ["export", run]),  # neither -o nor -O
        (2, ["export", run, run, "-o", out]),
        (2, ["export", run, "-o", out, "-O", tmp_path]),
        (2, ["export", run, "-o", out, "--jobs", "2"]),  # --jobs needs -O
        (2, ["export", run, "-o", out, "--lockmass", "nan"]),
        (2, ["export", run, "-o", out, "--lockmass-tolerance", "0.1"]),  # needs --lockmass
        (2, ["export", run, "-o", out, "--ms-level", "3"]),  # matches nothing
        (2, ["export", run, "-o", out, "--functions", "9"]),
        (2, ["export", run, "-o", out, "--functions", "1", "--rt-range", "5:6"]),
        (2, ["export", run, "-o", out, "--representation", "wavy"]),
        (2, ["spectrum", run, 0, 0]),
        (2, ["spectrum", run, 1, "0x1"]),
        (2, ["spectrum", run, 9, 0]),
        (2, ["chrom", run, 2]),
        (1, ["info", tmp_path / "missing.raw"]),
        (1, ["export", tmp_path / "missing.raw", "-o", out]),
    ]
    for status, args in cases:
        if out.exists():
            out.unlink()
        proc = cli(*args)
        assert proc.returncode == status, (args, proc.stderr)
        if status:
            assert re.search(r"^error: ", proc.stderr.decode(), re.M), (args, proc.stderr)
            assert not out.exists(), args
    assert "Exit status: 0 success; 1 " in cli("--help").stdout.decode()


def test_summary_line_quiet_and_verbose_anywhere(std_run, tmp_path):
    out = tmp_path / "s.mzML"
    # The standard run warns of its uncalibrated lock-mass function; the
    # summary is the one other line.
    warning = "warning: function 4: no Cal Function line in _HEADER.TXT; m/z is uncalibrated\n"
    err = cli("export", std_run, "-o", out, check=0).stderr.decode()
    m = re.fullmatch(re.escape(warning) + r"(.+) -> (.+): (\d+) spectra, (\d+) chromatograms, (\d+) bytes, [\d.]+ s\n",
                     err)
    assert m and m.group(1) == std_run.path and m.group(2) == str(out), err
    root = check_index_and_checksum(out.read_bytes())
    assert int(m.group(3)) == len(root.findall("m:mzML/m:run/m:spectrumList/m:spectrum", NS))
    assert int(m.group(4)) == len(root.findall("m:mzML/m:run/m:chromatogramList/m:chromatogram", NS))
    assert int(m.group(5)) == os.path.getsize(out)
    for args in (["-q", "export", std_run, "-o", out], ["export", std_run, "-o", out, "-q"],
                 ["export", std_run, "-o", out, "--keep-lockmass", "--lockmass", "556.2771", "--quiet"]):
        assert cli(*args, check=0).stderr == b"", args
    err = cli("export", std_run, "-o", out, "-v", check=0).stderr.decode()
    assert "info: function 1: centroid spectra" in err


def test_standard_output_gets_the_same_document(std_run, tmp_path):
    out = tmp_path / "file.mzML"
    cli("export", std_run, "-o", out, check=0)
    proc = cli("export", std_run, "-o", "-", cwd=tmp_path, check=0)
    assert proc.stdout == out.read_bytes()
    check_index_and_checksum(proc.stdout)
    assert sorted(os.listdir(tmp_path)) == ["file.mzML"]  # no file named "-"


# ---------------------------------------------------------------------------
# many runs into one directory


def test_batch_exports_each_run_skips_up_to_date_ones_and_goes_on_after_a_failure(tmp_path):
    runs = tmp_path / "runs"
    runs.mkdir()
    paths = [standard_builder().build(str(runs / name)).path for name in ("a.raw", "B.RAW", "plain")]
    broken = standard_builder().build(str(runs / "broken.raw"))
    broken.remove("_FUNCTNS.INF")
    out = tmp_path / "out" / "mzml"  # created when missing
    proc = cli("export", paths[0], broken.path, *paths[1:], "-O", out, "--jobs", "2")
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert re.search(r"error: 1 of 4 runs failed:\n  .*broken\.raw\n$", err), err
    assert sorted(os.listdir(out)) == ["B.mzML", "a.mzML", "plain.mzML"]
    # The same document as a single export.
    single = tmp_path / "single.mzML"
    cli("export", paths[0], "-o", single, check=0)
    assert (out / "a.mzML").read_bytes() == single.read_bytes()

    def mtimes():
        return {n: os.stat(out / n).st_mtime_ns for n in os.listdir(out)}

    first = mtimes()
    proc = cli("export", *paths, "-O", out, check=0)
    assert proc.stderr.decode().count("up to date, skipped") == 3 and mtimes() == first
    # A file of one run changes: only that run is exported again.
    later = time.time() + 5
    os.utime(os.path.join(paths[1], "_FUNC001.DAT"), (later, later))
    cli("export", *paths, "-O", out, "-q", check=0)
    now = mtimes()
    assert [n for n in now if now[n] != first[n]] == ["B.mzML"]
    cli("export", *paths, "-O", out, "-q", "--force", check=0)
    assert all(mtimes()[n] != now[n] for n in now)
    # Two runs with one output name are refused before anything is written.
    twin = standard_builder().build(str(tmp_path / "a")).path
    proc = cli("export", paths[0], twin, "-O", tmp_path / "twins")
    assert proc.returncode == 2 and not (tmp_path / "twins").exists()
