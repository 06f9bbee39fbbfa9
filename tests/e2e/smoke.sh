#!/usr/bin/env bash
# smoke.sh [EMULATOR...] SIDECAR: starts the sidecar, waits for its two start-up lines, a first
# event line and a heartbeat, then stops it with SIGTERM.
set -uo pipefail
out=$(mktemp) err=$(mktemp)
"$@" >"$out" 2>"$err" &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -f "$out" "$err"' EXIT
for _ in $(seq 1 1200); do  # a bound for a hang only
  grep -q '^{"event":"heartbeat","payload":{"timestamp":[0-9]\{13\}}}$' "$out" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
expected=$'[sidecar] Starting Watchdog Sidecar...\n[linux-watchdog] LinuxWatchdog started monitoring.'
fail() { echo "smoke: $*" >&2; echo "--- stdout" >&2; cat "$out" >&2; echo "--- stderr" >&2; cat "$err" >&2; exit 1; }
[ "$(cat "$err")" == "$expected" ] || fail "unexpected start-up lines"
head -n 1 "$out" | grep -q '^{"event":"[a-z_]*","payload":.*}$' || fail "no first event line"
grep -q '^{"event":"heartbeat"' "$out" || fail "no heartbeat within 120 s"
echo "smoke: $(wc -l <"$out") lines, first: $(head -n 1 "$out")"
