'use strict';
// recoverAnchoredRemoval: every outcome by what the quarantine holds, the
// namespace rules of both forms, and argument and quarantine vetting.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { isRoot } = require('../../../test/support/native.js');
const {
  anchorfile, makeStorage, identity, publicationQuarantine, contentQuarantine,
  publicationTemporary, removalArgs, throwsWith, sameDescriptors,
} = require('./helpers.js');

const { recoverAnchoredRemoval, removeAnchoredFile } = anchorfile;
const RECOVERY = 'Publication quarantine requires recovery: ';
const UNRECOGNIZED = 'Unrecognized publication recovery receipt.';
const OUTSIDE = 'Recovery receipt is outside the publication namespace.';

function receiptText(namespaceLine, r) {
  const head = namespaceLine ? `content-removal-v1\n${namespaceLine}\n` : 'publication-removal-v1\n';
  return `${head}${r.name}\n${r.parentDevice}\n${r.parentInode}\n${r.device}\n${r.inode}\n${r.size}\n${r.mtimeNs}\n`;
}

// A file and an empty quarantine beside it, with the receipt a removal
// would write for it (writeReceipt puts it in place): a publication
// temporary in content/blobs/ab, or a content entry in data.
function scene(t, { content = false, bytes = 'blob bytes', parent = content ? 'data' : 'content/blobs/ab' } = {}) {
  const root = makeStorage(t);
  const name = content ? 'entry.json' : publicationTemporary('ab');
  const dir = path.join(root, parent);
  fs.mkdirSync(dir, { recursive: true });
  const file = path.join(dir, name);
  fs.writeFileSync(file, bytes);
  const parentId = identity(dir);
  const fileId = identity(file);
  const quarantine = content ? contentQuarantine() : publicationQuarantine();
  const qdir = path.join(dir, quarantine);
  fs.mkdirSync(qdir, { mode: 0o700 });
  const receipt = {
    name, parentDevice: parentId.dev, parentInode: parentId.ino, device: fileId.dev,
    inode: fileId.ino, size: fileId.size, mtimeNs: fileId.mtimeNs,
  };
  const writeReceipt = (r = receipt) => fs.writeFileSync(path.join(qdir, 'receipt'),
    receiptText(content ? quarantine : '', r), { mode: 0o600 });
  const args = content
    ? [root, parent, quarantine, parentId.dev, parentId.ino, name]
    : [root, parent, quarantine, parentId.dev, parentId.ino];
  const recover = (...override) => recoverAnchoredRemoval(...(override.length ? override : args));
  return { root, parent, dir, file, name, parentId, fileId, quarantine, qdir, receipt, writeReceipt, args, recover };
}

