"""RawReader: opening a run, its metadata answers, argument rules, and the
failures of opening seen through Python."""

import os
import pathlib

import pytest

import kestrune
import rawwriter as rw
from conftest import io_text, raises_runtime, standard_builder


def small_builder(**run_fields):
    run = rw.RunBuilder(**run_fields)
    f = run.add_function("c", cal=rw.Cal([0.0, 1.0]))
    f.add_scan([100.0, 200.0], [1, 2], rt_min=0.5)
    return run


# ---------------------------------------------------------------------------
# constructor arguments and paths


def test_constructor_accepts_str_only_by_position_or_keyword(standard_run):
    p = standard_run.path
    assert repr(kestrune.RawReader(path=p)) == repr(kestrune.RawReader(p))
    for bad in (pathlib.Path(p), p.encode(), None, 3):
        with pytest.raises(TypeError):
            kestrune.RawReader(bad)
    with pytest.raises(TypeError):
        kestrune.RawReader()
    with pytest.raises(TypeError):
        kestrune.RawReader(p, p)
    with pytest.raises(TypeError):
        kestrune.RawReader(dir=p)
    with pytest.raises(TypeError):
        kestrune.RawReader(p, path=p)


def test_path_that_is_not_a_directory(tmp_path):
    raises_runtime("'' is not a directory", kestrune.RawReader, "")
    missing = str(tmp_path / "missing.raw")
    raises_runtime("'%s' is not a directory" % missing, kestrune.RawReader, missing)
    regular = tmp_path / "file.raw"
    regular.write_bytes(b"x")
    raises_runtime("'%s' is not a directory" % regular, kestrune.RawReader, str(regular))


def test_path_is_kept_as_passed_and_symbolic_links_are_followed(standard_run, tmp_path):
    link = str(tmp_path / "link.raw")
    os.symlink(standard_run.path, link)
    assert repr(kestrune.RawReader(link)) == "RawReader('%s', 4 function(s), 2 channel(s))" % link
    rel = os.path.relpath(standard_run.path) + os.sep
    r = kestrune.RawReader(rel)
    assert repr(r) == "RawReader('%s', 4 function(s), 2 channel(s))" % rel
    assert r.n_scans(1) == 3


# ---------------------------------------------------------------------------
# metadata


def test_header_fields_and_absent_keys(run_path):
    run = small_builder(instrument="SYNAPT XS", version=None, operator="J. O'Brien",
                        sample_description="mix: 10 ng/ul")
    run.header_extra = ["$$ Instrument: SYNAPT G2-Si", "not a header line: x", "$$NoColonSpace:x"]
    h = kestrune.RawReader(run.build(run_path, check=False).path).header
    assert h.version is None
    assert h.acquired_name == "kestrune_run"
    assert h.acquired_date == "14-Jan-2021"
    assert h.acquired_time == "16:20:52"
    assert h.instrument == "SYNAPT G2-Si"  # the last line of a key wins
    assert h.operator == "J. O'Brien"
    assert h.sample_description == "mix: 10 ng/ul"


def test_each_header_access_is_a_new_object(standard_run):
    r = kestrune.RawReader(standard_run.path)
    assert r.header is not r.header
    assert r.header.instrument == "XEVO-G2XSQTOF#NotSet"


@pytest.mark.parametrize("written,expected", [
    ("ES+", "positive"), ("ES-", "negative"), ("Positive", "positive"), ("neg", "negative"),
    (None, None), ("xyz", None),
])
def test_polarity(run_path, written, expected):
    run = small_builder(polarity=written)
    assert kestrune.RawReader(run.build(run_path).path).polarity == expected


def test_polarity_first_recognised_value_wins(run_path):
    run = small_builder(polarity="unknown")
    run.extern_extra = ["Polarity\t\tPOSITIVE", "Polarity\t\tES-"]
    assert kestrune.RawReader(run.build(run_path).path).polarity == "positive"


def test_functions_list_every_table_record(standard_run):
    r = kestrune.RawReader(standard_run.path)
    funcs = r.functions
    assert [type(f) for f in funcs] == [kestrune.FunctionInfo] * 4
    for f, fn in zip(funcs, standard_run.builder.functions):
        got = dict((k, getattr(f, k)) for k in fn.info())
        assert got == fn.info()
    assert [f.is_lock_mass for f in funcs] == [False, False, False, True]
    again = r.functions
    assert again is not funcs and all(a is not b for a, b in zip(again, funcs))
    funcs.clear()
    assert len(r.functions) == 4


