'use strict';
// The promise form answers as the synchronous calls do, from a worker
// thread of the same process.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const proclineage = require('..');
const promises = require('../promises.js');

test('every call resolves with the answer of its synchronous form', async () => {
  const self = process.pid;
  const cases = [
    ['getDarwinProcess', [self]], ['getDarwinProcess', [0]], ['getDarwinProcess', ['1']], ['getDarwinProcess', [self, 1]],
    ['getDarwinProcess', [() => self]],
    ['getDarwinProcessArguments', [self]], ['getDarwinProcessArguments', [-1]],
    ['getDarwinEnvironmentValue', [self, 'PATH']], ['getDarwinEnvironmentValue', [self, 'NOT_SET_HERE_EVER']],
    ['getDarwinEnvironmentValue', [self, '']], ['getDarwinEnvironmentValue', [self]],
  ];
  for (const [name, args] of cases) {
    assert.deepEqual(await promises[name](...args), proclineage[name](...args), `${name}(${args.map(String)})`);
  }
  // The table changes between two listings; this process and its place in
  // it do not.
  const [listed, expected] = [await promises.listDarwinProcesses(() => {}), proclineage.listDarwinProcesses()];
  assert.equal(typeof listed.complete, 'boolean');
  const own = (list) => list.processes.find((p) => p.pid === self);
  assert.deepEqual(own(listed), own(expected));
  assert.ok(own(expected) !== undefined || proclineage.getDarwinProcess(self) === null);
  assert.equal(proclineage.promises, promises);
  assert.deepEqual(Object.keys(promises), Object.keys(proclineage).filter((key) => key !== 'promises'));
});
