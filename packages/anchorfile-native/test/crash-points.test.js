'use strict';
// Crash consistency of removeAnchoredFile and recoverAnchoredRemoval. A
// child process makes the call with the fault-injection interposer
// preloaded, which numbers every file-system call it makes and, at call k,
// stops the process dead, makes the call fail (EIO, ENOSPC, EINTR), cuts a
// transfer short, or swaps the file for another one. The test then runs
// recoverAnchoredRemoval on what is left and checks, for every k, that no
// file was lost: the file is gone or at its name with the very same bytes
// and identity, and a file that was swapped in is never deleted.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const util = require('util');
const { spawn } = require('child_process');
const {
  anchorfile, addonPath, makeStorage, identity: identityOf, publicationTemporary, publicationQuarantine,
  contentQuarantine, removalArgs, collect, interposer, skipReason, printTable,
} = require('./helpers.js');

const childScript = path.join(__dirname, 'faultinject', 'remove-child.js');
const CRASH_STATUS = 77;
const PARENT = 'content/blobs/ab';
const REQUIRES_RECOVERY = 'Publication quarantine requires recovery: ';
const UNRECOGNIZED = 'Unrecognized publication recovery receipt.';

// ---------------------------------------------------------------------------
// One storage tree per run

// The receipt the removal must write, byte for byte; a partial receipt on
// disk must be a strict prefix of it.
function expectedReceipt(run) {
  const head = run.kind === 'content' ? ['content-removal-v1', run.quarantine] : ['publication-removal-v1'];
  const lines = [...head, run.name, run.parentId.dev, run.parentId.ino,
    run.fileId.dev, run.fileId.ino, run.fileId.size, run.fileId.mtimeNs];
  return Buffer.from(`${lines.join('\n')}\n`);
}

// A publication removal names a publication temporary and is recovered by
// the five-argument form; a content removal names any file and is recovered
// by the six-argument form that repeats the name.
function makeRun(t, kind = 'publication') {
  const root = makeStorage(t);
  const dir = path.join(root, PARENT);
  fs.mkdirSync(dir, { recursive: true });
  fs.mkdirSync(path.join(root, 'spare'));
  const content = kind === 'content';
  const name = content ? `blob-${crypto.randomBytes(8).toString('hex')}` : publicationTemporary('ab');
  const file = path.join(dir, name);
  const bytes = crypto.randomBytes(300);
  fs.writeFileSync(file, bytes);
  // The stand-in has the same size, so only its identity tells it apart.
  const impostor = path.join(root, 'spare', 'impostor');
  const impostorBytes = crypto.randomBytes(300);
  fs.writeFileSync(impostor, impostorBytes);
  const run = {
    kind, root, dir, name, file, bytes, impostor, impostorBytes,
    quarantine: content ? contentQuarantine() : publicationQuarantine(),
    parentId: identityOf(dir),
    fileId: identityOf(file),
    impostorId: identityOf(impostor),
    log: path.join(root, 'calls.log'),
  };
  run.qdir = path.join(dir, run.quarantine);
  run.receipt = expectedReceipt(run);
  return run;
}

// ---------------------------------------------------------------------------
// The child

// The content form of a recovery repeats the name.
function recoveryArgs(run) {
  const form = [run.root, PARENT, run.quarantine, run.parentId.dev, run.parentId.ino];
  return run.kind === 'content' ? [...form, run.name] : form;
}

// The add-on call a job makes in the child.
function callOf(run, op = 'remove') {
  if (op === 'recover') return { fn: 'recoverAnchoredRemoval', args: recoveryArgs(run) };
  return { fn: 'removeAnchoredFile', args: removalArgs(run.root, PARENT, run.name, run.parentId, run.fileId, run.quarantine) };
}

// Every variable is set for every job, so nothing leaks from one removal to
// the next in a child that runs several.
function faultEnv(run, fault) {
  const swap = fault.action === 'swap' || fault.action === 'recreate';
  return {
    ANCHORFILE_FAULT_ROOT: run.root,
    ANCHORFILE_FAULT_LOG: run.log,
    ANCHORFILE_FAULT_ACTION: fault.action,
    ANCHORFILE_FAULT_AT: String(fault.at || 0),
    ANCHORFILE_FAULT_SWAP_NAME: swap ? run.file : '',
    ANCHORFILE_FAULT_SWAP_WITH: swap ? run.impostor : '',
    ANCHORFILE_FAULT_EXIT_AFTER: fault.exitAfter ? '1' : '0',
  };
}

