'use strict';
// lockscout against what a script would otherwise run to learn whether the
// keychain entry exists: the security tool's find-generic-password for the
// account name (which tells nothing about locked keychains, the fallback
// account or ambiguity, and on a Mac may prompt). Both are started as child
// processes, as the application starts lockscout. Keychains are the Linux
// stand-in's, in a throwaway HOME. BENCH_ROUNDS (default 20) sets the rounds.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { interleave, report } = require('./support.js');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const ROUNDS = Number(process.env.BENCH_ROUNDS || 20);
const RUNS_PER_ROUND = 5;
const IDENTITY = 'Velkor Atlas';

function makeHome(keychains, itemsPerKeychain) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'bench-lockscout-'));
  process.on('exit', () => fs.rmSync(home, { recursive: true, force: true }));
  const env = { ...process.env, HOME: home };
  const security = (...args) => spawnSync(path.join(buildDir, 'security'), args, { env });
  const names = Array.from({ length: keychains }, (_, i) => `k${i}.keychain`);
  for (const name of names) {
    security('create-keychain', '-p', 'pw', name);
    for (let i = 0; i < itemsPerKeychain; i++) {
      security('add-generic-password', '-s', `other service ${i}`, '-a', 'someone', '-w', 'x', name);
    }
  }
  security('list-keychains', '-d', 'user', '-s', ...names);
  security('add-generic-password', '-s', `${IDENTITY} Safe Storage`, '-a', `${IDENTITY} Key`,
    '-w', 'secret', names[0]);
  return env;
}

function timed(env, program, args) {
  return () => {
    const start = process.hrtime.bigint();
    for (let i = 0; i < RUNS_PER_ROUND; i++) {
      const result = spawnSync(path.join(buildDir, program), args, { env });
      if (result.status !== 0) throw new Error(`${program} failed: ${result.stderr}`);
    }
    return Number(process.hrtime.bigint() - start) / RUNS_PER_ROUND;
  };
}

for (const [keychains, items] of [[1, 1], [3, 50]]) {
  const env = makeHome(keychains, items);
  const results = interleave({
    'lockscout (probe, prompts off)': timed(env, 'lockscout', [IDENTITY]),
    'security find-generic-password': timed(env, 'security',
      ['find-generic-password', '-s', `${IDENTITY} Safe Storage`, '-a', `${IDENTITY} Key`]),
  }, ROUNDS);
  report(`${keychains} keychain(s), ${items} other item(s) each: one run, process start included`,
    results, 'security find-generic-password');
}
