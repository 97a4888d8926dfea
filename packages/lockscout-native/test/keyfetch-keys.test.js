'use strict';
// Reading and creating keys end to end against keychains set up through the
// security tool. Every run has the stand-in's zeroing check on: a run that
// released key bytes without wiping them would die by SIGABRT and fail here.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const {
  IDENTITY, ACCOUNT, FALLBACK_ACCOUNT, itemOf,
  mustSecurity, makeHome, removeHome, plantKey, isStored, keyfetch, expectNoKey,
} = require('./keyfetch-support');

// Key bytes with everything a text-minded caller could mangle: zero bytes,
// newlines, carriage returns, bytes that are not UTF-8.
const awkwardKey = Buffer.from([0x00, 0x0a, 0x41, 0x00, 0x0d, 0x0a, 0xff, 0xfe, 0x80, 0x00]);

function withHome(options, body) {
  return () => {
    const home = makeHome(options);
    try {
      body(home);
    } finally {
      removeHome(home);
    }
  };
}

function expectKey(result, key) {
  assert.equal(result.status, 0);
  assert.deepEqual(result.stdout, Buffer.from(key));
}

test('read-key writes the stored bytes exactly', withHome({}, (home) => {
  plantKey(home, awkwardKey);
  expectKey(keyfetch(home, ['read-key', IDENTITY]), awkwardKey);
}));

test('keys of 1 and 1024 bytes are handed out', withHome({}, (home) => {
  const other = 'Velkor-Atlas';
  const longKey = Buffer.alloc(1024, 0x0a);
  longKey[1023] = 0x00;
  plantKey(home, [0x00]);
  plantKey(home, longKey, itemOf(other));
  expectKey(keyfetch(home, ['read-key', IDENTITY]), [0x00]);
  expectKey(keyfetch(home, ['read-key', other]), longKey);
}));

test('read-key without any item: status 1, nothing written', withHome({}, (home) => {
  expectNoKey(keyfetch(home, ['read-key', IDENTITY], { input: 'ignored input' }));
  // An item of another identity is not ours.
  plantKey(home, 'theirs', itemOf('Velkor-Atlas'));
  expectNoKey(keyfetch(home, ['read-key', IDENTITY]));
  assert.equal(isStored(home), false);
}));

test('read-key finds a key under the fallback account and leaves it there', withHome({}, (home) => {
  plantKey(home, awkwardKey, { account: FALLBACK_ACCOUNT });
  expectKey(keyfetch(home, ['read-key', IDENTITY]), awkwardKey);
  assert.equal(isStored(home, { account: ACCOUNT }), false);
}));

test('the account name wins over the fallback account', withHome({}, (home) => {
  plantKey(home, 'older key', { account: FALLBACK_ACCOUNT });
  plantKey(home, 'current key');
  expectKey(keyfetch(home, ['read-key', IDENTITY]), 'current key');
}));

test('create-key stores under identity + " Key" in the default keychain', withHome(
  { keychains: ['first.keychain', 'second.keychain'], defaultKeychain: 'second.keychain' },
  (home) => {
    expectKey(keyfetch(home, ['create-key', IDENTITY], { input: awkwardKey }), awkwardKey);
    assert.equal(isStored(home, { keychain: 'second.keychain' }), true);
    assert.equal(isStored(home, { keychain: 'first.keychain' }), false);
    assert.equal(isStored(home, { account: FALLBACK_ACCOUNT }), false);
    expectKey(keyfetch(home, ['read-key', IDENTITY]), awkwardKey);
  },
));

test('create-key derives the names from each allowed identity', withHome({}, (home) => {
  for (const identity of ['Velkor Atlas', 'Velkor Atlas (DEV)', 'Velkor-Atlas', 'Velkor-Atlas (DEV)']) {
    const key = Buffer.from(`key of ${identity}`);
    expectKey(keyfetch(home, ['create-key', identity], { input: key }), key);
    assert.equal(isStored(home, itemOf(identity)), true);
  }
}));

