'use strict';
// Shared by the lockscout and keyfetch suites: the identity they look up, a
// throwaway HOME whose keychains are set up through the security tool
// (macOS's syntax, so the suites can run against a real keychain too), and
// runs of that tool inside it.
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');

const IDENTITY = 'Velkor Atlas';
const SERVICE = `${IDENTITY} Safe Storage`;
const ACCOUNT = `${IDENTITY} Key`;

// The environment of a program run in `home`, with the given additions.
function homeEnvironment(home, extra = {}) {
  return { ...process.env, ...extra, HOME: home };
}

function security(home, args, extra = {}) {
  return spawnSync(deliverable('security'), args, {
    env: homeEnvironment(home, extra), encoding: 'utf8',
  });
}

function mustSecurity(home, args, extra = {}) {
  const result = security(home, args, extra);
  assert.equal(result.status, 0, `security ${args.join(' ')}: ${result.stderr}`);
  return result;
}

function keychainPath(home, name) {
  return path.join(home, 'Library', 'Keychains', name);
}

// A new HOME named after `prefix`, whose user search list holds
// `keychains` in order, with `defaultKeychain` (if any) as the default.
function makeKeychainHome(prefix, keychains, defaultKeychain, extra = {}) {
  const home = makeTempDir(prefix);
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  for (const keychain of keychains) {
    mustSecurity(home, ['create-keychain', '-p', 'pw', keychain], extra);
  }
  mustSecurity(home, ['list-keychains', '-d', 'user', '-s', ...keychains], extra);
  if (defaultKeychain) mustSecurity(home, ['default-keychain', '-s', defaultKeychain], extra);
  return home;
}

function removeHome(home) {
  fs.rmSync(home, { recursive: true, force: true });
}

module.exports = {
  IDENTITY, SERVICE, ACCOUNT, homeEnvironment, security, mustSecurity, keychainPath,
  makeKeychainHome, removeHome,
};
