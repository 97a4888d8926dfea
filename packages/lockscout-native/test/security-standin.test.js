'use strict';
// The keychain stand-in seen through the security tool: the macOS tool's
// output and exit codes, keychains under $HOME/Library/Keychains, lock
// state and passwords, binary secrets, and atomic adds between processes.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { deliverable } = require('../../../test/support/native');
const {
  SERVICE, ACCOUNT, security, mustSecurity, keychainPath, withHome,
} = require('./lockscout-support');

function failsWith(result, status) {
  assert.equal(result.status, status, result.stderr);
  assert.equal(result.stderr.split('\n').length, 2, 'one line on standard error');
  assert.match(result.stderr, /^security: /);
}

test('keychains live under $HOME/Library/Keychains and are listed quoted and indented', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    const login = keychainPath(home, 'login.keychain');
    const other = keychainPath(home, 'other.keychain');
    assert.ok(fs.statSync(login).isFile());
    assert.equal(mustSecurity(home, ['list-keychains']).stdout, `    "${login}"\n    "${other}"\n`);
    assert.equal(mustSecurity(home, ['default-keychain']).stdout, `    "${login}"\n`);
    mustSecurity(home, ['list-keychains', '-d', 'user', '-s', other, 'login.keychain']);
    assert.equal(mustSecurity(home, ['list-keychains', '-d', 'user']).stdout,
      `    "${other}"\n    "${login}"\n`);
  }));

test('exit codes: 0, 2 for usage, the status low byte otherwise', () =>
  withHome(['login.keychain'], (home) => {
    const add = ['add-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w', 'one'];
    assert.equal(security(home, add).status, 0);
    failsWith(security(home, add), 45);
    failsWith(security(home, ['find-generic-password', '-s', SERVICE, '-a', 'nobody']), 44);
    failsWith(security(home, ['create-keychain', '-p', 'pw', 'login.keychain']), 0xFFFF9D30 & 0xFF);
    failsWith(security(home, ['unlock-keychain', '-p', 'wrong', 'login.keychain']), 51);
    failsWith(security(home, ['add-generic-password', '-s', SERVICE]), 2);
    failsWith(security(home, ['no-such-verb']), 2);
    failsWith(security(home, []), 2);
    failsWith(security(home, ['add-generic-password', '-s', 'a', '-a', 'b', '-X', 'abc']), 2);
  }));

test('a locked keychain hides its items until unlocked with its password', () =>
  withHome(['login.keychain'], (home) => {
    mustSecurity(home, ['add-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w', 'pw1']);
    mustSecurity(home, ['lock-keychain', 'login.keychain']);
    // The stand-in never prompts: a lookup that reaches a locked keychain
    // fails with errSecInteractionNotAllowed (-25308, low byte 36).
    failsWith(security(home, ['find-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w']), 36);
    failsWith(security(home, ['add-generic-password', '-s', 'x', '-a', 'y', '-w', 'z']), 36);
    failsWith(security(home, ['unlock-keychain', '-p', 'nope', 'login.keychain']), 51);
    mustSecurity(home, ['unlock-keychain', '-p', 'pw', 'login.keychain']);
    assert.equal(mustSecurity(home, ['find-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w']).stdout,
      'pw1\n');
  }));

test('binary secrets are stored exactly and printed as hex', () =>
  withHome(['login.keychain'], (home) => {
    const bytes = Buffer.from([0, 10, 13, 255, 65, 0]);
    mustSecurity(home, ['add-generic-password', '-s', 's', '-a', 'a', '-X', bytes.toString('hex')]);
    assert.equal(mustSecurity(home, ['find-generic-password', '-s', 's', '-a', 'a', '-w']).stdout,
      `${bytes.toString('hex')}\n`);
    mustSecurity(home, ['add-generic-password', '-s', 's', '-a', 'empty', '-w', '']);
    assert.equal(mustSecurity(home, ['find-generic-password', '-s', 's', '-a', 'empty', '-w']).stdout, '\n');
  }));

test('find searches the named keychains only; delete removes the item', () =>
  withHome(['login.keychain', 'other.keychain'], (home) => {
    mustSecurity(home, ['add-generic-password', '-s', 's', '-a', 'a', '-w', 'v', 'other.keychain']);
    failsWith(security(home, ['find-generic-password', '-s', 's', '-a', 'a', 'login.keychain']), 44);
    const found = mustSecurity(home, ['find-generic-password', '-s', 's', '-a', 'a']).stdout;
    assert.match(found, new RegExp(`^keychain: "${keychainPath(home, 'other.keychain')}"\n`));
    mustSecurity(home, ['delete-generic-password', '-s', 's', '-a', 'a', 'other.keychain']);
    failsWith(security(home, ['find-generic-password', '-s', 's', '-a', 'a']), 44);
  }));

// The stand-in holds each add between its duplicate check and its write
// (SECURITY_STANDIN_ADD_PAUSE_MS), so the adders below overlap for sure.
function runSecurity(home, args) {
  return new Promise((resolve, reject) => {
    const env = { ...process.env, HOME: home, SECURITY_STANDIN_ADD_PAUSE_MS: '30' };
    const child = spawn(deliverable('security'), args, { env });
    child.on('error', reject);
    child.on('close', (status) => resolve(status));
  });
}

test('processes adding the same item at once leave one item and get errSecDuplicateItem', () =>
  withHome(['login.keychain'], async (home) => {
    for (let round = 0; round < 3; round++) {
      const account = `racer-${round}`;
      const statuses = await Promise.all(Array.from({ length: 6 }, (_, i) =>
        runSecurity(home, ['add-generic-password', '-s', SERVICE, '-a', account, '-w', `key-${i}`])));
      assert.deepEqual(statuses.slice().sort(), [0, 45, 45, 45, 45, 45], `round ${round}`);
      const text = fs.readFileSync(keychainPath(home, 'login.keychain'), 'latin1');
      const accountHex = Buffer.from(account).toString('hex');
      assert.equal(text.split('\n').filter((line) => line.includes(` ${accountHex} `)).length, 1);
    }
  }));

test('a keychain file made unreadable keeps its mode across changes', () =>
  withHome(['login.keychain'], (home) => {
    const file = keychainPath(home, 'login.keychain');
    fs.chmodSync(file, 0o400);
    failsWith(security(home, ['add-generic-password', '-s', 's', '-a', 'a', '-w', 'v']), 0xFFFFFFC3 & 0xFF);
    fs.chmodSync(file, 0o640);
    mustSecurity(home, ['add-generic-password', '-s', 's', '-a', 'a', '-w', 'v']);
    assert.equal(fs.statSync(file).mode & 0o777, 0o640);
    assert.ok(!fs.readdirSync(path.dirname(file)).some((name) => name.includes('.tmp.')));
  }));
