"""export --centroid: profile functions written as centroids on the known
peaks, in every ion-mobility layout, with honest metadata; centroid
functions pass through as they are."""

import json
import os
import subprocess

import pytest

from support import CLI, Mzml, arrays, cv, rw

CENTRES = [301.1, 455.25, 702.6, 1001.3]
HEIGHTS = [400, 2500, 900, 120]
FWHM_PPM = 1e6 / 18000  # resolving power 18,000


def cli(*args, check=0):
    proc = subprocess.run([CLI] + [os.fspath(a) if hasattr(a, "__fspath__") else str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    assert proc.returncode == check, proc.stderr.decode(errors="replace")
    return proc


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    base = tmp_path_factory.mktemp("centroid")
    flat = rw.RunBuilder(instrument="Xevo G2-S QTof")
    profile = flat.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, kind="TOF MS FUNCTION")
    sticks = flat.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, kind="TOF MSMS FUNCTION")
    for k in range(3):
        profile.add_scan(*rw.profile_peaks(CENTRES, HEIGHTS, fwhm_ppm=FWHM_PPM), rt_min=0.1 * k)
        sticks.add_scan([150.0 + k, 420.5, 777.25], [30, 50, 20], rt_min=0.1 * k + 0.05)
    ims = rw.RunBuilder(instrument="SYNAPT G2-Si")
    frames = ims.add_function("b", cal=rw.Cal([0.0, 1.0]), mz_low=100.0, mz_high=1500.0, scan_time_s=0.1)
    for k in range(2):
        mz, intensity, drift = [], [], []
        for d in (10.0, 20.0, 30.0):  # three drift bins, each its own profile spectrum
            m, i = rw.profile_peaks(CENTRES[:2], HEIGHTS[:2], fwhm_ppm=FWHM_PPM * 3, points_per_fwhm=5)
            mz += m
            intensity += i
            drift += [d] * len(m)
        frames.add_scan(mz, intensity, drift_ms=drift, rt_min=0.1 * k)
    return {"flat": flat.build(str(base / "flat.raw")).path, "ims": ims.build(str(base / "ims.raw")).path}


def by_function(path):
    out = {}
    for el in Mzml(path).spectra():
        out.setdefault(int(el.get("id").split()[0].split("=")[1]), []).append(el)
    return out


def near_centres(mz, centres, ppm):
    return sorted(mz) == sorted(mz) and len(mz) == len(centres) and all(
        abs(m - c) / c * 1e6 < ppm for m, c in zip(sorted(mz), sorted(centres)))


def test_profile_functions_become_centroids_on_the_peaks_and_sticks_pass_through(runs, tmp_path):
    plain, picked = tmp_path / "plain.mzML", tmp_path / "picked.mzML"
    cli("export", runs["flat"], "-o", plain)
    proc = cli("export", runs["flat"], "-o", picked, "--centroid")
    assert "centroided: function 1 " in proc.stderr.decode()
    got, before = by_function(picked), by_function(plain)
    for el in got[1]:
        assert cv(el, "MS:1000127") is not None and cv(el, "MS:1000128") is None
        a = arrays(el)
        assert near_centres(a["MS:1000514"], CENTRES, 1.0), a["MS:1000514"]
        # The summed counts of each peak, not its height.
        assert all(i > h for i, h in zip(a["MS:1000515"], HEIGHTS))
    assert [arrays(el) for el in got[2]] == [arrays(el) for el in before[2]]
    processing = Mzml(picked).mzml.find("m:dataProcessingList", {"m": "http://psi.hupo.org/ms/mzml"})
    assert cv(processing, "MS:1000035") is not None
    assert cv(Mzml(plain).mzml, "MS:1000035") is None
    info = json.loads(cli("info", "--json", runs["flat"]).stdout)
    assert [f["centroided_by_export"] for f in info["functions"]] == [True, False]


@pytest.mark.parametrize("layout", ["combined", "per-bin", "summed"])
def test_ion_mobility_frames_are_centroided_per_drift_bin_in_every_layout(runs, tmp_path, layout):
    import kestrune
    bins = sorted(set(kestrune.RawReader(runs["ims"]).read_ims_spectrum(1, 0).drift_time_ms))
    assert len(bins) == 3
    out = tmp_path / (layout + ".mzML")
    cli("export", runs["ims"], "-o", out, "--centroid", "--ims-layout", layout)
    spectra = Mzml(out).spectra()
    for el in spectra:
        assert cv(el, "MS:1000127") is not None
        a = arrays(el)
        mz = a["MS:1000514"]
        if layout == "combined":
            drift = a["MS:1003007"]
            assert sorted(set(drift)) == bins  # the decoded drift times, kept exactly
            assert list(zip(mz, drift)) == sorted(zip(mz, drift))
            for d in bins:
                assert near_centres([m for m, t in zip(mz, drift) if t == d], CENTRES[:2], 3.0)
        else:
            assert mz == sorted(mz) and len(set(mz)) == len(mz)
            assert near_centres(mz, CENTRES[:2], 3.0), mz
    assert len(spectra) == (6 if layout == "per-bin" else 2)
