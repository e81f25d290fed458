"""kestrune_data's scan iteration against its floors, side by side in one run.

Usage (from the project root, after building with -Dbenchmarks=true and
``ninja -C build bench/bench_cursor``)::

    PYTHONPATH=build/binding /usr/bin/python3 bench/bench_data.py [--scans N] [--repeat R]
    PYTHONPATH=build/binding/pypy pypy3 bench/bench_data.py

Writes a synthetic run of two Encoding C functions of N scans each (default
1500) of 2,000 to 20,000 points (11,000 on average), then times, each the
best of R rounds (default 5) on the warm page cache:

- the C++ floor: build/bench/bench_cursor, a ScanCursor loop over function 1
  through the public API, touching ``scan.mz.size()``;
- ``for scan in run.scans(1): len(scan.mz)`` (target: at least 0.8 of the
  C++ loop's throughput);
- the same loop with ``RawReader.read_spectrum(1, s)`` and ``len(spec.mz)``
  (target: run.scans at least 5 times faster);
- two threads iterating functions 1 and 2 against one thread iterating both
  (target: at most 0.65 of its time on 2 cores), the two measured in turns;
  the same for run.tic(), which runs without the interpreter lock, shows
  what the machine's cores give at the time;
- ``numpy.asarray(scan.mz)`` on two calls (target: the same address, no
  copy), and run.xic() against the same sums in NumPy over run.scans().

Not part of the test run.
"""

import argparse
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import kestrune  # noqa: E402
import kestrune_data  # noqa: E402
import rawwriter as rw  # noqa: E402

try:
    import numpy
except ImportError:  # PyPy
    numpy = None

TEMPLATES = 12