def test_function_record_fields_are_copied_bit_for_bit(run_path):
    run = small_builder()
    built = run.build(run_path)
    rec = rw.function_record(function_type=0x07, scan_subtype=0x7F, cycle_time_s=0.1,
                             tof_depth=65535, interscan_delay_s=-0.0, scan_time_s=1e-30,
                             mz_low=float("nan"), mz_high=float("inf"), fill=0xAB)
    built.replace("_FUNCTNS.INF", rec)
    f, = kestrune.RawReader(built.path).functions
    assert (f.index, f.function_type, f.scan_subtype, f.tof_depth) == (1, 7, 0x7F, 65535)
    assert f.cycle_time_s == rw.f32(0.1) and f.scan_time_s == rw.f32(1e-30)
    assert str(f.interscan_delay_s) == "-0.0"
    assert f.mz_low != f.mz_low and f.mz_high == float("inf")
    assert f.is_lock_mass is False


@pytest.mark.parametrize("kind,level", [
    ("TOF MS FUNCTION", 1), ("tof ms function", 1), ("TOF MSMS FUNCTION", 2),
    ("TOF PARENT FUNCTION", 2), ("TOF DAUGHTER FUNCTION", 2), ("REFERENCE TOF MS", 1),
    ("", 1), (None, 1),
])
def test_ms_level_from_the_function_sections(run_path, kind, level):
    run = small_builder()
    run.functions[0].kind = kind
    r = kestrune.RawReader(run.build(run_path).path)
    assert r.ms_level(1) == level
    assert r.ms_level(999) == 1


def test_scan_counts_encodings_and_retention_times(standard_run, synapt_run):
    r = kestrune.RawReader(standard_run.path)
    for fn in standard_run.builder.functions:
        n = fn.number
        assert r.n_scans(n) == len(fn.scans)
        assert r.function_encoding(n) == fn.encoding
        assert [r.retention_time(n, s) for s in range(len(fn.scans))] == \
            [s.rt_expected for s in fn.scans]
    s = kestrune.RawReader(synapt_run.path)
    assert [s.function_encoding(n) for n in (1, 2, 3)] == ["b", "a", "a"]
    raises_runtime("scan 3 out of range", r.retention_time, 1, 3)
    raises_runtime("function 5 not found", r.n_scans, 5)
    raises_runtime("function 0 not found", r.function_encoding, 0)
    raises_runtime("function 5 not found", r.retention_time, 5, 0)


def test_repr(standard_run, run_path):
    r = kestrune.RawReader(standard_run.path)
    assert repr(r) == "RawReader('%s', 4 function(s), 2 channel(s))" % standard_run.path
    run = rw.RunBuilder()
    built = run.build(run_path)
    empty = kestrune.RawReader(built.path)
    assert repr(empty) == "RawReader('%s', 0 function(s), 0 channel(s))" % run_path
    assert empty.functions == [] and empty.channels == []


# ---------------------------------------------------------------------------
# argument conversion


def test_integer_arguments_type_and_range(standard_run):
    r = kestrune.RawReader(standard_run.path)
    for call in (lambda: r.n_scans(1.0), lambda: r.n_scans("1"), lambda: r.ms_level(None),
                 lambda: r.retention_time(1, 0.0), lambda: r.read_spectrum(1),
                 lambda: r.read_spectrum(1, 0, 0), lambda: r.n_scans(func=1),
                 lambda: r.read_chrom(index=0), lambda: r.read_chrom(),
                 lambda: r.retention_time(1, scan=0)):
        with pytest.raises(TypeError):
            call()
    for call in (lambda: r.n_scans(-1), lambda: r.ms_level(2 ** 32),
                 lambda: r.function_encoding(-1), lambda: r.retention_time(1, -1),
                 lambda: r.retention_time(1, 2 ** 64), lambda: r.read_spectrum(2 ** 32, 0),
                 lambda: r.read_ims_spectrum(1, 2 ** 64), lambda: r.read_chrom(-1)):
        with pytest.raises(OverflowError):
            call()
    raises_runtime("function 4294967295 not found", r.n_scans, 2 ** 32 - 1)
    raises_runtime("scan 18446744073709551615 out of range", r.retention_time, 1, 2 ** 64 - 1)
    assert r.n_scans(func_index=2) == 2
    assert r.retention_time(func_index=2, scan_index=1) == rw.f32(0.4)
    assert r.retention_time(2, scan_index=1) == rw.f32(0.4)
    assert len(r.read_spectrum(scan_index=0, func_index=1)) == 3
    assert len(r.read_chrom(channel_index=1)) == 1


