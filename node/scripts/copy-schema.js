#!/usr/bin/env node
'use strict';
// Puts a copy of the project's event schema beside the library before it is packed.

const fs = require('node:fs');
const path = require('node:path');
const { NAME } = require('../schema-path');

fs.copyFileSync(path.join(__dirname, '..', '..', 'schema', NAME), path.join(__dirname, '..', NAME));
