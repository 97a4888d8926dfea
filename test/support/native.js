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

// Runs a short node script as uid/gid 65534, for the cases where root would
// hide a permission failure. The script's standard output is returned
// parsed as JSON.
function runNodeAsNobody(script, args = []) {
  const result = spawnSync('setpriv', [
    '--reuid=65534', '--regid=65534', '--clear-groups', '--',
    process.execPath, '-e', script, '--', ...args,
  ], { encoding: 'utf8', env: process.env });
  if (result.status !== 0) {
    throw new Error(`unprivileged child failed (${result.status}): ${result.stderr}`);
  }
  return JSON.parse(result.stdout);
}

function makeTempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

module.exports = { root, buildDir, deliverable, openDescriptorCount, isRoot, runNodeAsNobody, makeTempDir };
