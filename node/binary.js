'use strict';
// What the library knows of a sidecar binary before and after starting it: its processor family,
// its version (from its ELF package-metadata note), its SHA-256, and whether the process that runs
// is the file that was checked.

const crypto = require('node:crypto');
const fs = require('node:fs');

// ELF machine numbers, by Node's names for the families.
const ELF_MACHINES = { 3: 'ia32', 40: 'arm', 62: 'x64', 183: 'arm64', 243: 'riscv64' };
const SHT_NOTE = 7;
const NOTE_PACKAGE_METADATA = 0xcafe1a7e;
// Debian's names for the families, as the note gives them, and Node's.
const NOTE_FAMILIES = { amd64: 'x64', arm64: 'arm64' };

function readHead(file, length) {
  const fd = fs.openSync(file, 'r');
  try {
    const buffer = Buffer.alloc(length);
    return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, 0));
  } finally {
    fs.closeSync(fd);
  }
}

// What a file holds: { family } for an ELF program (the processor family in Node's names),
// { script: true } for a file starting with "#!", {} for anything else; null when unreadable.
function programKind(file) {
  let header;
  try {
    header = readHead(file, 20);
  } catch {
    return null;
  }
  if (header.length >= 2 && header[0] === 0x23 && header[1] === 0x21) return { script: true };
  if (header.length < 20 || header.readUInt32BE(0) !== 0x7f454c46) return {};
  const machine = header[5] === 2 ? header.readUInt16BE(18) : header.readUInt16LE(18);
  return { family: ELF_MACHINES[machine] ?? `ELF machine ${machine}` };
}

// The package-metadata note of a 64-bit little-endian ELF file (the sidecar's builds), parsed:
// { version, family, commit, name }; null when there is none or the file is not such an ELF file.
function sidecarVersion(file) {
  let data;
  try {
    data = fs.readFileSync(file);
  } catch {
    return null;
  }
  const u16 = (at) => data.readUInt16LE(at);
  const u32 = (at) => data.readUInt32LE(at);
  const u64 = (at) => Number(data.readBigUInt64LE(at));
  try {
    if (data.length < 64 || data.readUInt32BE(0) !== 0x7f454c46 || data[4] !== 2 || data[5] !== 1) return null;
    const sectionTable = u64(0x28);
    const entrySize = u16(0x3a);
    const count = u16(0x3c);
    for (let index = 0; index < count; index++) {
      const header = sectionTable + index * entrySize;
      if (u32(header + 4) !== SHT_NOTE) continue;
      const start = u64(header + 0x18);
      const end = start + u64(header + 0x20);
      for (let at = start; at + 12 <= end; ) {
        const nameSize = u32(at);
        const descSize = u32(at + 4);
        const type = u32(at + 8);
        const name = data.toString('latin1', at + 12, at + 12 + nameSize).replace(/\0+$/, '');
        const descAt = at + 12 + Math.ceil(nameSize / 4) * 4;
        if (name === 'FDO' && type === NOTE_PACKAGE_METADATA) {
          const text = data.toString('utf8', descAt, descAt + descSize).replace(/\0+$/, '');
          const note = JSON.parse(text);
          return {
            name: note.name,
            version: note.version,
            family: NOTE_FAMILIES[note.architecture] ?? note.architecture,
            commit: note.commit ?? null,
          };
        }
        at = descAt + Math.ceil(descSize / 4) * 4;
      }
    }
  } catch {
    return null;
  }
  return null;
}

function sha256File(file) {
  return crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
}

// Device and inode of a file, following links; null when it cannot be looked at.
function identity(file) {
  try {
    const stat = fs.statSync(file);
    return { dev: stat.dev, ino: stat.ino };
  } catch {
    return null;
  }
}

// The identity of the program process `pid` runs, from the proc file system.
function executedIdentity(pid, procRoot = '/proc') {
  return identity(`${procRoot}/${pid}/exe`);
}

// Whether this process runs outside the namespaces every process starts in, by their inode
// numbers, which the kernel fixes: { pid, user } inode numbers when it does, else null.
const INITIAL_NAMESPACES = { pid: 4026531836, user: 4026531837 };
function foreignNamespaces(procRoot = '/proc') {
  const found = {};
  let foreign = false;
  for (const [kind, initial] of Object.entries(INITIAL_NAMESPACES)) {
    const seen = identity(`${procRoot}/self/ns/${kind}`);
    if (!seen) continue;
    found[kind] = seen.ino;
    if (seen.ino !== initial) foreign = true;
  }
  return foreign ? found : null;
}

module.exports = {
  programKind,
  sidecarVersion,
  sha256File,
  identity,
  executedIdentity,
  foreignNamespaces,
  INITIAL_NAMESPACES,
};
