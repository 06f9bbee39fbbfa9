'use strict';
// A stand-in for the sidecar, for a host's own tests: it writes the events it is given at the
// sidecar's cadence and otherwise behaves like it, so the interviewer's screens can be tested for
// every kind of event, for silence, an exit and tamper reports, without a candidate's machine.
//
//   const { startFake } = require('watchdog-sidecar-host/testing');
//   const sidecar = startFake({ events: [{ event: 'vm_detected', payload: { ... } }], then: 'exit' });

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { start } = require('./index');

const SCRIPT = path.join(__dirname, 'testing-sidecar.js');
const THEN = ['silence', 'heartbeat', 'exit'];

// Starts the stand-in and returns the same object as start(). Options:
//   events      lines to write, in order: an event object (written as JSON) or a string (written as
//               it stands, so a host can test invalid and unknown lines);
//   file        a file of recorded lines, written before `events`;
//   intervalMs  the spacing of lines (1000, as the sidecar's loop; below 750 the library reports
//               the lines as 'too-fast' tamper, as it would for a real sidecar);
//   then        after the last line: 'silence' (stay quiet: the host sees 'silence'), 'heartbeat'
//               (beat every 5 s, as a quiet machine) or 'exit' (end with `exitCode`, default 0);
// and every option of start() but `path` and `args`.
function startFake({ events = [], file, intervalMs = 1000, then = 'silence', exitCode = 0, ...options } = {}) {
  if (!Array.isArray(events)) throw new TypeError('startFake(options): events must be an array');
  if (!(typeof intervalMs === 'number' && Number.isFinite(intervalMs) && intervalMs >= 0)) {
    throw new TypeError('startFake(options): intervalMs must be a number of milliseconds');
  }
  if (!THEN.includes(then)) throw new TypeError(`startFake(options): then must be one of ${THEN.join(', ')}`);
  if (!Number.isInteger(exitCode) || exitCode < 0 || exitCode > 255) {
    throw new TypeError('startFake(options): exitCode must be an integer from 0 to 255');
  }
  if (options.path !== undefined || options.args !== undefined) {
    throw new TypeError('startFake(options): path and args are the stand-in\'s own');
  }
  const lines = [];
  if (file !== undefined) lines.push(...fs.readFileSync(file, 'utf8').split('\n').filter((line) => line.length > 0));
  for (const event of events) {
    const line = typeof event === 'string' ? event : JSON.stringify(event);
    if (line.includes('\n')) throw new TypeError('startFake(options): an event may not hold a line feed');
    lines.push(line);
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'watchdog-fake-'));
  const linesFile = path.join(dir, 'lines');
  fs.writeFileSync(linesFile, lines.map((line) => `${line}\n`).join(''));
  const sidecar = start({
    ...options,
    path: process.execPath,
    args: [SCRIPT, linesFile, String(intervalMs), then, String(exitCode), '--remove'],
  });
  sidecar.once('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return sidecar;
}

module.exports = { startFake };