// Under the sanitizer build LD_PRELOAD already carries the sanitizer
// runtime, which must stay first; the interposer goes after it.
function preload() {
  return [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':');
}

// Runs the jobs ({ run, fault }) in order in one child. A job that stops the
// process must be the last one.
async function runChild(jobs, { stops }) {
  const env = { ...process.env, LD_PRELOAD: preload() };
  if (stops && env.ASAN_OPTIONS !== undefined) {
    // A child that is stopped dead gains nothing from holding freed memory
    // back for use-after-free reports, and without it starts in half the
    // time; the children whose calls run to their end keep the full checks.
    env.ASAN_OPTIONS = `${env.ASAN_OPTIONS}:quarantine_size_mb=0`;
  }
  // A writer that truncates holds the file itself open; one that replaces it
  // holds the new file, which the interposer opens in its place.
  const writerOf = ({ run, fault }) => fault.writer && { ...fault.writer, path: fault.action === 'truncate' ? run.file : null };
  const list = JSON.stringify(jobs.map((job) => ({ ...callOf(job.run, job.fault.op), env: faultEnv(job.run, job.fault), writer: writerOf(job) })),
    (key, value) => (typeof value === 'bigint' ? { bigint: String(value) } : value));
  const { status, out, err } = await collect(spawn(process.execPath, [childScript, addonPath, list], { env }));
  const outcomes = out.trim() ? JSON.parse(out) : [];
  return {
    status,
    err,
    results: jobs.map(({ run }, i) => ({
      calls: fs.existsSync(run.log) ? parseLog(fs.readFileSync(run.log, 'utf8'), run) : [],
      outcome: outcomes[i] || null,
    })),
  };
}

function parseLog(text, run) {
  return text.split('\n').filter(Boolean).map((line) => {
    const [k, call, object, result, error] = line.split('\t');
    const shortObject = object.split(run.quarantine).join('quarantine').split(run.name).join('<file>');
    return { k: Number(k), call, object: shortObject, label: `${call} ${shortObject}`, result: Number(result), error };
  });
}

// ---------------------------------------------------------------------------
// What is on disk

function entriesOf(dir) {
  try {
    return fs.readdirSync(dir).sort();
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
}

// A short word for what the removal left behind, for the table.
function describeDisk(run) {
  const entries = entriesOf(run.qdir);
  const atName = fs.existsSync(run.file) ? 'name taken' : 'name free';
  if (entries === null) return atName;
  const parts = ['quarantine'];
  if (entries.includes('receipt')) {
    const receipt = fs.readFileSync(path.join(run.qdir, 'receipt'));
    parts.push(receipt.equals(run.receipt) ? 'receipt' : `receipt ${receipt.length}/${run.receipt.length} B`);
  }
  if (entries.includes('payload')) parts.push('payload');
  return `${parts.join('+')}, ${atName}`;
}

// Finds every entry below the root with the given inode.
function findByInode(root, ino) {
  const found = [];
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const full = path.join(dir, entry.name);
      if (fs.lstatSync(full, { bigint: true }).ino === ino) found.push(full);
      if (entry.isDirectory()) walk(full);
    }
  };
  walk(root);
  return found;
}

function recover(run) {
  if (!fs.existsSync(run.qdir)) return { ran: false };
  try {
    anchorfile.recoverAnchoredRemoval(...recoveryArgs(run));
    return { ran: true, ok: true };
  } catch (error) {
    return { ran: true, ok: false, message: error.message, code: error.code };
  }
}

function assertIntact(where, id, bytes, label) {
  const now = identityOf(where);
  assert.deepEqual(now, id, `${label} at ${where} changed identity`);
  assert.ok(fs.readFileSync(where).equals(bytes), `${label} at ${where} changed bytes`);
}

