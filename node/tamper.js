'use strict';
// Evidence that someone has tampered with a running sidecar, gathered by the host: a program other
// than the one that was checked, a host in a sandbox, the sidecar stopped or traced, frozen while
// lines keep coming, another process holding its end of the output channel (the socket or pipe
// behind its standard output), or lines that come faster than the sidecar writes them. The sidecar
// cannot report any of this itself: it is stopped, or someone else is talking for it.
//
// The rules are small pure pieces over what was read and when; `TamperWatch` reads the proc file
// system on a timer and on lines, and hands what it read to them.

const fs = require('node:fs');
const path = require('node:path');
const { executedIdentity, foreignNamespaces } = require('./binary');

const CHECK_PERIOD_MS = 1000;
const REPEAT_MS = 5000; // a condition that lasts is reported again this often
const SCAN_PERIOD_MS = 15_000;
const FROZEN_WINDOW_MS = 5000;
const FROZEN_MIN_SWITCHES = 3;
const HEARTBEAT_MIN_SPACING_MS = 4500;
// The sidecar writes at most one line a second; a quarter of a second is left for the host's own
// delays in reading them.
const LINE_MIN_SPACING_MS = 750;
const LAG_MS = 300; // a timer this late means the host's own event loop was held up
// Lines also trigger the check of the sidecar's process, at most this often: whoever writes into
// the pipe must not make the host read the proc file system once per line.
const LINE_CHECK_MIN_MS = 250;

const finding = (kind, key, reason, evidence) => ({ kind, key, reason, evidence });

function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8');
  } catch {
    return null;
  }
}

// What the stat record and status file of a process say of it: its state letter (the name may
// hold spaces and parentheses), its tracer and its voluntary context switches; null when either
// is missing.
function processFacts(stat, status) {
  if (stat === null || status === null) return null;
  const close = stat.lastIndexOf(')');
  const number = (key) => {
    const match = status.match(new RegExp(`^${key}:\\s*(\\d+)`, 'm'));
    return match ? Number(match[1]) : null;
  };
  return {
    state: close < 0 ? null : stat.charAt(close + 2),
    tracer: number('TracerPid'),
    switches: number('voluntary_ctxt_switches'),
  };
}

// Stopped or traced, from one look at the process.
function stateFindings(pid, { state, tracer }) {
  const found = [];
  if (state === 'T') found.push(finding('stopped', 'stopped', 'the sidecar is stopped', { pid, state }));
  if (state === 't') {
    found.push(finding('traced', 'traced', 'the sidecar is stopped by a tracer', { pid, state }));
  }
  if (tracer) {
    found.push(finding('traced', 'traced', 'a tracer is attached to the sidecar', { pid, tracer_pid: tracer }));
  }
  return found;
}

// The running program against the file that was checked before the start: a file swapped or
// mounted over in between is another program.
function substitution(file, checked, running) {
  if (!checked || !running || (running.dev === checked.dev && running.ino === checked.ino)) return null;
  return finding('substituted', 'substituted', 'the running program is not the file that was checked', {
    path: file,
    checked,
    running,
  });
}

// A binary named by WATCHDOG_SIDECAR_PATH and started without a digest: whoever set the variable
// chose the program, and nothing checked that it is the sidecar.
function unverifiedStart(file, unverified) {
  if (!unverified) return null;
  return finding('unverified', 'unverified', 'the binary named by WATCHDOG_SIDECAR_PATH was started without a digest to check', {
    path: file,
    variable: 'WATCHDOG_SIDECAR_PATH',
  });
}

// The host's own view can be bent: in a nested PID or user namespace it sees only part of the
// machine, and the sidecar it starts sees no more.
function sandboxing(namespaces) {
  if (!namespaces) return null;
  return finding('sandboxed', 'sandboxed', 'the host runs in a PID or user namespace other than the initial one', {
    namespaces,
  });
}

// The sidecar sleeps once a second: about one voluntary switch a second while it runs. Lines that
// keep coming over a window of five seconds in which it barely ran come from someone else.
class FrozenWindow {
  constructor() {
    this.samples = []; // { at, switches, stopped, lines } once a check
  }

  add(pid, sample) {
    const samples = this.samples;
    samples.push(sample);
    while (samples.length > 1 && sample.at - samples[1].at >= FROZEN_WINDOW_MS) samples.shift();
    const first = samples[0];
    if (sample.at - first.at < FROZEN_WINDOW_MS || samples.some((each) => each.stopped)) return null;
    const grown = sample.switches - first.switches;
    const lines = samples.slice(1).reduce((sum, each) => sum + each.lines, 0);
    if (grown >= FROZEN_MIN_SWITCHES || lines === 0) return null;
    return finding('frozen', 'frozen', 'lines keep coming while the sidecar does not run', {
      pid,
      voluntary_switches: grown,
      lines,
      window_ms: sample.at - first.at,
    });
  }
}

