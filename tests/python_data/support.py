"""Helpers of the kestrune_data tests: the run builders and the ways to
look at a buffer's values.

The module under test comes from PYTHONPATH; runs are written by the
synthetic run writer of tests/python. The command-line tool that the
conversions are compared with comes from KESTRUNE_CLI (by default the
build's, build/cli/kestrune). NumPy is used where the interpreter
has it (CPython); under PyPy the same checks go through memoryview.
"""

import array
import os
import platform
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SAMPLE = os.path.join(ROOT, "examples", "sample.raw")
# The command-line tool whose files export_mzml() and qc_report() must equal.
CLI = os.path.abspath(os.environ.get("KESTRUNE_CLI", os.path.join(ROOT, "build", "cli", "kestrune")))
WRITER_DIR = os.path.join(HERE, "..", "python")
if WRITER_DIR not in sys.path:
    sys.path.insert(0, WRITER_DIR)

import rawwriter as rw  # noqa: E402
from sample_runs import standard_builder, synapt_builder  # noqa: E402,F401

try:
    import numpy
except ImportError:  # PyPy: Debian has no NumPy for it
    numpy = None

IS_PYPY = platform.python_implementation() == "PyPy"
if not IS_PYPY:
    assert numpy is not None, "the CPython tests need NumPy (Debian python3-numpy)"


def bits(values, typecode):
    """The bytes of `values` as an array of `typecode` ('d' or 'f'): equal
    bytes are equal values bit for bit, NaN and the sign of zero included."""
    return array.array(typecode, values).tobytes()


def values_of(buf):
    """A buffer's values: a NumPy array (a view) where NumPy exists, else a list."""
    if numpy is not None:
        return numpy.asarray(buf)
    return memoryview(buf).tolist()


def encoding_builder(letter, scans=4, points=40):
    """A run whose function 1 has the encoding `letter` ('b': ion mobility,
    on a SYNAPT), with `scans` scans of about `points` points (scan 1 empty),
    plus a one-scan function 2 and a chromatogram channel."""
    run = rw.RunBuilder(instrument="SYNAPT G2-Si" if letter == "b" else "XEVO-G2XSQTOF#NotSet")
    cal = rw.Cal([1e-4, 0.99995, 2.5e-9])
    f = run.add_function(letter, cal=cal, mz_low=50.0, mz_high=1500.0, scan_time_s=0.1)
    for s in range(scans):
        n = 0 if s == 1 else points + s
        mz = [60.0 + 1400.0 * k / max(n, 1) + 0.37 * s for k in range(n)]
        # Whole counts, with steps of 2^-16 in Encoding D.
        intensity = [((k * 7919 + s * 31) % 60000) + (0.25 if letter == "d" else 0) for k in range(n)]
        drift = [(k * 3.7) % 9.5 for k in range(n)] if letter == "b" else None
        f.add_scan(mz, intensity, drift_ms=drift, rt_min=0.1 + 0.05 * s)
    run.add_function("a", cal=cal, kind="TOF MSMS FUNCTION").add_scan([300.0], [7], rt_min=0.12)
    run.add_channel("Pump A Pressure", units="bar", points=[(0.0, 250.5), (0.5, 251.25)])
    return run
