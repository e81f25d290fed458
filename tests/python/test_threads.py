"""One RawReader shared by several Python threads."""

import threading

import kestrune


def snapshot(r):
    """Everything a pass over the reader returns, failures included."""
    out = [repr(r), [repr(f) for f in r.functions], [repr(c) for c in r.channels]]
    for f in r.functions:
        n = f.index
        for s in range(r.n_scans(n) + 1):
            for method in (r.read_spectrum, r.read_ims_spectrum):
                try:
                    v = method(n, s)
                    out.append((v.mz, v.intensity, getattr(v, "drift_time_ms", None)))
                except RuntimeError as e:
                    out.append(str(e))
        out.append([r.retention_time(n, s) for s in range(r.n_scans(n))])
    for c in range(len(r.channels) + 1):
        try:
            out.append([(p.rt_min, p.value) for p in r.read_chrom(c)])
        except RuntimeError as e:
            out.append(str(e))
    return out


def test_four_threads_read_what_a_serial_pass_reads(standard_run, synapt_run):
    readers = [kestrune.RawReader(standard_run.path), kestrune.RawReader(synapt_run.path)]
    serial = [snapshot(r) for r in readers]
    results, errors = [], []
    start = threading.Barrier(4)

    def work():
        try:
            start.wait()
            for _ in range(5):
                results.append([snapshot(r) for r in readers])
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(repr(e))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert len(results) == 20
    assert all(res == serial for res in results)