// The invariant of every run: the file the script identified is gone or at
// its name, whole; no quarantine is left unless recovery refused a partial
// receipt, and then the file is still at its name.
function checkNoLoss(run, recovery) {
  const copies = findByInode(run.root, run.fileId.ino);
  if (copies.length > 0) {
    assert.deepEqual(copies, [run.file], 'the file is somewhere other than its name');
    assertIntact(run.file, run.fileId, run.bytes, 'the file');
  }
  if (!fs.existsSync(run.qdir)) return copies.length > 0 ? 'kept' : 'gone';
  assert.deepEqual(recovery, {
    ran: true, ok: false, message: 'Unrecognized publication recovery receipt.', code: 'EINVAL',
  }, 'a quarantine was left without a refusal');
  assert.deepEqual(entriesOf(run.qdir), ['receipt'], 'a refused quarantine holds more than a receipt');
  const partial = fs.readFileSync(path.join(run.qdir, 'receipt'));
  assert.ok(partial.length < run.receipt.length && run.receipt.subarray(0, partial.length).equals(partial),
    'the refused receipt is not a partial copy of the expected one');
  assert.equal(copies.length, 1, 'a partial receipt was refused but the file is gone');
  return 'kept; partial receipt refused';
}

// ---------------------------------------------------------------------------
// Expected outcomes of an injected failure, by the step that fails

function stepsOf(calls) {
  const index = (predicate) => calls.find(predicate).k;
  return {
    mkdir: index((c) => c.call === 'mkdirat'),
    lock: index((c) => c.call === 'flock'),
    receiptWrite: index((c) => c.call === 'write' && c.object === 'receipt'),
  };
}

// close is the one call whose failure the removal ignores: the descriptor is
// released anyway. Every other failure keeps the code of its error number
// (ENOSPC has none of its own: "EIO"), never that of a refusal: the fstat
// of the parent is no identity mismatch ("ESTALE"), the fstat or flock of
// the quarantine no foreign or locked quarantine ("EPERM").
function expectedFailure(call, steps, quarantine) {
  if (call.call === 'close') return { ok: true };
  const code = 'EIO';
  if (call.k < steps.mkdir) return { ok: false, message: 'Could not anchor removal parent.', code };
  if (call.k === steps.mkdir) return { ok: false, message: 'Could not create removal quarantine.', code };
  if (call.k <= steps.lock) return { ok: false, message: 'Unsafe removal quarantine.', code };
  return { ok: false, message: REQUIRES_RECOVERY + quarantine, code };
}

// ---------------------------------------------------------------------------
// Running many children, two at a time

async function inPool(jobs, width) {
  const results = new Array(jobs.length);
  let next = 0;
  const worker = async () => {
    while (next < jobs.length) {
      const mine = next++;
      results[mine] = await jobs[mine]();
    }
  };
  await Promise.all(Array.from({ length: width }, worker));
  return results;
}

// Runs one removal per fault, each in a fresh storage tree. A fault that
// stops the process gets a child of its own; the others share two children.
async function runFaults(t, faults, { stops, kind, prepare }) {
  const jobs = faults.map((fault) => ({ run: makeRun(t, kind), fault }));
  if (prepare) jobs.forEach(({ run }) => prepare(run));
  const half = Math.ceil(jobs.length / 2);
  const groups = stops ? jobs.map((job) => [job]) : [jobs.slice(0, half), jobs.slice(half)].filter((g) => g.length);
  const done = await inPool(groups.map((group) => () => runChild(group, { stops })), 2);
  return done.flatMap((result, g) => groups[g].map((job, i) => ({
    ...job, status: result.status, err: result.err, ...result.results[i],
  })));
}

// ---------------------------------------------------------------------------

const traces = {};

async function cleanTrace(t, kind = 'publication') {
  if (traces[kind]) return traces[kind];
  const [result] = await runFaults(t, [{ action: 'none' }], { stops: false, kind });
  const { run } = result;
  assert.equal(result.status, 0, result.err);
  assert.deepEqual(result.outcome, { ok: true });
  assert.equal(fs.existsSync(run.file), false);
  assert.equal(fs.existsSync(run.qdir), false);
  traces[kind] = result.calls;
  return result.calls;
}

