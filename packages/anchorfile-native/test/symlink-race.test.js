'use strict';
// Attack: symbolic-link races on the storage path. An attacker process keeps
// swapping a component of the parent path (content, blobs, ab) between the
// real directory and a symbolic link to a look-alike tree outside the
// storage root, while this process publishes, removes and recovers in a
// loop. Whatever the timing, nothing outside the root may be renamed,
// created or deleted: a canary tree there must keep every name, inode and
// byte. The look-alike holds files under the very names the loop uses, so a
// walk that followed a link would find something to act on.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { makeTempDir } = require('../../../test/support/native.js');
const { anchorfile, publicationTemporary, publicationQuarantine, contentQuarantine, collect } = require('./helpers.js');

const ATTACK_MS = 7000;
// Main lets a link through within a second; a few seconds find it reliably.
const EXCHANGE_MS = 3000;
const SLOTS = 25;  // not a multiple of 3, so every slot meets every kind of round
const PARENT = 'content/blobs/ab';
const COMPONENTS = ['content', 'blobs', 'ab'];

// Runs in the attacker child. It holds descriptors on the real directories
// and reaches them through /proc/self/fd, so its own renames never follow
// the links it plants. Each round parks the real directory under a side
// name, puts the link in its place, lets it stand a moment, then puts the
// real directory back. At the end everything is real again.
function attacker(dirs, durationMs) {
  const fsModule = require('fs');
  const fds = dirs.map((dir) => fsModule.openSync(dir, 'r'));
  const through = (i) => `/proc/self/fd/${fds[i]}`;
  const names = ['content', 'blobs', 'ab'];
  const end = Date.now() + durationMs;
  let rounds = 0;
  // Each state is held for a varying few microseconds, so that the link
  // lands at every moment of the victim's walk.
  const hold = (ns) => {
    const until = process.hrtime.bigint() + BigInt(ns);
    while (process.hrtime.bigint() < until) { /* spin */ }
  };
  while (Date.now() < end) {
    const i = rounds % names.length;
    const dir = through(i);
    const name = names[i];
    fsModule.renameSync(`${dir}/${name}`, `${dir}/.${name}.real`);
    fsModule.renameSync(`${dir}/.${name}.link`, `${dir}/${name}`);
    hold((rounds * 7919) % 20000);
    fsModule.renameSync(`${dir}/${name}`, `${dir}/.${name}.link`);
    fsModule.renameSync(`${dir}/.${name}.real`, `${dir}/${name}`);
    hold((rounds * 104729) % 40000);
    rounds += 1;
  }
  process.stdout.write(`${JSON.stringify({ rounds })}\n`);
}

// Runs fn(...args) in a child node process, racing this one.
function startRacer(fn, ...args) {
  const script = `(${fn.toString()})(${args.map((arg) => JSON.stringify(arg)).join(', ')});`;
  const child = spawn(process.execPath, ['-e', script], { env: process.env });
  child.done = collect(child);
  return child;
}

// A temporary base for one race. A failure in the loop must stop the racer
// before its trees go.
function raceBase(t, prefix) {
  const race = { base: makeTempDir(prefix), child: null };
  t.after(async () => {
    if (race.child) {
      race.child.kill();
      await race.child.done;
    }
    fs.rmSync(race.base, { recursive: true, force: true });
  });
  return race;
}

// Every entry below dir: name, kind, inode, size, mode, times, link target
// and a hash of the bytes.
function snapshot(dir) {
  const entries = [];
  const walk = (current) => {
    for (const name of fs.readdirSync(current).sort()) {
      const full = path.join(current, name);
      const status = fs.lstatSync(full, { bigint: true });
      const entry = {
        path: path.relative(dir, full), ino: status.ino, mode: status.mode, size: status.size,
        mtimeNs: status.mtimeNs, nlink: status.nlink,
      };
      if (status.isSymbolicLink()) entry.target = fs.readlinkSync(full);
      if (status.isFile()) entry.sha256 = crypto.createHash('sha256').update(fs.readFileSync(full)).digest('hex');
      entries.push(entry);
      if (status.isDirectory()) walk(full);
    }
  };
  walk(dir);
  return entries;
}

