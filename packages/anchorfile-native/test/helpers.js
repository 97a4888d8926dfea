'use strict';
// Shared set-up for the anchorfile suites: the add-on, throwaway storage
// trees, identities as the script sees them, and quarantine names.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const assert = require('node:assert/strict');
const { deliverable, makeTempDir, openDescriptorCount } = require('../../../test/support/native.js');

const addonPath = deliverable('anchorfile.node');
const anchorfile = require(addonPath);

function makeStorage(t) {
  const root = makeTempDir('anchorfile-');
  if (t) t.after(() => fs.rmSync(root, { recursive: true, force: true }));
  return root;
}

function identity(p) {
  const s = fs.lstatSync(p, { bigint: true });
  return { dev: s.dev, ino: s.ino, size: s.size, mtimeNs: s.mtimeNs };
}

function publicationQuarantine() {
  return `.publication-recovery-${crypto.randomUUID()}`;
}

function contentQuarantine() {
  return `.content-recovery-${crypto.randomBytes(32).toString('hex')}`;
}

function publicationTemporary(prefix) {
  let hex = crypto.randomBytes(32).toString('hex');
  if (prefix) hex = prefix + hex.slice(prefix.length);
  return `${hex}.${crypto.randomUUID()}.tmp`;
}

// Creates root/<parent> and a file in it; returns everything a removal of
// that file needs.
function plantFile(root, parent, name, bytes = 'payload bytes\n') {
  const dir = path.join(root, parent);
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, name);
  fs.writeFileSync(file, bytes);
  return { dir, file, parentId: identity(dir), fileId: identity(file) };
}

function removalArgs(root, parent, name, parentId, fileId, quarantine) {
  return [root, parent, name, parentId.dev, parentId.ino, fileId.dev, fileId.ino,
    fileId.size, fileId.mtimeNs, quarantine];
}

// Asserts that fn throws exactly this message and code.
function throwsWith(fn, message, code) {
  assert.throws(fn, (error) => {
    assert.equal(error.message, message);
    assert.equal(error.code, code);
    return true;
  });
}

// Source of a node script that makes one add-on call (`call`, an expression
// over `a`) and prints its outcome as one JSON line. `addon` is the source
// of the add-on's path, for a script that runs from a copy elsewhere.
function outcomeScript(call, addon = JSON.stringify(addonPath)) {
  return `const a = require(${addon});
    let out;
    try { ${call}; out = { ok: true }; } catch (e) { out = { message: e.message, code: e.code }; }
    console.log(JSON.stringify(out));`;
}

// Waits for a spawned child to close and gathers what it printed.
function collect(child) {
  return new Promise((resolve, reject) => {
    let out = '';
    let err = '';
    child.stdout.on('data', (data) => { out += data; });
    child.stderr.on('data', (data) => { err += data; });
    child.on('error', reject);
    child.on('close', (status) => resolve({ status, out, err }));
  });
}

// Runs fn and checks the process holds the same number of descriptors after.
function sameDescriptors(fn) {
  const before = openDescriptorCount();
  try {
    fn();
  } catch (error) {
    // the caller decides about the error; only the count matters here
  }
  assert.equal(openDescriptorCount(), before, 'descriptor count changed');
}

// The fault-injection interposer that the crash-point and power-loss suites
// preload into their children, and why those suites cannot run here, if so.
const interposer = deliverable('anchorfile_faultinject.so');

function skipReason() {
  if (process.platform !== 'linux') return 'LD_PRELOAD interposition is Linux only';
  if (!fs.existsSync(interposer)) return 'fault-injection interposer not built';
  return false;
}

// Prints a table of verdicts under its title, columns padded to fit.
function printTable(title, header, rows) {
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => String(r[i]).length)));
  const line = (cells) => cells.map((cell, i) => String(cell).padEnd(widths[i])).join('  ').trimEnd();
  console.log([title, line(header), ...rows.map(line)].join('\n'));
}

module.exports = {
  anchorfile, addonPath, makeStorage, identity, publicationQuarantine, contentQuarantine,
  publicationTemporary, plantFile, removalArgs, throwsWith, sameDescriptors, outcomeScript, collect,
  interposer, skipReason, printTable,
};
