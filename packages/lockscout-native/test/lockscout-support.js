'use strict';
// Shared by the lockscout suites: a throwaway HOME with keychains set up
// through the security tool (macOS's syntax, so the suites can run against a
// real keychain too), and lockscout runs that check what every run must
// give: one JSON line ending in a single "\n", nothing on standard error,
// exit status 0.
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');

const IDENTITY = 'Velkor Atlas';
const SERVICE = `${IDENTITY} Safe Storage`;
const ACCOUNT = `${IDENTITY} Key`;

function environment(home) {
  return { ...process.env, HOME: home };
}

function security(home, args) {
  return spawnSync(deliverable('security'), args, { env: environment(home), encoding: 'utf8' });
}

function mustSecurity(home, args) {
  const result = security(home, args);
  assert.equal(result.status, 0, `security ${args.join(' ')}: ${result.stderr}`);
  return result;
}

function keychainPath(home, name) {
  return path.join(home, 'Library', 'Keychains', name);
}

// A new HOME whose user search list holds the given keychains in order; the
// first is the default keychain.
function makeHome(keychains = ['login.keychain']) {
  const home = makeTempDir('lockscout-home-');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  for (const keychain of keychains) {
    mustSecurity(home, ['create-keychain', '-p', 'pw', keychain]);
  }
  mustSecurity(home, ['list-keychains', '-d', 'user', '-s', ...keychains]);
  if (keychains.length > 0) mustSecurity(home, ['default-keychain', '-s', keychains[0]]);
  return home;
}

function removeHome(home) {
  fs.rmSync(home, { recursive: true, force: true });
}

// Runs fn in a new HOME (see makeHome) and removes the HOME afterwards,
// however fn ends: by returning, by throwing, or by a promise that settles.
async function withHome(keychains, fn) {
  const home = makeHome(keychains);
  try {
    return await fn(home);
  } finally {
    removeHome(home);
  }
}

function addItem(home, keychain, { service = SERVICE, account = ACCOUNT, password = 'secret' } = {}) {
  mustSecurity(home, ['add-generic-password', '-s', service, '-a', account, '-w', password, keychain]);
}

// Runs lockscout with the given argument list and returns its parsed line.
function lockscout(home, args) {
  const result = spawnSync(deliverable('lockscout'), args, {
    env: environment(home),
    encoding: 'utf8',
  });
  assert.equal(result.signal, null, `lockscout died by ${result.signal}: ${result.stderr}`);
  assert.equal(result.status, 0);
  assert.equal(result.stderr, '');
  assert.ok(result.stdout.endsWith('}\n'), JSON.stringify(result.stdout));
  assert.equal(result.stdout.indexOf('\n'), result.stdout.length - 1, 'more than one line');
  assert.equal(result.stdout.indexOf('\r'), -1);
  const line = result.stdout.slice(0, -1);
  const report = JSON.parse(line);
  // No white space and nothing escaped: the compact form of its own value.
  assert.equal(JSON.stringify(report), line);
  return { line, report };
}

function probe(home, identity = IDENTITY) {
  return lockscout(home, [identity]).report;
}

// The report as an ordered list of [member, value] pairs.
function members(report) {
  return Object.entries(report);
}

module.exports = {
  IDENTITY, SERVICE, ACCOUNT,
  security, mustSecurity, keychainPath, makeHome, removeHome, withHome, addItem, lockscout, probe,
  members,
};
