'use strict';
// The promise form: each call settles as its synchronous form returns or
// throws, the guarantees of concurrent removals and recoveries hold through
// the worker pool, and the pool neither blocks the event loop, nor keeps a
// finished process alive, nor leaves a call pending when its worker dies.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const anchorfile = require('..');
const promises = require('../promises.js');
const { createPool } = require('../worker-pool.js');
const {
  makeStorage, identity, plantFile, publicationQuarantine, contentQuarantine, publicationTemporary, removalArgs,
} = require('./helpers.js');

const BLOBS = 'content/blobs/ab';
const TEMPORARY = publicationTemporary('ab');
const QUARANTINE = publicationQuarantine();
const CONTENT_QUARANTINE = contentQuarantine();

// An outcome as a caller sees it, with the storage root's path taken out
// of messages so that two trees built alike compare equal.
function outcomeOf(settle, root) {
  const strip = (value) => (typeof value === 'string' ? value.split(root).join('<root>') : value);
  const ok = (value) => ({ value });
  const failed = (error) => ({
    error: Object.fromEntries(Object.entries({ ...error, class: error.constructor.name, message: error.message })
      .map(([key, value]) => [key, strip(value)])),
  });
  return settle(ok, failed);
}

const syncOutcome = (fn, root) => outcomeOf((ok, failed) => {
  try { return ok(fn()); } catch (error) { return failed(error); }
}, root);

async function promiseOutcome(fn, root) {
  const promise = fn();
  assert.ok(promise instanceof Promise, 'the promise form returns a promise, never throws');
  return outcomeOf((ok, failed) => promise.then(ok, failed), root);
}

function tree(root) {
  return fs.readdirSync(root, { recursive: true }).sort();
}

// Each case builds its scene in a fresh tree and gives the call's
// arguments; `shared` cases only read, so both forms run on one tree (the
// identities they return are then the same).
const pending = (root) => plantFile(root, BLOBS, TEMPORARY);
const removal = (change = {}) => (root) => {
  const { parentId, fileId } = pending(root);
  return removalArgs(root, BLOBS, TEMPORARY, parentId, { ...fileId, ...change }, QUARANTINE);
};
const emptyQuarantine = (name) => (root) => {
  fs.mkdirSync(path.join(root, BLOBS, name), { recursive: true, mode: 0o700 });
  return [root, BLOBS, name, ...anchorfile.directoryIdentity(path.join(root, BLOBS))];
};
const CASES = [
  ['publishNoReplace', 'published', (root) => { plantFile(root, 'drop', 'staged'); return [root, 'drop', 'staged', 'final']; }],
  ['publishNoReplace', 'EEXIST', (root) => {
    plantFile(root, 'drop', 'staged'); plantFile(root, 'drop', 'final'); return [root, 'drop', 'staged', 'final'];
  }],
  ['publishNoReplace', 'usage', (root) => [root, 'drop', 'staged']],
  ['inspectPath', 'answer', (root) => [root], true],
  ['inspectPath', 'empty path', () => ['']],
  ['inspectPath', 'an argument that cannot be cloned', () => [() => '/']],
  ['removeAnchoredFile', 'removed', removal()],
  ['removeAnchoredFile', 'ESTALE, quarantine kept', removal({ size: 1n })],
  ['removeAnchoredFile', 'identity beyond 64 bits', removal({ ino: 2n ** 64n })],
  ['removeAnchoredFile', 'extreme times', removal({ mtimeNs: -(2n ** 63n) })],
  ['removeAnchoredFile', 'nine arguments', (root) => removal()(root).slice(0, 9)],
  ['removeAnchoredFile', 'a symbol', (root) => [...removal()(root).slice(0, 9), Symbol('quarantine')]],
  ['recoverAnchoredRemoval', 'empty quarantine', emptyQuarantine(QUARANTINE)],
  ['recoverAnchoredRemoval', 'no quarantine', (root) => {
    pending(root); return [root, BLOBS, QUARANTINE, ...anchorfile.directoryIdentity(path.join(root, BLOBS))];
  }],
  ['recoverListedQuarantine', 'publication', (root) => emptyQuarantine(QUARANTINE)(root).slice(0, 3)],
  ['recoverListedQuarantine', 'no quarantine', (root) => { pending(root); return [root, BLOBS, TEMPORARY]; }],
  ['recoverListedQuarantine', 'content without a name', (root) => emptyQuarantine(CONTENT_QUARANTINE)(root).slice(0, 3)],
  ['recoverListedQuarantine', 'root not a string', () => [null, BLOBS, QUARANTINE]],
  ['directoryIdentity', 'identity', (root) => { pending(root); return [path.join(root, BLOBS)]; }, true],
  ['fileIdentity', 'identity', (root) => [pending(root).file], true],
  ['fileIdentity', 'ENOENT', (root) => [path.join(root, 'missing')]],
  ['fileIdentity', 'a URL', (root) => [new URL(`file://${root}`)]],
];

