"""The exported mzML against independent readers: the OpenMS validator
(schema and PSI mapping rules), OpenMS read-back and conversion, pymzml, and
the extension module's decoding of the same scans."""

import math
import os
import re
import shutil
import subprocess

import pytest

from support import CLI, NS, SAMPLE, Mzml, arrays, cv, rw, standard_builder, synapt_builder

M = "{%s}" % NS["m"]
LOCK_MZ = 556.2771
TOPP = shutil.which("FileInfo")
if TOPP is None:
    raise pytest.UsageError("the OpenMS TOPP tools (Debian package topp) are needed: scripts/setup.sh installs them")


def run(*args, check=True):
    proc = subprocess.run([os.fspath(a) if hasattr(a, "__fspath__") else str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    if check:
        assert proc.returncode == 0, (args, proc.stdout.decode(errors="replace")[-3000:],
                                      proc.stderr.decode(errors="replace")[-3000:])
    return proc


def export(run_dir, out, *options):
    return run(CLI, "export", run_dir, "-o", out, "--no-progress", *options)


# ---------------------------------------------------------------------------
# synthetic runs


def mse_run():
    """A SYNAPT run in Windows-1252 with a serial number: a low/high-energy
    pair of ion-mobility functions (B) over one m/z range, an MS/MS function
    with a set mass (A), a one-dimensional function (D), a lock-mass function
    (A) and pressure, temperature and flow channels."""
    run = rw.RunBuilder(instrument="SYNAPT G2-Si#UEB205", polarity="ES+", header_encoding="cp1252",
                        operator="J\u00fcrgen M\u00fcller", sample_description="Probe 5 \u00b5L at 40 \u00b0C",
                        version="4.1 SCN 781")
    low = run.add_function("b", cal=rw.Cal([0.001, 1.0001]), mz_low=50.0, mz_high=2000.0, scan_time_s=0.1,
                           kind="TOF MS FUNCTION",
                           sts=rw.sts_channels([("Collision Energy", [4.0, 4.0])]))
    low.add_scan([200.0, 400.0, 400.0, 400.0, 1500.0], [5, 10, 15, 7, 20],
                 drift_ms=[1.0, 50.0, 25.0, 50.0, 99.0], rt_min=0.1)
    low.add_scan([300.0, 300.0, 700.0], [3, 9, 4], drift_ms=[10.0, 10.0, 2.0], rt_min=0.3)
    high = run.add_function("b", cal=rw.Cal([0.001, 1.0001]), mz_low=50.0, mz_high=2000.0, scan_time_s=0.1,
                            kind="TOF MSMS FUNCTION",
                            sts=rw.sts_channels([("Collision Energy", [30.0, 30.0])]))
    high.add_scan([150.0, 150.0, 800.0], [2, 6, 11], drift_ms=[5.0, 6.0, 5.0], rt_min=0.15)
    high.add_scan([250.0], [8], drift_ms=[30.0], rt_min=0.35)
    dda = run.add_function("a", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, kind="TOF MSMS FUNCTION",
                           extern_settings=[("Start Mass", 100.0), ("End Mass", 1500.0), ("Set Mass", 622.03)])
    dda.add_scan([175.1, 300.2, 621.9], [40, 60, 80], rt_min=0.2)
    one_d = run.add_function("d", cal=rw.Cal([], "T0"), mz_low=50.0, mz_high=1200.0, kind="TOF MS FUNCTION")
    one_d.add_scan([75.25, 500.0, 1111.5], [1.5, 2.25, 1000.0], rt_min=0.25)
    one_d.add_scan([80.0], [0.5], rt_min=0.45)
    lock = run.add_function("a", scan_subtype=0x80, cal=rw.Cal([0.0, 1.0]), mz_low=500.0, mz_high=600.0,
                            kind="REFERENCE FUNCTION")
    lock.add_scan([LOCK_MZ * (1 + 5e-6)], [900], rt_min=0.2)
    run.add_channel("Pump Pressure", units="bar", points=[(0.0, 250.5), (0.5, 251.0)])
    run.add_channel("Inlet Pressure", units="psi", points=[(0.0, 3600.0)])
    run.add_channel("Column Temp", units="C", points=[(0.25, 40.0)])
    run.add_channel("Flow", units="uL/min", points=[(0.1, 0.3), (0.2, 0.35)])
    return run


PROFILE_MZ = [300.0, 650.0, 1200.0]


def profile_run():
    """A one-dimensional MSe pair (C): dense Gaussian profile peaks at low
    energy, sparse sticks at high energy."""
    run = rw.RunBuilder(instrument="Xevo G2-S QTof", polarity="ES+")
    low = run.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, kind="TOF MS FUNCTION")
    for k in range(4):
        mz, intensity = rw.profile_peaks(PROFILE_MZ, [5000, 8000 + k, 3000])
        low.add_scan(mz, intensity, rt_min=0.1 + 0.2 * k)
    high = run.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, kind="TOF MSMS FUNCTION")
    for k in range(4):
        high.add_scan([150.0 + k, 420.5, 777.25, 1010.0], [30, 50, 20, 10], rt_min=0.2 + 0.2 * k)
    return run


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("runs")
    return {
        "sample": SAMPLE,
        "standard": standard_builder().build(str(base / "standard.raw")).path,
        "synapt": synapt_builder().build(str(base / "synapt.raw")).path,
        "mse": mse_run().build(str(base / "mse.raw")).path,
        "profile": profile_run().build(str(base / "profile.raw")).path,
    }


