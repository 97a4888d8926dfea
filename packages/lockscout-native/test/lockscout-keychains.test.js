'use strict';
// lockscout against real keychain states set up through the security tool:
// what the line says for found, fallback, missing, locked, unreadable and
// ambiguous entries.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {
  IDENTITY, ACCOUNT, mustSecurity, keychainPath, withHome, addItem, lockscout, probe, members,
} = require('./lockscout-support');

test('an item under the account name in the first keychain exists', () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain');
    assert.deepEqual(members(probe(home)), [
      ['schemaVersion', 1], ['platform', 'darwin'], ['identity', IDENTITY], ['status', 'exists'],
      ['reason', 'account-metadata-found'], ['osStatus', 0], ['account', ACCOUNT],
    ]);
  }));

test('an item only under the fallback account exists with the bare identity', () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain', { account: IDENTITY });
    const report = probe(home);
    assert.equal(report.status, 'exists');
    assert.equal(report.account, IDENTITY);
  }));

test('no item under either account is not-found with errSecItemNotFound', () =>
  withHome(['login.keychain'], (home) => {
    // Items that differ in service or account do not count.
    addItem(home, 'login.keychain', { account: `${ACCOUNT} ` });
    addItem(home, 'login.keychain', { service: 'Velkor Atlas (DEV) Safe Storage' });
    assert.deepEqual(members(probe(home)), [
      ['schemaVersion', 1], ['platform', 'darwin'], ['identity', IDENTITY], ['status', 'not-found'],
      ['reason', 'account-not-found'], ['osStatus', -25300],
    ]);
  }));

test('each identity probes its own item', () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain', {
      service: 'Velkor-Atlas (DEV) Safe Storage', account: 'Velkor-Atlas (DEV) Key',
    });
    assert.equal(probe(home, 'Velkor-Atlas (DEV)').account, 'Velkor-Atlas (DEV) Key');
    for (const other of ['Velkor Atlas', 'Velkor-Atlas', 'Velkor Atlas (DEV)']) {
      const report = probe(home, other);
      assert.equal(report.status, 'not-found', other);
      assert.equal(report.identity, other);
    }
  }));

test('a missing item with a locked keychain in the list is keychain-locked', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    mustSecurity(home, ['lock-keychain', 'other.keychain']);
    assert.deepEqual(members(probe(home)), [
      ['schemaVersion', 1], ['platform', 'darwin'], ['identity', IDENTITY],
      ['status', 'access-blocked'], ['reason', 'keychain-locked'], ['osStatus', 0],
    ]);
    // Unlocking it again gives the plain answer.
    mustSecurity(home, ['unlock-keychain', '-p', 'pw', 'other.keychain']);
    assert.equal(probe(home).reason, 'account-not-found');
  }));

test('an item found past a locked keychain makes the search incomplete', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    addItem(home, 'other.keychain');
    mustSecurity(home, ['lock-keychain', 'login.keychain']);
    const report = probe(home);
    assert.equal(report.status, 'access-blocked');
    assert.equal(report.reason, 'keychain-search-incomplete');
    assert.equal(report.account, undefined);
  }));

test('an item in the first, unlocked keychain exists while another is locked', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    addItem(home, 'login.keychain');
    mustSecurity(home, ['lock-keychain', 'other.keychain']);
    const report = probe(home);
    assert.equal(report.status, 'exists');
    assert.equal(report.account, ACCOUNT);
  }));

test('the same item in two keychains is ambiguous', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    addItem(home, 'login.keychain');
    addItem(home, 'other.keychain', { password: 'another' });
    const report = probe(home);
    assert.equal(report.status, 'error');
    assert.equal(report.reason, 'ambiguous-account');
  }));

test('a keychain whose owner may not read it blocks the probe, even for root', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    addItem(home, 'login.keychain');
    fs.chmodSync(keychainPath(home, 'other.keychain'), 0o200);
    assert.deepEqual(members(probe(home)), [
      ['schemaVersion', 1], ['platform', 'darwin'], ['identity', IDENTITY],
      ['status', 'access-blocked'], ['reason', 'keychain-unreadable'], ['osStatus', 0],
    ]);
  }));

test('an empty search list is an error', () =>
  withHome(['login.keychain'], (home) => {
    mustSecurity(home, ['list-keychains', '-d', 'user', '-s']);
    const report = probe(home);
    assert.equal(report.status, 'error');
    assert.equal(report.reason, 'keychain-search-list-empty');
    assert.equal(report.osStatus, 0);
  }));

test('a listed keychain that does not exist reports its status code', () =>
  withHome(['login.keychain'], (home) => {
    mustSecurity(home, ['list-keychains', '-d', 'user', '-s', 'login.keychain', 'gone.keychain']);
    const report = probe(home);
    assert.equal(report.status, 'error');
    assert.equal(report.reason, 'keychain-status-unavailable');
    assert.equal(report.osStatus, -25294);
  }));

test('the probe changes nothing in the keychains', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    addItem(home, 'login.keychain');
    mustSecurity(home, ['lock-keychain', 'other.keychain']);
    const dir = path.dirname(keychainPath(home, 'x'));
    const snapshot = () => fs.readdirSync(dir).sort().map((name) => {
      const file = path.join(dir, name);
      return [name, fs.statSync(file).mtimeMs, fs.readFileSync(file, 'latin1')];
    });
    const before = snapshot();
    for (let i = 0; i < 3; i++) probe(home);
    assert.deepEqual(snapshot(), before);
  }));

test('the line names the item found, never its secret', () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain', { password: 'do-not-print-me' });
    const { line } = lockscout(home, [IDENTITY]);
    assert.doesNotMatch(line, /do-not-print-me/);
  }));