def build_run(path, scans, rng):
    """Two Encoding C functions of `scans` scans each, from TEMPLATES
    templates of 2,000 to 20,000 points; returns the built run and its bytes
    of scan data."""
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    cal = rw.Cal([1e-4, 0.99995, 2.5e-9])
    f1 = run.add_function("c", cal=cal, mz_low=50.0, mz_high=2000.0, kind="TOF MS FUNCTION")
    run.add_function("c", cal=cal, mz_low=50.0, mz_high=2000.0, kind="TOF MSMS FUNCTION")
    templates = []
    for k in range(TEMPLATES):
        n = 2000 + (18000 * k) // (TEMPLATES - 1)
        mz = sorted(rng.uniform(60.0, 1990.0) for _ in range(n))
        intensity = [rng.randint(1, 60000) for _ in mz]
        templates.append(f1.add_scan(mz, intensity, rt_min=0.0).data)
    f1.scans = []
    built = run.build(path, check=False)
    order = [rng.randrange(TEMPLATES) for _ in range(scans)]
    for n in (1, 2):
        index, offset = [], 0
        with open(os.path.join(path, "_FUNC%03d.DAT" % n), "wb") as dat:
            for s, t in enumerate(order):
                data = templates[t]
                dat.write(data)
                index.append((offset, s * 0.01))
                offset += len(data)
        with open(os.path.join(path, "_FUNC%03d.IDX" % n), "wb") as idx:
            idx.write(rw.index_b(index))
    return built, 2 * offset


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def iterate(run, function):
    points = 0
    for scan in run.scans(function):
        points += len(scan.mz)
    return points


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scans", type=int, default=1500, help="scans per function")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--cursor", default=os.path.join("build", "bench", "bench_cursor"),
                    help="the C++ floor (ninja -C build bench/bench_cursor)")
    args = ap.parse_args()
    if not os.path.exists(args.cursor):
        raise SystemExit("%s missing: meson configure build -Dbenchmarks=true && ninja -C build bench/bench_cursor"
                         % args.cursor)

    tmp = tempfile.mkdtemp(prefix="kestrune-bench-data-")
    try:
        built, size = build_run(os.path.join(tmp, "bench.raw"), args.scans, random.Random(20240611))
        n = args.scans
        run = kestrune_data.open(built.path)
        reader = kestrune.RawReader(built.path)
        points = iterate(run, 1)
        iterate(run, 2)  # and the page cache is warm
        print("%s %s; run: 2 functions x %d scans, %.0f points a scan on average, %.0f MiB of scan data; "
              "best of %d" % (platform.python_implementation(), platform.python_version(), n, points / n,
                              size / 2 ** 20, args.repeat))

        out = subprocess.run([args.cursor, built.path, "1", str(args.repeat)], check=True,
                             stdout=subprocess.PIPE).stdout.decode().split()
        t_cpp = float(out[5])
        assert int(out[1]) == n and int(out[3]) == points, out
        t_py = best(lambda: iterate(run, 1), args.repeat)

        def raw_reader_loop():
            for s in range(n):
                len(reader.read_spectrum(1, s).mz)
        t_raw = best(raw_reader_loop, max(1, args.repeat // 2))

        def one_thread(work):
            work(1)
            work(2)

        def two_threads(work):
            threads = [threading.Thread(target=work, args=(f,)) for f in (1, 2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        def one_against_two(work):
            """Best times of one thread doing both functions and of two
            threads doing one each, measured in turns so that both see the
            same machine (other processes take cores too)."""
            one, two = [], []
            for _ in range(args.repeat):
                one.append(best(lambda: one_thread(work), 1))
                two.append(best(lambda: two_threads(work), 1))
            return min(one), min(two)

        t_one, t_two = one_against_two(lambda f: iterate(run, f))
        # The same for run.tic(), which holds the interpreter lock for no
        # part of its pass: what the machine's cores give at the moment.
        t_one_tic, t_two_tic = one_against_two(lambda f: run.tic(f))

        def rate(t):
            return "%8.3f s %9.0f scans/s %7.0f Mpoints/s" % (t, n / t, points / t / 1e6)

        print("%-44s %s" % ("C++ ScanCursor loop (bench_cursor)", rate(t_cpp)))
        print("%-44s %s   %.2f of C++ (target >= 0.8)" % ("run.scans(1), len(scan.mz)", rate(t_py), t_cpp / t_py))
        print("%-44s %s   run.scans %.1fx faster (target >= 5)" % (
            "RawReader.read_spectrum loop", rate(t_raw), t_raw / t_py))
        print("%-44s %8.3f s" % ("one thread: run.scans(1) then run.scans(2)", t_one))
        print("%-44s %8.3f s   %.2f of one thread (target <= 0.65)" % (
            "two threads: run.scans(1) | run.scans(2)", t_two, t_two / t_one))
        print("%-44s %8.3f s   %.2f of one thread (%.3f s), for reference" % (
            "two threads: run.tic(1) | run.tic(2)", t_two_tic, t_two_tic / t_one_tic, t_one_tic))

        scan = run.read_scan(1, 0)
        if numpy is not None:
            first, second = numpy.asarray(scan.mz), numpy.asarray(scan.mz)
            same = first.__array_interface__["data"][0] == second.__array_interface__["data"][0]
            calls = 100000
            t_asarray = best(lambda: [numpy.asarray(scan.mz) for _ in range(calls)], 3) / calls
            print("%-44s same address: %s, %.2f us a call for %d points (target: no copy)" % (
                "numpy.asarray(scan.mz) twice", "yes" if same else "NO", t_asarray * 1e6, len(scan)))

            def numpy_xic():
                out = []
                for s in run.scans(1):
                    mz, intensity = numpy.asarray(s.mz), numpy.asarray(s.intensity)
                    tol = 556.2771 * 10.0 * 1e-6
                    keep = (mz >= 556.2771 - tol) & (mz <= 556.2771 + tol)
                    out.append(numpy.sum(intensity[keep], dtype=numpy.float64))
                return out
            t_xic = best(lambda: run.xic(1, 556.2771), args.repeat)
            t_np = best(numpy_xic, args.repeat)
            equal = run.xic(1, 556.2771)[1].tolist() == [float(v) for v in numpy_xic()]
            print("%-44s %8.3f s   NumPy over run.scans: %.3f s; equal: %s" % (
                "run.xic(1, 556.2771) in C++", t_xic, t_np, "yes" if equal else "NO"))
        else:
            view = memoryview(scan.mz)
            print("%-44s %s, %d points (no NumPy here)" % (
                "memoryview(scan.mz)", "a view of the array" if view.obj is scan.mz else "NOT a view", len(view)))
        run.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