test('the interposer sees the whole removal and nothing but the removal', { skip: skipReason() }, async (t) => {
  const calls = await cleanTrace(t);
  assert.equal(calls[0].label, 'open root');
  assert.deepEqual(calls.map((c) => c.k), calls.map((_, i) => i + 1));
  // The removal ends by closing the quarantine and the parent; nothing node
  // does afterwards is counted.
  assert.deepEqual(calls.slice(-2).map((c) => c.label), ['close quarantine', 'close ab']);
  for (const step of ['mkdirat ab/quarantine', 'write receipt', 'renameat2 ab/<file> -> quarantine/payload',
    'unlinkat quarantine/payload', 'unlinkat quarantine/receipt', 'unlinkat ab/quarantine']) {
    assert.ok(calls.some((c) => c.label === step), `no ${step} in the trace`);
  }
  // Both kinds of quarantine take the same road.
  const content = await cleanTrace(t, 'content');
  assert.deepEqual(content.map((c) => c.label), calls.map((c) => c.label));
});

// What a process crash cannot show is a missing sync: the kernel still has
// the change. So the durable road itself is checked, every change to the
// disk followed by the syncs that make it survive a power failure before the
// next change relies on it: the receipt's bytes and both directory entries
// before the file leaves its name; after the rename the quarantine (the
// destination) before the parent, so that the file is never in neither
// directory; each removal synced before the next.
const DURABLE_ROAD = [
  'mkdirat ab/quarantine',
  'openat O_CREAT receipt', 'write receipt', 'fsync receipt', 'fsync quarantine', 'fsync ab',
  'renameat2 ab/<file> -> quarantine/payload', 'fsync quarantine', 'fsync ab',
  'unlinkat quarantine/payload', 'fsync quarantine',
  'unlinkat quarantine/receipt', 'fsync quarantine',
  'unlinkat ab/quarantine', 'fsync ab',
];

function durableSteps(calls) {
  const changes = new Set(['mkdirat', 'openat O_CREAT', 'write', 'fsync', 'renameat2', 'renameat', 'unlinkat']);
  return calls.filter((c) => changes.has(c.call)).map((c) => c.label);
}

test('a removal makes every change durable before the next one relies on it', { skip: skipReason() }, async (t) => {
  for (const kind of ['publication', 'content']) {
    assert.deepEqual(durableSteps(await cleanTrace(t, kind)), DURABLE_ROAD, kind);
  }
});

for (const kind of ['publication', 'content']) {
  test(`a crash after any call of a ${kind} removal loses no file`, { skip: skipReason() }, async (t) => {
    const calls = await cleanTrace(t, kind);
    const steps = stepsOf(calls);
    const faults = [];
    for (const call of calls) {
      faults.push({ action: 'exit', at: call.k, call });
      // A crash in the middle of the receipt's one write leaves half of it.
      if (call.call === 'write') faults.push({ action: 'tear', at: call.k, call });
    }
    const rows = [];
    for (const { run, fault, status, err, calls: seen } of await runFaults(t, faults, { stops: true, kind })) {
      const where = `${fault.action} at ${fault.at} (${fault.call.label})`;
      assert.equal(status, CRASH_STATUS, `${where}: child did not stop there: ${err}`);
      assert.equal(seen.length, fault.at, `${where}: calls after the crash point`);
      const left = describeDisk(run);
      const recovery = recover(run);
      const final = checkNoLoss(run, recovery);
      // Once the whole receipt is on disk, recovery always completes the
      // removal; before that the file always stays.
      const receiptWhole = fault.at >= steps.receiptWrite && fault.action === 'exit';
      assert.equal(final === 'gone', receiptWhole, `${where}: ${final}`);
      rows.push([fault.at, fault.call.label, fault.action === 'tear' ? 'crash mid-write' : 'crash', left, final]);
    }
    printTable(`crash points of one ${kind} removal (${calls.length} file-system calls; stop dead after call k, then recover)`,
      ['k', 'call', 'stop', 'left on disk', 'after recovery'], rows);
  });
}

