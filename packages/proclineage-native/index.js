'use strict';
// Loads the proclineage add-on. An installed package carries it as
// prebuilds/<platform>-<arch>/proclineage.node, found by node-gyp-build. Inside
// this repository the development build always wins: NATIVE_BUILD_DIR when
// it names one (the test runs select build/ or the sanitizer build that
// way), else build/; a prebuilds/ directory left from an earlier
// "npm run prebuilds" would otherwise shadow every fresh build. Outside the
// repository no environment variable can choose which native code is
// loaded.
const fs = require('fs');
const path = require('path');
const nodeGypBuild = require('node-gyp-build');

const NAME = 'proclineage.node';

function repositoryBuild(buildDir) {
  const repo = path.resolve(__dirname, '..', '..');
  if (path.basename(path.dirname(__dirname)) !== 'packages'
      || !fs.existsSync(path.join(repo, 'CMakeLists.txt'))) {
    return null;
  }
  const candidate = path.resolve(repo, buildDir, NAME);
  return fs.existsSync(candidate) ? candidate : null;
}

function locate() {
  const development = repositoryBuild(process.env.NATIVE_BUILD_DIR || 'build');
  return development || nodeGypBuild.resolve(__dirname);
}

const addon = require(locate());

// An object of the package's own, so that the promise form below is no
// property of the add-on's exports, which a second loader would share.
module.exports = {
  getDarwinProcess: addon.getDarwinProcess,
  getDarwinProcessArguments: addon.getDarwinProcessArguments,
  getDarwinEnvironmentValue: addon.getDarwinEnvironmentValue,
  listDarwinProcesses: addon.listDarwinProcesses,
};

// The promise form (./promises), loaded when first asked for: it loads this
// file itself.
Object.defineProperty(module.exports, 'promises', {
  enumerable: true,
  get: () => require('./promises.js'),
});