test('every call settles as its synchronous form returns or throws, with the same effect', async (t) => {
  for (const [name, what, build, shared] of CASES) {
    const syncRoot = makeStorage(t);
    const syncArgs = build(syncRoot);
    const root = shared ? syncRoot : makeStorage(t);
    const args = shared ? syncArgs : build(root);
    const expected = syncOutcome(() => anchorfile[name](...syncArgs), syncRoot);
    const actual = await promiseOutcome(() => promises[name](...args), root);
    assert.deepEqual(actual, expected, `${name}: ${what}`);
    if (!shared) assert.deepEqual(tree(root), tree(syncRoot), `${name}: ${what}: same tree after`);
  }
  const forms = Object.keys(anchorfile).filter((key) => key !== 'promises');
  assert.deepEqual(Object.keys(promises), forms);
  assert.equal(anchorfile.promises, promises);
  for (const name of ['publicationQuarantineName', 'contentQuarantineName', 'publicationTemporaryName',
    'quarantineKind', 'isPublicationTemporary']) {
    assert.equal(promises[name], anchorfile[name], name);
  }
});

// The receipt a removal writes before it moves anything: what a crash
// right after it leaves for recovery.
function interruptedRemoval(root, parent) {
  const name = publicationTemporary('ab');
  const { dir, parentId, fileId } = plantFile(root, parent, name);
  const quarantine = publicationQuarantine();
  fs.mkdirSync(path.join(dir, quarantine), { mode: 0o700 });
  fs.writeFileSync(path.join(dir, quarantine, 'receipt'), ['publication-removal-v1', name, parentId.dev, parentId.ino,
    fileId.dev, fileId.ino, fileId.size, fileId.mtimeNs, ''].join('\n'), { mode: 0o600 });
  return { name, quarantine, parentId };
}

