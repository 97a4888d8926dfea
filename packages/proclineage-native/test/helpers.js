'use strict';
// Shared by the proclineage suites: the add-on from the build under test,
// and children that wait, with the arguments and environment a test chose,
// until the test lets them go.
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { deliverable, makeTempDir, runNodeAsNobody } = require('../../../test/support/native');

const addonPath = deliverable('proclineage.node');
const proclineage = require(addonPath);

// A shell script named `name` in a directory everyone can read, so that
// `/bin/sh name ...` makes a process whose arguments are the test's own.
// It says "ready" once the shell runs it and waits until standard input
// closes.
function waiterScript(name = 'a') {
  const dir = makeTempDir('proclineage-');
  fs.chmodSync(dir, 0o755);
  fs.writeFileSync(path.join(dir, name), 'echo ready\nread line\n', { mode: 0o644 });
  return dir;
}

// Starts `command args` in `cwd` and resolves once it printed "ready".
// `stop()` ends it and resolves after it has been reaped.
function startWaiter(command, args, options = {}) {
  const child = spawn(command, args, {
    stdio: ['pipe', 'pipe', 'inherit'],
    env: options.env || {},
    ...options,
  });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  const ready = new Promise((resolve, reject) => {
    let seen = '';
    child.stdout.on('data', (chunk) => {
      seen += chunk;
      if (seen.includes('ready')) resolve();
    });
    child.on('exit', (code) => reject(new Error(`waiter exited early (${code})`)));
  });
  const stop = async () => {
    child.stdin.end();
    await exited;
  };
  return ready.then(() => ({ pid: child.pid, stop }));
}

// Runs `check(pid)` while a waiter started as `/bin/sh a ...args` runs,
// and stops it afterwards whatever `check` does.
async function withWaiter(args, options, check) {
  const waiter = await startWaiter('/bin/sh', ['a', ...args], { cwd: waiterScript(), ...options });
  try {
    await check(waiter.pid);
  } finally {
    await waiter.stop();
  }
}

// A waiter under uid/gid 65534, for "another user's process".
function startForeignWaiter() {
  const dir = waiterScript();
  return startWaiter('setpriv', [
    '--reuid=65534', '--regid=65534', '--clear-groups', '/bin/sh', 'a',
  ], { cwd: dir });
}

// Runs `body` (a function source taking the add-on) in node as uid 65534
// and returns what it returns, through JSON.
function asNobody(body, args = []) {
  const script = `const addon = require(${JSON.stringify(addonPath)});
    const args = process.argv.slice(1);
    process.stdout.write(JSON.stringify((${body})(addon, args)));`;
  return runNodeAsNobody(script, args.map(String));
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
  proclineage, addonPath, waiterScript, startWaiter, withWaiter, startForeignWaiter, asNobody,
  unusedPid, ownerOf,
};
