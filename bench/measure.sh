#!/usr/bin/env bash
# Runs the release sidecar against a synthetic load and reports, from the same run, its CPU per
# poll, CPU per entry, system calls per entry, peak memory and the unreclaimable kernel memory
# its open files pin, next to `top -b -H -d 1` on the same load.
#
#   bench/measure.sh [PROCESSES] [THREADS] [CMDLINE_BYTES] [SECONDS]
#
# PROCESSES x THREADS entries are added to what the machine already runs (defaults: 300 x 10,
# 4096-byte command lines, 30 s). The load is removed by process id when the script ends.
# Large arguments: bench/measure.sh 400 1 184320
# Against an earlier build: BASELINE=/tmp/base/build/release/watchdog-sidecar bench/measure.sh
set -euo pipefail
cd "$(dirname "$0")/.."

processes=${1:-300}
threads=${2:-10}
cmdline_bytes=${3:-4096}
seconds=${4:-30}

cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --preset bench >/dev/null && cmake --build --preset bench --target sidecar_load >/dev/null
# SIDECAR names the binary to measure; BASELINE, when set, another one measured beside it in the
# same run (an earlier build, say), so the two compare on the same load and the same seconds.
sidecars=("${SIDECAR:-build/release/watchdog-sidecar}")
if [ -n "${BASELINE:-}" ]; then sidecars+=("$BASELINE"); fi
tmp=$(mktemp -d)
load_pid='' sidecar_pids='' top_pid=''
cleanup() {
  for pid in $sidecar_pids $top_pid; do kill "$pid" 2>/dev/null || true; done
  if [ -n "$load_pid" ]; then
    # shellcheck disable=SC2046
    kill $(cat "$tmp/load.pids" 2>/dev/null) "$load_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }
sunreclaim_kb() { awk '/^SUnreclaim:/ {print $2}' /proc/meminfo; }
count_entries() { find /proc/[0-9]*/task -maxdepth 1 -mindepth 1 -name '[0-9]*' 2>/dev/null | wc -l; }

build/bench/bench/sidecar_load "$processes" "$threads" "$cmdline_bytes" >"$tmp/load.pids" &
load_pid=$!
until [ "$(wc -l 2>/dev/null <"$tmp/load.pids" || echo 0)" -ge "$processes" ]; do sleep 0.2; done
sleep 2
entries=$(count_entries)

# Each sidecar is started in turn, its kernel memory read 3 s after its first line; then all are
# measured over the same seconds beside one top.
names=() pids=() firsts=() slabs=()
index=0
for binary in "${sidecars[@]}"; do
  mkfifo "$tmp/out$index"
  slab0=$(sunreclaim_kb)
  start_ns=$(date +%s%N)
  "$binary" >"$tmp/out$index" 2>/dev/null &
  pids+=($!)
  sidecar_pids="$sidecar_pids $!"
  exec {fd}<"$tmp/out$index"
  read -r _first <&"$fd"
  firsts+=($(( ($(date +%s%N) - start_ns) / 1000000 )))
  cat <&"$fd" >/dev/null &
  # Kernel memory the sidecar pins, read after its first polls and before top runs.
  sleep 3
  slabs+=($(( $(sunreclaim_kb) - slab0 )))
  names+=("$binary")
  index=$((index + 1))
done

top -b -H -d 1 -n $((seconds + 5)) >/dev/null &
top_pid=$!
sleep 1
s0=() s1=() peaks=()
for pid in "${pids[@]}"; do s0+=($(cpu_ticks "$pid")); done
t0=$(cpu_ticks "$top_pid"); w0=$(date +%s%N)
sleep "$seconds"
for pid in "${pids[@]}"; do s1+=($(cpu_ticks "$pid")); done
t1=$(cpu_ticks "$top_pid"); w1=$(date +%s%N)
for pid in "${pids[@]}"; do peaks+=($(awk '/VmHWM/ {print $2}' "/proc/$pid/status")); done
kill "$top_pid" 2>/dev/null || true

printf "entries                 %d\n" "$entries"
for index in "${!pids[@]}"; do
  # Each loop turn sleeps one second after its poll, so turns = elapsed - CPU time.
  awk -v s="$((s1[index] - s0[index]))" -v t="$((t1 - t0))" -v hz="$ticks" -v w="$((w1 - w0))" \
      -v n="$entries" -v kb="${peaks[index]}" -v first="${firsts[index]}" \
      -v slab="${slabs[index]}" -v name="${names[index]}" 'BEGIN {
    elapsed = w / 1e9; cpu = s / hz; topcpu = t / hz; polls = elapsed - cpu
    printf "== %s\n", name
    printf "first line after        %d ms\n", first
    printf "sidecar CPU per poll    %.1f ms (%.2f us per entry), %d polls\n", 1000 * cpu / polls, 1e6 * cpu / polls / n, polls
    printf "top -H CPU per second   %.1f ms (%.2f us per entry)\n", 1000 * topcpu / elapsed, 1e6 * topcpu / elapsed / n
    printf "sidecar / top           %.3f\n", (topcpu > 0 ? (cpu / polls) / (topcpu / elapsed) : 0)
    printf "sidecar peak RSS        %.1f MB\n", kb / 1024
    printf "SUnreclaim growth       %.1f MB (%d bytes per entry)\n", slab / 1024, 1024 * slab / n
  }'
done

sidecar_pid=${pids[0]}
if command -v strace >/dev/null; then
  timeout -s INT 15 strace -c -f -p "$sidecar_pid" -o "$tmp/strace" 2>/dev/null || true
  awk -v n="$entries" '
    $NF == "clock_nanosleep" { polls = $4 }
    $NF == "total" { total = $4 }
    END { if (polls > 0) printf "syscalls per poll       %d (%.2f per entry, %d polls under strace)\n", total / polls, total / polls / n, polls }
  ' "$tmp/strace"
fi
