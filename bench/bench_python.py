"""Cost of RawReader.read_spectrum as seen from Python, against a floor.

Usage (from the project root, after building)::

    PYTHONPATH=build/binding /usr/bin/python3 bench/bench_python.py [--peaks N] [--repeat R]
    PYTHONPATH=build/binding/pypy pypy3 bench/bench_python.py

For each one-dimensional encoding (A, C, D) it writes a run whose scans hold
N peaks (default 20000) and times ``read_spectrum(f, s)`` followed by reading
``.mz`` and ``.intensity``.  The floor is the cheapest way Python itself
builds the same two lists from the same values:
``array.array("d", mz).tolist()`` plus ``array.array("f", intensity).tolist()``.
Both timings are the best of R rounds (default 15); the ratio is
read / floor.  The target under CPython is a ratio of at most 1.5.

Not part of the test run.
"""

import argparse
import array
import os
import platform
import shutil
import sys
import tempfile
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import kestrune  # noqa: E402
import rawwriter as rw  # noqa: E402

SCANS = 4


def build_run(path, peaks):
    run = rw.RunBuilder()
    for encoding in "acd":
        f = run.add_function(encoding, cal=rw.Cal([1e-4, 0.99995, 2.5e-9]), mz_low=50.0, mz_high=2000.0)
        for s in range(SCANS):
            step = 1900.0 / peaks
            mz = [60.0 + step * k + 0.001 * s for k in range(peaks)]
            intensity = [1 + (k * 7919 + s) % 5000 for k in range(peaks)]
            f.add_scan(mz, intensity)
    return run.build(path)


def best(fn, number, repeat):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--peaks", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=15)
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="kestrune-bench-")
    try:
        built = build_run(os.path.join(tmp, "bench.raw"), args.peaks)
        r = kestrune.RawReader(built.path)
        print("%s %s, %d peaks per scan, best of %d" % (
            platform.python_implementation(), platform.python_version(), args.peaks, args.repeat))
        print("%-9s %14s %14s %7s" % ("encoding", "read (us)", "floor (us)", "ratio"))
        for f in r.functions:
            n = f.index
            first = r.read_spectrum(n, 0)
            if len(first) != args.peaks:
                raise SystemExit("function %d decoded %d peaks, expected %d" % (n, len(first), args.peaks))
            mz, intensity = first.mz, first.intensity
            scans = [s % SCANS for s in range(SCANS)]

            def read():
                for s in scans:
                    spec = r.read_spectrum(n, s)
                    spec.mz
                    spec.intensity

            def floor():
                for _ in scans:
                    array.array("d", mz).tolist()
                    array.array("f", intensity).tolist()

            number = max(1, 200000 // args.peaks)
            t_read = best(read, number, args.repeat) / len(scans)
            t_floor = best(floor, number, args.repeat) / len(scans)
            print("%-9s %14.1f %14.1f %7.2f" % (r.function_encoding(n), t_read * 1e6, t_floor * 1e6,
                                                t_read / t_floor))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
