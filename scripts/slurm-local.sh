#!/bin/sh
# A single-node Slurm cluster on this machine, for the cluster tests: munged, slurmctld and slurmd
# run as root from one folder (config, key, state, spool, logs, pid files), talk over loopback
# only, and are stopped by the pids this script recorded. Nothing is read from or written to
# /etc/slurm, /etc/munge or /run/munge, so a system-wide Slurm or MUNGE is left alone.
#
#   scripts/slurm-local.sh start       start the cluster and wait until its node takes jobs
#   scripts/slurm-local.sh stop        cancel every job, stop all three daemons, delete the folder
#   scripts/slurm-local.sh status      what runs (exit 0 when all three daemons do, 3 otherwise)
#   scripts/slurm-local.sh ctld-stop   stop slurmctld alone (jobs keep running under slurmd)
#   scripts/slurm-local.sh ctld-start  start slurmctld again from its saved state
#   scripts/slurm-local.sh env         print the line that points sbatch, squeue etc. at it
#   scripts/slurm-local.sh logs        print the end of each daemon's log
#
# `start` refuses (exit 1) when the folder already holds a running cluster; `stop` with nothing
# running says so and exits 0, so it can sit in a trap.
#
# Settings (environment):
#   STRATDESK_SLURM_DIR    the cluster's folder (default /tmp/stratdesk-slurm)
#   STRATDESK_SLURM_PORT   slurmctld's port; slurmd takes the next one (default 6817)
#   STRATDESK_SLURM_WAIT   seconds to wait for a daemon to come up or go away (default 60)
#   STRATDESK_SLURM_MIN_JOB_AGE  seconds an ended job stays known (default 5; Slurm's own: 300)
#
# Timings chosen so that the tests see every kind of end quickly (the defaults in brackets):
# MinJobAge=5 [300] s before an ended job may be forgotten, KillWait=2 [30] s between TERM and KILL
# at the time limit, OverTimeLimit=0 [0] min. slurmctld still checks time limits and purges old
# jobs on its own clock (see docs/slurm-notes.md).
set -eu

dir=${STRATDESK_SLURM_DIR:-/tmp/stratdesk-slurm}
port=${STRATDESK_SLURM_PORT:-6817}
wait_seconds=${STRATDESK_SLURM_WAIT:-60}
min_job_age=${STRATDESK_SLURM_MIN_JOB_AGE:-5}
marker="$dir/.stratdesk-slurm-local"
conf="$dir/etc/slurm.conf"
munge_socket="$dir/munge/munge.socket.2"
daemons="munged slurmctld slurmd"

say() { echo "slurm-local: $*"; }
fail() {
  echo "slurm-local: $*" >&2
  exit 1
}

pid_file() { echo "$dir/run/$1.pid"; }

# The pid recorded for daemon $1 when that process still runs the same program, else nothing:
# a pid the system has since given to another program is never signalled.
live_pid() {
  file=$(pid_file "$1")
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  case "$pid" in '' | *[!0-9]*) return 0 ;; esac
  [ -r "/proc/$pid/comm" ] || return 0
  # The kernel keeps 15 characters of a program's name; the installed daemons are *-wlm
  # alternatives whose names start with the daemon's own.
  comm=$(cat "/proc/$pid/comm" 2>/dev/null || true)
  case "$1" in
    munged) [ "$comm" = munged ] || return 0 ;;
    *) case "$comm" in "$1"*) ;; *) return 0 ;; esac ;;
  esac
  echo "$pid"
}

is_running() { [ -n "$(live_pid "$1")" ]; }

any_running() {
  for daemon in $daemons; do
    if is_running "$daemon"; then
      return 0
    fi
  done
  return 1
}

# Waits up to $wait_seconds for the command "$@" to succeed; returns 1 when it never did.
wait_for() {
  wait_while_alive "" "$@"
}

# The same while daemon $1 still runs (none when empty): returns 1 as soon as it has exited.
wait_while_alive() {
  daemon=$1
  shift
  deadline=$(($(date +%s) + wait_seconds))
  while ! "$@" >/dev/null 2>&1; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      return 1
    fi
    if [ -n "$daemon" ] && ! is_running "$daemon"; then
      return 1
    fi
    sleep 0.2
  done
}

not_alive() { ! kill -0 "$1" 2>/dev/null; }

# TERM to pid $1, then KILL when it is still there after $wait_seconds; waits until it is gone.
stop_pid() {
  kill -TERM "$1" 2>/dev/null || return 0
  if ! wait_for not_alive "$1"; then
    say "pid $1 ($2) ignored TERM for ${wait_seconds}s; killing it"
    kill -KILL "$1" 2>/dev/null || true
    wait_for not_alive "$1" || fail "pid $1 ($2) survived KILL"
  fi
}

stop_daemon() {
  pid=$(live_pid "$1")
  if [ -n "$pid" ]; then
    stop_pid "$pid" "$1"
    say "stopped $1 (pid $pid)"
  fi
  rm -f "$(pid_file "$1")"
}

