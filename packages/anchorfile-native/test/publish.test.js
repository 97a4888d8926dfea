'use strict';
// publishNoReplace: argument rules, refusals with their exact message and
// code, and the one change it may make (a no-replace rename).
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { isRoot, runNodeAsNobody, skipWithoutUnprivileged } = require('../../../test/support/native.js');
const { anchorfile, makeStorage, throwsWith, sameDescriptors, outcomeScript, collect } = require('./helpers.js');

const { publishNoReplace } = anchorfile;
const USAGE = 'publishNoReplace requires root, parent, source, and destination.';
const INVALID = 'Invalid atomic publication path.';

function staged(root, parent, name = 'staged.tmp', bytes = 'final content') {
  const dir = path.join(root, parent);
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, name), bytes);
  return dir;
}

test('publishes within a nested parent and within the root itself', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'content/blobs/ab');
  assert.equal(publishNoReplace(root, 'content/blobs/ab', 'staged.tmp', 'final'), undefined);
  assert.deepEqual(fs.readdirSync(dir), ['final']);
  assert.equal(fs.readFileSync(path.join(dir, 'final'), 'utf8'), 'final content');

  staged(root, '', 'top.tmp');
  publishNoReplace(root, '', 'top.tmp', 'top');
  assert.ok(fs.existsSync(path.join(root, 'top')));
  assert.ok(!fs.existsSync(path.join(root, 'top.tmp')));
});

test('a relative root resolves against the working directory', (t) => {
  const root = makeStorage(t);
  staged(root, 'd');
  const relative = path.relative(process.cwd(), root);
  publishNoReplace(relative, 'd', 'staged.tmp', 'out');
  assert.ok(fs.existsSync(path.join(root, 'd', 'out')));
});

test('argument count and content are checked before the file system', (t) => {
  const root = makeStorage(t);
  staged(root, 'p');
  for (const args of [[root, 'p', 'staged.tmp'], [root, 'p', 'staged.tmp', 'x', 'y'], []]) {
    throwsWith(() => publishNoReplace(...args), USAGE, 'EINVAL');
  }
  const bad = [
    ['', 'p', 'staged.tmp', 'x'],
    [root, '/p', 'staged.tmp', 'x'],
    [root, 'p/', 'staged.tmp', 'x'],
    [root, 'p//q', 'staged.tmp', 'x'],
    [root, './p', 'staged.tmp', 'x'],
    [root, 'p/../p', 'staged.tmp', 'x'],
    [root, 'p\\q', 'staged.tmp', 'x'],
    [root, 'p', '.', 'x'],
    [root, 'p', '..', 'x'],
    [root, 'p', 'a/b', 'x'],
    [root, 'p', 'a\\b', 'x'],
    [root, 'p', 'staged.tmp', '..'],
    [root, 'p', 'staged.tmp', ''],
    [root, 'p', 'staged.tmp', 'x/y'],
    [42, 'p', 'staged.tmp', 'x'],
    [root, undefined, 'staged.tmp', 'x'],
    [root, 'p', {}, 'x'],
    [root, 'p', 'staged.tmp', null],
  ];
  for (const args of bad) {
    throwsWith(() => publishNoReplace(...args), INVALID, 'EINVAL');
  }
  assert.deepEqual(fs.readdirSync(path.join(root, 'p')), ['staged.tmp']);
});

test('names with leading dots, spaces and non-ASCII letters are simple names', (t) => {
  const root = makeStorage(t);
  staged(root, '.config/app data/.../é', '..a');
  publishNoReplace(root, '.config/app data/.../é', '..a', 'a.');
  assert.ok(fs.existsSync(path.join(root, '.config/app data/.../é/a.')));
});

