'use strict';
// removeAnchoredFile: argument rules, the walk with its identity check, the
// quarantine, and every state a removal can meet.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const {
  anchorfile, makeStorage, identity, publicationQuarantine, contentQuarantine, publicationTemporary,
  plantFile, removalArgs, throwsWith, sameDescriptors,
} = require('./helpers.js');

const { removeAnchoredFile, recoverAnchoredRemoval } = anchorfile;
const INVALID = 'Invalid anchored removal arguments.';
const RECOVERY = 'Publication quarantine requires recovery: ';

test('removes exactly the identified file and leaves no quarantine', (t) => {
  const root = makeStorage(t);
  const temporary = publicationTemporary('ab');
  const { dir, parentId, fileId } = plantFile(root, 'content/blobs/ab', temporary);
  fs.writeFileSync(path.join(dir, 'neighbour'), 'stays');
  assert.equal(removeAnchoredFile(...removalArgs(root, 'content/blobs/ab', temporary, parentId, fileId,
    publicationQuarantine())), undefined);
  assert.deepEqual(fs.readdirSync(dir), ['neighbour']);
});

test('an empty parent path removes a file in the storage root', (t) => {
  const root = makeStorage(t);
  const { parentId, fileId } = plantFile(root, '', 'top');
  removeAnchoredFile(...removalArgs(root, '', 'top', parentId, fileId, contentQuarantine()));
  assert.deepEqual(fs.readdirSync(root), []);
});

test('a file that is already gone: the removal still succeeds and cleans up', (t) => {
  const root = makeStorage(t);
  const { file, parentId, fileId } = plantFile(root, 'p', 'gone');
  fs.unlinkSync(file);
  removeAnchoredFile(...removalArgs(root, 'p', 'gone', parentId, fileId, contentQuarantine()));
  assert.deepEqual(fs.readdirSync(path.join(root, 'p')), []);
});

test('a file that is not the identified one is left alone with ESTALE, and nothing is left to recover', (t) => {
  const root = makeStorage(t);
  const variants = {
    'another inode': (file) => { fs.unlinkSync(file); fs.writeFileSync(file, 'payload bytes\n'); },
    'another size': (file) => { fs.appendFileSync(file, 'more'); },
    'another mtime': (file) => { fs.utimesSync(file, new Date(0), new Date(1000)); },
    'a symbolic link': (file) => { fs.unlinkSync(file); fs.symlinkSync('/etc/hostname', file); },
    'a directory': (file) => { fs.unlinkSync(file); fs.mkdirSync(file); },
  };
  for (const [label, change] of Object.entries(variants)) {
    const parent = `p-${label.replace(/ /g, '-')}`;
    const { dir, file, parentId, fileId } = plantFile(root, parent, 'victim');
    change(file);
    const before = fs.lstatSync(file, { bigint: true });
    const quarantine = contentQuarantine();
    throwsWith(() => removeAnchoredFile(...removalArgs(root, parent, 'victim', parentId, fileId, quarantine)),
      RECOVERY + quarantine, 'ESTALE');
    const after = fs.lstatSync(file, { bigint: true });
    assert.equal(after.ino, before.ino, label);
    assert.equal(after.size, before.size, label);
    // The receipt and the quarantine are gone: no recovery finds anything,
    // and the file, identified afresh, is removed under the same quarantine
    // name, as a content removal whose name comes from the digest would be.
    throwsWith(() => recoverAnchoredRemoval(root, parent, quarantine, parentId.dev, parentId.ino, 'victim'),
      'Unsafe recovery quarantine.', 'ENOENT');
    if (after.isFile()) removeAnchoredFile(...removalArgs(root, parent, 'victim', parentId, identity(file), quarantine));
    assert.deepEqual(fs.readdirSync(dir), after.isFile() ? [] : ['victim'], label);
  }
});

// Length of the content receipt a removal of `name` with these identities writes.
function contentReceiptLength(quarantine, name, parentId, fileId) {
  return ['content-removal-v1', quarantine, name, parentId.dev, parentId.ino, fileId.dev, fileId.ino,
    fileId.size, fileId.mtimeNs, ''].join('\n').length;
}

