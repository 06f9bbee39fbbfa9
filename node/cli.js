#!/usr/bin/env node
'use strict';
// watchdog-sidecar-host watch [--json] [--path FILE]
//
// Starts the sidecar through the library and prints each event, tamper report, silence, invalid
// or unknown line and the exit as one line with the time, readable or (--json) as JSON lines. Ends
// with the sidecar's exit status (128 plus the signal's number when a signal ended it); Ctrl-C
// stops the sidecar first.

const os = require('node:os');
const { start, describeEvent } = require('./index');

const USAGE = 'usage: watchdog-sidecar-host watch [--json] [--path FILE]';

function exitStatus({ code, signal, error }) {
  if (error) return 2;
  if (signal) return 128 + (os.constants.signals[signal] ?? 0);
  return code ?? 1;
}

function main(argv) {
  const [command, ...rest] = argv;
  if (command !== 'watch') {
    console.error(USAGE);
    return 2;
  }
  let json = false;
  let file;
  for (let i = 0; i < rest.length; i++) {
    if (rest[i] === '--json') json = true;
    else if (rest[i] === '--path' && i + 1 < rest.length) file = rest[++i];
    else {
      console.error(USAGE);
      return 2;
    }
  }
  const print = (type, text, data) => {
    const time = new Date().toISOString();
    console.log(json ? JSON.stringify({ time, type, ...data }) : `${time} ${type.padEnd(7)} ${text}`);
  };

  let sidecar;
  try {
    sidecar = start(file === undefined ? {} : { path: file });
  } catch (error) {
    console.error(`watchdog-sidecar-host: ${error.message}`);
    return 2;
  }
  const version = sidecar.version ? ` ${sidecar.version.version}` : '';
  print('start', `watchdog-sidecar${version} (pid ${sidecar.pid}, ${sidecar.path})`, {
    pid: sidecar.pid,
    path: sidecar.path,
    version: sidecar.version,
  });
  sidecar.on('event', (event) => print('event', `${event.event}: ${describeEvent(event)}`, { event }));
  sidecar.on('unknown', ({ value }) => print('unknown', `an event this library does not know: ${value.event}`, { value }));
  sidecar.on('invalid', (error) => print('invalid', `${error.reason}: ${error.line}`, { reason: error.reason, line: error.line }));
  sidecar.on('silence', ({ ms }) => print('silence', `no line for ${ms} ms`, { ms }));
  sidecar.on('tamper', (tamper) =>
    print('tamper', `${tamper.kind}: ${tamper.reason} ${JSON.stringify(tamper.evidence)}`, { tamper }),
  );
  sidecar.on('error', () => {}); // reported with the exit
  sidecar.on('exit', (exit) => {
    const how = exit.error ? exit.error.message : exit.signal ? `by ${exit.signal}` : `with status ${exit.code}`;
    print('exit', `the sidecar ended ${how}`, { code: exit.code, signal: exit.signal, error: exit.error?.message });
    process.exit(exitStatus(exit));
  });
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => sidecar.stop());
  return null;
}

const status = main(process.argv.slice(2));
if (status !== null) process.exitCode = status;
