'use strict';
// Power-loss replay of removal and recovery, in the manner of ALICE ("All
// File Systems Are Not Created Equal", OSDI 2014). A process crash keeps
// every call that completed, in order; a power loss keeps what the file
// system had put on disk, in an order of its own bounded only by the syncs.
// So each workload runs once under the interposer's recording mode, its
// calls are split into persistence steps, and every set of steps a
// persistence model allows after a power loss at any point is built in a
// fresh tree and handed to recoverAnchoredRemoval (twice). The recovery of
// every such state is recorded in turn and replayed the same way: a second
// power loss in the middle of recovery. The verdicts go into a table of
// model x workload.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn } = require('child_process');
const {
  anchorfile, addonPath, makeStorage, identity: identityOf, publicationTemporary, publicationQuarantine,
  contentQuarantine, removalArgs, collect, interposer, skipReason, printTable,
} = require('./helpers.js');

const childScript = path.join(__dirname, 'faultinject', 'remove-child.js');
const PARENT = 'content/blobs/ab';
const AT_REMOVEDIR = 0x200;

// ---------------------------------------------------------------------------
// Workloads, each recorded once on a real tree

// swap: another process acts on the name right after the removal's last look
// at the file ('look': a same-size stand-in, or an empty one, is exchanged
// for it, so the rename takes the stand-in in and the removal puts it back)
// or once the rename has freed the name ('freed': a new file takes it). unsynced: the file's bytes were written but never synced.
// failSync: the receipt's sync fails with EIO, and the caller runs recovery
// as the thrown error tells it to ('recoveryLook': the stand-in is exchanged
// for the file right after recovery's last look at it).
const WORKLOADS = [
  { name: 'publication removal', kind: 'publication', op: 'remove' },
  { name: 'content removal', kind: 'content', op: 'remove' },
  { name: 'removal, file swapped', kind: 'publication', op: 'remove', swap: 'look' },
  { name: 'content removal, file swapped', kind: 'content', op: 'remove', swap: 'look' },
  { name: 'removal, empty stand-in swapped in', kind: 'publication', op: 'remove', swap: 'look', emptyStandIn: true },
  { name: 'removal, name taken again', kind: 'publication', op: 'remove', swap: 'freed' },
  { name: 'removal, bytes never synced', kind: 'publication', op: 'remove', unsynced: true },
  { name: 'two removals in one parent', kind: 'publication', op: 'remove', targets: 2 },
  { name: 'recovery after a failed receipt sync', kind: 'publication', op: 'remove', failSync: true },
  { name: 'recovery after a failed receipt sync, file swapped', kind: 'publication', op: 'remove', failSync: true, swap: 'recoveryLook' },
  { name: 'recovery, roll forward', kind: 'publication', op: 'recover', plant: 'payload' },
  { name: 'recovery, roll back', kind: 'publication', op: 'recover', plant: 'changed' },
];

function receiptText(target, parentId, fileId) {
  const head = target.kind === 'content' ? ['content-removal-v1', target.quarantine] : ['publication-removal-v1'];
  return Buffer.from(`${[...head, target.name, parentId.dev, parentId.ino, fileId.dev, fileId.ino,
    fileId.size, fileId.mtimeNs].join('\n')}\n`);
}

function recoveryArgs(root, target, parentId) {
  const form = [root, PARENT, target.quarantine, parentId.dev, parentId.ino];
  return target.kind === 'content' ? [...form, target.name] : form;
}

const CHANGE = Buffer.from('changed after the receipt\n');

// The tree a workload starts from, as the names and bytes the replay needs.
function makeSetting(t, workload) {
  const root = makeStorage(t);
  const dir = path.join(root, PARENT);
  fs.mkdirSync(dir, { recursive: true });
  fs.mkdirSync(path.join(root, 'spare'));
  const content = workload.kind === 'content';
  const s = { workload, root, standIn: workload.emptyStandIn ? Buffer.alloc(0) : crypto.randomBytes(300) };
  s.targets = Array.from({ length: workload.targets || 1 }, () => ({
    kind: workload.kind,
    name: content ? `blob-${crypto.randomBytes(8).toString('hex')}` : publicationTemporary('ab'),
    quarantine: content ? contentQuarantine() : publicationQuarantine(),
    bytes: crypto.randomBytes(300),
  }));
  for (const target of s.targets) fs.writeFileSync(path.join(dir, target.name), target.bytes);
  fs.writeFileSync(path.join(root, 'spare', 'impostor'), s.standIn);
  s.parentId = identityOf(dir);
  for (const target of s.targets) {
    target.fileId = identityOf(path.join(dir, target.name));
    target.receipt = receiptText(target, s.parentId, target.fileId);
  }
  if (workload.plant) {
    const [target] = s.targets;
    const qdir = path.join(dir, target.quarantine);
    fs.mkdirSync(qdir, { mode: 0o700 });
    fs.writeFileSync(path.join(qdir, 'receipt'), target.receipt);
    fs.renameSync(path.join(dir, target.name), path.join(qdir, 'payload'));
    if (workload.plant === 'changed') fs.appendFileSync(path.join(qdir, 'payload'), CHANGE);
  }
  return s;
}

const encode = (list) => JSON.stringify(list, (key, value) => (typeof value === 'bigint' ? { bigint: String(value) } : value));
const preload = () => [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':');

