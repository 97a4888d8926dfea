'use strict';
// Where the key is left once keyfetch is done. Each exit path is run under
// gdb, stopped at its exit_group system call and its writable memory
// searched for the key and for the input bytes (memory_search.py), as an
// attacker with a core dump would. Then every allocation keyfetch makes is
// failed in turn: none may end it by a signal (std::terminate's SIGABRT
// with the input still in its buffer), and each run answers with its own
// status, a key only when all of it was written.
const test = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');
const {
  IDENTITY, itemOf, makeHome, removeHome, plantKey, mustSecurity,
} = require('./keyfetch-support');
const { homeEnvironment } = require('./keychain-home');

const searchScript = path.join(__dirname, 'memory_search.py');
const ZEROING_CHECK = { SECURITY_STANDIN_REQUIRE_ZEROED_FREE: '1' };

// Why keyfetch's memory cannot be searched at its exit here, or null.
function searchUnavailable() {
  if (process.platform !== 'linux') return 'the search reads /proc and stops at a Linux system call';
  if (process.env.ASAN_OPTIONS !== undefined) {
    return 'under the sanitizer runtime, whose shadow memory is terabytes of writable mappings';
  }
  const probe = spawnSync('gdb', ['-nx', '-batch', '-ex', 'catch syscall exit_group', '-ex', 'run',
    '-ex', 'python print("stopped", gdb.selected_inferior().pid > 0)', '--args', '/bin/true'],
  { encoding: 'utf8', env: { ...process.env, SHELL: '/bin/sh' } });
  if (probe.error) return `gdb cannot be started (${probe.error.code}); install gdb`;
  if (!probe.stdout.includes('stopped True')) return `gdb cannot stop a program here: ${probe.stderr.trim()}`;
  return null;
}

// A write descriptor on a pipe whose reader is gone: writes fail with EPIPE.
function readerlessPipe(dir) {
  const fifo = path.join(dir, 'fifo');
  assert.equal(spawnSync('mkfifo', [fifo]).status, 0);
  const reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const writer = fs.openSync(fifo, 'w');
  fs.closeSync(reader);
  return writer;
}

