#!/usr/bin/env bash
# The sidecar (debug build, dynamically linked so memcheck sees every allocation) under valgrind
# memcheck for SECONDS while processes and threads churn; prints memcheck's error and leak summary.
#
#   bench/valgrind-churn.sh [SECONDS]      (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake --preset dev >/dev/null && cmake --build --preset dev --target watchdog-sidecar >/dev/null
cmake --preset bench >/dev/null && cmake --build --preset bench --target sidecar_load >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT

build/bench/bench/sidecar_load churn "$seconds" >/dev/null &
churn_pid=$!
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite --log-file="$log" build/dev/watchdog-sidecar >/dev/null 2>&1 &
valgrind_pid=$!
sleep "$seconds"
kill -TERM "$valgrind_pid"
wait "$valgrind_pid" 2>/dev/null || true
wait "$churn_pid" 2>/dev/null || true
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|in use at exit' "$log"