// Runs jobs in one child under the recording interposer and returns their
// outcomes; each job is { fn, args, env }.
async function runRecorded(jobs) {
  const child = await collect(spawn(process.execPath, [childScript, addonPath, encode(jobs)],
    { env: { ...process.env, LD_PRELOAD: preload() } }));
  assert.equal(child.status, 0, child.err);
  return JSON.parse(child.out);
}

function readRecord(log) {
  if (!fs.existsSync(log)) return [];
  return fs.readFileSync(log, 'utf8').split('\n').filter(Boolean).map((line) => {
    const [k, call, p, p2, flags, result, data] = line.split('\t');
    const [offset, hex] = data === '-' ? [0, ''] : data.split(':');
    return { k: Number(k), call, path: p, path2: p2, flags: parseInt(flags, 16), result: Number(result),
      offset: Number(offset), bytes: Buffer.from(hex, 'hex') };
  });
}

function faultEnv(root, log, job, more = {}) {
  return {
    ANCHORFILE_FAULT_ROOT: root, ANCHORFILE_FAULT_RECORD: log, ANCHORFILE_FAULT_JOB: job,
    ANCHORFILE_FAULT_SKIP: '', ANCHORFILE_FAULT_ACTION: 'none', ANCHORFILE_FAULT_AT: '0',
    ANCHORFILE_FAULT_SWAP_NAME: '', ANCHORFILE_FAULT_SWAP_WITH: '', ANCHORFILE_FAULT_LOG: '', ...more,
  };
}

function swapEnv(s, target, at) {
  return {
    ANCHORFILE_FAULT_ACTION: 'swap', ANCHORFILE_FAULT_AT: String(at),
    ANCHORFILE_FAULT_SWAP_NAME: path.join(s.root, PARENT, target.name), ANCHORFILE_FAULT_SWAP_WITH: path.join(s.root, 'spare', 'impostor'),
  };
}

// The calls of each job in a record: the numbering starts again at 1.
function jobCalls(calls) {
  return calls.reduce((jobs, c, i) => {
    if (i === 0 || c.k <= calls[i - 1].k) jobs.push([]);
    jobs[jobs.length - 1].push(c);
    return jobs;
  }, []);
}

// Runs the workload in a child under the recording interposer. skip lists
// the numbers of fsync calls to leave out; `at` holds the call numbers the
// clean removal gives its steps (after which the swap lands, the receipt's
// sync).
async function record(t, workload, { skip = [], at = {} } = {}) {
  const s = makeSetting(t, workload);
  const log = path.join(s.root, 'record.log');
  const dir = path.join(s.root, PARENT);
  const jobs = [];
  if (workload.op === 'recover') {
    jobs.push({ fn: 'recoverAnchoredRemoval', args: recoveryArgs(s.root, s.targets[0], s.parentId), env: faultEnv(s.root, log, 'r') });
  }
  for (const [i, target] of (workload.op === 'remove' ? s.targets : []).entries()) {
    const more = { ANCHORFILE_FAULT_SKIP: skip.join(',') };
    if (workload.swap && !workload.failSync && i === 0) Object.assign(more, swapEnv(s, target, at[workload.swap]));
    if (workload.failSync) Object.assign(more, { ANCHORFILE_FAULT_ACTION: 'EIO', ANCHORFILE_FAULT_AT: String(at.receiptSync) });
    jobs.push({ fn: 'removeAnchoredFile', args: removalArgs(s.root, PARENT, target.name, s.parentId, target.fileId, target.quarantine),
      env: faultEnv(s.root, log, `${i}`, more) });
  }
  if (workload.failSync) {
    const more = { ANCHORFILE_FAULT_SKIP: skip.join(','), ...(workload.swap ? swapEnv(s, s.targets[0], at[workload.swap]) : {}) };
    jobs.push({ fn: 'recoverAnchoredRemoval', args: recoveryArgs(s.root, s.targets[0], s.parentId), env: faultEnv(s.root, log, 'r', more) });
  }
  s.outcomes = await runRecorded(jobs);
  s.calls = readRecord(log);
  return s;
}

// ---------------------------------------------------------------------------
// Persistence steps

// The starting tree as inodes: directories map names to inode numbers, files
// have a size and the bytes written so far (bytes beyond the size are not
// visible, bytes the size covers but nobody wrote read as zeros). Inode 0 is
// the root; each target's file and the stand-in S are named in `files`.
// Bytes never synced are not in the tree: they come as the writer's own
// steps, which nothing the removal does makes durable.
function startInodes(s) {
  const inodes = [];
  const add = (node) => inodes.push(node) - 1;
  const dir = (entries) => add({ dir: true, entries: new Map(entries) });
  const file = (bytes) => add({ size: bytes.length, bytes });
  const root = dir([]);
  const ab = dir([]);
  const pre = [];
  const files = s.targets.map((target) => {
    const bytes = s.workload.plant === 'changed' ? Buffer.concat([target.bytes, CHANGE]) : target.bytes;
    const F = file(s.workload.unsynced ? Buffer.alloc(0) : bytes);
    if (s.workload.unsynced) {
      pre.push({ op: 'size', ino: F, size: bytes.length, label: 'writer grows the file', foreign: true });
      pre.push({ op: 'data', ino: F, offset: 0, bytes, label: 'writer fills the file', foreign: true });
    }
    if (s.workload.plant) {
      inodes[ab].entries.set(target.quarantine, dir([['receipt', file(target.receipt)], ['payload', F]]));
    } else {
      inodes[ab].entries.set(target.name, F);
    }
    return F;
  });
  const S = file(s.standIn);
  inodes[root].entries.set('content', dir([['blobs', dir([['ab', ab]])]]));
  inodes[root].entries.set('spare', dir([['impostor', S]]));
  return { inodes, files, S, pre };
}

