"""Writes examples/sample.raw, the small synthetic run used by quickstart.py.

Usage::

    python3 examples/make_sample.py [output directory]

The run (instrument "SYNAPT G2-Si") holds:

* function 1: a one-dimensional MS survey in Encoding A (on a SYNAPT
  instrument a 30-byte index always means ion mobility, so the 1-D function
  uses the 22-byte index of Encoding A);
* function 2: an ion-mobility function (Encoding B) with drift times;
* function 3: a lock-mass (reference) function in Encoding A;
* calibration lines (T1 with coefficients) for every function;
* a statistics file with a "Collision Energy" channel for function 2;
* two chromatogram channels (pump pressure and column temperature).

Everything is generated from fixed values, so the output is the same at
every run.
"""

import math
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import rawwriter as rw  # noqa: E402


def peptide_like_peaks(base, n_peaks, shift):
    """m/z and intensity of a few isotope clusters, deterministic."""
    mz, intensity = [], []
    for k in range(n_peaks):
        centre = base + 37.3 * k + shift
        for iso in range(3):
            mz.append(centre + iso * 1.00335)
            intensity.append(int(4000 * math.exp(-0.5 * iso) * (1.0 + 0.5 * math.sin(k + shift))) + 50)
    return mz, intensity


def build(path):
    run = rw.RunBuilder(instrument="SYNAPT G2-Si", lteff=1800.0, veff=7200.0,
                        pusher_interval=64.0, polarity="ES+",
                        acquired_name="sample", acquired_date="14-Jan-2021",
                        acquired_time="16:20:52", operator="kestrune",
                        sample_description="Synthetic peptide mix (generated)")

    ms1 = run.add_function("a", cal=rw.Cal([1.5e-4, 0.99998, 3.0e-9]), mz_low=50.0, mz_high=2000.0,
                           scan_time_s=0.5, cycle_time_s=0.52, kind="TOF MS FUNCTION")
    for scan in range(12):
        mz, intensity = peptide_like_peaks(300.0, 40, 0.01 * scan)
        ms1.add_scan(mz, intensity, rt_min=0.05 + 0.0087 * scan)

    ims = run.add_function("b", cal=rw.Cal([2.0e-4, 0.99997]), mz_low=50.0, mz_high=2000.0,
                           scan_time_s=0.1, cycle_time_s=0.12, kind="TOF MSMS FUNCTION",
                           sts=rw.sts_channels([("Collision Energy", [20.0 + 2.0 * s for s in range(8)]),
                                                ("Trap Bias", [45.0] * 8)]))
    for scan in range(8):
        mz, intensity = peptide_like_peaks(250.0, 25, 0.02 * scan)
        drift = [0.5 + (m - 200.0) / 40.0 for m in mz]
        ims.add_scan(mz, intensity, drift_ms=drift, rt_min=0.06 + 0.0087 * scan)

    lock = run.add_function("a", scan_subtype=0x92, cal=rw.Cal([1.5e-4, 0.99998, 3.0e-9]),
                            mz_low=500.0, mz_high=600.0, scan_time_s=0.5, kind="REFERENCE")
    for scan in range(3):
        lock.add_scan([556.2771, 557.2802, 558.2828], [9000, 3000, 600], rt_min=0.1 + 0.25 * scan)

    run.add_channel("Pump A Pressure", units="bar", scale_f=0.1, source_type=4,
                    points=[(0.02 * k, 250.0 + 3.0 * math.sin(0.3 * k)) for k in range(60)])
    run.add_channel("Column Temperature", units="C", scale_f=1.0, source_type=1,
                    points=[(0.05 * k, 40.0 + 0.01 * k) for k in range(24)])

    if os.path.isdir(path):
        shutil.rmtree(path)
    return run.build(path)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "sample.raw")
    built = build(path)
    total = sum(os.path.getsize(p) for p in built.files.values())
    print("wrote %s (%d files, %d bytes)" % (built.path, len(built.files), total))


if __name__ == "__main__":
    main()
