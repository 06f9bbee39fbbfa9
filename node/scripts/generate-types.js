#!/usr/bin/env node
'use strict';
// Writes events.d.ts, the TypeScript declarations of the sidecar's events, from the project's
// JSON Schema. With --check it writes nothing and fails when the checked-in file differs.

const fs = require('node:fs');
const path = require('node:path');
const { compile } = require('json-schema-to-typescript');
const { schemaPath } = require('../schema-path');

const target = path.join(__dirname, '..', 'events.d.ts');

async function main() {
  const schema = JSON.parse(fs.readFileSync(schemaPath(), 'utf8'));
  const text = await compile(schema, 'WatchdogEvent', {
    bannerComment:
      '// The events of watchdog-sidecar, generated from watchdog-event.schema.json by\n' +
      '// scripts/generate-types.js. Do not edit: change the schema and generate again.',
    additionalProperties: false,
    format: true,
  });
  if (process.argv.includes('--check')) {
    const current = fs.existsSync(target) ? fs.readFileSync(target, 'utf8') : '';
    if (current !== text) {
      console.error(`${target} is out of date with the schema: run npm run generate-types`);
      process.exit(1);
    }
    return;
  }
  fs.writeFileSync(target, text);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
