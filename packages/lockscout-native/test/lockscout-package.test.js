'use strict';
// The package entry point: program paths and probeIdentity.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { deliverable } = require('../../../test/support/native');
const { programPath, probeIdentity, probeIdentitySync } = require('..');
const { IDENTITY, ACCOUNT, withHome, addItem } = require('./lockscout-support');

test('programPath finds the built programs and refuses other names', () => {
  assert.equal(programPath('lockscout'), path.resolve(deliverable('lockscout')));
  assert.throws(() => programPath('security'), /unknown program/);
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
      [() => createKey(IDENTITY, 'not bytes', { env }), undefined],
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
