// watchdog-sidecar-host/testing: a stand-in sidecar for a host's own tests.
import type { Sidecar, StartOptions, WatchdogEvent } from './index';

export interface FakeOptions extends Omit<StartOptions, 'path' | 'args'> {
  /** Lines to write, in order: an event (written as JSON) or a raw line (for invalid or unknown lines). */
  events?: Array<WatchdogEvent | string>;
  /** A file of recorded lines, written before `events`. */
  file?: string;
  /** Spacing of lines (default 1000 ms, the sidecar's; below 750 ms the library reports 'too-fast'). */
  intervalMs?: number;
  /** After the last line: stay quiet ('silence', the default), beat every 5 s, or exit. */
  then?: 'silence' | 'heartbeat' | 'exit';
  /** The exit status for then: 'exit' (default 0). */
  exitCode?: number;
}

/** Starts the stand-in; the same object as start() gives, ended by stop() like the sidecar. */
export declare function startFake(options?: FakeOptions): Sidecar;
