"""The workflow through a real SLURM (scripts/slurm.sh) with the profile of
workflow/profiles/slurm: outputs equal to the tool's own export, one SLURM
job per run, and every way a job can end badly ends the workflow with a
non-zero status instead of a wait without end, leaving the other outputs."""

import os
import signal
import stat
import subprocess

import pytest

from conftest import MAX_TIME, Snakemake, wait_for
from support import CLI, standard_builder, synapt_builder

RUNS = {"alpha": standard_builder, "beta": synapt_builder, "gamma": standard_builder}


def export(run_dir, out, *options):
    subprocess.run([CLI, "export", str(run_dir), "-o", str(out), "--no-progress", "--threads", "1", *options],
                   check=True, capture_output=True, timeout=60)


@pytest.fixture(scope="module")
def converted(slurm, tmp_path_factory):
    """Three runs converted through SLURM: (base folder, snakemake)."""
    base = tmp_path_factory.mktemp("cluster")
    for name, builder in RUNS.items():
        builder().build(str(base / "runs" / (name + ".raw")))
    snake = Snakemake(slurm, base, "input_dir=%s" % (base / "runs"), "output_dir=%s" % (base / "mzml"),
                      "kestrune=%s" % CLI, "threads=1", "export_args=--compression-level 3")
    rc, out = snake.wait()
    assert rc == 0, out
    return base, snake


def test_each_run_is_one_slurm_job_whose_output_equals_the_tools_export(converted, slurm, tmp_path):
    base, snake = converted
    jobids = snake.external_jobids()
    assert len(set(jobids)) == len(RUNS), snake.output()
    log = slurm.controller_log()
    for jobid in jobids:
        assert "_job_complete: JobId=%s WEXITSTATUS 0" % jobid in log
    for name in RUNS:
        export(base / "runs" / (name + ".raw"), tmp_path / (name + ".mzML"), "--compression-level", "3")
        assert (base / "mzml" / (name + ".mzML")).read_bytes() == (tmp_path / (name + ".mzML")).read_bytes(), name
    # The profile made its log folder; each job's SLURM output is there.
    assert len(os.listdir(base / ".snakemake" / "slurm-logs")) == len(RUNS)


def test_a_broken_run_fails_the_workflow_and_the_good_outputs_stay(converted, snakemake):
    base, _ = converted
    broken = standard_builder().build(str(base / "runs" / "delta.raw"))
    broken.remove("_FUNCTNS.INF")
    out_dir = base / "mzml"
    before = {n: (out_dir / n).read_bytes() for n in os.listdir(out_dir) if n.endswith(".mzML")}
    rc, out = snakemake(base, "input_dir=%s" % (base / "runs"), "output_dir=%s" % out_dir,
                        "kestrune=%s" % CLI, "threads=1", "export_args=--compression-level 3").wait()
    assert rc != 0, out
    assert "FAILED" in out  # the SLURM state, named by the status command
    after = {n: (out_dir / n).read_bytes() for n in os.listdir(out_dir) if n.endswith(".mzML")}
    assert after == before and len(before) == len(RUNS)
    assert sorted(os.listdir(out_dir)) == ["alpha.mzML", "beta.mzML", "gamma.mzML", "logs"]
    assert "error" in (out_dir / "logs" / "delta.log").read_text()


def slow_tool(path, calls):
    """A stand-in for kestrune that notes its arguments and then sleeps."""
    path.write_text('#!/bin/sh\necho "$@" > %s\nexec sleep 120\n' % calls)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


def cancel_when_running(slurm, calls):
    """scancel of the job once the tool runs in it; the job asked for the
    rule's threads, memory and time, and the tool got the threads."""
    jobid, name, _ = wait_for("the job to run", lambda: [j for j in slurm.queue() if j[2] == "RUNNING"])[0]
    wait_for("the tool to start", calls.exists)
    assert name == "kestrune-run"
    job = slurm.job(jobid)
    assert (job["NumCPUs"], job["MinMemoryNode"], job["TimeLimit"]) == ("2", "300M", "00:05:00")
    assert "--threads 2" in calls.read_text()
    slurm.run("scancel", jobid)


def interrupt_when_running(slurm, snake):
    wait_for("the job to run", lambda: [j for j in slurm.queue() if j[2] == "RUNNING"])
    snake.proc.send_signal(signal.SIGINT)


@pytest.mark.parametrize("case, threads, runtime_min", [
    ("cancelled by scancel", 2, 5),
    ("asks more time than the partition allows", 2, MAX_TIME + 1),
    ("asks more CPUs than the node has", 64, 5),
    ("Ctrl-C on snakemake", 2, 5),
])
def test_a_job_that_ends_badly_or_never_starts_ends_the_workflow(slurm, snakemake, tmp_path, case, threads,
                                                                 runtime_min):
    standard_builder().build(str(tmp_path / "runs" / "run.raw"))
    calls = tmp_path / "calls"
    snake = snakemake(tmp_path, "input_dir=%s" % (tmp_path / "runs"), "output_dir=%s" % (tmp_path / "mzml"),
                      "kestrune=%s" % slow_tool(tmp_path / "slow", calls), "threads=%d" % threads, "mem_mb=300",
                      "runtime_min=%d" % runtime_min)
    if case == "cancelled by scancel":
        cancel_when_running(slurm, calls)
    elif case == "Ctrl-C on snakemake":
        interrupt_when_running(slurm, snake)
    # Without a status command Snakemake waits for ever here.
    rc, out = snake.wait(timeout=60)
    assert rc != 0, out
    assert not (tmp_path / "mzml" / "run.mzML").exists()
    wait_for("the job to leave the queue", lambda: not [j for j in slurm.queue() if j[0] in snake.external_jobids()],
             10, out)