test('a removal that no recovery could finish is refused before the file system is touched', (t) => {
  const root = makeStorage(t);
  const temporary = publicationTemporary('ab');
  const cd = publicationTemporary('cd');
  const { dir, parentId, fileId } = plantFile(root, 'content/blobs/ab', temporary);
  plantFile(root, 'content/blobs/ab', 'plain');
  const content = contentQuarantine();
  // The longest name whose content receipt still fits in 4096 bytes.
  const fits = 4096 - contentReceiptLength(content, '', parentId, fileId);
  const rows = [
    // A publication quarantine outside its blob directory, or for a file
    // that is not a publication temporary of that directory.
    ['plain name', 'content/blobs/ab', 'plain', publicationQuarantine()],
    ['temporary of another directory', 'content/blobs/ab', cd, publicationQuarantine()],
    ['blob directory too shallow', 'content/blobs', temporary, publicationQuarantine()],
    ['blob directory too deep', 'content/blobs/ab/x', temporary, publicationQuarantine()],
    ['not the blob store', 'other/blobs/ab', temporary, publicationQuarantine()],
    // A receipt longer than any reader accepts.
    ['receipt of 4097 bytes', 'content/blobs/ab', 'n'.repeat(fits + 1), content],
    ['ten-megabyte name', 'content/blobs/ab', 'n'.repeat(10 << 20), content],
    // Recovery would find the quarantine itself under the file's name.
    ['name equal to the quarantine', 'content/blobs/ab', content, content],
  ];
  for (const [label, parent, name, quarantine] of rows) {
    throwsWith(() => removeAnchoredFile(...removalArgs(root, parent, name, parentId, fileId, quarantine)),
      INVALID, 'EINVAL');
    assert.deepEqual(fs.readdirSync(dir).sort(), [temporary, 'plain'].sort(), label);
  }
  // At the limit the receipt is written: the name is too long for the file
  // system, so no such file exists and the removal ends as for a gone file.
  assert.equal(removeAnchoredFile(...removalArgs(root, 'content/blobs/ab', 'n'.repeat(fits), parentId, fileId,
    content)), undefined);
  assert.equal(removeAnchoredFile(...removalArgs(root, 'content/blobs/ab', temporary, parentId, fileId,
    publicationQuarantine())), undefined);
  assert.deepEqual(fs.readdirSync(dir), ['plain']);
});

test('a name too long for the file system is a missing file, not an I/O error', (t) => {
  const root = makeStorage(t);
  const { dir, parentId, fileId } = plantFile(root, 'p', 'victim');
  const long = 'x'.repeat(300);
  assert.equal(removeAnchoredFile(...removalArgs(root, 'p', long, parentId, fileId, contentQuarantine())),
    undefined);
  assert.deepEqual(fs.readdirSync(dir), ['victim']);
});

test('the parent is walked without links and must be the identified directory', (t) => {
  const root = makeStorage(t);
  const { dir, parentId, fileId } = plantFile(root, 'a/b', 'victim');
  const refused = (code, parent, pid = parentId, storage = root) => throwsWith(
    () => removeAnchoredFile(...removalArgs(storage, parent, 'victim', pid, fileId, contentQuarantine())),
    'Could not anchor removal parent.', code);
  fs.symlinkSync(path.join(root, 'a'), path.join(root, 'alias'));
  refused('ELOOP', 'alias/b');
  refused('ENOENT', 'a/missing');
  refused('EIO', 'a/b/victim');
  refused('ESTALE', 'a/b', { ...parentId, ino: parentId.ino + 1n });
  refused('ESTALE', 'a/b', { ...parentId, dev: parentId.dev + 1n });
  const rootLink = `${root}-link`;
  fs.symlinkSync(root, rootLink);
  t.after(() => fs.rmSync(rootLink, { force: true }));
  refused('ELOOP', 'a/b', parentId, rootLink);
  // A directory swapped in under the same path is another directory.
  fs.renameSync(dir, `${dir}-old`);
  fs.mkdirSync(dir);
  fs.renameSync(path.join(`${dir}-old`, 'victim'), path.join(dir, 'victim'));
  refused('ESTALE', 'a/b');
  assert.deepEqual(fs.readdirSync(dir), ['victim']);
});

