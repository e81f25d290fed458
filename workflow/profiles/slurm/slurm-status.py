#!/usr/bin/env python3
"""Cluster status command of the SLURM profile: prints the state of one job,
`running`, `success` or `failed`, as Snakemake asks with `STATUS JOBID`.

The state comes from `scontrol show job`, which needs no accounting; a job
the controller has forgotten (MinJobAge after its end) is looked up with
`sacct` where accounting exists, and counts as failed otherwise. A pending
job that can never start (more CPUs or memory than the partition's nodes
have, a time limit above the partition's, a dependency that cannot be met,
an unknown account...) is cancelled and counts as failed. When the controller does not answer for about half a
minute the command exits non-zero, which stops Snakemake with an error
rather than letting it wait without end. Every call of a SLURM command has a
time limit.
"""

import re
import subprocess
import sys
import time

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "REQUEUE_FED",
           "REQUEUE_HOLD", "RESIZING", "SIGNALING", "STAGE_OUT", "RESV_DEL_HOLD", "STOPPED"}
# Reasons a pending job keeps until someone changes the job or the cluster.
HOPELESS = re.compile(r"^(BadConstraints|DependencyNeverSatisfied|PartitionConfig|PartitionTimeLimit|PartitionNodeLimit"
                      r"|InvalidAccount|InvalidQOS|\w*PerJob\w*)$")
ATTEMPTS = 3
TIMEOUT = 10


def call(*argv):
    """(exit status, stdout, stderr); status None when it timed out or could not start."""
    try:
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as err:
        return None, "", str(err)
    return proc.returncode, proc.stdout, proc.stderr


def say(text):
    print("slurm-status: " + text, file=sys.stderr)


def from_scontrol(jobid):
    """The job's fields, {} for a job the controller does not know, None when it does not answer."""
    error = ""
    for attempt in range(ATTEMPTS):
        if attempt:
            time.sleep(2)
        rc, out, err = call("scontrol", "show", "job", "-o", jobid)
        if rc == 0 and "JobState=" in out:
            # Fields are KEY=VALUE separated by spaces; values such as
            # Command= or Reason= may hold spaces, so split before each KEY=.
            line = out.strip().splitlines()[0]
            return dict(m.groups() for m in re.finditer(r"(?:^| )([\w/:]+)=(.*?)(?= [\w/:]+=|$)", line))
        if "Invalid job id" in err:
            return {}
        error = err.strip() or "no answer in %d s" % TIMEOUT
    say("scontrol show job %s: %s" % (jobid, error))
    return None


def from_sacct(jobid):
    rc, out, _ = call("sacct", "-n", "-X", "-P", "-j", jobid, "-o", "State")
    words = out.split() if rc == 0 else []
    return words[0].rstrip("+") if words else None


def main():
    if len(sys.argv) != 2:
        say("usage: slurm-status.py JOBID")
        return 2
    jobid = sys.argv[1].split(";")[0]  # sbatch --parsable: JOBID[;CLUSTER]
    fields = from_scontrol(jobid)
    if fields is None:
        say("the SLURM controller does not answer; stopping rather than waiting without end")
        return 1
    state = fields.get("JobState") or from_sacct(jobid)
    if state is None:
        say("SLURM no longer knows job %s; counted as failed" % jobid)
        print("failed")
        return 0
    if state == "COMPLETED":
        print("success")
    elif state == "PENDING" and HOPELESS.match(fields.get("Reason", "")):
        say("job %s can never start (%s); cancelling it" % (jobid, fields["Reason"]))
        call("scancel", jobid)
        print("failed")
    elif state in RUNNING:
        print("running")
    else:
        say("job %s %s (exit code %s, reason %s); its output: %s" % (
            jobid, state, fields.get("ExitCode", "?"), fields.get("Reason", "?"), fields.get("StdOut", "?")))
        print("failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
