"""Well-formed synthetic runs that the hardening tests start from.

Each builder returns a ``rawwriter.RunBuilder``; ``build_all(dir)`` writes
every one of them (some under case-variant or prefixed file names) and
returns ``{name: BuiltRun}``.  Together they cover the four data encodings,
statistics files with every value type, chromatogram channels (one without
a samples file), both polarities and runs without optional files.
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_TESTS = os.path.join(os.path.dirname(HERE), "python")
if PYTHON_TESTS not in sys.path:
    sys.path.insert(0, PYTHON_TESTS)

import rawwriter as rw  # noqa: E402
from sample_runs import standard_builder  # noqa: E402


def _sts_all_types(n_scans):
    """Statistics with a u8, an i16, a u32 and two f32 channels (collision
    energy and ETD fragmentation mode) in 16-byte records."""
    descs = [
        rw.sts_descriptor("Trap Bias", rw.STS_U8, 0, tag=1),
        rw.sts_descriptor("Cone Voltage", rw.STS_I16, 2, tag=2),
        rw.sts_descriptor("TIC", rw.STS_U32, 4, tag=3),
        rw.sts_descriptor("  Collision Energy  ", rw.STS_F32, 8, tag=4),
        rw.sts_descriptor("ETD Fragmentation Mode", rw.STS_F32, 12, tag=5),
    ]
    records = [struct.pack("<BxhIff", s & 0xFF, -s, 1000 * s, 4.0 + s, float(s % 2))
               for s in range(n_scans)]
    return rw.func_sts(descs, records, 16)


def standard():
    """Encodings C (calibrated, statistics of every value type), A, D (T0
    line) and a C lock-mass function without a calibration line; two
    channels."""
    return standard_builder(sts=_sts_all_types(3))


def synapt():
    """An ion-mobility function (B), an A function and an A lock-mass
    function on a SYNAPT instrument, negative polarity."""
    run = rw.RunBuilder(instrument="SYNAPT G2-Si", polarity="ES-")
    f1 = run.add_function("b", cal=rw.Cal([0.001, 1.0001]), mz_low=50.0, mz_high=2000.0,
                          scan_time_s=0.1, kind="TOF MS FUNCTION", sts=_sts_all_types(2))
    f1.add_scan([200.0, 400.0, 400.0, 1500.0], [5, 10, 15, 20], drift_ms=[1.0, 25.0, 50.0, 99.0],
                rt_min=0.1)
    f1.add_scan([], [], rt_min=0.2)
    f1.add_scan([700.0], [9], drift_ms=[12.5], rt_min=0.3)
    f2 = run.add_function("a", cal=rw.Cal([0.0, 1.0]), kind="TOF MSMS FUNCTION")
    f2.add_scan([300.0, 600.0], [3, 4], rt_min=0.15)
    f2.add_scan([310.0], [5], rt_min=0.25)
    f3 = run.add_function("a", scan_subtype=0x80, cal=rw.Cal([0.0, 1.0]), kind="REFERENCE")
    f3.add_scan([556.2771], [1000], rt_min=0.3)
    run.add_channel("Trap Pressure", units="mbar", scale_f=0.001, points=[(0.1, 1e-3), (0.2, 2e-3)])
    return run


def long_scans():
    """Many scans per function, so that damage lands inside the data:
    C and D functions of 24 scans, a channel without a samples file, the
    pusher interval given only as a cycle time, no polarity."""
    run = rw.RunBuilder(instrument="Xevo G2-XS QTof", polarity=None, pusher_interval=None,
                        pusher_cycle_time=69.0)
    f1 = run.add_function("c", cal=rw.Cal([0.0, 1.0, 1e-9]), kind="TOF MS FUNCTION",
                          sts=rw.sts_channels([("Collision Energy", [5.0 + k for k in range(24)])]))
    f2 = run.add_function("d", cal=rw.Cal([0.01, 1.0]), kind="TOF DAUGHTER FUNCTION")
    for k in range(24):
        mz = [100.0 + 40.0 * j + k for j in range(1 + k % 5)]
        f1.add_scan(mz, [10 + j for j in range(len(mz))], rt_min=0.02 * (k + 1))
        f2.add_scan(mz, [1.25 + j for j in range(len(mz))], rt_min=0.02 * (k + 1) + 0.01)
    run.add_channel("Pump B Pressure", units="psi", scale_f=2.0, points=[(0.1 * k, 100.0 + k) for k in range(12)])
    run.add_channel("Flow", units="mL/min", points=None)
    return run


def minimal():
    """One D function of two scans, no statistics, no chromatograms, no
    calibration lines, a header without instrument."""
    run = rw.RunBuilder(instrument=None, operator=None, sample_description=None)
    f1 = run.add_function("d", cal=None, kind=None)
    f1.add_scan([120.0, 240.0], [1.0, 2.0], rt_min=0.75, as_if_cal=rw.T0)
    f1.add_scan([360.0], [3.0], rt_min=0.8, as_if_cal=rw.T0)
    return run


def _names(run, mode):
    return dict((name, rw.case_variant(name, mode)) for name in run.files())


def build_all(base_dir):
    """Writes every start run below ``base_dir``; returns {name: BuiltRun}."""
    out = {}
    plans = [
        ("standard", standard, None),
        ("synapt", synapt, None),
        ("long", long_scans, None),
        ("minimal", minimal, None),
        ("lower", standard, "lower"),
        ("swapped", synapt, "swap"),
        ("prefixed", long_scans, "prefix:RUN1"),
    ]
    for name, make, mode in plans:
        run = make()
        names = _names(run, mode) if mode else None
        out[name] = run.build(os.path.join(base_dir, name + ".raw"), names=names)
    return out
