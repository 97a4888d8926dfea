'use strict';
// Locates the keychain programs and runs them for a caller that wants
// their answers as values. An installed package carries them in
// prebuilds/<platform>-<arch>/ for macOS only: on other systems the
// keychain exists only as this repository's test stand-in, which is never
// shipped. Inside this repository NATIVE_BUILD_DIR (or else build/) gives
// the development builds, which win over any prebuilds/ copy.
const fs = require('fs');
const path = require('path');
const util = require('util');
const { spawn, spawnSync } = require('child_process');

const PROGRAMS = ['lockscout', 'keyfetch', 'keyvet'];
const KEY_COMMANDS = ['read-key', 'create-key'];
// setTimeout's largest delay; a longer one would fire at once.
const MAX_TIMEOUT_MS = 2 ** 31 - 1;

// Argument errors as Node's own modules make them: a TypeError whose code
// says whether the type or the value is wrong, and which names the
// argument. A value is shown only where it cannot be a secret: the type
// error of createKey's bytes must not echo a key passed as text.
function argumentKind(name) {
  return name.includes('.') ? 'property' : 'argument';
}

function received(value) {
  if (value === null || value === undefined) return `Received ${value}`;
  if (typeof value === 'function') return `Received function ${value.name || '<anonymous>'}`;
  if (typeof value === 'object') {
    return `Received an instance of ${(value.constructor && value.constructor.name) || 'Object'}`;
  }
  return `Received type ${typeof value}`;
}

function invalidArgType(name, expected, value) {
  const error = new TypeError(`The "${name}" ${argumentKind(name)} must be ${expected}. ${received(value)}`);
  error.code = 'ERR_INVALID_ARG_TYPE';
  return error;
}

