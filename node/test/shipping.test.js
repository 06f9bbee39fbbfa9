'use strict';
// Shipping and trusting the binary: its version from JavaScript, a verified start, the stand-in
// for hosts' own tests and the watch command.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { once } = require('node:events');
const { start, sidecarVersion, describeEvent, SidecarStartError } = require('..');
const { startFake } = require('../testing');

const ROOT = path.join(__dirname, '..');
const REAL = require('./real-binary');
const LIBRARY_VERSION = require('../package.json').version;
const sha256 = (file) => crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
const tempDir = (tag) => fs.mkdtempSync(path.join(os.tmpdir(), `sidecar-${tag}-`));

test('sidecarVersion reads the package note; a started sidecar carries it', { skip: !REAL }, async () => {
  const version = sidecarVersion(REAL);
  assert.equal(version.name, 'watchdog-sidecar');
  assert.equal(version.version, LIBRARY_VERSION);
  assert.equal(version.family, process.arch);
  assert.match(version.commit ?? '', /^([0-9a-f]{12})?$/);
  assert.equal(sidecarVersion(process.execPath), null);
  assert.equal(sidecarVersion(path.join(ROOT, 'index.js')), null);
  assert.equal(sidecarVersion('/nonexistent'), null);

  const sidecar = start({ path: REAL, sha256: sha256(REAL) });
  assert.deepEqual(sidecar.version, version);
  assert.equal(sidecar.sha256, sha256(REAL));
  await once(sidecar, 'event');
  await sidecar.stop();
});

test('a binary of another major version is refused with both versions named', { skip: !REAL }, () => {
  const dir = tempDir('version');
  const copy = path.join(dir, 'watchdog-sidecar');
  const data = fs.readFileSync(REAL);
  const note = Buffer.from(`"version":"${LIBRARY_VERSION}"`);
  const at = data.indexOf(note);
  assert.ok(at > 0);
  const other = `${Number(LIBRARY_VERSION.split('.')[0]) + 1}.0.0`.padEnd(LIBRARY_VERSION.length, '0');
  assert.equal(other.length, LIBRARY_VERSION.length);
  Buffer.from(`"version":"${other}"`).copy(data, at);
  fs.writeFileSync(copy, data, { mode: 0o755 });
  assert.throws(
    () => start({ path: copy }),
    (error) =>
      error instanceof SidecarStartError &&
      error.code === 'WATCHDOG_SIDECAR_VERSION' &&
      error.message.includes(other) &&
      error.message.includes(LIBRARY_VERSION),
  );
  fs.rmSync(dir, { recursive: true });
});

test('a wrong digest is refused before spawning', { skip: !REAL }, () => {
  assert.throws(
    () => start({ path: REAL, sha256: '0'.repeat(64) }),
    (error) => error.code === 'WATCHDOG_SIDECAR_DIGEST_MISMATCH' && error.sha256 === sha256(REAL),
  );
  assert.throws(() => start({ path: REAL, sha256: 'abc' }), TypeError);
});

const unshare = spawnSync('unshare', ['-Urm', 'true']).status === 0;
test('a fake mounted over the binary is refused, and without a digest reported as substituted', { skip: !REAL || !unshare }, () => {
  const dir = tempDir('substitute');
  const binary = path.join(dir, 'watchdog-sidecar');
  fs.copyFileSync(REAL, binary);
  fs.chmodSync(binary, 0o755);
  const fake = path.join(dir, 'fake.sh');
  fs.writeFileSync(fake, '#!/bin/sh\nwhile :; do echo \'{"event":"heartbeat","payload":{"timestamp":1}}\'; sleep 1; done\n', {
    mode: 0o755,
  });
  const host = path.join(dir, 'host.js');
  fs.writeFileSync(
    host,
    `const { start } = require(${JSON.stringify(ROOT)});
     const options = { path: ${JSON.stringify(binary)} };
     if (process.argv[2]) options.sha256 = process.argv[2];
     try {
       const sidecar = start(options);
       sidecar.on('tamper', (tamper) => console.log('tamper ' + tamper.kind));
       setTimeout(() => sidecar.stop(), 1500);
     } catch (error) {
       console.log('refused ' + error.code);
     }`,
  );
  const run = (...args) =>
    spawnSync(
      'unshare',
      ['-Urm', 'sh', '-c', `mount --bind "$0" "$1" && exec "$2" "$3" "$4"`, fake, binary, process.execPath, host, ...args],
      { encoding: 'utf8', timeout: 120_000 },
    );
  assert.equal(run(sha256(REAL)).stdout.trim(), 'refused WATCHDOG_SIDECAR_DIGEST_MISMATCH');
  const unchecked = run().stdout.trim().split('\n');
  assert.ok(unchecked.includes('tamper substituted'), unchecked.join('\n'));
  assert.ok(unchecked.includes('tamper sandboxed'), unchecked.join('\n'));
  fs.rmSync(dir, { recursive: true });
});

