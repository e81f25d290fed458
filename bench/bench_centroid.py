"""kestrune's centroider against OpenMS PeakPickerHiRes on one synthetic
continuum run of known truth. Not part of the test run.

Writes a run (one Encoding C function) whose scans are time-of-flight profile
spectra: samples uniform in sqrt(m/z), Gaussian peaks of FWHM = m/z / R with
Poisson counts, single-count noise hits, isolated peaks and doublets 1.6 FWHM
apart, zero-count samples left out; exports it as profile mzML with
``kestrune export --representation profile``; runs ``PeakPickerHiRes`` on
that file (signal-to-noise estimation off, the picking forced on MS level 1:
its automatic choice of levels leaves such spectra alone); exports the run
centroided with ``kestrune export --centroid``; reads both results and
scores them against the truth with the figures of
bench/centroid_quality.cpp:

- recall: isolated peaks with an apex of at least 50 counts that have a
  centroid within half their FWHM;
- |m/z error| of those, in ppm and in units of sigma / sqrt(N) (N the
  peak's ions; an ideal estimator's median is 0.67), median and 95th
  percentile;
- split: found peaks with two or more centroids within one FWHM;
- doublets resolved: each peak's nearest centroid within 0.4 FWHM, distinct;
- summed counts: found peaks whose centroid intensity lies within 5% of
  their ions (PeakPickerHiRes reports the apex height, not the area);
- points: centroids per profile point; duplicates: m/z not rising;
- time: the profile export and the centroided export (one thread and the
  default threads), and PeakPickerHiRes (one thread) on the profile file.

    ninja -C build cli/kestrune
    /usr/bin/python3 bench/bench_centroid.py [--scans 200 | --size-mb 1024] [--resolving-power 18000]
        [--samples-per-fwhm 6] [--noise 0.02] [--build build] [--keep DIR]
"""

import argparse
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import rawwriter as rw  # noqa: E402

FWHM_PER_SIGMA = 2.3548200450309493
MZ_LOW, MZ_HIGH = 500.0, 1000.0
FIRST, LAST = 1000, 21000  # the anchoring positions of an Encoding C scan


class Peak(object):
    __slots__ = ("mz", "sigma", "apex", "counts", "partner")

    def __init__(self, mz, sigma, apex):
        self.mz, self.sigma, self.apex, self.counts, self.partner = mz, sigma, apex, 0, -1


def make_scan(rng, args):
    """(record bytes, peaks) of one scan: the grid is uniform in sqrt(m/z),
    FIRST..LAST spanning MZ_LOW..MZ_HIGH, so that the decoded m/z of grid
    sample k is (sqrt(MZ_LOW) + k * ds)^2."""
    s_low, s_high = math.sqrt(MZ_LOW), math.sqrt(MZ_HIGH)
    s_mid = math.sqrt(math.sqrt(MZ_LOW * MZ_HIGH))
    ds = s_mid / (2 * args.resolving_power * args.samples_per_fwhm)
    # The step in positions, a whole number of 2^-16 position units.
    q = max(1, int(round(ds * (LAST - FIRST) / (s_high - s_low) * 65536)))
    ds = q / 65536.0 * (s_high - s_low) / (LAST - FIRST)
    grid = int((s_high - s_low) / ds)
    root = s_low + np.arange(grid) * ds
    mz = root * root
    counts = np.zeros(grid, dtype=np.int64)

    groups = []
    for _ in range(args.peaks):
        groups.append((math.exp(rng.uniform(math.log(10), math.log(10000))), 0.0))
    for _ in range(args.doublets):
        small = math.exp(rng.uniform(math.log(50), math.log(5000)))
        large = small / (0.5 + 0.5 * rng.uniform())
        groups.append((small, large) if rng.uniform() < 0.5 else (large, small))
    rng.shuffle(groups)

    peaks = []

    def add_peak(centre, apex):
        p = Peak(centre, centre / args.resolving_power / FWHM_PER_SIGMA, apex)
        lo = int(max(0, math.ceil((math.sqrt(centre - 6 * p.sigma) - s_low) / ds)))
        hi = int(min(grid - 1, math.floor((math.sqrt(centre + 6 * p.sigma) - s_low) / ds)))
        lam = apex * np.exp(-0.5 * ((mz[lo:hi + 1] - centre) / p.sigma) ** 2)
        drawn = rng.poisson(lam)
        counts[lo:hi + 1] += drawn
        p.counts = int(drawn.sum())
        peaks.append(p)

    slot = (s_high - s_low) / len(groups)
    for g, (a1, a2) in enumerate(groups):
        s0 = s_low + slot * g
        guess = (s0 + 0.5 * slot) ** 2
        margin = (4.0 + 1.6) * guess / args.resolving_power / (2 * math.sqrt(guess))
        s = s0 + margin + rng.uniform() * max(0.0, slot - 2 * margin)
        centre = s * s
        add_peak(centre, a1)
        if a2 > 0:
            add_peak(centre + 1.6 * centre / args.resolving_power, a2)
            peaks[-2].partner, peaks[-1].partner = len(peaks) - 1, len(peaks) - 2

    counts += rng.random(grid) < args.noise
    np.minimum(counts, 0xFFFF, out=counts)
    keep = np.nonzero(counts)[0]
    fixed = keep.astype(np.int64) * q
    records = np.zeros((len(keep) + 2, 4), dtype="<u2")
    records[1:-1, 1] = counts[keep]
    records[1:-1, 2] = fixed & 0xFFFF
    records[1:-1, 3] = FIRST + (fixed >> 16)
    records[0, 3] = FIRST
    records[-1, 3] = LAST
    return records.tobytes(), peaks, len(keep)


