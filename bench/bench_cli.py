"""Export and QC-report speed and memory of the ``kestrune`` command-line tool.

Writes a synthetic run of the requested size of scan data (an Encoding C
function plus a small lock-mass function), then times ``kestrune export``
with zlib compression, without it, and with lock-mass correction, then
``kestrune qc``, and reports wall time, throughput and peak memory of each
(and the size of the QC report). Not part of the test run.

    KESTRUNE_CLI=build/cli/kestrune /usr/bin/python3 bench/bench_cli.py --size-mb 1024
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))

import rawwriter as rw  # noqa: E402

PEAKS_PER_SCAN = 4000
TEMPLATES = 8


def build_run(path, size_mb, rng):
    """A run whose _FUNC001.DAT holds about size_mb MiB of scan data."""
    run = rw.RunBuilder(instrument="XEVO-G2XSQTOF#NotSet")
    f1 = run.add_function("c", cal=rw.Cal([1e-4, 0.99995, 2.5e-9]), mz_low=50.0, mz_high=2000.0,
                          kind="TOF MS FUNCTION")
    templates = []
    for _ in range(TEMPLATES):
        mz = sorted(rng.uniform(60.0, 1990.0) for _ in range(PEAKS_PER_SCAN))
        intensity = [rng.randint(1, 60000) for _ in mz]
        templates.append(f1.add_scan(mz, intensity, rt_min=0.0).data)
    f1.scans = []
    f2 = run.add_function("c", lock_mass=True, cal=rw.Cal([1e-4, 0.99995, 2.5e-9]), mz_low=500.0,
                          mz_high=600.0, kind="REFERENCE FUNCTION")
    scan_bytes = len(templates[0])
    n_scans = max(2, size_mb * 1024 * 1024 // scan_bytes)
    lock_every = 100
    for k in range(n_scans // lock_every + 1):
        f2.add_scan([556.2771 * (1 + rng.uniform(-20e-6, 20e-6))], [5000], rt_min=k * lock_every * 0.001)
    built = run.build(path, check=False)
    # The big function is written here directly, template by template.
    index = []
    with open(os.path.join(path, "_FUNC001.DAT"), "wb") as dat:
        offset = 0
        for s in range(n_scans):
            data = templates[s % TEMPLATES]
            dat.write(data)
            index.append((offset, s * 0.001))
            offset += len(data)
    with open(os.path.join(path, "_FUNC001.IDX"), "wb") as idx:
        idx.write(rw.index_b(index))
    return built, n_scans, offset


def timed(cmd):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if status != 0:
        raise SystemExit("%s failed:\n%s" % (" ".join(cmd), err))
    return elapsed, usage.ru_maxrss / 1024.0, err


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=int, default=1024, help="scan data to write (MiB)")
    ap.add_argument("--cli", default=os.environ.get("KESTRUNE_CLI", "build/cli/kestrune"))
    ap.add_argument("--dir", default=None, help="work directory (default: a temporary one)")
    args = ap.parse_args()
    work = args.dir or tempfile.mkdtemp(prefix="kestrune-bench-")
    try:
        t0 = time.perf_counter()
        run_dir = os.path.join(work, "bench.raw")
        _, n_scans, n_bytes = build_run(run_dir, args.size_mb, random.Random(20240611))
        print("run: %d scans, %.1f MiB of scan data (written in %.1f s)"
              % (n_scans, n_bytes / 2 ** 20, time.perf_counter() - t0))
        out = os.path.join(work, "out.mzML")
        cases = [("zlib", []), ("no compression", ["--no-compress"]),
                 ("zlib + lock mass", ["--lockmass", "556.2771"])]
        for name, extra in cases:
            elapsed, rss_mb, _ = timed([args.cli, "export", run_dir, "-o", out] + extra)
            size = os.path.getsize(out)
            print("%-18s %7.2f s  %7.1f MiB/s of scan data  %8.1f scans/s  peak RSS %6.1f MiB  output %.1f MiB"
                  % (name, elapsed, n_bytes / 2 ** 20 / elapsed, n_scans / elapsed, rss_mb, size / 2 ** 20))
            os.remove(out)
        report = os.path.join(work, "report.html")
        elapsed, rss_mb, _ = timed([args.cli, "qc", run_dir, "-o", report, "--mzqc", report + ".mzQC"])
        print("%-18s %7.2f s  %7.1f MiB/s of scan data  %8.1f scans/s  peak RSS %6.1f MiB  report %.2f MiB"
              % ("qc", elapsed, n_bytes / 2 ** 20 / elapsed, n_scans / elapsed, rss_mb,
                 os.path.getsize(report) / 2 ** 20))
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
