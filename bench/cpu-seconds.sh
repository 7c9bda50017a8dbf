# Sourced by the benchmark scripts.

# cpu_seconds [--with-ended-children] PID...: the CPU seconds the processes used so
# far; with the option also what their children that ended already used (those the
# processes waited for). A process that is gone counts nothing.
cpu_seconds() {
  local fields='$12 + $13' pid used ticks=0
  if [ "$1" = --with-ended-children ]; then
    fields='$12 + $13 + $14 + $15'
    shift
  fi
  for pid in "$@"; do
    # Fields after the command name: utime stime cutime cstime are the 12th to 15th.
    used=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | awk "{print $fields}")
    ticks=$((ticks + ${used:-0}))
  done
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN {printf "%.2f", t / hz}'
}

# server_cpu CLUSTERDIR: the CPU seconds of the PostgreSQL server that
# scripts/pg-cluster.sh made in CLUSTERDIR: the postmaster and every process it started.
server_cpu() {
  local main
  main=$(head -n 1 "$1/data/postmaster.pid")
  # shellcheck disable=SC2046
  cpu_seconds --with-ended-children "$main" $(pgrep -P "$main")
}
