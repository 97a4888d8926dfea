'use strict';
// `npm start` runs the tour; it must go through to the end on every
// checkout, through the packages, and show the answers it explains.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./support/native');

test('the tour runs to its end and shows what it explains', () => {
  const result = spawnSync(process.execPath, [path.join(root, 'tour', 'index.js')], { encoding: 'utf8', cwd: root });
  assert.equal(result.status, 0, result.stderr);
  assert.equal(result.stderr, '');
  for (const shown of [
    /removeAnchoredFile\(".*", "content\/blobs\/ab", "ab[0-9a-f]{62}\.[-0-9a-f]{36}\.tmp", (\d+n, ){6}"\.publication-recovery-[-0-9a-f]{36}"\): ok/,
    /recoverAnchoredRemoval\(".*", "a", "\.content-recovery-[0-9a-f]{64}", \d+n, \d+n, "x"\): ok/,
    /"status":"access-blocked","reason":"keychain-locked"/,
    /readKey\("velkor atlas"\): rejected: "keyfetch read-key failed with status 1" \(code 1\)/,
    /"status":"unsupported"/,
  ]) {
    assert.match(result.stdout, shown);
  }
  // The tree is drawn only where the tour can read its own process (see
  // the proclineage notes on PID namespaces); then it holds the children.
  if (/<- this tour/.test(result.stdout)) assert.match(result.stdout, /└─ \d+  sleep 30/);
});
