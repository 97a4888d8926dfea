'use strict';
// getDarwinProcess: the identity of the test process and of children it
// starts, and null for everything it must not answer.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { spawn, spawnSync } = require('child_process');
const {
  proclineage, addonPath, startForeignWaiter, withWaiters, withWaiter, unusedPid, ownerOf, asNobody,
} = require('./helpers');
const { skipWithoutUnprivileged } = require('../../../test/support/native');

test('the own process, with the parent\'s unique id', () => {
  const self = proclineage.getDarwinProcess(process.pid);
  assert.equal(self.pid, process.pid);
  assert.equal(self.ppid, process.ppid);
  assert.equal(self.pgid, Number(fs.readFileSync('/proc/self/stat', 'utf8').split(') ')[1].split(' ')[2]));
  assert.match(self.uniqueId, /^[1-9][0-9]*$/);
  assert.match(self.parentUniqueId, /^(0|[1-9][0-9]*)$/);
  assert.deepEqual(Object.keys(self), ['pid', 'ppid', 'pgid', 'sid', 'uniqueId', 'parentUniqueId']);
  // Our parent is the test runner, a process of ours in our session.
  const parent = proclineage.getDarwinProcess(process.ppid);
  assert.notEqual(parent, null);
  assert.equal(self.parentUniqueId, parent.uniqueId);
  // The same process reads the same twice.
  assert.deepEqual(proclineage.getDarwinProcess(process.pid), self);
});

test('a detached child: own group and session, linked to us, null once reaped', async () => {
  const reaped = await withWaiter([], { detached: true }, (pid) => {
    const self = proclineage.getDarwinProcess(process.pid);
    const child = proclineage.getDarwinProcess(pid);
    assert.equal(child.pid, pid);
    assert.equal(child.ppid, process.pid);
    assert.equal(child.pgid, pid);
    assert.equal(child.sid, pid);
    assert.equal(child.parentUniqueId, self.uniqueId);
    assert.notEqual(child.uniqueId, self.uniqueId);
    return pid;
  });
  assert.equal(proclineage.getDarwinProcess(reaped), null);
});

test('a child that is not detached shares our group and session', () => withWaiter([], {}, (pid) => {
  const self = proclineage.getDarwinProcess(process.pid);
  const child = proclineage.getDarwinProcess(pid);
  assert.equal(child.pgid, self.pgid);
  assert.equal(child.sid, self.sid);
}));

test('two children started one after the other get different unique ids', async () => {
  const seen = new Set();
  for (let i = 0; i < 5; i += 1) {
    await withWaiter([], {}, (pid) => seen.add(proclineage.getDarwinProcess(pid).uniqueId));
  }
  assert.equal(seen.size, 5);
});

test('another user\'s process is null', (t) => skipWithoutUnprivileged(t) || withWaiters([startForeignWaiter()], (pid) => {
  assert.equal(ownerOf(pid), 65534);
  assert.equal(proclineage.getDarwinProcess(pid), null);
}));

test('bad arguments and unused pids are null, fractions are truncated', () => {
  const { pid } = process;
  for (const args of [[], [pid, pid], [String(pid)], [0], [-1], [unusedPid()]]) {
    assert.equal(proclineage.getDarwinProcess(...args), null, JSON.stringify(args));
  }
  assert.equal(proclineage.getDarwinProcess(pid + 0.9).pid, pid);
});

test('as an unprivileged user: own process read, a root process null', (t) => {
  if (skipWithoutUnprivileged(t)) return;
  const seen = asNobody(`(addon, [rootPid]) => ({
    self: addon.getDarwinProcess(process.pid), selfPid: process.pid,
    root: addon.getDarwinProcess(Number(rootPid)) })`, [process.pid]);
  assert.equal(seen.self.pid, seen.selfPid);
  // setpriv executes node in its own process, started by this one.
  assert.equal(seen.self.ppid, process.pid);
  assert.equal(seen.self.parentUniqueId, proclineage.getDarwinProcess(process.pid).uniqueId);
  assert.equal(seen.root, null);
});

test('the owner is the effective user, not the real one', async (t) => {
  if (skipWithoutUnprivileged(t)) return;
  // Real user root, effective user 65534: the process belongs to 65534.
  const child = spawn('setpriv', ['--euid=65534', '--egid=65534', '--clear-groups', 'sleep', '30'],
    { stdio: 'ignore' });
  try {
    for (let i = 0; i < 200; i += 1) {
      if (fs.readFileSync(`/proc/${child.pid}/comm`, 'utf8').trim() === 'sleep') break;
      await new Promise((resolve) => setTimeout(resolve, 10));
    }
    const status = fs.readFileSync(`/proc/${child.pid}/status`, 'utf8');
    assert.match(status, /\nUid:\s+0\s+65534\s/);
    assert.equal(proclineage.getDarwinProcess(child.pid), null);
    const seen = asNobody(`(addon, [pid]) => addon.getDarwinProcess(Number(pid))`, [child.pid]);
    assert.equal(seen.pid, child.pid);
    assert.equal(seen.ppid, process.pid);
  } finally {
    child.kill('SIGKILL');
    await new Promise((resolve) => child.on('exit', resolve));
  }
});

// Linux answers getsid with 0 for a process whose session leader lies
// outside its PID namespace (containers, sandboxes); macOS has no such
// case. Such a process cannot be read consistently and is null, while a
// process in a session of its own inside the namespace reads in full.
test('in a PID namespace: null while the session is outside it, read once in its own', (t) => {
  const script = `const addon = require(${JSON.stringify(addonPath)});
    process.stdout.write(JSON.stringify(addon.getDarwinProcess(process.pid)));`;
  const inNamespace = (...command) => spawnSync('unshare', [
    '--pid', '--fork', '--mount-proc', ...command, process.execPath, '-e', script,
  ], { encoding: 'utf8', env: process.env });
  const outside = inNamespace();
  if (outside.status !== 0) {
    t.skip(`no PID namespace here: ${(outside.stderr || String(outside.error)).trim()}`);
    return;
  }
  assert.equal(JSON.parse(outside.stdout), null);
  const own = inNamespace('setsid');
  assert.equal(own.status, 0, own.stderr);
  const self = JSON.parse(own.stdout);
  assert.equal(self.pid, 1);
  assert.equal(self.sid, 1);
  assert.equal(self.ppid, 0);
  assert.equal(self.parentUniqueId, '0');
});
