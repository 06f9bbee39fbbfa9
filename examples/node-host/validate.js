#!/usr/bin/env node
'use strict';
// Validates a file of sidecar lines (or standard input) against the event schema: prints "ok" or
// "invalid: <reason>" per line and exits with status 1 when any line is invalid.
//
//   node validate.js [FILE]

const fs = require('node:fs');
const { parseLine } = require('watchdog-sidecar-host');

const text = fs.readFileSync(process.argv[2] ?? 0, 'utf8');
const lines = text.endsWith('\n') ? text.slice(0, -1).split('\n') : text.split('\n');
let invalid = 0;
for (const line of text.length === 0 ? [] : lines) {
  const { error } = parseLine(line);
  if (error) invalid++;
  console.log(error ? `invalid: ${error.reason}` : 'ok');
}
process.exit(invalid === 0 ? 0 : 1);