for (const content of [false, true]) {
  const form = content ? 'content' : 'publication';

  test(`${form}: an empty quarantine is removed without consulting any receipt`, (t) => {
    const s = scene(t, { content });
    assert.equal(s.recover(), undefined);
    assert.ok(!fs.existsSync(s.qdir));
    assert.ok(fs.existsSync(s.file));
    throwsWith(() => s.recover(), 'Unsafe recovery quarantine.', 'ENOENT');
  });

  test(`${form}: roll forward from every state that holds a valid receipt`, (t) => {
    const states = {
      pending: () => {},
      quarantined: (s) => fs.renameSync(s.file, path.join(s.qdir, 'payload')),
      emptied: (s) => fs.unlinkSync(s.file),
      // A new file took the freed name (the same blob stored again): the
      // caller's file still goes, the newcomer stays.
      'quarantined, name taken again': (s) => {
        fs.renameSync(s.file, path.join(s.qdir, 'payload'));
        fs.writeFileSync(s.file, 'newcomer');
      },
    };
    for (const [state, prepare] of Object.entries(states)) {
      const s = scene(t, { content });
      s.writeReceipt();
      prepare(s);
      s.recover();
      const left = fs.existsSync(s.file) ? [s.name] : [];
      assert.deepEqual(fs.readdirSync(s.dir), left, state);
      if (left.length) assert.equal(fs.readFileSync(s.file, 'utf8'), 'newcomer', state);
    }
  });

  test(`${form}: a file or parent that is not the recorded one: nothing is deleted`, (t) => {
    // pending, stale: the file was appended to after its identity was taken;
    // quarantined, stale: the payload was, and goes back to its name. Either
    // way the receipt and the quarantine are discarded, so no later call
    // finds anything to refuse, and the file, identified afresh, is removed
    // under the same quarantine name (a content one comes from the digest).
    const changes = {
      'pending, stale': (s) => fs.appendFileSync(s.file, ' and more'),
      'quarantined, stale': (s) => {
        fs.renameSync(s.file, path.join(s.qdir, 'payload'));
        fs.appendFileSync(path.join(s.qdir, 'payload'), ' and more');
      },
    };
    for (const [state, change] of Object.entries(changes)) {
      const stale = scene(t, { content, bytes: 'precious' });
      stale.writeReceipt();
      change(stale);
      throwsWith(() => stale.recover(), RECOVERY + stale.quarantine, 'ESTALE');
      assert.equal(fs.readFileSync(stale.file, 'utf8'), 'precious and more', state);
      assert.equal(identity(stale.file).ino, stale.fileId.ino, state);
      assert.ok(!fs.existsSync(stale.qdir), state);
      throwsWith(() => stale.recover(), 'Unsafe recovery quarantine.', 'ENOENT');
      removeAnchoredFile(...removalArgs(stale.root, stale.parent, stale.name, stale.parentId, identity(stale.file),
        stale.quarantine));
      assert.deepEqual(fs.readdirSync(stale.dir), [], state);
    }

    // the receipt names another parent identity: nothing changes
    let s = scene(t, { content });
    s.writeReceipt({ ...s.receipt, parentInode: s.receipt.parentInode + 1n });
    throwsWith(() => s.recover(), RECOVERY + s.quarantine, 'ESTALE');
    assert.ok(fs.existsSync(s.file));
    assert.deepEqual(fs.readdirSync(s.qdir), ['receipt']);

    // blocked: a payload that is not the recorded file, and an entry at
    // the name: it cannot go back, so nothing changes
    s = scene(t, { content });
    s.writeReceipt({ ...s.receipt, inode: s.receipt.inode + 1n });
    fs.renameSync(s.file, path.join(s.qdir, 'payload'));
    fs.writeFileSync(s.file, 'newcomer');
    throwsWith(() => s.recover(), RECOVERY + s.quarantine, 'EEXIST');
    assert.equal(fs.readFileSync(s.file, 'utf8'), 'newcomer');
    assert.deepEqual(fs.readdirSync(s.qdir).sort(), ['payload', 'receipt']);

    // a writer that holds the quarantined file open empties it after a
    // crash, before recovery: its file goes back to the name, and what it
    // writes next lands there
    s = scene(t, { content });
    s.writeReceipt();
    fs.renameSync(s.file, path.join(s.qdir, 'payload'));
    const writer = fs.openSync(path.join(s.qdir, 'payload'), 'r+');
    try {
      fs.ftruncateSync(writer, 0);
      throwsWith(() => s.recover(), RECOVERY + s.quarantine, 'ESTALE');
      fs.writeSync(writer, 'written after the truncation', 0);
    } finally {
      fs.closeSync(writer);
    }
    assert.equal(fs.readFileSync(s.file, 'utf8'), 'written after the truncation');
    assert.equal(identity(s.file).ino, s.fileId.ino);

    // a symbolic link in the payload's place is not the file either
    s = scene(t, { content });
    s.writeReceipt();
    fs.unlinkSync(s.file);
    fs.symlinkSync('/etc/hostname', path.join(s.qdir, 'payload'));
    throwsWith(() => s.recover(), RECOVERY + s.quarantine, 'ESTALE');
    assert.equal(fs.readlinkSync(s.file), '/etc/hostname');
  });

  test(`${form}: quarantines that hold something else are left alone`, (t) => {
    let s = scene(t, { content });
    fs.writeFileSync(path.join(s.qdir, 'stray'), '');
    throwsWith(() => s.recover(), UNRECOGNIZED, 'EEXIST');
    assert.deepEqual(fs.readdirSync(s.qdir), ['stray']);

    s = scene(t, { content });
    fs.writeFileSync(path.join(s.qdir, 'receipt'), receiptText(content ? s.quarantine : '', s.receipt).slice(0, 40));
    throwsWith(() => s.recover(), UNRECOGNIZED, 'EINVAL');
    assert.ok(fs.existsSync(s.file));

    s = scene(t, { content });
    fs.symlinkSync('/etc/hostname', path.join(s.qdir, 'receipt'));
    throwsWith(() => s.recover(), UNRECOGNIZED, 'ELOOP');
    fs.unlinkSync(path.join(s.qdir, 'receipt'));
    fs.mkdirSync(path.join(s.qdir, 'receipt'));
    throwsWith(() => s.recover(), UNRECOGNIZED, 'EINVAL');
    assert.ok(fs.existsSync(s.qdir));
  });

  test(`${form}: the quarantine itself is vetted`, (t) => {
    let s = scene(t, { content });
    fs.chmodSync(s.qdir, 0o750);
    throwsWith(() => s.recover(), 'Unsafe recovery quarantine.', 'EPERM');
    fs.chmodSync(s.qdir, 0o700);
    fs.rmdirSync(s.qdir);
    fs.symlinkSync(s.dir, s.qdir);
    throwsWith(() => s.recover(), 'Unsafe recovery quarantine.', 'ELOOP');
    fs.unlinkSync(s.qdir);
    fs.writeFileSync(s.qdir, '');
    throwsWith(() => s.recover(), 'Unsafe recovery quarantine.', 'EIO');
    if (isRoot()) {
      s = scene(t, { content });
      fs.chownSync(s.qdir, 65534, 65534);
      throwsWith(() => s.recover(), 'Unsafe recovery quarantine.', 'EPERM');
      assert.ok(fs.existsSync(s.qdir));
    }
  });

  test(`${form}: the recovery parent is anchored and identified`, (t) => {
    const s = scene(t, { content });
    const args = [...s.args];
    args[4] = s.parentId.ino + 1n;
    throwsWith(() => recoverAnchoredRemoval(...args), 'Could not anchor recovery parent.', 'ESTALE');
    const linked = `${s.root}/link`;
    fs.symlinkSync(s.dir, linked);
    args[1] = 'link';
    args[4] = s.parentId.ino;
    throwsWith(() => recoverAnchoredRemoval(...args), 'Could not anchor recovery parent.', 'ELOOP');
    assert.ok(fs.existsSync(s.qdir));
  });
}

