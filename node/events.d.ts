// The events of watchdog-sidecar, generated from watchdog-event.schema.json by
// scripts/generate-types.js. Do not edit: change the schema and generate again.

/**
 * One line of the sidecar's standard output: a compact JSON object naming the kind of event and carrying its data. Every line is exactly one such object followed by a line feed.
 */
export type WatchdogEvent =
  ScreenShareDetected | VmDetected | SuspiciousProcessDetected | StealthOverlayDetected | Heartbeat | ErrorEvent;

/**
 * A screen share in progress. Part of the format; the Linux sidecar does not produce it.
 */
export interface ScreenShareDetected {
  event: "screen_share_detected";
  payload: ScreenSharePayload;
}
/**
 * A screen share in progress. Part of the format; the Linux sidecar does not produce it.
 */
export interface ScreenSharePayload {
  /**
   * Whether a screen share is in progress.
   */
  is_active: boolean;
  /**
   * How the share was detected.
   */
  method: string;
}
/**
 * The machine looks like a virtual machine.
 */
export interface VmDetected {
  event: "vm_detected";
  payload: VmPayload;
}
/**
 * The machine looks like a virtual machine. Reported when first seen, then at most once a minute while it stays true.
 */
export interface VmPayload {
  /**
   * Always true on Linux: a machine without indicators produces no event.
   */
  is_vm: boolean;
  /**
   * Confidence of the judgement, 0.8 on Linux whatever the number of indicators.
   */
  confidence: number | null;
  /**
   * What gave the machine away, in probe order: "cpuid_hypervisor", "mac_oui_vmware", "mac_oui_vbox", "mac_oui_parallels", "dmi_product:<product name>", "dmi_vendor:<vendor>".
   */
  indicators: string[];
}
/**
 * A running process or thread whose name marks it as a debugger, packet analyser, screen recorder, conferencing, media or VM guest tool; or, with the name "self", a tracer attached to the sidecar.
 */
export interface SuspiciousProcessDetected {
  event: "suspicious_process_detected";
  payload: SuspiciousProcessPayload;
}
/**
 * A running tool of a suspicious kind, or a tracer attached to the sidecar itself (name "self"). Each process name is reported at most once a minute.
 */
export interface SuspiciousProcessPayload {
  /**
   * Identifier of the process or thread (the sidecar's own for a tracer).
   */
  pid: number;
  /**
   * Its process name as the kernel gives it, in its own letter case; "self" for a tracer attached to the sidecar.
   */
  name: string;
  /**
   * The category: "Debugger", "Packet Analyzer", "Screen Recorder", "Conferencing Tool", "Media Tool", "VM Tool", "Parallels Tools", or "Process is being traced (status/TracerPid)" for a tracer.
   */
  reason: string;
}
/**
 * A running AI interview-assistant program, matched on its name, executable path or arguments.
 */
export interface StealthOverlayDetected {
  event: "stealth_overlay_detected";
  payload: StealthOverlayPayload;
}
/**
 * A running AI interview-assistant program, found by its name, executable path or command line. Each process name is reported at most once a minute.
 */
export interface StealthOverlayPayload {
  /**
   * Severity of the finding; "high" on Linux.
   */
  severity: string;
  /**
   * Process name of the program, in its own letter case.
   */
  owner_name: string;
  /**
   * Its process or thread identifier.
   */
  owner_pid: number;
  /**
   * Application bundle identifier, when known; null on Linux.
   */
  bundle_id: string | null;
  /**
   * Stacking layer of the suspected overlay window; 0 on Linux, where no window is inspected.
   */
  window_layer: number;
  /**
   * Opacity of that window; 1.0 on Linux.
   */
  window_alpha: number | null;
  /**
   * Which list the program matched; "denylist".
   */
  matched_list: string;
  /**
   * Whether the window is excluded from screen capture; false on Linux.
   */
  capture_excluded: boolean;
  /**
   * How it was found; "process_name".
   */
  method: string;
  /**
   * Human-readable reason, naming the process between single quotes.
   */
  reason: string;
  /**
   * Free-form note about the operating system; null on Linux.
   */
  os_note: string | null;
}
/**
 * The sidecar is alive.
 */
export interface Heartbeat {
  event: "heartbeat";
  payload: HeartbeatPayload;
}
/**
 * The sidecar is alive. Sent on the first poll and then about every 5 seconds while nothing else is reported.
 */
export interface HeartbeatPayload {
  /**
   * Wall-clock time in whole milliseconds since the Unix epoch (0 if the clock reads before it).
   */
  timestamp: number;
}
/**
 * A failure message. Part of the format; the Linux sidecar does not produce it.
 */
export interface ErrorEvent {
  event: "error";
  /**
   * A message about a failure. Part of the format; the Linux sidecar does not produce it.
   */
  payload: string;
}
