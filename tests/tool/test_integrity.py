"""Nothing lost, nothing mixed, nothing left behind: runs that are not whole,
data files that are links or change under the export, outputs that are not
regular files, signals, and outputs made with other options."""

import os
import re
import subprocess

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
