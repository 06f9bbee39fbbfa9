'use strict';
// The tamper rules on a fake proc folder and a fake clock.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {
  TamperWatch,
  processFacts,
  stateFindings,
  substitution,
  unverifiedStart,
  sandboxing,
  FrozenWindow,
  LineSpacing,
} = require('../tamper');

function fakeSidecar({ state = 'S', switches = 100 } = {}) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'tamper-proc-'));
  const dir = path.join(root, '42');
  fs.mkdirSync(path.join(dir, 'fd'), { recursive: true });
  const write = (fields) => {
    fs.writeFileSync(path.join(dir, 'stat'), `42 (watchdog (x)) ${fields.state} 1 42 42 0 -1\n`);
    fs.writeFileSync(
      path.join(dir, 'status'),
      `Name:\twatchdog-sideca\nTracerPid:\t${fields.tracer ?? 0}\nvoluntary_ctxt_switches:\t${fields.switches}\n`,
    );
  };
  write({ state, switches });
  let now = 1_000_000;
  const seen = [];
  const watch = new TamperWatch({ pid: 42, procRoot: root, now: () => now, report: (t) => seen.push(t) });
  watch.stop();
  return {
    watch,
    seen,
    write,
    advance(ms) {
      now += ms;
    },
    cleanup: () => fs.rmSync(root, { recursive: true }),
  };
}

const heartbeat = (timestamp) => ({ event: 'heartbeat', payload: { timestamp } });

test('lines that keep coming while the sidecar does not run are a frozen sidecar', () => {
  const fake = fakeSidecar();
  for (let second = 0; second < 7; second++) {
    fake.advance(1000);
    fake.watch.tick();
    if (second % 2 === 0) fake.watch.onLine(heartbeat(second * 1000));
  }
  assert.deepEqual(
    fake.seen.map((t) => t.kind),
    ['too-soon', 'frozen'],
  );
  assert.equal(fake.seen[1].evidence.voluntary_switches, 0);
  fake.cleanup();
});

test('a running sidecar that sleeps once a second is not frozen, and silence is not frozen', () => {
  const fake = fakeSidecar();
  let switches = 100;
  for (let second = 0; second < 12; second++) {
    fake.advance(1000);
    fake.write({ state: 'S', switches: (switches += 1) });
    fake.watch.tick();
    if (second % 6 === 0) fake.watch.onLine(heartbeat(second * 1000));
  }
  const silent = fakeSidecar();
  for (let second = 0; second < 12; second++) {
    silent.advance(1000);
    silent.watch.tick();
  }
  assert.deepEqual(fake.seen, []);
  assert.deepEqual(silent.seen, []);
  fake.cleanup();
  silent.cleanup();
});

test('stopped, traced and fast lines; a host that was held up does not count', () => {
  const fake = fakeSidecar({ state: 'T' });
  fake.watch.tick();
  fake.write({ state: 't', switches: 100, tracer: 77 });
  fake.advance(5000);
  fake.watch.tick();
  assert.deepEqual(
    fake.seen.map((t) => [t.kind, t.evidence]),
    [
      ['stopped', { pid: 42, state: 'T' }],
      ['traced', { pid: 42, state: 't' }],
    ],
  );
  fake.seen.length = 0;
  fake.write({ state: 'S', switches: 100 });
  fake.advance(5000);
  fake.watch.onLine(null);
  fake.advance(300);
  fake.watch.onLine(null);
  assert.deepEqual(fake.seen.map((t) => t.kind), ['too-fast']);

  // The host's timer came 2 s late: lines that waited in the pipe meanwhile arrive together.
  const held = fakeSidecar();
  held.watch.onLine(null);
  held.advance(3000);
  held.watch.tick();
  held.watch.onLine(null);
  held.watch.onLine(null);
  assert.deepEqual(held.seen, []);
  fake.cleanup();
  held.cleanup();
});

test('a flood of lines reads the sidecar\'s process at most four times a second', () => {
  const fake = fakeSidecar();
  let reads = 0;
  const check = fake.watch.checkProcess.bind(fake.watch);
  fake.watch.checkProcess = () => {
    reads += 1;
    check();
  };
  // 10,000 lines over one second, as anything that writes into the pipe could send them.
  for (let line = 0; line < 10_000; line++) {
    if (line % 10 === 0) fake.advance(1);
    fake.watch.onLine(heartbeat(line));
  }
  assert.equal(reads, 4);
  assert.ok(fake.watch.frozen.samples.length <= 4);
  fake.cleanup();
});

test('the pieces: what a look at the process says, and the start checks', () => {
  const facts = processFacts(
    '42 (a) b) (c) t 1 42 42 0 -1\n',
    'Name:\tx\nTracerPid:\t77\nvoluntary_ctxt_switches:\t9\n',
  );
  assert.deepEqual(facts, { state: 't', tracer: 77, switches: 9 });
  assert.equal(processFacts(null, ''), null);
  assert.deepEqual(
    stateFindings(42, facts).map((found) => [found.kind, found.evidence]),
    [
      ['traced', { pid: 42, state: 't' }],
      ['traced', { pid: 42, tracer_pid: 77 }],
    ],
  );
  assert.deepEqual(stateFindings(42, { state: 'S', tracer: 0 }), []);

  const checked = { dev: 1, ino: 2 };
  assert.equal(substitution('/bin/x', checked, { dev: 1, ino: 2 }), null);
  assert.equal(substitution('/bin/x', null, { dev: 1, ino: 3 }), null, 'nothing was checked');
  assert.equal(substitution('/bin/x', checked, null), null, 'it ended before the look');
  assert.deepEqual(substitution('/bin/x', checked, { dev: 1, ino: 3 }).evidence, {
    path: '/bin/x',
    checked,
    running: { dev: 1, ino: 3 },
  });
  assert.equal(unverifiedStart('/opt/x', false), null);
  assert.equal(unverifiedStart('/opt/x', true).kind, 'unverified');
  assert.equal(sandboxing(null), null);
  assert.equal(sandboxing({ pid: 4026532301 }).kind, 'sandboxed');
});

test('the pieces: a frozen window and the spacing of lines, on given instants', () => {
  const window = new FrozenWindow();
  const kinds = [];
  for (let second = 0; second <= 6; second++) {
    const found = window.add(42, { at: second * 1000, switches: 100, stopped: false, lines: 1 });
    if (found) kinds.push([second, found.kind, found.evidence.lines]);
  }
  assert.deepEqual(kinds, [
    [5, 'frozen', 5],
    [6, 'frozen', 5],
  ]);
  // A stopped sample in the window is the stopped report's, not a frozen one.
  const stopped = new FrozenWindow();
  for (let second = 0; second <= 6; second++) {
    assert.equal(stopped.add(42, { at: second * 1000, switches: 100, stopped: second === 3, lines: 1 }), null);
  }

  const spacing = new LineSpacing();
  assert.deepEqual(spacing.add(0, heartbeat(0), false), []);
  assert.deepEqual(spacing.add(5000, heartbeat(5000), false), []);
  assert.deepEqual(spacing.add(5200, null, false).map((found) => found.kind), ['too-fast']);
  assert.deepEqual(spacing.add(5400, null, true), [], 'the host was held up');
  assert.deepEqual(spacing.add(9000, heartbeat(8000), false).map((found) => found.kind), ['too-soon']);
});
