'use strict';
// Finds and loads a package's add-on. An installed package carries it as
// prebuilds/<platform>-<arch>/<name>.node beside this file, and that file
// is the only one it loads: no environment variable, working directory or
// file beside the node executable can choose other native code, which
// would run with everything the application may do (its keychain access
// included). Inside this repository the development build always wins:
// NATIVE_BUILD_DIR when it names one (the test runs select build/ or the
// sanitizer build that way), else build/; a prebuilds/ directory left from
// an earlier "npm run prebuilds" would otherwise shadow every fresh build.
// Each package that has an add-on ships its own copy of this one file
// (scripts/setup.sh copies it in; the copies are not kept in git).
const fs = require('fs');
const path = require('path');

// A package directory counts as this repository's only where it is
// packages/<dir> of a checkout, never inside node_modules.
function repositoryBuild(packageDir, file) {
  const repo = path.resolve(packageDir, '..', '..');
  if (path.basename(path.dirname(packageDir)) !== 'packages'
      || !fs.existsSync(path.join(repo, 'CMakeLists.txt'))) {
    return null;
  }
  const candidate = path.resolve(repo, process.env.NATIVE_BUILD_DIR || 'build', file);
  return fs.existsSync(candidate) ? candidate : null;
}

// The package installs everywhere node runs (an Electron application is
// also developed on Windows and on Linux for Arm), and there it has no
// build: loading it must not fail, or the application cannot start on that
// system at all. Each add-on call throws "ENOTSUP" with the reason, as the
// keychain package's calls do.
function unsupported(packageName, functions, target, cause) {
  const refuse = () => {
    const error = new Error(`${packageName} has no build for ${target}: the package ships `
      + 'it for darwin-x64, darwin-arm64 and linux-x64 only', { cause });
    error.code = 'ENOTSUP';
    throw error;
  };
  return Object.fromEntries(functions.map((name) => [name, refuse]));
}

function loadAddon(packageDir, packageName, functions) {
  const file = `${packageName}.node`;
  const development = repositoryBuild(packageDir, file);
  if (development) return require(development);
  const target = `${process.platform}-${process.arch}`;
  const shipped = path.join(packageDir, 'prebuilds', target, file);
  if (!fs.existsSync(shipped)) {
    return unsupported(packageName, functions, target, new Error(`${shipped} does not exist`));
  }
  try {
    return require(shipped);
  } catch (failure) {
    // A build the system cannot load is no build for it: the linux-x64
    // file needs glibc, so a musl system (Alpine) refuses it here.
    if (failure.code !== 'ERR_DLOPEN_FAILED') throw failure;
    return unsupported(packageName, functions, target, failure);
  }
}

module.exports = { loadAddon };
