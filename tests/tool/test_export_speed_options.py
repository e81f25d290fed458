"""The export's speed options: threads (the file does not depend on them),
compression levels (every array still inflates with plain zlib) and
MS-Numpress (OpenMS and pymzml's decoder read the arrays back within the
documented bounds; without the option the arrays stay lossless)."""

import base64
import hashlib
import math
import os
import random
import struct
import subprocess
import xml.etree.ElementTree as ET
import zlib

import pytest

from support import CLI, NS, arrays, rw

M = "{%s}" % NS["m"]
LOCK_MZ = 556.2771
NUMPRESS = {"MS:1002746": "linear", "MS:1002747": "pic", "MS:1002748": "slof",
            "MS:1002312": "linear", "MS:1002313": "pic", "MS:1002314": "slof"}


def export(run_dir, out, *options, check=True):
    proc = subprocess.run([CLI, "export", str(run_dir), "-o", str(out), "--no-progress"] + list(options),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    if check:
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc


def busy_run():
    """Scans of very different sizes in three interleaved functions (a
    one-dimensional A, an ion-mobility B and a lock-mass A), so that workers finish out of order;
    every scan has at least three points (pymzml's numpress decoder needs
    two)."""
    rng = random.Random(5)
    run = rw.RunBuilder(instrument="SYNAPT G2-Si", polarity="ES+")
    c = run.add_function("a", cal=rw.Cal([0.0005, 1.0002]), mz_low=50.0, mz_high=2000.0,
                         kind="TOF MS FUNCTION")
    b = run.add_function("b", cal=rw.Cal([0.001, 1.0001]), mz_low=50.0, mz_high=2000.0, scan_time_s=0.1,
                         kind="TOF MSMS FUNCTION")
    lock = run.add_function("a", scan_subtype=0x80, cal=rw.Cal([0.0, 1.0]), mz_low=500.0, mz_high=600.0,
                            kind="REFERENCE FUNCTION")
    for k in range(120):
        n = rng.choice([3, 40, 900, 3000])
        mz = sorted(rng.uniform(60.0, 1990.0) for _ in range(n))
        c.add_scan(mz, [rng.randint(0, 60000) for _ in mz], rt_min=0.01 * k)
        if k % 3 == 0:
            m = rng.choice([3, 200])
            b.add_scan(sorted(rng.uniform(60.0, 1990.0) for _ in range(m)), [rng.randint(1, 900) for _ in range(m)],
                       drift_ms=[rng.choice([1.0, 2.5, 40.0]) for _ in range(m)], rt_min=0.01 * k + 0.003)
        if k % 10 == 0:
            lock.add_scan([LOCK_MZ * (1 + 3e-6), 600.0, 610.0], [900, 5, 4], rt_min=0.01 * k + 0.005)
    return run


@pytest.fixture(scope="module")
def run_dir(tmp_path_factory):
    return busy_run().build(str(tmp_path_factory.mktemp("runs") / "busy.raw")).path


@pytest.fixture(scope="module")
def lossless(run_dir, tmp_path_factory):
    """The uncompressed export: the exact values of every array."""
    out = tmp_path_factory.mktemp("ref") / "ref.mzML"
    export(run_dir, out, "--no-compress", "--keep-lockmass")
    return elements(out)


def elements(path):
    """{(tag, id): element} of the spectra and chromatograms."""
    root = ET.parse(str(path)).getroot()
    return {(el.tag[len(M):], el.get("id")): el
            for el in root.iter() if el.tag in (M + "spectrum", M + "chromatogram")}


def sha1(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


@pytest.mark.parametrize("options", [
    [],
    ["--no-compress", "--ims-layout", "per-bin"],
    ["--numpress", "slof", "--lockmass", str(LOCK_MZ), "--ims-layout", "summed", "--compression-level", "9"],
])
def test_the_file_does_not_depend_on_the_thread_count(run_dir, tmp_path, options):
    files = []
    for threads in ("1", "4", "2"):
        out = tmp_path / ("t%s.mzML" % threads)
        export(run_dir, out, "--keep-lockmass", "--threads", threads, *options)
        files.append(out)
    assert sha1(files[0]) == sha1(files[1]) == sha1(files[2])


@pytest.mark.parametrize("level", ["0", "1", "6", "12"])
def test_every_compressed_array_inflates_with_plain_zlib_to_the_exact_values(run_dir, lossless, tmp_path, level):
    out = tmp_path / "z.mzML"
    export(run_dir, out, "--keep-lockmass", "--compression-level", level)
    got = elements(out)
    assert got.keys() == lossless.keys()
    n_zlib = 0
    for key, el in got.items():
        n_zlib += sum(1 for p in el.iter(M + "cvParam") if p.get("accession") == "MS:1000574")
        assert arrays(el) == arrays(lossless[key]), key  # support.arrays inflates with Python's zlib
    assert n_zlib >= 2 * len(got)


def numpress_decode(bda, decoder):
    """The values of a binary data array, its numpress compression decoded
    by `decoder` (pymzml's MSNumpress class)."""
    acc = [p.get("accession") for p in bda.findall("m:cvParam", NS)]
    raw = base64.b64decode(bda.find("m:binary", NS).text or "")
    kinds = [NUMPRESS[a] for a in acc if a in NUMPRESS]
    if raw and ("MS:1000574" in acc or any(a.startswith("MS:10027") for a in acc)):
        raw = zlib.decompress(raw)
    if not kinds:
        fmt = "d" if "MS:1000523" in acc else "f"
        return list(struct.unpack("<%d%s" % (len(raw) // struct.calcsize(fmt), fmt), raw)), None
    assert "MS:1000523" in acc  # numpress decodes to 64-bit values
    return list(getattr(decoder(bytearray(raw)), "decode_" + kinds[0])()), kinds[0]


def within_bound(kind, exact, got, ppm, slack=0.0):
    """Whether the decoded values keep the documented bound of their
    encoding (plus a relative slack), or are exact without one."""
    if kind is None:
        return got == exact
    if len(got) != len(exact):
        return False
    if kind == "linear":
        return all(abs(g - e) <= (ppm * 1e-6 + slack) * e for e, g in zip(exact, got))
    if kind == "pic":
        return all(abs(g - e) <= 0.5 + slack * e for e, g in zip(exact, got))
    fixed = math.floor(65535 / max(1.0, math.log(max(exact) + 1)))
    return all(abs(math.log((g + 1) / (e + 1))) <= 0.5 / fixed + slack for e, g in zip(exact, got))


@pytest.mark.parametrize("mode,ppm", [("linear", "0.1"), ("pic", "1"), ("slof", "0.02")])
def test_numpress_arrays_decode_within_their_bounds_in_openms_and_pymzml(run_dir, lossless, tmp_path, mode, ppm):
    import pymzml.ms_numpress
    out = tmp_path / "np.mzML"
    export(run_dir, out, "--keep-lockmass", "--numpress", mode, "--numpress-ppm", ppm)
    got = elements(out)
    assert got.keys() == lossless.keys()
    seen = set()
    exact_of = {}
    for key, el in got.items():
        ref = arrays(lossless[key])
        for bda in el.findall("m:binaryDataArrayList/m:binaryDataArray", NS):
            array = [p.get("accession") for p in bda.findall("m:cvParam", NS)
                     if p.get("accession") in ("MS:1000514", "MS:1000515", "MS:1000595", "MS:1003007")][0]
            values, kind = numpress_decode(bda, pymzml.ms_numpress.MSNumpress)
            seen.add((key[0], array, kind))
            assert within_bound(kind, ref[array], values, float(ppm)), (key, array, kind)
            exact_of[(key[1], array)] = ref[array]
    # m/z by linear prediction, intensities by the chosen encoding; drift
    # times and chromatograms stay lossless.
    intensity_kind = mode if mode != "linear" else None
    assert seen == {("spectrum", "MS:1000514", "linear"), ("spectrum", "MS:1000515", intensity_kind),
                    ("spectrum", "MS:1003007", None), ("chromatogram", "MS:1000595", None),
                    ("chromatogram", "MS:1000515", None)}

    # OpenMS reads the file, finds nothing corrupt, and writes it back out
    # with the decoded values (intensities as 32-bit floats).
    info = subprocess.run(["FileInfo", "-in", str(out), "-c"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert info.returncode == 0, info.stderr.decode(errors="replace")
    assert "Number of spectra: %d" % sum(1 for k in got if k[0] == "spectrum") in info.stdout.decode()
    back = tmp_path / "back.mzML"
    conv = subprocess.run(["FileConverter", "-in", str(out), "-out", str(back)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    assert conv.returncode == 0, conv.stderr.decode(errors="replace")
    n_spectra = 0
    for (tag, sid), el in elements(back).items():
        if tag != "spectrum":
            continue
        n_spectra += 1
        read = arrays(el)
        assert within_bound("linear", exact_of[(sid, "MS:1000514")], read["MS:1000514"], float(ppm)), sid
        exact = exact_of[(sid, "MS:1000515")]
        if intensity_kind is None:
            assert read["MS:1000515"] == exact, sid
        else:  # plus OpenMS's rounding to 32 bits
            assert within_bound(intensity_kind, exact, read["MS:1000515"], None, slack=1.2e-7), sid
    assert n_spectra == sum(1 for k in got if k[0] == "spectrum")


def test_without_numpress_every_array_is_lossless(run_dir, tmp_path):
    out = tmp_path / "d.mzML"
    export(run_dir, out)
    text = out.read_text()
    assert "MS-Numpress" not in text
    assert 'accession="MS:1000574"' in text


@pytest.mark.parametrize("options", [
    ["--compression-level", "13"],
    ["--compression-level", "-1"],
    ["--threads", "0"],
    ["--numpress", "zip"],
    ["--numpress", "linear", "--numpress-ppm", "0"],
    ["--numpress", "linear", "--numpress-ppm", "nan"],
    ["--numpress-ppm", "1"],  # only with --numpress
])
def test_bad_option_values_are_refused_before_anything_is_written(run_dir, tmp_path, options):
    out = tmp_path / "x.mzML"
    proc = export(run_dir, out, *options, check=False)
    assert proc.returncode != 0
    assert proc.stderr
    assert os.listdir(tmp_path) == []
