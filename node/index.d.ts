// watchdog-sidecar-host: start the sidecar, get its events typed and validated.
import { EventEmitter } from 'node:events';
import type { WatchdogEvent } from './events';

export * from './events';

export interface StartOptions {
  /** The sidecar binary; by default the one findSidecar() finds. */
  path?: string;
  /** Arguments for the binary (it ignores them). */
  args?: string[];
  /** A stretch this long without a line is reported as 'silence' (default 15000 ms). */
  silenceMs?: number;
  /** How long stop() waits after SIGTERM before SIGKILL (default 3000 ms). */
  graceMs?: number;
  /** Where its two start-up lines on standard error go (default 'ignore'). */
  stderr?: 'ignore' | 'inherit' | 'pipe';
  /** Watch for a stopped, frozen, impersonated or substituted sidecar (default true). */
  tamper?: boolean;
  /**
   * The SHA-256 the binary must have (64 hexadecimal digits); a mismatch is refused. Without it, a
   * binary from the platform package is checked against the digest that package records, and one
   * named by WATCHDOG_SIDECAR_PATH against WATCHDOG_SIDECAR_SHA256 (without either, it starts and
   * is reported as tamper kind 'unverified').
   */
  sha256?: string;
}

/** Evidence that the sidecar has been tampered with. Treat it like a finding. */
export interface Tamper {
  kind:
    | 'stopped'
    | 'traced'
    | 'frozen'
    | 'gone'
    | 'impersonated'
    | 'too-soon'
    | 'too-fast'
    | 'substituted'
    | 'unverified'
    | 'sandboxed';
  /** A short text for people. */
  reason: string;
  /** What was seen: identifiers, states, counts; for 'impersonated' the holder's pid and name. */
  evidence: Record<string, unknown>;
}

/** How the sidecar ended: its exit status or the signal that ended it, or why it never started. */
export interface SidecarExit {
  code: number | null;
  signal: NodeJS.Signals | null;
  error?: Error;
}

/** A line of the sidecar's output that is not one valid event. */
export declare class InvalidLineError extends Error {
  readonly line: string;
  readonly reason: string;
}

/** The sidecar cannot be started; thrown by start() before anything is spawned. */
export declare class SidecarStartError extends Error {
  readonly code:
    | 'WATCHDOG_SIDECAR_NOT_FOUND'
    | 'WATCHDOG_SIDECAR_NOT_EXECUTABLE'
    | 'WATCHDOG_SIDECAR_WRONG_ARCH'
    | 'WATCHDOG_SIDECAR_VERSION'
    | 'WATCHDOG_SIDECAR_DIGEST_MISMATCH';
  /** The binary in question, when there was one. */
  readonly path?: string;
  /** Every place looked at, for WATCHDOG_SIDECAR_NOT_FOUND. */
  readonly looked?: string[];
  /** The processor family the binary is built for, and this machine's, for WATCHDOG_SIDECAR_WRONG_ARCH. */
  readonly family?: string;
  readonly expected?: string;
  /** The binary's version and the library's, for WATCHDOG_SIDECAR_VERSION. */
  readonly version?: string;
  readonly libraryVersion?: string;
  /** The binary's digest and the one expected, for WATCHDOG_SIDECAR_DIGEST_MISMATCH. */
  readonly sha256?: string;
  readonly expectedSha256?: string;
}

/** What a sidecar binary's ELF package note says of it. */
export interface SidecarVersion {
  name: string;
  version: string;
  /** The processor family, in Node's names (x64, arm64). */
  family: string;
  commit: string | null;
}

/** The version note of a sidecar binary; null when the file has none (or is no such binary). */
export declare function sidecarVersion(path: string): SidecarVersion | null;

/** An event of a kind this version of the library does not know, from a later sidecar. */
export interface UnknownEvent {
  line: string;
  value: { event: string; [member: string]: unknown };
}

