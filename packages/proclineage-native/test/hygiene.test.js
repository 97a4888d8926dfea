'use strict';
// Every function opens and frees only for the length of one call: the
// descriptor count and the heap are where they were after many calls.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { buildDir, openDescriptorCount } = require('../../../test/support/native');
const { proclineage, withWaiter, unusedPid } = require('./helpers');

// The calls of one round, as argument lists: a live child, a pid not in use.
const rounds = {
  getDarwinProcess: (pid, gone) => [[pid], [gone]],
  getDarwinProcessArguments: (pid, gone) => [[pid], [gone]],
  getDarwinEnvironmentValue: (pid, gone) => [[pid, 'KEY'], [pid, 'ABSENT'], [gone, 'KEY']],
  listDarwinProcesses: () => [[]],
};

for (const [name, callsOf] of Object.entries(rounds)) {
  test(`${name} leaves no descriptor open`, async () => {
    await withWaiter([], { env: { KEY: 'v' } }, (pid) => {
      const calls = callsOf(pid, unusedPid());
      const round = () => calls.forEach((args) => proclineage[name](...args));
      round(); // first use may open what node keeps (none expected)
      const before = openDescriptorCount();
      const times = name === 'listDarwinProcesses' ? 200 : 2000;
      for (let i = 0; i < times; i += 1) round();
      assert.equal(openDescriptorCount(), before);
    });
  });
}

// Heap in use, as the allocator counts it under the sanitizers, else the
// resident size. Under AddressSanitizer freed blocks sit in a quarantine of
// up to 256 MiB, so resident size grows there whatever the add-on does.
const { liveBytes } = require(path.join(buildDir, 'test-support', 'allocstats.node'));
const heapMeasure = liveBytes() === null
  ? { name: 'rss', read: () => process.memoryUsage().rss }
  : { name: 'live heap', read: liveBytes };

test('the argument buffers are freed: memory stays flat over many reads', async () => {
  // A leaked area would cost its full size per call; 4000 reads of a
  // process with a 64 KiB environment would leak 250 MiB.
  const big = 'x'.repeat(64 * 1024);
  await withWaiter([], { env: { BIG: big } }, (pid) => {
    for (let i = 0; i < 200; i += 1) proclineage.getDarwinProcessArguments(pid);
    global.gc?.();
    const before = heapMeasure.read();
    for (let i = 0; i < 2000; i += 1) {
      proclineage.getDarwinProcessArguments(pid);
      assert.equal(proclineage.getDarwinEnvironmentValue(pid, 'BIG').length, big.length);
    }
    const grown = heapMeasure.read() - before;
    assert.ok(grown < 64 * 1024 * 1024, `${heapMeasure.name} grew by ${grown} bytes`);
  });
});
