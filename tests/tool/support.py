"""Shared pieces of the command-line tool's end-to-end tests (import as `support`).

The binary under test comes from the environment variable KESTRUNE_CLI (the
test command points it at the build); runs are written by the synthetic run
writer of tests/python. Without KESTRUNE_CLI the suite refuses to run
rather than skipping.
"""

import base64
import os
import struct
import sys
import zlib
import xml.etree.ElementTree as ET

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

NS = {"m": "http://psi.hupo.org/ms/mzml"}


def cv(element, accession):
    for p in element.iter("{%s}cvParam" % NS["m"]):
        if p.get("accession") == accession:
            return p
    return None


def arrays(element):
    """{array accession or name: list of values} of a spectrum or chromatogram."""
    out = {}
    for bda in element.findall("m:binaryDataArrayList/m:binaryDataArray", NS):
        acc = [p.get("accession") for p in bda.findall("m:cvParam", NS)]
        raw = base64.b64decode(bda.find("m:binary", NS).text or "")
        assert int(bda.get("encodedLength")) == len(bda.find("m:binary", NS).text or "")
        if "MS:1000574" in acc:
            raw = zlib.decompress(raw) if raw else raw  # an empty array is written as no bytes at all
        else:
            assert "MS:1000576" in acc
        fmt = "d" if "MS:1000523" in acc else "f"
        values = list(struct.unpack("<%d%s" % (len(raw) // struct.calcsize(fmt), fmt), raw))
        kind = [a for a in acc if a not in ("MS:1000523", "MS:1000521", "MS:1000574", "MS:1000576")]
        out[kind[0]] = values
    return out


class Mzml(object):
    """An exported file: raw bytes plus the parsed tree."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as fh:
            self.data = fh.read()
        self.root = ET.fromstring(self.data)
        self.mzml = self.root.find("m:mzML", NS)
        self.run = self.mzml.find("m:run", NS)

    def spectra(self):
        return self.run.findall("m:spectrumList/m:spectrum", NS)

    def chromatograms(self):
        return self.run.findall("m:chromatogramList/m:chromatogram", NS)
