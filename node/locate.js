'use strict';
// Finding the sidecar binary and checking it before it is started: the places searched, in
// order, and the refusals a host can act on (not found, not executable, another processor family,
// another major version, a digest that does not match).

const fs = require('node:fs');
const path = require('node:path');
const { programKind, sidecarVersion, sha256File, identity } = require('./binary');
const { version: LIBRARY_VERSION } = require('./package.json');

const BINARY = 'watchdog-sidecar';
const ENV_PATH = 'WATCHDOG_SIDECAR_PATH';
// The SHA-256 of the binary that WATCHDOG_SIDECAR_PATH names.
const ENV_SHA256 = 'WATCHDOG_SIDECAR_SHA256';
const DEB_PATH = '/usr/bin/watchdog-sidecar';
// Node's names for processor families, and Debian's, which name the release folders.
const FAMILIES = { x64: 'amd64', arm64: 'arm64' };

// A sidecar that cannot be started: not found, not executable, or for another processor family.
class SidecarStartError extends Error {
  constructor(message, code, details = {}) {
    super(message);
    this.name = 'SidecarStartError';
    this.code = code;
    Object.assign(this, details);
  }
}

// Every place the binary is looked for, in order, each with where the idea came from.
function candidates({ arch, resourcesPath, env }) {
  const places = [];
  if (env[ENV_PATH]) places.push({ file: env[ENV_PATH], from: ENV_PATH, sha256: env[ENV_SHA256] });
  if (resourcesPath) {
    for (const base of [path.join(resourcesPath, 'app.asar.unpacked'), resourcesPath]) {
      for (const name of new Set([arch, FAMILIES[arch] ?? arch])) {
        places.push({ file: path.join(base, BINARY, name, BINARY), from: 'resources' });
      }
      places.push({ file: path.join(base, BINARY), from: 'resources' });
    }
  }
  const platformPackage = platformBinary(arch);
  if (platformPackage) places.push({ ...platformPackage, from: 'platform package' });
  places.push({ file: path.join(path.dirname(process.execPath), BINARY), from: 'beside the executable' });
  places.push({ file: DEB_PATH, from: 'Debian package' });
  return places;
}

// The binary of the per-platform package for `arch`, when one is installed, with the digest the
// package records for it. In a packed Electron app the package lies in app.asar, whose files
// cannot be executed: the binary is taken from app.asar.unpacked (electron-builder's asarUnpack).
function platformBinary(arch) {
  try {
    const manifestPath = require.resolve(`watchdog-sidecar-linux-${arch}/package.json`);
    const manifest = JSON.parse(fs.readFileSync(manifestPath, 'utf8'));
    const dir = path.dirname(manifestPath).replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
    const recorded = manifest.watchdogSidecar ?? {};
    return { file: path.join(dir, recorded.binary ?? path.join('bin', BINARY)), sha256: recorded.sha256 };
  } catch {
    return null;
  }
}

