"""Decoding scans through RawReader: the encoding chosen for a function, the
decoded values (compared bit for bit with values computed here in the same
operation order), calibration, byte ranges and the wrapped error texts."""

import os

import pytest

import kestrune
import rawwriter as rw
from conftest import raises_runtime, same_floats

XEVO = "XEVO-G2XSQTOF#NotSet"


def raw_run(run_path, encoding, scans, cal=rw.T0, instrument=XEVO, lteff=1800.0, veff=7200.0,
            **fields):
    """One function holding the given scan bytes; returns (reader, function fn)."""
    run = rw.RunBuilder(instrument=instrument, lteff=lteff, veff=veff)
    f = run.add_function(encoding, cal=cal, **fields)
    for data in scans:
        f.add_raw_scan(data)
    run.build(run_path, check=False)
    return kestrune.RawReader(run_path), f


def check_scans(r, fn):
    for k, scan in enumerate(fn.scans):
        want = scan.expected
        assert want.error is None
        s = r.read_spectrum(fn.number, k)
        assert type(s) is kestrune.Spectrum
        same_floats(s.mz, want.mz)
        assert s.intensity == want.intensity
        assert len(s) == len(want.mz)


# ---------------------------------------------------------------------------
# choice of encoding


@pytest.mark.parametrize("records,letter", [
    ([(0, 100), (600, 100)], "a"),
    ([(0, 100), (800, 100)], "d"),
    ([(0, 100)], "a"),
    ([(0, 100), (700, 100)], "a"),
    ([(0, 0), (0, 5), (8, 0), (16, 3)], "a"),
    ([(0, 100), (700, 100), (1500, 100)], "d"),
    ([(800, 100), (0, 100), (600, 7)], "a"),
])
def test_22_byte_index_width_from_offsets(run_path, records, letter):
    run = rw.RunBuilder()
    run.add_function("a").add_scan([100.0], [1])
    built = run.build(run_path)
    built.replace("_FUNC001.IDX", rw.index_a([(o, c, 0.1 * i) for i, (o, c) in enumerate(records)]))
    built.replace("_FUNC001.DAT", b"\0" * 2400)
    r = kestrune.RawReader(run_path)
    assert r.function_encoding(1) == letter
    assert r.n_scans(1) == len(records)


@pytest.mark.parametrize("instrument,letter", [
    ("SYNAPT G2-Si", "b"), ("synapt xs", "b"), ("SyNaPt", "b"), ("SYNAP", "c"),
    (None, "c"), (XEVO, "c"),
])
def test_30_byte_index_is_ims_on_synapt_only(run_path, instrument, letter):
    run = rw.RunBuilder(instrument=instrument)
    run.add_function("c").add_scan([100.0], [1])
    run.build(run_path, check=False)
    assert kestrune.RawReader(run_path).function_encoding(1) == letter


def test_index_size_fitting_both_strides(run_path):
    run = rw.RunBuilder()
    run.add_function("a").add_scan([100.0], [1])
    built = run.build(run_path)
    built.replace("_FUNC001.DAT", b"\0" * 4096)
    ordered = [(6 * k, 1, 0.1 * k) for k in range(15)]
    built.replace("_FUNC001.IDX", rw.index_a(ordered))
    r = kestrune.RawReader(run_path)
    assert (r.n_scans(1), r.function_encoding(1)) == (15, "a")
    unordered = list(ordered)
    unordered[7] = (0, 1, 0.7)
    built.replace("_FUNC001.IDX", rw.index_a(unordered))
    r = kestrune.RawReader(run_path)
    assert (r.n_scans(1), r.function_encoding(1)) == (11, "c")
    built.replace("_FUNC001.IDX", rw.index_a(ordered[:3] + [(18, 1, 0.3, 0, 0x17)] + ordered[4:]))
    assert kestrune.RawReader(run_path).n_scans(1) == 11


# ---------------------------------------------------------------------------
# decoded values


def test_standard_run_decodes_every_scan(standard_run):
    r = kestrune.RawReader(standard_run.path)
    for fn in standard_run.builder.functions:
        check_scans(r, fn)
    # The writer chose positions for these m/z values: calibration was applied.
    assert r.read_spectrum(1, 0).mz == pytest.approx([100.0, 556.2771, 1022.5], rel=1e-7)
    assert r.read_spectrum(3, 0).intensity == [1.5, 2.25, 1000.0]


