#!/usr/bin/env node
'use strict';
// Reference host: starts the sidecar, reads its standard output line by line, validates each line
// against the event schema and prints one summary line per event. Any line is a sign of life; a
// warning is printed when none has come for 15 s. The sidecar is stopped with SIGTERM when the
// host exits.
//
//   node host.js [--raw FILE] [COMMAND ARGS...]
//
// COMMAND defaults to the release build of the sidecar; --raw also appends every line, as read,
// to FILE.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { compileLineChecker, lineFramer, summarize } = require('./events');

const SILENCE_LIMIT_MS = 15_000;
const DEFAULT_COMMAND = [path.resolve(__dirname, '../../build/release/watchdog-sidecar')];

function parseArguments(argv) {
  const options = { raw: null, command: [] };
  for (let i = 0; i < argv.length; i++) {
    if (options.command.length === 0 && argv[i] === '--raw') options.raw = argv[++i];
    else options.command.push(argv[i]);
  }
  if (options.command.length === 0) options.command = DEFAULT_COMMAND;
  return options;
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const check = compileLineChecker();
  const raw = options.raw ? fs.createWriteStream(options.raw, { flags: 'a' }) : null;

  const sidecar = spawn(options.command[0], options.command.slice(1), {
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  sidecar.on('error', (error) => {
    console.log(`[host] cannot start the sidecar: ${error.message}`);
    process.exit(2);
  });
  sidecar.on('spawn', () => console.log(`[host] sidecar started (pid ${sidecar.pid})`));

  const stopSidecar = () => {
    if (sidecar.exitCode === null && sidecar.signalCode === null) sidecar.kill('SIGTERM');
  };
  process.on('exit', stopSidecar);
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.on(signal, () => process.exit(0));
  }

  let lastLine = Date.now();
  const watch = setInterval(() => {
    if (Date.now() - lastLine >= SILENCE_LIMIT_MS) {
      console.log(`[warning] no line from the sidecar for ${SILENCE_LIMIT_MS / 1000} s`);
      lastLine = Date.now();
    }
  }, 1000);

  sidecar.stdout.on(
    'data',
    lineFramer((line) => {
      lastLine = Date.now();
      if (raw) raw.write(`${line}\n`);
      const { event, error } = check(line);
      if (error) console.log(`[invalid] ${error}: ${line}`);
      else console.log(`[${event.event}] ${summarize(event)}`);
    }),
  );

  sidecar.on('exit', (code, signal) => {
    clearInterval(watch);
    console.log(`[host] sidecar ended (${signal ?? `status ${code}`})`);
    process.exitCode = 1;
  });
}

main();
