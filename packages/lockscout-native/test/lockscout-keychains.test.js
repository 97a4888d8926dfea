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

const ONE = ['login.keychain'];
const TWO = ['login.keychain', 'other.keychain'];

function lock(home, keychain) {
  mustSecurity(home, ['lock-keychain', keychain]);
}

// A whole report as [member, value] pairs in order, after the three that
// every line of this identity starts with.
function line(...rest) {
  return [['schemaVersion', 1], ['platform', 'darwin'], ['identity', IDENTITY], ...rest];
}

// `expected` is either the whole report (see line) or some of its members.
function expectReport(report, expected) {
  if (Array.isArray(expected)) {
    assert.deepEqual(members(report), expected);
    return;
  }
  for (const [member, value] of Object.entries(expected)) assert.equal(report[member], value, member);
}

// Each row: the test's name, the HOME's keychains, what is set up in them,
// and the report the probe must give.
const rows = [
  ['an item under the account name in the first keychain exists', ONE,
    (home) => addItem(home, 'login.keychain'),
    line(['status', 'exists'], ['reason', 'account-metadata-found'], ['osStatus', 0], ['account', ACCOUNT])],
  ['an item only under the fallback account exists with the bare identity', ONE,
    (home) => addItem(home, 'login.keychain', { account: IDENTITY }),
    { status: 'exists', account: IDENTITY }],
  ['no item under either account is not-found with errSecItemNotFound', ONE, (home) => {
    // Items that differ in service or account do not count.
    addItem(home, 'login.keychain', { account: `${ACCOUNT} ` });
    addItem(home, 'login.keychain', { service: 'Velkor Atlas (DEV) Safe Storage' });
  }, line(['status', 'not-found'], ['reason', 'account-not-found'], ['osStatus', -25300])],
  ['an item found past a locked keychain makes the search incomplete', TWO, (home) => {
    addItem(home, 'other.keychain');
    lock(home, 'login.keychain');
  }, { status: 'access-blocked', reason: 'keychain-search-incomplete', account: undefined }],
  ['an item in the first, unlocked keychain exists while another is locked', TWO, (home) => {
    addItem(home, 'login.keychain');
    lock(home, 'other.keychain');
  }, { status: 'exists', account: ACCOUNT }],
  ['the same item in two keychains is ambiguous', TWO, (home) => {
    addItem(home, 'login.keychain');
    addItem(home, 'other.keychain', { password: 'another' });
  }, { status: 'error', reason: 'ambiguous-account' }],
  ['a keychain whose owner may not read it blocks the probe, even for root', TWO, (home) => {
    addItem(home, 'login.keychain');
    fs.chmodSync(keychainPath(home, 'other.keychain'), 0o200);
  }, line(['status', 'access-blocked'], ['reason', 'keychain-unreadable'], ['osStatus', 0])],
  ['an empty search list is an error', ONE,
    (home) => mustSecurity(home, ['list-keychains', '-d', 'user', '-s']),
    { status: 'error', reason: 'keychain-search-list-empty', osStatus: 0 }],
  ['a listed keychain that does not exist reports its status code', ONE,
    (home) => mustSecurity(home, ['list-keychains', '-d', 'user', '-s', 'login.keychain', 'gone.keychain']),
    { status: 'error', reason: 'keychain-status-unavailable', osStatus: -25294 }],
];

for (const [name, keychains, arrange, expected] of rows) {
  test(name, () => withHome(keychains, (home) => {
    arrange(home);
    expectReport(probe(home), expected);
  }));
}

test('each identity probes its own item', () =>
  withHome(ONE, (home) => {
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
  withHome(TWO, (home) => {
    lock(home, 'other.keychain');
    expectReport(probe(home),
      line(['status', 'access-blocked'], ['reason', 'keychain-locked'], ['osStatus', 0]));
    // Unlocking it again gives the plain answer.
    mustSecurity(home, ['unlock-keychain', '-p', 'pw', 'other.keychain']);
    assert.equal(probe(home).reason, 'account-not-found');
  }));

test('the probe changes nothing in the keychains', () =>
  withHome(TWO, (home) => {
    addItem(home, 'login.keychain');
    lock(home, 'other.keychain');
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
  withHome(ONE, (home) => {
    addItem(home, 'login.keychain', { password: 'do-not-print-me' });
    const { line: text } = lockscout(home, [IDENTITY]);
    assert.doesNotMatch(text, /do-not-print-me/);
  }));
