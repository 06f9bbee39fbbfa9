'use strict';
// The sidecar's event stream as a host sees it: a validator for one line, and a short summary of
// an event for people.

const fs = require('node:fs');
const path = require('node:path');
const { StringDecoder } = require('node:string_decoder');
const Ajv2020 = require('ajv/dist/2020');

const SCHEMA_PATH = path.resolve(__dirname, '../../schema/watchdog-event.schema.json');

// Returns check(line) -> { event } for a valid line or { error } for anything else.
function compileLineChecker(schemaPath = SCHEMA_PATH) {
  const ajv = new Ajv2020({ allErrors: true, strict: true });
  const validate = ajv.compile(JSON.parse(fs.readFileSync(schemaPath, 'utf8')));
  return (line) => {
    let event;
    try {
      event = JSON.parse(line);
    } catch (error) {
      return { error: `not JSON: ${error.message}` };
    }
    if (!validate(event)) return { error: ajv.errorsText(validate.errors) };
    return { event };
  };
}

// Splits a byte stream into lines at line feeds only. Node's readline also ends a line at
// U+2028 and U+2029 (and Python's splitlines at U+0085), which may stand raw inside a JSON
// string; framing on line feed alone keeps every event whole. Returns a function to feed chunks;
// `onLine` gets each complete line without its line feed.
function lineFramer(onLine) {
  const decoder = new StringDecoder('utf8');
  let pending = '';
  return (chunk) => {
    pending += decoder.write(chunk);
    for (let end = pending.indexOf('\n'); end !== -1; end = pending.indexOf('\n')) {
      onLine(pending.slice(0, end));
      pending = pending.slice(end + 1);
    }
  };
}

function summarize({ event, payload }) {
  switch (event) {
    case 'heartbeat':
      return `alive at ${new Date(payload.timestamp).toISOString()}`;
    case 'vm_detected':
      return `virtual machine (confidence ${payload.confidence}): ${payload.indicators.join(', ')}`;
    case 'suspicious_process_detected':
      return payload.name === 'self'
        ? `the sidecar (pid ${payload.pid}) is being traced`
        : `${payload.reason}: ${payload.name} (pid ${payload.pid})`;
    case 'stealth_overlay_detected':
      return `AI assistant: ${payload.owner_name} (pid ${payload.owner_pid}), ${payload.reason}`;
    case 'screen_share_detected':
      return `screen share ${payload.is_active ? 'active' : 'inactive'} (${payload.method})`;
    case 'error':
      return `sidecar error: ${payload}`;
    default:
      return event;
  }
}

module.exports = { compileLineChecker, lineFramer, summarize, SCHEMA_PATH };
