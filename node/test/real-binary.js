'use strict';
// The real sidecar for the library's tests: SIDECAR_BINARY, else the checkout's debug or release
// build; undefined when there is none (the tests that need it are skipped).

const fs = require('node:fs');
const path = require('node:path');

module.exports =
  process.env.SIDECAR_BINARY ??
  ['dev', 'release']
    .map((build) => path.join(__dirname, '..', '..', 'build', build, 'watchdog-sidecar'))
    .find((candidate) => fs.existsSync(candidate));
