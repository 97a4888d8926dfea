'use strict';
// The receipt is a persistent format read strictly. These cases write
// receipts byte for byte and read them through recoverAnchoredRemoval in
// its content form: a receipt the reader rejects reports "Unrecognized
// publication recovery receipt." (EINVAL); one it accepts goes on to the
// namespace check or to FinishRemoval, which here always stops with
// ESTALE or EINVAL (namespace) because the recorded parent is not this one.
// Nothing is changed on disk in either case, so one quarantine serves all.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const {
  anchorfile, makeStorage, identity, contentQuarantine, publicationQuarantine, publicationTemporary, outcomeScript,
} = require('./helpers.js');

const NAME = 'entry.json';
const UNRECOGNIZED = 'Unrecognized publication recovery receipt.';

// What recovery made of a receipt: 'rejected' by the reader, 'accepted' when
// it went on to the parent or namespace check, 'recovered', or the error.
function verdictOf(recover) {
  try {
    recover();
    return 'recovered';
  } catch (error) {
    if (error.message === UNRECOGNIZED && error.code === 'EINVAL') return 'rejected';
    if (error.message.startsWith('Publication quarantine requires recovery: ') && error.code === 'ESTALE') return 'accepted';
    if (error.message === 'Recovery receipt is outside the publication namespace.' && error.code === 'EINVAL') return 'accepted';
    return `${error.message} ${error.code}`;
  }
}

function fixture(t) {
  const root = makeStorage(t);
  const dir = path.join(root, 'data');
  fs.mkdirSync(dir);
  const quarantine = contentQuarantine();
  const qdir = path.join(dir, quarantine);
  fs.mkdirSync(qdir, { mode: 0o700 });
  const pid = identity(dir);
  const receiptPath = path.join(qdir, 'receipt');
  const verdict = (bytes) => {
    fs.rmSync(receiptPath, { force: true, recursive: true });
    if (bytes !== null) fs.writeFileSync(receiptPath, bytes);
    return verdictOf(() => anchorfile.recoverAnchoredRemoval(root, 'data', quarantine, pid.dev, pid.ino, NAME));
  };
  return { root, dir, quarantine, qdir, receiptPath, verdict };
}

// Lines of a well-formed content receipt for `quarantine`; the recorded
// parent (1, 2) is never the real one, so an accepted receipt changes nothing.
function lines(quarantine, overrides = {}) {
  const fields = { name: NAME, parentDevice: '1', parentInode: '2', device: '3', inode: '4', size: '5', mtimeNs: '-5', ...overrides };
  return ['content-removal-v1', quarantine, fields.name, fields.parentDevice, fields.parentInode,
    fields.device, fields.inode, fields.size, fields.mtimeNs];
}

const join = (ls) => `${ls.join('\n')}\n`;

test('well-formed receipts, with and without the final LF, are accepted', (t) => {
  const f = fixture(t);
  for (const receipt of [join(lines(f.quarantine)), lines(f.quarantine).join('\n'),
    join(lines(f.quarantine, { mtimeNs: '0', size: '0' }))]) {
    assert.equal(f.verdict(receipt), 'accepted', JSON.stringify(receipt));
  }
});

test('line structure: extra LF, CRLF, missing or extra lines are rejected', (t) => {
  const f = fixture(t);
  const good = join(lines(f.quarantine));
  for (const receipt of [`${good}\n`, `${good}\n\n`, good.replace(/\n/g, '\r\n'),
    join(lines(f.quarantine, { name: `${NAME}\r` })), join(lines(f.quarantine, { size: '5\r' })),
    join(lines(f.quarantine).slice(0, 8)), join([...lines(f.quarantine), '7']), `\uFEFF${good}`, `${good}x`]) {
    assert.equal(f.verdict(receipt), 'rejected', JSON.stringify(receipt));
  }
});

test('numbers must be canonical decimal within 64 bits', (t) => {
  const f = fixture(t);
  const u64max = (2n ** 64n - 1n).toString();
  const accepted = [['size', u64max], ['inode', '0'], ['mtimeNs', (-(2n ** 63n)).toString()],
    ['mtimeNs', (2n ** 63n - 1n).toString()], ['mtimeNs', '-5']];
  const rejected = [['size', '00'], ['size', '01'], ['size', '007'], ['size', '+5'], ['size', ' 5'],
    ['size', '5 '], ['size', ''], ['size', '-1'], ['size', (2n ** 64n).toString()],
    ['size', '18446744073709551616000'], ['size', '5a'], ['size', '0x10'], ['size', '1_000'],
    ['mtimeNs', '-0'], ['mtimeNs', '-'], ['mtimeNs', '--5'], ['mtimeNs', '-05'],
    ['mtimeNs', (2n ** 63n).toString()], ['mtimeNs', (-(2n ** 63n) - 1n).toString()],
    ['parentDevice', '1.0'], ['device', '1e3']];
  for (const [expected, cases] of [['accepted', accepted], ['rejected', rejected]]) {
    for (const [field, value] of cases) {
      assert.equal(f.verdict(join(lines(f.quarantine, { [field]: value }))), expected, `${field}=${JSON.stringify(value)}`);
    }
  }
});

