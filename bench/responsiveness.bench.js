'use strict';
// What the user of an Electron window feels while the application removes
// files or lists processes: the longest stall of the event loop (the
// longest gap between two turns of a 1 ms timer, which is how long a
// window stops painting and answering) and the throughput, side by side
// for the synchronous calls and the promise form with 1, 4 and 8 calls in
// flight. The synchronous calls run all in one go (a plain loop), and one
// per turn of the loop (the most a synchronous caller can do to stay
// responsive). Every contender runs in every round, in rotating order.
//
// BENCH_REMOVALS (default 200) and BENCH_LISTINGS (default 50) set the
// calls per round, BENCH_SLEEPERS (default 300) the sleeping processes
// started so that a listing has as many to list, BENCH_ROUNDS (default 5)
// the rounds.
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { interleaveAsync, field, report } = require('./support.js');

// The packages, which load the build that NATIVE_BUILD_DIR names.
const anchorfile = require('../packages/anchorfile-native');
const proclineage = require('../packages/proclineage-native');

const ROUNDS = Number(process.env.BENCH_ROUNDS || 5);
const REMOVALS = Number(process.env.BENCH_REMOVALS || 200);
const LISTINGS = Number(process.env.BENCH_LISTINGS || 50);
const SLEEPERS = Number(process.env.BENCH_SLEEPERS || 300);

// The longest gap between turns of a 1 ms timer from start to stop, the
// gap still open at stop included (a loop blocked to the end never turns).
function stallMeter() {
  let last = process.hrtime.bigint();
  let longest = 0n;
  const mark = () => {
    const now = process.hrtime.bigint();
    if (now - last > longest) longest = now - last;
    last = now;
  };
  const timer = setInterval(mark, 1);
  return () => {
    clearInterval(timer);
    mark();
    return Number(longest);
  };
}

const nextTurn = () => new Promise((resolve) => setImmediate(resolve));

// Runs `count` calls of `call(i)` (which returns a promise), `width` at a
// time.
async function inFlight(width, count, call) {
  let next = 0;
  const lane = async () => {
    while (next < count) await call(next++);
  };
  await Promise.all(Array.from({ length: width }, lane));
}

// The contenders of one table: each prepares its round's work, then runs
// it under the stall meter and reports { stall, perCall } in ns.
function contenders(count, prepare, syncCall, promiseCall) {
  const measured = (run) => async () => {
    const work = prepare(count);
    const start = process.hrtime.bigint();
    const stop = stallMeter();
    await run(work);
    const stall = stop();
    return { stall, perCall: Number(process.hrtime.bigint() - start) / count };
  };
  return {
    'sync, all in one go': measured(async (work) => { for (const item of work) syncCall(item); }),
    'sync, one per turn of the loop': measured(async (work) => {
      for (const item of work) {
        await nextTurn();
        syncCall(item);
      }
    }),
    ...Object.fromEntries([1, 4, 8].map((width) => [`promises, ${width} in flight`,
      measured((work) => inFlight(width, work.length, (i) => promiseCall(work[i])))])),
  };
}

function tables(what, count, results) {
  report(`Longest event-loop stall while ${count} ${what} run (median of ${ROUNDS} rounds)`,
    field(results, 'stall'), 'sync, all in one go');
  report(`Throughput of ${count} ${what}, time per call (median of ${ROUNDS} rounds)`,
    field(results, 'perCall'), 'sync, all in one go');
}

// --- removals ----------------------------------------------------------------
async function removals() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'responsiveness-bench-'));
  process.on('exit', () => fs.rmSync(root, { recursive: true, force: true }));
  // A publication temporary lives in the blob directory named by its own
  // first two hex digits, where its recovery accepts it.
  const parent = 'content/blobs/cd';
  const dir = path.join(root, parent);
  fs.mkdirSync(dir, { recursive: true });
  const parentId = anchorfile.directoryIdentity(dir);
  const prepare = (count) => Array.from({ length: count }, () => {
    const name = anchorfile.publicationTemporaryName(`cd${crypto.randomBytes(31).toString('hex')}`);
    fs.writeFileSync(path.join(dir, name), 'blob');
    return [root, parent, name, ...parentId, ...anchorfile.fileIdentity(path.join(dir, name)),
      anchorfile.publicationQuarantineName()];
  });
  const results = await interleaveAsync(contenders(REMOVALS, prepare,
    (args) => anchorfile.removeAnchoredFile(...args),
    (args) => anchorfile.promises.removeAnchoredFile(...args)), ROUNDS);
  const left = fs.readdirSync(dir).length;
  if (left !== 0) throw new Error(`${left} entries left in ${parent} after the removals`);
  tables('removals', REMOVALS, results);
}

// --- listings ----------------------------------------------------------------
async function listings() {
  const sleepers = Array.from({ length: SLEEPERS }, () => spawn('sleep', ['300'], { stdio: 'ignore' }));
  process.on('exit', () => sleepers.forEach((s) => s.kill('SIGKILL')));
  spawnSync('sleep', ['1']);
  const listed = proclineage.listDarwinProcesses();
  console.log(`\n  ${SLEEPERS} sleepers started; a listing sees ${listed.processes.length} processes of uid ${process.geteuid()}`);
  const results = await interleaveAsync(contenders(LISTINGS, (count) => Array(count).fill(null),
    () => proclineage.listDarwinProcesses(),
    () => proclineage.promises.listDarwinProcesses()), ROUNDS);
  tables('listings of the user\'s processes', LISTINGS, results);
}

async function main() {
  // Start every worker before measuring, as an application that has made
  // a call or two has; starting one is a one-time cost of a few ms.
  await Promise.all(Array.from({ length: 8 }, () => anchorfile.promises.inspectPath('/')));
  await Promise.all(Array.from({ length: 8 }, () => proclineage.promises.getDarwinProcess(process.pid)));
  const cores = typeof os.availableParallelism === 'function' ? os.availableParallelism() : os.cpus().length;
  console.log(`  ${cores} cores (${os.cpus()[0]?.model}); each pool runs ${Math.min(4, cores)} workers`);
  await removals();
  await listings();
}

main().then(() => process.exit(0), (error) => {
  console.error(error);
  process.exit(1);
});
