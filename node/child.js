'use strict';
// Signalling and stopping the sidecar's child process.

// Sends `signal` to `child` unless it has ended; a child that is already gone is no error.
function signalChild(child, signal) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  try {
    child.kill(signal);
  } catch {
    // already gone
  }
}

// Ends `child`: SIGTERM, with SIGCONT for a stopped one, then SIGKILL when it has not ended within
// `graceMs`, or at once when `graceMs` is 0 (a host that is exiting cannot wait; the sidecar
// writes nothing as it ends, so nothing is lost). Returns a function that calls off the SIGKILL.
function stopChild(child, graceMs) {
  signalChild(child, 'SIGTERM');
  signalChild(child, 'SIGCONT');
  if (graceMs <= 0) {
    signalChild(child, 'SIGKILL');
    return () => {};
  }
  const timer = setTimeout(() => signalChild(child, 'SIGKILL'), graceMs);
  return () => clearTimeout(timer);
}

module.exports = { stopChild };
