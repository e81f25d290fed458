"""Shared fixtures and helpers of the kestrune pytest suite.

The module under test is imported from PYTHONPATH (the test command puts
the freshly built extension there); runs are written by rawwriter.
"""

import decimal
import math
import os
import platform
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import rawwriter as rw  # noqa: E402
from sample_runs import standard_builder, synapt_builder  # noqa: E402,F401 (shared with the other suites)

IS_PYPY = platform.python_implementation() == "PyPy"


# ---------------------------------------------------------------------------
# texts as the library writes them


def plain(x):
    """Plain form of a 64-bit float: shortest round-trip digits, no exponent."""
    x = float(x)
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(decimal.Decimal(repr(x)).normalize(), "f")


def plain32(x):
    """Plain form of a 32-bit float value (shortest digits reading back to it)."""
    x = rw.f32(x)
    if x != x or math.isinf(x):
        return plain(x)
    for digits in range(1, 10):
        text = "%.*g" % (digits, x)
        if rw.f32(float(text)) == x:
            return format(decimal.Decimal(text).normalize(), "f")
    raise AssertionError("no shortest form for %r" % x)


def fixed(x, decimals):
    """Fixed point of the exact binary value, ties to even, sign kept."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    with decimal.localcontext() as ctx:
        ctx.prec = 1200
        q = decimal.Decimal(1).scaleb(-decimals)
        return format(decimal.Decimal(x).quantize(q, rounding=decimal.ROUND_HALF_EVEN), "f")


def same_floats(got, want):
    """Element-wise equality of two float lists, NaN equal to NaN."""
    assert len(got) == len(want), (len(got), len(want))
    for i, (g, w) in enumerate(zip(got, want)):
        assert g == w or (g != g and w != w), "element %d: %r != %r" % (i, g, w)


def io_text(errno_value):
    """Display text of an I/O error with an OS error number."""
    return "I/O error: %s (os error %d)" % (os.strerror(errno_value), errno_value)


def raises_runtime(text, fn, *args, **kwargs):
    """Calls fn and checks that it raises RuntimeError with exactly ``text``."""
    with pytest.raises(RuntimeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is RuntimeError
    assert info.value.args == (text,)
    return info.value


# ---------------------------------------------------------------------------
# subprocesses (the logging bridge keeps per-process state)


def run_python(code, *args):
    """Runs ``code`` in a fresh interpreter of the same kind, with the same
    PYTHONPATH; returns its stdout; fails the test on a non-zero exit."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([HERE] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=120)
    assert proc.returncode == 0, "exit %d\n--- stdout\n%s\n--- stderr\n%s" % (
        proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace"))
    return proc.stdout.decode()


# ---------------------------------------------------------------------------
# runs


@pytest.fixture
def run_path(tmp_path):
    """Path text of a run directory to build into."""
    return str(tmp_path / "run.raw")


@pytest.fixture(scope="session")
def standard_run(tmp_path_factory):
    """Read-only standard run, shared by the whole session."""
    return standard_builder().build(str(tmp_path_factory.mktemp("std") / "standard.raw"))


@pytest.fixture(scope="session")
def synapt_run(tmp_path_factory):
    return synapt_builder().build(str(tmp_path_factory.mktemp("syn") / "synapt.raw"))
