'use strict';
// Lock contention on a quarantine, and many removals at once in one parent.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const {
  anchorfile, addonPath, makeStorage, identity, publicationQuarantine, publicationTemporary, throwsWith, collect,
} = require('./helpers.js');

test('a recovery of a quarantine that another process holds fails at once with EPERM', async (t) => {
  const root = makeStorage(t);
  const dir = path.join(root, 'content', 'blobs', 'ab');
  fs.mkdirSync(dir, { recursive: true });
  const quarantine = publicationQuarantine();
  const qdir = path.join(dir, quarantine);
  fs.mkdirSync(qdir, { mode: 0o700 });
  const pid = identity(dir);
  // flock(1) takes the same exclusive advisory lock a removal holds.
  const holder = spawn('flock', ['--exclusive', qdir, '-c', 'echo locked; read line'], { stdio: ['pipe', 'pipe', 'pipe'] });
  await new Promise((resolve, reject) => {
    holder.stdout.once('data', resolve);
    holder.once('error', reject);
    holder.once('exit', () => reject(new Error('lock holder exited early')));
  });
  try {
    const started = process.hrtime.bigint();
    throwsWith(() => anchorfile.recoverAnchoredRemoval(root, 'content/blobs/ab', quarantine, pid.dev, pid.ino),
      'Unsafe recovery quarantine.', 'EPERM');
    // Not a timing test: a blocking lock would never return while the holder waits.
    assert.ok(process.hrtime.bigint() - started < 5_000_000_000n);
    assert.ok(fs.existsSync(qdir));
  } finally {
    holder.stdin.end('\n');
    await new Promise((resolve) => holder.on('close', resolve));
  }
  anchorfile.recoverAnchoredRemoval(root, 'content/blobs/ab', quarantine, pid.dev, pid.ino);
  assert.ok(!fs.existsSync(qdir));
});

test('many removals of different files in one parent from several processes', async (t) => {
  const root = makeStorage(t);
  const parent = 'content/blobs/ab';
  const dir = path.join(root, parent);
  fs.mkdirSync(dir, { recursive: true });
  const workers = 4;
  const perWorker = 60;
  const jobs = [];
  for (let w = 0; w < workers; w++) {
    const files = [];
    for (let i = 0; i < perWorker; i++) {
      const name = publicationTemporary('ab');
      fs.writeFileSync(path.join(dir, name), `worker ${w} file ${i}`);
      const id = identity(path.join(dir, name));
      files.push({ name, dev: String(id.dev), ino: String(id.ino), size: String(id.size), mtimeNs: String(id.mtimeNs) });
    }
    jobs.push(files);
  }
  const keep = path.join(dir, 'keep');
  fs.writeFileSync(keep, 'untouched');
  const pid = identity(dir);
  const script = `
    const a = require(${JSON.stringify(addonPath)});
    const crypto = require('crypto');
    const files = JSON.parse(process.argv[1]);
    let failures = 0;
    for (const f of files) {
      try {
        a.removeAnchoredFile(${JSON.stringify(root)}, ${JSON.stringify(parent)}, f.name,
          ${pid.dev}n, ${pid.ino}n, BigInt(f.dev), BigInt(f.ino), BigInt(f.size), BigInt(f.mtimeNs),
          '.publication-recovery-' + crypto.randomUUID());
      } catch (e) { failures++; console.error(e.message, e.code); }
    }
    console.log(failures);`;
  const results = await Promise.all(jobs.map((files) =>
    collect(spawn(process.execPath, ['-e', script, JSON.stringify(files)]))));
  for (const result of results) {
    assert.equal(result.status, 0, result.err);
    assert.equal(result.out.trim(), '0', result.err);
  }
  assert.deepEqual(fs.readdirSync(dir), ['keep']);
  assert.equal(fs.readFileSync(keep, 'utf8'), 'untouched');
});
