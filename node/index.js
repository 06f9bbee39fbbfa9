'use strict';
// Starts watchdog-sidecar and hands its events to the host: framed on line feed only, parsed,
// validated against the event schema, and delivered through an EventEmitter and an async
// iterator. It also tells the host when the sidecar goes silent or ends.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { StringDecoder } = require('node:string_decoder');
const Ajv2020 = require('ajv/dist/2020');
const { schemaPath } = require('./schema-path');
const { TamperWatch } = require('./tamper');

const DEFAULT_SILENCE_MS = 15_000;
const BINARY = 'watchdog-sidecar';
// Node's names for processor families, and Debian's, which name the release folders.
const FAMILIES = { x64: 'amd64', arm64: 'arm64' };

let compiled = null;
function validator() {
  if (!compiled) {
    const ajv = new Ajv2020({ allErrors: true, strict: true });
    const validate = ajv.compile(JSON.parse(fs.readFileSync(schemaPath(), 'utf8')));
    compiled = { ajv, validate };
  }
  return compiled;
}

// A line of the sidecar's output that is not one valid event.
class InvalidLineError extends Error {
  constructor(line, reason) {
    super(`invalid line from the sidecar: ${reason}`);
    this.name = 'InvalidLineError';
    this.line = line;
    this.reason = reason;
  }
}

// { event } for a line that is one valid event, else { error }.
function parseLine(line) {
  let value;
  try {
    value = JSON.parse(line);
  } catch (error) {
    return { error: new InvalidLineError(line, `not JSON: ${error.message}`) };
  }
  const { ajv, validate } = validator();
  if (!validate(value)) return { error: new InvalidLineError(line, ajv.errorsText(validate.errors)) };
  return { event: value };
}

// Calls `onLine` with every complete line of a byte stream, split at line feeds only. Node's
// readline also ends a line at U+2028 and U+2029, which may stand inside a JSON string.
function lineFramer(onLine) {
  const decoder = new StringDecoder('utf8');
  let pending = '';
  return (chunk) => {
    pending += decoder.write(chunk);
    let end = pending.indexOf('\n');
    while (end !== -1) {
      onLine(pending.slice(0, end));
      pending = pending.slice(end + 1);
      end = pending.indexOf('\n');
    }
  };
}

// The sidecar binary shipped with the application: in an Electron app's resources
// (`extraResources` to `watchdog-sidecar/<arch>/watchdog-sidecar`, where <arch> is Node's name,
// x64 or arm64, or Debian's, amd64 or arm64), else beside the running executable. Null when
// there is none.
function findSidecar({ arch = process.arch, resourcesPath = process.resourcesPath } = {}) {
  const candidates = [];
  if (resourcesPath) {
    for (const name of new Set([arch, FAMILIES[arch] ?? arch])) {
      candidates.push(path.join(resourcesPath, BINARY, name, BINARY));
    }
    candidates.push(path.join(resourcesPath, BINARY));
  }
  candidates.push(path.join(path.dirname(process.execPath), BINARY));
  const executable = (candidate) => {
    try {
      fs.accessSync(candidate, fs.constants.X_OK);
      return fs.statSync(candidate).isFile();
    } catch {
      return false;
    }
  };
  return candidates.find(executable) ?? null;
}

class Sidecar extends EventEmitter {
  constructor(options = {}) {
    super();
    const binary = options.path ?? findSidecar();
    if (!binary) throw new Error('watchdog-sidecar not found: give its path');
    this.silenceMs = options.silenceMs ?? DEFAULT_SILENCE_MS;
    this.exited = null;
    this.queue = [];
    this.waiters = [];
    this.lastLine = Date.now();
    this.silent = false;

    this.child = spawn(binary, options.args ?? [], {
      stdio: ['ignore', 'pipe', options.stderr ?? 'ignore'],
    });
    this.pid = this.child.pid;
    this.child.stdout.on('data', lineFramer((line) => this.onLine(line)));
    this.child.on('error', (error) => this.fail(error));
    this.child.on('exit', (code, signal) => this.onExit(code, signal));

    if (this.pid && options.tamper !== false) {
      this.tamper = new TamperWatch({ pid: this.pid, report: (tamper) => this.emit('tamper', tamper) });
    }
    this.watch = setInterval(() => this.checkSilence(), Math.min(1000, this.silenceMs));
    this.watch.unref();
    // A host that exits, however it exits, takes its sidecar with it.
    this.stopOnHostExit = () => this.kill();
    process.on('exit', this.stopOnHostExit);
  }