test('create-key of 1 and of 1024 bytes', withHome({}, (home) => {
  expectKey(keyfetch(home, ['create-key', IDENTITY], { input: Buffer.from([0x0a]) }), [0x0a]);
  const other = 'Velkor Atlas (DEV)';
  const longKey = Buffer.alloc(1024, 0x00);
  expectKey(keyfetch(home, ['create-key', other], { input: longKey }), longKey);
}));

test('create-key with an item returns the stored key and stores nothing', withHome({}, (home) => {
  plantKey(home, 'stored key');
  expectKey(keyfetch(home, ['create-key', IDENTITY], { input: 'other key' }), 'stored key');
  expectKey(keyfetch(home, ['read-key', IDENTITY]), 'stored key');

  const other = 'Velkor-Atlas';
  plantKey(home, 'fallback key', { ...itemOf(other), account: other });
  expectKey(keyfetch(home, ['create-key', other], { input: 'other key' }), 'fallback key');
  assert.equal(isStored(home, itemOf(other)), false);
}));

test('create-key without an item and with empty or overlong input: status 1, nothing stored',
  withHome({}, (home) => {
    expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: Buffer.alloc(0) }));
    expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: Buffer.alloc(1025, 0x41) }));
    expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: Buffer.alloc(65536, 0x41) }));
    assert.equal(isStored(home), false);
    assert.equal(isStored(home, { account: FALLBACK_ACCOUNT }), false);
  }));

test('a stored key of 0 or 1025 bytes: status 1, nothing written', withHome({}, (home) => {
  plantKey(home, Buffer.alloc(0));
  expectNoKey(keyfetch(home, ['read-key', IDENTITY]));
  expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: 'new key' }));

  const other = 'Velkor-Atlas (DEV)';
  plantKey(home, Buffer.alloc(1025, 0x41), itemOf(other));
  expectNoKey(keyfetch(home, ['read-key', other]));
  expectNoKey(keyfetch(home, ['create-key', other], { input: 'new key' }));
}));

test('a failing lookup: status 1, and no add follows', withHome(
  { keychains: ['locked.keychain', 'open.keychain'], defaultKeychain: 'open.keychain' },
  (home) => {
    // The locked keychain comes first in the search list, so every lookup
    // fails there; a run that took that for "not found" would store the
    // new key in the open default keychain.
    plantKey(home, 'stored key', { account: FALLBACK_ACCOUNT, keychain: 'locked.keychain' });
    mustSecurity(home, ['lock-keychain', 'locked.keychain']);
    expectNoKey(keyfetch(home, ['read-key', IDENTITY]));
    expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: 'new key' }));
    assert.equal(isStored(home, { keychain: 'open.keychain' }), false);
  },
));

test('a failing add: status 1, nothing written', withHome(
  { keychains: ['searched.keychain', 'locked.keychain'], defaultKeychain: 'locked.keychain' },
  (home) => {
    // The default keychain is locked and outside the search list: the
    // lookups find nothing, and storing the new key fails.
    mustSecurity(home, ['list-keychains', '-d', 'user', '-s', 'searched.keychain']);
    mustSecurity(home, ['lock-keychain', 'locked.keychain']);
    expectNoKey(keyfetch(home, ['create-key', IDENTITY], { input: 'new key' }));
    mustSecurity(home, ['unlock-keychain', '-p', 'pw', 'locked.keychain']);
    assert.equal(isStored(home, { keychain: 'locked.keychain' }), false);
  },
));

test('a key that cannot reach the output is not reported as delivered', withHome({}, (home) => {
  plantKey(home, awkwardKey);
  const full = fs.openSync('/dev/full', 'w');
  try {
    const result = keyfetch(home, ['read-key', IDENTITY], { stdio: ['pipe', full, 'pipe'] });
    assert.equal(result.status, 1);
  } finally {
    fs.closeSync(full);
  }
}));