test('header, namespace line and name are checked exactly', (t) => {
  const f = fixture(t);
  const ls = lines(f.quarantine);
  const receipts = [
    ...['content-removal-v2', 'Content-removal-v1', 'publication-removal-v1'].map((header) => [header, ...ls.slice(1)]),
    [ls[0], contentQuarantine(), ...ls.slice(2)], [ls[0], `${f.quarantine} `, ...ls.slice(2)],
    ...['', '.', '..', 'a/b', 'a\\b', 'a\u0000b'].map((name) => lines(f.quarantine, { name })),
  ];
  for (const receipt of receipts) assert.equal(f.verdict(join(receipt)), 'rejected', JSON.stringify(receipt));
});

test('size limits: 4096 bytes are read, 4097 and 0 are not', (t) => {
  const f = fixture(t);
  // Pad the name to reach an exact total size.
  const sized = (total) => {
    const text = join(lines(f.quarantine, { name: 'n' }));
    return join(lines(f.quarantine, { name: 'n'.repeat(total - text.length + 1) }));
  };
  assert.equal(Buffer.byteLength(sized(4096)), 4096);
  assert.deepEqual([sized(4096), sized(4097), ''].map(f.verdict), ['accepted', 'rejected', 'rejected']);
});

test('a missing receipt empties the quarantine; odd file kinds are refused', (t) => {
  const f = fixture(t);
  assert.equal(f.verdict(null), 'recovered');
  assert.ok(!fs.existsSync(f.qdir));
  const pid = identity(f.dir);
  const recover = () => anchorfile.recoverAnchoredRemoval(f.root, 'data', f.quarantine, pid.dev, pid.ino, NAME);
  fs.mkdirSync(f.qdir, { mode: 0o700 });
  fs.mkdirSync(f.receiptPath);
  assert.throws(recover, { message: UNRECOGNIZED, code: 'EINVAL' });
  fs.rmdirSync(f.receiptPath);
  fs.symlinkSync(join(lines(f.quarantine)), f.receiptPath);
  assert.throws(recover, { message: UNRECOGNIZED, code: 'ELOOP' });
  assert.ok(fs.existsSync(f.qdir));
});

test('a FIFO named receipt is refused without blocking', (t) => {
  const f = fixture(t);
  const made = spawnSync('mkfifo', [f.receiptPath]);
  if (made.status !== 0) { t.skip('mkfifo is not available'); return; }
  const pid = identity(f.dir);
  const call = `a.recoverAnchoredRemoval(${JSON.stringify(f.root)}, 'data', ${JSON.stringify(f.quarantine)}, ${pid.dev}n, ${pid.ino}n, 'entry.json')`;
  const child = spawnSync(process.execPath, ['-e', outcomeScript(call)], { encoding: 'utf8', timeout: 10000 });
  assert.equal(child.signal, null, 'recovery blocked on a FIFO receipt');
  assert.deepEqual(JSON.parse(child.stdout), { message: UNRECOGNIZED, code: 'EINVAL' });
});

// --- property test ---------------------------------------------------------

// The reference grammar, written from the format's rules alone.
function referenceAccepts(bytes, namespaceLine) {
  if (bytes.length < 1 || bytes.length > 4096) return false;
  let text = bytes.toString('latin1');
  if (text.endsWith('\n')) text = text.slice(0, -1);
  const ls = text.split('\n');
  if (ls.length !== 9) return false;
  if (ls[0] !== 'content-removal-v1' || ls[1] !== namespaceLine) return false;
  const name = ls[2];
  if (name === '' || name === '.' || name === '..' || /[/\\\u0000\r]/.test(name)) return false;
  const unsigned = (s) => /^(0|[1-9][0-9]*)$/.test(s) && BigInt(s) <= 2n ** 64n - 1n;
  const signed = (s) => /^(0|-?[1-9][0-9]*)$/.test(s) && BigInt(s) >= -(2n ** 63n) && BigInt(s) <= 2n ** 63n - 1n;
  return ls.slice(3, 8).every(unsigned) && signed(ls[8]);
}

