'use strict';
// The promise form of the four process functions, under the same names:
// each runs its synchronous form on a worker thread and settles with its
// answer. A listing of a few hundred processes takes milliseconds, which
// on the script thread of an Electron main process is a dropped frame.
const path = require('path');
const { createPool } = require('./worker-pool.js');

const pool = createPool(path.join(__dirname, 'index.js'));

module.exports = {
  getDarwinProcess: (...args) => pool.run('getDarwinProcess', args),
  getDarwinProcessArguments: (...args) => pool.run('getDarwinProcessArguments', args),
  getDarwinEnvironmentValue: (...args) => pool.run('getDarwinEnvironmentValue', args),
  // The listing ignores its arguments: none cross, so that no value that
  // cannot be cloned sends it to the calling thread.
  listDarwinProcesses: () => pool.run('listDarwinProcesses', []),
};
