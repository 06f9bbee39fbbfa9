// Compiled by the test command with tsc: a host that uses the events by their types.
import { start, type WatchdogEvent, type SidecarExit } from '..';

function describe(event: WatchdogEvent): string {
  switch (event.event) {
    case 'heartbeat':
      return `alive at ${new Date(event.payload.timestamp).toISOString()}`;
    case 'vm_detected':
      return `virtual machine: ${event.payload.indicators.join(', ')}`;
    case 'suspicious_process_detected':
      return `${event.payload.reason}: ${event.payload.name} (pid ${event.payload.pid})`;
    case 'stealth_overlay_detected':
      return `AI assistant ${event.payload.owner_name} (pid ${event.payload.owner_pid})`;
    case 'screen_share_detected':
      return `screen share ${event.payload.is_active ? 'on' : 'off'}`;
    case 'error':
      return `sidecar error: ${event.payload}`;
  }
}

async function main(): Promise<void> {
  const sidecar = start({ path: '/usr/bin/watchdog-sidecar', silenceMs: 15_000 });
  sidecar.on('invalid', (error) => console.warn(error.line, error.reason));
  sidecar.on('silence', ({ ms }) => console.warn(`no line for ${ms} ms`));
  sidecar.on('exit', (exit: SidecarExit) => console.warn(exit.signal ?? exit.code));
  for await (const event of sidecar) {
    console.log(describe(event));
    if (event.event === 'heartbeat') break;
  }
  await sidecar.stop();
}

void main();
