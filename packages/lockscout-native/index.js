'use strict';
// Locates the keychain programs and runs them for a caller that wants
// their answers as values. An installed package carries them in
// prebuilds/<platform>-<arch>/ for macOS only: on other systems the
// keychain exists only as this repository's test stand-in, which is never
// shipped. Inside this repository NATIVE_BUILD_DIR (or else build/) gives
// the development builds, which win over any prebuilds/ copy.
const fs = require('fs');
const path = require('path');
const { execFile, spawn, spawnSync } = require('child_process');

const PROGRAMS = ['lockscout', 'keyfetch', 'keyvet'];
const KEY_COMMANDS = ['read-key', 'create-key'];

// Electron cannot start a program stored inside an asar archive; packagers
// put such files in app.asar.unpacked beside it (asarUnpack), so every path
// handed out points there instead.
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar(?=[\\/]|$)/, '$1app.asar.unpacked');
}

function repositoryBuild(name) {
  const repo = path.resolve(__dirname, '..', '..');
  if (path.basename(path.dirname(__dirname)) !== 'packages'
      || !fs.existsSync(path.join(repo, 'CMakeLists.txt'))) {
    return null;
  }
  const candidate = path.resolve(repo, process.env.NATIVE_BUILD_DIR || 'build', name);
  return fs.existsSync(candidate) ? candidate : null;
}

function unsupported(name, target) {
  const error = new Error(`${name} has no build for ${target}: the keychain programs ship for macOS `
    + '(darwin-x64, darwin-arm64) only, since only macOS has the keychain they use');
  error.code = 'ENOTSUP';
  return error;
}

function programPath(name, { platform = process.platform, arch = process.arch, dir = __dirname } = {}) {
  if (!PROGRAMS.includes(name)) {
    throw new Error(`unknown program "${name}"`);
  }
  const target = `${platform}-${arch}`;
  // Inside this repository the fresh build wins over a prebuilds/ copy
  // left from an earlier run, which may be older than the sources.
  const host = platform === process.platform && arch === process.arch;
  const development = dir === __dirname && host ? repositoryBuild(name) : null;
  if (development) return unpackedPath(development);
  const shipped = path.join(dir, 'prebuilds', target, name);
  if (fs.existsSync(unpackedPath(shipped)) || fs.existsSync(shipped)) {
    return unpackedPath(shipped);
  }
  throw unsupported(name, target);
}

function reportOf(stdout, status, signal) {
  // lockscout puts every outcome in its line and always exits 0; anything
  // else means it did not run.
  if (status !== 0 || !stdout.endsWith('\n')) {
    throw new Error(`lockscout failed (status ${status}, signal ${signal})`);
  }
  return JSON.parse(stdout);
}

// Runs lockscout once without blocking the script thread.
function probeIdentity(identity, options = {}) {
  return new Promise((resolve, reject) => {
    const child = execFile(programPath('lockscout'), [identity], {
      encoding: 'utf8',
      env: options.env || process.env,
    }, (error, stdout) => {
      if (error && typeof error.code !== 'number') {
        reject(error);
        return;
      }
      try {
        resolve(reportOf(stdout, error ? error.code : 0, error ? error.signal : null));
      } catch (failure) {
        reject(failure);
      }
    });
    child.stdin.end();
  });
}

// The same, blocking the script thread until lockscout exits.
function probeIdentitySync(identity, options = {}) {
  const result = spawnSync(programPath('lockscout'), [identity], {
    encoding: 'utf8',
    input: '',
    env: options.env || process.env,
  });
  if (result.error) {
    throw result.error;
  }
  return reportOf(result.stdout, result.status, result.signal);
}

function keyError(command, status, signal) {
  const error = new Error(signal === null
    ? `keyfetch ${command} failed with status ${status}`
    : `keyfetch ${command} ended by ${signal}`);
  error.code = status === null ? signal : status;
  return error;
}

// Runs keyfetch and resolves with the key's bytes. Its standard input is
// always closed: keyfetch reads it to its end for both commands, and a
// child whose input stays open waits for ever. Nothing keyfetch printed
// and none of the bytes passed in ever goes into an error, so a key cannot
// reach a log through a rejected promise; the chunks read are zeroed once
// copied into the one buffer handed back.
function runKeyfetch(command, identity, input, options) {
  return new Promise((resolve, reject) => {
    let child;
    try {
      child = spawn(programPath('keyfetch'), [command, identity], {
        stdio: ['pipe', 'pipe', 'ignore'],
        env: options.env || process.env,
      });
    } catch (error) {
      reject(error);
      return;
    }
    const chunks = [];
    child.stdout.on('data', (chunk) => chunks.push(chunk));
    child.stdin.on('error', () => {}); // keyfetch refused early; its status says why
    child.on('error', reject);
    child.on('close', (status, signal) => {
      const key = status === 0 ? Buffer.concat(chunks) : null;
      for (const chunk of chunks) chunk.fill(0);
      if (key) resolve(key);
      else reject(keyError(command, status, signal));
    });
    child.stdin.end(input);
  });
}

function readKey(identity, options = {}) {
  return runKeyfetch(KEY_COMMANDS[0], identity, Buffer.alloc(0), options);
}

// Stores `bytes` (1 to 1024) as the key unless one exists, and resolves
// with the key that is stored afterwards.
function createKey(identity, bytes, options = {}) {
  if (!(bytes instanceof Uint8Array)) {
    return Promise.reject(new TypeError('createKey: the key must be a Buffer or Uint8Array'));
  }
  return runKeyfetch(KEY_COMMANDS[1], identity, bytes, options);
}

module.exports = {
  programPath, unpackedPath, probeIdentity, probeIdentitySync, readKey, createKey,
};