function cloneInodes(inodes) {
  return inodes.map((n) => (n.dir ? { dir: true, entries: new Map(n.entries) } : { size: n.size, bytes: n.bytes }));
}

function split(p) {
  const at = p.lastIndexOf('/');
  return at < 0 ? ['', p] : [p.slice(0, at), p.slice(at + 1)];
}

function resolve(inodes, p) {
  let ino = 0;
  for (const part of p ? p.split('/') : []) {
    ino = inodes[ino].entries.get(part);
    if (ino === undefined) throw new Error(`replay: no ${p}`);
  }
  return ino;
}

// What one step does to a tree of inodes.
function apply(inodes, step) {
  switch (step.op) {
    case 'link': inodes[step.dir].entries.set(step.name, step.ino); break;
    case 'unlink': inodes[step.dir].entries.delete(step.name); break;
    case 'rename': step.parts.forEach((part) => apply(inodes, part)); break;
    case 'size': inodes[step.ino].size = step.size; break;
    case 'data': {
      const node = inodes[step.ino];
      const bytes = Buffer.alloc(Math.max(node.bytes.length, step.offset + step.bytes.length));
      node.bytes.copy(bytes);
      step.bytes.copy(bytes, step.offset);
      node.bytes = bytes;
      break;
    }
    default: throw new Error(`replay: step ${step.op}`);
  }
}

// Splits the recorded calls into steps (ALICE's default): a create or mkdir
// adds an entry; a write that extends a file grows it, then fills it; an
// unlink or rmdir removes an entry; the no-replace rename is one atomic
// step, or, with twoStepRename, a removal of the source entry and then an
// addition of the destination entry. An unlink is one step, not a
// truncation and then an entry removal: unlink(2) frees the data only once
// the last link and the last descriptor are gone, and ext4 removes the entry
// and puts the inode on its orphan list in one journal transaction, freeing
// the data only after that (orphan processing finishes it after a crash);
// APFS and HFS+ journal the removal as one transaction too. So no power loss
// leaves a name whose file was emptied by its own unlink.
//
// Each step carries the inodes whose sync makes it durable (a file for data
// and size, the directories for entries) and, for a change to an entry, the
// step that made that entry: both are writes of the same directory, and
// whatever a disk keeps of a directory, the later content holds the earlier
// change. Nothing else is needed: an entry in a directory whose own entry is
// not on disk is unreachable, and a file's data goes down whatever became of
// the name it was reached through. Syncs are kept apart, each with the
// number of steps issued before it.
function persistenceSteps(base, calls, { twoStepRename = false } = {}) {
  const start = { ...base, inodes: cloneInodes(base.inodes) };
  const inodes = cloneInodes(start.inodes);
  // A created inode starts empty in every state; only its steps fill it.
  const create = (node) => {
    start.inodes.push(cloneInodes([node])[0]);
    return inodes.push(node) - 1;
  };
  const steps = [];
  const syncs = [];
  const creator = new Map(); // path -> the step that last set that entry
  const needsOf = (...keys) => keys.map((key) => creator.get(key)).filter((i) => i !== undefined);
  const push = (step, durableBy, needs) => {
    step.needs = needs;
    step.durableBy = durableBy;
    steps.push(step);
    apply(inodes, step);
    return steps.length - 1;
  };
  for (const step of base.pre || []) push({ ...step }, [step.ino], []);
  const link = (p, ino, label) => {
    const [dirPath, name] = split(p);
    const dir = resolve(inodes, dirPath);
    creator.set(p, push({ op: 'link', dir, name, ino, label }, [dir], []));
  };
  const unlink = (p, label, foreign) => {
    const [dirPath, name] = split(p);
    const dir = resolve(inodes, dirPath);
    push({ op: 'unlink', dir, name, label, foreign }, [dir], needsOf(p));
  };
  const rename = (from, to, label, foreign = false) => {
    const ino = resolve(inodes, from);
    if (twoStepRename) {
      unlink(from, `${label} (source)`, foreign);
      link(to, ino, `${label} (destination)`);
      steps[steps.length - 1].foreign = foreign;
      return;
    }
    // One atomic step on both directories: a sync of either makes it durable.
    const [fromDir, fromName] = split(from);
    const [toDir, toName] = split(to);
    const a = resolve(inodes, fromDir);
    const b = resolve(inodes, toDir);
    const index = push({ op: 'rename', label, foreign, parts: [{ op: 'unlink', dir: a, name: fromName }, { op: 'link', dir: b, name: toName, ino }] },
      [a, b], needsOf(from));
    creator.set(to, index);
  };
  for (const c of calls) {
    if (c.result < 0) continue;
    if (c.call === 'mkdirat') {
      link(c.path, create({ dir: true, entries: new Map() }), 'mkdir quarantine');
    } else if (c.call === 'openat O_CREAT') {
      link(c.path, create({ size: 0, bytes: Buffer.alloc(0) }), 'create receipt');
    } else if (c.call === 'write' && c.result > 0) {
      const ino = resolve(inodes, c.path);
      if (c.offset + c.bytes.length > inodes[ino].size) {
        push({ op: 'size', ino, size: c.offset + c.bytes.length, label: 'grow receipt' }, [ino], []);
      }
      push({ op: 'data', ino, offset: c.offset, bytes: c.bytes, label: 'fill receipt' }, [ino], []);
    } else if (c.call === 'renameat2' || c.call === 'renameat') {
      rename(c.path, c.path2, c.path2.endsWith('/payload') ? 'rename file in' : 'rename payload back');
    } else if (c.call === 'unlinkat') {
      unlink(c.path, (c.flags & AT_REMOVEDIR) ? 'rmdir quarantine' : `unlink ${split(c.path)[1]}`);
    } else if (c.call === 'swap-exchange') {
      // Another process's exchange: one step on both directories.
      const [a, b] = [resolve(inodes, c.path), resolve(inodes, c.path2)];
      const [da, db] = [resolve(inodes, split(c.path)[0]), resolve(inodes, split(c.path2)[0])];
      const index = push({ op: 'rename', label: 'stand-in swapped in', foreign: true, parts: [
        { op: 'link', dir: da, name: split(c.path)[1], ino: b },
        { op: 'link', dir: db, name: split(c.path2)[1], ino: a }] }, [da, db], needsOf(c.path, c.path2));
      creator.set(c.path, index);
      creator.set(c.path2, index);
    } else if (c.call === 'swap-rename') {
      rename(c.path, c.path2, 'new file takes the name', true);
    } else if (c.call === 'fsync') {
      syncs.push({ at: steps.length, ino: resolve(inodes, c.path), k: c.k, label: `fsync ${c.path.split('/').pop()}` });
    }
  }
  return { start, steps, syncs };
}

