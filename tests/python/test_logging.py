"""The logging bridge, each case in a fresh interpreter: the bridge caches
per-target loggers and levels for the life of the process."""

import json
import os

import rawwriter as rw
from conftest import run_python

CAPTURE = """
import json, logging, sys
import kestrune

records = []

class Capture(logging.Handler):
    def emit(self, rec):
        records.append({"name": rec.name, "levelno": rec.levelno, "msg": rec.getMessage(),
                        "pathname": rec.pathname, "lineno": rec.lineno, "args": list(rec.args),
                        "exc": rec.exc_info is not None, "func": rec.funcName})

def read_all(path):
    r = kestrune.RawReader(path)
    for f in r.functions:
        for s in range(r.n_scans(f.index)):
            r.read_spectrum(f.index, s)
    return r
"""


def logging_run(path, pusher_interval, index_330):
    """Function 1 (A, calibrated), function 2 (C, no calibration line); the
    settings file under a prefixed name, the function table lower-case."""
    run = rw.RunBuilder(pusher_interval=pusher_interval)
    f1 = run.add_function("a", cal=rw.Cal([0.0, 1.0]))
    for k in range(15 if index_330 else 2):
        f1.add_scan([100.0 + k], [k + 1])
    f2 = run.add_function("c", cal=None, mz_low=100.0, mz_high=1000.5)
    f2.add_scan([200.0], [1], as_if_cal=rw.T0)
    return run.build(path, names={"_extern.inf": "RUN1_extern.inf", "_FUNCTNS.INF": "_functns.inf"})


def test_debug_records_reach_python_with_their_call_site(tmp_path):
    built = logging_run(str(tmp_path / "run.raw"), None, True)
    p = built.path + os.sep
    os.mkdir(os.path.join(built.path, "sub"))
    out = run_python(CAPTURE + """
logger = logging.getLogger("kestrune")
logger.setLevel(1)   # even more verbose than DEBUG: Trace still never arrives
logger.addHandler(Capture())
logger.propagate = False
read_all(sys.argv[1])
first = list(records)
kestrune.RawReader(sys.argv[2])
print(json.dumps([first, records[-1]["msg"]]))
""", p, os.path.join(built.path, "sub", ".."))
    records, last = json.loads(out)
    assert last == "opened bundle.raw: 2 of 2 functions readable"
    dat1, dat2 = [os.path.getsize(built.file(rw.function_file_name(n, ".DAT"))) for n in (1, 2)]
    expected = [
        ("kestrune.reader", 10, "opening %s" % p),
        ("kestrune.reader", 10, "_extern.inf: using prefixed %sRUN1_extern.inf" % p),
        ("kestrune.raw.extern_inf", 10, "_extern.inf: no numeric PusherInterval or Pusher Cycle Time"),
        ("kestrune.reader", 10, 'instrument "XEVO-G2XSQTOF#NotSet"; Lteff 1800 mm, Veff 7200 V, '
                                'pusher interval absent; 2 functions in _FUNCTNS.INF; '
                                'T1 calibration for functions [1]'),
        ("kestrune.raw.index", 10,
         "_FUNCnnn.IDX: 330 bytes fits both strides; record markers select 22-byte Variant A"),
        ("kestrune.reader", 10, "function 1: no STS file"),
        ("kestrune.reader", 10, "function 1: 15 scans, m/z 50-1200, subtype 0x12, encoding A "
                                "(22-byte index, 6-byte records), calibration T1 with 2 coefficients, "
                                "DAT %d bytes" % dat1),
        ("kestrune.reader", 30, "function 2: no Cal Function line in _HEADER.TXT; m/z is uncalibrated"),
        ("kestrune.reader", 10, "function 2: no STS file"),
        ("kestrune.reader", 10, 'function 2: 1 scans, m/z 100-1000.5, subtype 0x12, encoding C '
                                '(30-byte index, instrument "XEVO-G2XSQTOF#NotSet" is not SYNAPT), '
                                'calibration T0 with 0 coefficients, DAT %d bytes' % dat2),
        ("kestrune.reader", 10, "opened run.raw: 2 of 2 functions readable"),
    ]
    assert [(r["name"], r["levelno"], r["msg"]) for r in records] == expected
    sources = {"kestrune.reader": ("src/reader/reader.cpp", "src/reader/lookup.cpp"),
               "kestrune.raw.index": ("src/raw/index.cpp",),
               "kestrune.raw.extern_inf": ("src/raw/extern_inf.cpp",)}
    for r in records:
        assert r["pathname"] in sources[r["name"]], r
        assert r["lineno"] > 0
        assert (r["args"], r["exc"], r["func"]) == ([], False, None)


def test_levels_are_cached_per_target_at_the_first_record(tmp_path):
    first = logging_run(str(tmp_path / "first.raw"), 64.0, False)
    second = logging_run(str(tmp_path / "second.raw"), None, True)
    out = run_python(CAPTURE + """
logger = logging.getLogger("kestrune")
logger.addHandler(Capture())   # logger level unset: WARNING from the root
read_all(sys.argv[1])
before = list(records)
logger.setLevel(logging.DEBUG)
del records[:]
read_all(sys.argv[2])
print(json.dumps([before, records]))
""", first.path, second.path)
    before, after = json.loads(out)
    warn = "function 2: no Cal Function line in _HEADER.TXT; m/z is uncalibrated"
    assert [(r["name"], r["levelno"], r["msg"]) for r in before] == [("kestrune.reader", 30, warn)]
    # kestrune.reader was cached at WARNING; the two other targets log their
    # first record only now, after the level change.
    assert [(r["name"], r["levelno"]) for r in after] == [
        ("kestrune.raw.extern_inf", 10), ("kestrune.raw.index", 10), ("kestrune.reader", 30)]
    assert after[2]["msg"] == warn


def test_failing_handler_or_make_record_does_not_interrupt_the_operation(tmp_path):
    built = logging_run(str(tmp_path / "run.raw"), None, True)
    out = run_python(CAPTURE + """
calls = {"make": 0, "emit": 0}

def failing_make_record(*args, **kwargs):
    calls["make"] += 1
    raise ValueError("makeRecord fails")

class Failing(logging.Handler):
    def emit(self, rec):
        calls["emit"] += 1
        raise RuntimeError("handler fails")

logging.getLogger("kestrune.reader").makeRecord = failing_make_record
logger = logging.getLogger("kestrune")
logger.setLevel(logging.DEBUG)
logger.addHandler(Failing())
r = read_all(sys.argv[1])
r = read_all(sys.argv[1])
assert sys.exc_info() == (None, None, None)
print(json.dumps([calls, [f.index for f in r.functions], r.read_spectrum(2, 0).intensity]))
""", built.path)
    calls, functions, intensity = json.loads(out)
    assert calls["make"] >= 2 and calls["emit"] >= 2
    assert functions == [1, 2] and intensity == [1.0]
