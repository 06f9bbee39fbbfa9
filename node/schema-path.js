'use strict';
// Where the project's event schema is, for the scripts that build the library in a checkout. The
// library itself takes its copy through require() (see reader.js).

const path = require('node:path');

const NAME = 'watchdog-event.schema.json';

function schemaPath() {
  return path.join(__dirname, '..', 'schema', NAME);
}

module.exports = { schemaPath, NAME };