// Runs keyfetch under gdb in home with args, input and an output
// redirection (shell syntax; fd 3 is `extraFd`), and returns its exit
// status, what it wrote to a file output, and every copy of a secret found.
function searchAtExit(home, args, { input, output = '>"$SEARCH_DIR/out"', extraFd, secrets }) {
  const dir = makeTempDir('keyfetch-search-');
  try {
    fs.writeFileSync(path.join(dir, 'in'), input);
    const quoted = args.map((arg) => `'${arg}'`).join(' ');
    fs.writeFileSync(path.join(dir, 'secrets'), secrets.map((secret) => secret.toString('hex')).join('\n'));
    // Without symbols, which the search does not need and gdb is slow to read.
    const result = spawnSync('gdb', ['-nx', '-batch', '-q', '-iex', 'set debuginfod enabled off',
      '-iex', 'set auto-solib-add off', '-ex', `exec-file ${deliverable('keyfetch')}`, '-x', searchScript], {
      encoding: 'utf8',
      stdio: ['ignore', 'pipe', 'pipe', extraFd === undefined ? 'ignore' : extraFd],
      env: homeEnvironment(home, {
        ...ZEROING_CHECK,
        SHELL: '/bin/sh',
        SEARCH_DIR: dir,
        SEARCH_RUN: `${quoted} <"$SEARCH_DIR/in" ${output}`,
        SEARCH_SECRETS: path.join(dir, 'secrets'),
      }),
    });
    assert.equal(result.error, undefined, `gdb: ${result.error}`);
    const lines = result.stdout.split('\n').filter((line) => line.startsWith('search: '));
    const exit = lines.find((line) => line.startsWith('search: exit '));
    const mappings = lines.find((line) => line.startsWith('search: mappings '));
    assert.ok(exit && mappings, `gdb did not stop keyfetch at its exit:\n${result.stdout}\n${result.stderr}`);
    const [count, bytes] = mappings.split(' ').slice(2).map(Number);
    assert.ok(count >= 3 && bytes > 65536, `searched only ${mappings}`);
    const outFile = path.join(dir, 'out');
    return {
      status: Number(exit.split(' ')[2]),
      out: fs.existsSync(outFile) ? fs.readFileSync(outFile) : null,
      found: lines.filter((line) => line.startsWith('search: found ')).map((line) => line.slice(8)),
    };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

const key = crypto.randomBytes(48);
const input = crypto.randomBytes(40);
const longKey = crypto.randomBytes(1025);

// Every way keyfetch ends once it holds a key, or key bytes from its input:
// the keychain's setup, the arguments, the input, the output redirection,
// the exit status and the bytes written (for status 0).
const stored = (home) => plantKey(home, key);
const nothing = () => {};
const EXIT_PATHS = [
  { name: 'read-key: the key written', setUp: stored, args: ['read-key', IDENTITY], status: 0, out: key },
  { name: 'create-key: the input stored and written', setUp: nothing, args: ['create-key', IDENTITY], status: 0, out: input },
  { name: 'create-key with a stored key', setUp: stored, args: ['create-key', IDENTITY], status: 0, out: key },
  { name: 'the output pipe\'s reader gone (EPIPE)', setUp: stored, args: ['read-key', IDENTITY], output: '>&3', pipe: true, status: 1 },
  { name: 'the output on a full device', setUp: stored, args: ['read-key', IDENTITY], output: '>/dev/full', status: 1 },
  { name: 'a stored key of 1025 bytes', setUp: (home) => plantKey(home, longKey), args: ['create-key', IDENTITY], status: 1 },
  {
    name: 'create-key whose add fails',
    setUp: (home) => {
      // The default keychain is locked and outside the search list.
      mustSecurity(home, ['create-keychain', '-p', 'pw', 'locked.keychain']);
      mustSecurity(home, ['list-keychains', '-d', 'user', '-s', 'login.keychain']);
      mustSecurity(home, ['default-keychain', '-s', 'locked.keychain']);
      mustSecurity(home, ['lock-keychain', 'locked.keychain']);
    },
    args: ['create-key', IDENTITY],
    status: 1,
  },
  { name: 'create-key with 1025 bytes of input', setUp: nothing, args: ['create-key', IDENTITY], input: longKey, status: 1 },
  {
    name: 'input over 65536 bytes',
    setUp: nothing,
    args: ['create-key', IDENTITY],
    input: Buffer.concat([input, crypto.randomBytes(65497)]),
    status: 2,
  },
  {
    name: 'an identity off the allow-list',
    setUp: (home) => plantKey(home, key, itemOf('Velkor-Atlas')),
    args: ['create-key', 'velkor atlas'],
    status: 1,
  },
  { name: 'standard output closed at start', setUp: nothing, args: ['create-key', IDENTITY], output: '>&-', status: 1 },
];

test('keyfetch leaves neither the key nor its input in memory on any exit path', (t) => {
  const reason = searchUnavailable();
  if (reason) {
    t.diagnostic(`skipped: ${reason}`);
    t.skip(reason);
    return;
  }
  const leaks = [];
  for (const row of EXIT_PATHS) {
    const home = makeHome();
    const dir = row.pipe ? makeTempDir('keyfetch-pipe-') : null;
    const writer = row.pipe ? readerlessPipe(dir) : undefined;
    const bytes = row.input || input;
    try {
      row.setUp(home);
      const run = searchAtExit(home, row.args, { input: bytes, output: row.output, extraFd: writer, secrets: [key, longKey, bytes] });
      assert.equal(run.status, row.status, row.name);
      if (row.out) assert.deepEqual(run.out, row.out, row.name);
      if (run.found.length > 0) leaks.push(`${row.name}: ${run.found.join('; ')}`);
    } finally {
      if (writer !== undefined) fs.closeSync(writer);
      if (dir) fs.rmSync(dir, { recursive: true, force: true });
      removeHome(home);
    }
  }
  // Secret 0 is the stored key, 1 the long stored key, 2 the input.
  assert.deepEqual(leaks, [], `secret bytes left at exit:\n${leaks.join('\n')}`);
});

const preload = deliverable('no_allocation_before_main.so');

// The files of home's keychain directory, to put back before each run: its
// lists name the keychains by absolute path, so a copy elsewhere would
// still use the original's keychains.
function snapshot(home) {
  const dir = path.join(home, 'Library', 'Keychains');
  return new Map(fs.readdirSync(dir).map((name) => [name, fs.readFileSync(path.join(dir, name))]));
}

function restore(home, files) {
  const dir = path.join(home, 'Library', 'Keychains');
  for (const name of fs.readdirSync(dir)) if (!files.has(name)) fs.rmSync(path.join(dir, name));
  for (const [name, bytes] of files) fs.writeFileSync(path.join(dir, name), bytes);
}

// Runs keyfetch in home, put back as it was, with the n-th allocation from
// main on failing (0: none); returns the run and the allocations it made.
function runFailing(home, files, n, args, bytes) {
  restore(home, files);
  const result = spawnSync(deliverable('keyfetch'), args, {
    input: bytes,
    stdio: ['pipe', 'pipe', 'pipe', 'pipe'],
    env: homeEnvironment(home, {
      ...ZEROING_CHECK, LD_PRELOAD: preload, FAIL_ALLOCATION_IN_MAIN: String(n), ALLOCATION_REPORT_FD: '3',
    }),
  });
  return { ...result, made: Number(result.output[3].toString()) };
}

test('a failing allocation at any point: keyfetch answers with its status, never dies by a signal', {
  skip: !fs.existsSync(preload) && 'the preload library is not built (Linux, no sanitizers)',
}, (t) => {
  const stored = makeHome();
  const empty = makeHome();
  try {
    // Under the fallback account, so that read-key makes both lookups.
    plantKey(stored, key, { account: IDENTITY });
    const faults = [];
    const sweeps = [['read-key', stored, key], ['create-key', empty, input]];
    const figures = {};
    for (const [command, home, expected] of sweeps) {
      const files = snapshot(home);
      const whole = runFailing(home, files, 0, [command, IDENTITY], input);
      assert.equal(whole.status, 0, `${command} without a failure: ${whole.stderr}`);
      assert.deepEqual(whole.stdout, expected);
      assert.ok(whole.made > 10, `${command}: only ${whole.made} allocations counted`);
      let refused = 0;
      for (let n = 1; n <= whole.made; n += 1) {
        const run = runFailing(home, files, n, [command, IDENTITY], input);
        const fine = run.signal === null && run.stderr.length === 0
          && ((run.status === 0 && run.stdout.equals(expected)) || (run.status === 1 && run.stdout.length === 0));
        if (!fine) faults.push(`${command}, allocation ${n} of ${whole.made}: status ${run.status}, signal ${run.signal}, ${run.stdout.length} bytes out, ${run.stderr}`);
        if (run.status === 1) refused += 1;
      }
      figures[command] = { allocations: whole.made, refused };
    }
    assert.deepEqual(faults, []);
    // The first allocation (the request's texts) always ends in a refusal.
    assert.ok(figures['read-key'].refused > 0 && figures['create-key'].refused > 0, JSON.stringify(figures));
    t.diagnostic(`allocations failed in turn: ${JSON.stringify(figures)}`);
  } finally {
    removeHome(stored);
    removeHome(empty);
  }
});
