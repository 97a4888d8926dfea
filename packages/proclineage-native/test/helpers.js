'use strict';
// Shared by the proclineage suites: the add-on from the build under test,
// and children that wait, with the arguments and environment a test chose,
// until the test lets them go.
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { deliverable, makeSharedDir, runNodeAsNobody } = require('../../../test/support/native');

const addonPath = deliverable('proclineage.node');
const proclineage = require(addonPath);

// A directory everyone can reach holding the shell script `a`, so that
// `/bin/sh a ...` makes a process whose arguments are the test's own. The
// script says "ready" once the shell runs it and waits until standard
// input closes. One per test file, removed when the file's process exits.
let scriptDir = null;
function waiterScript() {
  if (scriptDir === null) {
    scriptDir = makeSharedDir('proclineage-');
    process.on('exit', () => fs.rmSync(scriptDir, { recursive: true, force: true }));
    fs.writeFileSync(path.join(scriptDir, 'a'), 'echo ready\nread line\n', { mode: 0o644 });
  }
  return scriptDir;
}

// Starts `command args` next to the script and resolves once it printed
// "ready". `stop()` ends it and resolves after it has been reaped.
function startWaiter(command, args, options = {}) {
  const child = spawn(command, args, {
    stdio: ['pipe', 'pipe', 'inherit'],
    cwd: waiterScript(),
    env: {},
    ...options,
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const ready = new Promise((resolve, reject) => {
    let seen = '';
    child.stdout.on('data', (chunk) => {
      seen += chunk;
      if (seen.includes('ready')) resolve();
    });
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`waiter exited early (${code})`)));
  });
  const stop = async () => {
    child.stdin.end();
    await exited;
  };
  return ready.then(() => ({ pid: child.pid, stop }));
}

// A waiter run as `/bin/sh a ...args`.
function startSh(args = [], options = {}) {
  return startWaiter('/bin/sh', ['a', ...args], options);
}

// A waiter under uid/gid 65534, for "another user's process".
function startForeignWaiter() {
  return startWaiter('setpriv', [
    '--reuid=65534', '--regid=65534', '--clear-groups', '/bin/sh', 'a',
  ]);
}

// Waits for every waiter that `starts` (promises of the functions above)
// make, runs `check(...pids)` and returns what it returns. Every waiter
// that started is stopped afterwards, whatever `check` does and even when
// another one failed to start.
async function withWaiters(starts, check) {
  const settled = await Promise.allSettled(starts);
  const waiters = settled.filter((s) => s.status === 'fulfilled').map((s) => s.value);
  try {
    const failed = settled.find((s) => s.status === 'rejected');
    if (failed) throw failed.reason;
    return await check(...waiters.map((w) => w.pid));
  } finally {
    await Promise.all(waiters.map((w) => w.stop()));
  }
}

// The same for one `/bin/sh a ...args`.
function withWaiter(args, options, check) {
  return withWaiters([startSh(args, options)], check);
}

// Runs `body` (a function source taking the add-on) in node as uid 65534,
// with a copy of the add-on, and returns what it returns, through JSON.
function asNobody(body, args = []) {
  const script = `const addon = require(__dirname + '/proclineage.node');
    const args = process.argv.slice(2);
    process.stdout.write(JSON.stringify((${body})(addon, args)));`;
  return runNodeAsNobody(script, args.map(String), ['proclineage.node']);
}

function unusedPid() {
  const max = Number(fs.readFileSync('/proc/sys/kernel/pid_max', 'utf8'));
  for (let pid = max - 1; pid > 300; pid -= 7919) {
    try {
      process.kill(pid, 0);
    } catch (error) {
      if (error.code === 'ESRCH') return pid;
    }
  }
  throw new Error('no unused pid found');
}

function ownerOf(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/\nUid:\s+\d+\s+(\d+)/.exec(status)[1]);
}

module.exports = {
  proclineage, addonPath, startSh, startForeignWaiter, withWaiters, withWaiter, asNobody, unusedPid,
  ownerOf,
};
