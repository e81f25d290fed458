"""The cluster path: a single-node SLURM brought up by scripts/slurm.sh for
the session, and helpers to run the workflow through it.

These tests run as root (the daemons need it) and fail, never skip, when
SLURM cannot be brought up. Every subprocess has a time limit, and the
daemons are stopped by the finalizer whatever happens.
"""

import os
import re
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL_TESTS = os.path.join(os.path.dirname(HERE), "tool")
if TOOL_TESTS not in sys.path:
    sys.path.insert(0, TOOL_TESTS)

import support  # noqa: E402  (refuses to run without KESTRUNE_CLI)

SLURM_SH = os.path.join(support.ROOT, "scripts", "slurm.sh")
# The partition's time limit, minutes: a job asking for more never starts.
MAX_TIME = 90


class Slurm(object):
    def __init__(self, state_dir, home):
        self.state_dir = state_dir
        self.conf = os.path.join(state_dir, "slurm.conf")
        # CI=true: Snakemake checks its cluster jobs every second, not every
        # ten. HOME: an empty folder, so nothing of the user's is read.
        self.env = dict(os.environ, SLURM_CONF=self.conf, CI="true", HOME=home,
                        PATH=os.environ.get("PATH", "/usr/bin:/bin") + ":/usr/sbin")

    def run(self, *argv, timeout=20):
        proc = subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=timeout)
        assert proc.returncode == 0, "%s: %s" % (" ".join(argv), proc.stderr)
        return proc.stdout

    def queue(self):
        """[(job id, job name, state)] of the jobs SLURM holds."""
        return [tuple(line.split("|")) for line in self.run("squeue", "-h", "-o", "%i|%j|%T").splitlines()]

    def job(self, jobid):
        """The fields of `scontrol show job`."""
        out = self.run("scontrol", "show", "job", "-o", jobid)
        return dict(re.findall(r"(\S+?)=(\S*)", out))

    def controller_log(self):
        with open(os.path.join(self.state_dir, "slurmctld.log"), errors="replace") as fh:
            return fh.read()


@pytest.fixture(scope="session")
def slurm(tmp_path_factory, request):
    state = tmp_path_factory.mktemp("slurm")
    home = tmp_path_factory.mktemp("home")
    env = dict(os.environ, KESTRUNE_SLURM_MAXTIME=str(MAX_TIME))

    def down():
        proc = subprocess.run([SLURM_SH, "down", str(state)], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr

    request.addfinalizer(down)
    if os.geteuid() != 0:
        pytest.fail("the cluster tests bring up SLURM daemons and must run as root")
    try:
        # Up to a few minutes when the SLURM packages are installed first.
        proc = subprocess.run([SLURM_SH, "up", str(state)], env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired as err:
        pytest.fail("scripts/slurm.sh up did not finish in %d s:\n%s" % (err.timeout, err.stderr))
    if proc.returncode != 0:
        pytest.fail("SLURM could not be brought up (scripts/slurm.sh up):\n" + proc.stdout + proc.stderr)
    return Slurm(str(state), str(home))


class Snakemake(object):
    """The workflow through the SLURM profile, started in `base` as a user
    would from the repository: workflow/ there is a link to the repository's,
    and the Snakefile and the profile are given as relative paths."""

    def __init__(self, slurm, base, *config):
        link = base / "workflow"
        if not link.exists():
            link.symlink_to(os.path.join(support.ROOT, "workflow"))
        self.out_path = base / ("snakemake-%d.out" % time.monotonic_ns())
        self.out = open(self.out_path, "w")
        self.proc = subprocess.Popen(
            ["snakemake", "-s", "workflow/Snakefile", "--profile", "workflow/profiles/slurm",
             "--config", *config],
            cwd=str(base), env=slurm.env, stdin=subprocess.DEVNULL, stdout=self.out, stderr=subprocess.STDOUT)

    def wait(self, timeout=90):
        """(exit status, output); kills Snakemake when it takes longer
        than timeout."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.out.close()
            pytest.fail("snakemake hung for %d s:\n%s" % (timeout, self.output()))
        self.out.close()
        return rc, self.output()

    def output(self):
        return self.out_path.read_text(errors="replace")

    def external_jobids(self):
        return re.findall(r"with external jobid '(\d+)", self.output())


@pytest.fixture
def snakemake(slurm):
    """Starts Snakemake(slurm, base, *config); kills what is still running
    at the end of the test."""
    started = []

    def start(base, *config):
        started.append(Snakemake(slurm, base, *config))
        return started[-1]

    yield start
    for snake in started:
        if snake.proc.poll() is None:
            snake.proc.kill()
            snake.proc.wait()


def wait_for(what, predicate, timeout=30, context=""):
    """predicate()'s first true value, checked every 0.1 s; context is shown
    when it never comes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail("gave up waiting for %s\n%s" % (what, context))