def test_ims_scan_through_both_methods(synapt_run):
    r = kestrune.RawReader(synapt_run.path)
    want = synapt_run.function(1).scans[0].expected
    ims = r.read_ims_spectrum(1, 0)
    assert type(ims) is kestrune.ImsSpectrum
    assert (ims.mz, ims.drift_time_ms, ims.intensity) == (want.mz, want.drift_time_ms, want.intensity)
    assert ims.drift_time_ms == pytest.approx([1.0, 25.0, 50.0, 99.0], abs=1e-3)
    flat = r.read_spectrum(1, 0)
    assert (flat.mz, flat.intensity) == (ims.mz, ims.intensity)
    assert len(flat) == len(ims) == 4
    assert repr(r.read_ims_spectrum(1, 1)) == "ImsSpectrum(0 ions)"
    for n in (2, 3):
        check_scans(r, synapt_run.function(n))


A_RECORD = bytes.fromhex("100030000080")   # count 16, x = 4
D_RECORD = bytes.fromhex("000001000000000c")  # I = 65536, W = 0x0C000000


@pytest.mark.parametrize("cal,mz", [(rw.T0, 4.0), (rw.Cal([0.0, 2.0]), 16.0),
                                    (rw.Cal([2.0, 0.0]), 4.0), (rw.Cal([0.0, 2.0], "T0"), 4.0)])
def test_encoding_a_record_and_calibration(run_path, cal, mz):
    r, f = raw_run(run_path, "a", [A_RECORD], cal=cal)
    s = r.read_spectrum(1, 0)
    assert (s.mz, s.intensity) == ([mz], [16.0])


def test_encoding_d_record(run_path):
    r, f = raw_run(run_path, "d", [D_RECORD, D_RECORD + rw.record_d(0, 0)])
    assert r.function_encoding(1) == "d"
    s = r.read_spectrum(1, 1)
    assert (s.mz, s.intensity) == ([1.0], [1.0])


def test_encoding_c_axis_is_anchored_at_the_first_and_last_position(run_path):
    recs = rw.record_c(5, 0, 1000) + rw.record_c(6, 0, 1500) + rw.record_c(7, 0, 2000)
    for lteff, veff in ((1800.0, 7200.0), (1200.0, 7200.0), (917.3, 5100.0)):
        r, f = raw_run(run_path, "c", [recs], lteff=lteff, veff=veff, mz_low=100.0, mz_high=400.0)
        s = r.read_spectrum(1, 0)
        assert s.mz == f.scans[0].expected.mz
        assert s.mz == pytest.approx([100.0, 225.0, 400.0], rel=1e-12)
        assert s.intensity == [5.0, 6.0, 7.0]


@pytest.mark.parametrize("encoding", ["b", "c"])
def test_positions_outside_the_anchors_extrapolate(run_path, encoding):
    rec = rw.record_b if encoding == "b" else rw.record_c
    data = rec(1, 0, 1000) + rec(2, 0, 500) + rec(3, 0, 2500) + rec(4, 0, 0) + rec(5, 0, 2000)
    r, f = raw_run(run_path, encoding, [data], instrument="SYNAPT" if encoding == "b" else XEVO,
                   mz_low=100.0, mz_high=400.0)
    s = r.read_spectrum(1, 0)
    assert s.mz == f.scans[0].expected.mz
    assert s.mz == pytest.approx([100.0, 25.0, 625.0, 0.0, 400.0], rel=1e-12, abs=1e-12)


def test_encoding_b_axis_drift_and_dropped_records(run_path):
    recs = rw.record_b(3, 16384, 10) + rw.record_b(0, 999, 15) + rw.record_b(4, 65535, 20)
    r, f = raw_run(run_path, "b", [recs], instrument="SYNAPT G2", mz_low=100.0, mz_high=400.0,
                   scan_time_s=0.1)
    ims = r.read_ims_spectrum(1, 0)
    want = f.scans[0].expected
    assert (ims.mz, ims.drift_time_ms, ims.intensity) == (want.mz, want.drift_time_ms, want.intensity)
    assert ims.mz == pytest.approx([100.0, 400.0], rel=1e-12)
    assert ims.drift_time_ms[0] == pytest.approx(25.0, rel=1e-6)
    assert ims.intensity == [3.0, 4.0]