// ---------------------------------------------------------------------------
// Persistence models: every set of steps (a bit mask) that can be on disk
// after a power loss at some point of the run

const bit = (i) => 2 ** i;
const has = (mask, i) => Math.floor(mask / bit(i)) % 2 === 1;
const prefix = (n) => bit(n) - 1;
const maskOf = (indices) => indices.reduce((sum, i) => sum + bit(i), 0);

function subsetsOf(indices, base = 0) {
  const masks = [];
  for (let m = 0; m < bit(indices.length); m++) {
    masks.push(indices.reduce((sum, index, j) => (has(m, j) ? sum + bit(index) : sum), base));
  }
  return masks;
}

const range = (from, to) => Array.from({ length: to - from }, (_, i) => from + i);

// The steps a sync of its object makes durable (ext4-like) or flushes to the
// drive (macOS): those issued before it that it covers.
const covered = (steps, y) => range(0, y.at).filter((i) => steps[i].durableBy.includes(y.ino));

// ext4-like, for a crash right after `issued` steps: every sync issued
// before has made its set durable; the rest may or may not be on disk. Once
// the call has returned, its last syncs have too.
function ext4Like({ steps, syncs }, issued, returned = false) {
  const durable = new Set(syncs.filter((y) => y.at < issued || (returned && y.at === issued))
    .flatMap((y) => covered(steps, y)));
  return subsetsOf(range(0, issued).filter((i) => !durable.has(i)), maskOf([...durable]));
}

// Whether a set holds, for every change to an entry, the step that made
// the entry: the same directory written later holds both.
const closed = (steps) => (mask) => steps.every((step, i) => !has(mask, i) || step.needs.every((n) => has(mask, n)));

// A disk that keeps any set of writes is enumerated only while that stays
// small: 2^12 sets.
const MAX_FREE_STEPS = 12;

const MODELS = {
  // A process crash: every prefix.
  'in order': ({ steps }) => range(0, steps.length + 1).map(prefix),
  // Linux fsync on ext4 (data=ordered), as ALICE models it: a sync makes its
  // file's earlier data and size steps, or its directory's earlier entry
  // steps (a rename's in either directory), durable; the rest may or may not
  // have reached the disk.
  'ext4-like': (trace) => range(0, trace.steps.length + 1).flatMap((issued) => ext4Like(trace, issued))
    .filter(closed(trace.steps)),
  // macOS fsync(2): "the disk drive may also re-order the data so that
  // later writes may be present, while earlier writes are not": nothing is
  // ordered; any set closed under the entry steps' needs.
  'macOS fsync': ({ steps }) => (steps.length > MAX_FREE_STEPS ? null
    : subsetsOf(range(0, steps.length)).filter(closed(steps))),
  // macOS F_BARRIERFSYNC, as fcntl(2) documents it: it does what fsync does,
  // then issues a barrier that "applies to I/O that have been flushed with
  // fsync on the same device before": I/O flushed by this or an earlier sync
  // reaches the disk before any I/O issued after the barrier. A step no sync
  // has flushed (a directory entry whose directory is synced only later) is
  // ordered by nothing until then. So a state that holds any step issued
  // after a barrier holds every step flushed by that barrier or before it.
  'macOS barrier': ({ steps, syncs }) => {
    const cuts = [0, ...syncs.map((y) => y.at), steps.length];
    const masks = [];
    for (let w = 0; w + 1 < cuts.length; w++) {
      // The latest step on disk was issued in window w: the barriers before
      // it bind, and everything they did not flush is free.
      const flushed = new Set(syncs.slice(0, w).flatMap((y) => covered(steps, y)));
      const free = range(0, cuts[w + 1]).filter((i) => !flushed.has(i));
      masks.push(...subsetsOf(free, maskOf([...flushed])));
    }
    return masks.filter(closed(steps));
  },
};

