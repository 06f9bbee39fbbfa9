#!/usr/bin/env node
'use strict';
// Validates a file of sidecar lines (or standard input) against the event schema, strictly: only
// what this version of the sidecar writes is "ok" (a host reading lines leaves out the strictness
// and so also takes later versions' lines). Prints "ok" or "invalid: <reason>" per line and exits
// with status 1 when any line is invalid.
//
//   node validate.js [FILE]

const fs = require('node:fs');
const { parseLine } = require('watchdog-sidecar-host');

const text = fs.readFileSync(process.argv[2] ?? 0, 'utf8');
const lines = text.endsWith('\n') ? text.slice(0, -1).split('\n') : text.split('\n');
let invalid = 0;
for (const line of text.length === 0 ? [] : lines) {
  const { error } = parseLine(line, { strict: true });
  if (error) invalid++;
  console.log(error ? `invalid: ${error.reason}` : 'ok');
}
process.exit(invalid === 0 ? 0 : 1);
