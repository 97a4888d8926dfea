'use strict';
// Loads the anchorfile add-on. An installed package carries it as
// prebuilds/<platform>-<arch>/anchorfile.node, found by node-gyp-build. Inside
// this repository the development build always wins: NATIVE_BUILD_DIR when
// it names one (the test runs select build/ or the sanitizer build that
// way), else build/; a prebuilds/ directory left from an earlier
// "npm run prebuilds" would otherwise shadow every fresh build. Outside the
// repository no environment variable can choose which native code is
// loaded.
const fs = require('fs');
const path = require('path');
const nodeGypBuild = require('node-gyp-build');

const NAME = 'anchorfile.node';

function repositoryBuild(buildDir) {
  const repo = path.resolve(__dirname, '..', '..');
  if (path.basename(path.dirname(__dirname)) !== 'packages'
      || !fs.existsSync(path.join(repo, 'CMakeLists.txt'))) {
    return null;
  }
  const candidate = path.resolve(repo, buildDir, NAME);
  return fs.existsSync(candidate) ? candidate : null;
}

// The package installs everywhere node runs (an Electron application is
// also developed on Windows and on Linux for Arm), and there it has no
// build: loading it must not fail, or the application cannot start on that
// system at all. Each add-on call throws "ENOTSUP" with the reason, as the
// keychain package's calls do.
const ADDON_FUNCTIONS = ['publishNoReplace', 'inspectPath', 'removeAnchoredFile', 'recoverAnchoredRemoval'];

function unsupported(failure) {
  const refuse = () => {
    const error = new Error(`anchorfile has no build for ${process.platform}-${process.arch}: the package ships `
      + 'it for darwin-x64, darwin-arm64 and linux-x64 only', { cause: failure });
    error.code = 'ENOTSUP';
    throw error;
  };
  return Object.fromEntries(ADDON_FUNCTIONS.map((name) => [name, refuse]));
}

function load() {
  const development = repositoryBuild(process.env.NATIVE_BUILD_DIR || 'build');
  if (development) return require(development);
  let file;
  try {
    file = nodeGypBuild.resolve(__dirname);
  } catch (failure) {
    return unsupported(failure);
  }
  return require(file);
}

const addon = load();

// The helpers below are plain script over the add-on: the names and
// identities a caller would otherwise assemble by hand, where one wrong
// character leaves a quarantine that no recovery call accepts.
const crypto = require('crypto');
const checks = require('./arguments.js');

const PUBLICATION_PREFIX = '.publication-recovery-';
const CONTENT_PREFIX = '.content-recovery-';
const UUID_V4 = '[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}';
const PUBLICATION_QUARANTINE = new RegExp(`^\\.publication-recovery-${UUID_V4}$`);
const CONTENT_QUARANTINE = /^\.content-recovery-[0-9a-f]{64}$/;
const PUBLICATION_TEMPORARY = new RegExp(`^[0-9a-f]{64}\\.${UUID_V4}\\.tmp$`);

function invalid(message) {
  const error = new Error(message);
  error.code = 'EINVAL';
  return error;
}

function publicationQuarantineName() {
  return PUBLICATION_PREFIX + crypto.randomUUID();
}

function contentQuarantineName(digest) {
  checks.contentQuarantineName(digest);
  if (!/^[0-9a-f]{64}$/.test(digest)) {
    throw invalid('A content quarantine name needs 64 lowercase hex digits.');
  }
  return CONTENT_PREFIX + digest;
}

function publicationTemporaryName(digest) {
  checks.publicationTemporaryName(digest);
  if (!/^[0-9a-f]{64}$/.test(digest)) {
    throw invalid('A publication temporary name needs 64 lowercase hex digits.');
  }
  return `${digest}.${crypto.randomUUID()}.tmp`;
}

function quarantineKind(name) {
  checks.quarantineKind(name);
  if (PUBLICATION_QUARANTINE.test(name)) return 'publication';
  if (CONTENT_QUARANTINE.test(name)) return 'content';
  return null;
}

function isPublicationTemporary(name) {
  checks.isPublicationTemporary(name);
  return PUBLICATION_TEMPORARY.test(name);
}

// Node's BigInt file status holds every number as signed 64-bit. macOS
// reports a device number as a signed 32-bit value, so on a volume whose
// device number has bit 31 set it arrives negative, and the add-on refuses
// a negative BigInt: every removal there would fail with "EINVAL". The
// add-on compares by the sign-extended value read as unsigned 64-bit,
// which is these same 64 bits read unsigned. The modification time stays
// signed: the add-on takes it as signed 64-bit.
function unsigned64(value) {
  return BigInt.asUintN(64, value);
}

// [device, inode] of a directory, the order removeAnchoredFile and
// recoverAnchoredRemoval take them in.
function directoryIdentity(directory) {
  checks.directoryIdentity(directory);
  const status = fs.statSync(directory, { bigint: true });
  return [unsigned64(status.dev), unsigned64(status.ino)];
}

// [device, inode, size, modification time in ns] of a file, as
// removeAnchoredFile takes them. lstat: a symbolic link is identified as
// itself, so that the removal refuses it rather than chasing its target.
function fileIdentity(file) {
  checks.fileIdentity(file);
  const status = fs.lstatSync(file, { bigint: true });
  return [unsigned64(status.dev), unsigned64(status.ino), unsigned64(status.size), status.mtimeNs];
}

// Recovers `entry` of a directory listing of `parent` below `root` when it
// is a quarantine: the 5-argument form for a publication quarantine, the
// 6-argument form (which needs the name of the file it was removing) for a
// content quarantine. Returns false for an entry that is no quarantine,
// true once the quarantine is gone; throws what recoverAnchoredRemoval
// throws.
function recoverListedQuarantine(root, parent, entry, name) {
  checks.recoverListedQuarantine(root, parent, entry, name);
  const kind = quarantineKind(entry);
  if (kind === null) return false;
  const [device, inode] = directoryIdentity(path.join(root, parent));
  if (kind === 'publication') {
    addon.recoverAnchoredRemoval(root, parent, entry, device, inode);
    return true;
  }
  if (typeof name !== 'string') {
    throw invalid('A content quarantine is recovered with the name of the file it removed.');
  }
  addon.recoverAnchoredRemoval(root, parent, entry, device, inode, name);
  return true;
}

module.exports = {
  publishNoReplace: addon.publishNoReplace,
  inspectPath: addon.inspectPath,
  removeAnchoredFile: addon.removeAnchoredFile,
  recoverAnchoredRemoval: addon.recoverAnchoredRemoval,
  publicationQuarantineName,
  contentQuarantineName,
  publicationTemporaryName,
  quarantineKind,
  isPublicationTemporary,
  directoryIdentity,
  fileIdentity,
  recoverListedQuarantine,
};

// The promise form (./promises), loaded when first asked for: it loads this
// file itself.
Object.defineProperty(module.exports, 'promises', {
  enumerable: true,
  get: () => require('./promises.js'),
});
