#!/usr/bin/env node
'use strict';
// Example host: starts the sidecar with the host library and prints one summary line per event.
//
//   node host.js [--raw FILE] [COMMAND ARGS...]
//
// COMMAND defaults to the release build of the sidecar; --raw also appends every line, as read,
// to FILE.

const fs = require('node:fs');
const path = require('node:path');
const { start, describeEvent } = require('watchdog-sidecar-host');

const DEFAULT_COMMAND = [path.resolve(__dirname, '../../build/release/watchdog-sidecar')];

const argv = process.argv.slice(2);
const raw = argv[0] === '--raw' ? fs.createWriteStream(argv.splice(0, 2)[1], { flags: 'a' }) : null;
const command = argv.length > 0 ? argv : DEFAULT_COMMAND;

const sidecar = start({ path: command[0], args: command.slice(1), stderr: 'inherit' });
if (sidecar.pid) console.log(`[host] sidecar started (pid ${sidecar.pid})`);
if (raw) sidecar.on('line', (line) => raw.write(`${line}\n`));
sidecar.on('event', (event) => console.log(`[${event.event}] ${describeEvent(event)}`));
sidecar.on('invalid', (error) => console.log(`[invalid] ${error.reason}: ${error.line}`));
sidecar.on('unknown', ({ value }) => console.log(`[unknown] an event this host does not know: ${value.event}`));
sidecar.on('silence', ({ ms }) => console.log(`[warning] no line from the sidecar for ${ms / 1000} s`));
sidecar.on('exit', ({ code, signal, error }) => {
  console.log(`[host] sidecar ended (${error ? error.message : signal ?? `status ${code}`})`);
  process.exitCode = 1;
});
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => process.exit(0));