test('a NUL byte in any argument is refused before anything happens', (t) => {
  const outside = makeStorage(t);
  const root = path.join(outside, 'root');
  fs.mkdirSync(root);
  // The staged file sits where "..\0x" would lead if the walk saw "..".
  fs.writeFileSync(path.join(outside, 'staged.tmp'), 'x');
  fs.writeFileSync(path.join(root, 'staged.tmp'), 'x');
  throwsWith(() => publishNoReplace(root, '..\u0000x', 'staged.tmp', 'escaped'), INVALID, 'EINVAL');
  assert.ok(!fs.existsSync(path.join(outside, 'escaped')));
  assert.ok(fs.existsSync(path.join(outside, 'staged.tmp')));
  for (const args of [[`${root}\u0000`, '', 'staged.tmp', 'y'], [root, '', 'staged.tmp\u0000other', 'y'],
    [root, '', 'staged.tmp', 'y\u0000']]) {
    throwsWith(() => publishNoReplace(...args), INVALID, 'EINVAL');
  }
  assert.deepEqual(fs.readdirSync(root), ['staged.tmp']);
});

test('an existing destination of any kind is never replaced', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'p');
  fs.writeFileSync(path.join(dir, 'file'), 'keep me');
  fs.mkdirSync(path.join(dir, 'dir'));
  fs.symlinkSync('/nonexistent/target', path.join(dir, 'link'));
  // Publishing a file onto its own name is also a refusal, not a no-op.
  for (const destination of ['file', 'dir', 'link', 'staged.tmp']) {
    throwsWith(() => publishNoReplace(root, 'p', 'staged.tmp', destination),
      'Atomic no-replace publication failed.', 'EEXIST');
  }
  assert.equal(fs.readFileSync(path.join(dir, 'file'), 'utf8'), 'keep me');
  assert.equal(fs.readlinkSync(path.join(dir, 'link')), '/nonexistent/target');
  assert.ok(fs.existsSync(path.join(dir, 'staged.tmp')));
});

test('the source must be a regular file reached without a link', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'p');
  fs.symlinkSync('staged.tmp', path.join(dir, 'link'));
  fs.mkdirSync(path.join(dir, 'sub'));
  for (const [source, message, code] of [
    ['link', 'Could not open the publication source.', 'ELOOP'],
    ['missing', 'Could not open the publication source.', 'ENOENT'],
    ['sub', 'The publication source is not anchored safely.', 'ELOOP'],
  ]) {
    throwsWith(() => publishNoReplace(root, 'p', source, 'x'), message, code);
  }
  assert.deepEqual(fs.readdirSync(dir).sort(), ['link', 'staged.tmp', 'sub']);
});

test('a FIFO source is refused without blocking the caller', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'p');
  const made = spawnSync('mkfifo', [path.join(dir, 'fifo')]);
  if (made.status !== 0) {
    t.skip('mkfifo is not available');
    return;
  }
  // Run in a child with a deadline: a blocking open would hang it forever.
  const child = spawnSync(process.execPath,
    ['-e', outcomeScript(`a.publishNoReplace(${JSON.stringify(root)}, 'p', 'fifo', 'x')`)],
    { encoding: 'utf8', timeout: 10000 });
  assert.equal(child.signal, null, 'publishNoReplace blocked on a FIFO');
  assert.deepEqual(JSON.parse(child.stdout), { message: 'The publication source is not anchored safely.', code: 'ELOOP' });
});

test('symbolic links in the parent path and at the root are refused with ELOOP', (t) => {
  const root = makeStorage(t);
  staged(root, 'real/inner');
  fs.symlinkSync(path.join(root, 'real'), path.join(root, 'alias'));
  fs.symlinkSync(path.join(root, 'real', 'inner'), path.join(root, 'real', 'innerlink'));
  // ENOTDIR has no code of its own: it reports EIO.
  for (const [parent, source, code] of [['alias/inner', 'staged.tmp', 'ELOOP'], ['real/innerlink', 'staged.tmp', 'ELOOP'],
    ['real/missing', 'staged.tmp', 'ENOENT'], ['real/inner/staged.tmp', 'a', 'EIO']]) {
    throwsWith(() => publishNoReplace(root, parent, source, 'x'), 'Could not anchor the publication parent.', code);
  }

  const rootLink = `${root}-link`;
  fs.symlinkSync(root, rootLink);
  t.after(() => fs.rmSync(rootLink, { force: true }));
  throwsWith(() => publishNoReplace(rootLink, 'real/inner', 'staged.tmp', 'x'),
    'Could not open the storage root.', 'ELOOP');
  throwsWith(() => publishNoReplace(path.join(root, 'nope'), '', 'a', 'x'),
    'Could not open the storage root.', 'ENOENT');
  // Links in earlier components of the root path are followed.
  publishNoReplace(path.join(rootLink, 'real'), 'inner', 'staged.tmp', 'x');
  assert.ok(fs.existsSync(path.join(root, 'real/inner/x')));
});

