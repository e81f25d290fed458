"""xic() and tic() equal the sums a user computes over the iterated scans
(with NumPy where it exists, else in Python through memoryview)."""

import random

import pytest

import kestrune_data

from .support import numpy, rw


def busy_builder(letter):
    """One function of 12 scans of 300 points in encoding `letter`: peaks
    around a few m/z values, large whole-count intensities (fractions of
    2^-16 in Encoding D), so that summation order would show if it mattered."""
    rng = random.Random(7 + ord(letter))
    run = rw.RunBuilder(instrument="SYNAPT G2-Si" if letter == "b" else "XEVO-G2XSQTOF#NotSet")
    f = run.add_function(letter, cal=rw.Cal([1e-4, 0.99995, 2.5e-9]), mz_low=50.0, mz_high=1500.0,
                         scan_time_s=0.1)
    for s in range(12):
        mz = sorted(rng.choice([400.0, 556.2771, 1000.0]) * (1 + rng.uniform(-40e-6, 40e-6)) for _ in range(300))
        intensity = [rng.randint(1, 60000) + (rng.randint(0, 3) * 0.25 if letter == "d" else 0) for _ in mz]
        drift = [rng.uniform(0.0, 9.0) for _ in mz] if letter == "b" else None
        f.add_scan(mz, intensity, drift_ms=drift, rt_min=0.1 * (s + 1))
    return run


def user_sums(run, target=None, ppm=10.0, rt_range=None):
    """(rt, sums) as a user computes them from run.scans()."""
    rts, sums = [], []
    for scan in run.scans(1, rt_range=rt_range):
        rts.append(scan.rt_min)
        if numpy is not None:
            mz, intensity = numpy.asarray(scan.mz), numpy.asarray(scan.intensity)
            keep = numpy.ones(len(mz), bool) if target is None else (
                (mz >= target - target * ppm * 1e-6) & (mz <= target + target * ppm * 1e-6))
            sums.append(float(numpy.sum(intensity[keep], dtype=numpy.float64)))
        else:
            mz, intensity = memoryview(scan.mz).tolist(), memoryview(scan.intensity).tolist()
            tol = None if target is None else target * ppm * 1e-6
            sums.append(sum(i for m, i in zip(mz, intensity)
                            if tol is None or target - tol <= m <= target + tol))
    return rts, sums


@pytest.mark.parametrize("letter", ["a", "b", "c", "d"])
def test_xic_and_tic_equal_sums_over_the_iterated_scans(tmp_path, letter):
    built = busy_builder(letter).build(str(tmp_path / "busy.raw"))
    # Encoding B places m/z about 45 ppm apart here: its windows are wider.
    ppm = 100.0 if letter == "b" else 10.0
    with kestrune_data.open(built.path) as run:
        cases = [
            dict(target=556.2771, ppm=ppm), dict(target=556.2771, ppm=ppm / 4), dict(target=400.0, ppm=0.0),
            dict(target=1000.0, ppm=ppm * 5, rt_range=(0.3, 0.7)),
            dict(target=None), dict(target=None, rt_range=(0.55, None)),
        ]
        for case in cases:
            target = case.pop("target")
            if target is None:
                rt, value = run.tic(1, **case)
            else:
                rt, value = run.xic(1, target, **case)
            assert (rt.typecode, value.typecode) == ("d", "d")
            want_rt, want = user_sums(run, target, **case)
            assert rt.tolist() == want_rt
            assert value.tolist() == want, (target, case)
        assert sum(v > 0 for v in run.xic(1, 556.2771, ppm=ppm)[1].tolist()) == 12


def test_xic_bounds_are_included(standard_run):
    # With 0 ppm the window is [mz, mz]: only included bounds keep the point
    # lying exactly at mz.
    with kestrune_data.open(standard_run.path) as run:
        point = run.read_scan(1, 0).mz[1]
        assert run.xic(1, point, ppm=0.0)[1].tolist() == [3400.0, 0.0, 0.0]
        assert run.xic(1, point * (1 + 1e-15), ppm=0.0)[1].tolist() == [0.0, 0.0, 0.0]
