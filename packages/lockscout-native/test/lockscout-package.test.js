'use strict';
// The package entry point: program paths and probeIdentity.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { deliverable } = require('../../../test/support/native');
const { programPath, unpackedPath, probeIdentity, probeIdentitySync } = require('..');
const { IDENTITY, ACCOUNT, withHome, addItem } = require('./lockscout-support');

test('programPath finds the built programs', () => {
  assert.equal(programPath('lockscout'), path.resolve(deliverable('lockscout')));
});

test('probeIdentity and probeIdentitySync return the parsed line', () =>
  withHome(['login.keychain'], async (home) => {
    const env = { ...process.env, HOME: home };
    assert.equal(probeIdentitySync(IDENTITY, { env }).reason, 'account-not-found');
    assert.equal((await probeIdentity(IDENTITY, { env })).reason, 'account-not-found');
    addItem(home, 'login.keychain');
    assert.equal((await probeIdentity(IDENTITY, { env })).account, ACCOUNT);
    assert.equal(probeIdentitySync(IDENTITY, { env }).account, ACCOUNT);
    assert.equal((await probeIdentity('someone else', { env })).reason, 'invalid-identity');
  }));

test('programPath maps an Electron app.asar to app.asar.unpacked and refuses where nothing ships', () => {
  const fs = require('fs');
  const os = require('os');
  const base = fs.mkdtempSync(path.join(os.tmpdir(), 'asar-'));
  try {
    const inside = path.join(base, 'app.asar', 'node_modules', '@native', 'lockscout');
    const unpacked = path.join(base, 'app.asar.unpacked', 'node_modules', '@native', 'lockscout');
    fs.mkdirSync(path.join(unpacked, 'prebuilds', 'darwin-arm64'), { recursive: true });
    fs.writeFileSync(path.join(unpacked, 'prebuilds', 'darwin-arm64', 'keyfetch'), '');
    assert.equal(programPath('keyfetch', { platform: 'darwin', arch: 'arm64', dir: inside }),
      path.join(unpacked, 'prebuilds', 'darwin-arm64', 'keyfetch'));
    assert.throws(() => programPath('keyfetch', { platform: 'linux', arch: 'x64', dir: inside }),
      { code: 'ENOTSUP', message: /ship for macOS .* only/ });
  } finally {
    fs.rmSync(base, { recursive: true, force: true });
  }
});

test('readKey and createKey hand back the key as a Buffer, and never put it in an error', async () => {
  const { makeHome, removeHome, plantKey } = require('./keyfetch-support');
  const home = makeHome();
  try {
    const env = { ...process.env, HOME: home, SECURITY_STANDIN_REQUIRE_ZEROED_FREE: '1' };
    const { readKey, createKey } = require('..');
    // keyfetch reads its input to the end even for read-key: a run that
    // left it open would never settle, and the runner's limit would fail
    // the test much later; this limit names the cause.
    const settled = (promise) => Promise.race([promise.then((v) => ({ v }), (e) => ({ e })),
      new Promise((resolve) => { setTimeout(resolve, 10000, { hung: true }).unref(); })]);
    const missing = await settled(readKey(IDENTITY, { env }));
    assert.ok(!missing.hung, 'readKey left keyfetch waiting for the end of its input');
    assert.equal(missing.e.code, 1);
    assert.equal(missing.e.message, 'keyfetch read-key failed with status 1');

    const secret = Buffer.from('k3y-s3cr3t\x00\xff bytes', 'latin1');
    assert.deepEqual(await createKey(IDENTITY, secret, { env }), secret);
    assert.deepEqual(await createKey(IDENTITY, Buffer.from('other'), { env }), secret, 'the stored key wins');
    const read = await settled(readKey(IDENTITY, { env }));
    assert.ok(Buffer.isBuffer(read.v));
    assert.deepEqual(read.v, secret);

    // Refusals: an identity off the allow-list (status 1), a key over 1024
    // bytes (status 1), input over 65536 bytes (status 2); none may carry
    // the bytes handed in or the key stored.
    const overlong = Buffer.alloc(2000, 'q');
    const huge = Buffer.alloc(70000, 'z');
    const failures = [
      [() => readKey('velkor atlas', { env }), 1],
      [() => createKey('Velkor Atlas (DEV)', overlong, { env }), 1],
      [() => createKey('Velkor Atlas (DEV)', huge, { env }), 2],
      [() => createKey(IDENTITY, secret.toString('latin1'), { env }), 'ERR_INVALID_ARG_TYPE'],
    ];
    for (const [call, code] of failures) {
      const { e } = await settled(call());
      assert.ok(e instanceof Error);
      assert.equal(e.code, code);
      const shown = `${e.stack} ${JSON.stringify(e)} ${require('util').inspect(e)}`;
      for (const bytes of [secret, overlong.subarray(0, 16), huge.subarray(0, 16)]) {
        assert.ok(!shown.includes(bytes.toString('latin1')), `error shows key bytes: ${shown}`);
      }
    }
    plantKey(home, [0], { account: 'Velkor Atlas (DEV) Key', service: 'Velkor Atlas (DEV) Safe Storage' });
    assert.deepEqual(await readKey('Velkor Atlas (DEV)', { env }), Buffer.from([0]));
  } finally {
    removeHome(home);
  }
});

