'use strict';
// Starts watchdog-sidecar and hands its events to the host: framed on line feed only, parsed,
// checked against the event schema, and delivered through an EventEmitter and an async iterator.
// It also tells the host when the sidecar goes silent or ends. Nothing that arrives on the pipe
// may crash, hang or grow the host.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { parseLine, lineFramer, InvalidLineError } = require('./reader');
const { TamperWatch } = require('./tamper');
const {
  programKind,
  sidecarVersion,
  sha256File,
  identity,
  executedIdentity,
  foreignNamespaces,
} = require('./binary');
const { version: LIBRARY_VERSION } = require('./package.json');

const DEFAULT_SILENCE_MS = 15_000;
const DEFAULT_GRACE_MS = 3000;
const QUEUE_LIMIT = 1024; // events held for a `for await` loop that reads slower than they come
const BINARY = 'watchdog-sidecar';
const ENV_PATH = 'WATCHDOG_SIDECAR_PATH';
const DEB_PATH = '/usr/bin/watchdog-sidecar';
// Node's names for processor families, and Debian's, which name the release folders.
const FAMILIES = { x64: 'amd64', arm64: 'arm64' };

// A sidecar that cannot be started: not found, not executable, or for another processor family.
class SidecarStartError extends Error {
  constructor(message, code, details = {}) {
    super(message);
    this.name = 'SidecarStartError';
    this.code = code;
    Object.assign(this, details);
  }
}

// Every place the binary is looked for, in order, each with where the idea came from.
function candidates({ arch, resourcesPath, env }) {
  const places = [];
  if (env[ENV_PATH]) places.push({ file: env[ENV_PATH], from: ENV_PATH });
  if (resourcesPath) {
    for (const base of [path.join(resourcesPath, 'app.asar.unpacked'), resourcesPath]) {
      for (const name of new Set([arch, FAMILIES[arch] ?? arch])) {
        places.push({ file: path.join(base, BINARY, name, BINARY), from: 'resources' });
      }
      places.push({ file: path.join(base, BINARY), from: 'resources' });
    }
  }
  const platformPackage = platformBinary(arch);
  if (platformPackage) places.push({ ...platformPackage, from: 'platform package' });
  places.push({ file: path.join(path.dirname(process.execPath), BINARY), from: 'beside the executable' });
  places.push({ file: DEB_PATH, from: 'Debian package' });
  return places;
}

// The binary of the per-platform package for `arch`, when one is installed, with the digest the
// package records for it. In a packed Electron app the package lies in app.asar, whose files
// cannot be executed: the binary is taken from app.asar.unpacked (electron-builder's asarUnpack).
function platformBinary(arch) {
  try {
    const manifestPath = require.resolve(`watchdog-sidecar-linux-${arch}/package.json`);
    const manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
    const dir = path.dirname(manifestPath).replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
    const recorded = manifest.watchdogSidecar ?? {};
    return { file: path.join(dir, recorded.binary ?? path.join('bin', BINARY)), sha256: recorded.sha256 };
  } catch {
    return null;
  }
}

