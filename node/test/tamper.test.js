'use strict';
// Tamper evidence against the real binary: stopped, impersonated, and left alone.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { once } = require('node:events');
const { start } = require('..');

const REAL =
  process.env.SIDECAR_BINARY ??
  ['dev', 'release']
    .map((build) => path.join(__dirname, '..', '..', 'build', build, 'watchdog-sidecar'))
    .find((candidate) => fs.existsSync(candidate));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function record(sidecar) {
  const seen = [];
  sidecar.on('tamper', (tamper) => seen.push({ at: Date.now(), ...tamper }));
  return seen;
}

test('tamper evidence', { skip: !REAL, concurrency: true }, async (t) => {
  const tests = [];
  tests.push(t.test('SIGSTOP is reported within 6 s, and SIGCONT ends the reports', async () => {
    const sidecar = start({ path: REAL });
    t.after(() => sidecar.stop());
    const seen = record(sidecar);
    await once(sidecar, 'event');
    const stoppedAt = Date.now();
    process.kill(sidecar.pid, 'SIGSTOP');
    while (!seen.some((tamper) => tamper.kind === 'stopped') && Date.now() - stoppedAt < 6000) {
      await sleep(100);
    }
    const first = seen.find((tamper) => tamper.kind === 'stopped');
    assert.ok(first, JSON.stringify(seen));
    assert.ok(first.at - stoppedAt <= 6000);
    assert.deepEqual(first.evidence, { pid: sidecar.pid, state: 'T' });
    await sleep(6000);
    assert.ok(seen.filter((tamper) => tamper.kind === 'stopped').length >= 2, 'reported while it lasts');
    process.kill(sidecar.pid, 'SIGCONT');
    await sleep(1500);
    const continuedAt = Date.now();
    await sleep(7000);
    assert.deepEqual(seen.filter((tamper) => tamper.at > continuedAt), []);
    await sidecar.stop();
  }));

  tests.push(t.test('a process that writes a forged heartbeat into the output is named', async () => {
    const sidecar = start({ path: REAL });
    const seen = record(sidecar);
    const forged = [];
    sidecar.on('event', (event) => event.payload.timestamp === 1 && forged.push(event));
    let forger;
    try {
      await once(sidecar, 'event');
      // A socket cannot be opened through /proc: the forger takes a copy of the sidecar's
      // descriptor with pidfd_getfd, as any process allowed to trace it can.
      forger = spawn('python3', [
        '-c',
        `import ctypes, os, time
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.syscall(438, os.pidfd_open(${sidecar.pid}), 1, 0)
assert fd >= 0, os.strerror(ctypes.get_errno())
os.write(fd, b'{"event":"heartbeat","payload":{"timestamp":1}}\\n')
time.sleep(30)`,
      ]);
      const started = Date.now();
      while (!seen.some((tamper) => tamper.kind === 'impersonated') && Date.now() - started < 16_000) {
        await sleep(100);
      }
      const named = seen.find((tamper) => tamper.kind === 'impersonated');
      assert.equal(forged.length, 1, 'the forged line reached the host');
      assert.ok(named, JSON.stringify(seen));
      assert.equal(named.evidence.pid, forger.pid);
      assert.equal(named.evidence.name, 'python3');
      assert.equal(named.evidence.writes, true);
      assert.match(named.evidence.channel, /^socket:\[\d+\]$/);
      // With the forger still holding its output, a sidecar that ends leaves it open.
      const exited = once(sidecar, 'exit');
      process.kill(sidecar.pid, 'SIGKILL');
      await exited;
      assert.ok(seen.some((tamper) => tamper.kind === 'gone'), JSON.stringify(seen));
    } finally {
      forger?.kill('SIGKILL');
      await sidecar.stop();
    }
  }));

  tests.push(t.test('an untouched sidecar gives no tamper in 30 s', async () => {
    const sidecar = start({ path: REAL });
    t.after(() => sidecar.stop());
    const seen = record(sidecar);
    await sleep(30_000);
    assert.deepEqual(seen, []);
    await sidecar.stop();
  }));
  await Promise.all(tests);
});
