'use strict';
// Several runs of create-key for one identity, started at once, each with
// a different candidate key. Whichever run stores its key, every run must
// succeed and hand out that same key: a run that loses the race to store
// re-reads the winner's item instead of failing or returning its own.
const test = require('node:test');
const assert = require('node:assert/strict');
const {
  IDENTITY, makeHome, removeHome, keyfetch, keyfetchAsync,
} = require('./keyfetch-support');

const RUNS = 6;
const ROUNDS = 8;

test('racing create-key runs all return one and the same key', async () => {
  for (let round = 0; round < ROUNDS; round += 1) {
    const home = makeHome();
    try {
      const candidates = Array.from({ length: RUNS }, (_, i) => Buffer.from(`candidate ${round}.${i}\n\0`));
      const results = await Promise.all(
        candidates.map((key) => keyfetchAsync(home, ['create-key', IDENTITY], key)),
      );
      for (const result of results) {
        assert.equal(result.signal, null, `died by ${result.signal}: ${result.stderr}`);
        assert.equal(result.status, 0, `status ${result.status}: ${result.stderr}`);
        assert.equal(result.stderr.length, 0);
      }
      const winner = results[0].stdout;
      assert.ok(candidates.some((key) => key.equals(winner)), 'the key is one of the candidates');
      for (const result of results) assert.deepEqual(result.stdout, winner);
      assert.deepEqual(keyfetch(home, ['read-key', IDENTITY]).stdout, winner);
    } finally {
      removeHome(home);
    }
  }
});
