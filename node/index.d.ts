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
  /** Where its two start-up lines on standard error go (default 'ignore'). */
  stderr?: 'ignore' | 'inherit' | 'pipe';
  /** Watch for a stopped, frozen or impersonated sidecar (default true). */
  tamper?: boolean;
}

/** Evidence that the sidecar has been tampered with. Treat it like a finding. */
export interface Tamper {
  kind: 'stopped' | 'traced' | 'frozen' | 'gone' | 'impersonated' | 'too-soon' | 'too-fast';
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

export declare class Sidecar extends EventEmitter implements AsyncIterable<WatchdogEvent> {
  /** The sidecar's process identifier. */
  readonly pid: number | undefined;
  on(name: 'event', listener: (event: WatchdogEvent) => void): this;
  /** Every line as read, before it is parsed: for a host that records the raw stream. */
  on(name: 'line', listener: (line: string) => void): this;
  on(name: 'invalid', listener: (error: InvalidLineError) => void): this;
  on(name: 'silence', listener: (info: { ms: number }) => void): this;
  on(name: 'exit', listener: (exit: SidecarExit) => void): this;
  on(name: 'tamper', listener: (tamper: Tamper) => void): this;
  on(name: 'error', listener: (error: Error) => void): this;
  once(name: 'event', listener: (event: WatchdogEvent) => void): this;
  once(name: 'line', listener: (line: string) => void): this;
  once(name: 'invalid', listener: (error: InvalidLineError) => void): this;
  once(name: 'silence', listener: (info: { ms: number }) => void): this;
  once(name: 'exit', listener: (exit: SidecarExit) => void): this;
  once(name: 'tamper', listener: (tamper: Tamper) => void): this;
  once(name: 'error', listener: (error: Error) => void): this;
  /** Ends the sidecar with SIGTERM; resolves with how it ended. */
  stop(): Promise<SidecarExit>;
  /** Every valid event, in order; ends when the sidecar has ended. */
  [Symbol.asyncIterator](): AsyncIterator<WatchdogEvent>;
}

/** Starts the sidecar; it is stopped with SIGTERM when the host process exits. */
export declare function start(options?: StartOptions): Sidecar;

/**
 * The sidecar binary shipped with the application: `<resources>/watchdog-sidecar/<arch>/
 * watchdog-sidecar` in an Electron app (<arch> is x64 or arm64, or amd64 for x64), else beside the
 * running executable; null when none.
 */
export declare function findSidecar(where?: { arch?: string; resourcesPath?: string }): string | null;

/** One line parsed and validated. */
export declare function parseLine(line: string): { event: WatchdogEvent; error?: undefined } | { event?: undefined; error: InvalidLineError };

/** A function to feed chunks of a byte stream; calls onLine with each line, split at line feeds only. */
export declare function lineFramer(onLine: (line: string) => void): (chunk: Buffer | string) => void;
