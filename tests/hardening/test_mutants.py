"""Malformed-run campaign: every RawReader operation on thousands of
damaged runs gives a value or RuntimeError, never a crash, a hang,
MemoryError or another exception.  See mutants.py."""

import faulthandler
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import kestrune
import mutants
import runs
from conftest import write_report

# KESTRUNE_MUTANTS overrides the number of mutants (a longer campaign);
# KESTRUNE_MUTANTS_START the rng start value.
COUNT = int(os.environ.get("KESTRUNE_MUTANTS", "3000"))
START = int(os.environ.get("KESTRUNE_MUTANTS_START", str(mutants.DEFAULT_START)))


def test_every_operation_on_every_mutant_gives_a_value_or_runtime_error(show, record_testsuite_property):
    summary = mutants.campaign(kestrune, start=START, count=COUNT)
    text = summary.text()
    show(text)
    write_report("mutants-summary.txt", text)
    record_testsuite_property("mutants", summary.mutants)
    record_testsuite_property("opened", summary.opened)
    record_testsuite_property("refused", summary.refused)
    record_testsuite_property("values", summary.outcomes["value"])
    record_testsuite_property("runtime_errors", summary.outcomes["RuntimeError"])
    assert summary.mutants == COUNT >= 2000
    # The campaign reaches the decoders: most mutants still open.
    assert summary.opened > COUNT // 2
    assert not summary.failures, "\n" + text


def test_a_mutant_is_determined_by_the_rng_start_value_and_its_number(tmp_path):
    bases = runs.build_all(str(tmp_path / "start"))

    def image(scratch, k):
        os.mkdir(scratch)
        m = mutants.make_mutant(START, k, bases, scratch)
        files = {}
        if os.path.isdir(m.path):
            for name in sorted(os.listdir(m.path)):
                full = os.path.join(m.path, name)
                st = os.lstat(full)
                data = open(full, "rb").read() if os.path.isfile(full) and not os.path.islink(full) \
                    and os.access(full, os.R_OK) and st.st_size < (1 << 20) else None
                files[name] = (st.st_mode, st.st_size, data)
        return m.describe(), files

    for k in (0, 7, 1234):
        assert image(str(tmp_path / ("a%d" % k)), k) == image(str(tmp_path / ("b%d" % k)), k)
    # The start runs are hard-linked into the mutants: damage must not reach them.
    fresh = runs.build_all(str(tmp_path / "fresh"))
    for name, built in bases.items():
        for canonical, full in built.files.items():
            assert open(full, "rb").read() == open(fresh[name].files[canonical], "rb").read(), (name, canonical)


# ---------------------------------------------------------------------------
# the harness itself: faults of a (fake) module are reported, not fatal


class _FakeReader(object):
    """Behaves as the file "behaviour" in the run directory says."""

    def __init__(self, path):
        with open(os.path.join(path, "behaviour")) as fh:
            what = fh.read()
        if what == "crash":
            faulthandler.disable()  # a real crash keeps the traceback; this one is planned
            os.kill(os.getpid(), signal.SIGSEGV)
        if what == "hang":
            time.sleep(600)
        if what == "memory":
            self.block = bytearray(mutants.MEMORY_HEADROOM * 2)
        if what == "type":
            raise TypeError("not for these arguments")
        if what == "refuse":
            raise RuntimeError("cannot open")

    def _no(self, *args):
        raise RuntimeError("no such thing")

    header = polarity = property(_no)
    functions = channels = property(lambda self: [])

    ms_level = n_scans = function_encoding = retention_time = _no
    read_spectrum = read_ims_spectrum = read_chrom = _no


class _FakeModule(object):
    RawReader = _FakeReader


@pytest.fixture
def scratch():
    path = mutants.scratch_dir()
    yield path
    shutil.rmtree(path, ignore_errors=True)


def test_harness_reports_crash_hang_memory_error_and_other_exceptions(scratch):
    plan = ["value", "crash", "refuse", "hang", "value", "memory", "type", "value"]
    ms = []
    for k, what in enumerate(plan):
        path = os.path.join(scratch, "r%d" % k)
        os.mkdir(path)
        os.chmod(path, 0o755)
        with open(os.path.join(path, "behaviour"), "w") as fh:
            fh.write(what)
        ms.append(mutants.Mutant(k, what, path))
    results = dict((r.mutant.number, r) for r in
                   mutants.run_mutants(_FakeModule, ms, jobs=2, batch=8, time_limit=1.0))
    assert sorted(results) == list(range(len(plan)))
    got = dict((k, (r.status, [f.split(":")[0] for f in r.faults])) for k, r in results.items())
    assert got[1][0] == "crash" and "SIGSEGV" in results[1].detail
    assert got[3][0] == "hang"
    assert results[5].faults == ["RawReader() raised MemoryError: "]
    assert results[6].faults == ["RawReader() raised TypeError: not for these arguments"]
    assert results[2].status == "ok" and results[2].report["outcomes"] == {"RuntimeError": 1}
    for k in (0, 4, 7):
        assert results[k].status == "ok" and not results[k].faults, results[k].faults
        assert results[k].report["outcomes"]["value"] > 0
        assert results[k].report["outcomes"]["RuntimeError"] > 0


@pytest.mark.parametrize("name", ["standard", "synapt", "long", "minimal", "lower", "swapped", "prefixed"])
def test_start_runs_read_without_any_runtime_error_on_valid_arguments(tmp_path, name):
    built = runs.build_all(str(tmp_path))[name]
    r = kestrune.RawReader(built.path)
    assert len(r.functions) == len(built.builder.functions)
    for f in r.functions:
        for s in range(r.n_scans(f.index)):
            expected = built.function(f.index).scans[s].expected
            spectrum = r.read_spectrum(f.index, s)
            assert len(spectrum) == len(expected.mz)
    for ch in r.channels:
        if built.builder.channels[ch.index].points is not None:
            assert len(r.read_chrom(ch.index)) == len(built.builder.channels[ch.index].points)


# KESTRUNE_ASAN_MUTANTS: mutants of the campaign under AddressSanitizer.
ASAN_COUNT = int(os.environ.get("KESTRUNE_ASAN_MUTANTS", "800"))


@pytest.mark.asan
def test_campaign_under_address_sanitizer_finds_no_fault(show):
    """Reads outside a buffer need not crash a normal build; the
    AddressSanitizer build of the module (build-asan) turns them into
    aborts, which the campaign reports."""
    from test_leaks import asan_module, asan_runtime
    module = asan_module()
    runtime = asan_runtime()
    env = dict(os.environ, LD_PRELOAD=runtime, PYTHONMALLOC="malloc", PYTHONDONTWRITEBYTECODE="1",
               PYTHONPATH=os.path.dirname(module),
               ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    start = START + 1  # other mutants than the main campaign's
    proc = subprocess.run([sys.executable, mutants.__file__, "--count", str(ASAN_COUNT), "--start", str(start)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=900)
    out = proc.stdout.decode(errors="replace")
    err = proc.stderr.decode(errors="replace")
    show("AddressSanitizer build: " + out.strip())
    write_report("mutants-asan-summary.txt", out + "\n" + err[-20000:])
    assert proc.returncode == 0 and "faults: none" in out, out + "\n" + err[-5000:]
    assert "runtime error:" not in err, err[-5000:]