test('publication form: the receipt must name a temporary in its blob directory', (t) => {
  const wrongPrefix = scene(t);
  wrongPrefix.writeReceipt({ ...wrongPrefix.receipt, name: publicationTemporary('cd') });
  throwsWith(() => wrongPrefix.recover(), OUTSIDE, 'EINVAL');

  for (const parent of ['content/blobs', 'content/blobs/ab/deeper', 'other/blobs/ab', 'content/other/ab']) {
    const s = scene(t, { parent });
    s.writeReceipt();
    throwsWith(() => s.recover(), OUTSIDE, 'EINVAL');
    assert.ok(fs.existsSync(s.file), parent);
  }
});

test('content form: the receipt must name exactly the expected file', (t) => {
  const s = scene(t, { content: true });
  s.writeReceipt();
  const args = [...s.args];
  args[5] = 'other.json';
  throwsWith(() => recoverAnchoredRemoval(...args), OUTSIDE, 'EINVAL');
  assert.ok(fs.existsSync(s.file));
});

test('the reader refuses a plain name in a publication receipt and a receipt of the other kind', (t) => {
  for (const [content, text] of [
    [false, (s) => receiptText('', { ...s.receipt, name: 'ab-plain-name' })],
    [true, (s) => receiptText('', { ...s.receipt, name: publicationTemporary('ab') })],
    [false, (s) => receiptText(`.content-recovery-${'0'.repeat(64)}`, s.receipt)],
  ]) {
    const s = scene(t, { content });
    fs.writeFileSync(path.join(s.qdir, 'receipt'), text(s), { mode: 0o600 });
    throwsWith(() => s.recover(), UNRECOGNIZED, 'EINVAL');
  }
});

test('a receipt naming a file too long for the file system is finished as a missing file', (t) => {
  const s = scene(t, { content: true });
  const long = 'x'.repeat(300);
  fs.writeFileSync(path.join(s.qdir, 'receipt'), receiptText(s.quarantine, { ...s.receipt, name: long }),
    { mode: 0o600 });
  assert.equal(s.recover(s.root, s.parent, s.quarantine, s.parentId.dev, s.parentId.ino, long), undefined);
  assert.ok(!fs.existsSync(s.qdir));
  assert.ok(fs.existsSync(s.file));
});

test('argument count and form are checked before the file system', (t) => {
  const s = scene(t);
  const c = scene(t, { content: true });
  const INVALID = 'Invalid removal recovery arguments.';
  throwsWith(() => recoverAnchoredRemoval(...s.args.slice(0, 4)), INVALID, 'EINVAL');
  throwsWith(() => recoverAnchoredRemoval(...c.args, 'extra'), INVALID, 'EINVAL');
  throwsWith(() => recoverAnchoredRemoval(...c.args.slice(0, 5)), INVALID, 'EINVAL');
  throwsWith(() => recoverAnchoredRemoval(...s.args, 'entry.json'), INVALID, 'EINVAL');
  const replace = (args, i, v) => args.map((x, j) => (j === i ? v : x));
  for (const args of [
    replace(s.args, 0, ''), replace(s.args, 0, 'r\u0000'), replace(s.args, 1, 'a//b'),
    replace(s.args, 1, 'content\u0000'), replace(s.args, 2, s.quarantine.toUpperCase()),
    replace(s.args, 3, -1n), replace(s.args, 4, 1), replace(s.args, 4, 2n ** 64n),
    replace(c.args, 5, 'a\nb'), replace(c.args, 5, 'a\rb'), replace(c.args, 5, 'a\u0000b'),
    replace(c.args, 5, '..'), replace(c.args, 5, 5),
  ]) {
    throwsWith(() => recoverAnchoredRemoval(...args), INVALID, 'EINVAL');
  }
  assert.ok(fs.existsSync(s.qdir) && fs.existsSync(c.qdir));
});

test('every recovery path leaves the descriptor count unchanged', (t) => {
  const runs = [
    (s) => s.recover(),
    (s) => { s.writeReceipt(); s.recover(); },
    (s) => { s.writeReceipt({ ...s.receipt, size: 0n }); s.recover(); },
    (s) => { fs.writeFileSync(path.join(s.qdir, 'receipt'), 'junk'); s.recover(); },
    (s) => { fs.chmodSync(s.qdir, 0o755); s.recover(); },
    (s) => { s.recover(s.root, s.parent, s.quarantine, s.parentId.dev, 1n); },
  ];
  for (const run of runs) {
    const s = scene(t);
    sameDescriptors(() => run(s));
  }
});