// ---------------------------------------------------------------------------
// Building a state and judging it

// Writes the tree of inodes below a fresh root: directories (quarantines
// with mode 0700), then files, each inode once, further names as links. A
// receipt names its file by the file's identity in the fresh tree before any
// change.
function materialize(s, start, inodes, root) {
  const files = new Map();
  const walk = (ino, rel) => {
    for (const [name, child] of inodes[ino].entries) {
      const p = rel ? `${rel}/${name}` : name;
      if (inodes[child].dir) {
        fs.mkdirSync(path.join(root, p), { mode: 0o700 });
        walk(child, p);
      } else {
        if (!files.has(child)) files.set(child, []);
        files.get(child).push(p);
      }
    }
  };
  walk(0, '');
  const ids = {};
  const receipts = [];
  for (const [ino, [first, ...more]] of files) {
    const bytes = visible(inodes[ino]);
    const target = s.targets.findIndex((x) => bytes.equals(x.receipt));
    if (!start.files.includes(ino) && target >= 0) {
      receipts.push([first, target]);
      continue;
    }
    // A file is written as the receipt saw it, then as this state has it.
    const file = path.join(root, first);
    const which = start.files.indexOf(ino);
    if (which >= 0) {
      fs.writeFileSync(file, s.targets[which].bytes);
      ids[`receipt${which}`] = identityOf(file);
    }
    if (which < 0 || !bytes.equals(s.targets[which].bytes)) fs.writeFileSync(file, bytes);
    for (const p of more) fs.linkSync(path.join(root, first), path.join(root, p));
    ids[ino] = identityOf(path.join(root, first));
  }
  const parentId = identityOf(path.join(root, PARENT));
  for (const [p, which] of receipts) {
    const target = s.targets[which];
    const seen = ids[`receipt${which}`] || { dev: parentId.dev, ino: 1n, size: BigInt(target.bytes.length), mtimeNs: 0n };
    fs.writeFileSync(path.join(root, p), receiptText(target, parentId, seen));
  }
  return { parentId, ids };
}

function visible(node) {
  const out = Buffer.alloc(node.size);
  node.bytes.copy(out, 0, 0, Math.min(node.size, node.bytes.length));
  return out;
}

// The reachable tree as text: the key under which a built state's verdict
// is kept, since many sets of steps leave the same tree.
function treeKey(inodes) {
  const out = [];
  const walk = (ino, rel) => {
    for (const [name, child] of [...inodes[ino].entries].sort(([a], [b]) => (a < b ? -1 : 1))) {
      const p = `${rel}/${name}`;
      if (inodes[child].dir) {
        out.push(`${p}/`);
        walk(child, p);
      } else {
        out.push(`${p}=${child}:${visible(inodes[child]).toString('hex')}`);
      }
    }
  };
  walk(0, '');
  return out.join('\n');
}

// The recovery's own answers; anything else is a recovery failure.
function inRecoveryTable(outcome, quarantine) {
  if (outcome.ok) return true;
  const allowed = {
    'Unrecognized publication recovery receipt.': ['EINVAL', 'EEXIST', 'ELOOP'],
    [`Publication quarantine requires recovery: ${quarantine}`]: ['ESTALE', 'EEXIST'],
  };
  return (allowed[outcome.message] || []).includes(outcome.code);
}

function findInodes(root) {
  const found = new Map();
  const walk = (rel) => {
    for (const entry of fs.readdirSync(path.join(root, rel), { withFileTypes: true })) {
      const p = rel ? `${rel}/${entry.name}` : entry.name;
      if (entry.isDirectory()) walk(p);
      else {
        const ino = fs.lstatSync(path.join(root, p), { bigint: true }).ino;
        found.set(ino, [...(found.get(ino) || []), p]);
      }
    }
  };
  walk('');
  return found;
}

const CLASSES = ['kept', 'removed', 'stranded, nothing lost', 'stranded with the file', 'lost', 'recovery failed'];
const isQuarantine = (name) => name.startsWith('.publication-recovery-') || name.startsWith('.content-recovery-');
const inQuarantine = (p) => p.split('/').some(isQuarantine);

// What a state owes: each file the workload acts on, with the name it must
// stand at if it stays and the bytes it must then have. A removal's file may
// go or stay at its name; a rolled-back payload and a stand-in must stay. A
// file's own name is where it stood before the removal, or where another
// process put it (a swap that is on disk); a planted payload's is the name
// its receipt gives. Its bytes are those the state has, so that a file whose
// bytes never reached the disk is judged by what did.
function expectations(s, trace, mask) {
  const { start, steps } = trace;
  const inodes = cloneInodes(start.inodes);
  const dirPaths = new Map();
  const walk = (ino, rel) => {
    dirPaths.set(ino, rel);
    for (const [name, child] of inodes[ino].entries) if (inodes[child].dir) walk(child, rel ? `${rel}/${name}` : name);
  };
  walk(0, '');
  const homes = new Map();
  const place = (dir, name, ino) => {
    const rel = dirPaths.get(dir);
    const p = rel ? `${rel}/${name}` : name;
    if (!inQuarantine(p)) homes.set(ino, p);
  };
  for (const [dir, rel] of dirPaths) {
    for (const [name, child] of inodes[dir].entries) if (!inodes[child].dir && rel !== undefined) place(dir, name, child);
  }
  start.files.forEach((F, i) => { if (!homes.has(F)) homes.set(F, `${PARENT}/${s.targets[i].name}`); });
  steps.forEach((step, i) => {
    if (!step.foreign || !has(mask, i)) return;
    apply(inodes, step);
    for (const part of step.op === 'rename' ? step.parts : [step]) if (part.op === 'link') place(part.dir, part.name, part.ino);
  });
  const owed = start.files.map((ino) => ({ ino, mustStay: s.workload.plant === 'changed' }));
  if (s.workload.swap) owed.push({ ino: start.S, mustStay: true });
  return owed.map((f) => ({ ...f, home: homes.get(f.ino), bytes: visible(inodes[f.ino]) }));
}

