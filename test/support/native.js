'use strict';
// Where the tests find the deliverables, and small helpers that several
// suites share. NATIVE_BUILD_DIR selects the build tree (build by default,
// build-asan for the sanitizer run).
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..', '..');
const buildDir = path.resolve(root, process.env.NATIVE_BUILD_DIR || 'build');

function deliverable(name) {
  return path.join(buildDir, name);
}

function openDescriptorCount() {
  return fs.readdirSync('/proc/self/fd').length;
}

function isRoot() {
  return typeof process.getuid === 'function' && process.getuid() === 0;
}

// Why a child under uid/gid 65534 cannot be started here, or null when it
// can. Root hides permission failures, so the cases that need an
// unprivileged caller run that part in such a child; where none can be
// made, they are skipped with this reason instead of failing or passing.
let dropReason;
function unprivilegedUnavailable() {
  if (dropReason !== undefined) return dropReason;
  dropReason = null;
  if (!isRoot()) {
    dropReason = 'not root, so no child can be switched to uid 65534';
  } else if (sharedBase() === null) {
    dropReason = `no temporary directory that uid 65534 can reach (${os.tmpdir()}, /tmp)`;
  } else if (!reachableByOthers(process.execPath)) {
    dropReason = `uid 65534 cannot run node at ${process.execPath}`;
  } else {
    const probe = spawnSync('setpriv', [...DROP, '--', process.execPath, '-e', ''], { encoding: 'utf8' });
    if (probe.error) dropReason = `setpriv cannot be started (${probe.error.code})`;
    else if (probe.status !== 0) dropReason = `setpriv cannot switch to uid 65534: ${probe.stderr.trim()}`;
  }
  return dropReason;
}

// For the start of a test that needs an unprivileged child: true, with the
// test marked skipped and the reason printed, when there can be none.
function skipWithoutUnprivileged(t) {
  const reason = unprivilegedUnavailable();
  if (reason === null) return false;
  t.skip(`needs an unprivileged child: ${reason}`);
  return true;
}

const DROP = ['--reuid=65534', '--regid=65534', '--clear-groups'];

// Whether every directory from / down to `file` lets others through, and
// `file` itself lets them read it: a checkout or home directory of mode
// 0700 does not.
function reachableByOthers(file) {
  let dir = path.dirname(path.resolve(file));
  for (;;) {
    if ((fs.statSync(dir).mode & 0o001) === 0) return false;
    const up = path.dirname(dir);
    if (up === dir) break;
    dir = up;
  }
  return (fs.statSync(file).mode & 0o004) !== 0;
}

function sharedBase() {
  for (const base of [os.tmpdir(), '/tmp']) {
    try {
      if ((fs.statSync(base).mode & 0o001) !== 0 && reachableByOthers(path.join(base, '.'))) return base;
    } catch (error) {
      if (error.code !== 'ENOENT') throw error;
    }
  }
  return null;
}

// A fresh directory of mode 0755 that uid 65534 can reach, wherever the
// checkout lies. The caller removes it.
function makeSharedDir(prefix) {
  const base = sharedBase();
  if (base === null) throw new Error(unprivilegedUnavailable());
  const dir = fs.mkdtempSync(path.join(base, prefix));
  fs.chmodSync(dir, 0o755);
  return dir;
}

// Runs the node script `script` as uid/gid 65534 and returns its standard
// output parsed as JSON. The checkout may lie in a directory that user
// cannot enter, so the script and the named deliverables are first copied
// into a fresh shared directory, where the script finds them beside itself
// (`require(__dirname + '/anchorfile.node')`); it is removed on every path.
function runNodeAsNobody(script, args = [], deliverables = []) {
  const reason = unprivilegedUnavailable();
  if (reason !== null) throw new Error(`no unprivileged child: ${reason}`);
  const dir = makeSharedDir('unprivileged-');
  try {
    for (const name of deliverables) {
      fs.copyFileSync(deliverable(name), path.join(dir, name));
      fs.chmodSync(path.join(dir, name), 0o755);
    }
    fs.writeFileSync(path.join(dir, 'main.js'), script, { mode: 0o644 });
    const result = spawnSync('setpriv', [
      ...DROP, '--', process.execPath, path.join(dir, 'main.js'), ...args,
    ], { encoding: 'utf8', env: process.env, cwd: dir });
    if (result.status !== 0) {
      throw new Error(`unprivileged child failed (${result.status}): ${result.stderr}`);
    }
    return JSON.parse(result.stdout);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

function makeTempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

module.exports = {
  root, buildDir, deliverable, openDescriptorCount, isRoot, runNodeAsNobody, skipWithoutUnprivileged,
  makeSharedDir, makeTempDir,
};
