'use strict';
// lockscout's argument handling and the shape of its line: an identity off
// the allow-list is refused without touching the keychain and is never
// echoed; the wrong number of arguments counts as no identity.
const test = require('node:test');
const assert = require('node:assert/strict');
const { IDENTITY, makeHome, removeHome, addItem, lockscout, members } = require('./lockscout-support');

const INVALID_LINE =
  '{"schemaVersion":1,"platform":"darwin","identity":"","status":"error","reason":"invalid-identity","osStatus":0}';

let home;
test.before(() => {
  home = makeHome(['login.keychain']);
  addItem(home, 'login.keychain');
});
test.after(() => removeHome(home));

test('no argument, or two or more even when the first is allowed, is an invalid identity', () => {
  for (const args of [[], [IDENTITY, IDENTITY], [IDENTITY, '', 'x']]) {
    assert.equal(lockscout(home, args).line, INVALID_LINE, JSON.stringify(args));
  }
});

test('identities off the list are refused and never echoed', () => {
  const refused = [
    'velkor atlas', 'Velkor Atlas ', ' Velkor Atlas', 'Velkor Atlas (DEV', 'Velkor-Atlas (dev)', '',
    'Velkor Atlas\n', 'Velkor Atlas","status":"exists', 'Velkor Atlas\\', '\u00e9\u{1F511}',
  ];
  for (const identity of refused) {
    assert.equal(lockscout(home, [identity]).line, INVALID_LINE, JSON.stringify(identity));
  }
});

test('each allowed identity is echoed byte for byte', () => {
  for (const identity of ['Velkor Atlas', 'Velkor Atlas (DEV)', 'Velkor-Atlas', 'Velkor-Atlas (DEV)']) {
    const { line, report } = lockscout(home, [identity]);
    assert.ok(line.includes(`"identity":"${identity}","status"`), line);
    assert.equal(report.identity, identity);
  }
});

test('the members come in their fixed order, the account only for exists', () => {
  const { report } = lockscout(home, [IDENTITY]);
  assert.deepEqual(members(report).map(([name]) => name),
    ['schemaVersion', 'platform', 'identity', 'status', 'reason', 'osStatus', 'account']);
  const missing = lockscout(home, ['Velkor-Atlas']).report;
  assert.deepEqual(members(missing).map(([name]) => name),
    ['schemaVersion', 'platform', 'identity', 'status', 'reason', 'osStatus']);
  assert.equal(typeof missing.osStatus, 'number');
});