// Builds one tree, runs every recovery twice and classifies the end.
function judgeTree(s, start, inodes, owed) {
  const root = fs.mkdtempSync(path.join(s.scratch, 's-'));
  const { parentId, ids } = materialize(s, start, inodes, root);
  const dir = path.join(root, PARENT);
  let failed = false;
  for (let pass = 0; pass < 2; pass++) {
    for (const q of fs.readdirSync(dir).filter(isQuarantine)) {
      const target = s.targets.find((x) => x.quarantine === q);
      let outcome = { ok: true };
      try {
        anchorfile.recoverAnchoredRemoval(...recoveryArgs(root, target, parentId));
      } catch (error) {
        outcome = { ok: false, message: error.message, code: error.code };
      }
      if (!inRecoveryTable(outcome, q)) failed = true;
    }
  }
  const quarantined = fs.readdirSync(dir).some(isQuarantine);
  const found = findInodes(root);
  const fates = owed.map((f) => {
    const places = (ids[f.ino] && found.get(ids[f.ino].ino)) || [];
    const whole = places.length === 1 && places[0] === f.home && fs.readFileSync(path.join(root, places[0])).equals(f.bytes);
    const where = places.length === 0 ? 'gone' : places.every(inQuarantine) ? 'quarantine' : whole ? 'home' : 'elsewhere';
    return { ...f, where };
  });
  fs.rmSync(root, { recursive: true, force: true });
  return { verdict: classify(failed, quarantined, fates), fileOut: fates.some((f) => !f.mustStay && f.where === 'home') };
}

// A file that must stay and is not whole at its own name, or any file put
// at another name or damaged, is lost; one whose bytes are only in a
// quarantine no recovery finishes is stranded.
function classify(failed, quarantined, fates) {
  if (failed) return 'recovery failed';
  if (fates.some((f) => f.where === 'elsewhere' || (f.mustStay && f.where === 'gone'))) return 'lost';
  if (fates.some((f) => f.where === 'quarantine')) return 'stranded with the file';
  if (quarantined) return 'stranded, nothing lost';
  return fates.some((f) => f.where === 'gone') ? 'removed' : 'kept';
}

function stateOf(trace, mask) {
  const inodes = cloneInodes(trace.start.inodes);
  trace.steps.forEach((step, i) => { if (has(mask, i)) apply(inodes, step); });
  return inodes;
}

// Judges a tree once per setting, however many sets of steps leave it.
function judgeCached(s, start, inodes, owed) {
  const key = `${treeKey(inodes)}\n${owed.map((f) => `${f.ino}@${f.home}:${f.bytes.toString('hex')}`).join(',')}`;
  if (!s.verdicts.has(key)) s.verdicts.set(key, judgeTree(s, start, inodes, owed));
  return s.verdicts.get(key);
}

const STRONG = ['in order', 'ext4-like', 'macOS barrier'];
const FAILURES = ['stranded with the file', 'lost', 'recovery failed'];
const emptyCounts = () => Object.fromEntries(CLASSES.map((c) => [c, 0]));

// Every model's states of one recording. For ext4-like, also the states a
// power loss right after the last call can leave that are not its end: a
// call that has returned must be final on disk.
function replay(s, models, { twoStepRename = false } = {}) {
  const trace = persistenceSteps(startInodes(s), s.calls, { twoStepRename });
  const rows = {};
  const states = {};
  for (const model of models) {
    const all = MODELS[model](trace);
    if (!all) continue;
    const masks = [...new Set(all)];
    const counts = emptyCounts();
    for (const mask of masks) {
      counts[judgeCached(s, trace.start, stateOf(trace, mask), expectations(s, trace, mask)).verdict] += 1;
    }
    if (model === 'ext4-like') {
      const end = treeKey(stateOf(trace, prefix(trace.steps.length)));
      counts['not final after return'] = [...new Set(ext4Like(trace, trace.steps.length, true))].filter(closed(trace.steps))
        .filter((mask) => treeKey(stateOf(trace, mask)) !== end).length;
    }
    rows[model] = { states: masks.length, ...counts };
    states[model] = masks;
  }
  return { trace, rows, states };
}

