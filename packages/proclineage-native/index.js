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

// The package installs everywhere node runs (an Electron application is
// also developed on Windows and on Linux for Arm), and there it has no
// build: loading it must not fail, or the application cannot start on that
// system at all. Each add-on call throws "ENOTSUP" with the reason, as the
// keychain package's calls do.
const ADDON_FUNCTIONS = ['getDarwinProcess', 'getDarwinProcessArguments', 'getDarwinEnvironmentValue', 'listDarwinProcesses'];

function unsupported(failure) {
  const refuse = () => {
    const error = new Error(`proclineage has no build for ${process.platform}-${process.arch}: the package ships `
      + 'it for darwin-x64, darwin-arm64 and linux-x64 only', { cause: failure });
    error.code = 'ENOTSUP';
    throw error;
  };
  return Object.fromEntries(ADDON_FUNCTIONS.map((name) => [name, refuse]));
}

function load() {
  const development = repositoryBuild(process.env.NATIVE_BUILD_DIR || 'build');
  if (development) return require(development);
  let file;
  try {
    file = nodeGypBuild.resolve(__dirname);
  } catch (failure) {
    return unsupported(failure);
  }
  return require(file);
}

const addon = load();

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
