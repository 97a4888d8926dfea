'use strict';
// keyfetch's refusals before it touches the keychain: arguments, and how
// much of standard input it takes. Whatever the refusal, nothing is written
// and nothing is stored.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { deliverable } = require('../../../test/support/native');
const {
  IDENTITY, makeHome, removeHome, plantKey, isStored, keyfetch, expectNoKey,
} = require('./keyfetch-support');

const storedKey = Buffer.from('stored key');
let home;

test.before(() => {
  home = makeHome();
  plantKey(home, storedKey);
});
test.after(() => removeHome(home));

// Opens a file of the given size as a child's standard input, so that the
// shared file offset afterwards tells how much of it the child read.
function inputFile(size) {
  const file = path.join(home, `input-${size}`);
  fs.writeFileSync(file, Buffer.alloc(size, 0x61));
  return fs.openSync(file, 'r');
}

function offsetAfter(fd) {
  return fs.fstatSync(fd).size - fs.readSync(fd, Buffer.alloc(1 << 17), 0, 1 << 17, null);
}

test('no argument at all: status 2 at once, standard input left alone', async () => {
  const fd = inputFile(100);
  const result = keyfetch(home, [], { stdio: [fd, 'pipe', 'pipe'] });
  expectNoKey(result, 2);
  assert.equal(offsetAfter(fd), 0);
  fs.closeSync(fd);

  // A caller that never closes its end of the pipe must not hang it.
  const child = spawn(deliverable('keyfetch'), [], { stdio: ['pipe', 'pipe', 'pipe'] });
  child.stdin.on('error', () => {});
  child.stdin.write('more to come');
  const status = await new Promise((resolve) => child.on('close', resolve));
  child.stdin.destroy();
  assert.equal(status, 2);
});

test('one argument: the input is read to its end, then status 1', () => {
  const fd = inputFile(5000);
  expectNoKey(keyfetch(home, ['read-key'], { stdio: [fd, 'pipe', 'pipe'] }), 1);
  assert.equal(offsetAfter(fd), 5000);
  fs.closeSync(fd);
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
  assert.equal(isStored(home, { account: 'velkor atlas Key', service: 'velkor atlas Safe Storage' }), false);
});

test('unknown commands: status 1, nothing stored', () => {
  for (const command of ['Read-Key', 'read-key ', 'create', 'get-key', '']) {
    expectNoKey(keyfetch(home, [command, IDENTITY]), 1);
  }
  const other = 'Velkor-Atlas (DEV)';
  expectNoKey(keyfetch(home, ['Create-Key', other], { input: 'new key' }), 1);
  assert.equal(isStored(home, { account: `${other} Key`, service: `${other} Safe Storage` }), false);
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
  assert.equal(isStored(home, { account: `${other} Key`, service: `${other} Safe Storage` }), false);
});
