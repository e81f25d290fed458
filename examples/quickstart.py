"""Quick tour of a MassLynx .raw run with kestrune.

Usage::

    python3 examples/quickstart.py [path/to/run.raw]

Without an argument it opens sample.raw next to this script.
"""

import logging
import os
import sys

import kestrune

# The library reports skipped or degraded functions as warnings on the
# "kestrune" logger; use logging.DEBUG to see what it found while opening.
logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")

path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                          "sample.raw")
run = kestrune.RawReader(path)
print(run)

header = run.header
print("instrument:", header.instrument)
print("acquired:  ", header.acquired_date, header.acquired_time)
print("sample:    ", header.sample_description)
print("polarity:  ", run.polarity)
print()

first_1d = first_ims = None  # the first function of each kind that has scans
for f in run.functions:
    try:
        n = run.n_scans(f.index)
    except RuntimeError as err:  # listed in _FUNCTNS.INF but not readable
        print("function %d: %s" % (f.index, err))
        continue
    encoding = run.function_encoding(f.index)
    rt = ""
    if n:
        rt = ", RT %.3f-%.3f min" % (run.retention_time(f.index, 0), run.retention_time(f.index, n - 1))
        if encoding == "b":
            first_ims = first_ims or f.index
        else:
            first_1d = first_1d or f.index
    print("function %d: %3d scans, encoding %s, MS%d%s, m/z %g-%g%s" % (
        f.index, n, encoding, run.ms_level(f.index), rt, f.mz_low, f.mz_high,
        " (lock mass)" if f.is_lock_mass else ""))
print()

if first_1d is not None:
    spectrum = run.read_spectrum(first_1d, 0)
    print("function %d, scan 0: %r" % (first_1d, spectrum))
    for mz, intensity in list(zip(spectrum.mz, spectrum.intensity))[:5]:
        print("  m/z %10.4f  intensity %8.0f" % (mz, intensity))
    print()

if first_ims is not None:
    ims = run.read_ims_spectrum(first_ims, 0)
    drift = ims.drift_time_ms or [0.0]
    print("function %d, scan 0: %r, drift %.2f-%.2f ms, total intensity %.0f" % (
        first_ims, ims, min(drift), max(drift), sum(ims.intensity)))
    print()

for channel in run.channels:
    points = run.read_chrom(channel.index)
    print("%r: %d samples" % (channel, len(points)))
if run.channels:
    for p in run.read_chrom(0)[:3]:
        print("  ", p)
