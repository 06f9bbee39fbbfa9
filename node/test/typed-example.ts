// Compiled by the test command with tsc: a host that uses the events by their types.
import { start, SidecarStartError, type WatchdogEvent, type SidecarExit, type UnknownEvent } from '..';

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
  let sidecar;
  try {
    sidecar = start({ path: '/usr/bin/watchdog-sidecar', silenceMs: 15_000, graceMs: 2000 });
  } catch (error) {
    if (error instanceof SidecarStartError && error.code === 'WATCHDOG_SIDECAR_NOT_FOUND') {
      console.error(error.looked?.join('\n'));
    }
    throw error;
  }
  sidecar.on('invalid', (error) => console.warn(error.line, error.reason));
  sidecar.on('unknown', ({ value }: UnknownEvent) => console.warn(`later event ${value.event}`));
  sidecar.on('silence', ({ ms }) => console.warn(`no line for ${ms} ms`));
  sidecar.on('exit', (exit: SidecarExit) => console.warn(exit.signal ?? exit.code));
  for await (const event of sidecar) {
    console.log(describe(event));
    if (event.event === 'heartbeat') break;
  }
  const exit = await sidecar.stop({ graceMs: 1000 });
  console.log(exit.signal ?? exit.code, sidecar.droppedEvents);
}

void main();
