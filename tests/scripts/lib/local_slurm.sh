# A throwaway single-node Slurm for tests and benchmarks of job arrays: munged,
# slurmctld and slurmd run as root with every key, socket, spool, state and
# log file under one directory, on free local ports; nothing in /etc is used.
# Source this file, then:
#   local_slurm_start DIR [CPUS]   starts it; exports SLURM_CONF; status 0 when
#                                  the node is idle, 77 when Slurm or munge is
#                                  not installed or we are not root, else 1
#   local_slurm_stop DIR           cancels every job and stops the daemons
# Process tracking by /proc (proctrack/linuxproc) and no task binding
# (task/none), so no cgroups or systemd are needed.

local_slurm_start() {
  local dir=$1 cpus=${2:-$(nproc)} host ports
  for p in munged slurmctld slurmd sbatch sinfo scancel; do
    command -v "$p" >/dev/null || PATH=$PATH:/usr/sbin:/sbin
    command -v "$p" >/dev/null || { echo "local_slurm: $p not installed"; return 77; }
  done
  [ "$(id -u)" = 0 ] || { echo "local_slurm: needs root (munged, slurmd)"; return 77; }
  mkdir -p "$dir/munge" "$dir/state" "$dir/spool" "$dir/log" || return 1
  chmod 700 "$dir/munge"
  head -c 1024 /dev/urandom >"$dir/munge/munge.key" && chmod 400 "$dir/munge/munge.key"
  munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/socket" \
         --pid-file="$dir/munged.pid" --log-file="$dir/log/munged.log" \
         --seed-file="$dir/munge/seed" || { echo "local_slurm: munged did not start"; return 1; }
  ports=$(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
  set -- $ports
  host=$(hostname -s)
  cat >"$dir/slurm.conf" <<CONF
ClusterName=localtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$1
SlurmdPort=$2
AuthType=auth/munge
AuthInfo=socket=$dir/munge/socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=local Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
  export SLURM_CONF=$dir/slurm.conf
  slurmctld -c -f "$SLURM_CONF" || { echo "local_slurm: slurmctld did not start"; return 1; }
  slurmd -f "$SLURM_CONF" || { echo "local_slurm: slurmd did not start"; return 1; }
  for _ in $(seq 1 60); do
    [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && return 0
    sleep 0.5
  done
  echo "local_slurm: the node did not come up:"; sinfo; tail -5 "$dir"/log/*.log
  return 1
}

local_slurm_stop() {
  local dir=$1 pid
  [ -f "$dir/slurm.conf" ] && SLURM_CONF=$dir/slurm.conf scancel --full --quiet \
      $(SLURM_CONF=$dir/slurm.conf squeue -h -o %A 2>/dev/null) 2>/dev/null
  for f in slurmd slurmctld munged; do
    [ -f "$dir/$f.pid" ] || continue
    pid=$(cat "$dir/$f.pid")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 1 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.25; done
    kill -9 "$pid" 2>/dev/null
  done
  return 0
}