for (const [errorName, kind] of [['EIO', 'publication'], ['ENOSPC', 'publication'], ['EIO', 'content']]) {
  test(`a ${kind} removal whose k-th call fails with ${errorName} throws the step's error and loses no file`, { skip: skipReason() }, async (t) => {
    const calls = await cleanTrace(t, kind);
    const steps = stepsOf(calls);
    const faults = calls.map((call) => ({ action: errorName, at: call.k, call }));
    const rows = [];
    for (const { run, fault: { call }, status, err, calls: seen, outcome } of await runFaults(t, faults, { stops: false, kind })) {
      const where = `${errorName} at ${call.k} (${call.label})`;
      assert.equal(status, 0, `${where}: ${err}`);
      const injected = seen.find((c) => c.k === call.k);
      assert.equal(injected.error, errorName, `${where}: the call was not failed`);
      assert.deepEqual(outcome, expectedFailure(call, steps, run.quarantine), where);
      const left = describeDisk(run);
      const recovery = recover(run);
      const final = checkNoLoss(run, recovery);
      // Only a failure before the whole receipt is written keeps the file.
      assert.equal(final === 'gone', call.call === 'close' || call.k > steps.receiptWrite, `${where}: ${final}`);
      const thrown = outcome.ok ? 'returned' : `${outcome.message.replace(run.quarantine, '<q>')} ${outcome.code}`;
      rows.push([call.k, call.label, thrown, left, final]);
    }
    printTable(`${kind} removal: injected ${errorName} at call k, then recovery`, ['k', 'call', 'removal', 'left on disk', 'after recovery'], rows);
  });
}

// The receipt records the removal's arguments byte for byte, in the format
// recovery reads, a modification time before the epoch and the extreme
// numbers included. These identities match no file, so a removal that ran
// on would refuse it and discard the receipt: each stops dead right after
// the receipt's sync instead.
test('the receipt records the removal in the format recovery reads', { skip: skipReason() }, async (t) => {
  const at = (await cleanTrace(t)).find((c) => c.label === 'fsync receipt').k;
  const max = 2n ** 64n - 1n;
  const rows = [
    ['publication', { mtimeNs: -1500000000n }],
    ['content', { size: 1n }],
    ['content', { dev: max, ino: max, size: max, mtimeNs: -(2n ** 63n) }],
    ['content', { dev: max, ino: max, size: max, mtimeNs: 2n ** 63n - 1n }],
  ];
  const runs = rows.map(([kind, id]) => {
    const run = makeRun(t, kind);
    run.fileId = { ...run.fileId, ...id };
    run.receipt = expectedReceipt(run);
    return run;
  });
  const done = await inPool(runs.map((run) => () => runChild([{ run, fault: { action: 'exit', at } }], { stops: true })), 2);
  runs.forEach((run, i) => {
    const where = `${run.kind} ${JSON.stringify(rows[i][1], (k, v) => (typeof v === 'bigint' ? String(v) : v))}`;
    assert.equal(done[i].status, CRASH_STATUS, `${where}: ${done[i].err}`);
    assert.deepEqual(entriesOf(run.qdir), ['receipt'], where);
    const receipt = path.join(run.qdir, 'receipt');
    assert.equal(fs.readFileSync(receipt, 'latin1'), run.receipt.toString('latin1'), where);
    assert.equal(fs.statSync(receipt).mode & 0o777, 0o600, where);
    assert.equal(fs.statSync(run.qdir).mode & 0o777, 0o700, where);
  });
});

// The file at the name is exchanged for a stand-in of the same size right
// after call k (or the stand-in takes the name if it is already free). The
// stand-in must never be deleted; it ends at the name, whole.
function checkSwap(run, where) {
  const impostorCopies = findByInode(run.root, run.impostorId.ino);
  assert.deepEqual(impostorCopies, [run.file], `${where}: the swapped-in file is not at the name`);
  assertIntact(run.file, run.impostorId, run.impostorBytes, 'the swapped-in file');
  const copies = findByInode(run.root, run.fileId.ino);
  assert.ok(copies.length <= 1, `${where}: the file has several names`);
  if (copies.length === 1) assertIntact(copies[0], run.fileId, run.bytes, 'the file');
  return copies.length === 0 ? 'gone' : `kept at ${path.relative(run.root, copies[0]).replace(run.quarantine, '<q>')}`;
}

