"""Shared pieces of the hardening tests: the module under test comes from
PYTHONPATH (the test command points it at the build); runs are written by
tests/python/rawwriter.py through runs.py."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import runs  # noqa: E402,F401  (puts rawwriter on sys.path)


def pytest_configure(config):
    config.addinivalue_line("markers", "asan: needs the AddressSanitizer build of the module (KESTRUNE_ASAN_BUILD)")


def report_dir():
    """Directory for summary files (KESTRUNE_HARDENING_REPORTS), or None."""
    path = os.environ.get("KESTRUNE_HARDENING_REPORTS")
    if path:
        os.makedirs(path, exist_ok=True)
    return path or None


def write_report(name, text):
    d = report_dir()
    if d:
        with open(os.path.join(d, name), "w") as fh:
            fh.write(text + "\n")


@pytest.fixture
def show(capsys):
    """Prints past pytest's output capture (summaries belong in the log)."""
    def _show(text):
        with capsys.disabled():
            sys.stdout.write("\n" + text + "\n")
    return _show