// The spacing of lines and of heartbeats. Spacing measured on arrival means nothing when the host
// itself was held up: the lines then waited in the pipe and come together.
class LineSpacing {
  constructor() {
    this.lastLineAt = null;
    this.lastHeartbeat = null; // { at, timestamp }
  }

  add(now, event, hostLagged) {
    const found = [];
    if (this.lastLineAt !== null && !hostLagged && now - this.lastLineAt < LINE_MIN_SPACING_MS) {
      found.push(finding('too-fast', 'too-fast', 'more than one line in one second', { spacing_ms: now - this.lastLineAt }));
    }
    this.lastLineAt = now;
    if (event?.event !== 'heartbeat') return found;
    const previous = this.lastHeartbeat;
    this.lastHeartbeat = { at: now, timestamp: event.payload.timestamp };
    if (!previous) return found;
    const stamped = event.payload.timestamp - previous.timestamp;
    const arrived = now - previous.at;
    if (stamped < HEARTBEAT_MIN_SPACING_MS || (!hostLagged && arrived < HEARTBEAT_MIN_SPACING_MS)) {
      found.push(
        finding('too-soon', 'too-soon', 'heartbeats closer than 4.5 s apart', {
          timestamp_spacing_ms: stamped,
          arrival_spacing_ms: arrived,
        }),
      );
    }
    return found;
  }
}

// Which processes to look through next for holders of the output channel: all at once when asked,
// otherwise the whole list spread over the checks of a scan period, a slice a check, so the host's
// event loop is never held up for long.
class ScanPlan {
  constructor(now) {
    this.pending = [];
    this.sliceSize = 0;
    this.nextScanAt = now;
  }

  whole(now, entries) {
    this.nextScanAt = now + SCAN_PERIOD_MS;
    this.pending = [];
    return entries;
  }

  slice(now, list) {
    if (this.pending.length === 0) {
      if (now < this.nextScanAt) return [];
      this.nextScanAt = now + SCAN_PERIOD_MS;
      this.pending = list();
      this.sliceSize = Math.ceil(this.pending.length / (SCAN_PERIOD_MS / CHECK_PERIOD_MS - 1));
    }
    return this.pending.splice(0, this.sliceSize);
  }
}

// Reports a key again only REPEAT_MS after its last report.
class Repeats {
  constructor() {
    this.last = new Map();
  }

  allow(key, now) {
    const last = this.last.get(key);
    if (last !== undefined && now - last < REPEAT_MS) return false;
    this.last.set(key, now);
    return true;
  }
}

// The numeric folders of the proc root: every process the host may look at.
function listProcesses(procRoot) {
  try {
    return fs.readdirSync(procRoot).filter((entry) => /^\d+$/.test(entry));
  } catch {
    return [];
  }
}

// The holder of a descriptor on `link` ("socket:[inode]" or "pipe:[inode]") among the descriptors
// of process `entry`, with its name and whether it may write; null when it holds none or its
// folder may not be read.
function holderIn(procRoot, entry, link) {
  const fdDir = path.join(procRoot, entry, 'fd');
  let fds;
  try {
    fds = fs.readdirSync(fdDir);
  } catch {
    return null;
  }
  for (const fd of fds) {
    let target;
    try {
      target = fs.readlinkSync(path.join(fdDir, fd));
    } catch {
      continue;
    }
    if (target !== link) continue;
    const info = readText(path.join(procRoot, entry, 'fdinfo', fd)) ?? '';
    const flags = info.match(/^flags:\s*([0-7]+)/m);
    const access = flags ? Number.parseInt(flags[1], 8) & 3 : null;
    return {
      pid: Number(entry),
      name: (readText(path.join(procRoot, entry, 'comm')) ?? '').replace(/\n$/, ''),
      fd: Number(fd),
      writes: access === null ? null : access !== 0,
    };
  }
  return null;
}

// Every process other than `exclude` holding a descriptor on `link`.
function channelHolders(procRoot, link, exclude) {
  return listProcesses(procRoot)
    .filter((entry) => !exclude.has(Number(entry)))
    .map((entry) => holderIn(procRoot, entry, link))
    .filter(Boolean);
}

// What the sidecar's standard output is: Node gives a child one end of a socket pair, a shell a
// pipe. Null while it cannot be read.
function channelOf(procRoot, pid) {
  try {
    const link = fs.readlinkSync(path.join(procRoot, String(pid), 'fd', '1'));
    return link.startsWith('socket:') || link.startsWith('pipe:') ? link : null;
  } catch {
    return null;
  }
}

