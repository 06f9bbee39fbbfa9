#!/usr/bin/env bash
# A long run of the release sidecar under process and thread churn: samples its resident memory
# and open descriptors every INTERVAL seconds and prints them, then the first, last and largest.
#
#   bench/soak.sh [MINUTES] [INTERVAL]      (defaults: 30 minutes, 30 s)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-30}
interval=${2:-30}

cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset bench >/dev/null && cmake --build --preset bench --target sidecar_load >/dev/null

sidecar_pid='' churn_pid=''
trap 'kill $sidecar_pid $churn_pid 2>/dev/null || true' EXIT
build/release/watchdog-sidecar >/dev/null 2>&1 &
sidecar_pid=$!
build/bench/bench/sidecar_load churn $((minutes * 60)) >/dev/null &
churn_pid=$!

printf '%8s %10s %6s %10s\n' seconds rss_kb fds polls_cpu_s
samples=()
end=$((SECONDS + minutes * 60))
while [ $SECONDS -lt $end ]; do
  sleep "$interval"
  kill -0 "$sidecar_pid" || { echo "the sidecar has died" >&2; exit 1; }
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$sidecar_pid/status")
  fds=$(ls "/proc/$sidecar_pid/fd" | wc -l)
  cpu=$(awk -v hz="$(getconf CLK_TCK)" '{sub(/.*\) /, ""); printf "%.1f", ($12 + $13) / hz}' "/proc/$sidecar_pid/stat")
  printf '%8d %10d %6d %10s\n' "$SECONDS" "$rss" "$fds" "$cpu"
  samples+=("$rss $fds")
done
printf '%s\n' "${samples[@]}" | awk 'NR == 1 {r1 = $1; f1 = $2} {if ($1 > rm) rm = $1; if ($2 > fm) fm = $2; r = $1; f = $2}
  END {printf "rss kB: first %d, last %d, largest %d; fds: first %d, last %d, largest %d\n", r1, r, rm, f1, f, fm}'
