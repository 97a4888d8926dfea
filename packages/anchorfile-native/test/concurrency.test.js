'use strict';
// Lock contention on a quarantine, many removals at once in one parent, and
// honest publishers of one name racing a collector that takes it away.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { deliverable } = require('../../../test/support/native.js');
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

// Publisher A renames its staged file to the shared name; before A checks
// what it published, a collector takes that file away and publisher B
// publishes its own under the name. The fault-injection interposer makes
// that moment happen on every run: right after A's rename it exchanges
// A's file with B's. A must report the failed check and move nothing: B's
// file was published with success and stays where B put it.
const interposer = deliverable('anchorfile_faultinject.so');
test('a publication whose check finds another file under the name moves nothing', {
  skip: (process.platform !== 'linux' || !fs.existsSync(interposer)) && 'needs the LD_PRELOAD interposer',
}, async (t) => {
  const root = makeStorage(t);
  const dir = path.join(root, 'drop');
  const spare = path.join(root, 'spare');
  fs.mkdirSync(dir);
  fs.mkdirSync(spare);
  const job = (env) => ({ fn: 'publishNoReplace', args: [root, 'drop', 'staged-a', 'shared'], env });
  const run = async (env) => {
    fs.writeFileSync(path.join(dir, 'staged-a'), 'bytes of A');
    fs.writeFileSync(path.join(spare, 'published-b'), 'bytes of B');
    const child = spawn(process.execPath, [path.join(__dirname, 'faultinject', 'remove-child.js'), addonPath,
      JSON.stringify([job({ ANCHORFILE_FAULT_ROOT: root, ...env })])],
    { env: { ...process.env, LD_PRELOAD: [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':') } });
    const { status, out, err } = await collect(child);
    assert.equal(status, 0, err);
    return JSON.parse(out)[0];
  };
  // A plain run, to learn which call of the publication is its rename.
  const log = path.join(root, 'calls.log');
  assert.deepEqual(await run({ ANCHORFILE_FAULT_ACTION: 'none', ANCHORFILE_FAULT_LOG: log }), { ok: true });
  const calls = fs.readFileSync(log, 'utf8').split('\n').filter(Boolean).map((line) => line.split('\t'));
  const rename = calls.find(([, call]) => call.startsWith('rename'));
  assert.ok(rename, `no rename among ${calls.map(([, call]) => call)}`);
  assert.equal(calls[calls.indexOf(rename) + 1][1], 'fstatat', 'the rename is followed by the check');
  fs.rmSync(log);
  fs.rmSync(path.join(dir, 'shared'));

  const outcome = await run({
    ANCHORFILE_FAULT_ACTION: 'swap', ANCHORFILE_FAULT_AT: rename[0],
    ANCHORFILE_FAULT_SWAP_NAME: path.join(dir, 'shared'), ANCHORFILE_FAULT_SWAP_WITH: path.join(spare, 'published-b'),
  });
  assert.deepEqual(outcome, { ok: false, message: 'The publication source is not anchored safely.', code: 'ELOOP' });
  assert.equal(fs.readFileSync(path.join(dir, 'shared'), 'utf8'), 'bytes of B', "B's published file was moved");
  assert.deepEqual(fs.readdirSync(dir), ['shared'], 'something was moved under the staged name');

  // A check that the system cannot make (EIO on the look after the rename)
  // saw no swap: it keeps its own code, and the file is published all the same.
  fs.rmSync(path.join(dir, 'shared'));
  const failed = await run({ ANCHORFILE_FAULT_ACTION: 'EIO', ANCHORFILE_FAULT_AT: String(Number(rename[0]) + 1) });
  assert.deepEqual(failed, { ok: false, message: 'The publication source is not anchored safely.', code: 'EIO' });
  assert.equal(fs.readFileSync(path.join(dir, 'shared'), 'utf8'), 'bytes of A');
});

// Runs in a publisher child: publishes staged files to one shared name
// until the time or the count is up. Checks after every call that its
// staged name holds nothing but its own bytes (a file moved there by the
// call would be someone else's), then cleans up a staged file that was not
// published, as an application would.
function publisher(root, id, rounds, durationMs) {
  const a = require(process.argv[1]);
  const fsModule = require('fs');
  const dir = `${root}/drop`;
  const end = Date.now() + durationMs;
  const report = { published: [], foreign: [], counts: {} };
  for (let round = 0; round < rounds && Date.now() < end; round += 1) {
    const staged = `staged-${id}-${round}`;
    const bytes = `${id} ${round}`;
    fsModule.writeFileSync(`${dir}/${staged}`, bytes);
    let code = 'ok';
    try {
      a.publishNoReplace(root, 'drop', staged, 'shared');
      report.published.push(bytes);
    } catch (error) {
      code = error.code;
    }
    report.counts[code] = (report.counts[code] || 0) + 1;
    let left = null;
    try { left = fsModule.readFileSync(`${dir}/${staged}`, 'utf8'); } catch (error) { /* gone: published */ }
    if (left !== null && left !== bytes) report.foreign.push(`${staged} holds "${left}"`);
    if (left === bytes) fsModule.rmSync(`${dir}/${staged}`);
  }
  process.stdout.write(`${JSON.stringify(report)}\n`);
}

// Runs in the collector child: takes whatever holds the shared name away,
// under a name of its own so that the test can account for every file.
function collector(root, durationMs) {
  const fsModule = require('fs');
  const dir = `${root}/drop`;
  const end = Date.now() + durationMs;
  let taken = 0;
  while (Date.now() < end) {
    try {
      fsModule.renameSync(`${dir}/shared`, `${root}/collected/${taken}`);
      taken += 1;
    } catch (error) { /* nothing there yet */ }
  }
  process.stdout.write(`${JSON.stringify({ taken })}\n`);
}

test('publishers racing a collector: no published file is ever moved by another call', async (t) => {
  const root = makeStorage(t);
  fs.mkdirSync(path.join(root, 'drop'));
  fs.mkdirSync(path.join(root, 'collected'));
  const start = (fn, ...args) => collect(spawn(process.execPath,
    ['-e', `(${fn})(${args.map((arg) => JSON.stringify(arg)).join(', ')})`, addonPath]));
  const [first, second, taker] = await Promise.all([
    start(publisher, root, 'A', 4000, 3000),
    start(publisher, root, 'B', 4000, 3000),
    start(collector, root, 3000),
  ]);
  for (const child of [first, second, taker]) assert.equal(child.status, 0, child.err);
  const reports = [JSON.parse(first.out), JSON.parse(second.out)];
  const { taken } = JSON.parse(taker.out);
  for (const report of reports) assert.deepEqual(report.foreign, [], 'a file was moved under a staged name');
  // Every file published with success is where the shared name was when
  // the collector took it, or still there: none went anywhere else.
  const seen = new Set(fs.readdirSync(path.join(root, 'collected'))
    .map((name) => fs.readFileSync(path.join(root, 'collected', name), 'utf8')));
  const shared = path.join(root, 'drop', 'shared');
  if (fs.existsSync(shared)) seen.add(fs.readFileSync(shared, 'utf8'));
  const lost = reports.flatMap((report) => report.published).filter((bytes) => !seen.has(bytes));
  assert.deepEqual(lost, [], 'published files that are gone');
  const summary = reports.map((report) => JSON.stringify(report.counts)).join(' ');
  console.log(`publishers and a collector: ${summary}; ${taken} taken`);
  assert.ok(taken > 0 && reports.every((report) => report.published.length > 0), 'the race did no real work');
});