def test_range_is_checked_before_the_reader_state(run_path):
    r = kestrune.RawReader(small_builder().build(run_path).path)
    with pytest.raises(OverflowError):
        r.read_chrom(-1)  # no chromatogram table: the argument check comes first


# ---------------------------------------------------------------------------
# run-wide failures


def test_required_files_are_looked_up_in_order(run_path):
    built = small_builder().build(run_path, omit=("_HEADER.TXT", "_extern.inf"))
    raises_runtime("parse error: required file _HEADER.TXT missing in %s" % run_path,
                   kestrune.RawReader, run_path)
    built.replace("_HEADER.TXT", small_builder().header_bytes())
    raises_runtime("parse error: required file _extern.inf missing in %s" % run_path,
                   kestrune.RawReader, run_path)
    built.replace("_extern.inf", small_builder().extern_bytes())
    built.remove("_FUNCTNS.INF")
    raises_runtime("parse error: required file _FUNCTNS.INF missing in %s" % run_path,
                   kestrune.RawReader, run_path)


def test_malformed_run_wide_files_fail_with_the_file_path(run_path):
    built = small_builder().build(run_path)
    path = os.path.join(run_path, "%s")
    good = {k: built.read(k) for k in ("_HEADER.TXT", "_extern.inf", "_FUNCTNS.INF")}
    cases = [
        ("_HEADER.TXT", "$$ Cal Function 1: 1.0,T2\n",
         'parse error: _HEADER.TXT: unknown calibration type "T2"'),
        ("_HEADER.TXT", "$$ Cal Function x: 1.0,T1\n",
         'parse error: _HEADER.TXT: invalid function index in key "Cal Function x"'),
        ("_HEADER.TXT", "$$ Cal Function 1: 1.0, abc ,T1\n",
         'parse error: _HEADER.TXT: invalid coefficient " abc "'),
        ("_extern.inf", "Veff\t7200\n", "parse error: _extern.inf: Lteff field not found"),
        ("_extern.inf", "Lteff\t1800\nVeff\tnone\n", "parse error: _extern.inf: Veff field not found"),
        ("_FUNCTNS.INF", good["_FUNCTNS.INF"] + b"\0",
         "parse error: _FUNCTNS.INF: file size 417 is not a multiple of 416 (record size)"),
        ("_FUNC001.IDX", b"\0" * 50,
         "parse error: _FUNCnnn.IDX: size 50 is not a multiple of 22 (Variant A) or 30 (Variant B)"),
    ]
    for name, data, message in cases:
        before = built.read(name)
        built.replace(name, data)
        raises_runtime("reading %s: %s" % (path % name, message), kestrune.RawReader, run_path)
        built.replace(name, before)
    kestrune.RawReader(run_path)


def test_directory_named_like_a_run_file_is_not_a_file(tmp_path):
    run = small_builder()
    built = run.build(str(tmp_path / "r.raw"), omit=("_HEADER.TXT",))
    os.mkdir(built.file("_HEADER.TXT"))
    raises_runtime("parse error: required file _HEADER.TXT missing in %s" % built.path,
                   kestrune.RawReader, built.path)


# ---------------------------------------------------------------------------
# per-function problems


