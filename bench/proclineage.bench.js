'use strict';
// listDarwinProcesses and getDarwinProcessArguments against what a script
// would otherwise use to read the user's processes: spawning ps and parsing
// its output (what common process-listing packages do), and Python's psutil.
//
// System calls per listed process are counted with strace (the Debian
// package strace; the count is left out with a note when it is missing):
// the calls of one listing made by node's main thread, between two marker
// calls, and for ps and psutil every call of the run.
//
// Setup: psutil is the Debian package python3-psutil. When it is missing the
// bench installs it with apt-get if it runs as root, and otherwise leaves
// the psutil rows out with a note.
//
// Sizes: BENCH_SLEEPERS is the number of sleeping processes, or several
// numbers separated by commas, each a scale measured in turn (default
// "300,2000"); BENCH_ROUNDS the interleaved rounds at each scale (default
// 15). BENCH_SLEEPERS=3 BENCH_ROUNDS=1 is a smoke run of a few seconds.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn, spawnSync } = require('child_process');

// The tools measured against are other programs: they run without a
// preload meant for node (the sanitizer runtime of a sanitizer build, under
// which ps waits for ever), as a user's script would start them.
const TOOL_ENV = Object.fromEntries(Object.entries(process.env).filter(([name]) => name !== 'LD_PRELOAD'));
const { interleave, report } = require('./support.js');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const proclineage = require(path.join(buildDir, 'proclineage.node'));

const ROUNDS = Number(process.env.BENCH_ROUNDS || 15);
const SCALES = String(process.env.BENCH_SLEEPERS || '300,2000').split(',').map(Number);
if (SCALES.some((n) => !Number.isInteger(n) || n < 1)) throw new Error('BENCH_SLEEPERS: numbers of processes, e.g. 300,2000');
const PYTHON = '/usr/bin/python3';
const uid = process.geteuid();

function hasPsutil() {
  return spawnSync(PYTHON, ['-c', 'import psutil'], { stdio: 'ignore', env: TOOL_ENV }).status === 0;
}

function ensurePsutil() {
  if (hasPsutil()) return true;
  if (uid === 0) {
    const apt = (...args) => spawnSync('apt-get', args, {
      stdio: 'ignore', env: { ...TOOL_ENV, DEBIAN_FRONTEND: 'noninteractive' },
    });
    // A fresh machine may have no package lists yet.
    if (apt('install', '-y', '-qq', 'python3-psutil').status !== 0) {
      apt('update', '-qq');
      apt('install', '-y', '-qq', 'python3-psutil');
    }
    if (hasPsutil()) return true;
  }
  console.log('  (psutil rows left out: install the Debian package python3-psutil)');
  return false;
}

// psutil runs in a fresh interpreter per round, as a script that shells
// out to Python would; the time reported is what psutil itself took, after
// the interpreter started and imported it.
const PSUTIL_SCRIPT = `
import os, sys, time, psutil
uid = os.geteuid()
start = time.perf_counter_ns()
if sys.argv[1] == 'list':
    found = []
    for p in psutil.process_iter(['pid', 'ppid', 'create_time', 'uids']):
        if p.info['uids'] is not None and p.info['uids'].effective == uid:
            found.append((p.info['pid'], p.info['ppid'], p.info['create_time']))
    count = len(found)
else:
    count = 0
    for pid in map(int, sys.argv[2:]):
        try:
            psutil.Process(pid).cmdline()
            count += 1
        except psutil.Error:
            pass
print(time.perf_counter_ns() - start, count)
`;

function psutilRun(args) {
  const result = spawnSync(PYTHON, ['-c', PSUTIL_SCRIPT, ...args], { encoding: 'utf8', env: TOOL_ENV });
  const [ns, count] = result.stdout.trim().split(' ').map(Number);
  return { ns, count };
}

