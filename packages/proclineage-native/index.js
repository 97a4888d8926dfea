'use strict';
// Loads the proclineage add-on: the copy shipped beside this file when the
// package is installed, else the one the repository's build produced.
const fs = require('fs');
const path = require('path');

function locate(name) {
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

module.exports = require(locate('proclineage.node'));
