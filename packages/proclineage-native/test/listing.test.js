'use strict';
// listDarwinProcesses: whom it lists, whom it leaves out, and whether the
// parent links make a consistent tree.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const {
  proclineage, startSh, startForeignWaiter, withWaiters, withWaiter, asNobody, ownerOf,
} = require('./helpers');
const { skipWithoutUnprivileged } = require('../../../test/support/native');

function checkLinks(processes) {
  const byPid = new Map(processes.map((p) => [p.pid, p]));
  const ids = new Set(processes.map((p) => p.uniqueId));
  assert.equal(ids.size, processes.length, 'unique ids are unique');
  assert.equal(byPid.size, processes.length, 'no pid twice');
  for (const p of processes) {
    assert.ok(p.pid > 0);
    assert.match(p.uniqueId, /^[1-9][0-9]*$/);
    const parent = byPid.get(p.ppid);
    if (parent) assert.equal(p.parentUniqueId, parent.uniqueId, `parent link of ${p.pid}`);
  }
}

test('as an unprivileged user: own process present, list complete, only own processes', async (t) => {
  if (skipWithoutUnprivileged(t)) return;
  // A process of root's, which the unprivileged listing must leave out.
  await withWaiter([], {}, (rootChild) => {
    const seen = asNobody(`(addon) => ({ self: process.pid,
      first: addon.listDarwinProcesses(), second: addon.listDarwinProcesses(1, 'ignored') })`);
    for (const listing of [seen.first, seen.second]) {
      assert.deepEqual(Object.keys(listing), ['processes', 'complete']);
      assert.equal(listing.complete, true);
      const pids = listing.processes.map((p) => p.pid);
      assert.ok(pids.includes(seen.self));
      assert.ok(!pids.includes(0));
      assert.ok(!pids.includes(process.pid), 'a root process is left out');
      assert.ok(!pids.includes(rootChild));
      checkLinks(listing.processes);
    }
    const self = seen.first.processes.find((p) => p.pid === seen.self);
    assert.equal(self.ppid, process.pid);
    assert.equal(self.parentUniqueId, proclineage.getDarwinProcess(process.pid).uniqueId);
  });
});

test('a child appears with a link to us and disappears once reaped', async () => {
  const { pid, during, direct } = await withWaiter([], {}, (pid) => ({
    pid, during: proclineage.listDarwinProcesses(), direct: proclineage.getDarwinProcess(pid),
  }));
  const after = proclineage.listDarwinProcesses();

  const self = during.processes.find((p) => p.pid === process.pid);
  const child = during.processes.find((p) => p.pid === pid);
  assert.ok(self, 'own process listed');
  assert.ok(child, 'child listed');
  assert.equal(child.parentUniqueId, self.uniqueId);
  assert.deepEqual(child, direct);
  assert.ok(!after.processes.some((p) => p.uniqueId === child.uniqueId));
  checkLinks(during.processes);
  checkLinks(after.processes);
});

test('every listed process runs under the caller\'s user; another user\'s is left out', (t) => (
  skipWithoutUnprivileged(t) || withWaiters([startForeignWaiter()], (foreign) => {
    // Other suites start children that drop to another user (setpriv) while
    // this one runs: a process may change its owner between the listing and
    // the check. Only an owner that was the same before and after the
    // listing proves a foreign process was listed.
    const ownerNow = (pid) => {
      try {
        return ownerOf(pid);
      } catch (error) {
        if (error.code !== 'ENOENT') throw error;
        return null; // exited
      }
    };
    const before = new Map(fs.readdirSync('/proc').filter((n) => /^\d+$/.test(n))
      .map((n) => [Number(n), ownerNow(n)]));
    const listing = proclineage.listDarwinProcesses();
    assert.ok(!listing.processes.some((p) => p.pid === foreign));
    const me = process.geteuid();
    for (const p of listing.processes) {
      const after = ownerNow(p.pid);
      if (after !== null && after === before.get(p.pid)) {
        assert.equal(after, me, `owner of ${p.pid}`);
      }
    }
  })));

test('many children, all listed, each linked to this process', () => (
  withWaiters(Array.from({ length: 20 }, () => startSh()), (...pids) => {
    const listing = proclineage.listDarwinProcesses();
    const self = listing.processes.find((p) => p.pid === process.pid);
    for (const pid of pids) {
      const entry = listing.processes.find((p) => p.pid === pid);
      assert.ok(entry, `child ${pid} listed`);
      assert.equal(entry.parentUniqueId, self.uniqueId);
    }
    checkLinks(listing.processes);
  })));

test('a process of ours that cannot be read consistently is left out and clears complete', (t) => {
  // An init whose session is 0 is such a process for root: getsid gives 0
  // though the process is there.
  const fields = require('fs').readFileSync('/proc/1/stat', 'utf8').split(') ')[1].split(' ');
  if (process.geteuid() !== 0 || fields[3] !== '0' || ownerOf(1) !== 0) {
    t.skip('needs root and an init in session 0');
    return;
  }
  const listing = proclineage.listDarwinProcesses();
  assert.equal(listing.complete, false);
  assert.ok(!listing.processes.some((p) => p.pid === 1));
  assert.equal(proclineage.getDarwinProcess(1), null);
});