function psListing() {
  const result = spawnSync('ps', ['-u', String(uid), '-o', 'pid=,ppid=,pgid=,sess='], { encoding: 'utf8', env: TOOL_ENV });
  return result.stdout.split('\n').filter(Boolean).map((row) => {
    const [pid, ppid, pgid, sid] = row.trim().split(/\s+/).map(Number);
    return { pid, ppid, pgid, sid };
  });
}

function psArguments(pids) {
  const result = spawnSync('ps', ['-o', 'pid=,args=', '-p', pids.join(',')], { encoding: 'utf8', env: TOOL_ENV });
  return result.stdout.split('\n').filter(Boolean).map((row) => row.trim().split(/\s+/));
}

const STRACE = '/usr/bin/strace';

// Runs `command args` under strace (all threads with `follow`) and returns
// its output and the trace's lines. A call that another thread interrupts
// is traced as "name(... <unfinished ...>" and "<... name resumed>"; only
// the first counts.
function traced(command, args, follow) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'bench-strace-'));
  try {
    const out = path.join(dir, 'trace');
    const env = command === process.execPath ? process.env : TOOL_ENV;
    const run = spawnSync(STRACE, ['-qq', ...(follow ? ['-f'] : []), '-o', out, command, ...args],
      { encoding: 'utf8', env });
    if (run.status !== 0) throw new Error(`strace ${command}: ${run.stderr}`);
    return { stdout: run.stdout, lines: fs.readFileSync(out, 'utf8').split('\n') };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// The name of the system call a trace line starts, or null.
const callName = (line) => /^(?:\d+ +)?([a-z_0-9]+)\(/.exec(line)?.[1] ?? null;

// The system calls of one listDarwinProcesses call, per listed process,
// with the most frequent calls. Only node's main thread is traced, and
// only what lies between two failing access calls on marker paths counts.
const COUNT_SCRIPT = `
const fs = require('fs');
const addon = require(process.argv[1]);
const pid = Number(process.argv[2]);
addon.listDarwinProcesses();
addon.getDarwinProcessArguments(pid);
try { fs.accessSync('/bench-listing-start'); } catch {}
const listed = addon.listDarwinProcesses().processes.length;
try { fs.accessSync('/bench-listing-end'); } catch {}
addon.getDarwinProcessArguments(pid);
try { fs.accessSync('/bench-arguments-end'); } catch {}
process.stdout.write(String(listed));
`;

// The calls between the marker line `from` and the marker line `to`.
function callsBetween(lines, from, to) {
  const start = lines.findIndex((line) => line.includes(from));
  const end = lines.findIndex((line) => line.includes(to));
  return lines.slice(start + 1, end).map(callName).filter(Boolean);
}

function countListing(pid) {
  const { stdout, lines } = traced(process.execPath,
    ['-e', COUNT_SCRIPT, path.join(buildDir, 'proclineage.node'), String(pid)], false);
  return {
    listed: Number(stdout),
    names: callsBetween(lines, '/bench-listing-start', '/bench-listing-end'),
    argumentCalls: callsBetween(lines, '/bench-listing-end', '/bench-arguments-end').length,
  };
}

function perProcess(count, listed) {
  return (count / listed).toFixed(1);
}

function reportSystemCalls(usePsutil, pid) {
  console.log('\nSystem calls per listed process (counted with strace, independent of load)');
  if (!fs.existsSync(STRACE)) {
    console.log('  (left out: install the Debian package strace)');
    return;
  }
  try {
    printSystemCalls(usePsutil, pid);
  } catch (error) {
    console.log(`  (left out: strace cannot trace here: ${error.message.trim()})`);
  }
}

function printSystemCalls(usePsutil, pid) {
  const { listed, names, argumentCalls } = countListing(pid);
  const byName = {};
  for (const name of names) byName[name] = (byName[name] || 0) + 1;
  const top = Object.entries(byName).sort((a, b) => b[1] - a[1])
    .map(([name, count]) => `${name} ${perProcess(count, listed)}`).join(', ');
  console.log(`  ${'listDarwinProcesses'.padEnd(44)} ${perProcess(names.length, listed).padStart(6)}  (${listed} listed: ${top})`);
  const calls = (lines) => lines.filter(callName).length;
  const ps = traced('/usr/bin/ps', ['-u', String(uid), '-o', 'pid=,ppid=,pgid=,sess='], true);
  const psRows = ps.stdout.split('\n').filter(Boolean).length;
  console.log(`  ${'ps -u (whole run, its start included)'.padEnd(44)} ${perProcess(calls(ps.lines), psRows).padStart(6)}  (${psRows} rows)`);
  if (usePsutil) {
    const py = traced(PYTHON, ['-c', PSUTIL_SCRIPT, 'list'], true);
    const count = Number(py.stdout.trim().split(' ')[1]);
    console.log(`  ${'psutil (whole run, interpreter included)'.padEnd(44)} ${perProcess(calls(py.lines), count).padStart(6)}  (${count} listed)`);
  }
  console.log(`  ${'getDarwinProcessArguments, one sleeper'.padEnd(44)} ${String(argumentCalls).padStart(6)}`);
}

// Nanoseconds that one call of fn took.
function timed(fn) {
  const start = process.hrtime.bigint();
  fn();
  return Number(process.hrtime.bigint() - start);
}

// Starts sleepers until there are `count`, and lets each finish its exec
// before anything is measured.
function growSleepers(sleepers, count) {
  while (sleepers.length < count) {
    // Bounded, so that a bench killed half-way leaves nothing behind for long.
    sleepers.push(spawn('sleep', ['600'], { stdio: 'ignore' }));
  }
  spawnSync('sleep', ['1']);
  return sleepers.map((s) => s.pid);
}

function measureScale(pids, usePsutil) {
  const listed = proclineage.listDarwinProcesses();
  const psRows = psListing();
  console.log(`\n## ${pids.length} sleepers: listDarwinProcesses sees ${listed.processes.length} `
    + `processes of uid ${uid} (complete: ${listed.complete}), ps sees ${psRows.length}`);

  const listing = {
    listDarwinProcesses: () => timed(() => proclineage.listDarwinProcesses()),
    'spawnSync ps -u + parse': () => timed(psListing),
  };
  if (usePsutil) listing['psutil process_iter (pid, ppid, create_time)'] = () => psutilRun(['list']).ns;
  report(`Listing the user's processes, per listing (${ROUNDS} interleaved rounds)`,
    interleave(listing, ROUNDS), 'listDarwinProcesses');

  reportSystemCalls(usePsutil, pids[0]);

  const args = {
    [`getDarwinProcessArguments x ${pids.length}`]: () => timed(() => {
      for (const pid of pids) proclineage.getDarwinProcessArguments(pid);
    }),
    [`spawnSync ps -p <${pids.length} pids> -o args= + parse`]: () => timed(() => psArguments(pids)),
  };
  if (usePsutil) args[`psutil Process.cmdline() x ${pids.length}`] = () => psutilRun(['args', ...pids.map(String)]).ns;
  report(`Arguments of every sleeper, per sweep (${ROUNDS} interleaved rounds)`,
    interleave(args, ROUNDS), `getDarwinProcessArguments x ${pids.length}`);
}

function main() {
  const cpu = (/model name\s*:\s*(.*)/.exec(fs.readFileSync('/proc/cpuinfo', 'utf8')) || [])[1] || 'unknown CPU';
  console.log(`  ${os.cpus().length} CPUs (${cpu}), kernel ${os.release()}, load ${os.loadavg().map((l) => l.toFixed(1)).join(' ')}`);
  const usePsutil = ensurePsutil();
  const sleepers = [];
  process.on('exit', () => sleepers.forEach((s) => s.kill('SIGKILL')));
  for (const scale of [...SCALES].sort((a, b) => a - b)) measureScale(growSleepers(sleepers, scale), usePsutil);
}

main();
process.exit(0); // the sleepers are killed by the exit handler
