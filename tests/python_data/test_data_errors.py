"""Bad arguments and unreadable runs raise the exception a Python user
expects; nothing crashes."""

import os

import pytest

import kestrune_data

from .support import rw

BAD_CALLS = [
    # (call on an open standard run, exception)
    (lambda run: run.read_scan(9, 0), KeyError),  # no such function
    (lambda run: run.read_scan(0, 0), KeyError),
    (lambda run: run.read_scan(-1, 0), KeyError),
    (lambda run: run.read_scan(2 ** 70, 0), KeyError),
    (lambda run: run.scans(5), KeyError),
    (lambda run: run.xic(5, 100.0), KeyError),
    (lambda run: run.retention_times(5), KeyError),
    (lambda run: run.read_scan(1, 3), IndexError),  # function 1 has 3 scans
    (lambda run: run.read_scan(1, -4), IndexError),
    (lambda run: run.read_scan(1, 2 ** 70), IndexError),
    (lambda run: run.read_channel(2), IndexError),  # 2 channels
    (lambda run: run.read_channel(-3), IndexError),
    (lambda run: run.read_scan("1", 0), TypeError),
    (lambda run: run.read_scan(1.0, 0), TypeError),
    (lambda run: run.read_scan(1, 0.0), TypeError),
    (lambda run: run.read_scan(1), TypeError),
    (lambda run: run.read_scan(1, 0, 0), TypeError),
    (lambda run: run.scans(1, "0"), TypeError),
    (lambda run: run.scans(1, 0, 1.5), TypeError),
    (lambda run: run.scans(1, 0, 1, (0.0, 1.0)), TypeError),  # rt_range is keyword-only
    (lambda run: run.scans(1, rt_range=0.5), TypeError),
    (lambda run: run.scans(1, rt_range="ab"), TypeError),
    (lambda run: run.scans(1, rt_range=("a", 1.0)), TypeError),
    (lambda run: run.scans(1, rt_range=(1.0,)), ValueError),
    (lambda run: run.scans(1, rt_range=(0.0, 1.0, 2.0)), ValueError),
    (lambda run: run.scans(1, rt_range=(2.0, 1.0)), ValueError),
    (lambda run: run.tic(1, rt_range=(float("nan"), 1.0)), ValueError),
    (lambda run: run.xic(1, "556"), TypeError),
    (lambda run: run.xic(1, float("nan")), ValueError),
    (lambda run: run.xic(1, float("inf")), ValueError),
    (lambda run: run.xic(1, 0.0), ValueError),
    (lambda run: run.xic(1, -5.0), ValueError),
    (lambda run: run.xic(1, 500.0, ppm=-1.0), ValueError),
    (lambda run: run.xic(1, 500.0, 10.0), TypeError),  # ppm is keyword-only
    (lambda run: run.read_channel("0"), TypeError),
]


@pytest.mark.parametrize("call, error", BAD_CALLS)
def test_bad_arguments_raise_the_expected_exception(standard_run, call, error):
    with kestrune_data.open(standard_run.path) as run:
        with pytest.raises(error):
            call(run)
        assert run.read_scan(1, 0).mz.tolist()  # the run still reads


def test_paths_that_are_no_run(standard_run, tmp_path):
    some_file = standard_run.file("_HEADER.TXT")
    empty_dir = str(tmp_path / "empty.raw")
    os.mkdir(empty_dir)
    cases = [
        (str(tmp_path / "missing.raw"), FileNotFoundError),
        (some_file, NotADirectoryError),
        (empty_dir, kestrune_data.ReadError),
        ("a\0b", ValueError),
        (None, TypeError),
        (3, TypeError),
    ]
    for path, error in cases:
        with pytest.raises(error):
            kestrune_data.open(path)
        with pytest.raises(error):
            kestrune_data.Run(path)
    assert issubclass(kestrune_data.ReadError, RuntimeError)
    with pytest.raises(kestrune_data.ReadError) as info:
        kestrune_data.open(empty_dir)
    assert "_HEADER.TXT" in str(info.value)  # the library's message
    # bytes and os.PathLike name a run as str does
    assert kestrune_data.open(os.fsencode(standard_run.path)).name == "standard.raw"
    assert kestrune_data.open(tmp_path.parent / os.path.relpath(standard_run.path, tmp_path.parent)).functions