test('startFake: every kind of event at the cadence, raw lines, then an exit', async () => {
  const events = [
    { event: 'vm_detected', payload: { is_vm: true, confidence: 0.8, indicators: ['cpuid_hypervisor'] } },
    { event: 'suspicious_process_detected', payload: { pid: 7, name: 'obs', reason: 'Screen Recorder' } },
    { event: 'suspicious_process_detected', payload: { pid: 8, name: 'self', reason: 'Process table is masked (proc mounts)' } },
    {
      event: 'stealth_overlay_detected',
      payload: {
        severity: 'high',
        owner_name: 'Cluely',
        owner_pid: 9,
        bundle_id: null,
        window_layer: 0,
        window_alpha: 1,
        matched_list: 'denylist',
        capture_excluded: false,
        method: 'process_name',
        reason: "running process matches AI-assistant denylist: 'Cluely'",
        os_note: null,
      },
    },
    { event: 'heartbeat', payload: { timestamp: 1796900000000 } },
    'not json',
    '{"event":"later_kind","payload":{}}',
  ];
  const sidecar = startFake({ events, intervalMs: 100, then: 'exit', exitCode: 3, tamper: false });
  const seen = [];
  const times = [];
  sidecar.on('event', (event) => {
    seen.push(event);
    times.push(Date.now());
  });
  const invalid = [];
  const unknown = [];
  sidecar.on('invalid', (error) => invalid.push(error.line));
  sidecar.on('unknown', ({ value }) => unknown.push(value.event));
  const [exit] = await once(sidecar, 'exit');
  assert.deepEqual(seen, events.slice(0, 5));
  assert.deepEqual(invalid, ['not json']);
  assert.deepEqual(unknown, ['later_kind']);
  assert.deepEqual(exit, { code: 3, signal: null });
  assert.ok(times.at(-1) - times[0] >= 350, 'lines are spaced, not written at once');
});

test('startFake: a recorded file, then silence; stop() ends it like the sidecar', async () => {
  const dir = tempDir('recorded');
  const file = path.join(dir, 'run.jsonl');
  fs.writeFileSync(file, '{"event":"heartbeat","payload":{"timestamp":1796900000000}}\n');
  const sidecar = startFake({ file, intervalMs: 50, silenceMs: 300 });
  await once(sidecar, 'event');
  const [silence] = await once(sidecar, 'silence');
  assert.ok(silence.ms >= 300);
  assert.deepEqual(await sidecar.stop(), { code: null, signal: 'SIGTERM' });
  fs.rmSync(dir, { recursive: true });
  assert.throws(() => startFake({ then: 'later' }), TypeError);
  assert.throws(() => startFake({ events: ['a\nb'] }), TypeError);
});