// Every function checks its own arguments as Node's modules do: a TypeError
// with Node's code that names the argument, thrown by the blocking ones and
// a rejection (never a throw) of the promise ones.
test('wrong arguments: TypeError with ERR_INVALID_ARG_TYPE or ERR_INVALID_ARG_VALUE, naming the argument', async () => {
  const { readKey, createKey } = require('..');
  const TYPE = 'ERR_INVALID_ARG_TYPE';
  const VALUE = 'ERR_INVALID_ARG_VALUE';
  const thrown = [
    [() => programPath(), TYPE, '"name" argument'],
    [() => programPath('security'), VALUE, "argument 'name' must be one of: 'lockscout', 'keyfetch', 'keyvet'"],
    [() => programPath('keyfetch', null), TYPE, '"options" argument'],
    [() => programPath('keyfetch', { platform: 1 }), TYPE, '"options.platform" property'],
    [() => unpackedPath(42), TYPE, '"file" argument'],
    [() => probeIdentitySync(), TYPE, '"identity" argument'],
    [() => probeIdentitySync(IDENTITY, null), TYPE, '"options" argument'],
    [() => probeIdentitySync(IDENTITY, { timeout: 1.5 }), VALUE, "property 'options.timeout'"],
  ];
  for (const [call, code, names] of thrown) {
    assert.throws(call, (error) => error instanceof TypeError && error.code === code && error.message.includes(names),
      `${call}`);
  }
  const secretText = 'my secret key text';
  const rejected = [
    [() => probeIdentity(IDENTITY, null), TYPE, '"options" argument'],
    [() => probeIdentity(null), TYPE, '"identity" argument'],
    [() => probeIdentity(IDENTITY, { env: null }), TYPE, '"options.env" property'],
    [() => readKey(IDENTITY, { timeout: '5' }), TYPE, '"options.timeout" property'],
    [() => readKey(IDENTITY, { timeout: -1 }), VALUE, "property 'options.timeout'"],
    [() => readKey(IDENTITY, { signal: {} }), TYPE, '"options.signal" property must be an instance of AbortSignal'],
    [() => readKey(42), TYPE, '"identity" argument'],
    [() => createKey(IDENTITY, secretText), TYPE, '"bytes" argument'],
    [() => createKey(IDENTITY, Buffer.from('k'), 'options'), TYPE, '"options" argument'],
  ];
  for (const [call, code, names] of rejected) {
    let promise;
    assert.doesNotThrow(() => { promise = call(); }, `${call}`);
    const error = await promise.then(() => null, (e) => e);
    assert.ok(error instanceof TypeError && error.code === code && error.message.includes(names),
      `${call}: ${error && error.code} ${error && error.message}`);
    assert.ok(!`${error.stack}`.includes(secretText), 'the key passed as text is shown in the error');
  }
});

