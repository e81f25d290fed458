#!/usr/bin/env bash
# A single-node SLURM on this machine, for trying and testing the workflow's
# SLURM profile (workflow/profiles/slurm) without a cluster:
#
#   scripts/slurm.sh up [DIR]     start munged (unless one runs), slurmctld and slurmd
#   scripts/slurm.sh down [DIR]   cancel the jobs, stop the daemons that `up` started
#
# DIR (default build/slurm) holds slurm.conf, the daemons' state, logs and
# pid files. The SLURM commands find this cluster through SLURM_CONF:
# `up` ends by printing `export SLURM_CONF=DIR/slurm.conf`.
#
# Runs as root; needs no systemd (apt does not start daemons in a container
# without it). The Debian packages slurmctld, slurmd, slurm-client and munge
# are installed by scripts/setup.sh when missing. The node is called
# localhost, so nothing depends on the host name, and has the CPUs and memory
# `slurmd -C` finds; no accounting, no cgroups. The daemons bind to the
# loopback address when the host name resolves to one, to every address
# otherwise. Ports: 6817 and 6818, or KESTRUNE_SLURMCTLD_PORT and
# KESTRUNE_SLURMD_PORT.
#
# `down` stops only what `up` started, each daemon by the pid recorded in
# DIR, never by name; a munged that was already running stays.
set -euo pipefail
cd "$(dirname "$0")/.."

action=${1:-}
dir=${2:-build/slurm}
ctld_port=${KESTRUNE_SLURMCTLD_PORT:-6817}
slurmd_port=${KESTRUNE_SLURMD_PORT:-6818}

starting=""
# Ends with an error; during `up`, after stopping what it had started.
die() {
  echo "slurm.sh: $*" >&2
  [ -z "$starting" ] || down
  exit 1
}

