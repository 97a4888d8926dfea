'use strict';
// The argument checks of the script-side functions, made as node's modules
// make them: a value of the wrong type throws a TypeError with code
// "ERR_INVALID_ARG_TYPE" that names the argument. Without them a directory
// entry object passed as a name reads as "[object Object]", no quarantine,
// and is silently never recovered. Paths are strings, as declared. The
// promise form makes the same checks on the calling thread: a URL or a
// directory entry reaches a worker as a plain object, whose refusal would
// name the wrong type.

function received(value) {
  if (value === null || value === undefined) return `Received ${value}`;
  if (typeof value === 'function') return `Received function ${value.name || '<anonymous>'}`;
  if (typeof value === 'object') return `Received an instance of ${value.constructor?.name || 'Object'}`;
  const shown = typeof value === 'bigint' ? `${value}n` : String(value);
  return `Received type ${typeof value} (${shown.length > 28 ? `${shown.slice(0, 25)}...` : shown})`;
}

function checkString(value, name) {
  if (typeof value === 'string') return;
  const error = new TypeError(`The "${name}" argument must be of type string. ${received(value)}`);
  error.code = 'ERR_INVALID_ARG_TYPE';
  throw error;
}

module.exports = {
  contentQuarantineName: (digest) => checkString(digest, 'digest'),
  publicationTemporaryName: (digest) => checkString(digest, 'digest'),
  quarantineKind: (name) => checkString(name, 'name'),
  isPublicationTemporary: (name) => checkString(name, 'name'),
  directoryIdentity: (path) => checkString(path, 'path'),
  fileIdentity: (path) => checkString(path, 'path'),
  recoverListedQuarantine(root, parent, entry, name) {
    checkString(root, 'root');
    checkString(parent, 'parent');
    checkString(entry, 'entry');
    if (name !== undefined) checkString(name, 'name');
  },
};