# Starts daemon $1 with arguments $2...: its own session (a Ctrl+C or the caller's exit does not
# reach it), in the foreground so that $! is its pid, its output appended to its log.
launch() {
  name=$1
  shift
  env SLURM_CONF="$conf" STRATDESK_SLURM_LOCAL="$dir" \
    setsid "$@" </dev/null >>"$dir/log/$name.out" 2>&1 &
  launched=$!
  echo "$launched" >"$(pid_file "$name")"
  # env and setsid replace themselves with the daemon; until they have, the pid carries their
  # names and would not count as the daemon running.
  tries=0
  while ! is_running "$name" && kill -0 "$launched" 2>/dev/null && [ "$tries" -lt 100 ]; do
    sleep 0.05
    tries=$((tries + 1))
  done
}

write_config() {
  host=$(hostname -s)
  # The node's CPU layout as slurmd itself detects it. Memory is left out: this cluster
  # schedules cores only, and a configured RealMemory above what slurmd later measures would
  # drain the node.
  layout=$(slurmd -C | head -n 1 | tr ' ' '\n' |
    grep -E '^(CPUs|Boards|SocketsPerBoard|CoresPerSocket|ThreadsPerCore)=' | tr '\n' ' ')
  cat >"$conf" <<EOF
# Generated by scripts/slurm-local.sh: a one-node test cluster in $dir.
ClusterName=stratdesk
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$munge_socket
CredType=cred/munge
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/run/slurmctld.daemon.pid
SlurmdPidFile=$dir/run/slurmd.daemon.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
SlurmctldDebug=info
SlurmdDebug=info
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
MinJobAge=$min_job_age
KillWait=2
OverTimeLimit=0
NodeName=$host NodeAddr=127.0.0.1 ${layout}State=UNKNOWN
PartitionName=debug Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
}

node_takes_jobs() {
  state=$(SLURM_CONF="$conf" sinfo -h -N -o %T 2>/dev/null | head -n 1)
  case "$state" in idle | mixed | allocated) return 0 ;; *) return 1 ;; esac
}

start_ctld() {
  launch slurmctld slurmctld -D -f "$conf"
  if ! wait_while_alive slurmctld env SLURM_CONF="$conf" scontrol ping; then
    tail -n 20 "$dir/log/slurmctld.log" "$dir/log/slurmctld.out" >&2 2>/dev/null || true
    fail "slurmctld did not come up (its log ends above)"
  fi
}

cmd_start() {
  [ "$(id -u)" -eq 0 ] || fail "must run as root (slurmd starts jobs as their users)"
  if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null; then
    fail "slurm-wlm and munge are not installed (scripts/install-cluster-deps.sh)"
  fi
  if [ -L "$dir" ]; then
    fail "$dir is a symbolic link; refusing to use it"
  fi
  if [ -d "$dir" ]; then
    [ -f "$marker" ] || fail "$dir exists and was not made by this script; refusing to use it"
    if any_running; then
      fail "already running in $dir (scripts/slurm-local.sh stop first)"
    fi
    say "removing the leftovers of an earlier cluster in $dir"
    rm -rf "$dir"
  fi
  # munged insists that everyone may reach its socket; the key alone is private (0600).
  umask 022
  mkdir -p "$dir"
  : >"$marker"
  mkdir -p "$dir/etc" "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" "$dir/run"
  write_config

  mungekey --create --keyfile="$dir/munge/munge.key" 2>/dev/null
  launch munged munged --foreground --socket="$munge_socket" --key-file="$dir/munge/munge.key" \
    --pid-file="$dir/run/munged.daemon.pid" --log-file="$dir/log/munged.log" \
    --seed-file="$dir/munge/munged.seed"
  if ! wait_while_alive munged test -S "$munge_socket"; then
    tail -n 20 "$dir/log/munged.log" "$dir/log/munged.out" >&2 2>/dev/null || true
    fail "munged did not open its socket (its log ends above)"
  fi

  start_ctld
  launch slurmd slurmd -D -f "$conf"
  if ! wait_while_alive slurmd node_takes_jobs; then
    tail -n 20 "$dir/log/slurmd.log" "$dir/log/slurmd.out" >&2 2>/dev/null || true
    fail "the node did not come up to take jobs (slurmd's log ends above)"
  fi
  say "started (munged $(live_pid munged), slurmctld $(live_pid slurmctld), slurmd $(live_pid slurmd))"
  describe
}

describe() {
  echo "  folder:  $dir"
  echo "  config:  $conf"
  echo "  logs:    $dir/log/{munged,slurmctld,slurmd}.log (their standard output: *.out)"
  echo "  pids:    $dir/run/{munged,slurmctld,slurmd}.pid"
  echo "  use it:  export SLURM_CONF=$conf   (then sbatch, squeue, scontrol, scancel, sinfo)"
}

