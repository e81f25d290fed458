"""Synthetic runs shared by the Python tests and the hardening tests."""

import rawwriter as rw


def standard_builder(sts=None):
    """A one-dimensional run: functions in encodings C (calibrated), A
    (calibrated), D (T0 line, MS/MS) and a C lock-mass function without a
    calibration line; two chromatogram channels; statistics for function 1
    (`sts`, by default a "Collision Energy" channel)."""
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet", polarity="ES+")
    f1 = run.add_function("c", cal=rw.Cal([1e-4, 0.99995, 2.5e-9]), mz_low=50.0, mz_high=1200.0,
                          scan_time_s=0.25, cycle_time_s=0.3, interscan_delay_s=0.015,
                          kind="TOF MS FUNCTION",
                          sts=sts or rw.sts_channels([("Collision Energy", [6.0, 6.0, 6.0])]))
    f1.add_scan([100.0, 556.2771, 1022.5], [120, 3400, 56], rt_min=0.05)
    f1.add_scan([150.5, 150.75, 1100.0], [1, 65535, 2], rt_min=0.1)
    f1.add_scan([], [], rt_min=0.15)
    f2 = run.add_function("a", cal=rw.Cal([0.0005, 1.0002]), mz_low=100.0, mz_high=2000.0,
                          kind="TOF PARENT FUNCTION")
    f2.add_scan([101.25, 400.5, 1999.0], [10, 20, 30], rt_min=0.2)
    f2.add_scan([333.3], [7], rt_min=0.4)
    f3 = run.add_function("d", cal=rw.Cal([], "T0"), kind="TOF MSMS FUNCTION")
    f3.add_scan([75.25, 500.0, 1234.5678], [1.5, 2.25, 1000.0], rt_min=0.3)
    f3.add_scan([80.0], [0.5], rt_min=0.6)
    f4 = run.add_function("c", scan_subtype=0x92, cal=None, mz_low=500.0, mz_high=600.0,
                          kind="REFERENCE FUNCTION")
    f4.add_scan([556.2771], [999], rt_min=0.5, as_if_cal=rw.T0)
    run.add_channel("Pump A Pressure", units="bar", scale_f=0.1, source_type=4,
                    points=[(0.0, 250.03125), (0.5, 251.5), (1.0, -0.0)])
    run.add_channel("Column Temp", units="C", scale_f=1.0, source_type=1,
                    points=[(0.25, 40.0)])
    return run


def synapt_builder():
    """A SYNAPT run: an ion-mobility function (B), a one-dimensional A
    function and an A lock-mass function."""
    run = rw.RunBuilder(instrument="SYNAPT G2-Si", lteff=1800.0, veff=7200.0, polarity="ES-")
    f1 = run.add_function("b", cal=rw.Cal([0.001, 1.0001]), mz_low=50.0, mz_high=2000.0,
                          scan_time_s=0.1, kind="TOF MS FUNCTION")
    f1.add_scan([200.0, 400.0, 400.0, 1500.0], [5, 10, 15, 20], drift_ms=[1.0, 25.0, 50.0, 99.0],
                rt_min=0.1)
    f1.add_scan([], [], rt_min=0.2)
    f2 = run.add_function("a", cal=rw.Cal([0.0, 1.0]), kind="TOF MSMS FUNCTION")
    f2.add_scan([300.0, 600.0], [3, 4], rt_min=0.15)
    f2.add_scan([310.0], [5], rt_min=0.25)
    f3 = run.add_function("a", scan_subtype=0x80, cal=rw.Cal([0.0, 1.0]), kind="REFERENCE")
    f3.add_scan([556.2771], [1000], rt_min=0.3)
    return run
