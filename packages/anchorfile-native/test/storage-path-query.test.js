'use strict';
// inspectPath, and the argument frame shared by every exported function.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { anchorfile, throwsWith } = require('./helpers.js');

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
