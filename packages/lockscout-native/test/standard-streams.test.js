'use strict';
// The three programs against hostile standard streams: an output whose
// reader is gone, and an input whose read fails instead of ending. The
// application's spawning layer resets signals to their defaults, so a
// program that left SIGPIPE alone would die of it here.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const net = require('net');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');
const { IDENTITY, makeHome, removeHome, plantKey, isStored, keyfetch, expectNoKey } = require('./keyfetch-support');
const { homeEnvironment } = require('./keychain-home');

const linux = process.platform === 'linux';

let home;
test.before(() => { home = makeHome(); });
test.after(() => removeHome(home));

// A write descriptor on a pipe whose only reader is already closed, so the
// first write raises SIGPIPE (or fails with EPIPE where it is ignored).
function readerlessPipe(dir) {
  const fifo = path.join(dir, `fifo-${process.hrtime.bigint()}`);
  assert.equal(spawnSync('mkfifo', [fifo]).status, 0);
  const reader = fs.openSync(fifo, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  const writer = fs.openSync(fifo, 'w');
  fs.closeSync(reader);
  return writer;
}

test('a closed output pipe gives each program its own status, not death by SIGPIPE', { skip: !linux && 'uses mkfifo' }, () => {
  const dir = makeTempDir('streams-');
  const keyHome = makeHome();
  plantKey(keyHome, Buffer.from('stored key'));
  try {
    // lockscout and keyvet always exit 0; keyfetch found the key but could
    // not deliver it, which is status 1, after wiping it (the stand-in
    // aborts on a key released unwiped).
    const rows = [
      ['lockscout', [IDENTITY], 0],
      ['keyvet', [], 0],
      ['keyfetch', ['read-key', IDENTITY], 1],
    ];
    for (const [program, args, status] of rows) {
      const out = readerlessPipe(dir);
      const result = spawnSync(deliverable(program), args, {
        stdio: ['ignore', out, 'pipe'],
        env: homeEnvironment(keyHome, { SECURITY_STANDIN_REQUIRE_ZEROED_FREE: '1' }),
      });
      fs.closeSync(out);
      assert.equal(result.signal, null, `${program} died by ${result.signal}`);
      assert.equal(result.status, status, program);
      assert.equal(result.stderr.length, 0, `${program}: ${result.stderr}`);
    }
  } finally {
    removeHome(keyHome);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('keyfetch: a directory or a write-only descriptor as input is a broken read, nothing stored', () => {
  for (const [label, open] of [['directory', () => fs.openSync(home, 'r')], ['write-only', () => fs.openSync('/dev/null', 'w')]]) {
    const fd = open();
    try {
      expectNoKey(keyfetch(home, ['create-key', IDENTITY], { stdio: [fd, 'pipe', 'pipe'] }), 2);
    } finally {
      fs.closeSync(fd);
    }
    assert.equal(isStored(home), false, label);
  }
});

// Runs a program without blocking this process, whose event loop serves the
// socket the program reads.
function run(program, args, env) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { env });
    let stdout = Buffer.alloc(0);
    child.stdout.on('data', (chunk) => { stdout = Buffer.concat([stdout, chunk]); });
    child.on('error', reject);
    child.on('close', (status, signal) => resolve({ status, signal, stdout }));
  });
}

test('keyfetch: a socket reset after part of the key is a broken read, not a short key', { skip: !linux && 'uses bash /dev/tcp' }, async () => {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    // Five bytes arrive, then the connection is reset rather than closed.
    socket.write('5byte', () => setTimeout(() => socket.resetAndDestroy(), 200));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    const { port } = server.address();
    const result = await run('bash', ['-c', `exec "$0" create-key "$1" < /dev/tcp/127.0.0.1/${port}`,
      deliverable('keyfetch'), IDENTITY], homeEnvironment(home));
    assert.equal(result.signal, null);
    expectNoKey(result, 2);
  } finally {
    server.close();
  }
  assert.equal(isStored(home), false);
});