test('watch prints each event and the exit with the time, and ends with the sidecar\'s status', { skip: !REAL }, async () => {
  for (const json of [false, true]) {
    const watch = spawn(process.execPath, [path.join(ROOT, 'cli.js'), 'watch', ...(json ? ['--json'] : [])], {
      env: { ...process.env, WATCHDOG_SIDECAR_PATH: REAL, WATCHDOG_SIDECAR_SHA256: sha256(REAL) },
    });
    let output = '';
    watch.stdout.on('data', (chunk) => {
      output += chunk;
      const lines = output.split('\n');
      // Once an event has been printed, kill the sidecar from outside.
      if (lines.length >= 3 && !watch.killedSidecar) {
        const first = json ? JSON.parse(lines[0]) : null;
        const pid = json ? first.pid : Number(/pid (\d+)/.exec(lines[0])[1]);
        watch.killedSidecar = true;
        process.kill(pid, 'SIGKILL');
      }
    });
    const [status] = await once(watch, 'exit');
    assert.equal(status, 128 + 9);
    const lines = output.trim().split('\n');
    if (json) {
      const parsed = lines.map((line) => JSON.parse(line));
      assert.equal(parsed[0].type, 'start');
      assert.equal(parsed[0].version.version, LIBRARY_VERSION);
      assert.equal(parsed[1].type, 'event');
      assert.equal(typeof parsed[1].event.event, 'string');
      assert.deepEqual(
        { type: parsed.at(-1).type, signal: parsed.at(-1).signal },
        { type: 'exit', signal: 'SIGKILL' },
      );
      assert.ok(parsed.every((entry) => !Number.isNaN(Date.parse(entry.time))));
    } else {
      assert.match(lines[0], /^\d{4}-\d\d-\d\dT[\d:.]+Z start +watchdog-sidecar \d+\.\d+\.\d+ \(pid \d+, /);
      assert.match(lines[1], /^\S+Z event +\w+: /);
      assert.match(lines.at(-1), /^\S+Z exit +the sidecar ended by SIGKILL$/);
    }
  }
});

// Runs `action` with the environment variables `vars` set (undefined removes one), then restores
// them.
function withEnv(vars, action) {
  const saved = Object.fromEntries(Object.keys(vars).map((name) => [name, process.env[name]]));
  const set = (values) => {
    for (const [name, value] of Object.entries(values)) {
      if (value === undefined) delete process.env[name];
      else process.env[name] = value;
    }
  };
  set(vars);
  try {
    return action();
  } finally {
    set(saved);
  }
}

test('a binary from WATCHDOG_SIDECAR_PATH is checked against WATCHDOG_SIDECAR_SHA256, or reported unverified', { skip: !REAL }, async () => {
  const tampers = async (digest) => {
    const sidecar = withEnv({ WATCHDOG_SIDECAR_PATH: REAL, WATCHDOG_SIDECAR_SHA256: digest }, () => start());
    const seen = [];
    sidecar.on('tamper', (tamper) => seen.push(tamper));
    await once(sidecar, 'event');
    await sidecar.stop();
    return seen.filter((tamper) => tamper.kind === 'unverified');
  };
  const unverified = await tampers(undefined);
  assert.equal(unverified.length, 1);
  assert.deepEqual(unverified[0].evidence, { path: REAL, variable: 'WATCHDOG_SIDECAR_PATH' });
  assert.deepEqual(await tampers(sha256(REAL).toUpperCase()), []);
  for (const digest of ['0'.repeat(64), 'not a digest']) {
    withEnv({ WATCHDOG_SIDECAR_PATH: REAL, WATCHDOG_SIDECAR_SHA256: digest }, () =>
      assert.throws(() => start(), (error) => error.code === 'WATCHDOG_SIDECAR_DIGEST_MISMATCH'),
    );
  }
  // An explicit path is the host's own choice: nothing to report.
  const chosen = start({ path: REAL });
  const seen = [];
  chosen.on('tamper', (tamper) => seen.push(tamper.kind));
  await once(chosen, 'event');
  await chosen.stop();
  assert.ok(!seen.includes('unverified'), seen.join(','));
});

test('describeEvent says which names match a pattern by accident; the event is unchanged', () => {
  const line = (name, reason) => describeEvent({ event: 'suspicious_process_detected', payload: { pid: 7, name, reason } });
  assert.match(line('gdbus', 'Debugger'), /^Debugger: gdbus \(pid 7\) \[likely harmless: GLib's D-Bus worker thread/);
  assert.match(line('obsidian', 'Screen Recorder'), /\[likely harmless: the Obsidian notes app/);
  assert.match(line('Obsidian', 'Screen Recorder'), /likely harmless/);
  for (const [name, reason] of [
    ['gdb', 'Debugger'],
    ['gdbus-monitor-x', 'Debugger'],
    ['obs', 'Screen Recorder'],
    ['obsidian', 'Debugger'],
  ]) {
    assert.equal(line(name, reason), `${reason}: ${name} (pid 7)`);
  }
});
