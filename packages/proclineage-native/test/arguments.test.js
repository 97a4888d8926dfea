'use strict';
// getDarwinProcessArguments and getDarwinEnvironmentValue on children whose
// arguments and environment the tests choose.
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  proclineage, waiterScript, startWaiter, withWaiter, startForeignWaiter, asNobody, unusedPid,
} = require('./helpers');

const { getDarwinProcessArguments: argumentsOf, getDarwinEnvironmentValue: valueOf } = proclineage;

test('arguments a, "" and b come back whole, empty one included', async () => {
  // The script's name is the first argument, so argv is exactly sh a "" b.
  await withWaiter(['', 'b'], {}, (pid) => {
    assert.deepEqual(argumentsOf(pid), ['/bin/sh', 'a', '', 'b']);
  });
});

test('leading empty arguments are taken for padding; the count is filled from what follows', async () => {
  await withWaiter(['x'], { argv0: '', env: { FIRST: '1', SECOND: '2' } }, (pid) => {
    assert.deepEqual(argumentsOf(pid), ['a', 'x', 'FIRST=1']);
  });
});

test('the own process: node\'s argument vector', () => {
  const seen = argumentsOf(process.pid);
  assert.equal(seen.length, process.argv.length + process.execArgv.length);
  assert.equal(seen.at(-1), process.argv.at(-1));
});

test('environment values: empty, prefixes, arguments first, first of two equal names', async () => {
  const env = {
    EMPTY: '',
    PATHX: 'not-path',
    PATH: '/usr/bin:/bin',
    SHADOWED: 'from-environment',
    DUP: 'first',
    'DUP=': 'second',
    'UTF8_é': 'accent',
  };
  await withWaiter(['SHADOWED=from-argument'], { env }, (pid) => {
    assert.equal(valueOf(pid, 'EMPTY'), '');
    assert.equal(valueOf(pid, 'PATH'), '/usr/bin:/bin');
    assert.equal(valueOf(pid, 'PATHX'), 'not-path');
    assert.equal(valueOf(pid, 'PAT'), false);
    assert.equal(valueOf(pid, 'SHADOWED'), 'from-argument');
    assert.equal(valueOf(pid, 'DUP'), 'first');
    assert.equal(valueOf(pid, 'UTF8_é'), 'accent');
    assert.equal(valueOf(pid, 'ABSENT'), false);
    assert.equal(valueOf(pid, 'sh'), false);
  });
  // Only PATHX: PATH must not match it.
  await withWaiter([], { env: { PATHX: 'x' } }, (pid) => {
    assert.equal(valueOf(pid, 'PATH'), false);
  });
});

test('names are measured in UTF-8 bytes: 255 accepted, 256 and empty refused', async () => {
  const long255 = 'N'.repeat(255);
  const accented255 = 'é'.repeat(127) + 'N'; // 255 bytes, 128 characters
  const accented256 = 'é'.repeat(128); // 256 bytes, 128 characters
  await withWaiter([], { env: { [long255]: 'long', [accented255]: 'accented' } }, (pid) => {
    assert.equal(valueOf(pid, long255), 'long');
    assert.equal(valueOf(pid, accented255), 'accented');
    assert.equal(valueOf(pid, 'N'.repeat(256)), null);
    assert.equal(valueOf(pid, accented256), null);
    assert.equal(valueOf(pid, ''), null);
  });
});

test('bad arguments are null', () => {
  assert.equal(argumentsOf(), null);
  assert.equal(argumentsOf(process.pid, 1), null);
  assert.equal(argumentsOf('1'), null);
  assert.equal(argumentsOf(0), null);
  assert.equal(argumentsOf(-5), null);
  assert.equal(valueOf(process.pid), null);
  assert.equal(valueOf(process.pid, 'PATH', 1), null);
  assert.equal(valueOf(process.pid, 7), null);
  assert.equal(valueOf('x', 'PATH'), null);
  assert.equal(valueOf(0, 'PATH'), null);
});

test('a pid not in use: no arguments (null), no variables (false)', () => {
  const pid = unusedPid();
  assert.equal(argumentsOf(pid), null);
  assert.equal(valueOf(pid, 'PATH'), false);
});

test('a process that has exited and been reaped answers like an unused pid', async () => {
  const dir = waiterScript();
  const waiter = await startWaiter('/bin/sh', ['a'], { cwd: dir, env: { GONE: 'soon' } });
  try {
    assert.equal(valueOf(waiter.pid, 'GONE'), 'soon');
  } finally {
    await waiter.stop();
  }
  assert.equal(argumentsOf(waiter.pid), null);
  assert.equal(valueOf(waiter.pid, 'GONE'), false);
});

test('another user\'s process is refused to an unprivileged caller', async () => {
  const dir = waiterScript();
  const rootWaiter = await startWaiter('/bin/sh', ['a'], { cwd: dir, env: { SECRET: 'root-only' } });
  const foreign = await startForeignWaiter();
  try {
    const seen = asNobody(`(addon, [rootPid, ownPid]) => ({
      args: addon.getDarwinProcessArguments(Number(rootPid)),
      value: addon.getDarwinEnvironmentValue(Number(rootPid), 'SECRET'),
      sibling: addon.getDarwinProcessArguments(Number(ownPid)),
    })`, [rootWaiter.pid, foreign.pid]);
    assert.equal(seen.args, null);
    assert.equal(seen.value, null);
    // The same caller does read a process of its own user.
    assert.deepEqual(seen.sibling, ['/bin/sh', 'a']);
  } finally {
    await rootWaiter.stop();
    await foreign.stop();
  }
});
