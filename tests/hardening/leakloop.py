"""Opens and reads runs over and over in one process; the leak checks run
it under valgrind, under LeakSanitizer, or watch its memory.

    python3 leakloop.py ITERATIONS WARMUP RUN [RUN...] [--fail-run PATH] [--plant-leak BYTES]

Iteration i opens RUN number i modulo the number of RUNs and reads all of
it (properties, attributes, every spectrum, IMS spectra, chromatograms,
scans and channels out of range), then takes the failure paths of the
constructor (a missing directory, runs that fail to open half-way:
--fail-run).  Warnings of the library go through the logging bridge into a
handler that formats and drops them.  --plant-leak loses one block of
malloc memory on purpose, outside the module (proof that the leak detector
is awake).  Prints one JSON line with the resident size and
glibc's bytes in use after the warm-up and at the end.
"""

import ctypes
import gc
import json
import logging
import os
import sys

import kestrune


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes handed out by glibc malloc (mallinfo2), or None without it."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2
    info = fn()
    return info.uordblks + info.hblkhd


class _Format(logging.Handler):
    """Formats every forwarded record (the logging bridge is part of what
    is checked) and drops it."""

    def emit(self, record):
        record.getMessage()


def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect_runtime_error(fn, *args):
    try:
        fn(*args)
    except RuntimeError:
        return
    raise AssertionError("no RuntimeError from %r%r" % (fn, args))


def read_all(path):
    r = kestrune.RawReader(path)
    repr(r)
    h = r.header
    (h.version, h.acquired_name, h.acquired_date, h.acquired_time, h.instrument, h.operator,
     h.sample_description, repr(h))
    r.polarity
    for f in r.functions:
        (f.index, f.function_type, f.scan_subtype, f.cycle_time_s, f.interscan_delay_s, f.scan_time_s,
         f.tof_depth, f.mz_low, f.mz_high, f.is_lock_mass, repr(f))
        n = f.index
        r.ms_level(n)
        ims = r.function_encoding(n) == "b"
        count = r.n_scans(n)
        for s in range(count):
            r.retention_time(n, s)
            sp = r.read_spectrum(n, s)
            (sp.mz, sp.intensity, len(sp), repr(sp))
            if ims:
                x = r.read_ims_spectrum(n, s)
                (x.mz, x.drift_time_ms, x.intensity, len(x), repr(x))
            else:
                expect_runtime_error(r.read_ims_spectrum, n, s)
        expect_runtime_error(r.retention_time, n, count)
        expect_runtime_error(r.read_spectrum, n, count)
    expect_runtime_error(r.n_scans, 0)
    expect_runtime_error(r.read_spectrum, 0, 0)
    channels = r.channels
    for c in channels:
        (c.index, c.source_type, c.name, c.scale_f, c.units, repr(c))
        try:
            for p in r.read_chrom(c.index):
                (p.rt_min, p.value, repr(p))
        except RuntimeError:
            pass  # a channel without a samples file
    expect_runtime_error(r.read_chrom, len(channels) + 50)


def iteration(i, paths, fail_runs):
    read_all(paths[i % len(paths)])
    for p in fail_runs:
        expect_runtime_error(kestrune.RawReader, p)
    expect_runtime_error(kestrune.RawReader, "/nonexistent/kestrune/run.raw")


def main(argv):
    fail_runs = []
    args = []
    it = iter(argv)
    for a in it:
        if a == "--fail-run":
            fail_runs.append(next(it))
        elif a == "--plant-leak":
            malloc = ctypes.CDLL(None).malloc
            malloc.restype = ctypes.c_void_p
            malloc.argtypes = [ctypes.c_size_t]
            ctypes.memset(malloc(int(next(it))), 0x5A, 1)
        else:
            args.append(a)
    iterations, warmup, paths = int(args[0]), int(args[1]), args[2:]
    log = logging.getLogger("kestrune")
    log.setLevel(logging.WARNING)
    log.propagate = False
    log.addHandler(_Format())
    for i in range(warmup):
        iteration(i, paths, fail_runs)
    gc.collect()
    start = {"rss": rss(), "malloc": malloc_in_use()}
    for i in range(iterations):
        iteration(i, paths, fail_runs)
    gc.collect()
    end = {"rss": rss(), "malloc": malloc_in_use()}
    print(json.dumps({"iterations": iterations, "start": start, "end": end}))


if __name__ == "__main__":
    main(sys.argv[1:])
