#!/usr/bin/env node
'use strict';
// The stand-in sidecar behind startFake(): writes the lines of a file at the sidecar's cadence,
// then stays quiet, keeps beating, or exits. Like the real one it writes its two start-up lines to
// standard error, sleeps between lines and ends on SIGTERM.
//
//   testing-sidecar.js LINES_FILE INTERVAL_MS THEN EXIT_CODE [--remove]

const fs = require('node:fs');

const [file, intervalText, then, exitText, remove] = process.argv.slice(2);
const lines = fs
  .readFileSync(file, 'utf8')
  .split('\n')
  .filter((line) => line.length > 0);
if (remove === '--remove') fs.rmSync(file, { force: true });
const intervalMs = Number(intervalText);

process.stderr.write('[sidecar] Starting Watchdog Sidecar...\n');
process.stderr.write('[linux-watchdog] LinuxWatchdog started monitoring.\n');

let next = 0;
function turn() {
  if (next < lines.length) {
    process.stdout.write(`${lines[next++]}\n`);
    setTimeout(turn, intervalMs);
    return;
  }
  if (then === 'exit') {
    process.exitCode = Number(exitText);
    return;
  }
  if (then === 'heartbeat') {
    process.stdout.write(`{"event":"heartbeat","payload":{"timestamp":${Date.now()}}}\n`);
    setTimeout(turn, 5000);
    return;
  }
  setInterval(() => {}, 1 << 30); // 'silence': alive and quiet
}
turn();
