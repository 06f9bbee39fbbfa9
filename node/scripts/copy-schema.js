#!/usr/bin/env node
'use strict';
// Keeps the library's copy of the project's event schema (which it takes through require(), so
// bundlers inline it) equal to the project's. With --check, only says whether it is.

const fs = require('node:fs');
const path = require('node:path');
const { schemaPath, NAME } = require('../schema-path');

const copy = path.join(__dirname, '..', NAME);
const source = fs.readFileSync(schemaPath());
if (process.argv.includes('--check')) {
  if (!fs.existsSync(copy) || !fs.readFileSync(copy).equals(source)) {
    console.error(`${NAME} differs from the project's schema: run node scripts/copy-schema.js`);
    process.exit(1);
  }
} else {
  fs.writeFileSync(copy, source);
}
