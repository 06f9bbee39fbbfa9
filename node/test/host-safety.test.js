'use strict';
// What must never happen to a host, whatever arrives on the pipe or however the sidecar is
// shipped: a crash, a hang or growth. Each test here stands for a fault a host once met.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
const { start, locateSidecar, lineFramer, SidecarStartError } = require('..');
const { startFake } = require('../testing');

const ROOT = path.join(__dirname, '..');
const FAKE = path.join(ROOT, 'fixtures', 'fake-sidecar.js');
const REAL = require('./real-binary');

const fake = (args, options = {}) => start({ path: process.execPath, args: [FAKE, ...args], ...options });
const heartbeatAt = (timestamp) => ({ event: 'heartbeat', payload: { timestamp } });
const tempDir = (tag) => fs.mkdtempSync(path.join(os.tmpdir(), `sidecar-${tag}-`));

test('a host bundled with esbuild, far from node_modules, reads valid events', { skip: !REAL }, () => {
  const dir = tempDir('bundle');
  const entry = path.join(dir, 'main.js');
  fs.writeFileSync(
    entry,
    `const { start } = require(${JSON.stringify(ROOT)});
     const sidecar = start({ path: process.argv[2] });
     const seen = [];
     sidecar.on('invalid', (error) => { console.log('invalid ' + error.reason); process.exitCode = 1; });
     sidecar.on('event', (event) => {
       seen.push(event.event);
       if (event.event === 'heartbeat') sidecar.stop().then(() => console.log(seen.join(',')));
     });`,
  );
  const out = path.join(dir, 'app', 'main.bundle.js');
  const esbuild = require.resolve('esbuild/bin/esbuild');
  const built = spawnSync(esbuild, [entry, '--bundle', '--platform=node', `--outfile=${out}`, '--log-level=error'], {
    encoding: 'utf8',
  });
  assert.equal(built.status, 0, built.stderr);
  // Nothing of the library is reachable from the bundle's folder but the bundle itself.
  const run = spawnSync(process.execPath, [out, REAL], { cwd: path.dirname(out), encoding: 'utf8', timeout: 120_000 });
  fs.rmSync(dir, { recursive: true });
  assert.equal(run.status, 0, run.stdout + run.stderr);
  assert.match(run.stdout.trim(), /(^|,)heartbeat$/);
});

test('later versions: unknown members are kept, unknown kinds go to unknown, wrong types stay invalid', async () => {
  const sidecar = fake(['future']);
  const unknown = [];
  const invalid = [];
  sidecar.on('unknown', (value) => unknown.push(value));
  sidecar.on('invalid', (error) => invalid.push(error));
  const events = [];
  await new Promise((resolve) =>
    sidecar.on('event', (event) => {
      events.push(event);
      if (events.length === 2) resolve();
    }),
  );
  assert.deepEqual(events[0], {
    event: 'heartbeat',
    payload: { timestamp: 1796900000004, uptime_s: 12 },
    seq: 1,
  });
  assert.equal(events[1].payload.timestamp, 1796900000005);
  assert.deepEqual(unknown, [
    {
      line: '{"event":"screen_recording_detected","payload":{"pid":9}}',
      value: { event: 'screen_recording_detected', payload: { pid: 9 } },
    },
  ]);
  assert.equal(invalid.length, 1);
  assert.equal(invalid[0].reason, 'vm_detected/payload/is_vm must be boolean');
  await sidecar.stop();
});

test('stop() ends a stopped sidecar, escalates to SIGKILL, and is safe to call again', async () => {
  const stopped = fake(['silent']);
  await once(stopped, 'event');
  process.kill(stopped.pid, 'SIGSTOP');
  const first = stopped.stop();
  assert.equal(stopped.stop(), first);
  assert.deepEqual(await first, { code: null, signal: 'SIGTERM' });
  assert.deepEqual(await stopped.stop(), { code: null, signal: 'SIGTERM' });

  const stubborn = fake(['stubborn']);
  await once(stubborn, 'event');
  const began = Date.now();
  assert.deepEqual(await stubborn.stop({ graceMs: 300 }), { code: null, signal: 'SIGKILL' });
  assert.ok(Date.now() - began >= 250);
});

test('200,000 lines heard through on("event") leave the heap where it was', () => {
  // In a process of its own, with the collector at hand.
  const script = `
    const { start } = require(${JSON.stringify(ROOT)});
    global.gc();
    const before = process.memoryUsage().heapUsed;
    const sidecar = start({ path: process.execPath, args: [${JSON.stringify(FAKE)}, 'flood', '200000'] });
    let count = 0;
    sidecar.on('event', () => {
      if (++count < 200000) return;
      setImmediate(() => {
        global.gc();
        console.log(JSON.stringify({ count, growth: process.memoryUsage().heapUsed - before }));
        sidecar.stop();
      });
    });`;
  const run = spawnSync(process.execPath, ['--expose-gc', '-e', script], { encoding: 'utf8', timeout: 300_000 });
  assert.equal(run.status, 0, run.stderr);
  const { count, growth } = JSON.parse(run.stdout);
  assert.equal(count, 200000);
  assert.ok(growth < 5 * 1024 * 1024, `heap grew by ${growth} bytes`);
});

