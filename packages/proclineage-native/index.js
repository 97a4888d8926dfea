'use strict';
// Loads the proclineage add-on: the build of this repository inside it, else the
// package's own prebuilds/<platform>-<arch>/proclineage.node; where the package
// has no build, each add-on call throws "ENOTSUP" (./load-addon.js).
const { loadAddon } = require('./load-addon.js');

const addon = loadAddon(__dirname, 'proclineage', ['getDarwinProcess', 'getDarwinProcessArguments', 'getDarwinEnvironmentValue', 'listDarwinProcesses']);

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
