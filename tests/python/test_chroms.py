"""Chromatogram channels and samples: _CHROMS.INF and _CHROnnn.DAT through
RawReader.channels and RawReader.read_chrom."""

import os

import pytest

import kestrune
import rawwriter as rw
from conftest import raises_runtime


def chrom_run(run_path, fields=(), points=None, meta_records=2):
    """A run whose channel table holds the given (source_type, text field)
    records; ``points`` for the samples file of channel 0."""
    run = rw.RunBuilder()
    run.chroms = True
    run.chroms_meta_records = meta_records
    built = run.build(run_path)
    built.replace("_CHROMS.INF", rw.chroms_inf(list(fields), meta_records))
    if points is not None:
        built.replace(rw.chro_file_name(0), rw.chro_dat(points))
    return built


def test_channel_names_units_and_scale(run_path):
    field = rw.chrom_text_field
    records = [
        (4, field("Pump A Pressure", "$CC$,0.1,x,y,z,bar,extra")),
        (1, field("Flow$CC$, 2.5 ,a,b,c,%")),
        (4, field("Four commas", "$CC$,0.5,a,b,bar")),
        (4, field("Bad scale", "$CC$,abc,a,b,c,bar")),
        (7, field(b"\x80\x81\xe9 '\x9d")),
        (0xFFFFFFFF, field("Oven", b"$CC$,-1e3,a,b,c,\xb0C")),
        (4, field("Not UTF-8", b"$CC$,\xe9,a,b,c,x")),
        (4, b"N" * 81),
    ]
    built = chrom_run(run_path, records, meta_records=3)
    got = [(c.index, c.source_type, c.name, c.scale_f, c.units)
           for c in kestrune.RawReader(built.path).channels]
    assert got == [
        (0, 4, "Pump A Pressure", 0.1, "bar,extra"),
        (1, 1, "Flow$CC$, 2.5 ,a,b,c,%", 2.5, "%"),
        (2, 4, "Four commas", 1.0, ""),
        (3, 4, "Bad scale", 1.0, ""),
        (4, 7, "\u20ac\x81\u00e9 '\x9d", 1.0, ""),
        (5, 0xFFFFFFFF, "Oven", -1000.0, "\u00b0C"),
        (6, 4, "Not UTF-8", 1.0, ""),
        (7, 4, "N" * 81, 1.0, ""),
    ]


def test_channels_are_new_objects_with_an_unescaped_repr(run_path):
    built = chrom_run(run_path, [(4, rw.chrom_text_field("O'Brien \"pump\"", "$CC$,1,a,b,c,bar"))])
    r = kestrune.RawReader(built.path)
    first, second = r.channels, r.channels
    assert first is not second and first[0] is not second[0]
    assert repr(first[0]) == "ChromChannel(index=0, name='O'Brien \"pump\"', units='bar')"
    first.clear()
    assert len(r.channels) == 1


def test_samples_are_32_bit_values_in_file_order(standard_run):
    r = kestrune.RawReader(standard_run.path)
    for ch in standard_run.builder.channels:
        points = r.read_chrom(ch.index)
        assert [type(p) for p in points] == [kestrune.ChromPoint] * len(ch.points)
        assert [(p.rt_min, p.value) for p in points] == ch.expected_points
    assert r.read_chrom(0) is not r.read_chrom(0)
    assert str(r.read_chrom(0)[2].value) == "-0.0"


@pytest.mark.parametrize("size,message", [
    (297, "_CHROMS.INF too small: 297 bytes (need at least 298)"),
    (299, "_CHROMS.INF: data section size 1 is not a multiple of 85"),
])
def test_malformed_channel_table_sizes(run_path, size, message):
    built = chrom_run(run_path)
    built.replace("_CHROMS.INF", rw.chroms_inf([], 2)[:size] + b"\0" * max(0, size - 298))
    raises_runtime("reading %s: parse error: %s" % (built.file("_CHROMS.INF"), message),
                   kestrune.RawReader, run_path)