// A program that hangs, found where programPath looks in this repository
// (NATIVE_BUILD_DIR): it writes the first bytes of a "key" and sleeps. The
// package is loaded afresh over a spawn that records each child and the
// chunks read from it, to see that the program was killed and what was read
// was zeroed.
function withHangingPrograms(body) {
  return async () => {
    const fs = require('fs');
    const os = require('os');
    const childProcess = require('child_process');
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'hanging-'));
    for (const name of ['lockscout', 'keyfetch']) {
      fs.writeFileSync(path.join(dir, name), '#!/bin/sh\nprintf partial-key\nexec sleep 60\n', { mode: 0o755 });
    }
    const children = [];
    const realSpawn = childProcess.spawn;
    const previousBuild = process.env.NATIVE_BUILD_DIR;
    const entry = require.resolve('..');
    childProcess.spawn = (...args) => {
      const child = realSpawn(...args);
      const chunks = [];
      child.stdout.on('data', (chunk) => chunks.push(chunk));
      children.push({ child, chunks });
      return child;
    };
    process.env.NATIVE_BUILD_DIR = dir;
    delete require.cache[entry];
    try {
      await body(require(entry), children);
    } finally {
      childProcess.spawn = realSpawn;
      if (previousBuild === undefined) delete process.env.NATIVE_BUILD_DIR;
      else process.env.NATIVE_BUILD_DIR = previousBuild;
      delete require.cache[entry];
      for (const { child } of children) child.kill('SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
    }
  };
}

// The run was ended: the child is gone, something was read, and it is zero.
function assertStopped({ child, chunks }, label) {
  assert.throws(() => process.kill(child.pid, 0), { code: 'ESRCH' }, `${label}: the program still runs`);
  assert.ok(chunks.length > 0, `${label}: nothing was read before the end`);
  for (const chunk of chunks) assert.ok(chunk.every((byte) => byte === 0), `${label}: a chunk kept its bytes`);
}

test('a timeout kills the program and fails the call with ETIMEDOUT', withHangingPrograms(async (lockscout, children) => {
  const calls = [
    ['probeIdentity', () => lockscout.probeIdentity(IDENTITY, { timeout: 400 })],
    ['readKey', () => lockscout.readKey(IDENTITY, { timeout: 400 })],
    ['createKey', () => lockscout.createKey(IDENTITY, Buffer.from('new key'), { timeout: 400 })],
  ];
  for (const [label, call] of calls) {
    const started = Date.now();
    const error = await call().then(() => null, (e) => e);
    assert.equal(error && error.code, 'ETIMEDOUT', `${label}: ${error}`);
    assert.ok(Date.now() - started < 10000, `${label}: the timeout did not end the wait`);
    assert.ok(!error.message.includes('partial-key'));
    assertStopped(children[children.length - 1], label);
  }
  assert.throws(() => lockscout.probeIdentitySync(IDENTITY, { timeout: 400 }), { code: 'ETIMEDOUT' });
}));

test('an abort kills the program and fails the call with AbortError; an aborted signal starts nothing',
  withHangingPrograms(async (lockscout, children) => {
    const calls = [
      ['probeIdentity', (signal) => lockscout.probeIdentity(IDENTITY, { signal })],
      ['readKey', (signal) => lockscout.readKey(IDENTITY, { signal, timeout: 60000 })],
      ['createKey', (signal) => lockscout.createKey(IDENTITY, Buffer.from('new key'), { signal })],
    ];
    for (const [label, call] of calls) {
      const controller = new AbortController();
      const reason = new Error('the user closed the window');
      const pending = call(controller.signal).then(() => null, (e) => e);
      setTimeout(() => controller.abort(reason), 400);
      const error = await pending;
      assert.ok(error, `${label} settled without an error`);
      assert.deepEqual([error.name, error.code, error.cause], ['AbortError', 'ABORT_ERR', reason], label);
      assertStopped(children[children.length - 1], label);

      const before = children.length;
      const early = await call(AbortSignal.abort()).then(() => null, (e) => e);
      assert.equal(early && early.code, 'ABORT_ERR', label);
      assert.equal(children.length, before, `${label}: a program was started for an aborted signal`);
    }
  }));
