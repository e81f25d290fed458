"""The Snakemake workflow of workflow/: one export job per run directory,
nothing redone while the runs are unchanged, only the changed run redone;
settings it cannot work with are refused before any job, saying why. (Its
SLURM profile is tested in tests/cluster.)"""

import os
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

from support import CLI, NS, ROOT, rw, standard_builder, synapt_builder

SNAKEFILE = os.path.join(ROOT, "workflow", "Snakefile")
RUNS = ("alpha", "beta", "gamma")


def snakemake(base, *extra):
    snake = shutil.which("snakemake")
    assert snake, "snakemake is missing (scripts/setup.sh installs it)"
    proc = subprocess.run(
        [snake, "--snakefile", SNAKEFILE, "--directory", str(base), "--cores", "2",
         "--config", "input_dir=%s" % (base / "runs"), "output_dir=%s" % (base / "mzml"), "kestrune=%s" % CLI,
         "export_args=--no-compress", *extra],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    assert proc.returncode == 0, proc.stdout.decode(errors="replace")
    return proc.stdout.decode(errors="replace")


def mtimes(out):
    return {n: os.stat(out / (n + ".mzML")).st_mtime_ns for n in RUNS}


def sized_builder():
    """A run whose data file is over 100 kB, the size below which Snakemake
    compares contents rather than modification times."""
    run = rw.RunBuilder()
    f = run.add_function("a", cal=rw.Cal([0.0, 1.0]))
    for k in range(40):
        f.add_scan([100.0 + 0.5 * i for i in range(600)], [1 + (i * 7 + k) % 300 for i in range(600)],
                   rt_min=0.01 * k)
    return run


@pytest.fixture(scope="module")
def workflow_dir(tmp_path_factory):
    base = tmp_path_factory.mktemp("workflow")
    (base / "runs").mkdir()
    builders = {"alpha": standard_builder, "beta": sized_builder, "gamma": synapt_builder}
    for name in RUNS:
        builders[name]().build(str(base / "runs" / (name + (".RAW" if name == "gamma" else ".raw"))))
    (base / "runs" / "notes.txt").write_text("not a run")
    snakemake(base)
    return base


def test_every_run_gets_its_mzml_and_nothing_is_redone(workflow_dir):
    out = workflow_dir / "mzml"
    assert sorted(os.listdir(out)) == ["alpha.mzML", "beta.mzML", "gamma.mzML", "logs"]
    for name in RUNS:
        root = ET.parse(out / (name + ".mzML")).getroot()
        assert root.find("m:mzML/m:run/m:spectrumList", NS).get("count") != "0"
        assert "%s.mzML: " % name in (out / "logs" / (name + ".log")).read_text()
        assert "MS:1000576" in (out / (name + ".mzML")).read_text()  # export_args reached the job
    before = mtimes(out)
    assert "Nothing to be done" in snakemake(workflow_dir)
    assert mtimes(out) == before


def test_a_changed_file_of_one_run_redoes_that_run_only(workflow_dir):
    out = workflow_dir / "mzml"
    before = mtimes(out)
    data = workflow_dir / "runs" / "beta.raw" / "_FUNC001.DAT"
    assert os.path.getsize(data) > 100000
    later = time.time() + 5
    os.utime(data, (later, later))
    snakemake(workflow_dir)
    after = mtimes(out)
    assert [n for n in RUNS if after[n] != before[n]] == ["beta"]


@pytest.mark.parametrize("config, path, said", [
    (["kestrune=/nowhere/kestrune"], None, r"config key kestrune names '/nowhere/kestrune'"),
    (["kestrune="], "bare", r"kestrune is not on PATH and the config key kestrune is empty"),
    (["kestrune=%s" % CLI, "export_args=--no-compress --threads 4"], None, r"export_args must not hold --threads"),
])
def test_settings_it_cannot_work_with_are_refused_saying_why(tmp_path, config, path, said):
    (tmp_path / "runs").mkdir()
    standard_builder().build(str(tmp_path / "runs" / "alpha.raw"))
    snake = shutil.which("snakemake")
    env = dict(os.environ)
    if path == "bare":  # only the interpreter's and Snakemake's folders
        env["PATH"] = os.pathsep.join({os.path.dirname(snake), os.path.dirname(os.path.realpath(sys.executable))})
        assert shutil.which("kestrune", path=env["PATH"]) is None
    proc = subprocess.run(
        [snake, "-n", "--snakefile", SNAKEFILE, "--directory", str(tmp_path), "--cores", "1",
         "--config", "input_dir=%s" % (tmp_path / "runs"), "output_dir=%s" % (tmp_path / "mzml"), *config],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    assert proc.returncode != 0
    assert re.search(said, proc.stdout), proc.stdout
    assert not (tmp_path / "mzml").exists()
