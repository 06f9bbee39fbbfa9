'use strict';
// The host library against a fake sidecar that misbehaves, and against the real binary.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { once } = require('node:events');
const { start, findSidecar } = require('..');

const FAKE = path.join(__dirname, '..', 'fixtures', 'fake-sidecar.js');
const REAL = require('./real-binary');

const fake = (mode, options = {}) => start({ path: process.execPath, args: [FAKE, mode], ...options });

function collect(sidecar, name, count) {
  const seen = [];
  return new Promise((resolve) => {
    sidecar.on(name, (value) => {
      seen.push(value);
      if (seen.length === count) resolve(seen);
    });
  });
}

function gone(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2).startsWith('Z');
  } catch {
    return true;
  }
}

test('a line split across reads, even inside a character, is one event', async () => {
  const sidecar = fake('split');
  const [event] = await collect(sidecar, 'event', 1);
  assert.deepEqual(event, {
    event: 'suspicious_process_detected',
    payload: { pid: 5, name: 'obs\u00e9', reason: 'Screen Recorder' },
  });
  await sidecar.stop();
});

test('lines that do not parse or validate are reported and reading goes on', async () => {
  const sidecar = fake('garbage');
  const invalid = collect(sidecar, 'invalid', 2);
  const [event] = await collect(sidecar, 'event', 1);
  const [notJson, notEvent] = await invalid;
  assert.equal(notJson.name, 'InvalidLineError');
  assert.equal(notJson.line, 'not json at all');
  assert.match(notJson.reason, /^not JSON/);
  assert.equal(notEvent.line, '{"event":"heartbeat","payload":{"timestamp":-1}}');
  assert.equal(event.payload.timestamp, 1796900000000);
  await sidecar.stop();
});

test('U+2028, U+2029 and U+0085 inside a text do not end the line', async () => {
  const sidecar = fake('separators');
  const [first, second] = await collect(sidecar, 'event', 2);
  assert.equal(first.payload.name, 'a\u2028b\u2029c\u0085d \u2028e');
  assert.equal(second.event, 'heartbeat');
  await sidecar.stop();
});

test('a sidecar that goes silent is reported once per silent stretch', async () => {
  const sidecar = fake('silent', { silenceMs: 300 });
  const silences = [];
  sidecar.on('silence', (info) => silences.push(info));
  await once(sidecar, 'event');
  await once(sidecar, 'silence');
  // Four more checks of the silent stretch, however late the timers come: still one report.
  for (let check = 0; check < 4; check++) await new Promise((resolve) => setTimeout(resolve, 300));
  assert.equal(silences.length, 1);
  assert.ok(silences[0].ms >= 300);
  await sidecar.stop();
});

test('a sidecar that dies is reported with its status, after its last lines', async () => {
  const sidecar = fake('dies');
  const order = [];
  sidecar.on('event', () => order.push('event'));
  sidecar.on('exit', () => order.push('exit'));
  // A loop started at once gets the line and ends with the sidecar.
  const seen = [];
  for await (const event of sidecar) seen.push(event);
  assert.equal(seen.length, 1);
  assert.deepEqual(sidecar.exited, { code: 3, signal: null });
  assert.deepEqual(order, ['event', 'exit']);
  // One started after the end has nothing to give: events are held only while a loop reads.
  for await (const event of sidecar) assert.fail(`held ${JSON.stringify(event)}`);
});

test('the sidecar is stopped when the host process exits', async () => {
  const host = spawn(process.execPath, [
    '-e',
    `const s = require(${JSON.stringify(path.join(__dirname, '..'))}).start({ path: process.execPath,
       args: [${JSON.stringify(FAKE)}, 'silent'] });
     s.once('event', () => { console.log(s.pid); process.exit(0); });`,
  ]);
  let output = '';
  host.stdout.on('data', (chunk) => (output += chunk));
  await once(host, 'exit');
  const pid = Number(output.trim());
  assert.ok(pid > 0, output);
  for (let tries = 0; tries < 1500 && !gone(pid); tries++) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  assert.ok(gone(pid), `sidecar ${pid} outlived its host`);
});

test('findSidecar looks in an Electron app\'s resources by processor family', () => {
  const resources = fs.mkdtempSync(path.join(require('node:os').tmpdir(), 'sidecar-resources-'));
  const binary = path.join(resources, 'watchdog-sidecar', 'arm64', 'watchdog-sidecar');
  fs.mkdirSync(path.dirname(binary), { recursive: true });
  fs.writeFileSync(binary, '', { mode: 0o755 });
  assert.equal(findSidecar({ arch: 'arm64', resourcesPath: resources }), binary);
  assert.equal(findSidecar({ arch: 'x64', resourcesPath: resources }), null);
  const amd64 = path.join(resources, 'watchdog-sidecar', 'amd64', 'watchdog-sidecar');
  fs.mkdirSync(path.dirname(amd64), { recursive: true });
  fs.writeFileSync(amd64, '', { mode: 0o755 });
  assert.equal(findSidecar({ arch: 'x64', resourcesPath: resources }), amd64);
  fs.rmSync(resources, { recursive: true });
});

test('the real sidecar: typed, valid events; a heartbeat; stop ends it by SIGTERM', { skip: !REAL }, async () => {
  const sidecar = start({ path: REAL });
  const invalid = [];
  sidecar.on('invalid', (error) => invalid.push(error));
  const seen = [];
  for await (const event of sidecar) {
    seen.push(event);
    assert.equal(typeof event.payload, 'object');
    if (event.event === 'heartbeat') break;
  }
  // Each finding on the machine (a VM, a recorder that runs beside the tests) comes before it.
  assert.ok(seen.length >= 1 && seen.length <= 20, JSON.stringify(seen));
  assert.ok(seen.at(-1).payload.timestamp > 1.7e12);
  assert.deepEqual(invalid, []);
  const pid = sidecar.pid;
  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGTERM' });
  assert.ok(gone(pid));
});

test('the real sidecar: leaving a for await loop early stops it', { skip: !REAL }, async () => {
  const sidecar = start({ path: REAL });
  for await (const event of sidecar) {
    assert.equal(typeof event.event, 'string');
    break;
  }
  const [exit] = sidecar.exited ? [sidecar.exited] : await once(sidecar, 'exit');
  assert.deepEqual(exit, { code: null, signal: 'SIGTERM' });
});

test('the real sidecar: an exit from outside is reported', { skip: !REAL }, async () => {
  const sidecar = start({ path: REAL });
  await once(sidecar, 'event');
  process.kill(sidecar.pid, 'SIGKILL');
  const [exit] = await once(sidecar, 'exit');
  assert.deepEqual(exit, { code: null, signal: 'SIGKILL' });
});

test('the declarations are what the schema generates, and a typed host compiles', () => {
  const root = path.join(__dirname, '..');
  const check = spawnSync(process.execPath, [path.join(root, 'scripts', 'generate-types.js'), '--check'], {
    encoding: 'utf8',
  });
  assert.equal(check.status, 0, check.stderr);
  const tsc = spawnSync(
    process.execPath,
    [require.resolve('typescript/bin/tsc'), '-p', path.join(__dirname, 'tsconfig.json')],
    { encoding: 'utf8' },
  );
  assert.equal(tsc.status, 0, tsc.stdout + tsc.stderr);
});
