"""Shared pieces of the command-line tool's end-to-end tests (import as `support`).

The binary under test comes from the environment variable KESTRUNE_CLI (the
test command points it at the build); runs are written by the synthetic run
writer of tests/python. Without KESTRUNE_CLI the suite refuses to run
rather than skipping.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PYTHON_TESTS = os.path.join(ROOT, "tests", "python")
if PYTHON_TESTS not in sys.path:
    sys.path.insert(0, PYTHON_TESTS)

import rawwriter as rw  # noqa: E402,F401
from sample_runs import standard_builder, synapt_builder  # noqa: E402,F401

SAMPLE = os.path.join(ROOT, "examples", "sample.raw")
VOCAB = os.path.join(os.path.dirname(ROOT), "shared", "vocab")

CLI = os.environ.get("KESTRUNE_CLI")
if not CLI:
    raise pytest.UsageError("KESTRUNE_CLI must name the kestrune binary under test")
CLI = os.path.abspath(CLI)
