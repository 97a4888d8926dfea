'use strict';
// Loads the anchorfile add-on: the build of this repository inside it, else the
// package's own prebuilds/<platform>-<arch>/anchorfile.node; where the package
// has no build, each add-on call throws "ENOTSUP" (./load-addon.js).
const { loadAddon } = require('./load-addon.js');

const addon = loadAddon(__dirname, 'anchorfile', ['publishNoReplace', 'inspectPath', 'removeAnchoredFile', 'recoverAnchoredRemoval']);

// The helpers below are plain script over the add-on: the names and
// identities a caller would otherwise assemble by hand, where one wrong
// character leaves a quarantine that no recovery call accepts.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
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
