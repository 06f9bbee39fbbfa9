'use strict';
// Tamper evidence against the real binary: stopped, impersonated, and left alone.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const { start } = require('..');

const REAL = require('./real-binary');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function record(sidecar) {
  const seen = [];
  sidecar.on('tamper', (tamper) => seen.push({ at: Date.now(), ...tamper }));
  return seen;
}

test('tamper evidence', { skip: !REAL, concurrency: true }, async (t) => {
  const tests = [];
  tests.push(t.test('SIGSTOP is reported while it lasts, and SIGCONT ends the reports', async () => {
    const sidecar = start({ path: REAL });
    t.after(() => sidecar.stop());
    const seen = record(sidecar);
    await once(sidecar, 'event');
    process.kill(sidecar.pid, 'SIGSTOP');
    // Two reports, five seconds apart, within a bound that only a hang reaches.
    const stopped = () => seen.filter((tamper) => tamper.kind === 'stopped');
    const giveUp = Date.now() + 120_000;
    while (stopped().length < 2 && Date.now() < giveUp) await sleep(100);
    assert.ok(stopped().length >= 2, JSON.stringify(seen));
    assert.deepEqual(stopped()[0].evidence, { pid: sidecar.pid, state: 'T' });
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
      while (!seen.some((tamper) => tamper.kind === 'impersonated') && Date.now() - started < 120_000) {
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
