'use strict';
// Every benchmark run once at its smallest size, so that none can rot
// unnoticed: one that throws, or exits with a failure, fails here. The
// figures printed are not judged.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root } = require('./support/native');

const BENCH = path.join(root, 'bench');
const SMALLEST = {
  BENCH_ROUNDS: '1', BENCH_OPS: '2', BENCH_REMOVALS: '4', BENCH_LISTINGS: '2', BENCH_SLEEPERS: '3',
};

for (const file of fs.readdirSync(BENCH).filter((name) => name.endsWith('.bench.js')).sort()) {
  test(`${file} runs at its smallest size`, () => {
    const run = spawnSync(process.execPath, [path.join(BENCH, file)], {
      env: { ...process.env, ...SMALLEST }, encoding: 'utf8', timeout: 120000,
    });
    assert.equal(run.signal, null, `${file} did not finish:\n${run.stdout}\n${run.stderr}`);
    assert.equal(run.status, 0, `${file}:\n${run.stdout}\n${run.stderr}`);
  });
}
