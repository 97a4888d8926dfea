'use strict';
// Loads the proclineage add-on. An installed package carries it as
// prebuilds/<platform>-<arch>/proclineage.node, found by node-gyp-build. Inside
// this repository a development build wins when NATIVE_BUILD_DIR names one
// (the test runs select build/ or the sanitizer build that way), and build/
// is the fallback when no prebuild was made. Outside the repository no
// environment variable can choose which native code is loaded.
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
  const chosen = process.env.NATIVE_BUILD_DIR && repositoryBuild(process.env.NATIVE_BUILD_DIR);
  if (chosen) return chosen;
  try {
    return nodeGypBuild.resolve(__dirname);
  } catch (error) {
    const fallback = repositoryBuild('build');
    if (fallback) return fallback;
    throw error;
  }
}

module.exports = require(locate());