function mutate(rand, buffer) {
  const bytes = [...buffer];
  const interesting = [0x0a, 0x0d, 0x30, 0x2d, 0x2b, 0x20, 0x00, 0x39, 0x2f, 0x5c];
  const steps = 1 + Math.floor(rand() * 3);
  for (let s = 0; s < steps; s++) {
    const at = Math.floor(rand() * (bytes.length + 1));
    const pick = rand() < 0.6 ? interesting[Math.floor(rand() * interesting.length)] : Math.floor(rand() * 256);
    switch (Math.floor(rand() * 5)) {
      case 0: if (bytes.length) bytes[Math.min(at, bytes.length - 1)] ^= 1 << Math.floor(rand() * 8); break;
      case 1: bytes.splice(at, 0, pick); break;
      case 2: bytes.splice(Math.min(at, bytes.length - 1), 1); break;
      case 3: bytes.splice(at, 0, 0x30); break; // a leading or inner zero
      default: bytes.splice(at, 0, ...Buffer.from(rand() < 0.5 ? '\r\n' : '99999999999999999999'));
    }
  }
  return Buffer.from(bytes);
}

function seeds(quarantine) {
  const max = (2n ** 64n - 1n).toString();
  return [
    join(lines(quarantine)),
    lines(quarantine).join('\n'),
    join(lines(quarantine, { size: max, inode: max, mtimeNs: (-(2n ** 63n)).toString() })),
    join(lines(quarantine, { size: '0', mtimeNs: '0', device: '10' })),
    join(lines(quarantine, { mtimeNs: (2n ** 63n - 1n).toString(), parentDevice: '18446744071562067968' })),
  ].map((s) => Buffer.from(s, 'latin1'));
}

test('10,000 mutated receipts: the reader agrees with the reference grammar', (t) => {
  const f = fixture(t);
  let state = Number.parseInt(process.env.RECEIPT_SEED || '', 10) || crypto.randomInt(1, 2 ** 31);
  const seed = state;
  // mulberry32: exact in 32-bit integer arithmetic. A multiplicative
  // generator in plain numbers loses bits past 2^53 and, for some seeds,
  // falls into a short cycle that mutates every receipt alike.
  const rand = () => {
    state = (state + 0x6d2b79f5) | 0;
    let x = Math.imul(state ^ (state >>> 15), 1 | state);
    x ^= x + Math.imul(x ^ (x >>> 7), 61 | x);
    return ((x ^ (x >>> 14)) >>> 0) / 2 ** 32;
  };
  const base = seeds(f.quarantine);
  let accepted = 0;
  for (let i = 0; i < 10000; i++) {
    const bytes = mutate(rand, base[i % base.length]);
    const expected = referenceAccepts(bytes, f.quarantine) ? 'accepted' : 'rejected';
    const actual = f.verdict(bytes);
    if (actual !== expected) {
      assert.fail(`seed ${seed}, case ${i}: reader ${actual}, reference ${expected}: ${JSON.stringify(bytes.toString('latin1'))}`);
    }
    if (expected === 'accepted') accepted++;
  }
  t.diagnostic(`seed ${seed}: ${accepted} of 10000 mutated receipts were well-formed`);
  assert.ok(accepted > 100, 'the mutations should leave some receipts well-formed');
  assert.ok(accepted < 9900, 'the mutations should break most receipts');
});

test('publication receipts: only publication temporaries are accepted names', (t) => {
  const root = makeStorage(t);
  const dir = path.join(root, 'content', 'blobs', 'ab');
  fs.mkdirSync(dir, { recursive: true });
  const pid = identity(dir);
  const quarantine = publicationQuarantine();
  const qdir = path.join(dir, quarantine);
  fs.mkdirSync(qdir, { mode: 0o700 });
  const verdict = (name) => {
    fs.writeFileSync(path.join(qdir, 'receipt'), `publication-removal-v1\n${name}\n1\n2\n3\n4\n5\n6\n`);
    return verdictOf(() => anchorfile.recoverAnchoredRemoval(root, 'content/blobs/ab', quarantine, pid.dev, pid.ino));
  };
  const good = publicationTemporary('ab');
  assert.equal(verdict(good), 'accepted');
  const uuidAt = 65;
  const variants = [
    good.toUpperCase(), good.slice(0, -4) + '.TMP', good.slice(1), `${good}x`, `a${good}`,
    good.slice(0, uuidAt + 14) + '1' + good.slice(uuidAt + 15),
    good.slice(0, uuidAt + 19) + 'c' + good.slice(uuidAt + 20),
    good.slice(0, 64) + '_' + good.slice(65),
    good.slice(0, uuidAt + 8) + '_' + good.slice(uuidAt + 9),
    'ab-simple-name',
  ];
  for (const name of variants) assert.equal(verdict(name), 'rejected', name);
});
