"""Nothing lost, nothing mixed, nothing left behind: runs that are not whole,
data files that are links or change under the export, outputs that are not
regular files, signals, and outputs made with other options."""

import os
import re
import signal
import subprocess
import time

import pytest

from support import CLI, rw, standard_builder, synapt_builder


def cli(*args, check=None, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    proc = subprocess.run([CLI] + [os.fspath(a) if hasattr(a, "__fspath__") else str(a) for a in args],
                          timeout=300, **kw)
    if check is not None:
        assert proc.returncode == check, (proc.stderr or b"").decode(errors="replace")
    return proc


def cut(path, keep):
    """The file cut to `keep` bytes, as a bad copy leaves it."""
    with open(path, "r+b") as fh:
        fh.truncate(keep)


# Runs that are not whole: (builder, damage, function named). Encoding C and
# ion-mobility (B) data files are cut in half, inside a scan, so that the
# index places a later scan past the end; Encoding A by one record.
def _cut_c(built):
    data = os.path.join(built, "_FUNC001.DAT")
    cut(data, os.path.getsize(data) // 2)


def _cut_b(built):
    _cut_c(built)


def _cut_a(built):
    data = os.path.join(built, "_FUNC002.DAT")
    cut(data, os.path.getsize(data) - 6)


def _remove_dat(built):
    os.remove(os.path.join(built, "_FUNC002.DAT"))


INCOMPLETE = [
    ("standard", _cut_c, 1), ("synapt", _cut_b, 1), ("standard", _cut_a, 2), ("standard", _remove_dat, 2),
]


@pytest.fixture
def incomplete(tmp_path, request):
    name, damage, function = request.param
    built = (standard_builder if name == "standard" else synapt_builder)().build(str(tmp_path / (name + ".raw")))
    damage(built)
    return built, function


@pytest.mark.parametrize("incomplete", INCOMPLETE, indirect=True, ids=[d.__name__ for _, d, _ in INCOMPLETE])
def test_a_run_that_is_not_whole_is_refused_naming_the_function_unless_asked_for(incomplete, tmp_path):
    run, function = incomplete
    out = tmp_path / "out.mzML"
    for command in (["export", run, "-o", out], ["qc", run, "-o", tmp_path / "r.html"]):
        proc = cli(*command, check=1)
        message = proc.stderr.decode()
        assert "function %d:" % function in message, message
        assert re.search(r"holds \d+ bytes but its index promises \d+|missing", message), message
        assert not os.path.exists(out) and not os.path.exists(tmp_path / "r.html")
    proc = cli("export", run, "-o", out, "--allow-incomplete", check=0)
    assert "warning: function %d:" % function in proc.stderr.decode()
    cli("qc", run, "-o", tmp_path / "r.html", "--allow-incomplete", check=0)
    # In a batch the run counts as failed.
    proc = cli("export", run, "-O", tmp_path / "batch", check=1)
    assert "1 of 1 runs failed" in proc.stderr.decode()


@pytest.fixture(scope="module")
def std_run(tmp_path_factory):
    return standard_builder().build(str(tmp_path_factory.mktemp("integrity") / "standard.raw"))


def test_outputs_that_are_not_regular_files_are_written_as_they_are(std_run, tmp_path):
    proc = cli("export", std_run, "-o", "/dev/full", check=1)
    assert "No space left on device" in proc.stderr.decode()
    cli("export", std_run, "-o", "/dev/null", check=0)
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")
    # A FIFO: its reader gets the file, the FIFO stays.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    cli("export", std_run, "-o", fifo, check=0)
    data = reader.communicate(timeout=60)[0]
    assert data.rstrip().endswith(b"</indexedmzML>") and not os.path.isfile(fifo)
    # Through a symbolic link the link's target is replaced, the link stays.
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "real.mzML").write_text("old")
    os.symlink("data/real.mzML", tmp_path / "link.mzML")
    cli("export", std_run, "-o", tmp_path / "link.mzML", check=0)
    assert os.path.islink(tmp_path / "link.mzML")
    assert (tmp_path / "data" / "real.mzML").read_bytes().rstrip().endswith(b"</indexedmzML>")


def slow_run(path):
    """A run whose export at the slowest level takes a while."""
    run = rw.RunBuilder()
    f = run.add_function("a", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1100.0)
    for k in range(300):
        f.add_scan([100.0 + i * 0.25 for i in range(4000)], [1 + (i * 37 + k) % 5000 for i in range(4000)],
                   rt_min=k * 0.001)
    return run.build(str(path))


def test_sigkill_at_any_moment_leaves_nothing_behind(tmp_path):
    run = slow_run(tmp_path / "slow.raw")
    out = tmp_path / "out"
    out.mkdir()
    for delay in (0.001, 0.002, 0.004, 0.006, 0.01, 0.03, 0.1, 0.3):
        proc = subprocess.Popen([CLI, "export", run, "-o", str(out / "x.mzML"), "--compression-level", "12"],
                                stderr=subprocess.DEVNULL)
        time.sleep(delay)
        proc.kill()
        proc.wait(timeout=60)
        assert os.listdir(out) == [], (delay, os.listdir(out))


@pytest.mark.parametrize("sig", [signal.SIGHUP, signal.SIGINT])
def test_signals_the_caller_ignores_stay_ignored(tmp_path, sig):
    run = slow_run(tmp_path / "slow.raw")
    out = tmp_path / "x.mzML"
    proc = subprocess.Popen([CLI, "export", run, "-o", str(out), "--compression-level", "12"],
                            stderr=subprocess.PIPE, preexec_fn=lambda: signal.signal(sig, signal.SIG_IGN))
    time.sleep(0.2)
    proc.send_signal(sig)
    assert proc.wait(timeout=120) == 0, proc.stderr.read().decode()
    assert out.read_bytes().rstrip().endswith(b"</indexedmzML>")


def test_a_closed_pipe_is_a_failed_write_with_status_1(tmp_path):
    run = slow_run(tmp_path / "slow.raw")  # more than a pipe holds
    proc = subprocess.Popen([CLI, "export", run, "-o", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.read(1)
    proc.stdout.close()
    assert proc.wait(timeout=60) == 1
    assert "Broken pipe" in proc.stderr.read().decode()


def test_qc_checks_every_output_before_it_writes_any(std_run, tmp_path):
    html = tmp_path / "r.html"
    html.write_text("old")
    proc = cli("qc", std_run, "-o", html, "--mzqc", tmp_path / "missing" / "r.mzQC", check=1)
    assert "r.mzQC" in proc.stderr.decode()
    assert html.read_text() == "old" and sorted(os.listdir(tmp_path)) == ["r.html"]


def test_export_o_skips_only_outputs_made_alike_from_the_same_files(tmp_path):
    run = standard_builder().build(str(tmp_path / "runs" / "r.raw")).path
    backup = tmp_path / "backup.raw"
    subprocess.run(["cp", "-a", str(run), str(backup)], check=True)
    out = tmp_path / "out"
    skipped = lambda proc: "up to date, skipped" in proc.stderr.decode()  # noqa: E731
    assert not skipped(cli("export", run, "-O", out, check=0))
    assert skipped(cli("export", run, "-O", out, "--threads", "1", check=0))  # threads leave the bytes alone
    for options in (["--ims-layout", "summed"], ["--lockmass", "556.2771", "--lockmass-optional"]):
        assert not skipped(cli("export", run, "-O", out, *options, check=0)), options
        assert skipped(cli("export", run, "-O", out, *options, check=0)), options
    # An older copy restored with its times: made again, though the output is newer.
    subprocess.run(["rm", "-r", str(run)], check=True)
    subprocess.run(["cp", "-a", str(backup), str(run)], check=True)
    os.utime(os.path.join(run, "_FUNC001.DAT"), (1e9, 1e9))
    assert not skipped(cli("export", run, "-O", out, check=0))
    assert skipped(cli("export", run, "-O", out, check=0))
    # A cut output is made again.
    mzml = out / "r.mzML"
    cut(mzml, os.path.getsize(mzml) - 100)
    assert not skipped(cli("export", run, "-O", out, check=0))


def test_data_files_that_are_links_to_regular_files_are_read(tmp_path):
    """As git-annex and DataLad keep data: the files of the run are links."""
    run = standard_builder().build(str(tmp_path / "r.raw")).path
    store = tmp_path / "annex"
    store.mkdir()
    for name in ("_FUNC002.DAT", "_FUNC002.IDX", "_HEADER.TXT"):
        os.rename(os.path.join(run, name), store / name)
        os.symlink(store / name, os.path.join(run, name))
    os.symlink(store / "nothing", os.path.join(run, "_FUNC009.DAT"))  # a dangling link is no file
    out = tmp_path / "x.mzML"
    proc = cli("export", run, "-o", out, check=0)
    assert "missing" not in proc.stderr.decode()
    assert 'id="function=2 process=0 scan=1"' in out.read_text()


def many_functions(path, n):
    run = rw.RunBuilder()
    for _ in range(n):
        run.add_function("a", cal=rw.Cal([0.0, 1.0])).add_scan([300.0], [5], rt_min=0.1)
    return run.build(str(path)).path


def test_opening_lists_the_run_directory_once_whatever_the_number_of_functions(tmp_path):
    run = many_functions(tmp_path / "many.raw", 60)
    trace = tmp_path / "trace"
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat", "-o", str(trace), CLI, "info", run],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    listings = [line for line in trace.read_text().splitlines() if "O_DIRECTORY" in line and run in line]
    assert len(listings) <= 2, listings  # the open, and the chromatogram table's own lookup


@pytest.mark.parametrize("change", ["replace", "write"])
def test_a_data_file_changed_during_the_export_fails_it(tmp_path, change):
    run = slow_run(tmp_path / "slow.raw")
    data = os.path.join(run, "_FUNC001.DAT")
    out = tmp_path / "x.mzML"
    proc = subprocess.Popen([CLI, "export", run, "-o", str(out), "--threads", "1", "--compression-level", "12"],
                            stderr=subprocess.PIPE)
    time.sleep(0.3)
    if change == "replace":  # another copy renamed over it, as a sync tool does
        with open(data, "rb") as src, open(data + ".new", "wb") as dst:
            dst.write(src.read())
        os.rename(data + ".new", data)
    else:
        os.utime(data, (1e9, 1e9))
    assert proc.wait(timeout=300) == 1
    assert "changed while it was exported" in proc.stderr.read().decode()
    assert not out.exists()
