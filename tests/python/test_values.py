"""Value classes: attribute types, new lists at each access, object
semantics and the representations (fixed point ties to even, quoted texts)."""

import gc

import pytest

import kestrune
import rawwriter as rw
from conftest import fixed


def test_spectrum_lists_are_new_at_each_access(standard_run, synapt_run):
    s = kestrune.RawReader(standard_run.path).read_spectrum(1, 0)
    ims = kestrune.RawReader(synapt_run.path).read_ims_spectrum(1, 0)
    for obj, names in ((s, ("mz", "intensity")), (ims, ("mz", "drift_time_ms", "intensity"))):
        for name in names:
            a, b = getattr(obj, name), getattr(obj, name)
            assert type(a) is list and a is not b and a == b
            assert all(type(v) is float for v in a)
            a.append(1.0)
            a[0] = -5.0
            assert getattr(obj, name) == b
        assert len(obj) == len(obj.mz)
    assert repr(s) == "Spectrum(3 peaks)"
    assert repr(ims) == "ImsSpectrum(4 ions)"


def test_value_objects_have_no_equality_iteration_or_indexing(standard_run):
    r = kestrune.RawReader(standard_run.path)
    a, b = r.functions[0], r.functions[0]
    assert a != b and not (a == b) and a == a
    assert hash(a) == hash(a)
    s = r.read_spectrum(1, 0)
    with pytest.raises(TypeError):
        iter(s)
    with pytest.raises(TypeError):
        s[0]
    with pytest.raises(TypeError):
        len(r.read_chrom(0)[0])
    with pytest.raises(TypeError):
        len(a)


def test_results_outlive_the_reader(standard_run):
    r = kestrune.RawReader(standard_run.path)
    s, f, h, c, p = r.read_spectrum(2, 0), r.functions[3], r.header, r.channels[0], r.read_chrom(0)
    del r
    gc.collect()
    assert s.mz == standard_run.function(2).scans[0].expected.mz
    assert (f.index, f.is_lock_mass, h.instrument, c.name, p[1].value) == \
        (4, True, "XEVO-G2XSQTOF#NotSet", "Pump A Pressure", 251.5)


def test_attribute_types(standard_run):
    r = kestrune.RawReader(standard_run.path)
    f = r.functions[0]
    for name in ("index", "function_type", "scan_subtype", "tof_depth"):
        assert type(getattr(f, name)) is int
    for name in ("cycle_time_s", "interscan_delay_s", "scan_time_s", "mz_low", "mz_high"):
        assert type(getattr(f, name)) is float
    assert f.is_lock_mass is False and r.functions[3].is_lock_mass is True
    c = r.channels[0]
    assert [type(getattr(c, n)) for n in ("index", "source_type", "name", "scale_f", "units")] == \
        [int, int, str, float, str]
    p = r.read_chrom(0)[0]
    assert (type(p.rt_min), type(p.value)) == (float, float)
    h = r.header
    assert all(type(getattr(h, n)) is str for n in ("version", "acquired_name", "acquired_date",
                                                    "acquired_time", "instrument", "operator",
                                                    "sample_description"))


# ---------------------------------------------------------------------------
# representations


def test_chrom_point_repr_rounds_the_exact_value_to_four_decimals(run_path):
    inf, nan = float("inf"), float("nan")
    points = [(1.5, 250.03125), (1.03125, 1.09375), (-0.0, nan), (inf, -inf), (0.1, -0.00004),
              (5e-5, 123456.789), (3.0e38, -1e-30)]
    run = rw.RunBuilder()
    run.add_channel("p", points=points)
    r = kestrune.RawReader(run.build(run_path).path)
    got = [repr(p) for p in r.read_chrom(0)]
    assert got[:4] == [
        "ChromPoint(rt_min=1.5000, value=250.0312)",
        "ChromPoint(rt_min=1.0312, value=1.0938)",
        "ChromPoint(rt_min=-0.0000, value=NaN)",
        "ChromPoint(rt_min=inf, value=-inf)",
    ]
    assert got[4] == "ChromPoint(rt_min=0.1000, value=-0.0000)"
    for text, (rt, value) in zip(got, points):
        assert text == "ChromPoint(rt_min=%s, value=%s)" % (fixed(rw.f32(rt), 4), fixed(rw.f32(value), 4))


def test_function_info_repr(run_path):
    records = [
        dict(scan_subtype=0x12, mz_low=49.5, mz_high=1200.0),
        dict(scan_subtype=0x92, mz_low=50.0, mz_high=1200.0),
        dict(scan_subtype=0x80, mz_low=50.5, mz_high=1200.5),
        dict(scan_subtype=0x05, mz_low=-0.4, mz_high=float("nan")),
        dict(scan_subtype=0xFF, mz_low=float("-inf"), mz_high=2.5e9),
    ]
    built = rw.RunBuilder().build(run_path)
    built.replace("_FUNCTNS.INF", rw.functions_inf(records))
    got = [repr(f) for f in kestrune.RawReader(run_path).functions]
    assert got == [
        "FunctionInfo(index=1, mz=[50,1200], scan_subtype=0x12, lock_mass=false)",
        "FunctionInfo(index=2, mz=[50,1200], scan_subtype=0x92, lock_mass=true)",
        "FunctionInfo(index=3, mz=[50,1200], scan_subtype=0x80, lock_mass=true)",
        "FunctionInfo(index=4, mz=[-0,NaN], scan_subtype=0x05, lock_mass=false)",
        "FunctionInfo(index=5, mz=[-inf,2500000000], scan_subtype=0xff, lock_mass=true)",
    ]


@pytest.mark.parametrize("instrument,date,text", [
    (None, None, 'RunHeader(instrument="", acquired_date="")'),
    ("SYNAPT G2-Si", "14-Jan-2021", 'RunHeader(instrument="SYNAPT G2-Si", acquired_date="14-Jan-2021")'),
    ('Q"T\\OF\tX\rY', "d\x01\x7f", 'RunHeader(instrument="Q\\"T\\\\OF\\tX\\rY", acquired_date="d\\u{1}\\u{7f}")'),
    ("It's \u00e9\u4e2d", "1\x00", 'RunHeader(instrument="It\'s \u00e9\u4e2d", acquired_date="1\\0")'),
])
def test_run_header_repr_quotes_its_texts(run_path, instrument, date, text):
    run = rw.RunBuilder(instrument=instrument, acquired_date=date)
    h = kestrune.RawReader(run.build(run_path).path).header
    assert (h.instrument, h.acquired_date) == (instrument, date)
    assert repr(h) == text