def test_damaged_scans_raise_read_error_and_the_run_goes_on(standard_run, tmp_path):
    damaged = standard_run.copy(str(tmp_path / "damaged.raw"))
    scan0 = len(standard_run.function(1).scans[0].data)
    damaged.truncate("_FUNC001.DAT", scan0 + 4)  # scan 0 whole, scan 1 cut short
    damaged.remove("_FUNC002.DAT")  # function 2 unreadable
    damaged.replace(rw.chro_file_name(1), b"\x01\x02")  # channel 1 malformed
    with kestrune_data.open(damaged.path) as run:
        assert [f.readable for f in run.functions] == [True, False, True, True]
        assert run.functions[1].encoding is None
        assert len(run.read_scan(1, 0)) == 3
        assert len(run.retention_times(1)) == 3  # from the index, which is whole
        calls = [
            lambda: run.read_scan(1, 1),
            lambda: list(run.scans(1)),
            lambda: run.xic(1, 556.2771),
            lambda: run.tic(1),
            lambda: run.read_scan(2, 0),
            lambda: run.scans(2),
            lambda: run.read_channel(1),
        ]
        for call in calls:
            with pytest.raises(kestrune_data.ReadError):
                call()
        # An iterator raises at the damaged scan and goes on after it.
        it = run.scans(1)
        assert next(it).index == 0
        with pytest.raises(kestrune_data.ReadError):
            next(it)
        assert [s.index for s in it] == [2]
        assert run.read_channel(0)[1].tolist() == [250.03125, 251.5, -0.0]


def test_a_closed_run_refuses_reads(standard_run):
    run = kestrune_data.open(standard_run.path)
    it = run.scans(1)
    assert next(it).index == 0
    with run:
        pass
    assert run.closed
    assert (run.name, run.path) == ("standard.raw", standard_run.path)
    assert "closed" in repr(run)
    calls = [lambda: run.read_scan(1, 0), lambda: run.scans(1), lambda: next(it), lambda: run.xic(1, 500.0),
             lambda: run.tic(1), lambda: run.read_channel(0), lambda: run.retention_times(1),
             lambda: run.functions, lambda: run.header, lambda: run.channels, lambda: run.__enter__()]
    for call in calls:
        with pytest.raises(ValueError):
            call()
    run.close()  # again: nothing happens
    for cls in (kestrune_data.Scan, kestrune_data.Array, kestrune_data.ScanIterator):
        with pytest.raises(TypeError):
            cls()


def read_everything(run):
    """Every read the API offers, on every function and channel."""
    for f in run.functions:
        for call in (lambda: [len(s.mz) + len(s.intensity) for s in run.scans(f.number)],
                     lambda: run.read_scan(f.number, -1), lambda: run.xic(f.number, 556.2771, ppm=1e4),
                     lambda: run.tic(f.number, rt_range=(0.0, None)), lambda: run.retention_times(f.number)):
            try:
                call()
            except (kestrune_data.ReadError, IndexError):
                pass
    try:
        for c in run.channels:
            try:
                run.read_channel(c.index)
            except kestrune_data.ReadError:
                pass
    except kestrune_data.ReadError:
        pass


@pytest.mark.parametrize("damage", ["half", "ones", "empty"])
def test_damaged_files_give_read_errors_never_a_crash(standard_run, synapt_run, tmp_path, damage):
    for built in (standard_run, synapt_run):
        for name in sorted(built.files):
            copy = built.copy(str(tmp_path / ("%s-%s" % (os.path.basename(built.path), name))))
            data = copy.read(name)
            copy.replace(name, {"half": data[:len(data) // 2], "ones": b"\xff" * len(data), "empty": b""}[damage])
            try:
                run = kestrune_data.open(copy.path)
            except kestrune_data.ReadError:
                continue
            with run:
                read_everything(run)