def build_run(path, args, rng):
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    f = run.add_function("c", mz_low=MZ_LOW, mz_high=MZ_HIGH, kind="TOF MS FUNCTION")
    truth, points = [], 0
    for k in range(args.scans):
        data, peaks, n = make_scan(rng, args)
        f.scans.append(rw.ScanPlan(data, 0.01 * (k + 1)))
        truth.append(peaks)
        points += n
    run.build(path)
    return truth, points


def read_mzml(path):
    import pymzml
    out = []
    for spectrum in pymzml.run.Reader(path):
        if spectrum.ms_level != 1:
            continue
        out.append((np.asarray(spectrum.mz, dtype=np.float64), np.asarray(spectrum.i, dtype=np.float64)))
    return out


def score(truth, spectra, profile_points):
    found = strong = split = counts_ok = doublets = resolved = centroids = duplicates = 0
    err_ppm, err_lim = [], []
    for peaks, (mz, intensity) in zip(truth, spectra):
        centroids += len(mz)
        duplicates += int(np.count_nonzero(np.diff(mz) <= 0))
        order = np.argsort(mz, kind="stable")
        mz, intensity = mz[order], intensity[order]

        def nearest(m):
            j = int(np.searchsorted(mz, m))
            best = None
            for c in (j - 1, j):
                if 0 <= c < len(mz) and (best is None or abs(mz[c] - m) < abs(mz[best] - m)):
                    best = c
            return best

        for i, p in enumerate(peaks):
            fwhm = p.sigma * FWHM_PER_SIGMA
            if p.partner >= 0:
                if p.partner < i:
                    continue
                q = peaks[p.partner]
                if min(p.apex, q.apex) < 50:
                    continue
                doublets += 1
                a, b = nearest(p.mz), nearest(q.mz)
                if (a is not None and b is not None and a != b and abs(mz[a] - p.mz) <= 0.4 * fwhm
                        and abs(mz[b] - q.mz) <= 0.4 * q.sigma * FWHM_PER_SIGMA):
                    resolved += 1
                continue
            if p.apex < 50:
                continue
            strong += 1
            a = nearest(p.mz)
            if a is None or abs(mz[a] - p.mz) > 0.5 * fwhm:
                continue
            found += 1
            lo, hi = np.searchsorted(mz, p.mz - fwhm), np.searchsorted(mz, p.mz + fwhm, side="right")
            split += (hi - lo) >= 2
            err = abs(mz[a] - p.mz)
            err_ppm.append(err / p.mz * 1e6)
            err_lim.append(err / (p.sigma / math.sqrt(max(p.counts, 1))))
            counts_ok += abs(intensity[a] - p.counts) <= 0.05 * p.counts
    q = lambda v, f: float(np.quantile(v, f)) if v else float("nan")  # noqa: E731
    return {
        "recall": found / strong if strong else 0, "ppm50": q(err_ppm, 0.5), "ppm95": q(err_ppm, 0.95),
        "lim50": q(err_lim, 0.5), "lim95": q(err_lim, 0.95), "split": split / found if found else 0,
        "doublets": resolved / doublets if doublets else 0, "sum5": counts_ok / found if found else 0,
        "points": centroids / profile_points, "duplicates": duplicates, "strong": strong,
    }


