'use strict';
// The package's script helpers: the names and identities a caller would
// otherwise assemble by hand, and recovery of a quarantine found in a
// listing. A wrong name here is a quarantine that no recovery call accepts.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const anchorfile = require('..');
const { makeStorage, plantFile } = require('./helpers');

const DIGEST = '0123456789abcdef'.repeat(4);

test('quarantine and temporary names: made, recognised, and refused from a bad digest', () => {
  const first = anchorfile.publicationQuarantineName();
  assert.notEqual(first, anchorfile.publicationQuarantineName());
  const temporary = anchorfile.publicationTemporaryName(DIGEST);
  const kinds = [
    [first, 'publication', false],
    [anchorfile.contentQuarantineName(DIGEST), 'content', false],
    [temporary, null, true],
    [`${DIGEST}.${first.slice(-36)}.tmp`, null, true],
    [`${DIGEST.toUpperCase()}.${first.slice(-36)}.tmp`, null, false],
    [`.content-recovery-${DIGEST.slice(1)}`, null, false],
    [`${first}x`, null, false],
    ['.publication-recovery-00000000-0000-0000-0000-000000000000', null, false],
  ];
  for (const [name, kind, isTemporary] of kinds) {
    assert.equal(anchorfile.quarantineKind(name), kind, name);
    assert.equal(anchorfile.isPublicationTemporary(name), isTemporary, name);
  }
  for (const digest of [DIGEST.toUpperCase(), DIGEST.slice(1), `${DIGEST}0`]) {
    assert.throws(() => anchorfile.contentQuarantineName(digest), { code: 'EINVAL' });
    assert.throws(() => anchorfile.publicationTemporaryName(digest), { code: 'EINVAL' });
  }
});

test('a wrong argument type is a TypeError naming the argument, as node\'s own modules throw', () => {
  const entry = anchorfile.publicationQuarantineName();
  const cases = [
    ['contentQuarantineName', [7], 'digest', 'type number (7)'],
    ['publicationTemporaryName', [undefined], 'digest', 'undefined'],
    ['quarantineKind', [{ name: entry }], 'name', 'an instance of Object'],
    ['isPublicationTemporary', [null], 'name', 'null'],
    ['directoryIdentity', [new URL('file:///tmp')], 'path', 'an instance of URL'],
    ['fileIdentity', [Buffer.from('/tmp')], 'path', 'an instance of Buffer'],
    ['recoverListedQuarantine', [null, 'a', entry], 'root', 'null'],
    ['recoverListedQuarantine', ['/r', 1n, entry], 'parent', 'type bigint (1n)'],
    ['recoverListedQuarantine', ['/r', 'a', () => entry], 'entry', 'function <anonymous>'],
    ['recoverListedQuarantine', ['/r', 'a', entry, 5], 'name', 'type number (5)'],
  ];
  for (const [fn, args, name, received] of cases) {
    assert.throws(() => anchorfile[fn](...args), {
      name: 'TypeError', code: 'ERR_INVALID_ARG_TYPE',
      message: `The "${name}" argument must be of type string. Received ${received}`,
    }, `${fn}: ${name}`);
  }
});

test('directoryIdentity and fileIdentity give the removal its arguments in order', (t) => {
  const root = makeStorage(t);
  const parent = `content/blobs/${DIGEST.slice(0, 2)}`;
  const name = anchorfile.publicationTemporaryName(DIGEST);
  plantFile(root, parent, name);
  fs.symlinkSync(name, path.join(root, parent, 'link'));
  const link = anchorfile.fileIdentity(path.join(root, parent, 'link'));
  assert.equal(link[1], fs.lstatSync(path.join(root, parent, 'link'), { bigint: true }).ino, 'the link itself');
  anchorfile.removeAnchoredFile(root, parent, name, ...anchorfile.directoryIdentity(path.join(root, parent)),
    ...anchorfile.fileIdentity(path.join(root, parent, name)), anchorfile.publicationQuarantineName());
  assert.deepEqual(fs.readdirSync(path.join(root, parent)), ['link']);
});

test('identities are unsigned 64-bit, as the add-on compares them; the time stays signed', (t) => {
  // macOS reports device numbers as signed 32-bit values; one with bit 31
  // set reaches node's BigInt status negative.
  const status = { dev: -2147483648n, ino: -1n, size: 5n, mtimeNs: -1000n };
  t.mock.method(fs, 'statSync', () => status);
  t.mock.method(fs, 'lstatSync', () => status);
  assert.deepEqual(anchorfile.directoryIdentity('/any'), [2n ** 64n - 2n ** 31n, 2n ** 64n - 1n]);
  assert.deepEqual(anchorfile.fileIdentity('/any'), [2n ** 64n - 2n ** 31n, 2n ** 64n - 1n, 5n, -1000n]);
});

test('recoverListedQuarantine picks the recovery call by the entry\'s name', (t) => {
  const root = makeStorage(t);
  const publication = anchorfile.publicationQuarantineName();
  const content = anchorfile.contentQuarantineName(DIGEST);
  for (const entry of [publication, content]) fs.mkdirSync(path.join(root, 'a', entry), { recursive: true, mode: 0o700 });
  plantFile(root, 'a', 'x');
  const listed = () => fs.readdirSync(path.join(root, 'a')).sort();

  assert.equal(anchorfile.recoverListedQuarantine(root, 'a', 'x'), false);
  assert.throws(() => anchorfile.recoverListedQuarantine(root, 'a', content),
    { code: 'EINVAL', message: 'A content quarantine is recovered with the name of the file it removed.' });
  assert.deepEqual(listed(), [content, publication, 'x'].sort(), 'nothing touched before the refusal');
  assert.equal(anchorfile.recoverListedQuarantine(root, 'a', content, 'x'), true);
  assert.equal(anchorfile.recoverListedQuarantine(root, 'a', publication), true);
  assert.deepEqual(listed(), ['x']);
});