test('a hard-linked source is published and only the source name moves', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'p');
  fs.linkSync(path.join(dir, 'staged.tmp'), path.join(dir, 'other'));
  publishNoReplace(root, 'p', 'staged.tmp', 'final');
  assert.deepEqual(fs.readdirSync(dir).sort(), ['final', 'other']);
  assert.equal(fs.statSync(path.join(dir, 'final')).ino, fs.statSync(path.join(dir, 'other')).ino);
});

test('concurrent publications to one name: exactly one wins', async (t) => {
  const root = makeStorage(t);
  const dir = path.join(root, 'p');
  fs.mkdirSync(dir);
  const count = 6;
  for (let i = 0; i < count; i++) fs.writeFileSync(path.join(dir, `s${i}`), `writer ${i}`);
  const results = await Promise.all(Array.from({ length: count }, (_, i) => collect(spawn(process.execPath,
    ['-e', outcomeScript(`a.publishNoReplace(${JSON.stringify(root)}, 'p', 's${i}', 'final')`)]))));
  const outcomes = results.map((r) => JSON.parse(r.out));
  assert.equal(outcomes.filter((o) => o.ok).length, 1);
  assert.equal(outcomes.filter((o) => o.code === 'EEXIST').length, count - 1);
  assert.equal(fs.readdirSync(dir).length, count);
});

test('an unreadable source gives EPERM to an unprivileged caller', (t) => {
  const root = makeStorage(t);
  fs.chmodSync(root, 0o777);
  const dir = staged(root, 'p');
  fs.chmodSync(dir, 0o777);
  fs.chmodSync(path.join(dir, 'staged.tmp'), 0o000);
  if (!isRoot()) {
    // Already unprivileged: the plain call shows the refusal.
    throwsWith(() => publishNoReplace(root, 'p', 'staged.tmp', 'x'), 'Could not open the publication source.', 'EPERM');
    return;
  }
  if (skipWithoutUnprivileged(t)) return;
  const result = runNodeAsNobody(outcomeScript("a.publishNoReplace(process.argv[2], 'p', 'staged.tmp', 'x')",
    "__dirname + '/anchorfile.node'"), [root], ['anchorfile.node']);
  assert.deepEqual(result, { message: 'Could not open the publication source.', code: 'EPERM' });
  assert.ok(fs.existsSync(path.join(dir, 'staged.tmp')));
});

test('every path leaves the descriptor count unchanged', (t) => {
  const root = makeStorage(t);
  const dir = staged(root, 'a/b/c');
  fs.mkdirSync(path.join(dir, 'sub'));
  fs.writeFileSync(path.join(dir, 'taken'), '');
  fs.symlinkSync('taken', path.join(dir, 'link'));
  const cases = [
    ['a/b/c', 'staged.tmp', 'done'],       // success
    ['a/b/c', 'done', 'taken'],            // rename fails
    ['a/b/c', 'sub', 'x'],                 // not a regular file
    ['a/b/c', 'link', 'x'],                // source open fails
    ['a/b/missing', 'x', 'y'],             // walk fails deep
    ['missing', 'x', 'y'],                 // walk fails at once
    ['', 'missing', 'y'],                  // no components
  ];
  for (const [parent, source, destination] of cases) {
    sameDescriptors(() => publishNoReplace(root, parent, source, destination));
  }
  sameDescriptors(() => publishNoReplace(path.join(root, 'nope'), '', 'x', 'y'));
});