def test_malformed_channel_table_header(run_path):
    built = chrom_run(run_path)
    path = built.file("_CHROMS.INF")
    built.replace("_CHROMS.INF", rw.chroms_inf([], 2, record_size=84))
    raises_runtime("reading %s: parse error: _CHROMS.INF: record size field is 84, expected 85" % path,
                   kestrune.RawReader, run_path)
    built.replace("_CHROMS.INF", rw.chroms_inf([], 10)[:298])
    raises_runtime("reading %s: parse error: _CHROMS.INF: file too small for declared 10 meta records"
                   % path, kestrune.RawReader, run_path)
    built.replace("_CHROMS.INF", rw.chroms_inf([(1, rw.chrom_text_field("x"))], 0)[:298] + b"\0" * 85)
    assert [c.name for c in kestrune.RawReader(run_path).channels] == ["x", ""]


def test_channel_table_lookup(run_path):
    built = chrom_run(run_path, [(4, rw.chrom_text_field("exact"))])
    built.rename("_CHROMS.INF", "_chroms.inf")
    built.add_file("X_CHROMS.INF", rw.chroms_inf([(4, rw.chrom_text_field("prefixed"))]))
    assert [c.name for c in kestrune.RawReader(run_path).channels] == ["exact"]
    built.remove("_CHROMS.INF")
    assert [c.name for c in kestrune.RawReader(run_path).channels] == ["prefixed"]
    built.add_file("Y_CHROMS.INF", rw.chroms_inf([]))
    raises_runtime("parse error: multiple files match _CHROMS.INF in %s" % run_path,
                   kestrune.RawReader, run_path)


def test_run_without_channel_table(run_path):
    run = rw.RunBuilder()
    built = run.build(run_path)
    built.add_file("_CHRO003.DAT", rw.chro_dat([(1.0, 2.0)]))
    r = kestrune.RawReader(run_path)
    assert r.channels == []
    raises_runtime("no _CHROMS.INF in this .raw directory", r.read_chrom, 0)


def test_samples_file_lookup_and_numbering(run_path):
    built = chrom_run(run_path, [(4, rw.chrom_text_field("only"))])
    r = kestrune.RawReader(run_path)
    raises_runtime("CHRO file 3 not found", r.read_chrom, 0)
    raises_runtime("CHRO file 1000 not found", r.read_chrom, 997)
    # Files are looked up at every call: later files are seen.
    built.add_file("_chro003.dat", rw.chro_dat([(0.5, 1.0)]))
    assert [p.value for p in r.read_chrom(0)] == [1.0]
    os.remove(os.path.join(run_path, "_chro003.dat"))
    built.add_file("run_CHRO003.DAT", rw.chro_dat([(0.5, 2.0)]))
    assert [p.value for p in r.read_chrom(0)] == [2.0]
    built.add_file("other_CHRO003.DAT", rw.chro_dat([]))
    raises_runtime("parse error: multiple files match _CHRO003.DAT in %s" % run_path, r.read_chrom, 0)
    # The channel number is not compared with the number of channels.
    built.add_file("_CHRO010.DAT", rw.chro_dat([(1.0, 10.0)]))
    built.add_file("_CHRO1000.DAT", rw.chro_dat([(1.0, 1000.0)]))
    assert [p.value for p in r.read_chrom(7)] == [10.0]
    assert [p.value for p in r.read_chrom(997)] == [1000.0]
    # The file number does not wrap around at 64 bits onto a small number.
    built.add_file("_CHRO002.DAT", rw.chro_dat([(1.0, 2.0)]))
    raises_runtime("CHRO file 18446744073709551618 not found", r.read_chrom, 2 ** 64 - 1)


@pytest.mark.parametrize("size,message", [
    (127, "_CHRO*.DAT too small: 127 bytes (need at least 128)"),
    (132, "_CHRO*.DAT data section size 4 is not a multiple of 8"),
])
def test_malformed_samples_file(run_path, size, message):
    built = chrom_run(run_path, [(4, rw.chrom_text_field("p"))], points=[])
    built.replace("_CHRO003.DAT", b"\0" * size)
    r = kestrune.RawReader(run_path)
    raises_runtime("reading %s: parse error: %s" % (built.file("_CHRO003.DAT"), message), r.read_chrom, 0)
    built.replace("_CHRO003.DAT", b"\0" * 128)
    assert r.read_chrom(0) == []