# Cancels every job the cluster still holds and waits until none is left running or ending,
# so that no job step outlives the cluster.
cancel_all_jobs() {
  is_running slurmctld || return 0
  jobs=$(SLURM_CONF="$conf" squeue -h -o %i 2>/dev/null || true)
  [ -n "$jobs" ] || return 0
  # shellcheck disable=SC2086
  SLURM_CONF="$conf" scancel $jobs 2>/dev/null || true
  wait_for no_jobs_left || say "jobs still ending after ${wait_seconds}s: $jobs"
}

no_jobs_left() { [ -z "$(SLURM_CONF="$conf" squeue -h -o %i 2>/dev/null)" ]; }

# The job step daemons slurmd of this cluster started: they inherit its environment, which
# names this folder. They outlive slurmd by design, so they are found and stopped by pid.
step_daemon_pids() {
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    case "$(cat "/proc/$pid/comm" 2>/dev/null || true)" in slurmstepd*) ;; *) continue ;; esac
    if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "STRATDESK_SLURM_LOCAL=$dir"; then
      echo "$pid"
    fi
  done
}

# Every process below pid $1: children, their children, and so on.
descendants() {
  ps -eo pid=,ppid= | awk -v root="$1" '
    { parent[$1] = $2 }
    END {
      for (pid in parent) {
        for (up = parent[pid]; up > 1; up = parent[up]) {
          if (up == root) { print pid; break }
        }
      }
    }'
}

none_alive() {
  for pid in "$@"; do
    if kill -0 "$pid" 2>/dev/null; then
      return 1
    fi
  done
}

# Job steps still running once their jobs are cancelled (or when slurmctld cannot be asked to
# cancel them): each step daemon with the job's processes below it, TERM first, KILL after 10 s.
stop_job_steps() {
  steps=$(step_daemon_pids)
  [ -n "$steps" ] || return 0
  pids=""
  for step in $steps; do
    pids="$pids $(descendants "$step" | tr '\n' ' ') $step"
  done
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  patience=$wait_seconds
  wait_seconds=10
  # shellcheck disable=SC2086
  if ! wait_for none_alive $pids; then
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
  fi
  wait_seconds=$patience
  say "stopped the job steps left running (pids$pids)"
}

cmd_stop() {
  if [ ! -f "$marker" ]; then
    say "not running (no cluster folder $dir)"
    return 0
  fi
  if any_running; then
    cancel_all_jobs
  else
    say "no daemon of the cluster in $dir runs"
  fi
  stop_job_steps
  for daemon in slurmd slurmctld munged; do
    stop_daemon "$daemon"
  done
  rm -rf "$dir"
  say "stopped; removed $dir"
}

cmd_status() {
  if [ ! -f "$marker" ]; then
    say "not running (no cluster folder $dir)"
    return 3
  fi
  all=0
  for daemon in $daemons; do
    pid=$(live_pid "$daemon")
    if [ -n "$pid" ]; then
      echo "  $daemon: running, pid $pid"
    else
      echo "  $daemon: not running"
      all=3
    fi
  done
  if is_running slurmctld; then
    SLURM_CONF="$conf" sinfo -N -o '  node %N: %T, %c CPUs' 2>/dev/null | tail -n +2 || true
    echo "  jobs in the queue: $(SLURM_CONF="$conf" squeue -h -o %i 2>/dev/null | wc -l)"
  fi
  describe
  return $all
}

require_cluster() {
  if [ ! -f "$marker" ] || ! any_running; then
    fail "not running (scripts/slurm-local.sh start first)"
  fi
}

cmd_ctld_stop() {
  require_cluster
  if ! is_running slurmctld; then
    say "slurmctld is already stopped"
    return 0
  fi
  stop_daemon slurmctld
}

cmd_ctld_start() {
  require_cluster
  if is_running slurmctld; then
    say "slurmctld is already running (pid $(live_pid slurmctld))"
    return 0
  fi
  start_ctld
  say "started slurmctld (pid $(live_pid slurmctld)) from its saved state"
}

# The daemons write their logs twice, to their log file and to standard output; the latter only
# matters when a daemon died before it opened its log.
cmd_logs() {
  for daemon in $daemons; do
    file="$dir/log/$daemon.log"
    [ -s "$file" ] || file="$dir/log/$daemon.out"
    if [ -s "$file" ]; then
      echo "==> $file <=="
      tail -n 40 "$file"
    fi
  done
}

case "${1:-}" in
  start) cmd_start ;;
  stop) cmd_stop ;;
  status) cmd_status ;;
  ctld-stop) cmd_ctld_stop ;;
  ctld-start) cmd_ctld_start ;;
  env) echo "export SLURM_CONF=$conf" ;;
  logs) cmd_logs ;;
  *)
    echo "usage: $0 start|stop|status|ctld-stop|ctld-start|env|logs" >&2
    exit 2
    ;;
esac