function invalidArgValue(name, value, reason) {
  const error = new TypeError(`The ${argumentKind(name)} '${name}' ${reason}. Received ${util.inspect(value)}`);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

function checkString(value, name) {
  if (typeof value !== 'string') throw invalidArgType(name, 'of type string', value);
}

// An options argument: left out, or an object (not null).
function checkOptions(options, name = 'options') {
  if (options !== undefined && (options === null || typeof options !== 'object')) {
    throw invalidArgType(name, 'of type object', options);
  }
  return options || {};
}

// The options of a program run: env (an object), timeout (milliseconds;
// 0 or left out for none) and, where the call does not block, signal.
function checkRunOptions(options, { withSignal }) {
  const checked = checkOptions(options);
  const { env, timeout, signal } = checked;
  if (env !== undefined && (env === null || typeof env !== 'object')) {
    throw invalidArgType('options.env', 'of type object', env);
  }
  if (timeout !== undefined) {
    if (typeof timeout !== 'number') throw invalidArgType('options.timeout', 'of type number', timeout);
    if (!Number.isInteger(timeout) || timeout < 0 || timeout > MAX_TIMEOUT_MS) {
      throw invalidArgValue('options.timeout', timeout, `must be an integer from 0 to ${MAX_TIMEOUT_MS} (milliseconds)`);
    }
  }
  if (withSignal && signal !== undefined && !(signal instanceof AbortSignal)) {
    throw invalidArgType('options.signal', 'an instance of AbortSignal', signal);
  }
  return { env: env || process.env, timeout: timeout || 0, signal: withSignal ? signal : undefined };
}

// Electron cannot start a program stored inside an asar archive; packagers
// put such files in app.asar.unpacked beside it (asarUnpack), so every path
// handed out points there instead.
function unpackedPath(file) {
  checkString(file, 'file');
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

function programPath(name, options) {
  checkString(name, 'name');
  if (!PROGRAMS.includes(name)) {
    throw invalidArgValue('name', name, `must be one of: ${PROGRAMS.map((p) => `'${p}'`).join(', ')}`);
  }
  const { platform = process.platform, arch = process.arch, dir = __dirname } = checkOptions(options);
  checkString(platform, 'options.platform');
  checkString(arch, 'options.arch');
  checkString(dir, 'options.dir');
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

function timedOut(what, timeout) {
  const error = new Error(`${what} timed out after ${timeout} ms`);
  error.code = 'ETIMEDOUT';
  return error;
}

// As Node's own: name "AbortError", code "ABORT_ERR", the signal's reason
// as its cause.
function aborted(signal) {
  const error = new Error('The operation was aborted', { cause: signal.reason });
  error.name = 'AbortError';
  error.code = 'ABORT_ERR';
  return error;
}

// Starts `file` with `args`, writes `input` to its standard input and
// closes it (the programs read it to its end, so one left open would wait
// for ever), and collects its standard output as Buffer chunks. Settles
// once the program has exited and its output is closed: with
// { status, signal, chunks }, or, when the timeout expires or the signal
// aborts first, by rejecting with an "ETIMEDOUT" or "ABORT_ERR" error after
// killing the program (SIGKILL: a program that hangs in the keychain may
// not heed anything milder). On every rejection the chunks read so far are
// zeroed first; on success they are the caller's to zero.
function runProgram(what, file, args, input, { env, timeout, signal }) {
  return new Promise((resolve, reject) => {
    if (signal && signal.aborted) {
      reject(aborted(signal));
      return;
    }
    let child;
    try {
      child = spawn(file, args, { stdio: ['pipe', 'pipe', 'ignore'], env });
    } catch (error) {
      reject(error);
      return;
    }
    const chunks = [];
    let stopped = null;
    const stop = (reason) => {
      if (stopped === null) {
        stopped = reason;
        child.kill('SIGKILL');
      }
    };
    const timer = timeout > 0 ? setTimeout(() => stop(timedOut(what, timeout)), timeout) : null;
    const onAbort = () => stop(aborted(signal));
    if (signal) signal.addEventListener('abort', onAbort, { once: true });
    const finish = () => {
      if (timer) clearTimeout(timer);
      if (signal) signal.removeEventListener('abort', onAbort);
    };
    child.stdout.on('data', (chunk) => chunks.push(chunk));
    child.stdin.on('error', () => {}); // the program refused early; its status says why
    child.on('error', (error) => {
      // Not started (ENOENT, EACCES): the system's error is the answer;
      // the 'close' that follows finds the promise settled.
      finish();
      for (const chunk of chunks) chunk.fill(0);
      reject(error);
    });
    child.on('close', (status, exitSignal) => {
      finish();
      if (stopped !== null) {
        for (const chunk of chunks) chunk.fill(0);
        reject(stopped);
        return;
      }
      resolve({ status, signal: exitSignal, chunks });
    });
    child.stdin.end(input);
  });
}

// Runs lockscout once without blocking the script thread.
function probeIdentity(identity, options) {
  let run;
  try {
    checkString(identity, 'identity');
    run = checkRunOptions(options, { withSignal: true });
  } catch (error) {
    return Promise.reject(error);
  }
  return Promise.resolve()
    .then(() => runProgram('lockscout', programPath('lockscout'), [identity], '', run))
    .then(({ status, signal, chunks }) => reportOf(Buffer.concat(chunks).toString('utf8'), status, signal));
}

// The same, blocking the script thread until lockscout exits (or the
// timeout kills it).
function probeIdentitySync(identity, options) {
  checkString(identity, 'identity');
  const { env, timeout } = checkRunOptions(options, { withSignal: false });
  const result = spawnSync(programPath('lockscout'), [identity], {
    encoding: 'utf8', input: '', env, timeout, killSignal: 'SIGKILL',
  });
  if (result.error && result.error.code === 'ETIMEDOUT') {
    throw timedOut('lockscout', timeout);
  }
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

// Runs keyfetch and resolves with the key's bytes. Nothing keyfetch
// printed and none of the bytes passed in ever goes into an error, so a
// key cannot reach a log through a rejected promise. The key is copied
// once, from the chunks read into a Buffer of its own (not a slice of
// Node's shared pool, which would outlive it), and every chunk is zeroed,
// whatever the outcome.
function runKeyfetch(command, identity, input, run) {
  return Promise.resolve()
    .then(() => runProgram(`keyfetch ${command}`, programPath('keyfetch'), [command, identity], input, run))
    .then(({ status, signal, chunks }) => {
      let key = null;
      if (status === 0) {
        key = Buffer.alloc(chunks.reduce((total, chunk) => total + chunk.length, 0));
        let at = 0;
        for (const chunk of chunks) at += chunk.copy(key, at);
      }
      for (const chunk of chunks) chunk.fill(0);
      if (key === null) throw keyError(command, status, signal);
      return key;
    });
}

function readKey(identity, options) {
  try {
    checkString(identity, 'identity');
    return runKeyfetch(KEY_COMMANDS[0], identity, Buffer.alloc(0), checkRunOptions(options, { withSignal: true }));
  } catch (error) {
    return Promise.reject(error);
  }
}

// Stores `bytes` (1 to 1024) as the key unless one exists, and resolves
// with the key that is stored afterwards.
function createKey(identity, bytes, options) {
  try {
    checkString(identity, 'identity');
    if (!(bytes instanceof Uint8Array)) {
      throw invalidArgType('bytes', 'an instance of Buffer or Uint8Array', bytes);
    }
    return runKeyfetch(KEY_COMMANDS[1], identity, bytes, checkRunOptions(options, { withSignal: true }));
  } catch (error) {
    return Promise.reject(error);
  }
}

module.exports = {
  programPath, unpackedPath, probeIdentity, probeIdentitySync, readKey, createKey,
};