@pytest.mark.parametrize("encoding,data", [
    ("a", A_RECORD * 2),
    ("c", rw.record_c(1, 0, 10) + rw.record_c(1, 9, 15) + rw.record_c(1, 0, 20)),
    ("b", rw.record_b(1, 0, 10) + rw.record_b(1, 0, 20)),
    ("d", D_RECORD * 2),
])
def test_t1_without_coefficients_gives_zero_mz(run_path, encoding, data):
    r, f = raw_run(run_path, encoding, [data, data], cal=rw.Cal([], "T1"),
                   instrument="SYNAPT" if encoding == "b" else XEVO)
    s = r.read_spectrum(1, 0)
    assert s.mz == [0.0] * len(s) and len(s) > 0


@pytest.mark.parametrize("encoding,data,count", [
    ("a", bytes.fromhex("0000f3ffff7f") + A_RECORD, 1),  # zero intensity: never validated
    ("d", rw.record_d(0, 0x0A000000) + D_RECORD, 1),
    ("c", b"", 0),
    ("c", rw.record_c(1, 0, 10), 0),  # a single record
    ("c", rw.record_c(1, 0, 30) + rw.record_c(1, 0, 10) + rw.record_c(1, 0, 20), 0),
    ("c", rw.record_c(1, 0, 20) + rw.record_c(1, 0, 30) + rw.record_c(1, 0, 20), 0),
    ("b", rw.record_b(1, 0, 20) + rw.record_b(1, 0, 30) + rw.record_b(1, 0, 20), 0),
    ("b", rw.record_b(1, 0, 20), 0),
])
def test_records_that_give_no_points(run_path, encoding, data, count):
    r, f = raw_run(run_path, encoding, [data, data], instrument="SYNAPT" if encoding == "b" else XEVO)
    assert len(r.read_spectrum(1, 0)) == count


def test_non_finite_flight_time_constant_propagates(run_path):
    recs = rw.record_c(5, 0, 1000) + rw.record_c(6, 0, 2000)
    for lteff, veff in ((0.0, 7200.0), (1800.0, 0.0)):
        r, f = raw_run(run_path, "c", [recs], lteff=lteff, veff=veff)
        s = r.read_spectrum(1, 0)
        same_floats(s.mz, f.scans[0].expected.mz)
        assert all(m != m for m in s.mz)


# ---------------------------------------------------------------------------
# byte ranges of a scan


def test_last_variant_b_scan_runs_to_the_end_of_the_file(run_path):
    run = rw.RunBuilder()
    f = run.add_function("c", cal=rw.T0)
    f.add_scan([100.0], [1])
    f.add_scan([200.0, 300.0], [2, 3])
    built = run.build(run_path)
    extra = rw.record_c(9, 0, 21000)
    built.append("_FUNC001.DAT", extra)
    s = kestrune.RawReader(run_path).read_spectrum(1, 1)
    want = rw.decode_c(f.scans[1].data + extra, f.params)
    assert (s.mz, s.intensity) == (want.mz, want.intensity)
    assert len(s) == 3


def test_variant_b_successor_with_smaller_offset_gives_an_empty_scan(run_path):
    run = rw.RunBuilder()
    f = run.add_function("c", cal=rw.T0)
    for m in (100.0, 200.0, 300.0):
        f.add_scan([m], [1])
    built = run.build(run_path)
    built.replace("_FUNC001.IDX", rw.index_b([(0, 0.1), (48, 0.2), (24, 0.3)]))
    r = kestrune.RawReader(run_path)
    assert repr(r.read_spectrum(1, 1)) == "Spectrum(0 peaks)"
    assert r.read_spectrum(1, 2).mz == f.scans[1].expected.mz + f.scans[2].expected.mz


