'use strict';
// The promise form of every anchorfile function, under the same name. The
// calls that touch the file system run their synchronous form on a worker
// thread (each removal waits for about eight syncs; on the script thread
// of an Electron main process that is a frozen window) and settle with its
// result, or reject with the error it throws: the same class, message and
// code. The name functions do no file-system work and are the same
// functions as the synchronous ones.
const path = require('path');
const anchorfile = require('./index.js');
const checks = require('./arguments.js');
const { createPool } = require('./worker-pool.js');

// Those that touch the file system; every other export names things.
const ON_WORKER = new Set([
  'publishNoReplace', 'inspectPath', 'removeAnchoredFile', 'recoverAnchoredRemoval',
  'recoverListedQuarantine', 'directoryIdentity', 'fileIdentity',
]);

const pool = createPool(path.join(__dirname, 'index.js'));
const promises = {};
function onWorker(name) {
  const check = checks[name] || (() => {});
  return { [name]: (...args) => new Promise((resolve) => {
    check(...args);
    resolve(pool.run(name, args));
  }) }[name];
}

for (const name of Object.keys(anchorfile).filter((key) => key !== 'promises')) {
  promises[name] = ON_WORKER.has(name) ? onWorker(name) : anchorfile[name];
}

module.exports = promises;