for (const exitAfter of [false, true]) {
  const how = exitAfter ? 'and the process dies one call later' : 'and the removal goes on';
  test(`a file swapped for another after any call ${how}: the swapped-in file is never deleted`, { skip: skipReason() }, async (t) => {
    const calls = await cleanTrace(t);
    const last = exitAfter ? calls.length - 1 : calls.length;
    const renameAt = calls.find((c) => c.label === 'renameat2 ab/<file> -> quarantine/payload').k;
    const faults = calls.slice(0, last).map((call) => ({ action: 'swap', at: call.k, exitAfter, call }));
    const rows = [];
    for (const { run, fault: { call }, status, err, outcome } of await runFaults(t, faults, { stops: exitAfter, kind: 'publication' })) {
      const where = `swap at ${call.k} (${call.label})`;
      assert.equal(status, exitAfter ? CRASH_STATUS : 0, `${where}: ${err}`);
      const removal = exitAfter ? 'crash' : outcome.ok ? 'returned' : outcome.code;
      const left = describeDisk(run);
      const recovery = recover(run);
      const recovered = !recovery.ran ? '-' : recovery.ok ? 'ok' : recovery.code;
      if (fs.existsSync(run.qdir)) {
        // Recovery may only leave a quarantine it refused.
        assert.equal(recovery.ok, false, `${where}: quarantine left after a successful recovery`);
      }
      const final = checkSwap(run, where);
      // The original can only be deleted once the removal has moved it into
      // the quarantine, and then it is, whoever takes the freed name: a swap
      // before that leaves it in someone's hands, whole.
      assert.equal(final === 'gone', call.k >= renameAt, `${where}: ${final}`);
      if (!exitAfter && outcome.ok) assert.equal(final, 'gone', `${where}: returned but the file is kept`);
      rows.push([call.k, call.label, removal, left, recovered, final]);
    }
    printTable(`file swapped after call k ${how}`, ['k', 'call', 'removal', 'left on disk', 'recovery', 'the original file'], rows);
  });
}

// A recovery does file-system work of its own; a crash in the middle of it
// must lose nothing either. The states it starts from are planted by hand,
// as a removal that died would have left them.
function plantReceipt(run) {
  fs.mkdirSync(run.qdir, { mode: 0o700 });
  fs.writeFileSync(path.join(run.qdir, 'receipt'), run.receipt, { mode: 0o600 });
}

// The payload was changed after the receipt was written, so recovery must
// put it back under its name rather than delete it.
function plantChangedPayload(run) {
  plantReceipt(run);
  const payload = path.join(run.qdir, 'payload');
  fs.renameSync(run.file, payload);
  fs.appendFileSync(payload, 'changed after the receipt\n');
  run.changedId = identityOf(payload);
  run.changedBytes = fs.readFileSync(payload);
}

function checkRolledBack(run, recovery, where) {
  assert.deepEqual(findByInode(run.root, run.fileId.ino), [run.file], `${where}: the changed file is not back at its name`);
  assertIntact(run.file, run.changedId, run.changedBytes, 'the changed file');
  // Once the file is durably back at its name nothing is left to recover:
  // the receipt and the quarantine go, and the call that rolled back says
  // "ESTALE"; a later one finds an empty quarantine or none.
  const refused = { ran: true, ok: false, message: REQUIRES_RECOVERY + run.quarantine, code: 'ESTALE' };
  assert.ok(!recovery.ran || recovery.ok || util.isDeepStrictEqual(recovery, refused), `${where}: ${JSON.stringify(recovery)}`);
  assert.equal(entriesOf(run.qdir), null, `${where}: a quarantine is left after the roll back`);
  return 'rolled back; quarantine discarded';
}

const RECEIPT_SYNCS = ['fsync receipt', 'fsync quarantine', 'fsync ab'];

