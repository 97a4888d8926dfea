'use strict';
// The suite passes wherever the checkout lies. A clone in a directory of
// mode 0700 (as mktemp -d makes, and as /root and many home directories
// are) cannot be entered by the unprivileged children some tests start, so
// those tests must carry what the child needs to a place it can reach.
// This runs them from a copy of the tests and the build inside such a
// directory.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, buildDir, makeTempDir, skipWithoutUnprivileged } = require('./support/native');

// The tests that start a child under uid 65534, by name.
const UNPRIVILEGED = [
  'an unreadable source gives EPERM to an unprivileged caller',
  'another user\'s process is refused to an unprivileged caller',
  'another user\'s process is null',
  'as an unprivileged user: own process read, a root process null',
  'the owner is the effective user, not the real one',
  'as an unprivileged user: own process present, list complete, only own processes',
  'every listed process runs under the caller\'s user; another user\'s is left out',
];
const FILES = [
  'packages/anchorfile-native/test/publish.test.js',
  'packages/proclineage-native/test/arguments.test.js',
  'packages/proclineage-native/test/identity.test.js',
  'packages/proclineage-native/test/listing.test.js',
];

function escapeForPattern(name) {
  return name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
}

// The sources the test files load, without anything built or installed.
function copyTree(from, to) {
  fs.cpSync(from, to, {
    recursive: true,
    filter: (source) => !['node_modules', 'prebuilds'].includes(path.basename(source)),
  });
}

test('the unprivileged cases pass from a checkout inside a 0700 directory', (t) => {
  if (skipWithoutUnprivileged(t)) return;
  const outer = makeTempDir('private-checkout-');
  try {
    assert.equal(fs.statSync(outer).mode & 0o777, 0o700);
    const clone = path.join(outer, 'p');
    copyTree(path.join(root, 'test'), path.join(clone, 'test'));
    copyTree(path.join(root, 'packages'), path.join(clone, 'packages'));
    const build = path.join(clone, 'build');
    fs.mkdirSync(path.join(build, 'test-support'), { recursive: true });
    for (const name of ['anchorfile.node', 'proclineage.node', path.join('test-support', 'allocstats.node')]) {
      fs.copyFileSync(path.join(buildDir, name), path.join(build, name));
    }
    // The runner marks its children as its own test files; this one is a
    // runner of its own, reporting to its standard output.
    const env = { ...process.env, NATIVE_BUILD_DIR: build };
    delete env.NODE_TEST_CONTEXT;
    const pattern = `^(${UNPRIVILEGED.map(escapeForPattern).join('|')})$`;
    const run = spawnSync(process.execPath, [
      '--test', '--test-reporter=tap', `--test-name-pattern=${pattern}`, ...FILES,
    ], { cwd: clone, encoding: 'utf8', env, timeout: 240000 });
    assert.equal(run.status, 0, run.stdout + run.stderr);
    for (const name of UNPRIVILEGED) {
      const line = run.stdout.split('\n').find((l) => l.includes(`ok `) && l.endsWith(` - ${name}`));
      assert.ok(line !== undefined && !line.trim().startsWith('not ok'), `${name} passed:\n${run.stdout}`);
    }
    assert.doesNotMatch(run.stdout, /needs an unprivileged child/);
  } finally {
    fs.rmSync(outer, { recursive: true, force: true });
  }
});
