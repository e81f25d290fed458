"""export_mzml() and qc_report() write the files the command-line tool
writes with the same options; bad arguments raise the expected exception
and leave nothing behind."""

import os
import re
import subprocess
import sys

import pytest

import kestrune_data

from .support import CLI, SAMPLE


def cli(*args):
    assert os.access(CLI, os.X_OK), "the command-line tool %s is not built (KESTRUNE_CLI)" % CLI
    done = subprocess.run([CLI, "-q", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert done.returncode == 0, done.stderr.decode(errors="replace")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def listing(directory):
    return sorted((d, sorted(files)) for d, _, files in os.walk(directory))


@pytest.fixture
def runs(standard_run, synapt_run):
    return {"standard": standard_run.path, "synapt": synapt_run.path, "sample": SAMPLE}


# (keyword options, the command line's options): the same export.
EXPORTS = {
    "default": ({}, []),
    "numpress linear, level 6": ({"numpress": "linear", "compression_level": 6},
                                 ["--numpress", "linear", "--compression-level", "6"]),
    "stored, slof within 2 ppm": ({"compress": False, "numpress": "SLOF", "numpress_ppm": 2},
                                  ["--no-compress", "--numpress", "slof", "--numpress-ppm", "2"]),
    "per-bin, profile": ({"ims_layout": "per-bin", "representation": "profile"},
                         ["--ims-layout", "per-bin", "--representation", "profile"]),
    "lock mass, optional": ({"lockmass": 556.2771, "lockmass_optional": True, "lockmass_tolerance": 0.5},
                            ["--lockmass", "556.2771", "--lockmass-optional", "--lockmass-tolerance", "0.5"]),
    "selection": ({"functions": (2, 1, 2), "rt_range": (0.07, None), "ms_level": 1},
                  ["--functions", "2,1", "--rt-range", "0.07:", "--ms-level", "1"]),
    "lock-mass functions, early scans, 3 threads": ({"keep_lockmass": True, "rt_range": [None, 0.12], "threads": 3},
                                                    ["--keep-lockmass", "--rt-range", ":0.12", "--threads", "1"]),
}


@pytest.mark.parametrize("name", sorted(EXPORTS))
def test_export_writes_the_bytes_of_the_command_line(runs, tmp_path, name):
    options, argv = EXPORTS[name]
    for run_name, path in runs.items():
        expected = tmp_path / (run_name + ".cli.mzML")
        cli("export", path, "-o", str(expected), *argv)
        wanted = read(expected)
        by_path = tmp_path / (run_name + ".path.mzML")
        summary = kestrune_data.export_mzml(path, by_path, **options)
        assert read(by_path) == wanted, run_name
        with kestrune_data.open(path) as run:  # an open Run writes the same
            by_run = os.fsencode(tmp_path / (run_name + ".run.mzML"))
            assert kestrune_data.export_mzml(run, output=by_run, **options) == summary
        assert read(by_run) == wanted, run_name
        assert summary.bytes == len(wanted)
        assert b'<spectrumList count="%d"' % summary.spectra in wanted
        assert b'<chromatogramList count="%d"' % summary.chromatograms in wanted
        if "lockmass" in options:
            assert summary.lock_scans >= summary.lock_scans_matched > 0
            assert summary.factor_min <= summary.factor_max
        else:
            assert (summary.lock_scans, summary.factor_min, summary.factor_max) == (0, None, None)


# The export writes into a pipe that the main thread reads: were the lock held
# during the export, both threads would wait for ever (the child is killed).
PIPED_EXPORT = r"""
import sys, threading, kestrune_data
run, pipe = sys.argv[1:]
done = []
writer = threading.Thread(target=lambda: done.append(kestrune_data.export_mzml(run, pipe)))
writer.start()
with open(pipe, "rb") as f:
    data = f.read()
writer.join()
print(len(data), done[0].bytes)
"""


def test_export_lets_go_of_the_interpreter_lock(tmp_path):
    pipe = str(tmp_path / "pipe")
    os.mkfifo(pipe)
    child = subprocess.run([sys.executable, "-c", PIPED_EXPORT, SAMPLE, pipe], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
    assert child.returncode == 0, child.stderr.decode(errors="replace")
    read_bytes, written = map(int, child.stdout.split())
    assert read_bytes == written > 65536  # more than the pipe holds


def test_centroid_option_is_taken(runs, tmp_path):
    # Its effect on the file is not settled yet: only that it is passed.
    assert kestrune_data.export_mzml(runs["standard"], tmp_path / "c.mzML", centroid=True).spectra > 0


BAD_EXPORTS = [
    # (arguments after the run and the output, exception, a text of its message)
    ({"compresion": True}, TypeError, "compresion"),
    ({"compress": 1}, TypeError, "compress"),
    ({"compression_level": "6"}, TypeError, "compression_level"),
    ({"compression_level": 6.0}, TypeError, "compression_level"),
    ({"numpress": 1}, TypeError, "numpress"),
    ({"functions": 1}, TypeError, "functions"),
    ({"functions": "12"}, TypeError, "functions"),
    ({"functions": [1.0]}, TypeError, "function number"),
    ({"rt_range": 0.5}, TypeError, "rt_range"),
    ({"rt_range": ("a", 1.0)}, TypeError, "rt_range"),
    ({"lockmass": "556"}, TypeError, "lockmass"),
    ({"representation": None}, TypeError, "representation"),
    ({"allow_incomplete": None}, TypeError, "allow_incomplete"),
    ({"run_or_path": "x.raw"}, TypeError, "run_or_path"),  # given twice
    # values: the library's check, with its message
    ({"compression_level": 13}, ValueError, "13"),
    ({"numpress_ppm": 0}, ValueError, "ppm"),
    ({"numpress_ppm": float("nan")}, ValueError, "ppm"),
    ({"threads": 5000}, ValueError, "5000"),
    ({"lockmass": -556.0}, ValueError, "-556"),
    ({"lockmass": 556.0, "lockmass_tolerance": 0}, ValueError, "tolerance"),
    ({"ms_level": 0}, ValueError, "MS level 0"),
    ({"functions": [1, 0]}, ValueError, "0"),
    ({"rt_range": (2.0, 1.0)}, ValueError, "after"),
    ({"rt_range": (float("nan"), None)}, ValueError, "not a number"),
    ({"rt_range": (1.0,)}, ValueError, "two"),
    ({"functions": [9]}, ValueError, "9"),  # the run has no function 9
    ({"rt_range": (50.0, 60.0)}, ValueError, "scan"),  # selects nothing
    # names and whole numbers the options cannot hold
    ({"numpress": "zip"}, ValueError, "zip"),
    ({"ims_layout": "per_bin"}, ValueError, "per_bin"),
    ({"threads": -1}, ValueError, "-1"),
    ({"functions": [2 ** 40]}, ValueError, str(2 ** 40)),
]


@pytest.mark.parametrize("options, error, text", BAD_EXPORTS)
def test_bad_export_options_raise_and_write_nothing(standard_run, tmp_path, options, error, text):
    before = listing(standard_run.path)
    output = tmp_path / "out.mzML"
    with pytest.raises(error) as raised:
        kestrune_data.export_mzml(standard_run.path, output, **options)
    assert text in str(raised.value)
    assert not output.exists() and listing(standard_run.path) == before


def test_export_refusals_and_missing_paths(standard_run, tmp_path):
    before = listing(standard_run.path)
    closed = kestrune_data.open(standard_run.path)
    closed.close()
    cases = [
        ((standard_run.path, os.path.join(standard_run.path, "out.mzML")), ValueError),  # into the run
        ((standard_run.path, os.path.join(standard_run.path, "..", os.path.basename(standard_run.path), "o.mzML")),
         ValueError),
        ((str(tmp_path / "missing.raw"), str(tmp_path / "out.mzML")), FileNotFoundError),
        ((standard_run.path, str(tmp_path / "no-dir" / "out.mzML")), FileNotFoundError),
        ((closed, str(tmp_path / "out.mzML")), ValueError),
        ((3, str(tmp_path / "out.mzML")), TypeError),
        ((standard_run.path, None), TypeError),
        ((standard_run.path,), TypeError),
        ((standard_run.path, str(tmp_path / "out.mzML"), {}), TypeError),
    ]
    for args, error in cases:
        with pytest.raises(error):
            kestrune_data.export_mzml(*args)
    assert os.listdir(tmp_path) == [] and listing(standard_run.path) == before


def strip_creation_date(mzqc):
    stripped, count = re.subn(rb'"creationDate"\s*:\s*"[^"]*"', b'"creationDate": ""', mzqc)
    assert count == 1
    return stripped


# (runs by name, keyword options, the command line's options)
REPORTS = [
    (["standard"], {}, []),
    (["sample", "synapt", "standard"], {"lockmass": 556.2771, "lockmass_tolerance": 0.5},
     ["--lockmass", "556.2771", "--lockmass-tolerance", "0.5"]),
]


@pytest.mark.parametrize("names, options, argv", REPORTS)
def test_qc_report_writes_the_files_of_the_command_line(runs, tmp_path, names, options, argv):
    paths = [runs[n] for n in names]
    cli("qc", *paths, "-o", str(tmp_path / "cli.html"), "--mzqc", str(tmp_path / "cli.mzqc.json"), *argv)
    html, mzqc = read(tmp_path / "cli.html"), strip_creation_date(read(tmp_path / "cli.mzqc.json"))
    # A path or a list of paths; Run objects stand for their paths.
    opened = [kestrune_data.open(p) for p in paths]
    given = [paths[0] if len(paths) == 1 else iter(paths), opened]
    for k, runs_arg in enumerate(given):
        out = tmp_path / ("py%d.html" % k)
        assert kestrune_data.qc_report(runs_arg, out, mzqc=str(out) + ".json", **options) is None
        assert read(out) == html
        assert strip_creation_date(read(str(out) + ".json")) == mzqc
    without = tmp_path / "alone.html"
    kestrune_data.qc_report(paths, os.fsencode(without), **options)
    assert read(without) == html and not os.path.exists(str(without) + ".json")


def test_qc_report_errors_write_nothing(standard_run, tmp_path):
    run = standard_run.path
    before = listing(run)
    html, mzqc = str(tmp_path / "r.html"), str(tmp_path / "r.json")
    cases = [
        (([run], str(tmp_path / "no-dir" / "r.html")), {"mzqc": mzqc}, FileNotFoundError),
        (([run], html), {"mzqc": str(tmp_path / "no-dir" / "r.json")}, FileNotFoundError),
        (([run], html), {"mzqc": os.path.join(run, "r.json")}, ValueError),  # into the run
        (([run], os.path.join(run, "r.html")), {}, ValueError),
        (([run], html), {"mzqc": html}, ValueError),  # both on one file
        (([run, str(tmp_path / "missing.raw")], html), {"mzqc": mzqc}, FileNotFoundError),
        (([], html), {}, ValueError),
        (([run], html), {"lockmass": -1.0}, ValueError),
        (([run], html), {"lockmass": "556"}, TypeError),
        (([run], html), {"allow_incomplete": 1}, TypeError),
        (([run], html), {"plot_points": 10}, TypeError),
        ((3, html), {}, TypeError),
        (([run, 3], html), {}, TypeError),
        (([run], None), {}, TypeError),
    ]
    for args, options, error in cases:
        with pytest.raises(error):
            kestrune_data.qc_report(*args, **options)
        assert os.listdir(tmp_path) == [] and listing(run) == before, (args, options)