def test_variant_a_range_is_clipped_to_the_file(run_path):
    run = rw.RunBuilder()
    run.add_function("a").add_scan([100.0], [1])
    built = run.build(run_path)
    built.replace("_FUNC001.DAT", A_RECORD + b"\0" * 4)
    built.replace("_FUNC001.IDX", rw.index_a([(0, 3, 0.1), (1000, 1, 0.2), (0, 1, 0.3)]))
    r = kestrune.RawReader(run_path)
    raises_runtime("%s function 1 scan 0: parse error: Encoding A: scan size 10 is not a multiple of 6"
                   % run_path, r.read_spectrum, 1, 0)
    assert len(r.read_spectrum(1, 1)) == 0  # starts beyond the end: no bytes, no error
    assert r.read_spectrum(1, 2).mz == [4.0]


def test_data_file_changed_after_open(run_path):
    run = rw.RunBuilder()
    f = run.add_function("c", cal=rw.T0)
    f.add_scan([100.0, 200.0], [1, 2])
    f.add_scan([300.0], [3])
    built = run.build(run_path)
    r = kestrune.RawReader(run_path)
    built.patch("_FUNC001.DAT", 8 + 2, b"\x07\x00")
    assert r.read_spectrum(1, 0).intensity == [7.0, 2.0]
    built.truncate("_FUNC001.DAT", 20)
    raises_runtime("%s function 1 scan 0: I/O error: failed to fill whole buffer" % run_path,
                   r.read_spectrum, 1, 0)


# ---------------------------------------------------------------------------
# failures


def test_scan_and_function_numbers_out_of_range(standard_run):
    p = standard_run.path
    r = kestrune.RawReader(p)
    assert len(r.read_spectrum(1, 2)) == 0
    raises_runtime("%s function 1 scan 3: parse error: function 1 scan 3 out of range" % p,
                   r.read_spectrum, 1, 3)
    raises_runtime("%s function 0 scan 0: parse error: function 0 not present in bundle" % p,
                   r.read_spectrum, 0, 0)
    raises_runtime("%s function 9 scan 18446744073709551615: parse error: function 9 not present "
                   "in bundle" % p, r.read_ims_spectrum, 9, 2 ** 64 - 1)


def test_read_ims_spectrum_of_a_one_dimensional_function(standard_run, synapt_run):
    r = kestrune.RawReader(standard_run.path)
    for n in (1, 2, 3):
        raises_runtime("function is not IMS; use read_spectrum instead", r.read_ims_spectrum, n, 0)
    # A decoding error is reported before the dimension check.
    raises_runtime("%s function 1 scan 7: parse error: function 1 scan 7 out of range"
                   % standard_run.path, r.read_ims_spectrum, 1, 7)
    s = kestrune.RawReader(synapt_run.path)
    raises_runtime("function is not IMS; use read_spectrum instead", s.read_ims_spectrum, 2, 0)


@pytest.mark.parametrize("encoding,data,message", [
    ("a", bytes.fromhex("010003000080"), "Encoding A: unsupported m/z word 03 00 00 80"),
    ("a", A_RECORD + bytes.fromhex("01001f00007f"), "Encoding A: unsupported m/z word 1f 00 00 7f"),
    ("c", rw.record_c(1, 0, 10) + b"\0" * 4, "Encoding C: scan size 12 is not a multiple of 8"),
    ("b", rw.record_b(1, 0, 10) + b"\0" * 4, "Encoding B: scan size 12 is not a multiple of 8"),
    ("d", D_RECORD + rw.record_d(1, 0x0A000000),
     "Encoding D: position word 0x0a000000 lacks the leading mantissa bit"),
])
def test_decoder_errors_carry_the_scan_context(run_path, encoding, data, message):
    instrument = "SYNAPT" if encoding == "b" else XEVO
    run = rw.RunBuilder(instrument=instrument)
    f = run.add_function(encoding)
    f.add_raw_scan(data, peak_count=len(data) // (8 if encoding == "d" else 6))
    f.add_raw_scan(D_RECORD if encoding == "d" else b"")
    run.build(run_path, check=False)
    r = kestrune.RawReader(run_path)
    assert r.function_encoding(1) == encoding
    assert f.scans[0].expected.error == message
    err = raises_runtime("%s function 1 scan 0: parse error: %s" % (run_path, message),
                         r.read_spectrum, 1, 0)
    assert type(err) is RuntimeError
    if encoding == "b":
        raises_runtime(str(err), r.read_ims_spectrum, 1, 0)
    # The failed call leaves the reader usable.
    assert r.n_scans(1) == 2
