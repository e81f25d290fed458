"""kestrune_data reads what kestrune.RawReader reads, bit for bit, in every
encoding; the run's metadata matches the files written."""

import os

import pytest

import kestrune
import kestrune_data

from .support import bits, numpy, rw


@pytest.mark.parametrize("letter", ["a", "b", "c", "d"])
def test_every_scan_equals_raw_reader_bit_for_bit(encoding_run, letter):
    built = encoding_run(letter)
    reader = kestrune.RawReader(built.path)
    with kestrune_data.open(built.path) as run:
        f = run.functions[0]
        assert (f.number, f.encoding, f.ion_mobility, f.readable) == (1, letter, letter == "b", True)
        assert f.scans == reader.n_scans(1) == len(built.function(1).scans)
        iterated = list(run.scans(1))
        assert [s.index for s in iterated] == list(range(f.scans))
        for index in range(f.scans):
            for scan in (run.read_scan(1, index), iterated[index]):
                assert (scan.function, scan.index, scan.ion_mobility) == (1, index, letter == "b")
                assert scan.rt_min == reader.retention_time(1, index)
                if letter == "b":
                    want = reader.read_ims_spectrum(1, index)
                    assert bytes(memoryview(scan.drift_time_ms)) == bits(want.drift_time_ms, "d")
                else:
                    want = reader.read_spectrum(1, index)
                    assert scan.drift_time_ms is None
                assert len(scan) == len(want.mz)
                assert bytes(memoryview(scan.mz)) == bits(want.mz, "d")
                assert bytes(memoryview(scan.intensity)) == bits(want.intensity, "f")
        # The writer's own decoding agrees (the scan written as empty is empty).
        assert len(iterated[1]) == 0
        assert iterated[0].mz.tolist() == built.function(1).scans[0].expected.mz
        assert run.retention_times(1).tolist() == [reader.retention_time(1, s) for s in range(f.scans)]


def test_run_metadata_matches_the_files(standard_run, synapt_run):
    builder = standard_run.builder
    with kestrune_data.open(standard_run.path) as run:
        assert run.name == "standard.raw"
        assert run.path == standard_run.path
        assert run.polarity == "positive"
        h = run.header
        assert (h.instrument, h.user_name, h.acquired_date, h.version) == (
            "XEVO-G2XSQTOF#NotSet", "analyst", "14-Jan-2021", "01.00")
        assert [f.number for f in run.functions] == [1, 2, 3, 4]
        assert [f.encoding for f in run.functions] == ["c", "a", "d", "c"]
        assert [f.ms_level for f in run.functions] == [1, 2, 2, 1]
        assert [f.lock_mass for f in run.functions] == [False, False, False, True]
        assert [f.scans for f in run.functions] == [len(f.scans) for f in builder.functions]
        assert [(f.mz_low, f.mz_high) for f in run.functions] == [
            (rw.f32(f.mz_low), rw.f32(f.mz_high)) for f in builder.functions]
        assert run.functions is run.functions  # made once, at open
        assert run.read_scan(1, 0).collision_energy == 6.0
        assert [(c.index, c.name, c.units, c.scale_f) for c in run.channels] == [
            (0, "Pump A Pressure", "bar", 0.1), (1, "Column Temp", "C", 1.0)]
        reader = kestrune.RawReader(standard_run.path)
        for c in run.channels:
            rt, value = run.read_channel(c.index)
            points = reader.read_chrom(c.index)
            assert (rt.typecode, value.typecode) == ("d", "f")
            assert rt.tolist() == [p.rt_min for p in points]
            assert bytes(memoryview(value)) == bits([p.value for p in points], "f")
    with kestrune_data.open(synapt_run.path) as run:
        assert run.polarity == "negative"
        assert [(f.encoding, f.ion_mobility) for f in run.functions] == [("b", True), ("a", False), ("a", False)]


def test_scans_selects_like_a_slice_and_by_retention_time(standard_run):
    # Function 1: scans at 0.05, 0.1 and 0.15 min (32-bit values).
    rts = [rw.f32(0.05), rw.f32(0.1), rw.f32(0.15)]

    def indices(run, *args, **kwargs):
        return [s.index for s in run.scans(1, *args, **kwargs)]

    with kestrune_data.open(standard_run.path) as run:
        assert indices(run) == [0, 1, 2]
        assert indices(run, 1) == [1, 2]
        assert indices(run, 0, 2) == [0, 1]
        assert indices(run, -2) == [1, 2]
        assert indices(run, 0, -1) == [0, 1]
        assert indices(run, 2, 1) == []
        assert indices(run, 5, 99) == []
        assert indices(run, stop=None, start=-99) == [0, 1, 2]
        by_rt = [
            ((), (rts[0], rts[1]), [0, 1]),  # both bounds included
            ((), (None, rts[0]), [0]),
            ((), (rts[2], None), [2]),
            ((), [0.11, 0.12], []),
            ((1,), (0.0, 1.0), [1, 2]),
            ((0, 1), (0.0, 1.0), [0]),
        ]
        for args, rt_range, want in by_rt:
            assert indices(run, *args, rt_range=rt_range) == want
        assert run.retention_times(1).tolist() == rts


@pytest.mark.skipif(numpy is None, reason="the README's example uses NumPy, which this interpreter lacks (PyPy)")
def test_readme_example_runs_on_the_sample(monkeypatch, capsys):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    with open(os.path.join(root, "README.md")) as fh:
        text = fh.read()
    section = text[text.index("## Python data API"):]
    code = section[section.index("```python\n") + 10:section.index("```\n", section.index("```python"))]
    monkeypatch.chdir(root)
    exec(compile(code, "README.md", "exec"), {})
    assert capsys.readouterr().out.splitlines()[-1] == "5956.0 (200, 50)"


def test_rt_range_keeps_scans_whose_times_are_out_of_order(tmp_path):
    run = rw.RunBuilder()
    f = run.add_function("c", cal=rw.Cal([0.0, 1.0]))
    for rt in (0.1, 0.3, 0.2, 0.4, 0.25):
        f.add_scan([500.0], [10], rt_min=rt)
    built = run.build(str(tmp_path / "unordered.raw"))
    with kestrune_data.open(built.path) as r:
        assert [s.index for s in r.scans(1, rt_range=(0.15, 0.26))] == [2, 4]
        assert r.tic(1, rt_range=(0.15, 0.26))[0].tolist() == [rw.f32(0.2), rw.f32(0.25)]
        assert r.xic(1, 500.0, rt_range=(0.29, 0.31))[1].tolist() == [10.0]
