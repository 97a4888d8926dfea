'use strict';
// Shared by this package's suites: the identity they look up, a throwaway
// HOME whose keychains are set up through the security tool (macOS's
// syntax, so the suites can run against a real keychain too), runs of that
// tool inside it, and two ways to see how a program treats its standard
// input.
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');

const IDENTITY = 'Velkor Atlas';
const SERVICE = `${IDENTITY} Safe Storage`;
const ACCOUNT = `${IDENTITY} Key`;

// The environment of a program run in `home`, with the given additions.
function homeEnvironment(home, extra = {}) {
  return { ...process.env, ...extra, HOME: home };
}

function security(home, args, extra = {}) {
  return spawnSync(deliverable('security'), args, {
    env: homeEnvironment(home, extra), encoding: 'utf8',
  });
}

function mustSecurity(home, args, extra = {}) {
  const result = security(home, args, extra);
  assert.equal(result.status, 0, `security ${args.join(' ')}: ${result.stderr}`);
  return result;
}

function keychainPath(home, name) {
  return path.join(home, 'Library', 'Keychains', name);
}

// A new HOME named after `prefix`, whose user search list holds
// `keychains` in order, with `defaultKeychain` (if any) as the default.
function makeKeychainHome(prefix, keychains, defaultKeychain, extra = {}) {
  const home = makeTempDir(prefix);
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  for (const keychain of keychains) {
    mustSecurity(home, ['create-keychain', '-p', 'pw', keychain], extra);
  }
  mustSecurity(home, ['list-keychains', '-d', 'user', '-s', ...keychains], extra);
  if (defaultKeychain) mustSecurity(home, ['default-keychain', '-s', defaultKeychain], extra);
  return home;
}

function removeHome(home) {
  fs.rmSync(home, { recursive: true, force: true });
}

// Calls run(fd) with fd open on a new file of `size` bytes in `dir`, and
// returns what run returned and how far the file's offset moved: a child
// given fd as its standard input shares that offset.
function withInputFile(dir, size, run) {
  const file = path.join(dir, `input-${size}`);
  fs.writeFileSync(file, Buffer.alloc(size, 0x61));
  const fd = fs.openSync(file, 'r');
  try {
    const result = run(fd);
    return { result, offset: size - fs.readSync(fd, Buffer.alloc(size + 1), 0, size + 1, null) };
  } finally {
    fs.closeSync(fd);
  }
}

// Runs a program whose standard input is written to but never closed. One
// that waits for the end of its input is killed after a few seconds and
// fails the test, instead of holding it until the runner's limit.
function runWithOpenInput(program, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args);
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${path.basename(program)} still waits for its input`));
    }, 10000);
    let stdout = '';
    child.stdout.on('data', (chunk) => { stdout += chunk; });
    child.stdin.on('error', () => {});
    child.stdin.write('more to come');
    child.on('error', reject);  // 'close' follows and stops the timer
    child.on('close', (status) => {
      clearTimeout(timer);
      child.stdin.destroy();
      resolve({ status, stdout });
    });
  });
}

module.exports = {
  IDENTITY, SERVICE, ACCOUNT, homeEnvironment, security, mustSecurity, keychainPath,
  makeKeychainHome, removeHome, withInputFile, runWithOpenInput,
};
