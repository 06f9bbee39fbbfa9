'use strict';
// Where the event schema is: beside this module in a packed library, or in the project's schema
// folder in a checkout.

const fs = require('node:fs');
const path = require('node:path');

const NAME = 'watchdog-event.schema.json';

function schemaPath() {
  const packed = path.join(__dirname, NAME);
  return fs.existsSync(packed) ? packed : path.join(__dirname, '..', 'schema', NAME);
}

module.exports = { schemaPath, NAME };
