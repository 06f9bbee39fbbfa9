'use strict';
// Starts watchdog-sidecar and hands its events to the host: framed on line feed only, parsed,
// checked against the event schema, and delivered through an EventEmitter and an async iterator.
// It also tells the host when the sidecar goes silent or ends, and what the tamper watch finds.
// Nothing that arrives on the pipe may crash, hang or grow the host.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const { parseLine, lineFramer, InvalidLineError } = require('./reader');
const { TamperWatch } = require('./tamper');
const { sidecarVersion } = require('./binary');
const { SidecarStartError, locateSidecar, findSidecar, resolveBinary } = require('./locate');
const { stopChild } = require('./child');

const DEFAULT_SILENCE_MS = 15_000;
const DEFAULT_GRACE_MS = 3000;
const QUEUE_LIMIT = 1024; // events held for a `for await` loop that reads slower than they come

function checkOptions(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('start(options): options must be an object');
  const { path: file, args, silenceMs, stderr, tamper, graceMs, sha256 } = options;
  if (sha256 !== undefined && !(typeof sha256 === 'string' && /^[0-9a-fA-F]{64}$/.test(sha256))) {
    throw new TypeError('start(options): sha256 must be 64 hexadecimal digits');
  }
  if (file !== undefined && (typeof file !== 'string' || file === '')) {
    throw new TypeError('start(options): path must be a non-empty string');
  }
  if (args !== undefined && (!Array.isArray(args) || !args.every((arg) => typeof arg === 'string'))) {
    throw new TypeError('start(options): args must be an array of strings');
  }
  for (const [name, value] of [
    ['silenceMs', silenceMs],
    ['graceMs', graceMs],
  ]) {
    if (value !== undefined && !(typeof value === 'number' && Number.isFinite(value) && value > 0)) {
      throw new TypeError(`start(options): ${name} must be a positive number of milliseconds`);
    }
  }
  if (stderr !== undefined && !['ignore', 'inherit', 'pipe'].includes(stderr)) {
    throw new TypeError("start(options): stderr must be 'ignore', 'inherit' or 'pipe'");
  }
  if (tamper !== undefined && typeof tamper !== 'boolean') throw new TypeError('start(options): tamper must be a boolean');
}

// The events of one `for await` loop: every event from the moment the loop starts, held while
// the loop has not asked for them yet (at most QUEUE_LIMIT; the oldest are dropped and counted).
class EventReader {
  constructor(onDrop) {
    this.queue = [];
    this.waiting = null; // the resolve of a next() that waits for an event
    this.onDrop = onDrop;
  }

  push(event) {
    if (this.waiting) {
      const resolve = this.waiting;
      this.waiting = null;
      resolve({ value: event, done: false });
      return;
    }
    if (this.queue.length >= QUEUE_LIMIT) {
      this.queue.shift();
      this.onDrop();
    }
    this.queue.push(event);
  }

  // The next event, or the end once the sidecar has ended and every held event has been taken.
  next(ended) {
    if (this.queue.length > 0) return Promise.resolve({ value: this.queue.shift(), done: false });
    if (ended) return Promise.resolve({ value: undefined, done: true });
    return new Promise((resolve) => {
      this.waiting = resolve;
    });
  }

  end() {
    this.queue.length = 0;
    const resolve = this.waiting;
    this.waiting = null;
    resolve?.({ value: undefined, done: true });
  }
}

class Sidecar extends EventEmitter {
  constructor(options = {}) {
    super();
    checkOptions(options);
    const { binary, checked, version, sha256, unverified } = resolveBinary(options.path, options.sha256);
    this.path = binary;
    this.version = version;
    this.sha256 = sha256;
    this.silenceMs = options.silenceMs ?? DEFAULT_SILENCE_MS;
    this.graceMs = options.graceMs ?? DEFAULT_GRACE_MS;
    this.exited = null;
    this.stopping = null;
    this.cancelKill = () => {};
    this.readers = new Set(); // one per `for await` loop reading now
    this.droppedEvents = 0;
    this.lastLine = Date.now();
    this.silent = false;

    this.child = spawn(binary, options.args ?? [], {
      stdio: ['ignore', 'pipe', options.stderr ?? 'ignore'],
    });
    this.pid = this.child.pid;
    this.child.stdout.on(
      'data',
      lineFramer((line) => this.onLine(line), {
        onLong: (start) => this.emitInvalid(new InvalidLineError(start, 'line longer than 1 MiB, dropped')),
      }),
    );
    this.child.on('error', (error) => this.fail(error));
    this.child.on('exit', (code, signal) => this.onExit(code, signal));
    if (this.pid && options.tamper !== false) {
      this.tamper = new TamperWatch({
        pid: this.pid,
        binary,
        checked,
        unverified,
        report: (tamper) => this.emit('tamper', tamper),
      });
      this.child.once('spawn', () => {
        if (!this.exited) this.tamper?.spawned();
      });
    }
    this.watch = setInterval(() => this.checkSilence(), Math.min(1000, this.silenceMs));
    this.watch.unref();
    // A host that exits, however it exits, takes its sidecar with it.
    this.stopOnHostExit = () => stopChild(this.child, 0);
    process.on('exit', this.stopOnHostExit);
  }

  onLine(line) {
    this.lastLine = Date.now();
    this.silent = false;
    this.emit('line', line);
    const { event, unknown, error } = parseLine(line);
    this.tamper?.onLine(event ?? unknown);
    if (error) {
      this.emitInvalid(error);
      return;
    }
    if (unknown) {
      // A kind of event from a later sidecar: the host may look, the library does not judge it.
      this.emit('unknown', { line, value: unknown });
      return;
    }
    this.emit('event', event);
    for (const reader of this.readers) reader.push(event);
  }

