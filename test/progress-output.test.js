'use strict';
// What the builds and the node suites print while they run: a line per
// target rebuilt and none for targets up to date, a line per top-level
// test, failures in full, and the runner's totals as the closing lines
// CI judges the run by.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, makeTempDir } = require('./support/native');

test('the build names each target it rebuilt, never one that was up to date', () => {
  const dir = makeTempDir('progress-');
  try {
    for (const target of ['a', 'b', 'c']) fs.mkdirSync(path.join(dir, 'CMakeFiles', `${target}.dir`), { recursive: true });
    // Two jobs: b's compile starts before a, which had nothing to do, is
    // reported built.
    const output = [
      '[ 10%] Building CXX object CMakeFiles/b.dir/src/b.cc.o',
      '[ 20%] Built target a',
      'warning: something the log keeps',
      '[ 60%] Linking CXX shared module test-support/b.node',
      '[ 70%] Built target b',
      '[100%] Built target c',
    ].join('\n');
    const log = path.join(dir, 'out.log');
    const run = spawnSync(process.execPath, [path.join(root, 'scripts', 'build-progress.js'), 'build', dir, log],
      { input: `${output}\n`, encoding: 'utf8' });
    assert.equal(run.status, 0, run.stderr);
    assert.deepEqual(run.stdout.replace(/ \(\d+ s\)$/gm, '').trimEnd().split('\n'), ['build: built b (2 of 3 targets done, 70%)']);
    assert.equal(fs.readFileSync(log, 'utf8'), `${output}\n`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('the node suites print a line per top-level test, failures in full, and the totals last', () => {
  const dir = makeTempDir('reporter-');
  try {
    fs.writeFileSync(path.join(dir, 'sample.test.js'), `
      const test = require('node:test');
      test('parent', async (t) => {
        await t.test('passes', () => {});
        await t.test('fails', () => { throw new Error('the reason, shown in full'); });
      });
      test('alone', () => {});
    `);
    const env = { ...process.env };
    delete env.NODE_TEST_CONTEXT;
    const run = spawnSync(process.execPath, ['--test', '--test-force-exit',
      `--test-reporter=${path.join(root, 'scripts', 'test-reporter.js')}`, '--test-reporter-destination=stdout',
      'sample.test.js'], { cwd: dir, env, encoding: 'utf8' });
    assert.equal(run.status, 1, run.stderr);
    const lines = run.stdout.trimEnd().split('\n');
    assert.match(lines[0], /^✖ parent \(2 subtests, 1 failed, [\d.]+ s\)$/);
    assert.match(lines[1], /^✔ alone \([\d.]+ s\)$/);
    assert.match(run.stdout, /✖ parent > fails\n[^]*Error: the reason, shown in full/);
    assert.deepEqual(lines.slice(-8).map((l) => l.replace(/ [\d.]+$/, ' N')),
      ['ℹ tests N', 'ℹ suites N', 'ℹ pass N', 'ℹ fail N', 'ℹ cancelled N', 'ℹ skipped N', 'ℹ todo N', 'ℹ duration_ms N']);
    assert.deepEqual(lines.filter((l) => /^ℹ (pass|fail) /.test(l)), ['ℹ pass 2', 'ℹ fail 2']);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
