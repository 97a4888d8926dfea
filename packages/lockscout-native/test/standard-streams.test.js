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
