"""One Run shared by threads: reads in parallel give what a serial pass
gives, and close() racing the reads ends them cleanly."""

import threading

import kestrune_data

from .support import rw


def many_scans_builder():
    """Two functions of 60 scans of 200 points."""
    run = rw.RunBuilder()
    for n in (1, 2):
        f = run.add_function("c", cal=rw.Cal([0.0, 1.0]), mz_low=50.0, mz_high=1500.0)
        for s in range(60):
            f.add_scan([100.0 + 6.0 * k + s * 0.01 * n for k in range(200)],
                       [1 + (k * 13 + s + n) % 900 for k in range(200)], rt_min=0.01 * (s + 1))
    return run


def snapshot(run, function):
    """What one pass over a function gives."""
    scans = [(s.index, s.rt_min, bytes(memoryview(s.mz)), bytes(memoryview(s.intensity)))
             for s in run.scans(function)]
    singles = [bytes(memoryview(run.read_scan(function, i).mz)) for i in range(0, 60, 7)]
    return scans, singles, run.tic(function)[1].tolist(), run.xic(function, 400.0)[1].tolist()


def run_threads(count, work):
    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(repr(e))

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads)
    return errors


def test_threads_sharing_a_run_read_what_a_serial_pass_reads(tmp_path):
    built = many_scans_builder().build(str(tmp_path / "many.raw"))
    with kestrune_data.open(built.path) as run:
        serial = {f: snapshot(run, f) for f in (1, 2)}
        results = []
        start = threading.Barrier(4)

        def work(k):
            start.wait()
            for _ in range(3):
                f = 1 + k % 2
                results.append((f, snapshot(run, f)))

        assert run_threads(4, work) == []
        assert len(results) == 12
        assert all(got == serial[f] for f, got in results)

        # Threads sharing one iterator take turns: each scan goes to one of them.
        it = run.scans(1)
        taken = [[] for _ in range(3)]
        assert run_threads(3, lambda k: taken[k].extend(s.index for s in it)) == []
        assert sorted(sum(taken, [])) == list(range(60))


def test_close_racing_reads_ends_them_with_value_error(tmp_path):
    built = many_scans_builder().build(str(tmp_path / "many.raw"))
    with kestrune_data.open(built.path) as probe:
        want = {s.index: bytes(memoryview(s.mz)) for s in probe.scans(2)}
    for round_ in range(5):
        run = kestrune_data.open(built.path)
        started = threading.Barrier(5)
        outcomes = []

        def work(k):
            started.wait()
            try:
                while True:
                    if k % 2:
                        for s in run.scans(2):
                            assert bytes(memoryview(s.mz)) == want[s.index]
                    else:
                        s = run.read_scan(2, k * 7)
                        assert bytes(memoryview(s.mz)) == want[k * 7]
                        run.tic(2)
            except ValueError:  # closed under it: the expected end
                outcomes.append("closed")

        def closer(_):
            started.wait()
            for _ in range(round_ * 200):
                pass
            run.close()

        errors = run_threads(5, lambda k: closer(k) if k == 4 else work(k))
        assert errors == [] and outcomes == ["closed"] * 4
        assert run.closed