export declare class Sidecar extends EventEmitter implements AsyncIterable<WatchdogEvent> {
  /** The sidecar's process identifier. */
  readonly pid: number | undefined;
  /** The binary that was started. */
  readonly path: string;
  /** Its version note, null when it has none. */
  readonly version: SidecarVersion | null;
  /** Its SHA-256 as checked before it was started; null when no digest was asked for. */
  readonly sha256: string | null;
  /** Events `for await` loops did not take in time and that were dropped (each holds at most 1024). */
  readonly droppedEvents: number;
  on(name: 'event', listener: (event: WatchdogEvent) => void): this;
  on(name: 'unknown', listener: (unknown: UnknownEvent) => void): this;
  /** Every line as read, before it is parsed: for a host that records the raw stream. */
  on(name: 'line', listener: (line: string) => void): this;
  on(name: 'invalid', listener: (error: InvalidLineError) => void): this;
  on(name: 'silence', listener: (info: { ms: number }) => void): this;
  on(name: 'exit', listener: (exit: SidecarExit) => void): this;
  on(name: 'tamper', listener: (tamper: Tamper) => void): this;
  on(name: 'error', listener: (error: Error) => void): this;
  once(name: 'event', listener: (event: WatchdogEvent) => void): this;
  once(name: 'unknown', listener: (unknown: UnknownEvent) => void): this;
  once(name: 'line', listener: (line: string) => void): this;
  once(name: 'invalid', listener: (error: InvalidLineError) => void): this;
  once(name: 'silence', listener: (info: { ms: number }) => void): this;
  once(name: 'exit', listener: (exit: SidecarExit) => void): this;
  once(name: 'tamper', listener: (tamper: Tamper) => void): this;
  once(name: 'error', listener: (error: Error) => void): this;
  /**
   * Ends the sidecar: SIGTERM (and SIGCONT, for a stopped one), then SIGKILL after `graceMs`
   * (default: the start option, 3000 ms). Resolves with how it ended; safe at any time and more
   * than once.
   */
  stop(options?: { graceMs?: number }): Promise<SidecarExit>;
  /**
   * Every valid event from the start of the loop, in order, to each loop that reads; ends when
   * the sidecar has ended and the loop has taken what was held for it. At most 1024 events wait
   * for a slow loop (its oldest are dropped and counted in droppedEvents). Leaving the last loop
   * early (break, return, throw) stops the sidecar.
   */
  [Symbol.asyncIterator](): AsyncIterator<WatchdogEvent>;
}

/**
 * Starts the sidecar; it is killed when the host process exits. Throws TypeError for a bad option
 * and SidecarStartError when the binary is missing, not executable, built for another processor
 * family, of another major version, or not the file its digest names.
 */
export declare function start(options?: StartOptions): Sidecar;

/** Where findSidecar() would look, in order. */
export interface SearchPlaces {
  arch?: string;
  resourcesPath?: string;
  env?: Record<string, string | undefined>;
}

/**
 * The sidecar binary shipped with the application, in this order: WATCHDOG_SIDECAR_PATH;
 * Electron's resources (`app.asar.unpacked` first) as `watchdog-sidecar/<arch>/watchdog-sidecar`
 * (<arch> x64 or arm64, or amd64 for x64) or `watchdog-sidecar`; the platform package
 * `watchdog-sidecar-linux-<arch>`; beside the running executable; `/usr/bin/watchdog-sidecar`.
 * Null when none is there and executable.
 */
export declare function findSidecar(where?: SearchPlaces): string | null;

/** The first place of findSidecar()'s search that holds a file, and every place looked at. */
export declare function locateSidecar(where?: SearchPlaces): { path: string | null; looked: string[] };

/**
 * One line parsed and checked: an event of a known kind (members it does not know kept), an
 * unknown kind, or an error. With `strict`, only what this version of the sidecar writes passes.
 */
export declare function parseLine(
  line: string,
  options?: { strict?: boolean },
):
  | { event: WatchdogEvent; unknown?: undefined; error?: undefined }
  | { event?: undefined; unknown: UnknownEvent['value']; error?: undefined }
  | { event?: undefined; unknown?: undefined; error: InvalidLineError };

/**
 * A function to feed chunks of a byte stream; calls onLine with each line, split at line feeds
 * only. A line longer than maxLine bytes (default 1 MiB), finished or not, is dropped and its first
 * 200 characters are given to onLong.
 */
export declare function lineFramer(
  onLine: (line: string) => void,
  options?: { maxLine?: number; onLong?: (start: string) => void },
): (chunk: Buffer | string) => void;

/** One line for people about an event, as the watch command prints it. */
export declare function describeEvent(event: WatchdogEvent): string;
