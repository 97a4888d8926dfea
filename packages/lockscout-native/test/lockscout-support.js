'use strict';
// Shared by the lockscout suites: a throwaway HOME with keychains (see
// keychain-home.js), and lockscout runs that check what every run must
// give: one JSON line ending in a single "\n", nothing on standard error,
// exit status 0.
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const { deliverable } = require('../../../test/support/native');
const {
  IDENTITY, SERVICE, ACCOUNT, homeEnvironment, security, mustSecurity, keychainPath,
  makeKeychainHome, removeHome,
} = require('./keychain-home');

// A new HOME whose user search list holds the given keychains in order; the
// first is the default keychain.
function makeHome(keychains = ['login.keychain']) {
  return makeKeychainHome('lockscout-home-', keychains, keychains[0]);
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
    env: homeEnvironment(home),
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
