'use strict';
// Shared by the keyfetch suites: a throwaway HOME with keychains (see
// keychain-home.js), and keyfetch runs inside it.
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('child_process');
const { deliverable } = require('../../../test/support/native');
const base = require('./keychain-home');

const { IDENTITY, SERVICE, ACCOUNT } = base;
const FALLBACK_ACCOUNT = IDENTITY;

// The keychain stand-in aborts a program that hands key bytes back to
// SecKeychainItemFreeContent without zeroing them first; every run below
// has that check switched on.
const ZEROING_CHECK = { SECURITY_STANDIN_REQUIRE_ZEROED_FREE: '1' };

function environment(home) {
  return base.homeEnvironment(home, ZEROING_CHECK);
}

function security(home, args) {
  return base.security(home, args, ZEROING_CHECK);
}

function mustSecurity(home, args) {
  return base.mustSecurity(home, args, ZEROING_CHECK);
}

// A new HOME whose search list holds the given keychains in order, the last
// one named being the default keychain unless another is given.
function makeHome({ keychains = ['login.keychain'], defaultKeychain } = {}) {
  return base.makeKeychainHome('keyfetch-home-', keychains,
    defaultKeychain || keychains[keychains.length - 1], ZEROING_CHECK);
}

const { removeHome, withInputFile, runWithOpenInput } = base;

// The service and account under which keyfetch keeps the key of `identity`.
function itemOf(identity) {
  return { service: `${identity} Safe Storage`, account: `${identity} Key` };
}

// Plants a key of arbitrary bytes.
function plantKey(home, bytes, { account = ACCOUNT, service = SERVICE, keychain } = {}) {
  const args = ['add-generic-password', '-s', service, '-a', account, '-X', Buffer.from(bytes).toString('hex')];
  if (keychain) args.push(keychain);
  mustSecurity(home, args);
}

// True when an item for the service and account is stored (in the given
// keychain, or anywhere in the search list).
function isStored(home, { account = ACCOUNT, service = SERVICE, keychain } = {}) {
  const args = ['find-generic-password', '-s', service, '-a', account];
  if (keychain) args.push(keychain);
  const result = security(home, args);
  if (result.status === 44) return false;
  assert.equal(result.status, 0, `find-generic-password: ${result.stderr}`);
  return true;
}

// Runs keyfetch to its end. input: the bytes on its standard input;
// stdio: overrides for the child's descriptors.
function keyfetch(home, args, { input = Buffer.alloc(0), stdio } = {}) {
  const options = { env: environment(home), maxBuffer: 1 << 20 };
  if (stdio) options.stdio = stdio;
  else options.input = input;
  const result = spawnSync(deliverable('keyfetch'), args, options);
  assert.equal(result.signal, null, `keyfetch died by ${result.signal}: ${result.stderr}`);
  if (result.stderr) assert.equal(result.stderr.length, 0, `keyfetch wrote to stderr: ${result.stderr}`);
  return result;
}

// A run that handed out no key: the given exit status, nothing written.
function expectNoKey(result, status = 1) {
  assert.equal(result.status, status);
  assert.equal(result.stdout.length, 0);
}

// The same, started without waiting, for runs that race each other.
function keyfetchAsync(home, args, input) {
  return new Promise((resolve, reject) => {
    const child = spawn(deliverable('keyfetch'), args, { env: environment(home) });
    const out = [];
    const err = [];
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.on('data', (chunk) => err.push(chunk));
    child.on('error', reject);
    child.on('close', (status, signal) => {
      resolve({ status, signal, stdout: Buffer.concat(out), stderr: Buffer.concat(err) });
    });
    child.stdin.end(input);
  });
}

module.exports = {
  IDENTITY, SERVICE, ACCOUNT, FALLBACK_ACCOUNT, itemOf,
  security, mustSecurity, makeHome, removeHome, plantKey, isStored, keyfetch, expectNoKey, keyfetchAsync,
  withInputFile, runWithOpenInput,
};
