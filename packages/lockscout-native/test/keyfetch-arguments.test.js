'use strict';
// keyfetch's refusals before it touches the keychain: arguments, and how
// much of standard input it takes. Whatever the refusal, nothing is written
// and nothing is stored.
const test = require('node:test');
const assert = require('node:assert/strict');
const { deliverable } = require('../../../test/support/native');
const {
  IDENTITY, itemOf, makeHome, removeHome, plantKey, isStored, keyfetch, expectNoKey,
  withInputFile, runWithOpenInput,
} = require('./keyfetch-support');

const storedKey = Buffer.from('stored key');
let home;

test.before(() => {
  home = makeHome();
  plantKey(home, storedKey);
});
test.after(() => removeHome(home));

// Runs keyfetch on a file of `size` bytes; see withInputFile.
function keyfetchOnFile(args, size) {
  return withInputFile(home, size, (fd) => keyfetch(home, args, { stdio: [fd, 'pipe', 'pipe'] }));
}

test('no argument at all: status 2 at once, standard input left alone', async () => {
  const { result, offset } = keyfetchOnFile([], 100);
  expectNoKey(result, 2);
  assert.equal(offset, 0);
  // A caller that never closes its end of the pipe must not hang it.
  assert.equal((await runWithOpenInput(deliverable('keyfetch'), [])).status, 2);
});

test('one argument: the input is read to its end, then status 1', () => {
  const { result, offset } = keyfetchOnFile(['read-key'], 5000);
  expectNoKey(result, 1);
  assert.equal(offset, 5000);
});

test('three or more arguments: status 1', () => {
  expectNoKey(keyfetch(home, ['read-key', IDENTITY, 'extra']), 1);
  expectNoKey(keyfetch(home, ['create-key', IDENTITY, '', ''], { input: 'new key' }), 1);
});

test('identities off the allow-list: status 1', () => {
  for (const identity of ['velkor atlas', 'Velkor Atlas ', ' Velkor Atlas', 'Velkor Atlas (DEV',
    'Velkor Atlas (dev)', 'VelkorAtlas', '']) {
    expectNoKey(keyfetch(home, ['read-key', identity]), 1);
  }
  assert.equal(isStored(home, itemOf('velkor atlas')), false);
});

test('unknown commands: status 1, nothing stored', () => {
  for (const command of ['Read-Key', 'read-key ', 'create', 'get-key', '']) {
    expectNoKey(keyfetch(home, [command, IDENTITY]), 1);
  }
  const other = 'Velkor-Atlas (DEV)';
  expectNoKey(keyfetch(home, ['Create-Key', other], { input: 'new key' }), 1);
  assert.equal(isStored(home, itemOf(other)), false);
});

test('exactly 65536 bytes of input are accepted', () => {
  const result = keyfetch(home, ['read-key', IDENTITY], { input: Buffer.alloc(65536, 0x62) });
  assert.equal(result.status, 0);
  assert.deepEqual(result.stdout, storedKey);
  assert.equal(keyfetch(home, ['create-key', IDENTITY], { input: Buffer.alloc(65536, 0x62) }).status, 0);
});

test('65537 bytes or more are refused with status 2 whatever the arguments', () => {
  const other = 'Velkor Atlas (DEV)';
  const argumentLists = [
    ['read-key'], ['read-key', IDENTITY], ['create-key', other], ['a', 'b', 'c'], ['nonsense', 'Nobody'],
  ];
  for (const size of [65537, 65537 * 3]) {
    for (const args of argumentLists) {
      expectNoKey(keyfetch(home, args, { input: Buffer.alloc(size, 0x63) }), 2);
    }
  }
  assert.equal(isStored(home, itemOf(other)), false);
});
