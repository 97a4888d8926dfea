'use strict';
// A few worker threads that run a package's synchronous calls, so that a
// call which waits on the disk or the process table does not freeze the
// calling thread (an Electron main process, whose window stops painting
// for as long as a call takes). Each worker loads the package once and
// runs one call at a time; calls beyond the workers wait in one queue, so a
// slow call never holds up others behind it. Each package that has a
// promise form ships alone, so each gets its own copy of this one file
// (scripts/setup.sh copies it in; the copies are not kept in git).
const fs = require('fs');
const os = require('os');
const { Worker } = require('worker_threads');

// Started by source rather than by file name: a worker's main file must be
// a real file, while the package may sit inside an Electron application's
// app.asar, where require still finds this file.
const WORKER_SOURCE = `const { parentPort, workerData } = require('worker_threads');
require(workerData.pool).serve(parentPort, require(workerData.module));`;

// Where the packager unpacked the package beside app.asar (asarUnpack),
// the worker loads the unpacked copy, which needs no archive support.
function unpacked(file) {
  const copy = file.replace(/([\\/])app\.asar([\\/])/, '$1app.asar.unpacked$2');
  return copy !== file && fs.existsSync(copy) ? copy : file;
}

function defaultSize() {
  const cores = typeof os.availableParallelism === 'function' ? os.availableParallelism() : os.cpus().length;
  return Math.max(1, Math.min(4, cores));
}

// What crosses back to the calling thread of an error: its class, message
// and own properties (code, and errno, syscall and path for a file-system
// error). Structured cloning of an error keeps only message and stack.
function describe(error) {
  if (!(error instanceof Error)) return { name: 'Error', message: String(error), properties: {} };
  return { name: error.name, message: error.message, properties: { ...error } };
}

const ERROR_CLASSES = { TypeError, RangeError };

function rebuild({ name, message, properties }) {
  const error = new (ERROR_CLASSES[name] || Error)(message);
  return Object.assign(error, properties);
}

// Runs in each worker: one call per message, one reply per call.
function serve(port, functions) {
  port.on('message', ({ name, args }) => {
    let reply;
    try {
      reply = { value: functions[name](...args) };
    } catch (error) {
      reply = { error: describe(error) };
    }
    port.postMessage(reply);
  });
}

function exitedError(code, cause) {
  const error = new Error('The worker thread running the call stopped before the call returned.');
  error.code = 'ERR_WORKER_EXITED';
  error.exitCode = code;
  if (cause !== undefined) error.cause = cause;
  return error;
}

// A pool over the module at `modulePath` (an absolute path), whose
// exported functions `run(name, args)` calls on a worker and whose result
// or thrown error the returned promise settles with. Workers start on
// demand, up to `size`; an idle worker is unref'd, so that it never keeps
// the process alive once the application's own work is done.
function createPool(modulePath, size = defaultSize()) {
  const idle = [];
  const queue = [];
  let running = 0;

  function start() {
    const worker = new Worker(WORKER_SOURCE, {
      eval: true,
      workerData: { pool: unpacked(__filename), module: unpacked(modulePath) },
    });
    running += 1;
    let failure;
    const handle = {
      job: null,
      take(next) {
        worker.postMessage({ name: next.name, args: next.args });
        handle.job = next;
        worker.ref();
      },
    };
    worker.on('message', (reply) => {
      const done = handle.job;
      handle.job = null;
      worker.unref();
      idle.push(handle);
      if ('error' in reply) done.reject(rebuild(reply.error));
      else done.resolve(reply.value);
      dispatch();
    });
    worker.on('error', (error) => { failure = error; });
    // A worker that ends (process.exit in a call, an uncaught error, out of
    // memory) settles the call it held and is replaced when work waits.
    worker.on('exit', (code) => {
      running -= 1;
      const index = idle.indexOf(handle);
      if (index !== -1) idle.splice(index, 1);
      if (handle.job !== null) handle.job.reject(exitedError(code, failure));
      handle.job = null;
      dispatch();
    });
    worker.unref();
    return handle;
  }

  function dispatch() {
    while (queue.length > 0) {
      if (idle.length === 0 && running < size) idle.push(start());
      if (idle.length === 0) return;
      const handle = idle.pop();
      const next = queue.shift();
      try {
        handle.take(next);
      } catch (error) {
        idle.push(handle);
        // postMessage could not clone an argument (a function, a symbol).
        // No such value is a valid argument of any of these calls, so the
        // synchronous call refuses it before any work: make it here, to
        // reject with exactly its error.
        if (error.name === 'DataCloneError') callHere(next);
        else next.reject(error);
      }
    }
  }

  function callHere({ name, args, resolve, reject }) {
    try {
      resolve(require(modulePath)[name](...args));
    } catch (error) {
      reject(error);
    }
  }

  function run(name, args) {
    return new Promise((resolve, reject) => {
      queue.push({ name, args, resolve, reject });
      dispatch();
    });
  }

  return { run };
}

module.exports = { createPool, serve };