// A second power loss while recovery works on a state the first one left:
// each state of the strong models is built, its recovery recorded in one
// child, and the recovery's steps replayed on top of that state under the
// same model, each state recovered twice again.
async function replaySecond(s, trace, states) {
  const masks = [...new Set(STRONG.flatMap((model) => states[model]))];
  const built = masks.map((mask, i) => {
    const root = path.join(s.scratch, `second-${i}`);
    fs.mkdirSync(root);
    const inodes = stateOf(trace, mask);
    const { parentId } = materialize(s, trace.start, inodes, root);
    return { mask, root, inodes, parentId, log: path.join(s.scratch, `second-${i}.log`) };
  });
  const jobs = built.flatMap((b, i) => fs.readdirSync(path.join(b.root, PARENT)).filter(isQuarantine).map((q) => ({
    fn: 'recoverAnchoredRemoval', args: recoveryArgs(b.root, s.targets.find((x) => x.quarantine === q), b.parentId),
    env: faultEnv(b.root, b.log, `${i}-${q}`),
  })));
  if (jobs.length) await runRecorded(jobs);
  const second = new Map();
  for (const b of built) {
    const base = { ...trace.start, inodes: b.inodes, pre: [] };
    second.set(b.mask, { trace: persistenceSteps(base, readRecord(b.log)), owed: expectations(s, trace, b.mask) });
    fs.rmSync(b.root, { recursive: true, force: true });
  }
  const rows = {};
  for (const model of STRONG) {
    const counts = emptyCounts();
    let total = 0;
    for (const mask of states[model]) {
      const { trace: again, owed } = second.get(mask);
      for (const inner of new Set(MODELS[model](again))) {
        counts[judgeCached(s, again.start, stateOf(again, inner), owed).verdict] += 1;
        total += 1;
      }
    }
    rows[model] = { states: total, ...counts };
  }
  return rows;
}

const HEADER = ['model', 'workload', 'states', ...CLASSES, 'not final after return'];
const recordings = {};

// The call numbers of the clean publication removal: the look at the file
// right before its rename, the look at the payload after it (the name is
// free from the rename on), and the receipt's sync.
async function recordAll(t) {
  if (recordings.all) return recordings.all;
  const clean = await record(t, WORKLOADS[0]);
  const name = `${PARENT}/${clean.targets[0].name}`;
  const renameAt = clean.calls.find((c) => c.call === 'renameat2').k;
  assert.equal(clean.calls[renameAt - 2].call, 'fstatat', 'the rename follows a look at the file');
  const at = {
    look: renameAt - 1,
    freed: clean.calls.find((c) => c.call === 'fstatat' && c.k > renameAt).k,
    // (or whatever follows its write, should the sync be missing)
    receiptSync: (clean.calls.find((c) => c.call === 'fsync' && c.path.endsWith('/receipt'))
      || clean.calls[clean.calls.findIndex((c) => c.call === 'write') + 1]).k,
  };
  recordings.at = at;
  recordings.syncs = clean.calls.filter((c) => c.call === 'fsync').map((c) => c.k);
  recordings.all = [clean];
  for (const workload of WORKLOADS.slice(1)) {
    const s = await record(t, workload, { at });
    recordings.all.push(s);
    if (workload.failSync && !workload.swap) {
      // The recovery's own look at the file before it moves it in.
      // (none, and no swap, should the receipt's sync not have failed)
      const move = (jobCalls(s.calls)[1] || []).find((c) => c.call === 'renameat2');
      at.recoveryLook = move ? move.k - 1 : 0;
    }
  }
  return recordings.all;
}

// Each workload did what it stands for: the stand-in was taken in and put
// back, the new file took the freed name, the receipt's sync failed and
// recovery finished. Checked after the verdicts, which say more when a
// change to the removal also changes what a workload does.
function checkWorkloads() {
  const byName = Object.fromEntries(recordings.all.map((s) => [s.workload.name, s]));
  for (const swapped of ['removal, file swapped', 'content removal, file swapped', 'removal, empty stand-in swapped in',
    'recovery after a failed receipt sync, file swapped']) {
    const s = byName[swapped];
    assert.ok(s.calls.some((c) => c.call === 'swap-exchange' && c.result === 0), swapped);
    assert.equal(s.calls.filter((c) => c.call === 'renameat2').length, 2, swapped);
    assert.equal(s.outcomes[s.outcomes.length - 1].code, 'ESTALE', swapped);
  }
  assert.ok(byName['removal, name taken again'].calls.some((c) => c.call === 'swap-rename' && c.result === 0));
  assert.deepEqual(byName['removal, name taken again'].outcomes, [{ ok: true }]);
  assert.equal(byName['recovery after a failed receipt sync'].outcomes[0].code, 'EIO');
  assert.deepEqual(byName['recovery after a failed receipt sync'].outcomes[1], { ok: true });
  assert.deepEqual(byName['two removals in one parent'].outcomes, [{ ok: true }, { ok: true }]);
}

