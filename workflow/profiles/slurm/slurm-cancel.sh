#!/bin/sh
# Cluster cancel command of the SLURM profile: Snakemake calls it with the
# job ids on Ctrl-C. It hands them to scancel in the background: Snakemake
# kills a cancel command after 2 s, which a busy controller can take, while
# this scancel has a minute.
ids=
for id in "$@"; do ids="$ids ${id%%;*}"; done  # sbatch --parsable: JOBID[;CLUSTER]
# shellcheck disable=SC2086
setsid timeout 60 scancel $ids </dev/null >/dev/null 2>&1 &
