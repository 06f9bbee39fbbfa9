'use strict';
// Reading the sidecar's output: lines framed on line feed only, parsed, and checked against the
// event schema. The schema comes in through require(), so a bundler (esbuild, webpack, Vite)
// inlines it and a bundled host reads no file to validate.

const Ajv2020 = require('ajv/dist/2020');
const schema = require('./watchdog-event.schema.json');

// A line of the sidecar's output that is not one valid event.
class InvalidLineError extends Error {
  constructor(line, reason) {
    super(`invalid line from the sidecar: ${reason}`);
    this.name = 'InvalidLineError';
    this.line = line;
    this.reason = reason;
  }
}

// The schema as a reader of later versions needs it: every member it knows must have its type,
// and members it does not know may be there (the format grows within a major version).
function tolerant(node) {
  if (Array.isArray(node)) return node.map(tolerant);
  if (node === null || typeof node !== 'object') return node;
  const copy = {};
  for (const [key, value] of Object.entries(node)) {
    if (key === 'additionalProperties' && value === false) continue;
    copy[key] = tolerant(value);
  }
  return copy;
}

// One validator per kind of event, strict and tolerant, so a bad line is told what is wrong with
// it as the event it names and not as every other kind.
const BRANCHES = new Map(schema.oneOf.map((branch) => [branch.properties.event.const, branch]));
const KNOWN_EVENTS = new Set(BRANCHES.keys());

let compiled = null;
function validators() {
  if (!compiled) {
    const ajv = new Ajv2020({ allErrors: true, strict: true });
    const tolerantDefs = tolerant(schema.$defs);
    compiled = { ajv, strict: new Map(), tolerant: new Map() };
    for (const [kind, branch] of BRANCHES) {
      compiled.strict.set(kind, ajv.compile({ $defs: schema.$defs, ...branch }));
      compiled.tolerant.set(kind, ajv.compile({ $defs: tolerantDefs, ...tolerant(branch) }));
    }
  }
  return compiled;
}

// One line of output: { event } for a valid event of a known kind (members it does not know kept
// as they are), { unknown } for an object naming a kind this library does not know, else
// { error }. With `strict`, only what this version of the sidecar writes is valid: no unknown
// member and no unknown kind.
function parseLine(line, { strict = false } = {}) {
  let value;
  try {
    value = JSON.parse(line);
  } catch (error) {
    return { error: new InvalidLineError(line, `not JSON: ${error.message}`) };
  }
  if (value === null || typeof value !== 'object' || Array.isArray(value)) {
    return { error: new InvalidLineError(line, 'not a JSON object') };
  }
  if (typeof value.event !== 'string') {
    return { error: new InvalidLineError(line, 'no "event" text naming the kind of event') };
  }
  if (!KNOWN_EVENTS.has(value.event)) {
    if (strict) return { error: new InvalidLineError(line, `unknown event "${value.event}"`) };
    return { unknown: value };
  }
  const { ajv, ...all } = validators();
  const check = (strict ? all.strict : all.tolerant).get(value.event);
  if (!check(value)) {
    return { error: new InvalidLineError(line, ajv.errorsText(check.errors, { dataVar: value.event })) };
  }
  return { event: value };
}

// Calls `onLine` with every line of a byte stream, split at line feeds only: Node's readline also
// ends a line at U+2028 and U+2029, which may stand inside a JSON string. Lines are framed as
// bytes and decoded whole (ill-formed UTF-8 becomes U+FFFD). A line of more than `maxLine` bytes,
// finished or not, is dropped and its first 200 characters are given to `onLong`, so nothing that
// writes into the pipe can make the host hold an endless line or pass one over the bound.
function lineFramer(onLine, { maxLine = 1 << 20, onLong = () => {} } = {}) {
  let pending = []; // copies of the pieces of an unfinished line
  let pendingBytes = 0;
  let skipping = false; // inside an overlong line, until its line feed
  const tooLong = (piece) => {
    const head = Buffer.concat([...pending, piece.subarray(0, 800)]).subarray(0, 800);
    onLong(head.toString('utf8').slice(0, 200));
    pending = [];
    pendingBytes = 0;
    skipping = true;
  };
  return (chunk) => {
    const bytes = typeof chunk === 'string' ? Buffer.from(chunk, 'utf8') : chunk;
    let start = 0;
    while (start <= bytes.length) {
      const end = bytes.indexOf(0x0a, start);
      const piece = bytes.subarray(start, end === -1 ? bytes.length : end);
      if (!skipping && pendingBytes + piece.length > maxLine) tooLong(piece);
      if (end === -1) {
        if (!skipping && piece.length > 0) {
          pending.push(Buffer.from(piece));
          pendingBytes += piece.length;
        }
        return;
      }
      if (skipping) {
        skipping = false;
      } else {
        const line = pending.length === 0 ? piece : Buffer.concat([...pending, piece]);
        pending = [];
        pendingBytes = 0;
        onLine(line.toString('utf8'));
      }
      start = end + 1;
    }
  };
}

module.exports = { parseLine, lineFramer, InvalidLineError };
