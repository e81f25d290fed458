"""The bundled sample run and the quickstart script."""

import logging
import os
import runpy
import sys

import kestrune

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


def test_committed_sample_is_what_make_sample_writes(tmp_path):
    make_sample = runpy.run_path(os.path.join(EXAMPLES, "make_sample.py"))
    built = make_sample["build"](str(tmp_path / "sample.raw"))
    committed = os.path.join(EXAMPLES, "sample.raw")
    assert sorted(os.listdir(committed)) == sorted(os.path.basename(p) for p in built.files.values())
    for path in built.files.values():
        with open(path, "rb") as fresh, open(os.path.join(committed, os.path.basename(path)), "rb") as old:
            assert fresh.read() == old.read(), os.path.basename(path)
    r = kestrune.RawReader(committed)
    assert [r.function_encoding(n) for n in (1, 2, 3)] == ["a", "b", "a"]
    assert [f.is_lock_mass for f in r.functions] == [False, False, True]
    for fn in built.builder.functions:
        for k, scan in enumerate(fn.scans):
            assert r.read_spectrum(fn.number, k).mz == scan.expected.mz


def test_quickstart_runs_on_the_sample(capsys, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["quickstart.py"])
    # The script configures logging for a whole program; keep it to itself.
    monkeypatch.setattr(logging, "basicConfig", lambda **kwargs: None)
    runpy.run_path(os.path.join(EXAMPLES, "quickstart.py"), run_name="__main__")
    out = capsys.readouterr().out
    assert "instrument: SYNAPT G2-Si" in out
    assert "function 2:   8 scans, encoding b, MS2" in out
    assert "ImsSpectrum(75 ions)" in out
    assert "ChromChannel(index=1, name='Column Temperature', units='C'): 24 samples" in out