# Every encoding (standard: C, A, D; synapt and mse: B), the MSe pairs, the
# kept lock mass, statistics channels and every channel unit.
VARIANTS = [
    ("sample", []),
    ("sample", ["--keep-lockmass", "--ims-layout", "per-bin"]),
    ("standard", ["--keep-lockmass", "--lockmass", str(LOCK_MZ)]),
    ("synapt", ["--ims-layout", "summed", "--no-compress"]),
    ("mse", ["--keep-lockmass"]),
    ("mse", ["--ims-layout", "per-bin"]),
    ("mse", ["--ims-layout", "summed"]),
    ("profile", []),
    ("profile", ["--centroid", "--numpress", "linear"]),
]


@pytest.fixture(scope="module")
def exported(runs, tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("mzml")
    done = {}
    for i, (name, options) in enumerate(VARIANTS):
        out = str(out_dir / ("%s-%d.mzML" % (name, i)))
        export(runs[name], out, *options)
        done[(name, tuple(options))] = out
    return done


# ---------------------------------------------------------------------------
# reading the files


def user(element, name):
    for p in element.iter(M + "userParam"):
        if p.get("name") == name:
            return p
    return None


def id_of(el):
    f, s = re.match(r"function=(\d+) process=0 scan=(\d+)$", el.get("id")).groups()
    return int(f), int(s)


def pym_arrays(path):
    """{spectrum id: (mz, intensity, drift or None)} as pymzml reads them."""
    import pymzml
    out = {}
    for spec in pymzml.run.Reader(path):
        if spec.element.tag != M + "spectrum":
            continue
        try:
            drift = list(spec.get_array("raw ion mobility array"))
        except Exception:
            drift = None
        out[spec.element.get("id")] = (list(spec.mz), list(spec.i), drift or None)
    return out


def library(run_dir):
    import kestrune
    return kestrune.RawReader(run_dir)


def frame(reader, f, s):
    """(mz, intensity, drift) of a scan as the library decodes it."""
    if reader.function_encoding(f) == "b":
        ims = reader.read_ims_spectrum(f, s)
        return list(ims.mz), list(ims.intensity), list(ims.drift_time_ms)
    spec = reader.read_spectrum(f, s)
    return list(spec.mz), list(spec.intensity), None


def regroup(mz, intensity, drift, layout):
    """What each layout writes of one frame: [(mz, intensity, drift array, drift of the scan)]."""
    points = list(zip(mz, intensity, drift))
    if layout == "combined":
        points.sort(key=lambda p: (p[0], p[2]))
        return [([p[0] for p in points], [p[1] for p in points], [p[2] for p in points], None)]
    if layout == "per-bin":
        out = []
        for d in sorted(set(drift)):
            group = sorted((p for p in points if p[2] == d), key=lambda p: p[0])
            out.append(([p[0] for p in group], [p[1] for p in group], None, d))
        return out
    sums = {}
    for m, i, _ in points:
        sums[m] = sums.get(m, 0.0) + i
    keys = sorted(sums)
    return [(keys, [sums[k] for k in keys], None, None)]


# ---------------------------------------------------------------------------
# validation


# What the validator of OpenMS 2.6 reports because its vocabulary (4.1.28) is
# older than the one written: it gives the raw ion mobility array a value
# type, and it does not know these newer terms, so the rule that needs them
# is reported violated. Only these messages are set aside.
NEWER_TERMS = {"MS:1002715": "chromatogram_must", "MS:1003252": "instrumentconfiguration_must"}
ION_MOBILITY_VALUE_TYPE = (
    "Error: Binary data array of type 'MS:1003007 ! raw ion mobility array' cannot have the value type "
    "'MS:1000523 ! 64-bit float'.",
    "Error: Value-type required, but not given (xsd:decimal): 'MS:1003007 - raw ion mobility array' value='' "
    "at element '/mzML/run/spectrumList/spectrum/binaryDataArrayList/binaryDataArray'",
)


def validator_errors(path):
    proc = run("FileInfo", "-in", path, "-v", check=False)
    text = proc.stdout.decode(errors="replace")
    assert "Success - the file is valid!" in text, text  # the XML schema
    unknown = set(re.findall(r"^Warning: Unknown CV term: '(MS:\d+) ", text, re.M))
    excused = set()
    for acc, rule in NEWER_TERMS.items():
        if acc in unknown:
            excused.add("Error: Violated mapping rule '%s'" % rule)
    errors = []
    for line in text.splitlines():
        line = re.sub(r"^<(.*)> occurred \d+ times$", r"\1", line)
        if not line.startswith("Error:") or line in ION_MOBILITY_VALUE_TYPE:
            continue
        if any(line.startswith(e + " ") for e in excused):
            continue
        errors.append(line)
    return errors, unknown


@pytest.mark.parametrize("name,options", VARIANTS, ids=["%s %s" % (n, " ".join(o)) for n, o in VARIANTS])
def test_validator_reports_no_errors(exported, name, options):
    errors, unknown = validator_errors(exported[(name, tuple(options))])
    assert errors == []
    # Newer terms are the only unknown ones.
    assert unknown <= set(NEWER_TERMS) | {"MS:1003226", "MS:1003227"}


# ---------------------------------------------------------------------------
# what the files say


def test_representation_is_judged_per_function_and_profile_spectra_get_picked(runs, exported, tmp_path):
    info = __import__("json").loads(run(CLI, "info", "--json", runs["profile"]).stdout)
    assert [f["representation"] for f in info["functions"]] == ["profile", "centroid"]
    doc = Mzml(exported[("profile", ())])
    for el in doc.spectra():
        f, _ = id_of(el)
        assert (cv(el, "MS:1000128") is not None) == (f == 1)
        assert (cv(el, "MS:1000127") is not None) == (f == 2)
    picked = str(tmp_path / "picked.mzML")
    run("PeakPickerHiRes", "-in", doc.path, "-out", picked)
    peaks = {el.get("id"): arrays for el, arrays in zip(Mzml(picked).spectra(), pym_arrays(picked).values())}
    profile_ids = [el.get("id") for el in doc.spectra() if id_of(el)[0] == 1]
    for sid in profile_ids:
        mz = peaks[sid][0]
        assert len(mz) == len(PROFILE_MZ)
        assert all(abs(got - want) < want * 5e-6 for got, want in zip(mz, PROFILE_MZ))
    forced = str(tmp_path / "forced.mzML")
    export(runs["profile"], forced, "--representation", "centroid")
    assert all(cv(el, "MS:1000127") is not None for el in Mzml(forced).spectra())


def test_fragment_spectra_carry_isolation_windows_and_pairs_their_acquisition_method(exported, tmp_path):
    doc = Mzml(exported[("mse", ("--keep-lockmass",))])
    seen = set()
    for el in doc.spectra():
        f, _ = id_of(el)
        seen.add(f)
        level = int(cv(el, "MS:1000511").get("value"))
        scan = el.find("m:scanList/m:scan", NS)
        assert cv(scan, "MS:1000045") is None  # never on the scan
        method = cv(el, "MS:1003226")
        assert (method is not None) == (f in (1, 2))  # the ion-mobility MSe pair
        assert (cv(el, "MS:1000928") is not None) == (f == 5)  # kept lock mass
        if level == 1:
            assert el.find("m:precursorList", NS) is None
            continue
        window = el.find("m:precursorList/m:precursor/m:isolationWindow", NS)
        target, lower, upper = (float(cv(window, a).get("value")) for a in ("MS:1000827", "MS:1000828", "MS:1000829"))
        if f == 2:  # no set mass: the whole acquisition range
            assert (target - lower, target + upper) == (50.0, 2000.0)
            ce = cv(el.find("m:precursorList/m:precursor/m:activation", NS), "MS:1000045")
            assert float(ce.get("value")) == 30.0 and ce.get("unitName") == "electronvolt"
        else:  # centred on the set mass
            assert target == 622.03 and lower == upper
            assert float(cv(el, "MS:1000744").get("value")) == 622.03
    assert seen == {1, 2, 3, 4, 5}
    assert cv(Mzml(exported[("profile", ())]).spectra()[-1], "MS:1003227") is not None
    # The precursor reaches other formats.
    mzxml = str(tmp_path / "mse.mzXML")
    run("FileConverter", "-in", doc.path, "-out", mzxml)
    precursors = re.findall(r"<precursorMz[^>]*>([^<]*)<", open(mzxml).read())
    assert precursors and all(float(p) > 0 for p in precursors)


def test_instrument_software_source_and_windows_texts(runs, exported):
    import hashlib
    doc = Mzml(exported[("mse", ("--keep-lockmass",))])
    ic = doc.mzml.find("m:instrumentConfigurationList/m:instrumentConfiguration", NS)
    assert cv(ic, "MS:1002726").get("name") == "SYNAPT G2-Si"
    assert cv(ic, "MS:1000529").get("value") == "UEB205"
    components = [(c.tag[len(M):], c.find("m:cvParam", NS).get("accession")) for c in ic.find("m:componentList", NS)]
    assert components == [("source", "MS:1000073"), ("analyzer", "MS:1000081"), ("analyzer", "MS:1000084"),
                          ("detector", "MS:1000114")]
    software = {s.get("id"): s for s in doc.mzml.findall("m:softwareList/m:software", NS)}
    acq = software[ic.find("m:softwareRef", NS).get("ref")]
    assert cv(acq, "MS:1000534") is not None and acq.get("version") == "4.1 SCN 781"
    src = doc.mzml.find("m:fileDescription/m:sourceFileList/m:sourceFile", NS)
    with open(os.path.join(runs["mse"], "_FUNC001.DAT"), "rb") as fh:
        assert cv(src, "MS:1000569").get("value") == hashlib.sha1(fh.read()).hexdigest()
    # Windows-1252 header texts, in the file and in info.
    assert doc.mzml.find("m:sampleList/m:sample", NS).get("name") == "Probe 5 \u00b5L at 40 \u00b0C"
    header = __import__("json").loads(run(CLI, "info", "--json", runs["mse"]).stdout)["header"]
    assert header["operator"] == "J\u00fcrgen M\u00fcller"
    # No serial for "#NotSet"; a model the vocabulary lacks keeps its text.
    ic = Mzml(exported[("standard", ("--keep-lockmass", "--lockmass", str(LOCK_MZ)))]).mzml.find(
        "m:instrumentConfigurationList/m:instrumentConfiguration", NS)
    assert cv(ic, "MS:1003252") is not None and cv(ic, "MS:1000529") is None


def test_unknown_instrument_falls_back_to_the_vendor_model_term(tmp_path):
    run_ = rw.RunBuilder(instrument="Prototype 9000#SN1")
    run_.add_function("c", cal=rw.Cal([0.0, 1.0])).add_scan([100.0], [1], rt_min=0.1)
    built = run_.build(str(tmp_path / "p.raw"))
    out = str(tmp_path / "p.mzML")
    export(built, out)
    ic = Mzml(out).mzml.find("m:instrumentConfigurationList/m:instrumentConfiguration", NS)
    assert cv(ic, "MS:1000126").get("value") == "Prototype 9000"
    assert cv(ic, "MS:1000529").get("value") == "SN1"


def test_lock_mass_correction_is_recorded_in_the_data_processing(exported):
    doc = Mzml(exported[("standard", ("--keep-lockmass", "--lockmass", str(LOCK_MZ)))])
    method = doc.mzml.find("m:dataProcessingList/m:dataProcessing/m:processingMethod", NS)
    assert cv(method, "MS:1001485") is not None
    assert float(user(method, "lock mass reference m/z").get("value")) == LOCK_MZ
    assert float(user(method, "lock mass tolerance").get("value")) == 0.25
    lo, hi = (float(user(method, "lock mass factor " + k).get("value")) for k in ("minimum", "maximum"))
    assert 0.99 < lo <= hi < 1.01


CHANNELS = {  # name: (chromatogram type, array, unit, recorded value -> written value)
    "Pump Pressure": ("MS:1003019", "MS:1000821", "UO:0000110", lambda v: v * 1e5),
    "Inlet Pressure": ("MS:1003019", "MS:1000821", "UO:0000110", lambda v: v * 6894.757293168361),
    "Column Temp": ("MS:1002715", "MS:1000822", "UO:0000012", lambda v: v + 273.15),
    "Flow": ("MS:1003020", "MS:1000820", "UO:0000271", lambda v: v),
}


def test_channels_are_typed_and_converted_while_chrom_keeps_the_recorded_values(runs, exported):
    doc = Mzml(exported[("mse", ("--keep-lockmass",))])
    content = [p.get("accession") for p in doc.mzml.find("m:fileDescription/m:fileContent", NS)]
    assert not set(content) & {"MS:1003019", "MS:1003020", "MS:1002715"}
    chroms = {c.get("id"): c for c in doc.chromatograms()}
    built = mse_run()
    for index, ch in enumerate(built.channels):
        type_acc, array_acc, unit, convert = CHANNELS[ch.name]
        el = chroms[ch.name]
        assert cv(el, type_acc) is not None
        assert arrays(el)[array_acc] == [convert(v) for _, v in ch.expected_points]
        bda = [b for b in el.iter(M + "binaryDataArray") if cv(b, array_acc) is not None][0]
        assert cv(bda, array_acc).get("unitAccession") == unit
        assert user(el, "units").get("value") == ch.units
        lines = run(CLI, "chrom", runs["mse"], index).stdout.decode().splitlines()[1:]
        assert [rw.f32(float(l.split("\t")[1])) for l in lines] == [v for _, v in ch.expected_points]


def pym_chrom(path, cid):
    import pymzml
    return list(pymzml.run.Reader(path)[cid].i)


# ---------------------------------------------------------------------------
# ion-mobility layouts and read-back


LAYOUTS = ["combined", "per-bin", "summed"]


def layout_export(runs, tmp_path, name, layout):
    out = str(tmp_path / ("%s-%s.mzML" % (name, layout)))
    export(runs[name], out, "--ims-layout", layout, "--keep-lockmass", "--no-compress")
    return out


@pytest.mark.parametrize("name", ["mse", "sample"])
def test_layouts_regroup_the_decoding_and_keep_the_total_ion_current(runs, tmp_path, name):
    reader = library(runs[name])
    tics = {}
    for layout in LAYOUTS:
        path = layout_export(runs, tmp_path, name, layout)
        doc = Mzml(path)
        read = pym_arrays(path)
        frames = {}
        for el in doc.spectra():
            f, s = id_of(el)
            scan = el.find("m:scanList/m:scan", NS)
            drift_cv = cv(scan, "MS:1002476")
            if reader.function_encoding(f) == "b" and layout == "per-bin":
                # Scan number: frame × 65536 + drift word + 1.
                frame_index, _ = divmod(s - 1, 65536)
                assert drift_cv is not None
                s = frame_index + 1
            else:
                assert drift_cv is None
            frames.setdefault((f, s - 1), []).append((el, read[el.get("id")], drift_cv))
        frame_tic = {}
        for (f, s), written in sorted(frames.items()):
            mz, intensity, drift = frame(reader, f, s)
            if drift is None:
                want = [(mz, intensity, None, None)]
            else:
                want = regroup(mz, intensity, drift, layout)
            assert len(written) == len(want)
            for (el, (got_mz, got_in, got_drift), drift_cv), (w_mz, w_in, w_drift, w_bin) in zip(written, want):
                assert got_mz == w_mz and got_in == w_in  # bit for bit
                assert got_drift == w_drift
                if w_bin is not None:
                    assert float(drift_cv.get("value")) == w_bin
            frame_tic[(f, s)] = sum(float(cv(el, "MS:1000285").get("value")) for el, _, _ in written)
        chrom_tic = {c.get("id"): pym_chrom(path, c.get("id")) for c in doc.chromatograms()
                     if c.get("id").startswith("TIC")}
        tics[layout] = (frame_tic, chrom_tic)
    assert tics["combined"] == tics["per-bin"] == tics["summed"]


def test_openms_reads_converts_and_filters_every_layout(runs, tmp_path):
    reader = library(runs["mse"])
    for layout in LAYOUTS:
        path = layout_export(runs, tmp_path, "mse", layout)
        read = pym_arrays(path)
        info = run("FileInfo", "-in", path, "-c").stdout.decode()
        assert "Number of spectra: %d" % len(read) in info
        # Through mzXML (32-bit m/z) and back.
        mzxml, back = str(tmp_path / (layout + ".mzXML")), str(tmp_path / (layout + ".back.mzML"))
        run("FileConverter", "-in", path, "-out", mzxml)
        run("FileConverter", "-in", mzxml, "-out", back)
        back_arrays = list(pym_arrays_any(back))
        assert len(back_arrays) == len(read)
        for (mz, intensity, _), (b_mz, b_in) in zip(read.values(), back_arrays):
            assert b_mz == [rw.f32(m) for m in mz] and b_in == [rw.f32(i) for i in intensity]
        # Filtered by MS level, the fragment spectra come through unchanged.
        level2 = str(tmp_path / (layout + ".ms2.mzML"))
        run("FileFilter", "-in", path, "-out", level2, "-peak_options:level", "2")
        want = [sid for sid, el in ((el.get("id"), el) for el in Mzml(path).spectra())
                if cv(el, "MS:1000511").get("value") == "2"]
        got = pym_arrays(level2)
        assert list(got) == want
        for sid in want:
            assert got[sid][:2] == read[sid][:2]
    del reader


def pym_arrays_any(path):
    """(mz, intensity) of every spectrum, whatever its id."""
    import pymzml
    for spec in pymzml.run.Reader(path):
        if spec.element.tag != M + "spectrum":
            continue
        yield list(spec.mz), list(spec.i)


def empty_scan_runs(tmp_path):
    """Every encoding with an empty scan between two others: A, C and D in one
    run, an empty ion-mobility frame (B) in a SYNAPT run."""
    flat = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    for enc in ("a", "c", "d"):
        f = flat.add_function(enc, cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1000.0)
        f.add_scan([200.0, 300.0], [5, 6], rt_min=0.1)
        f.add_scan([], [], rt_min=0.2)
        f.add_scan([400.0], [7], rt_min=0.3)
    ims = rw.RunBuilder(instrument="SYNAPT G2-Si")
    b = ims.add_function("b", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1000.0, scan_time_s=0.1)
    b.add_scan([200.0, 300.0], [5, 6], drift_ms=[1.0, 2.0], rt_min=0.1)
    b.add_scan([], [], rt_min=0.2)
    return {"flat": flat.build(str(tmp_path / "flat.raw")), "ims": ims.build(str(tmp_path / "ims.raw"))}


@pytest.mark.parametrize("name,options", [
    ("flat", []), ("flat", ["--numpress", "linear"]), ("flat", ["--numpress", "pic"]),
    ("flat", ["--numpress", "slof", "--compression-level", "6"]), ("flat", ["--compression-level", "0"]),
    ("flat", ["--no-compress", "--numpress", "slof"]), ("ims", []), ("ims", ["--ims-layout", "per-bin"]),
    ("ims", ["--ims-layout", "summed", "--numpress", "linear"]),
])
def test_openms_loads_files_with_an_empty_scan_in_every_encoding_and_layout(tmp_path, name, options):
    path = tmp_path / "out.mzML"
    export(empty_scan_runs(tmp_path)[name], path, *options)
    info = run("FileInfo", "-in", path, check=False)
    assert info.returncode == 0, info.stdout.decode(errors="replace")[-2000:]
    empty = [b for b in Mzml(path).root.iter(M + "binaryDataArray") if b.get("encodedLength") == "0"]
    assert all(b.find(M + "binary").text is None for b in empty)
    assert bool(empty) != ("per-bin" in options)  # an empty frame has no drift bin to write