// The storage root with its real directories, the look-alike outside, and
// a parked link beside each component, ready for the attacker.
function buildTrees(base) {
  const root = path.join(base, 'root');
  const outside = path.join(base, 'outside');
  const slots = Array.from({ length: SLOTS }, (_, i) => ({
    temporary: publicationTemporary('ab'),
    final: `published-${i}`,
  }));
  fs.mkdirSync(path.join(root, PARENT), { recursive: true });
  fs.mkdirSync(path.join(outside, PARENT), { recursive: true });
  // The look-alike holds every temporary (a publication through a link
  // would rename it) and every other final name (a removal through a link
  // would find it; where it is absent, a publication through a link would
  // succeed), plus a few bystanders at each level.
  slots.forEach((slot, i) => {
    fs.writeFileSync(path.join(outside, PARENT, slot.temporary), `outside temporary ${slot.temporary}\n`);
    if (i % 2 === 0) fs.writeFileSync(path.join(outside, PARENT, slot.final), `outside final ${slot.final}\n`);
  });
  fs.writeFileSync(path.join(outside, 'content', 'bystander'), 'content level\n');
  fs.writeFileSync(path.join(outside, 'content', 'blobs', 'bystander'), 'blobs level\n');
  fs.mkdirSync(path.join(outside, 'content', 'blobs', 'cd'));
  fs.writeFileSync(path.join(outside, 'precious'), crypto.randomBytes(64));
  const parents = [root, path.join(root, 'content'), path.join(root, 'content', 'blobs')];
  const targets = [path.join(outside, 'content'), path.join(outside, 'content', 'blobs'), path.join(outside, PARENT)];
  COMPONENTS.forEach((name, i) => fs.symlinkSync(targets[i], path.join(parents[i], `.${name}.link`)));
  return { root, outside, slots, parents };
}

function attempt(counts, kind, fn) {
  try {
    fn();
    counts[`${kind} ok`] = (counts[`${kind} ok`] || 0) + 1;
    return { ok: true };
  } catch (error) {
    const key = `${kind} ${error.code}${error.code === 'ESTALE' ? ` (${error.message.split(':')[0]})` : ''}`;
    counts[key] = (counts[key] || 0) + 1;
    return { ok: false, error };
  }
}

function statBig(file) {
  try {
    return fs.lstatSync(file, { bigint: true });
  } catch (error) {
    if (error.code === 'ENOENT') return null;
    throw error;
  }
}

// Both sides reach the real directories through /proc/self/fd.
const skip = process.platform !== 'linux' && 'needs /proc/self/fd';

