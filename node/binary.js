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
// Only the headers and the note sections are read, whatever the size of the file.
function sidecarVersion(file) {
  let fd;
  try {
    fd = fs.openSync(file, 'r');
    const read = (at, length) => {
      const buffer = Buffer.alloc(length);
      return buffer.subarray(0, fs.readSync(fd, buffer, 0, length, at));
    };
    const header = read(0, 64);
    if (header.length < 64 || header.readUInt32BE(0) !== 0x7f454c46 || header[4] !== 2 || header[5] !== 1) return null;
    const entrySize = header.readUInt16LE(0x3a);
    const count = header.readUInt16LE(0x3c);
    const table = read(Number(header.readBigUInt64LE(0x28)), entrySize * count);
    for (let index = 0; index < count && (index + 1) * entrySize <= table.length; index++) {
      const entry = index * entrySize;
      if (table.readUInt32LE(entry + 4) !== SHT_NOTE) continue;
      const size = Number(table.readBigUInt64LE(entry + 0x20));
      if (size > 1 << 16) continue; // notes are small; anything else is not one to read
      const notes = read(Number(table.readBigUInt64LE(entry + 0x18)), size);
      for (let at = 0; at + 12 <= notes.length; ) {
        const nameSize = notes.readUInt32LE(at);
        const descSize = notes.readUInt32LE(at + 4);
        const type = notes.readUInt32LE(at + 8);
        const name = notes.toString('latin1', at + 12, at + 12 + nameSize).replace(/\0+$/, '');
        const descAt = at + 12 + Math.ceil(nameSize / 4) * 4;
        if (name === 'FDO' && type === NOTE_PACKAGE_METADATA) {
          const note = JSON.parse(notes.toString('utf8', descAt, descAt + descSize).replace(/\0+$/, ''));
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
    return null;
  } catch {
    return null;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
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
};