class TamperWatch {
  // `report(tamper)` receives { kind, reason, evidence }. `binary` and `checked` name the file
  // checked before the start and its identity, for `spawned()`; `unverified` says that no digest
  // vouched for a binary the environment named.
  constructor({ pid, report, procRoot = '/proc', now = Date.now, binary = null, checked = null, unverified = false }) {
    this.pid = pid;
    this.report = report;
    this.procRoot = procRoot;
    this.now = now;
    this.binary = binary;
    this.checked = checked;
    this.repeats = new Repeats();
    this.frozen = new FrozenWindow();
    this.spacing = new LineSpacing();
    this.plan = new ScanPlan(this.now());
    this.channel = channelOf(procRoot, pid);
    this.linesSinceSample = 0;
    this.lastLagAt = -Infinity;
    this.lastLineCheckAt = -Infinity;
    this.scanNow = true; // the first check looks at every process at once
    this.expectedTick = this.now() + CHECK_PERIOD_MS;
    this.timer = setInterval(() => this.tick(), CHECK_PERIOD_MS);
    this.timer.unref();
    // At once, after the host has had the chance to listen.
    const atStart = [unverifiedStart(binary, unverified), sandboxing(foreignNamespaces())].filter(Boolean);
    if (atStart.length > 0) setImmediate(() => atStart.forEach((found) => this.raise(found)));
  }

  stop() {
    clearInterval(this.timer);
  }

  // Reports a finding unless its key was reported less than REPEAT_MS ago.
  raise({ kind, key, reason, evidence }) {
    if (!this.repeats.allow(key, this.now())) return;
    this.report({ kind, reason, evidence });
    // Whoever stopped or impersonates the sidecar may be writing into its output right now.
    if (kind !== 'impersonated') this.scanNow = true;
  }

  // The child has been spawned: the program that runs must be the file that was checked.
  spawned() {
    const running = this.checked ? executedIdentity(this.pid, this.procRoot) : null;
    const substituted = substitution(this.binary, this.checked, running);
    if (substituted) this.raise(substituted);
  }

  tick() {
    const now = this.now();
    if (!this.channel) this.channel = channelOf(this.procRoot, this.pid);
    if (now - this.expectedTick > LAG_MS) this.lastLagAt = now;
    this.expectedTick = now + CHECK_PERIOD_MS;
    this.checkProcess();
    if (this.scanNow) {
      this.scanNow = false;
      this.inspect(this.plan.whole(now, listProcesses(this.procRoot)));
    } else {
      this.inspect(this.plan.slice(now, () => listProcesses(this.procRoot)));
    }
  }

  // The stat record and status of the sidecar: stopped, traced, frozen.
  checkProcess() {
    const dir = path.join(this.procRoot, String(this.pid));
    const facts = processFacts(readText(path.join(dir, 'stat')), readText(path.join(dir, 'status')));
    if (!facts) return;
    for (const found of stateFindings(this.pid, facts)) this.raise(found);
    if (facts.switches === null) return;
    const sample = {
      at: this.now(),
      switches: facts.switches,
      stopped: facts.state === 'T' || facts.state === 't',
      lines: this.linesSinceSample,
    };
    this.linesSinceSample = 0;
    const frozen = this.frozen.add(this.pid, sample);
    if (frozen) this.raise(frozen);
  }

  // Other processes among `entries` holding the sidecar's end of its output channel.
  inspect(entries) {
    if (!this.channel) return;
    const exclude = new Set([this.pid, process.pid]);
    for (const entry of entries) {
      if (exclude.has(Number(entry))) continue;
      const holder = holderIn(this.procRoot, entry, this.channel);
      if (!holder) continue;
      this.raise(
        finding('impersonated', `holder:${holder.pid}`, "another process holds the sidecar's output", {
          channel: this.channel,
          ...holder,
        }),
      );
    }
  }

  // Called with every line as it arrives, and the event when it is one.
  onLine(event) {
    const now = this.now();
    this.linesSinceSample += 1;
    if (now - this.lastLineCheckAt >= LINE_CHECK_MIN_MS) {
      this.lastLineCheckAt = now;
      this.checkProcess();
    }
    const hostLagged = now - this.lastLagAt < 2 * CHECK_PERIOD_MS;
    for (const found of this.spacing.add(now, event, hostLagged)) this.raise(found);
  }

  // The sidecar has ended while its output stays open: someone else holds its end.
  onGoneWithOutputOpen() {
    this.raise(finding('gone', 'gone', 'the sidecar has ended but its output is still open', { pid: this.pid }));
    this.inspect(this.plan.whole(this.now(), listProcesses(this.procRoot)));
  }
}

module.exports = {
  TamperWatch,
  channelHolders,
  processFacts,
  stateFindings,
  substitution,
  unverifiedStart,
  sandboxing,
  FrozenWindow,
  LineSpacing,
};