const recoveryStates = [
  {
    state: 'receipt, file at its name',
    prepare: plantReceipt,
    check: (run, recovery) => checkNoLoss(run, recovery),
    // The receipt a removal left may never have been synced: recovery
    // makes it, its entry and the quarantine's durable before the move.
    road: [...RECEIPT_SYNCS, ...DURABLE_ROAD.slice(DURABLE_ROAD.indexOf('renameat2 ab/<file> -> quarantine/payload'))],
  },
  {
    state: 'receipt, changed payload',
    prepare: plantChangedPayload,
    check: checkRolledBack,
    // Putting the file back syncs the parent, its destination, first; only
    // then are the receipt and the quarantine discarded.
    road: [...RECEIPT_SYNCS, 'renameat2 quarantine/payload -> ab/<file>', 'fsync ab', 'fsync quarantine',
      'unlinkat quarantine/receipt', 'fsync quarantine', 'unlinkat ab/quarantine', 'fsync ab'],
  },
  {
    // Left by a removal that died before its receipt was created.
    state: 'empty quarantine',
    prepare: (run) => fs.mkdirSync(run.qdir, { mode: 0o700 }),
    check: (run, recovery) => checkNoLoss(run, recovery),
    road: ['unlinkat ab/quarantine', 'fsync ab'],
    // Without that sync the quarantine could come back after a power loss.
    messages: { 'unlinkat ab/quarantine': UNRECOGNIZED, 'fsync ab': 'Could not sync recovery directory.' },
  },
];

// What a recovery throws when its call k fails with EIO: what it answers
// without the failure when that is a close, whose failure it ignores; else
// the message of the failing step, a few of them named by the state, and
// always the code
// "EIO". An I/O error on the receipt is no malformed receipt ("EINVAL"), on
// the parent's fstat no other parent ("ESTALE"), on the quarantine's fstat
// or flock no foreign or locked quarantine ("EPERM"), and on the move back
// of a changed payload no refusal ("ESTALE"): the payload is still inside.
function recoveryFailure(call, clean, run, messages = {}) {
  if (call.call === 'close') {
    return clean.outcome.ok ? clean.outcome
      : { ...clean.outcome, message: clean.outcome.message.replace(clean.run.quarantine, run.quarantine) };
  }
  const { calls } = clean;
  const at = (label) => (calls.find((c) => c.label === label) || { k: Infinity }).k;
  let message = REQUIRES_RECOVERY + run.quarantine;
  if (call.k < at('openat quarantine')) message = 'Could not anchor recovery parent.';
  else if (call.k <= at('flock quarantine')) message = 'Unsafe recovery quarantine.';
  else if (call.object === 'receipt' && call.k < at('close receipt')) message = UNRECOGNIZED;
  return { ok: false, message: messages[call.label] || message, code: 'EIO' };
}

for (const { state, prepare, check, road, messages } of recoveryStates) {
  test(`a crash after any call of a recovery (${state}) loses no file`, { skip: skipReason() }, async (t) => {
    const [clean] = await runFaults(t, [{ action: 'none', op: 'recover' }], { stops: false, prepare });
    assert.equal(clean.status, 0, clean.err);
    const calls = clean.calls;
    assert.deepEqual(durableSteps(calls), road, 'durable steps of the recovery');
    const expectedFinal = check(clean.run, { ran: true, ...clean.outcome }, 'clean recovery');
    const faults = calls.map((call) => ({ action: 'exit', at: call.k, op: 'recover', call }));
    const rows = [];
    for (const { run, fault: { call }, status, err } of await runFaults(t, faults, { stops: true, prepare })) {
      const where = `crash at ${call.k} (${call.label}) of a recovery`;
      assert.equal(status, CRASH_STATUS, `${where}: child did not stop there: ${err}`);
      const left = describeDisk(run);
      const final = check(run, recover(run), where);
      // A second recovery ends exactly where an uninterrupted one does.
      assert.equal(final, expectedFinal, where);
      rows.push([call.k, call.label, left, final]);
    }
    printTable(`recovery from "${state}" (${calls.length} calls; stop dead after call k, then recover again)`,
      ['k', 'call', 'left on disk', 'after the next recovery'], rows);
  });

  test(`a recovery (${state}) whose k-th call fails with EIO throws the step's error with "EIO" and loses no file`, { skip: skipReason() }, async (t) => {
    const [clean] = await runFaults(t, [{ action: 'none', op: 'recover' }], { stops: false, prepare });
    const expectedFinal = check(clean.run, { ran: true, ...clean.outcome }, 'clean recovery');
    const faults = clean.calls.map((call) => ({ action: 'EIO', at: call.k, op: 'recover', call }));
    const rows = [];
    for (const { run, fault: { call }, status, err, outcome } of await runFaults(t, faults, { stops: false, prepare })) {
      const where = `EIO at ${call.k} (${call.label}) of a recovery`;
      assert.equal(status, 0, `${where}: ${err}`);
      assert.deepEqual(outcome, recoveryFailure(call, clean, run, messages), where);
      const left = describeDisk(run);
      assert.equal(check(run, recover(run), where), expectedFinal, where);
      rows.push([call.k, call.label, outcome.ok ? 'returned' : `${outcome.message.replace(run.quarantine, '<q>')} ${outcome.code}`, left]);
    }
    printTable(`recovery from "${state}": injected EIO at call k, then recovery again`,
      ['k', 'call', 'recovery', 'left on disk'], rows);
  });
}