test('the quarantine name must be new', (t) => {
  const root = makeStorage(t);
  const { dir, parentId, fileId } = plantFile(root, 'p', 'victim');
  const [directory, link] = [contentQuarantine(), contentQuarantine()];
  fs.mkdirSync(path.join(dir, directory));
  fs.symlinkSync('/tmp', path.join(dir, link));
  for (const quarantine of [directory, link]) {
    throwsWith(() => removeAnchoredFile(...removalArgs(root, 'p', 'victim', parentId, fileId, quarantine)),
      'Could not create removal quarantine.', 'EEXIST');
  }
  assert.ok(fs.existsSync(path.join(dir, 'victim')));
});

test('arguments are validated before the file system is touched', (t) => {
  const root = makeStorage(t);
  const { dir, parentId, fileId } = plantFile(root, 'p', 'victim');
  const good = removalArgs(root, 'p', 'victim', parentId, fileId, contentQuarantine());
  const replace = (index, value) => good.map((v, i) => (i === index ? value : v));
  const upper = `.publication-recovery-${'ABCDEF01-2345-4789-a123-456789abcdef'}`;
  const cases = [
    replace(0, ''), replace(0, `${root}\u0000`), replace(0, 7),
    replace(1, '/p'), replace(1, 'p/'), replace(1, 'p\u0000'), replace(1, '..'),
    replace(2, 'vic\ntim'), replace(2, 'vic\rtim'), replace(2, 'vic\u0000tim'), replace(2, '..'), replace(2, 'a/b'),
    replace(3, -1n), replace(4, 2n ** 64n), replace(5, 1), replace(6, '1'), replace(7, -5n),
    replace(8, 2n ** 63n), replace(8, -(2n ** 63n) - 1n), replace(8, 0),
    replace(9, upper), replace(9, '.publication-recovery-123e4567-e89b-12d3-a456-426614174000'),
    replace(9, '.publication-recovery-123e4567-e89b-42d3-c456-426614174000'),
    replace(9, `.content-recovery-${'a'.repeat(63)}`), replace(9, `.content-recovery-${'a'.repeat(65)}`),
    replace(9, `${good[9]}\n`), replace(9, 'quarantine'),
  ];
  for (const args of cases) {
    throwsWith(() => removeAnchoredFile(...args), INVALID, 'EINVAL');
  }
  throwsWith(() => removeAnchoredFile(...good.slice(0, 9)), INVALID, 'EINVAL');
  throwsWith(() => removeAnchoredFile(...good, 'extra'), INVALID, 'EINVAL');
  assert.deepEqual(fs.readdirSync(dir), ['victim']);
});

// What the receipt records of them is checked where a removal can be
// stopped right after the receipt's sync (crash-points.test.js).
test('boundary numbers are accepted: 2^64-1 identities and the extreme mtimes', (t) => {
  const root = makeStorage(t);
  const { dir, parentId } = plantFile(root, 'p', 'victim');
  const max = 2n ** 64n - 1n;
  for (const mtimeNs of [-(2n ** 63n), 2n ** 63n - 1n]) {
    const quarantine = contentQuarantine();
    const fileId = { dev: max, ino: max, size: max, mtimeNs };
    throwsWith(() => removeAnchoredFile(...removalArgs(root, 'p', 'victim', parentId, fileId, quarantine)),
      RECOVERY + quarantine, 'ESTALE');
    assert.deepEqual(fs.readdirSync(dir), ['victim']);
  }
});

test('every removal path leaves the descriptor count unchanged', (t) => {
  const root = makeStorage(t);
  const { parentId, fileId } = plantFile(root, 'p', 'victim');
  const { fileId: staleId } = plantFile(root, 'p', 'other');
  const existing = contentQuarantine();
  fs.mkdirSync(path.join(root, 'p', existing));
  // walk fails, parent stale, quarantine taken, file stale, success
  for (const [parent, pid, fid, quarantine] of [['missing', parentId, fileId], ['p', { ...parentId, ino: 1n }, fileId],
    ['p', parentId, fileId, existing], ['p', parentId, staleId], ['p', parentId, fileId]]) {
    sameDescriptors(() => removeAnchoredFile(...removalArgs(root, parent, 'victim', pid, fid, quarantine || contentQuarantine())));
  }
  assert.ok(!fs.existsSync(path.join(root, 'p', 'victim')));
});