function isExecutableFile(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// Where the binary is, and every place looked at on the way; `from` tells which place it was and
// `sha256` the digest its platform package records.
function locateSidecar({ arch = process.arch, resourcesPath = process.resourcesPath, env = process.env } = {}) {
  const looked = [];
  // The variable, when set, decides: a wrong value is an error, not a reason to look elsewhere.
  for (const { file, from, sha256 } of candidates({ arch, resourcesPath, env })) {
    looked.push(file);
    if (from === ENV_PATH || fs.existsSync(file)) return { path: file, looked, from, sha256 };
  }
  return { path: null, looked };
}

// The sidecar binary shipped with the application, or null when there is none. The search order:
// WATCHDOG_SIDECAR_PATH; Electron's resources (app.asar.unpacked first), as
// watchdog-sidecar/<arch>/watchdog-sidecar or watchdog-sidecar; the platform package
// watchdog-sidecar-linux-<arch>; beside the running executable; /usr/bin/watchdog-sidecar.
function findSidecar(where = {}) {
  const found = locateSidecar(where).path;
  return found && isExecutableFile(found) ? found : null;
}

// The binary to start, checked: found, a file, executable, built for this processor family, of
// this library's major version, and the very file the expected digest names (the host's, or the
// platform package's). Returns it with its identity, version and digest.
function resolveBinary(given, expectedDigest) {
  let binary = given;
  let expected = expectedDigest;
  let from = 'path';
  if (binary === undefined) {
    const { path: found, looked, from: place, sha256 } = locateSidecar();
    if (!found) {
      throw new SidecarStartError(
        `watchdog-sidecar not found; looked at:\n  ${looked.join('\n  ')}\n` +
          `Give start({ path }) or set ${ENV_PATH}.`,
        'WATCHDOG_SIDECAR_NOT_FOUND',
        { looked },
      );
    }
    binary = found;
    from = place;
    expected = expected ?? sha256;
  }
  let stat;
  try {
    stat = fs.statSync(binary);
  } catch (error) {
    throw new SidecarStartError(`watchdog-sidecar not found at ${binary} (${error.code})`, 'WATCHDOG_SIDECAR_NOT_FOUND', {
      path: binary,
      looked: [binary],
    });
  }
  if (!stat.isFile()) {
    throw new SidecarStartError(`${binary} is not a file`, 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', { path: binary });
  }
  try {
    fs.accessSync(binary, fs.constants.X_OK);
  } catch {
    throw new SidecarStartError(
      `${binary} is not executable (mode ${(stat.mode & 0o777).toString(8)}): chmod +x it, or ship it with its execute bit`,
      'WATCHDOG_SIDECAR_NOT_EXECUTABLE',
      { path: binary },
    );
  }
  // Anything else would be handed to /bin/sh by the system's exec fallback and end in a puzzling
  // status 2 or 0.
  const kind = programKind(binary);
  if (kind && !kind.family && !kind.script) {
    throw new SidecarStartError(`${binary} is not a program (no ELF header)`, 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', {
      path: binary,
    });
  }
  const family = kind?.family;
  if (family && family !== process.arch) {
    throw new SidecarStartError(
      `${binary} is built for ${family}, but this machine runs ${process.arch}: ship the ${process.arch} binary`,
      'WATCHDOG_SIDECAR_WRONG_ARCH',
      { path: binary, family, expected: process.arch },
    );
  }
  const checked = identity(binary);
  const version = family ? sidecarVersion(binary) : null;
  if (version && major(version.version) !== major(LIBRARY_VERSION)) {
    throw new SidecarStartError(
      `${binary} is watchdog-sidecar ${version.version}, but this library (${LIBRARY_VERSION}) reads version ${major(LIBRARY_VERSION)}.x: ship matching versions`,
      'WATCHDOG_SIDECAR_VERSION',
      { path: binary, version: version.version, libraryVersion: LIBRARY_VERSION },
    );
  }
  let sha256 = null;
  if (expected) {
    sha256 = sha256File(binary);
    if (sha256 !== expected.toLowerCase()) {
      throw new SidecarStartError(
        `${binary} is not the expected binary: its SHA-256 is ${sha256}, ${from === 'platform package' ? 'its package records' : 'the host expects'} ${expected}`,
        'WATCHDOG_SIDECAR_DIGEST_MISMATCH',
        { path: binary, sha256, expectedSha256: expected },
      );
    }
  }
  return { binary, checked, version, sha256 };
}

function major(version) {
  return String(version).split('.')[0];
}

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

class Sidecar extends EventEmitter {
  constructor(options = {}) {
    super();
    checkOptions(options);
    const { binary, checked, version, sha256 } = resolveBinary(options.path, options.sha256);
    this.path = binary;
    this.version = version;
    this.sha256 = sha256;
    this.silenceMs = options.silenceMs ?? DEFAULT_SILENCE_MS;
    this.graceMs = options.graceMs ?? DEFAULT_GRACE_MS;
    this.exited = null;
    this.stopping = null;
    this.queue = [];
    this.waiters = [];
    this.iterators = 0; // `for await` loops reading now: the queue fills only for them
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
    const watchTamper = options.tamper !== false;
    // Once the program runs, the running file must be the checked one: a file swapped or mounted
    // over between the check and the start is another program.
    if (watchTamper && checked) {
      this.child.once('spawn', () => {
        const running = executedIdentity(this.child.pid);
        if (!running || this.exited) return;
        if (running.dev !== checked.dev || running.ino !== checked.ino) {
          this.emit('tamper', {
            kind: 'substituted',
            reason: 'the running program is not the file that was checked',
            evidence: { path: binary, checked, running },
          });
        }
      });
    }
    // The host's own view can be bent: in a nested PID or user namespace it sees only part of the
    // machine, and the sidecar it starts sees no more.
    const namespaces = watchTamper ? foreignNamespaces() : null;
    if (namespaces) {
      setImmediate(() =>
        this.emit('tamper', {
          kind: 'sandboxed',
          reason: 'the host runs in a PID or user namespace other than the initial one',
          evidence: { namespaces },
        }),
      );
    }

    if (this.pid && watchTamper) {
      this.tamper = new TamperWatch({ pid: this.pid, report: (tamper) => this.emit('tamper', tamper) });
    }
    this.watch = setInterval(() => this.checkSilence(), Math.min(1000, this.silenceMs));
    this.watch.unref();
    // A host that exits, however it exits, takes its sidecar with it. It cannot wait for a grace
    // period then, and the sidecar writes nothing as it ends, so nothing is lost by SIGKILL.
    this.stopOnHostExit = () => {
      this.kill('SIGCONT');
      this.kill('SIGTERM');
      this.kill('SIGKILL');
    };
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
    this.deliver({ value: event, done: false });
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
      this.endIterators();
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
    this.endIterators();
  }

  finish() {
    clearInterval(this.watch);
    clearTimeout(this.killTimer);
    this.tamper?.stop();
    process.removeListener('exit', this.stopOnHostExit);
  }

  endIterators() {
    for (const waiter of this.waiters.splice(0)) waiter.resolve({ value: undefined, done: true });
  }

  deliver(result) {
    const waiter = this.waiters.shift();
    if (waiter) {
      waiter.resolve(result);
      return;
    }
    if (this.iterators === 0) return;
    if (this.queue.length >= QUEUE_LIMIT) {
      this.queue.shift();
      this.droppedEvents++;
    }
    this.queue.push(result);
  }

  kill(signal = 'SIGTERM') {
    if (this.exited || this.child.exitCode !== null || this.child.signalCode !== null) return;
    try {
      this.child.kill(signal);
    } catch {
      // already gone
    }
  }

  // Ends the sidecar: SIGTERM (with SIGCONT, for a stopped one), then SIGKILL when it has not
  // ended within `graceMs` (default 3000). Resolves with how it ended; safe to call at any time
  // and more than once.
  stop({ graceMs = this.graceMs } = {}) {
    if (this.exited) return Promise.resolve(this.exited);
    if (!this.stopping) {
      this.stopping = new Promise((resolve) => this.once('exit', resolve));
      this.kill('SIGTERM');
      this.kill('SIGCONT');
      this.killTimer = setTimeout(() => this.kill('SIGKILL'), graceMs);
    }
    return this.stopping;
  }

  // Every valid event from the moment the loop starts, in order; ends when the sidecar has ended.
  // Events are held only while a loop reads, at most 1024 of them (the oldest are dropped and
  // counted in `droppedEvents`). Leaving the loop early (break, return, throw) stops the sidecar.
  [Symbol.asyncIterator]() {
    this.iterators++;
    let open = true;
    const close = () => {
      if (!open) return;
      open = false;
      this.iterators--;
      if (this.iterators === 0) this.queue.length = 0;
    };
    return {
      next: () => {
        if (!open) return Promise.resolve({ value: undefined, done: true });
        if (this.queue.length > 0) return Promise.resolve(this.queue.shift());
        if (this.exited) {
          close();
          return Promise.resolve({ value: undefined, done: true });
        }
        return new Promise((resolve, reject) => this.waiters.push({ resolve, reject }));
      },
      return: () => {
        const early = open && !this.exited;
        close();
        if (early) this.stop();
        return Promise.resolve({ value: undefined, done: true });
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }
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
        : `${payload.reason}: ${payload.name} (pid ${payload.pid})`;
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