// An interrupted (EINTR) or short write of the receipt, and the same for
// the read that recovery makes, must be resumed where it stopped: a receipt
// cut short by a signal would be refused by every later recovery.
test('an interrupted or short receipt write or read is resumed', { skip: skipReason() }, async (t) => {
  const removal = await cleanTrace(t);
  const writeAt = removal.find((c) => c.label === 'write receipt').k;
  const [recovery] = await runFaults(t, [{ action: 'none', op: 'recover' }], { stops: false, prepare: plantReceipt });
  const readAt = recovery.calls.find((c) => c.label === 'read receipt').k;
  const actions = ['EINTR', 'short'];
  const removals = await runFaults(t, actions.map((action) => ({ action, at: writeAt, op: 'remove' })), { stops: false });
  const recoveries = await runFaults(t, actions.map((action) => ({ action, at: readAt, op: 'recover' })),
    { stops: false, prepare: plantReceipt });
  for (const { run, fault, outcome, calls } of [...removals, ...recoveries]) {
    const where = `${fault.action} at ${fault.op === 'remove' ? 'the receipt write' : 'the receipt read'}`;
    assert.deepEqual(outcome, { ok: true }, where);
    assert.equal(checkNoLoss(run, { ran: false }), 'gone', where);
    const io = calls.filter((c) => c.label === (fault.op === 'remove' ? 'write receipt' : 'read receipt'));
    assert.equal(io.length, 2, `${where}: not resumed once`);
    const moved = io.reduce((sum, c) => sum + Math.max(c.result, 0), 0);
    assert.equal(moved, run.receipt.length, `${where}: not every byte moved`);
  }
});

// Another process at work on the file: a writer that holds it open empties
// it right after the removal moved it into the quarantine, or replaces the
// file at its name, between recovery's look at it and its move, by a new
// empty one that has the old one's inode number (as ext4 often hands out a
// freed number), so that only its size and time tell it apart. Neither is
// the file the receipt names: the call reports "ESTALE", and the writer's
// file, with what it writes next, is at the name.
test('a file another writer empties or replaces during a removal or recovery ends at its name with the bytes written next', { skip: skipReason() }, async (t) => {
  const removal = await cleanTrace(t);
  const moveOf = (calls) => calls.find((c) => c.label === 'renameat2 ab/<file> -> quarantine/payload').k;
  const [clean] = await runFaults(t, [{ action: 'none', op: 'recover' }], { stops: false, prepare: plantReceipt });
  const lookAt = moveOf(clean.calls) - 1;
  assert.equal(clean.calls[lookAt - 1].label, 'fstatat ab/<file>');
  const writer = { text: 'written by the other process after the call\n' };
  const runs = [
    ...await runFaults(t, [{ action: 'truncate', at: moveOf(removal), op: 'remove', writer }], { stops: false }),
    ...await runFaults(t, [{ action: 'recreate', at: lookAt, op: 'recover', writer }], { stops: false, prepare: plantReceipt }),
  ];
  for (const { run, fault, status, err, outcome } of runs) {
    const where = `${fault.action} at ${fault.at}`;
    assert.equal(status, 0, `${where}: ${err}`);
    assert.deepEqual(outcome, { ok: false, message: REQUIRES_RECOVERY + run.quarantine, code: 'ESTALE' }, where);
    assert.equal(fs.readFileSync(run.file, 'utf8'), writer.text, where);
    assert.equal(identityOf(run.file).ino, run.fileId.ino, where);
    assert.deepEqual(fs.readdirSync(run.dir).filter((name) => name.endsWith('.kept')), [], where);
  }
});
