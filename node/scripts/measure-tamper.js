#!/usr/bin/env node
'use strict';
// measure-tamper.js SIDECAR [SECONDS]: what the tamper checks cost the host on this machine, as it
// runs now. Times the once-a-second check of the sidecar and the scan of every process's
// descriptors (every 15 s) directly, and also compares the host's CPU time over SECONDS with the
// checks on and off.

const fs = require('node:fs');
const { start } = require('..');
const { channelHolders } = require('../tamper');

const [binary, seconds = '30'] = process.argv.slice(2);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const cpuMs = () => {
  const { user, system } = process.cpuUsage();
  return (user + system) / 1000;
};

async function run(tamper) {
  const sidecar = start({ path: binary, tamper });
  sidecar.on('tamper', (t) => console.log('tamper!', JSON.stringify(t)));
  await sleep(2000);
  const before = cpuMs();
  await sleep(Number(seconds) * 1000);
  const spent = cpuMs() - before;
  await sidecar.stop();
  return spent;
}

function timeIt(repeat, action) {
  const begin = process.hrtime.bigint();
  for (let i = 0; i < repeat; i++) action();
  return Number(process.hrtime.bigint() - begin) / 1e6 / repeat;
}

async function main() {
  const processes = fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry));
  let fds = 0;
  for (const pid of processes) {
    try {
      fds += fs.readdirSync(`/proc/${pid}/fd`).length;
    } catch {}
  }
  const sidecar = start({ path: binary });
  await sleep(1000);
  const scanMs = timeIt(5, () => channelHolders('/proc', sidecar.tamper.channel, new Set([sidecar.pid])));
  const checkMs = timeIt(200, () => sidecar.tamper.checkProcess());
  await sidecar.stop();
  const share = (scanMs / 15_000 + checkMs / 1000) * 100;
  console.log(`processes ${processes.length}, descriptors ${fds}`);
  console.log(`scan of every process's descriptors: ${scanMs.toFixed(1)} ms, every 15 s`);
  console.log(`check of the sidecar's stat and status: ${(checkMs * 1000).toFixed(0)} us, every 1 s`);
  console.log(`together: ${share.toFixed(3)} % of a core`);
  const on = await run(true);
  const off = await run(false);
  console.log(
    `host CPU over ${seconds} s: ${on.toFixed(0)} ms with the checks, ${off.toFixed(0)} ms without: ` +
      `${((100 * (on - off)) / (Number(seconds) * 1000)).toFixed(3)} % of a core`,
  );
}

main();