test('swapping parent components for links outside the root never lets an operation escape', { skip }, async (t) => {
  const race = raceBase(t, 'anchorfile-race-');
  const { base } = race;
  const { root, outside, slots, parents } = buildTrees(base);
  const canaryBefore = snapshot(outside);

  // This process reaches the real parent through a descriptor as well, so
  // its own file set-up never follows the attacker's links.
  const abFd = fs.openSync(path.join(root, PARENT), 'r');
  t.after(() => fs.closeSync(abFd));
  const ab = `/proc/self/fd/${abFd}`;
  const parentId = fs.fstatSync(abFd, { bigint: true });
  const contentQuarantines = new Map();
  const counts = {};
  let operations = 0;

  const removeFile = (name, quarantine) => {
    const before = statBig(`${ab}/${name}`);
    if (!before) return;
    const result = attempt(counts, 'remove', () => anchorfile.removeAnchoredFile(root, PARENT, name,
      parentId.dev, parentId.ino, before.dev, before.ino, before.size, before.mtimeNs, quarantine));
    operations += 1;
    const after = statBig(`${ab}/${name}`);
    if (result.ok) {
      assert.equal(after, null, `${name} still there after a removal that returned`);
    } else if (result.error.message === 'Could not anchor removal parent.') {
      // Refused on the way down: the file is untouched.
      assert.equal(after && after.ino, before.ino, `${name} moved by a refused removal`);
    }
  };

  // Leaves what a removal that died right after writing its receipt would
  // leave, so that recovery has real work to do under the attack.
  const plantInterruptedRemoval = (slot) => {
    const name = slot.temporary;
    const status = statBig(`${ab}/${name}`);
    if (!status || (slot.pending && statBig(`${ab}/${slot.pending}`))) return;
    const quarantine = publicationQuarantine();
    slot.pending = quarantine;
    fs.mkdirSync(`${ab}/${quarantine}`, { mode: 0o700 });
    const lines = ['publication-removal-v1', name, parentId.dev, parentId.ino, status.dev, status.ino,
      status.size, status.mtimeNs];
    fs.writeFileSync(`${ab}/${quarantine}/receipt`, `${lines.join('\n')}\n`, { mode: 0o600 });
  };

  const recoverAll = () => {
    for (const entry of fs.readdirSync(ab)) {
      if (entry.startsWith('.publication-recovery-')) {
        attempt(counts, 'recover', () => anchorfile.recoverAnchoredRemoval(root, PARENT, entry, parentId.dev, parentId.ino));
        operations += 1;
      } else if (entry.startsWith('.content-recovery-')) {
        attempt(counts, 'recover', () => anchorfile.recoverAnchoredRemoval(root, PARENT, entry,
          parentId.dev, parentId.ino, contentQuarantines.get(entry)));
        operations += 1;
      }
    }
  };

  const child = startRacer(attacker, parents, ATTACK_MS);
  race.child = child;
  let running = true;
  child.done.then(() => { running = false; });
  let round = 0;
  while (running) {
    const slot = slots[round % SLOTS];
    const mode = round % 3;
    round += 1;
    // A new file under a name whose interrupted removal is still pending
    // would (rightly) make that recovery stale forever; wait for it.
    const pending = slot.pending && statBig(`${ab}/${slot.pending}`);
    if (!pending && !statBig(`${ab}/${slot.temporary}`) && !statBig(`${ab}/${slot.final}`)) {
      fs.writeFileSync(`${ab}/${slot.temporary}`, `inside ${slot.temporary} ${round}\n`);
    }
    const name = statBig(`${ab}/${slot.temporary}`) ? slot.temporary : slot.final;
    if (mode === 0) {
      if (name === slot.temporary) {
        attempt(counts, 'publish', () => anchorfile.publishNoReplace(root, PARENT, slot.temporary, slot.final));
        operations += 1;
      }
      const quarantine = contentQuarantine();
      contentQuarantines.set(quarantine, slot.final);
      removeFile(slot.final, quarantine);
    } else if (mode === 1) {
      // Only a publication temporary may go through a publication quarantine.
      let quarantine = publicationQuarantine();
      if (name !== slot.temporary) {
        quarantine = contentQuarantine();
        contentQuarantines.set(quarantine, name);
      }
      removeFile(name, quarantine);
    } else if (name === slot.temporary) {
      plantInterruptedRemoval(slot);
    }
    recoverAll();
    // Let the attacker's exit be noticed.
    if (round % 8 === 0) await new Promise((resolve) => setImmediate(resolve));
  }
  const attack = await child.done;
  assert.equal(attack.status, 0, attack.err);
  const { rounds } = JSON.parse(attack.out);

  const summary = Object.entries(counts).sort().map(([key, value]) => `${key}: ${value}`).join(', ');
  console.log(`symlink race: ${operations} operations against ${rounds} attacker swaps; ${summary}`);

  assert.deepEqual(snapshot(outside), canaryBefore, 'the tree outside the root changed');
  assert.deepEqual(fs.readdirSync(base).sort(), ['outside', 'root'], 'something was created beside the root');

  // The attacker has put every real directory back; finish what is left.
  recoverAll();
  const left = fs.readdirSync(ab).filter((entry) => entry.includes('-recovery-'));
  assert.deepEqual(left, [], 'quarantines left behind');
  for (const [i, name] of COMPONENTS.entries()) {
    assert.ok(fs.lstatSync(path.join(parents[i], name)).isDirectory(), `${name} is not the real directory again`);
  }

  assert.ok(operations >= 1000, `only ${operations} operations ran`);
  // The attack must actually have landed, and the loop must have done real
  // work between its landings.
  assert.ok(Object.keys(counts).some((key) => key.endsWith('ELOOP')), 'no operation ever met a planted link');
  for (const kind of ['publish ok', 'remove ok', 'recover ok']) assert.ok(counts[kind] > 0, `no ${kind}`);
});

