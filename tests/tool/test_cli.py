"""End-to-end tests of the ``kestrune`` command-line tool.

The binary comes from the environment variable KESTRUNE_CLI; runs are
written by rawwriter, whose expected values are what the library decodes.
"""

import base64
import hashlib
import json
import math
import os
import re
import struct
import subprocess
import sys
import zlib

import pytest

from support import CLI, NS, ROOT, SAMPLE, Mzml, arrays, cv, rw, standard_builder, synapt_builder

LOCK_MZ = 556.2771


def cli(*args, check=True):
    proc = subprocess.run([CLI] + [os.fspath(a) if hasattr(a, "__fspath__") else str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)
    if check:
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc


def error_line(proc):
    """The error message of a failed run (library warnings may come before it)."""
    lines = [l for l in proc.stderr.decode().splitlines() if l.startswith("error: ")]
    assert len(lines) == 1, proc.stderr
    return lines[0]


def export(run, out, *options):
    return cli("export", run, "-o", out, *options)


# ---------------------------------------------------------------------------
# reading our output back


def bda_param(element, accession):
    """The cvParam of a binary data array of the element."""
    for bda in element.iter("{%s}binaryDataArray" % NS["m"]):
        p = cv(bda, accession)
        if p is not None:
            return p
    return None


def expected_order(built, functions):
    """(function, scan index, ScanPlan) in the file's retention-time order."""
    items = []
    for f in built.builder.functions:
        if f.number in functions:
            for s, plan in enumerate(f.scans):
                items.append((plan.rt_expected, f.number, s, plan))
    items.sort(key=lambda t: (t[0], t[1], t[2]))
    return [(n, s, plan) for _, n, s, plan in items]


def native_id(function, scan):
    return "function=%d process=0 scan=%d" % (function, scan + 1)


def f32_list(values):
    return [rw.f32(v) for v in values]


# ---------------------------------------------------------------------------
# fixtures


@pytest.fixture(scope="module")
def std_run(tmp_path_factory):
    return standard_builder().build(str(tmp_path_factory.mktemp("cli") / "standard.raw"))


@pytest.fixture(scope="module")
def syn_run(tmp_path_factory):
    return synapt_builder().build(str(tmp_path_factory.mktemp("cli") / "synapt.raw"))


@pytest.fixture(scope="module", params=["zlib", "plain"])
def std_export(request, std_run, tmp_path_factory):
    out = str(tmp_path_factory.mktemp("out") / "standard.mzML")
    export(std_run, out, *(["--no-compress"] if request.param == "plain" else []))
    return out


# ---------------------------------------------------------------------------
# info, spectrum, chrom


def test_help_lists_the_subcommands_and_export_options():
    text = cli("--help").stdout.decode()
    for word in ("info", "spectrum", "chrom", "export"):
        assert word in text
    text = cli("export", "--help").stdout.decode()
    for opt in ("--no-compress", "--lockmass", "--lockmass-tolerance", "--keep-lockmass",
                "--functions", "--rt-range", "--ms-level", "--output"):
        assert opt in text


def test_info_json_describes_functions_settings_and_channels(std_run, syn_run, tmp_path):
    import jsonschema
    with open(os.path.join(ROOT, "docs", "info.schema.json")) as fh:
        schema = json.load(fh)
    broken = standard_builder().build(str(tmp_path / "broken.raw"))
    broken.remove("_FUNC002.DAT")
    for run in (std_run, syn_run, SAMPLE, broken):
        jsonschema.validate(json.loads(cli("info", "--json", run).stdout), schema)
    text = cli("info", "--json", std_run).stdout.decode()
    info = json.loads(text)
    assert info["header"]["instrument"] == "XEVO-G2XSQTOF#NotSet"
    assert info["polarity"] == "positive"
    assert info["instrument_settings"] == {"lteff_mm": 1800, "veff_v": 7200, "pusher_interval_us": 64}
    fns = info["functions"]
    assert [f["number"] for f in fns] == [1, 2, 3, 4]
    assert [f["encoding"] for f in fns] == ["c", "a", "d", "c"]
    assert [f["ion_mobility"] for f in fns] == [False] * 4
    assert json.loads(cli("info", "--json", syn_run).stdout)["functions"][0]["ion_mobility"] is True
    # 32-bit fields in their shortest 32-bit form, as the table holds them.
    assert '"scan_time_s": 0.25,' in text and '"cycle_time_s": 0.3,' in text
    assert [(f["interscan_delay_s"], f["tof_depth"]) for f in fns] == [(0.015, 10000)] * 4
    assert fns[3]["scan_subtype"] & 0x80
    assert [f["ms_level"] for f in fns] == [1, 2, 2, 1]
    assert [f["lock_mass"] for f in fns] == [False, False, False, True]
    assert [f["scans"] for f in fns] == [3, 2, 2, 1]
    assert rw.f32(fns[0]["rt_min_first"]) == rw.f32(0.05) and rw.f32(fns[0]["rt_min_last"]) == rw.f32(0.15)
    assert fns[0]["mz_low"] == 50 and fns[0]["mz_high"] == 1200
    assert fns[0]["calibration"] == {"type": "T1", "coefficients": 3, "from_header": True}
    assert fns[3]["calibration"]["from_header"] is False
    assert fns[0]["statistics"] == ["Collision Energy"] and fns[1]["statistics"] is None
    assert [(c["name"], c["units"]) for c in info["channels"]] == [("Pump A Pressure", "bar"),
                                                                  ("Column Temp", "C")]
    text = cli("info", std_run).stdout.decode()
    assert "XEVO-G2XSQTOF#NotSet" in text and "Pump A Pressure" in text
    assert re.search(r"interscan delay +0.015 s", text) and re.search(r"TOF depth +10000", text)


def test_info_lists_unreadable_functions(tmp_path):
    built = standard_builder().build(str(tmp_path / "r.raw"))
    built.remove("_FUNC002.DAT")
    proc = cli("info", "--json", built)
    fns = json.loads(proc.stdout)["functions"]
    assert [f["readable"] for f in fns] == [True, False, True, True]
    assert "function 2: _FUNC002.IDX or _FUNC002.DAT missing" in proc.stderr.decode()


def test_spectrum_prints_the_decoded_values(std_run, syn_run):
    lines = cli("spectrum", std_run, 1, 0).stdout.decode().splitlines()
    assert lines[0] == "mz\tintensity"
    rows = [l.split("\t") for l in lines[1:]]
    exp = std_run.function(1).scans[0].expected
    assert [float(r[0]) for r in rows] == exp.mz
    assert [float(r[1]) for r in rows] == exp.intensity
    lines = cli("spectrum", syn_run, 1, 0).stdout.decode().splitlines()
    assert lines[0] == "mz\tintensity\tdrift_time_ms"
    exp = syn_run.function(1).scans[0].expected
    assert [float(l.split("\t")[2]) for l in lines[1:]] == exp.drift_time_ms


def test_chrom_prints_the_samples(std_run):
    lines = cli("chrom", std_run, 0).stdout.decode().splitlines()
    assert lines[0] == "rt_min\tvalue"
    pts = [tuple(float(x) for x in l.split("\t")) for l in lines[1:]]
    assert pts == std_run.builder.channels[0].expected_points


def test_errors_print_the_library_message_and_exit_nonzero(std_run, tmp_path):
    proc = cli("spectrum", std_run, 1, 3, check=False)
    assert proc.returncode == 2 and proc.stdout == b""
    assert error_line(proc) == "error: function 1 scan 3 out of range: the function has 3 scans (0 to 2)"
    proc = cli("info", str(tmp_path / "missing.raw"), check=False)
    assert proc.returncode == 1
    assert proc.stderr.decode().startswith("error: listing %s" % (tmp_path / "missing.raw"))
    proc = cli("chrom", std_run, 5, check=False)
    assert proc.returncode == 2 and "channel 5 out of range: the run has 2 channels" in proc.stderr.decode()
    assert cli("spectrum", std_run, "x", 0, check=False).returncode == 2


# ---------------------------------------------------------------------------
# export: structure, index, checksum, arrays


def test_export_spectra_match_the_library_bit_for_bit(std_run, std_export):
    doc = Mzml(std_export)
    spectra = doc.spectra()
    order = expected_order(std_run, (1, 2, 3))  # function 4 is the lock mass
    assert [s.get("id") for s in spectra] == [native_id(n, s) for n, s, _ in order]
    assert [int(s.get("index")) for s in spectra] == list(range(len(order)))
    levels = {1: "1", 2: "2", 3: "2"}
    for el, (n, s, plan) in zip(spectra, order):
        got = arrays(el)
        assert got["MS:1000514"] == plan.expected.mz
        assert got["MS:1000515"] == plan.expected.intensity
        assert int(el.get("defaultArrayLength")) == len(plan.expected.mz)
        assert cv(el, "MS:1000511").get("value") == levels[n]
        assert cv(el, "MS:1000130") is not None  # positive scan
        rt = cv(el, "MS:1000016")
        # The 32-bit time in its shortest form.
        assert rw.f32(float(rt.get("value"))) == plan.rt_expected and rt.get("unitName") == "minute"
        f = std_run.function(n)
        assert float(cv(el, "MS:1000501").get("value")) == rw.f32(f.mz_low)
        assert float(cv(el, "MS:1000500").get("value")) == rw.f32(f.mz_high)
        assert float(cv(el, "MS:1000285").get("value")) == sum(plan.expected.intensity)
        if plan.expected.mz:
            i = plan.expected.intensity.index(max(plan.expected.intensity))
            assert float(cv(el, "MS:1000504").get("value")) == plan.expected.mz[i]
            assert float(cv(el, "MS:1000528").get("value")) == min(plan.expected.mz)
            assert float(cv(el, "MS:1000527").get("value")) == max(plan.expected.mz)
    # Collision energy from the statistics file of function 1, a full-scan
    # function: a user parameter of the scan, never the activation term.
    first = spectra[0]
    assert first.get("id") == native_id(1, 0)
    assert cv(first, "MS:1000045") is None
    ce = [p for p in first.iter("{%s}userParam" % NS["m"]) if p.get("name") == "collision energy"]
    assert float(ce[0].get("value")) == 6.0 and ce[0].get("unitName") == "electronvolt"


def test_export_index_offsets_and_checksum(std_export):
    doc = Mzml(std_export)
    data = doc.data
    idx = doc.root.find("m:indexList", NS)
    names = [i.get("name") for i in idx.findall("m:index", NS)]
    assert names == ["spectrum", "chromatogram"]
    for index in idx.findall("m:index", NS):
        tag = b"<" + index.get("name").encode()
        for off in index.findall("m:offset", NS):
            pos = int(off.text)
            assert data[pos:pos + len(tag) + 1] == tag + b" "
            head = data[pos:data.index(b">", pos)].decode()
            assert re.search(r' id="([^"]*)"', head).group(1) == off.get("idRef").replace("&", "&amp;")
    list_offset = int(doc.root.find("m:indexListOffset", NS).text)
    assert data[list_offset:].startswith(b"<indexList ")
    end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
    assert doc.root.find("m:fileChecksum", NS).text == hashlib.sha1(data[:end]).hexdigest()


def test_export_describes_the_source_and_vocabulary(std_run, std_export):
    doc = Mzml(std_export)
    mzml = doc.root.find("m:mzML", NS)
    assert mzml.get("version") == "1.1.0"
    src = mzml.find("m:fileDescription/m:sourceFileList/m:sourceFile", NS)
    assert src.get("name") == "standard.raw"
    assert cv(src, "MS:1000769").get("name") == "Waters nativeID format"
    assert cv(src, "MS:1000526").get("name") == "Waters raw format"
    assert doc.run.get("startTimeStamp") == "2021-01-14T16:20:52"
    msms = [s for s in doc.spectra() if cv(s, "MS:1000511").get("value") == "2"]
    assert msms and all(s.find("m:precursorList", NS) is not None for s in msms)


def test_export_chromatograms_per_channel_and_tic_per_function(std_run, std_export):
    doc = Mzml(std_export)
    chroms = {c.get("id"): c for c in doc.chromatograms()}
    assert list(chroms) == ["TIC function=1", "TIC function=2", "TIC function=3",
                            "Pump A Pressure", "Column Temp"]
    order = expected_order(std_run, (1,))
    tic = arrays(chroms["TIC function=1"])
    assert tic["MS:1000595"] == [p.rt_expected for _, _, p in order]
    assert tic["MS:1000515"] == [sum(p.expected.intensity) for _, _, p in order]
    assert cv(chroms["TIC function=1"], "MS:1000235") is not None
    pump = chroms["Pump A Pressure"]
    got = arrays(pump)
    pts = std_run.builder.channels[0].expected_points
    assert got["MS:1000595"] == [t for t, _ in pts]
    # Pressure in pascal, temperature in kelvin; the recorded unit beside them.
    assert got["MS:1000821"] == [v * 1e5 for _, v in pts]
    assert bda_param(pump, "MS:1000821").get("unitName") == "pascal"
    params = {p.get("name"): p.get("value") for p in pump.findall("m:userParam", NS)}
    assert params["units"] == "bar" and params["channel name"] == "Pump A Pressure"
    assert cv(pump, "MS:1003019") is not None
    temp = chroms["Column Temp"]
    assert arrays(temp)["MS:1000822"] == [rw.f32(40.0) + 273.15]
    assert bda_param(temp, "MS:1000822").get("unitName") == "kelvin"
    assert cv(temp, "MS:1002715") is not None


def test_export_ion_mobility_scans_carry_drift_times(syn_run, tmp_path):
    out = str(tmp_path / "syn.mzML")
    export(syn_run, out)
    doc = Mzml(out)
    order = expected_order(syn_run, (1, 2))
    spectra = doc.spectra()
    assert [s.get("id") for s in spectra] == [native_id(n, s) for n, s, _ in order]
    for el, (n, s, plan) in zip(spectra, order):
        got = arrays(el)
        assert got["MS:1000514"] == plan.expected.mz
        assert got["MS:1000515"] == plan.expected.intensity
        if n == 1:
            assert got["MS:1003007"] == plan.expected.drift_time_ms
            bda = [b for b in el.iter("{%s}binaryDataArray" % NS["m"]) if cv(b, "MS:1003007") is not None][0]
            assert cv(bda, "MS:1003007").get("unitAccession") == "UO:0000028"
            assert cv(el, "MS:1000129") is not None  # negative scan
        else:
            assert "MS:1003007" not in got


# ---------------------------------------------------------------------------
# selection


def spectrum_ids(path):
    return [s.get("id") for s in Mzml(path).spectra()]


def test_selection_by_function_time_and_level(std_run, tmp_path):
    out = str(tmp_path / "sel.mzML")
    export(std_run, out, "--functions", "3,1")
    assert spectrum_ids(out) == [native_id(n, s) for n, s, _ in expected_order(std_run, (1, 3))]
    assert [c.get("id") for c in Mzml(out).chromatograms()][:2] == ["TIC function=1", "TIC function=3"]
    export(std_run, out, "--rt-range", "0.1:0.3")
    want = [(n, s) for n, s, p in expected_order(std_run, (1, 2, 3)) if 0.1 <= p.rt_expected <= 0.3]
    assert spectrum_ids(out) == [native_id(n, s) for n, s in want]
    export(std_run, out, "--ms-level", "2")
    assert spectrum_ids(out) == [native_id(n, s) for n, s, _ in expected_order(std_run, (2, 3))]
    export(std_run, out, "--keep-lockmass")
    assert native_id(4, 0) in spectrum_ids(out)


def no_leftovers(directory, allowed=()):
    return sorted(set(os.listdir(directory)) - set(allowed)) == []


def test_failures_leave_no_file(std_run, tmp_path):
    out = tmp_path / "x.mzML"
    for args in (["--functions", "4"], ["--functions", "9"], ["--rt-range", "5:6", "--functions", "1"],
                 ["--rt-range", "2:1"], ["--lockmass", "-5"]):
        proc = cli("export", std_run, "-o", out, *args, check=False)
        assert proc.returncode != 0, args
        assert error_line(proc), args
        assert no_leftovers(tmp_path), (args, os.listdir(tmp_path))
    assert "add --keep-lockmass" in cli("export", std_run, "-o", out, "--functions", "4", check=False).stderr.decode()


def test_decoding_failure_midway_keeps_the_old_file(tmp_path):
    run = standard_builder()
    bad = run.functions[1]
    bad.add_raw_scan(rw.record_a(1, 3, 0x800000)[:2] + b"\x03\x00\x00\x80", rt_min=0.9)  # bad m/z word
    built = run.build(str(tmp_path / "bad.raw"))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    out = out_dir / "bad.mzML"
    out.write_bytes(b"old contents")
    proc = cli("export", built, "-o", out, check=False)
    assert proc.returncode != 0
    assert "Encoding A: unsupported m/z word 03 00 00 80" in proc.stderr.decode()
    assert out.read_bytes() == b"old contents"
    assert no_leftovers(out_dir, ["bad.mzML"])


# ---------------------------------------------------------------------------
# lock mass


TRUE_MZ = [200.0, 733.5, 1234.5678]


def lock_run(lock_scans, analyte_scans):
    """An analyte function and a lock-mass function, each scan (rt, shift)
    measured with the relative m/z shift given (instrument drift)."""
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    f1 = run.add_function("a", cal=rw.Cal([0.0, 1.0]), kind="TOF MS FUNCTION")
    for rt, shift in analyte_scans:
        f1.add_scan([m * (1 + shift) for m in TRUE_MZ], [10, 20, 30], rt_min=rt)
    f2 = run.add_function("a", lock_mass=True, cal=rw.Cal([0.0, 1.0]), kind="REFERENCE FUNCTION")
    for rt, shift in lock_scans:
        # A weaker neighbour inside the window must not be taken.
        f2.add_scan([LOCK_MZ * (1 + shift), LOCK_MZ + 0.09], [1000, 50], rt_min=rt)
    return run


def interpolated(points, rt):
    """The factor at `rt` between the (rt, factor) points around it, as the
    export computes it (the nearest end's outside them)."""
    if rt <= points[0][0]:
        return points[0][1]
    if rt >= points[-1][0]:
        return points[-1][1]
    for (t0, f0), (t1, f1) in zip(points, points[1:]):
        if t0 < rt <= t1:
            return f1 if rt == t1 else f0 + (f1 - f0) * ((rt - t0) / (t1 - t0))


def test_lockmass_correction_is_interpolated_between_lock_scans(tmp_path):
    run = lock_run([(0.1, 20e-6), (0.5, -10e-6)], [(0.05, 20e-6), (0.29, 5.75e-6), (0.31, 4.25e-6), (0.8, -10e-6)])
    built = run.build(str(tmp_path / "lock.raw"))
    out = str(tmp_path / "lock.mzML")
    proc = export(built, out, "--lockmass", LOCK_MZ, "--lockmass-tolerance", "0.1")
    points = [(s.rt_expected, LOCK_MZ / s.expected.mz[0]) for s in built.function(2).scans]
    spectra = Mzml(out).spectra()
    assert [s.get("id") for s in spectra] == [native_id(1, i) for i in range(4)]
    factors = [interpolated(points, plan.rt_expected) for plan in built.function(1).scans]
    for el, plan, factor in zip(spectra, built.function(1).scans, factors):
        assert arrays(el)["MS:1000514"] == [m * factor for m in plan.expected.mz]
    # The known drift is taken out: the true m/z come back within the
    # encoding's resolution, where uncorrected they are up to 20 ppm off.
    for el in spectra:
        for got, true in zip(arrays(el)["MS:1000514"], TRUE_MZ):
            assert abs(got - true) / true < 0.2e-6
    err = proc.stderr.decode()
    assert "2 of 2 lock-mass scans matched" in err
    assert "applied factors %r to %r" % (min(factors), max(factors)) in err
    assert cv(Mzml(out).root, "MS:1001485") is not None


def off_centre_profile(centre, height=20000.0, fwhm_ppm=40.0, phase=0.3):
    """A Gaussian peak sampled on a grid that misses its centre by `phase`
    of a step: its most intense sample lies off the centre, its centroid on it."""
    fwhm = centre * fwhm_ppm * 1e-6
    step, sigma = fwhm / 6, fwhm / 2.3548200450309493
    mz = [centre + (k + phase) * step for k in range(-12, 12)]
    return mz, [max(1, round(height * math.exp(-0.5 * ((x - centre) / sigma) ** 2))) for x in mz]


@pytest.mark.parametrize("profile", [False, True], ids=["centroid", "profile"])
@pytest.mark.parametrize("drift", [(20e-6, 20e-6), (10e-6, 30e-6)], ids=["constant", "drifting"])
def test_lockmass_follows_drift_to_half_a_ppm(tmp_path, drift, profile):
    start, end = drift
    shift = lambda rt: start + (end - start) * rt / 2.0  # over a 2-minute run
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    analyte = run.add_function("a", cal=rw.Cal([0.0, 1.0]), kind="TOF MS FUNCTION")
    for k in range(12):
        rt = 0.02 + k * 0.17
        analyte.add_scan([m * (1 + shift(rt)) for m in TRUE_MZ], [10, 20, 30], rt_min=rt)
    lock = run.add_function("c" if profile else "a", lock_mass=True, cal=rw.Cal([0.0, 1.0]),
                            mz_low=500.0, mz_high=600.0, kind="REFERENCE FUNCTION")
    for rt in (0.0, 0.5, 1.0, 1.5, 2.0):
        observed = LOCK_MZ * (1 + shift(rt))
        if profile:
            lock.add_scan(*off_centre_profile(observed), rt_min=rt)
        else:
            lock.add_scan([observed, observed + 0.09], [1000, 50], rt_min=rt)
    built = run.build(str(tmp_path / "drift.raw"))
    if profile:
        info = json.loads(cli("info", "--json", built).stdout)
        assert info["functions"][1]["representation"] == "profile"
    out = str(tmp_path / "drift.mzML")
    export(built, out, "--lockmass", LOCK_MZ, "--lockmass-tolerance", "0.1")
    worst = max(abs(got - true) / true
                for el in Mzml(out).spectra() for got, true in zip(arrays(el)["MS:1000514"], TRUE_MZ))
    assert worst < 0.5e-6


def test_lockmass_that_cannot_be_applied_fails_unless_optional(tmp_path):
    built = lock_run([(0.1, 0.01)], [(0.2, 0.0)]).build(str(tmp_path / "far.raw"))
    plain = standard_builder()
    plain.functions = plain.functions[:3]  # no lock-mass function
    no_lock = plain.build(str(tmp_path / "s.raw"))
    out = tmp_path / "far.mzML"
    for run, why in ((built, "no lock-mass scan has a peak within 0.05 of 556.2771"),
                     (no_lock, "the run has no lock-mass function")):
        proc = cli("export", run, "-o", out, "--lockmass", LOCK_MZ, "--lockmass-tolerance", "0.05", check=False)
        assert proc.returncode == 1 and why in error_line(proc)
        assert not out.exists()
        proc = export(run, out, "--lockmass", LOCK_MZ, "--lockmass-tolerance", "0.05", "--lockmass-optional")
        err = proc.stderr.decode()
        assert "warning: --lockmass: " + why in err and "no correction applied" in err
        assert arrays(Mzml(out).spectra()[0])["MS:1000514"] == run.function(1).scans[0].expected.mz
        out.unlink()


# ---------------------------------------------------------------------------
# progress bar


def test_progress_bar_only_on_a_terminal(std_run, tmp_path):
    out = str(tmp_path / "p.mzML")
    err = export(std_run, out).stderr
    assert b"exporting" not in err and b"\r" not in err
    import pty
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([CLI, "export", std_run.path, "-o", out], stdout=subprocess.PIPE,
                              stderr=slave, timeout=120)
        os.close(slave)
        slave = None
        chunks = []
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        if slave is not None:
            os.close(slave)
        os.close(master)
    assert proc.returncode == 0
    text = b"".join(chunks).decode()
    assert "exporting [" in text and "100%" in text


# ---------------------------------------------------------------------------
# other readers


def test_bundled_sample_exports_and_reads_back_with_pymzml(tmp_path):
    import pymzml
    out = str(tmp_path / "sample.mzML")
    export(SAMPLE, out)
    doc = Mzml(out)
    reader = pymzml.run.Reader(out)
    assert reader.get_spectrum_count() == len(doc.spectra())
    seen = 0
    for spec, el in zip(reader, doc.spectra()):
        got = arrays(el)
        assert list(spec.mz) == got["MS:1000514"]
        assert list(spec.i) == got["MS:1000515"]
        assert spec.ms_level == int(cv(el, "MS:1000511").get("value"))
        assert spec.scan_time_in_minutes() == float(cv(el, "MS:1000016").get("value"))
        if "MS:1003007" in got:
            assert list(spec.get_array("raw ion mobility array")) == got["MS:1003007"]
        seen += 1
    assert seen == len(doc.spectra())
    # Random access goes through the offset index.
    last = doc.spectra()[-1]
    assert reader[last.get("id")].element.get("id") == last.get("id")
    tic = reader["TIC function=1"]
    assert list(tic.time) == arrays(doc.chromatograms()[0])["MS:1000595"]


def test_sample_export_matches_the_extension_module(tmp_path):
    import kestrune
    out = str(tmp_path / "sample.mzML")
    export(SAMPLE, out, "--keep-lockmass", "--no-compress")
    r = kestrune.RawReader(SAMPLE)
    for el in Mzml(out).spectra():
        f, s = [int(x) for x in re.match(r"function=(\d+) process=0 scan=(\d+)$", el.get("id")).groups()]
        got = arrays(el)
        if r.function_encoding(f) == "b":
            ims = r.read_ims_spectrum(f, s - 1)
            assert got["MS:1003007"] == list(ims.drift_time_ms)
        spec = r.read_spectrum(f, s - 1)
        assert got["MS:1000514"] == list(spec.mz)
        assert got["MS:1000515"] == list(spec.intensity)
