'use strict';
// Locates the keychain programs (the copies shipped beside this file when
// the package is installed, else the ones the repository's build produced)
// and runs lockscout for a caller that wants its answer as an object.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const PROGRAMS = ['lockscout', 'keyfetch', 'keyvet'];

function programPath(name) {
  if (!PROGRAMS.includes(name)) {
    throw new Error(`unknown program "${name}"`);
  }
  const candidates = [
    path.join(__dirname, name),
    path.resolve(__dirname, '..', '..', process.env.NATIVE_BUILD_DIR || 'build', name),
  ];
  const found = candidates.find((candidate) => fs.existsSync(candidate));
  if (!found) {
    throw new Error(`${name} is not built: run "npm run build" at the repository root`);
  }
  return found;
}

// Runs lockscout once and returns its report. lockscout puts every outcome
// in its line and always exits 0; anything else means it did not run.
function probeIdentity(identity, options = {}) {
  const result = spawnSync(programPath('lockscout'), [identity], {
    encoding: 'utf8',
    env: options.env || process.env,
  });
  if (result.error) {
    throw result.error;
  }
  if (result.status !== 0 || !result.stdout.endsWith('\n')) {
    throw new Error(`lockscout failed (status ${result.status}, signal ${result.signal})`);
  }
  return JSON.parse(result.stdout);
}

module.exports = { programPath, probeIdentity };