def timed(cmd):
    start = time.monotonic()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    elapsed = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(cmd), proc.stdout[-2000:], proc.stderr[-2000:]))
    return elapsed, proc.stdout


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scans", type=int, default=200)
    ap.add_argument("--size-mb", type=float, help="scans enough for this much scan data instead")
    ap.add_argument("--resolving-power", type=float, default=18000)
    ap.add_argument("--samples-per-fwhm", type=float, default=6)
    ap.add_argument("--noise", type=float, default=0.02, help="chance of a noise hit per grid sample")
    ap.add_argument("--peaks", type=int, default=150, help="isolated peaks per scan")
    ap.add_argument("--doublets", type=int, default=25, help="doublets per scan")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--keep", help="write the run and the files here and keep them")
    args = ap.parse_args()

    cli = os.path.join(args.build, "cli", "kestrune")
    if not os.access(cli, os.X_OK):
        sys.exit("missing %s (ninja -C %s cli/kestrune)" % (cli, args.build))
    if args.size_mb:
        bytes_per_scan = len(make_scan(np.random.default_rng(args.seed + 1), args)[0])
        args.scans = max(1, int(args.size_mb * 1e6 / bytes_per_scan))
    pphr = shutil.which("PeakPickerHiRes")
    if pphr is None:
        sys.exit("PeakPickerHiRes not found (Debian topp)")

    work = args.keep or tempfile.mkdtemp(prefix="kestrune-centroid-")
    os.makedirs(work, exist_ok=True)
    try:
        rng = np.random.default_rng(args.seed)
        run_dir = os.path.join(work, "synthetic.raw")
        truth, points = build_run(run_dir, args, rng)
        profile = os.path.join(work, "profile.mzML")
        picked = os.path.join(work, "peakpickerhires.mzML")
        ours = os.path.join(work, "centroided.mzML")
        data_mb = os.path.getsize(os.path.join(run_dir, "_FUNC001.DAT")) / 1e6
        print("run: %d scans, %d profile points (%.1f MB of scan data), R %.0f, %.1f samples per FWHM, "
              "noise %.3f" % (args.scans, points, data_mb, args.resolving_power, args.samples_per_fwhm, args.noise))

        export = [cli, "export", run_dir, "--no-progress"]
        times = {}
        for threads in ("1", None):
            more = ["--threads", threads] if threads else []
            times[("profile", threads)], _ = timed(export + ["-o", profile, "--representation", "profile"] + more)
            times[("centroid", threads)], _ = timed(export + ["-o", ours, "--centroid"] + more)
        t_pphr, _ = timed([pphr, "-in", profile, "-out", picked, "-algorithm:signal_to_noise", "0",
                           "-algorithm:ms_levels", "1", "-threads", "1", "-no_progress"])

        rows = [("PeakPickerHiRes", score(truth, read_mzml(picked), points)),
                ("kestrune", score(truth, read_mzml(ours), points))]
        print("%d isolated peaks with an apex of at least 50 counts" % rows[0][1]["strong"])
        print("%-16s %7s %6s %6s %6s %6s %7s %8s %7s %7s %5s" % (
            "", "recall", "ppm50", "ppm95", "lim50", "lim95", "split", "doublets", "sum5%", "points", "dup"))
        for name, r in rows:
            print("%-16s %6.1f%% %6.2f %6.2f %6.2f %6.2f %6.2f%% %7.1f%% %6.1f%% %7.3f %5d" % (
                name, 100 * r["recall"], r["ppm50"], r["ppm95"], r["lim50"], r["lim95"], 100 * r["split"],
                100 * r["doublets"], 100 * r["sum5"], r["points"], r["duplicates"]))
        print("time, 1 thread: profile export %.2f s, centroided export %.2f s (%.1f times faster than "
              "PeakPickerHiRes %.2f s on the profile file)" % (
                  times[("profile", "1")], times[("centroid", "1")], t_pphr / times[("centroid", "1")], t_pphr))
        print("time, default threads: profile export %.2f s, centroided export %.2f s" % (
            times[("profile", None)], times[("centroid", None)]))
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