test('a slow for await loop holds at most 1,024 events and counts the ones it dropped', async () => {
  const sidecar = fake(['flood', '3000']);
  // Until the emitter has heard all of them, however long the machine takes.
  let heard = 0;
  const all = new Promise((resolve) => sidecar.on('event', () => ++heard === 3000 && resolve()));
  const iterator = sidecar[Symbol.asyncIterator]();
  await iterator.next();
  await all;
  assert.equal(sidecar.droppedEvents, 3000 - 1 - 1024);
  let held = 0;
  const nothingMore = Symbol('nothing more');
  for (;;) {
    const next = await Promise.race([iterator.next(), new Promise((resolve) => setImmediate(resolve, nothingMore))]);
    if (next === nothingMore) break;
    held += 1;
  }
  assert.equal(held, 1024);
  await iterator.return();
  const [exit] = sidecar.exited ? [sidecar.exited] : await once(sidecar, 'exit');
  assert.equal(exit.signal, 'SIGTERM', 'leaving the loop early stops the sidecar');
});

test('every for await loop gets every event from its start; only the last to leave stops it', async () => {
  const sidecar = startFake({ events: [1, 2, 3, 4, 5].map(heartbeatAt), intervalMs: 50, then: 'silence', tamper: false });
  const first = sidecar[Symbol.asyncIterator]();
  const second = sidecar[Symbol.asyncIterator]();
  const stamps = async (iterator, count) => {
    const seen = [];
    while (seen.length < count) seen.push((await iterator.next()).value.payload.timestamp);
    return seen;
  };
  assert.deepEqual(await Promise.all([stamps(first, 3), stamps(second, 3)]), [
    [1, 2, 3],
    [1, 2, 3],
  ]);
  // One loop leaves: the other reads on and the sidecar runs.
  await first.return();
  assert.equal(sidecar.exited, null);
  assert.deepEqual(await stamps(second, 2), [4, 5]);
  // A loop that starts now gets nothing from before its start.
  const third = sidecar[Symbol.asyncIterator]();
  const waiting = third.next();
  await second.return();
  assert.equal(sidecar.exited, null, 'a loop still reads');
  // The last one leaves: the sidecar is stopped, and the next() that waited ends.
  await third.return();
  assert.deepEqual(await waiting, { value: undefined, done: true });
  const [exit] = sidecar.exited ? [sidecar.exited] : await once(sidecar, 'exit');
  assert.equal(exit.signal, 'SIGTERM');
});

test('a loop that waits ends with the sidecar, after the events held for it', async () => {
  const sidecar = startFake({ events: [7, 8].map(heartbeatAt), intervalMs: 50, then: 'exit', tamper: false });
  const early = sidecar[Symbol.asyncIterator]();
  const late = sidecar[Symbol.asyncIterator]();
  const seen = [];
  for await (const event of { [Symbol.asyncIterator]: () => early }) seen.push(event.payload.timestamp);
  assert.deepEqual(seen, [7, 8]);
  assert.deepEqual((await late.next()).value.payload.timestamp, 7);
  assert.deepEqual((await late.next()).value.payload.timestamp, 8);
  assert.deepEqual(await late.next(), { value: undefined, done: true });
});

test('every line over the bound is dropped, finished or not, counted in bytes', () => {
  const lines = [];
  const long = [];
  const frame = lineFramer((line) => lines.push(line.length), { maxLine: 1 << 20, onLong: (start) => long.push(start.length) });
  frame(Buffer.from(`${'x'.repeat(1_114_101)}\n`)); // one chunk, finished
  frame(Buffer.from(`${'\u00e9'.repeat(600_000)}\n`)); // 600,000 characters, 1,200,000 bytes
  frame(Buffer.from(`${'y'.repeat(1 << 20)}\n`)); // exactly the bound
  // Cut into pieces that never hold the whole line.
  for (let piece = 0; piece < 20; piece++) frame(Buffer.from('z'.repeat(100_000)));
  frame(Buffer.from('\nok\n'));
  assert.deepEqual(lines, [1 << 20, 2]);
  assert.deepEqual(long, [200, 200, 200]);
});

test('a line longer than 1 MiB is dropped as invalid and reading goes on', async () => {
  const sidecar = fake(['long']);
  const [invalid] = await once(sidecar, 'invalid');
  assert.match(invalid.reason, /longer than 1 MiB/);
  assert.ok(invalid.line.length <= 200);
  const [event] = await once(sidecar, 'event');
  assert.equal(event.payload.timestamp, 1796900000008);
  await sidecar.stop();
});