  onLine(line) {
    this.lastLine = Date.now();
    this.silent = false;
    this.emit('line', line);
    const { event, error } = parseLine(line);
    this.tamper?.onLine(event);
    if (error) {
      // Not 'error': an unhandled 'error' would end the host, and anyone who can write into the
      // pipe could then end the interview application with one bad line.
      this.emit('invalid', error);
      return;
    }
    this.emit('event', event);
    this.deliver({ value: event, done: false });
  }

  checkSilence() {
    const quiet = Date.now() - this.lastLine;
    if (this.exited || this.silent || quiet < this.silenceMs) return;
    this.silent = true;
    this.emit('silence', { ms: quiet });
  }

  onExit(code, signal) {
    this.exited = { code, signal };
    clearInterval(this.watch);
    this.tamper?.stop();
    process.removeListener('exit', this.stopOnHostExit);
    // Lines still in the pipe arrive before the stream ends; report the exit after them.
    const report = () => {
      this.emit('exit', this.exited);
      for (const waiter of this.waiters.splice(0)) waiter.resolve({ value: undefined, done: true });
    };
    if (this.child.stdout.readableEnded || this.child.stdout.destroyed) {
      report();
      return;
    }
    // Another process may still hold the write end: then the stream never ends.
    let reported = false;
    this.child.stdout.once('close', () => {
      if (!reported) report();
      reported = true;
    });
    setTimeout(() => {
      if (reported) return;
      reported = true;
      this.tamper?.onGoneWithOutputOpen();
      report();
    }, 250).unref();
  }

  // The sidecar could not be started: reported as an exit with the error, and as 'error' to a
  // host that listens for it.
  fail(error) {
    if (this.exited) return;
    this.exited = { code: null, signal: null, error };
    clearInterval(this.watch);
    this.tamper?.stop();
    process.removeListener('exit', this.stopOnHostExit);
    if (this.listenerCount('error') > 0) this.emit('error', error);
    this.emit('exit', this.exited);
    for (const waiter of this.waiters.splice(0)) waiter.resolve({ value: undefined, done: true });
  }

  deliver(result) {
    const waiter = this.waiters.shift();
    if (waiter) waiter.resolve(result);
    else this.queue.push(result);
  }

  kill(signal = 'SIGTERM') {
    if (!this.exited && this.child.exitCode === null && this.child.signalCode === null) {
      this.child.kill(signal);
    }
  }

  // Ends the sidecar with SIGTERM; resolves with how it ended.
  stop() {
    if (this.exited) return Promise.resolve(this.exited);
    return new Promise((resolve) => {
      this.once('exit', resolve);
      this.kill();
    });
  }

  // Every valid event, in order; ends when the sidecar has ended.
  [Symbol.asyncIterator]() {
    return {
      next: () => {
        if (this.queue.length > 0) return Promise.resolve(this.queue.shift());
        if (this.exited) return Promise.resolve({ value: undefined, done: true });
        return new Promise((resolve, reject) => this.waiters.push({ resolve, reject }));
      },
      return: () => {
        this.queue.length = 0;
        return Promise.resolve({ value: undefined, done: true });
      },
    };
  }
}

// Starts the sidecar. Options: `path` of the binary (default: findSidecar()), `silenceMs` after
// which a stretch without lines is reported (15 s), `stderr` for its two start-up lines ('ignore'),
// `tamper: false` to turn off the tamper checks.
function start(options) {
  return new Sidecar(options);
}

module.exports = { start, findSidecar, parseLine, lineFramer, InvalidLineError, Sidecar };
