'use strict';
// inspectPath, and the argument frame shared by every exported function.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const { anchorfile, addonPath, throwsWith } = require('./helpers.js');

test('the add-on exports its four functions', () => {
  assert.deepEqual(Object.keys(anchorfile),
    ['publishNoReplace', 'inspectPath', 'removeAnchoredFile', 'recoverAnchoredRemoval']);
});

test('inspectPath answers local storage with hard links for any non-empty path', () => {
  for (const p of ['/', '/no/such/path', 'relative/path', '//server/share/x']) {
    assert.deepEqual(anchorfile.inspectPath(p), { isRemote: false, supportsHardLinks: true });
  }
  const first = anchorfile.inspectPath('/');
  first.isRemote = true;
  assert.equal(anchorfile.inspectPath('/').isRemote, false);
  assert.deepEqual(Object.keys(first), ['isRemote', 'supportsHardLinks']);
});

test('inspectPath reads strings whole: a lone NUL is a non-empty path', () => {
  // A reader that stopped at the NUL would see an empty string and refuse.
  assert.deepEqual(anchorfile.inspectPath('\u0000'), { isRemote: false, supportsHardLinks: true });
});

test('inspectPath refuses a wrong count and a non-string or empty path', () => {
  for (const args of [[], ['a', 'b']]) throwsWith(() => anchorfile.inspectPath(...args), 'inspectPath requires a path.', 'EINVAL');
  for (const bad of ['', 1, null, undefined, {}, 1n]) {
    throwsWith(() => anchorfile.inspectPath(bad), 'Invalid storage-path query.', 'EINVAL');
  }
});

test('thrown errors are plain errors with a string code and nothing else', () => {
  // Not a catch block, which would also take the AssertionError of a call that did not throw.
  assert.throws(() => anchorfile.inspectPath(), (error) => {
    assert.ok(error instanceof Error);
    assert.equal(typeof error.code, 'string');
    assert.deepEqual(Object.keys(error), ['code']);
    return true;
  });
});

// Under an address-space limit that leaves room for node and for a string
// of 2^28 three-byte characters, but not for its 768 MiB UTF-8 copy, every
// function throws its own error with the code of ENOMEM ("EIO"); an
// exception leaving the add-on would end the child by std::terminate.
test('a string argument too large to copy is an error, never an abort', {
  skip: process.env.ASAN_OPTIONS !== undefined && 'no address space limit under the sanitizer runtime',
}, () => {
  const script = `
    const a = require(${JSON.stringify(addonPath)});
    const huge = '\\u0800'.repeat(2 ** 28);
    huge.charCodeAt(0);  // flat before the calls, so only the copy is left to fail
    const calls = [
      () => a.inspectPath(huge),
      () => a.publishNoReplace('/', '', 'source', huge),
      () => a.removeAnchoredFile(huge, '', 'x', 1n, 1n, 1n, 1n, 1n, 1n, '.content-recovery-' + '0'.repeat(64)),
      () => a.recoverAnchoredRemoval('/', huge, '.publication-recovery-' + '0'.repeat(36), 1n, 1n),
    ];
    const outcomes = calls.map((call) => {
      try { call(); return 'returned'; } catch (error) { return [error.message, error.code]; }
    });
    console.log(JSON.stringify({ outcomes, after: a.inspectPath('/') }));`;
  const result = spawnSync('/bin/sh', ['-c', 'ulimit -v 1572864 && exec "$0" -e "$1"', process.execPath, script],
    { encoding: 'utf8' });
  assert.equal(result.signal, null, result.stderr);
  assert.equal(result.status, 0, result.stderr);
  assert.deepEqual(JSON.parse(result.stdout), {
    outcomes: [
      ['Invalid storage-path query.', 'EIO'],
      ['Invalid atomic publication path.', 'EIO'],
      ['Invalid anchored removal arguments.', 'EIO'],
      ['Invalid removal recovery arguments.', 'EIO'],
    ],
    after: { isRemote: false, supportsHardLinks: true },
  });
});