function isExecutableFile(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// Where the binary is, and every place looked at on the way; `from` tells which place it was and
// `sha256` the digest its platform package records.
function locateSidecar({ arch = process.arch, resourcesPath = process.resourcesPath, env = process.env } = {}) {
  const looked = [];
  // The variable, when set, decides: a wrong value is an error, not a reason to look elsewhere.
  for (const { file, from, sha256 } of candidates({ arch, resourcesPath, env })) {
    looked.push(file);
    if (from === ENV_PATH || fs.existsSync(file)) return { path: file, looked, from, sha256 };
  }
  return { path: null, looked };
}

// The sidecar binary shipped with the application, or null when there is none. The search order:
// WATCHDOG_SIDECAR_PATH; Electron's resources (app.asar.unpacked first), as
// watchdog-sidecar/<arch>/watchdog-sidecar or watchdog-sidecar; the platform package
// watchdog-sidecar-linux-<arch>; beside the running executable; /usr/bin/watchdog-sidecar.
function findSidecar(where = {}) {
  const found = locateSidecar(where).path;
  return found && isExecutableFile(found) ? found : null;
}

// The binary to start, checked: found, a file, executable, built for this processor family, of
// this library's major version, and the very file the expected digest names (the host's, or the
// platform package's). Returns it with its identity, version and digest.
function resolveBinary(given, expectedDigest) {
  let binary = given;
  let expected = expectedDigest;
  let from = 'path';
  if (binary === undefined) {
    const { path: found, looked, from: place, sha256 } = locateSidecar();
    if (!found) {
      throw new SidecarStartError(
        `watchdog-sidecar not found; looked at:\n  ${looked.join('\n  ')}\n` +
          `Give start({ path }) or set ${ENV_PATH}.`,
        'WATCHDOG_SIDECAR_NOT_FOUND',
        { looked },
      );
    }
    binary = found;
    from = place;
    expected = expected ?? sha256;
    if (from === ENV_PATH && expected !== undefined && !/^[0-9a-fA-F]{64}$/.test(expected)) {
      throw new SidecarStartError(
        `${ENV_SHA256} must be 64 hexadecimal digits, the SHA-256 of ${binary}`,
        'WATCHDOG_SIDECAR_DIGEST_MISMATCH',
        { path: binary, expectedSha256: expected },
      );
    }
  }
  let stat;
  try {
    stat = fs.statSync(binary);
  } catch (error) {
    throw new SidecarStartError(`watchdog-sidecar not found at ${binary} (${error.code})`, 'WATCHDOG_SIDECAR_NOT_FOUND', {
      path: binary,
      looked: [binary],
    });
  }
  if (!stat.isFile()) {
    throw new SidecarStartError(`${binary} is not a file`, 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', { path: binary });
  }
  try {
    fs.accessSync(binary, fs.constants.X_OK);
  } catch {
    throw new SidecarStartError(
      `${binary} is not executable (mode ${(stat.mode & 0o777).toString(8)}): chmod +x it, or ship it with its execute bit`,
      'WATCHDOG_SIDECAR_NOT_EXECUTABLE',
      { path: binary },
    );
  }
  // Anything else would be handed to /bin/sh by the system's exec fallback and end in a puzzling
  // status 2 or 0.
  const kind = programKind(binary);
  if (kind && !kind.family && !kind.script) {
    throw new SidecarStartError(`${binary} is not a program (no ELF header)`, 'WATCHDOG_SIDECAR_NOT_EXECUTABLE', {
      path: binary,
    });
  }
  const family = kind?.family;
  if (family && family !== process.arch) {
    throw new SidecarStartError(
      `${binary} is built for ${family}, but this machine runs ${process.arch}: ship the ${process.arch} binary`,
      'WATCHDOG_SIDECAR_WRONG_ARCH',
      { path: binary, family, expected: process.arch },
    );
  }
  const checked = identity(binary);
  const version = family ? sidecarVersion(binary) : null;
  if (version && major(version.version) !== major(LIBRARY_VERSION)) {
    throw new SidecarStartError(
      `${binary} is watchdog-sidecar ${version.version}, but this library (${LIBRARY_VERSION}) reads version ${major(LIBRARY_VERSION)}.x: ship matching versions`,
      'WATCHDOG_SIDECAR_VERSION',
      { path: binary, version: version.version, libraryVersion: LIBRARY_VERSION },
    );
  }
  let sha256 = null;
  if (expected) {
    sha256 = sha256File(binary);
    if (sha256 !== expected.toLowerCase()) {
      throw new SidecarStartError(
        `${binary} is not the expected binary: its SHA-256 is ${sha256}, ${from === 'platform package' ? 'its package records' : 'the host expects'} ${expected}`,
        'WATCHDOG_SIDECAR_DIGEST_MISMATCH',
        { path: binary, sha256, expectedSha256: expected },
      );
    }
  }
  // A binary named by the environment without a digest is started, but nothing vouches for it.
  const unverified = from === ENV_PATH && !expected;
  return { binary, checked, version, sha256, unverified };
}

function major(version) {
  return String(version).split('.')[0];
}

module.exports = { SidecarStartError, locateSidecar, findSidecar, resolveBinary, ENV_PATH, ENV_SHA256 };