// Runs in the exchanger child. Whenever the source is a regular file, it
// waits a varying few microseconds and renames a symbolic link over it in
// one step, so that the link lands at every moment of the publication,
// between its type check and its rename included.
function exchanger(dir, target, durationMs) {
  const fsModule = require('fs');
  const fd = fsModule.openSync(dir, 'r');
  const source = `/proc/self/fd/${fd}/source`;
  const link = `/proc/self/fd/${fd}/.source.link`;
  const end = Date.now() + durationMs;
  let exchanges = 0;
  const hold = (ns) => {
    const until = process.hrtime.bigint() + BigInt(ns);
    while (process.hrtime.bigint() < until) { /* spin */ }
  };
  while (Date.now() < end) {
    let status = null;
    try { status = fsModule.lstatSync(source); } catch (error) { continue; }
    if (!status.isFile()) continue;
    hold((exchanges * 7919) % 30000);
    try {
      fsModule.symlinkSync(target, link);
      fsModule.renameSync(link, source);
      exchanges += 1;
    } catch (error) { /* the victim moved first */ }
  }
  process.stdout.write(`${JSON.stringify({ exchanges })}\n`);
}

test('a source exchanged for a symbolic link is never published as success', { skip }, async (t) => {
  const race = raceBase(t, 'anchorfile-exchange-');
  const { base } = race;
  const root = path.join(base, 'root');
  const dir = path.join(root, 'drop');
  fs.mkdirSync(dir, { recursive: true });
  const outsideFile = path.join(base, 'outside');
  fs.writeFileSync(outsideFile, 'outside\n');

  const child = startRacer(exchanger, dir, outsideFile, EXCHANGE_MS);
  race.child = child;
  let running = true;
  child.done.then(() => { running = false; });

  const counts = {};
  let round = 0;
  while (running) {
    round += 1;
    const source = path.join(dir, 'source');
    const destination = path.join(dir, `final-${round}`);
    const bytes = `published ${round}\n`;
    fs.rmSync(source, { force: true });
    try {
      fs.writeFileSync(source, bytes, { flag: 'wx' });
    } catch (error) {
      continue;  // the exchanger planted its link first
    }
    const result = attempt(counts, 'publish', () => anchorfile.publishNoReplace(root, 'drop', 'source', `final-${round}`));
    const published = statBig(destination);
    if (result.ok) {
      assert.ok(published && published.isFile(), `round ${round}: the destination is not a regular file`);
      assert.equal(fs.readFileSync(destination, 'utf8'), bytes, `round ${round}: another file was published`);
    } else if (result.error.message === 'The publication source is not anchored safely.') {
      // Caught after the rename. Nothing is moved back: a rename back would
      // move whatever holds the name by then, which nobody checked.
      assert.ok(published && published.isSymbolicLink(), `round ${round}: the entry under the destination was moved`);
    }
    if (published) fs.rmSync(destination);
    if (round % 64 === 0) await new Promise((resolve) => setImmediate(resolve));
  }
  const attack = await child.done;
  assert.equal(attack.status, 0, attack.err);
  const { exchanges } = JSON.parse(attack.out);
  const summary = Object.entries(counts).sort().map(([key, value]) => `${key}: ${value}`).join(', ');
  console.log(`source exchange: ${round} rounds against ${exchanges} exchanges; ${summary}`);
  assert.equal(fs.readFileSync(outsideFile, 'utf8'), 'outside\n');
  assert.ok(counts['publish ok'] > 0 && exchanges > 0, 'the loop or the exchanger did no real work');
});
