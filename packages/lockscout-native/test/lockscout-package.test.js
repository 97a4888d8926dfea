'use strict';
// The package entry point: program paths and probeIdentity.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { deliverable } = require('../../../test/support/native');
const { programPath, probeIdentity } = require('..');
const { IDENTITY, ACCOUNT, withHome, addItem } = require('./lockscout-support');

test('programPath finds the built programs and refuses other names', () => {
  assert.equal(programPath('lockscout'), path.resolve(deliverable('lockscout')));
  assert.throws(() => programPath('security'), /unknown program/);
});

test('probeIdentity returns the parsed line', () =>
  withHome(['login.keychain'], (home) => {
    const env = { ...process.env, HOME: home };
    assert.equal(probeIdentity(IDENTITY, { env }).reason, 'account-not-found');
    addItem(home, 'login.keychain');
    assert.equal(probeIdentity(IDENTITY, { env }).account, ACCOUNT);
    assert.equal(probeIdentity('someone else', { env }).reason, 'invalid-identity');
  }));