  // Not 'error': an unhandled 'error' would end the host, and anyone who can write into the pipe
  // could then end the interview application with one bad line.
  emitInvalid(error) {
    this.emit('invalid', error);
  }

  checkSilence() {
    const quiet = Date.now() - this.lastLine;
    if (this.exited || this.silent || quiet < this.silenceMs) return;
    this.silent = true;
    this.emit('silence', { ms: quiet });
  }

  onExit(code, signal) {
    this.exited = { code, signal };
    this.finish();
    // Lines still in the pipe arrive before the stream ends; report the exit after them.
    const report = () => {
      this.emit('exit', this.exited);
      this.endReaders();
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
      this.child.stdout.destroy();
      report();
    }, 250).unref();
  }

  // The sidecar could not be started: reported as an exit with the error, and as 'error' to a
  // host that listens for it.
  fail(error) {
    if (this.exited) return;
    this.exited = { code: null, signal: null, error };
    this.finish();
    if (this.listenerCount('error') > 0) this.emit('error', error);
    this.emit('exit', this.exited);
    this.endReaders();
  }

  finish() {
    clearInterval(this.watch);
    this.cancelKill();
    this.tamper?.stop();
    process.removeListener('exit', this.stopOnHostExit);
  }

  // Loops waiting for an event end; events still held are given to them first.
  endReaders() {
    for (const reader of this.readers) {
      if (reader.queue.length === 0) reader.end();
    }
  }

  // Ends the sidecar: SIGTERM (with SIGCONT, for a stopped one), then SIGKILL when it has not
  // ended within `graceMs` (default 3000). Resolves with how it ended; safe to call at any time
  // and more than once.
  stop({ graceMs = this.graceMs } = {}) {
    if (this.exited) return Promise.resolve(this.exited);
    if (!this.stopping) {
      this.stopping = new Promise((resolve) => this.once('exit', resolve));
      this.cancelKill = stopChild(this.child, graceMs);
    }
    return this.stopping;
  }

  // Every valid event from the moment the loop starts, in order, to each loop; a loop ends when
  // the sidecar has ended and it has taken every event held for it. Events are held only while a
  // loop reads, at most 1024 for each (the oldest are dropped and counted in `droppedEvents`).
  // Leaving the last loop early (break, return, throw) stops the sidecar.
  [Symbol.asyncIterator]() {
    const reader = new EventReader(() => this.droppedEvents++);
    let open = !this.exited;
    if (open) this.readers.add(reader);
    const close = () => {
      if (!open) return false;
      open = false;
      this.readers.delete(reader);
      reader.end();
      return true;
    };
    return {
      next: () => {
        if (!open) return Promise.resolve({ value: undefined, done: true });
        return reader.next(this.exited !== null).then((result) => {
          if (result.done) close();
          return result;
        });
      },
      return: () => {
        if (close() && !this.exited && this.readers.size === 0) this.stop();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }
}

// Names that a catalogue pattern matches inside a longer, harmless name: the sidecar matches by
// substring, as designed, and the event stays as it is; the text for people says what it is.
const KNOWN_COLLISIONS = [
  { reason: 'Debugger', name: /^gdbus$/i, note: "GLib's D-Bus worker thread, in most desktop programs; not a debugger" },
  { reason: 'Screen Recorder', name: /obsidian/i, note: 'the Obsidian notes app; not a screen recorder' },
];

function collisionNote({ name, reason }) {
  const known = KNOWN_COLLISIONS.find((collision) => collision.reason === reason && collision.name.test(name));
  return known ? ` [likely harmless: ${known.note}]` : '';
}

// One line for people about an event, as the watch command and the example host print it.
function describeEvent({ event, payload }) {
  switch (event) {
    case 'heartbeat':
      return `alive at ${new Date(payload.timestamp).toISOString()}`;
    case 'vm_detected':
      return `virtual machine (confidence ${payload.confidence}): ${payload.indicators.join(', ')}`;
    case 'suspicious_process_detected':
      return payload.name === 'self'
        ? `the sidecar itself (pid ${payload.pid}): ${payload.reason}`
        : `${payload.reason}: ${payload.name} (pid ${payload.pid})${collisionNote(payload)}`;
    case 'stealth_overlay_detected':
      return `AI assistant: ${payload.owner_name} (pid ${payload.owner_pid}), ${payload.reason}`;
    case 'screen_share_detected':
      return `screen share ${payload.is_active ? 'active' : 'inactive'} (${payload.method})`;
    case 'error':
      return `sidecar error: ${payload}`;
    default:
      return JSON.stringify(payload);
  }
}

// Starts the sidecar. Options: `path` of the binary (default: findSidecar()'s search),
// `silenceMs` after which a stretch without lines is reported (15 s), `graceMs` that stop()
// waits before SIGKILL (3 s), `stderr` for its two start-up lines ('ignore'), `tamper: false` to
// turn off the tamper checks. Throws TypeError for a bad option and SidecarStartError when the
// binary cannot be started.
function start(options = {}) {
  return new Sidecar(options);
}

module.exports = {
  start,
  findSidecar,
  locateSidecar,
  parseLine,
  lineFramer,
  InvalidLineError,
  SidecarStartError,
  Sidecar,
  sidecarVersion,
  describeEvent,
};