test('keyfetch binds every symbol at load, so no lazy binding spills key bytes on the stack after the wipe', { skip: !linux && 'ELF only' }, () => {
  const result = spawnSync('readelf', ['--dynamic', deliverable('keyfetch')], { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
  assert.match(result.stdout, /\(FLAGS_1\)\s+Flags:.*\bNOW\b/);
});

// Runs program with standard descriptor `fd` truly closed, not redirected:
// the shell closes it just before it becomes the program.
function closedAtStart(fd, program, args) {
  return ['/bin/sh', ['-c', `exec "$0" "$@" ${fd}>&-`, program, ...args]];
}

// Every regular file below dir that holds `bytes` as they are.
function filesHolding(dir, bytes) {
  const found = [];
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    const full = path.join(dir, entry.name);
    if (entry.isDirectory()) found.push(...filesHolding(full, bytes));
    else if (entry.isFile() && fs.readFileSync(full).includes(bytes)) found.push(full);
  }
  return found;
}

// The key never goes to whatever file took a standard descriptor's number:
// a closed one is /dev/null before the keychain opens anything. Standard
// input closed reads as empty; standard output closed cannot deliver a key,
// so nothing is created; standard error closed is /dev/null while an add
// holds the keychain's lock file open.
test('keyfetch started with a standard descriptor closed', { skip: !linux && 'reads /proc' }, async () => {
  const keyHome = makeHome();
  const env = homeEnvironment(keyHome, { SECURITY_STANDIN_REQUIRE_ZEROED_FREE: '1' });
  const key = Buffer.from('the new key bytes');
  try {
    const [shell, args] = closedAtStart(1, deliverable('keyfetch'), ['create-key', IDENTITY]);
    const noOutput = spawnSync(shell, args, { env, input: key });
    assert.equal(noOutput.signal, null);
    assert.equal(noOutput.status, 1);
    assert.equal(isStored(keyHome), false, 'a key was created that could not be delivered');

    const paused = spawn(...closedAtStart(2, deliverable('keyfetch'), ['create-key', IDENTITY]),
      { env: { ...env, SECURITY_STANDIN_ADD_PAUSE_MS: '1000' } });
    const done = new Promise((resolve) => {
      const out = [];
      paused.stdout.on('data', (chunk) => out.push(chunk));
      paused.on('close', (status, signal) => resolve({ status, signal, stdout: Buffer.concat(out) }));
    });
    paused.stdin.end(key);
    const fdDir = `/proc/${paused.pid}/fd`;
    const targets = () => {
      try {
        return fs.readdirSync(fdDir).map((fd) => [Number(fd), fs.readlinkSync(path.join(fdDir, fd))]);
      } catch (error) {
        return [];  // not started yet, or already gone
      }
    };
    let open = [];
    for (let tries = 0; tries < 300 && !open.some(([, target]) => target.endsWith('/.lock')); tries += 1) {
      await new Promise((resolve) => setTimeout(resolve, 10));
      open = targets();
    }
    const lock = open.find(([, target]) => target.endsWith('/.lock'));
    assert.ok(lock, `the add never held the lock: ${JSON.stringify(open)}`);
    assert.deepEqual(open.find(([fd]) => fd === 2), [2, '/dev/null'], JSON.stringify(open));
    const created = await done;
    assert.equal(created.signal, null);
    assert.equal(created.status, 0);
    assert.deepEqual(created.stdout, key);

    const [shell0, args0] = closedAtStart(0, deliverable('keyfetch'), ['read-key', IDENTITY]);
    const noInput = spawnSync(shell0, args0, { env });
    assert.equal(noInput.signal, null);
    assert.equal(noInput.status, 0, 'standard input closed is an empty input, not a broken read');
    assert.deepEqual(noInput.stdout, key);
    assert.deepEqual(filesHolding(keyHome, key), [], 'a file received the key bytes');
  } finally {
    removeHome(keyHome);
  }
});

// The spawning layer leaves SIGXFSZ at its default: a write past the
// file-size limit must fail with EFBIG, not kill the program.
test('a file-size limit on the output ends the write, not the program', () => {
  const dir = makeTempDir('streams-');
  const keyHome = makeHome();
  plantKey(keyHome, Buffer.from('stored key'));
  try {
    const rows = [['lockscout', [IDENTITY], 0], ['keyvet', [], 0], ['keyfetch', ['read-key', IDENTITY], 1]];
    for (const [program, args, status] of rows) {
      const out = path.join(dir, `${program}.out`);
      const result = spawnSync('/bin/sh', ['-c', 'ulimit -f 0 && exec "$0" "$@" > "$OUT"', deliverable(program), ...args],
        { env: homeEnvironment(keyHome, { OUT: out }), input: '' });
      assert.equal(result.signal, null, `${program} died by ${result.signal}`);
      assert.equal(result.status, status, program);
      assert.equal(fs.statSync(out).size, 0, program);
    }
  } finally {
    removeHome(keyHome);
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