test('concurrent removals and recoveries through the pool keep the guarantees of the synchronous calls', async (t) => {
  const root = makeStorage(t);
  const dir = path.join(root, BLOBS);
  plantFile(root, BLOBS, 'keep', 'untouched');
  const parentId = identity(dir);
  const recover = (quarantine) => promises.recoverAnchoredRemoval(root, BLOBS, quarantine, parentId.dev, parentId.ino);

  // Distinct: every one of them succeeds.
  const distinct = [];
  for (let i = 0; i < 30; i++) {
    const name = publicationTemporary('ab');
    const { fileId } = plantFile(root, BLOBS, name);
    distinct.push(promises.removeAnchoredFile(...removalArgs(root, BLOBS, name, parentId, fileId, publicationQuarantine())));
  }
  for (let i = 0; i < 10; i++) distinct.push(recover(interruptedRemoval(root, BLOBS).quarantine));
  assert.deepEqual((await Promise.allSettled(distinct)).filter((r) => r.status === 'rejected'), []);
  assert.deepEqual(fs.readdirSync(dir), ['keep']);

  // The same quarantine: one recovery finishes the removal; every other
  // finds it locked or gone and says so, and nothing else is touched.
  const { quarantine } = interruptedRemoval(root, BLOBS);
  const same = await Promise.allSettled(Array.from({ length: 8 }, () => recover(quarantine)));
  assert.ok(same.some((r) => r.status === 'fulfilled'), 'no recovery finished');
  for (const { reason } of same.filter((r) => r.status === 'rejected')) {
    assert.equal(reason.message, 'Unsafe recovery quarantine.');
    assert.ok(['EPERM', 'ENOENT'].includes(reason.code), reason.code);
  }
  assert.deepEqual(fs.readdirSync(dir), ['keep']);

  // One quarantine name for several removals: a file is gone exactly when
  // its removal resolved; a refused one stays, refused for the name.
  const shared = publicationQuarantine();
  const files = Array.from({ length: 8 }, () => {
    const name = publicationTemporary('ab');
    return { name, fileId: plantFile(root, BLOBS, name).fileId };
  });
  const outcomes = await Promise.allSettled(files.map(({ name, fileId }) =>
    promises.removeAnchoredFile(...removalArgs(root, BLOBS, name, parentId, fileId, shared))));
  outcomes.forEach((r, i) => {
    assert.equal(fs.existsSync(path.join(dir, files[i].name)), r.status === 'rejected', files[i].name);
    if (r.status === 'rejected') assert.deepEqual([r.reason.message, r.reason.code], ['Could not create removal quarantine.', 'EEXIST']);
  });
  assert.equal(fs.readFileSync(path.join(dir, 'keep'), 'utf8'), 'untouched');
});

test('the event loop turns while removals are in flight', async (t) => {
  const root = makeStorage(t);
  const { parentId } = plantFile(root, BLOBS, 'keep');
  let settled = 0;
  const calls = Array.from({ length: 40 }, () => {
    const name = publicationTemporary('ab');
    const { fileId } = plantFile(root, BLOBS, name);
    return promises.removeAnchoredFile(...removalArgs(root, BLOBS, name, parentId, fileId, publicationQuarantine()))
      .then(() => { settled += 1; });
  });
  // A form that ran on this thread would have settled every call before
  // the loop's next turn.
  const atNextTurn = await new Promise((resolve) => setImmediate(() => resolve(settled)));
  assert.ok(atNextTurn < calls.length, `${atNextTurn} of ${calls.length} settled before the loop turned`);
  await Promise.all(calls);
  assert.deepEqual(fs.readdirSync(path.join(root, BLOBS)), ['keep']);
});

test('a process whose calls are done exits with its workers idle', (t) => {
  const root = makeStorage(t);
  const script = `const p = require(${JSON.stringify(path.join(__dirname, '..', 'promises.js'))});
    Promise.all([p.inspectPath('/'), p.directoryIdentity(${JSON.stringify(root)}), p.inspectPath('/')])
      .then(([info, id]) => console.log(info.isRemote, typeof id[0]));`;
  const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
  assert.equal(child.signal, null, 'the process did not exit by itself');
  assert.deepEqual([child.status, child.stdout, child.stderr], [0, 'false bigint\n', '']);
});

test('a worker that dies rejects its call and is replaced; the other calls settle', async (t) => {
  const root = makeStorage(t);
  const calls = path.join(root, 'calls.js');
  fs.writeFileSync(calls, `module.exports = {
    exit: (code) => process.exit(code),
    wait: (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms),
    echo: (value) => value,
  };`);
  const pool = createPool(calls, 2);
  const [exited, waited, echoed] = await Promise.allSettled([
    pool.run('exit', [7]), pool.run('wait', [300]), pool.run('echo', [[2n ** 64n, -1n]])]);
  assert.equal(exited.status, 'rejected');
  assert.deepEqual([exited.reason.code, exited.reason.exitCode], ['ERR_WORKER_EXITED', 7]);
  assert.deepEqual([waited.value, echoed.value], ['timed-out', [2n ** 64n, -1n]]);
  assert.deepEqual(await Promise.all([pool.run('echo', ['a']), pool.run('echo', ['b'])]), ['a', 'b']);
});