def test_function_without_index_or_data_file_is_skipped(run_path):
    built = standard_builder().build(run_path, omit=("_FUNC002.IDX", "_FUNC003.DAT"))
    r = kestrune.RawReader(run_path)
    assert [f.index for f in r.functions] == [1, 2, 3, 4]
    assert repr(r) == "RawReader('%s', 4 function(s), 2 channel(s))" % run_path
    for n in (2, 3):
        raises_runtime("function %d not found" % n, r.n_scans, n)
        raises_runtime("function %d not found" % n, r.function_encoding, n)
        raises_runtime("function %d not found" % n, r.retention_time, n, 0)
        raises_runtime("%s function %d scan 0: parse error: function %d not present in bundle"
                       % (run_path, n, n), r.read_spectrum, n, 0)
    assert r.n_scans(4) == 1
    assert r.read_spectrum(4, 0).mz == built.function(4).scans[0].expected.mz
    assert r.ms_level(2) == 2  # answered from _extern.inf, not from the readable functions


def test_statistics_file_is_optional_and_a_bad_one_is_ignored(run_path):
    built = standard_builder().build(run_path)
    want = built.function(1).scans[0].expected
    for sts in (None, b"\0" * 31, rw.func_sts([rw.sts_descriptor("Collision Energy", 7, 0)], [], 4)):
        if sts is None:
            built.remove("_FUNC001.STS")
        else:
            built.replace("_FUNC001.STS", sts)
        s = kestrune.RawReader(run_path).read_spectrum(1, 0)
        assert (s.mz, s.intensity) == (want.mz, want.intensity)


def test_function_without_calibration_line_decodes_uncalibrated(run_path):
    run = rw.RunBuilder()
    f = run.add_function("a", cal=None)
    scan = f.add_scan([100.0, 400.0], [1, 2])
    f.add_scan([50.0], [3])
    r = kestrune.RawReader(run.build(run_path).path)
    s = r.read_spectrum(1, 0)
    assert s.mz == scan.expected.mz
    assert s.mz == pytest.approx([100.0, 400.0], rel=1e-6)


# ---------------------------------------------------------------------------
# file lookup


@pytest.mark.parametrize("mode", ["lower", "swap", "prefix:RUN1", "prefix:ab cd "])
def test_files_are_found_in_any_ascii_case_or_with_a_prefix(standard_run, tmp_path, mode):
    builder = standard_run.builder
    names = dict((k, rw.case_variant(k, mode)) for k in builder.files())
    built = builder.build(str(tmp_path / "r.raw"), names=names)
    r = kestrune.RawReader(built.path)
    assert repr(r) == "RawReader('%s', 4 function(s), 2 channel(s))" % built.path
    for fn in builder.functions:
        for k, scan in enumerate(fn.scans):
            assert r.read_spectrum(fn.number, k).mz == scan.expected.mz
    assert r.read_chrom(0)[1].value == 251.5


def test_two_prefixed_candidates_fail_the_open(run_path):
    built = small_builder().build(run_path, omit=("_FUNC001.DAT",))
    data = small_builder().functions[0].dat_bytes()
    built.add_file("A_FUNC001.DAT", data)
    built.add_file("B_FUNC001.DAT", data)
    raises_runtime("parse error: multiple files match _FUNC001.DAT in %s" % run_path,
                   kestrune.RawReader, run_path)


def test_links_directories_and_longer_names_do_not_count(run_path):
    run = standard_builder()
    built = run.build(run_path)
    dat = built.file("_FUNC001.DAT")
    os.rename(dat, dat + ".bak")
    os.symlink(dat + ".bak", os.path.join(run_path, "X_FUNC001.DAT"))
    built.remove("_FUNC002.DAT")
    os.mkdir(os.path.join(run_path, "_FUNC002.DAT"))
    r = kestrune.RawReader(run_path)
    for n in (1, 2):
        raises_runtime("function %d not found" % n, r.n_scans, n)
    assert r.n_scans(3) == 2


def test_case_folding_is_ascii_only(run_path):
    run = rw.RunBuilder(instrument="SYNAPT")
    built = run.build(run_path)
    built.rename("_HEADER.TXT", "_HEADER.TXT".replace("E", "\u00e9").lower())
    raises_runtime("parse error: required file _HEADER.TXT missing in %s" % run_path,
                   kestrune.RawReader, run_path)


def test_missing_data_file_after_open_is_an_io_error(run_path):
    built = standard_builder().build(run_path)
    r = kestrune.RawReader(run_path)
    built.remove("_FUNC002.DAT")
    raises_runtime("%s function 2 scan 1: %s" % (run_path, io_text(2)), r.read_spectrum, 2, 1)
    assert r.n_scans(2) == 2  # the reader stays usable
