'use strict';
// Evidence that someone has tampered with a running sidecar, gathered by the host from the proc
// filesystem: the sidecar stopped or traced, frozen while lines keep coming, another process
// holding its end of the output channel (the socket or pipe behind its standard output), or lines
// that come faster than the sidecar writes them. The sidecar
// cannot report any of this itself: it is stopped, or someone else is talking for it.

const fs = require('node:fs');
const path = require('node:path');

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

function readText(file) {
  try {
    return fs.readFileSync(file, 'utf8');
  } catch {
    return null;
  }
}

// The state letter of a stat record; the name may hold spaces and parentheses.
function statState(stat) {
  const close = stat.lastIndexOf(')');
  return close < 0 ? null : stat.charAt(close + 2);
}

function statusNumber(status, key) {
  const match = status.match(new RegExp(`^${key}:\\s*(\\d+)`, 'm'));
  return match ? Number(match[1]) : null;
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

class TamperWatch {
  // `report(tamper)` receives { kind, reason, evidence }.
  constructor({ pid, report, procRoot = '/proc', now = Date.now }) {
    this.pid = pid;
    this.report = report;
    this.procRoot = procRoot;
    this.now = now;
    this.lastReported = new Map();
    this.samples = []; // { at, switches, stopped, line } once a check period
    this.linesSinceSample = 0;
    this.lastLineAt = null;
    this.lastHeartbeat = null; // { at, timestamp }
    this.lastLagAt = -Infinity;
    this.lastLineCheckAt = -Infinity;
    this.knownHolders = new Set();
    this.channel = this.channelLink();
    this.pending = [];
    this.sliceSize = 0;
    this.scanNow = true; // the first check looks at every process at once
    this.nextScanAt = this.now();
    this.expectedTick = this.now() + CHECK_PERIOD_MS;
    this.timer = setInterval(() => this.tick(), CHECK_PERIOD_MS);
    this.timer.unref();
  }

  // What the sidecar's standard output is: Node gives a child one end of a socket pair, a shell a
  // pipe.
  channelLink() {
    try {
      const link = fs.readlinkSync(path.join(this.procRoot, String(this.pid), 'fd', '1'));
      return link.startsWith('socket:') || link.startsWith('pipe:') ? link : null;
    } catch {
      return null;
    }
  }

  stop() {
    clearInterval(this.timer);
  }

  // Reports `kind` unless it was reported less than REPEAT_MS ago under the same key.
  raise(kind, key, reason, evidence) {
    const now = this.now();
    const last = this.lastReported.get(key);
    if (last !== undefined && now - last < REPEAT_MS) return;
    this.lastReported.set(key, now);
    this.report({ kind, reason, evidence });
    // Whoever stopped or impersonates the sidecar may be writing into its output right now.
    if (kind !== 'impersonated') this.scanNow = true;
  }

  tick() {
    const now = this.now();
    if (!this.channel) this.channel = this.channelLink();
    if (now - this.expectedTick > LAG_MS) this.lastLagAt = now;
    this.expectedTick = now + CHECK_PERIOD_MS;
    this.checkProcess();
    if (this.scanNow) {
      this.scanNow = false;
      this.scan();
    } else {
      this.scanSlice();
    }
  }

  // The stat record and status of the sidecar: stopped, traced, frozen.
  checkProcess() {
    const now = this.now();
    const dir = path.join(this.procRoot, String(this.pid));
    const stat = readText(path.join(dir, 'stat'));
    const status = readText(path.join(dir, 'status'));
    if (stat === null || status === null) return;
    const state = statState(stat);
    if (state === 'T') {
      this.raise('stopped', 'stopped', 'the sidecar is stopped', { pid: this.pid, state });
    } else if (state === 't') {
      this.raise('traced', 'traced', 'the sidecar is stopped by a tracer', { pid: this.pid, state });
    }
    const tracer = statusNumber(status, 'TracerPid');
    if (tracer) {
      this.raise('traced', 'traced', 'a tracer is attached to the sidecar', {
        pid: this.pid,
        tracer_pid: tracer,
      });
    }
    const switches = statusNumber(status, 'voluntary_ctxt_switches');
    if (switches === null) return;
    this.samples.push({
      at: now,
      switches,
      stopped: state === 'T' || state === 't',
      lines: this.linesSinceSample,
    });
    this.linesSinceSample = 0;
    while (this.samples.length > 1 && now - this.samples[1].at >= FROZEN_WINDOW_MS) {
      this.samples.shift();
    }
    const first = this.samples[0];
    if (now - first.at < FROZEN_WINDOW_MS || this.samples.some((sample) => sample.stopped)) return;
    // The sidecar sleeps once a second: about one voluntary switch a second while it runs.
    const grown = switches - first.switches;
    const lines = this.samples.slice(1).reduce((sum, sample) => sum + sample.lines, 0);
    if (grown < FROZEN_MIN_SWITCHES && lines > 0) {
      this.raise('frozen', 'frozen', 'lines keep coming while the sidecar does not run', {
        pid: this.pid,
        voluntary_switches: grown,
        lines,
        window_ms: now - first.at,
      });
    }
  }

  // Other processes holding the sidecar's end of its output channel. A full scan reads every
  // descriptor of every process at once; on the regular cadence the same work is spread over the
  // checks, a slice a second, so the host's event loop is never held up for long.
  scan() {
    this.nextScanAt = this.now() + SCAN_PERIOD_MS;
    this.pending = [];
    this.inspect(listProcesses(this.procRoot));
  }

  scanSlice() {
    if (this.pending.length === 0) {
      if (this.now() < this.nextScanAt) return;
      this.nextScanAt = this.now() + SCAN_PERIOD_MS;
      this.pending = listProcesses(this.procRoot);
      this.sliceSize = Math.ceil(this.pending.length / (SCAN_PERIOD_MS / CHECK_PERIOD_MS - 1));
    }
    this.inspect(this.pending.splice(0, this.sliceSize));
  }

  inspect(entries) {
    if (!this.channel) return;
    const exclude = new Set([this.pid, process.pid]);
    for (const entry of entries) {
      if (exclude.has(Number(entry))) continue;
      const holder = holderIn(this.procRoot, entry, this.channel);
      if (!holder) continue;
      this.raise('impersonated', `holder:${holder.pid}`, "another process holds the sidecar's output", {
        channel: this.channel,
        ...holder,
      });
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
    // Spacing measured on arrival means nothing when the host itself was held up: the lines then
    // waited in the pipe and come together.
    const hostLagged = now - this.lastLagAt < 2 * CHECK_PERIOD_MS;
    if (this.lastLineAt !== null && !hostLagged && now - this.lastLineAt < LINE_MIN_SPACING_MS) {
      this.raise('too-fast', 'too-fast', 'more than one line in one second', {
        spacing_ms: now - this.lastLineAt,
      });
    }
    this.lastLineAt = now;
    if (event?.event !== 'heartbeat') return;
    const previous = this.lastHeartbeat;
    this.lastHeartbeat = { at: now, timestamp: event.payload.timestamp };
    if (!previous) return;
    const stamped = event.payload.timestamp - previous.timestamp;
    const arrived = now - previous.at;
    if (stamped < HEARTBEAT_MIN_SPACING_MS || (!hostLagged && arrived < HEARTBEAT_MIN_SPACING_MS)) {
      this.raise('too-soon', 'too-soon', 'heartbeats closer than 4.5 s apart', {
        timestamp_spacing_ms: stamped,
        arrival_spacing_ms: arrived,
      });
    }
  }

  // The sidecar has ended while its output stays open: someone else holds its end.
  onGoneWithOutputOpen() {
    this.raise('gone', 'gone', 'the sidecar has ended but its output is still open', { pid: this.pid });
    this.scan();
  }
}

module.exports = { TamperWatch, channelHolders, statState };
