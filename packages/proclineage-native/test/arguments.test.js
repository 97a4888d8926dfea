'use strict';
// getDarwinProcessArguments and getDarwinEnvironmentValue on children whose
// arguments and environment the tests choose.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const {
  proclineage, startSh, startForeignWaiter, withWaiters, withWaiter, asNobody, unusedPid,
} = require('./helpers');
const { skipWithoutUnprivileged } = require('../../../test/support/native');

const { getDarwinProcessArguments: argumentsOf, getDarwinEnvironmentValue: valueOf } = proclineage;

// The script's name is the first argument, so argv is exactly sh a "" b.
// An empty argument, first or in the middle, is an argument: a reader that
// took it for padding after the path would fill the count from the
// environment.
for (const [name, args, options, expected] of [
  ['arguments a, "" and b come back whole, empty one included',
    ['', 'b'], {}, ['/bin/sh', 'a', '', 'b']],
  ['an empty first argument is kept, and no variable becomes an argument',
    ['', 'x'], { argv0: '', env: { SECRET_TOKEN: 'hunter2' } }, ['', 'a', '', 'x']],
]) {
  test(name, () => withWaiter(args, options, (pid) => {
    assert.deepEqual(argumentsOf(pid), expected);
  }));
}

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
  const expected = {
    EMPTY: '', PATH: '/usr/bin:/bin', PATHX: 'not-path', PAT: false, SHADOWED: 'from-argument',
    DUP: 'first', 'UTF8_é': 'accent', ABSENT: false, sh: false,
  };
  await withWaiter(['SHADOWED=from-argument'], { env }, (pid) => {
    for (const [name, value] of Object.entries(expected)) assert.equal(valueOf(pid, name), value, name);
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
  const { pid } = process;
  for (const args of [[], [pid, 1], ['1'], [0], [-5]]) {
    assert.equal(argumentsOf(...args), null, JSON.stringify(args));
  }
  for (const args of [[pid], [pid, 'PATH', 1], [pid, 7], ['x', 'PATH'], [0, 'PATH']]) {
    assert.equal(valueOf(...args), null, JSON.stringify(args));
  }
});

test('a pid not in use: no arguments (null), no variables (false)', () => {
  const pid = unusedPid();
  assert.equal(argumentsOf(pid), null);
  assert.equal(valueOf(pid, 'PATH'), false);
});

test('a process that has exited and been reaped answers like an unused pid', async () => {
  const reaped = await withWaiter([], { env: { GONE: 'soon' } }, (pid) => {
    assert.equal(valueOf(pid, 'GONE'), 'soon');
    return pid;
  });
  assert.equal(argumentsOf(reaped), null);
  assert.equal(valueOf(reaped, 'GONE'), false);
});

test('another user\'s process is refused to an unprivileged caller', (t) => skipWithoutUnprivileged(t) || withWaiters([
  startSh([], { env: { SECRET: 'root-only' } }), startForeignWaiter(),
], (rootPid, foreignPid) => {
  const seen = asNobody(`(addon, [rootPid, ownPid]) => ({
    args: addon.getDarwinProcessArguments(Number(rootPid)),
    value: addon.getDarwinEnvironmentValue(Number(rootPid), 'SECRET'),
    sibling: addon.getDarwinProcessArguments(Number(ownPid)),
  })`, [rootPid, foreignPid]);
  assert.equal(seen.args, null);
  assert.equal(seen.value, null);
  // The same caller does read a process of its own user.
  assert.deepEqual(seen.sibling, ['/bin/sh', 'a']);
}));

// For a moment in each exec, /proc/PID/cmdline and environ read empty,
// as an exited process's do. A process that does nothing but exec keeps
// its variable and its arguments throughout: it is never gone (false),
// and its arguments are never another vector.
test('a process exec\'ing in a loop is never reported gone', async () => {
  const loop = 'exec /bin/sh -c "$0" "$0"';
  const child = spawn('/bin/sh', ['-c', loop, loop], { stdio: 'ignore', env: { MARK: 'kept' } });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  try {
    // Until its first exec the child is a copy of node, without MARK.
    for (let i = 0; i < 1000 && valueOf(child.pid, 'MARK') !== 'kept'; i += 1) {
      await new Promise((resolve) => setTimeout(resolve, 2));
    }
    const seen = { kept: 0, false: 0, null: 0 };
    const deadline = Date.now() + 2000;
    for (let i = 0; i < 20000 && Date.now() < deadline; i += 1) {
      seen[String(valueOf(child.pid, 'MARK'))] += 1;
      const args = argumentsOf(child.pid);
      if (args !== null) assert.deepEqual(args, ['/bin/sh', '-c', loop, loop]);
    }
    assert.equal(child.exitCode, null, 'the loop ran throughout');
    assert.equal(seen.false, 0, JSON.stringify(seen));
    assert.ok(seen.kept > 0, JSON.stringify(seen));
  } finally {
    child.kill('SIGKILL');
    await exited;
  }
});