# PID NAME: true when PID is alive and runs the program NAME, so that a pid
# file left by a stopped daemon never makes us signal another process. A
# zombie (ended, not yet reaped: no init reaps here in a container) is not.
runs() {
  local stat
  [[ $1 =~ ^[0-9]+$ ]] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] \
    && stat=$(cat "/proc/$1/stat" 2>/dev/null) && [[ ${stat##*) } != Z* ]]
}

# FILE NAME: the pid in FILE when it runs NAME.
pid_of() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  runs "$pid" "$2" && echo "$pid"
}

# Stops the daemon NAME whose pid is recorded in FILE: TERM, then KILL after
# 10 s; removes FILE.
stop() {
  local file=$1 name=$2 pid
  if pid=$(pid_of "$file" "$name"); then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do runs "$pid" "$name" || break; sleep 0.1; done
    if runs "$pid" "$name"; then
      echo "slurm.sh: $name ($pid) did not stop in 10 s, killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$file"
}

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

down() {
  [ -d "$dir" ] || return 0
  export SLURM_CONF=$dir/slurm.conf
  if pid_of "$dir/slurmctld.pid" slurmctld >/dev/null; then
    # The jobs first, so that no job step outlives its slurmd.
    local jobs
    jobs=$(timeout 5 squeue -h -o %A 2>/dev/null || true)
    if [ -n "$jobs" ]; then
      # shellcheck disable=SC2086
      timeout 5 scancel $jobs 2>/dev/null || true
      for _ in $(seq 50); do
        [ -z "$(timeout 5 squeue -h -o %A 2>/dev/null)" ] && break
        sleep 0.1
      done
    fi
  fi
  stop "$dir/slurmd.pid" slurmd
  stop "$dir/slurmctld.pid" slurmctld
  stop "$dir/munged.pid" munged
}

up() {
  [ "$(id -u)" -eq 0 ] || die "must run as root (it starts munged, slurmctld and slurmd)"
  local p
  for p in slurmctld slurmd sbatch munged; do
    if ! command -v "$p" >/dev/null && [ ! -x "/usr/sbin/$p" ]; then
      scripts/setup.sh slurmctld slurmd slurm-client munge || die "could not install the SLURM packages"
      break
    fi
  done
  export PATH=$PATH:/usr/sbin
  down  # what an earlier `up` in DIR left
  mkdir -p "$dir/state" "$dir/spool"
  dir=$(cd "$dir" && pwd)
  export SLURM_CONF=$dir/slurm.conf

  for p in "$ctld_port" "$slurmd_port"; do
    port_free "$p" || die "port $p is taken (another SLURM running?); choose others with KESTRUNE_SLURMCTLD_PORT and KESTRUNE_SLURMD_PORT"
  done

  starting=1
  # munge: one per machine, at its standard socket. Started as user munge
  # (as root it refuses its log file); its key comes with the package.
  if ! timeout 5 bash -c 'munge -n </dev/null | unmunge >/dev/null' 2>/dev/null; then
    [ -s /etc/munge/munge.key ] || { mungekey --create --keyfile=/etc/munge/munge.key && chown munge:munge /etc/munge/munge.key; } \
      || die "no munge key and none could be made"
    mkdir -p /run/munge /var/log/munge /var/lib/munge
    chown munge:munge /run/munge /var/log/munge /var/lib/munge
    chmod 0755 /run/munge
    timeout 10 runuser -u munge -- munged </dev/null >"$dir/munged.out" 2>&1 \
      || die "munged did not start: $(cat "$dir/munged.out")"
    cp /run/munge/munged.pid "$dir/munged.pid"
    for _ in $(seq 50); do
      timeout 5 bash -c 'munge -n </dev/null | unmunge >/dev/null' 2>/dev/null && break
      sleep 0.1
    done
  fi

  # The node as slurmd sees it (CPUs, sockets, cores, memory), named localhost.
  local node
  node=$(timeout 10 slurmd -C | head -n 1) || die "slurmd -C failed"
  node=$(sed 's/^NodeName=[^ ]*/NodeName=localhost/' <<<"$node")
  local bind=""
  if getent ahosts "$(hostname)" | awk '{print $1}' | grep -qvE '^(127\.|::1$)'; then
    :  # the host name has a non-loopback address: binding to it would miss localhost
  else
    bind="CommunicationParameters=NoCtldInAddrAny,NoInAddrAny"
  fi
  cat > "$dir/slurm.conf" <<EOF
# Written by scripts/slurm.sh: a single-node cluster on this machine.
ClusterName=kestrune
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
$bind
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
ReturnToService=2
$node
PartitionName=local Nodes=localhost Default=YES MaxTime=${KESTRUNE_SLURM_MAXTIME:-INFINITE} State=UP
EOF

  # Both daemons fork into the background and write their pid files.
  timeout 20 slurmctld -f "$SLURM_CONF" -c -i </dev/null >"$dir/slurmctld.out" 2>&1 \
    || die "slurmctld did not start: $(cat "$dir/slurmctld.out"; tail -n 20 "$dir/slurmctld.log" 2>/dev/null)"
  timeout 20 slurmd -f "$SLURM_CONF" -N localhost </dev/null >"$dir/slurmd.out" 2>&1 \
    || die "slurmd did not start: $(cat "$dir/slurmd.out"; tail -n 20 "$dir/slurmd.log" 2>/dev/null)"

  # Ready when the node is idle (registered); 30 s at most.
  local state=""
  for _ in $(seq 300); do
    state=$(timeout 5 sinfo -h -n localhost -o %T 2>/dev/null || true)
    [ "$state" = idle ] && break
    sleep 0.1
  done
  if [ "$state" != idle ]; then
    tail -n 20 "$dir/slurmctld.log" "$dir/slurmd.log" >&2 2>/dev/null || true
    die "the node did not come up (state: ${state:-none})"
  fi
  echo "export SLURM_CONF=$SLURM_CONF"
}

case $action in
  up) up ;;
  down) down ;;
  *) echo "usage: scripts/slurm.sh up|down [DIR]" >&2; exit 2 ;;
esac
