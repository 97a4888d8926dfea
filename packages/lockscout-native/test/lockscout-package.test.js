'use strict';
// The package entry point: program paths and probeIdentity.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { deliverable } = require('../../../test/support/native');
const { programPath, probeIdentity, probeIdentitySync } = require('..');
const { IDENTITY, ACCOUNT, withHome, addItem } = require('./lockscout-support');

test('programPath finds the built programs and refuses other names', () => {
  assert.equal(programPath('lockscout'), path.resolve(deliverable('lockscout')));
  assert.throws(() => programPath('security'), /unknown program/);
});

test('probeIdentity and probeIdentitySync return the parsed line', () =>
  withHome(['login.keychain'], async (home) => {
    const env = { ...process.env, HOME: home };
    assert.equal(probeIdentitySync(IDENTITY, { env }).reason, 'account-not-found');
    assert.equal((await probeIdentity(IDENTITY, { env })).reason, 'account-not-found');
    addItem(home, 'login.keychain');
    assert.equal((await probeIdentity(IDENTITY, { env })).account, ACCOUNT);
    assert.equal(probeIdentitySync(IDENTITY, { env }).account, ACCOUNT);
    assert.equal((await probeIdentity('someone else', { env })).reason, 'invalid-identity');
  }));

test('programPath maps an Electron app.asar to app.asar.unpacked and refuses where nothing ships', () => {
  const fs = require('fs');
  const os = require('os');
  const base = fs.mkdtempSync(path.join(os.tmpdir(), 'asar-'));
  try {
    const inside = path.join(base, 'app.asar', 'node_modules', '@native', 'lockscout');
    const unpacked = path.join(base, 'app.asar.unpacked', 'node_modules', '@native', 'lockscout');
    fs.mkdirSync(path.join(unpacked, 'prebuilds', 'darwin-arm64'), { recursive: true });
    fs.writeFileSync(path.join(unpacked, 'prebuilds', 'darwin-arm64', 'keyfetch'), '');
    assert.equal(programPath('keyfetch', { platform: 'darwin', arch: 'arm64', dir: inside }),
      path.join(unpacked, 'prebuilds', 'darwin-arm64', 'keyfetch'));
    assert.throws(() => programPath('keyfetch', { platform: 'linux', arch: 'x64', dir: inside }),
      { code: 'ENOTSUP', message: /ship for macOS .* only/ });
  } finally {
    fs.rmSync(base, { recursive: true, force: true });
  }
});