// The states are built in memory where Linux offers it: the replay needs no
// durability of its own, and a thousand trees' syncs would make it wait on
// the disk.
function scratch(t, s) {
  const base = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();
  const dir = fs.mkdtempSync(path.join(base, 'anchorfile-replay-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  s.scratch = dir;
  s.verdicts = new Map();
  return s;
}

const rowOf = (label, workload, row) => [label, workload, row.states, ...CLASSES.map((c) => row[c]),
  row['not final after return'] === undefined ? '-' : row['not final after return']];

// What a replay of one recording under the strong models finds wrong.
function brokenIn(s, rows, suffix = '') {
  const broken = [];
  for (const model of STRONG) {
    if (!rows[model]) continue;
    for (const f of [...FAILURES, 'not final after return']) {
      if (rows[model][f] > 0) broken.push(`${model}${suffix}, ${s.workload.name}: ${rows[model][f]} ${f}`);
    }
  }
  return broken;
}

test('every state one or two power losses can leave is recovered without loss under the in-order, ext4-like and barrier models', { skip: skipReason() }, async (t) => {
  const started = process.hrtime.bigint();
  const settings = await recordAll(t);
  const [clean] = settings;
  // The record is exact: the receipt's bytes as written.
  assert.deepEqual(clean.outcomes, [{ ok: true }]);
  assert.ok(clean.calls.find((c) => c.call === 'write').bytes.equals(clean.targets[0].receipt));
  const rows = [];
  const broken = [];
  let built = 0;
  for (const s of settings) {
    const { trace, rows: counts, states } = replay(scratch(t, s), Object.keys(MODELS));
    for (const [model, row] of Object.entries(counts)) rows.push(rowOf(model, s.workload.name, row));
    broken.push(...brokenIn(s, counts));
    const again = await replaySecond(s, trace, states);
    for (const [model, row] of Object.entries(again)) rows.push(rowOf(`${model}, second power loss`, s.workload.name, row));
    broken.push(...brokenIn(s, again, ', second power loss'));
    built += s.verdicts.size;
    if (s.workload.op !== 'remove' || s.workload.swap || s.workload.targets || s.workload.failSync || s.workload.unsynced) continue;
    // Replayed in order, the steps give the crash-point suite's verdicts:
    // the file goes once the whole receipt is there, and stays before.
    const fill = trace.steps.findIndex((step) => step.label === 'fill receipt');
    for (const mask of MODELS['in order'](trace)) {
      const { fileOut, verdict } = judgeCached(s, trace.start, stateOf(trace, mask), expectations(s, trace, mask));
      const onDisk = trace.steps.filter((_, i) => has(mask, i)).map((step) => step.label).join(', ');
      if (fileOut === has(mask, fill)) broken.push(`in order, ${s.workload.name}: ${verdict} after ${onDisk}`);
    }
  }
  // For information: a rename in two steps (no file system here does it).
  for (const s of settings.filter((x) => !x.workload.targets)) {
    const { rows: counts } = replay(scratch(t, s), STRONG, { twoStepRename: true });
    for (const [model, row] of Object.entries(counts)) rows.push(rowOf(`${model}, rename in two steps`, s.workload.name, row));
    built += s.verdicts.size;
  }
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  printTable(`power-loss replay: states after recovery, by persistence model and workload (${built} distinct trees built, ${seconds.toFixed(1)} s)`,
    HEADER, rows);
  assert.deepEqual(broken, []);
  checkWorkloads();
  // With macOS's plain fsync the drive may keep the rename without the
  // receipt: the reason the macOS build syncs with a barrier.
  const fsyncRow = rows.find((r) => r[0] === 'macOS fsync' && r[1] === 'publication removal');
  assert.ok(fsyncRow[HEADER.indexOf('stranded with the file')] > 0);
});

// The syncs of a record as "k: fsync <object>", the quarantine by that word.
function syncLabels(s) {
  return new Map(s.calls.filter((c) => c.call === 'fsync')
    .map((c) => [c.k, `${c.k}: fsync ${c.path.split('/').pop().replace(s.targets[0].quarantine, 'quarantine')}`]));
}

// Each of the removal's syncs left out in turn, through the interposer, in
// the publication removal and in the removal whose file is swapped (up to
// the rename and its two syncs, the same calls in both): the table says
// what each leaves wrong under the ext4-like and barrier models, and the
// replay must see it for every sync that guards a state. The syncs after
// the rename and after the receipt's unlink guard none that an atomic
// rename and in-order directory writes can leave (see the docs).
test('the replay catches each left-out sync that guards a state', { skip: skipReason() }, async (t) => {
  await recordAll(t);
  const rows = [];
  const harmed = new Set();
  const runs = recordings.syncs.map((k, i) => ({ label: `sync ${i + 1}`, skip: [k] }));
  runs.push({ label: 'syncs 4 and 5', skip: recordings.syncs.slice(3, 5) });
  const [clean] = recordings.all;
  const swappedClean = recordings.all.find((s) => s.workload.name === 'removal, file swapped');
  const [ours, theirs] = [syncLabels(clean), syncLabels(swappedClean)];
  for (const { label, skip } of runs) {
    const cells = [];
    for (const workload of [WORKLOADS[0], WORKLOADS[2]]) {
      if (workload.swap && !skip.every((k) => ours.get(k) === theirs.get(k))) {
        cells.push('-');
        continue;
      }
      const s = await record(t, workload, { skip, at: recordings.at });
      assert.equal(s.calls.filter((c) => c.call === 'fsync-skipped').length, skip.length);
      const { rows: counts } = replay(scratch(t, s), ['ext4-like', 'macOS barrier']);
      const bad = brokenIn(s, counts).map((line) => line.replace(`, ${s.workload.name}`, ''));
      cells.push(bad.length ? bad.join('; ') : 'none');
      if (bad.length) harmed.add(label);
    }
    rows.push([label, skip.map((k) => ours.get(k)).join(', '), ...cells]);
  }
  printTable('syncs left out: what the ext4-like and barrier models then find', ['left out', 'call', WORKLOADS[0].name, WORKLOADS[2].name], rows);
  assert.deepEqual([...harmed], ['sync 1', 'sync 2', 'sync 3', 'sync 6', 'sync 8']);
});