test('what cannot be started is refused before spawning, saying why', () => {
  const dir = tempDir('refuse');
  const file = (name, content, mode) => {
    const at = path.join(dir, name);
    fs.writeFileSync(at, content, { mode });
    return at;
  };
  // An ELF header of the other processor family (machine field at byte 18).
  const elf = (machine) => {
    const header = Buffer.alloc(64);
    header.writeUInt32BE(0x7f454c46, 0);
    header[4] = 2;
    header[5] = 1;
    header.writeUInt16LE(machine, 18);
    return header;
  };
  const other = process.arch === 'arm64' ? { machine: 62, family: 'x64' } : { machine: 183, family: 'arm64' };
  const cases = [
    { path: path.join(dir, 'missing'), code: 'WATCHDOG_SIDECAR_NOT_FOUND', message: /not found at/ },
    { path: file('no-x', elf(62), 0o644), code: 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', message: /not executable \(mode 644\)/ },
    { path: file('empty', '', 0o755), code: 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', message: /not a program/ },
    { path: dir, code: 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', message: /is not a file/ },
    {
      path: file('other-family', elf(other.machine), 0o755),
      code: 'WATCHDOG_SIDECAR_WRONG_ARCH',
      message: new RegExp(`built for ${other.family}, but this machine runs ${process.arch}`),
    },
  ];
  for (const c of cases) {
    assert.throws(
      () => start({ path: c.path }),
      (error) => error instanceof SidecarStartError && error.code === c.code && c.message.test(error.message),
      c.path,
    );
  }
  fs.rmSync(dir, { recursive: true });
});

test('the search names every place it looked, and WATCHDOG_SIDECAR_PATH overrides it', () => {
  const resources = tempDir('resources');
  const { path: found, looked } = locateSidecar({ arch: 'x64', resourcesPath: resources, env: {} });
  assert.equal(found === null || found === '/usr/bin/watchdog-sidecar', true, found);
  assert.ok(looked.includes(path.join(resources, 'app.asar.unpacked', 'watchdog-sidecar', 'x64', 'watchdog-sidecar')));
  assert.ok(looked.includes(path.join(resources, 'watchdog-sidecar', 'amd64', 'watchdog-sidecar')));
  assert.ok(looked.includes('/usr/bin/watchdog-sidecar'));

  const unpacked = path.join(resources, 'app.asar.unpacked', 'watchdog-sidecar');
  fs.mkdirSync(path.dirname(unpacked), { recursive: true });
  fs.writeFileSync(unpacked, '#!/bin/sh\n', { mode: 0o755 });
  assert.equal(locateSidecar({ arch: 'x64', resourcesPath: resources, env: {} }).path, unpacked);
  const chosen = path.join(resources, 'chosen');
  assert.equal(
    locateSidecar({ arch: 'x64', resourcesPath: resources, env: { WATCHDOG_SIDECAR_PATH: chosen } }).path,
    chosen,
  );

  // start() without a path takes the variable, and a wrong one is an error naming it.
  const saved = process.env.WATCHDOG_SIDECAR_PATH;
  process.env.WATCHDOG_SIDECAR_PATH = chosen;
  try {
    assert.throws(() => start(), (error) => error.code === 'WATCHDOG_SIDECAR_NOT_FOUND' && error.message.includes(chosen));
  } finally {
    if (saved === undefined) delete process.env.WATCHDOG_SIDECAR_PATH;
    else process.env.WATCHDOG_SIDECAR_PATH = saved;
  }
  fs.rmSync(resources, { recursive: true });
});

test('options are checked with a TypeError', () => {
  const bad = [
    null,
    { path: 5 },
    { path: '' },
    { args: 'x' },
    { args: [1] },
    { silenceMs: 0 },
    { silenceMs: -1 },
    { silenceMs: Number.NaN },
    { silenceMs: '5' },
    { graceMs: 0 },
    { stderr: 'file' },
    { tamper: 'yes' },
  ];
  for (const options of bad) {
    assert.throws(() => start(options), TypeError, JSON.stringify(options));
  }
});

test('the package holds what a host expects: exports, types, README, licence', () => {
  const manifest = require('../package.json');
  assert.deepEqual(Object.keys(manifest.exports), ['.', './testing', './package.json', './schema', './watchdog-event.schema.json']);
  assert.equal(manifest.types, 'index.d.ts');
  assert.equal(manifest.engines.node, '>=20');
  const packed = spawnSync('npm', ['pack', '--dry-run', '--json', '--ignore-scripts'], { cwd: ROOT, encoding: 'utf8' });
  assert.equal(packed.status, 0, packed.stderr);
  const files = JSON.parse(packed.stdout)[0].files.map((entry) => entry.path).sort();
  for (const needed of ['LICENSE', 'README.md', 'index.d.ts', 'index.js', 'reader.js', 'watchdog-event.schema.json']) {
    assert.ok(files.includes(needed), `${needed} not in ${files}`);
  }
  const copy = spawnSync(process.execPath, [path.join(ROOT, 'scripts', 'copy-schema.js'), '--check'], { encoding: 'utf8' });
  assert.equal(copy.status, 0, copy.stderr);
});
