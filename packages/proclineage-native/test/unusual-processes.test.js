'use strict';
// Processes that Linux shows differently from macOS, each made for real:
// a zombie, a thread id, a process whose main thread has exited, and a
// process that is not dumpable. The add-on must answer for each as it
// would on macOS.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');
const { proclineage, asNobody } = require('./helpers');
const { makeSharedDir, skipWithoutUnprivileged } = require('../../../test/support/native');

const { getDarwinProcess, getDarwinProcessArguments, getDarwinEnvironmentValue } = proclineage;
const PYTHON = '/usr/bin/python3';

// State letter and thread count of the main thread of `pid`, or null.
function mainThread(pid) {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return { state: fields[0], threads: Number(fields[17]) };
  } catch (error) {
    if (error.code === 'ENOENT' || error.code === 'ESRCH') return null;
    throw error;
  }
}

async function until(what, check) {
  for (let i = 0; i < 500; i += 1) {
    if (check()) return;
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Starts `command`, runs `body(child, firstLine)` once the child has
// printed a line, and kills and reaps the child afterwards.
async function withChild(command, args, options, body) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'], ...options });
  const exited = new Promise((resolve) => child.on('exit', resolve));
  try {
    const line = await new Promise((resolve, reject) => {
      let seen = '';
      child.stdout.on('data', (chunk) => {
        seen += chunk;
        if (seen.includes('\n')) resolve(seen.split('\n')[0]);
      });
      child.on('error', reject);
      child.on('exit', (code) => reject(new Error(`${command} exited early (${code})`)));
    });
    return await body(child, line);
  } finally {
    child.kill('SIGKILL');
    await exited;
  }
}

const listedPids = () => proclineage.listDarwinProcesses().processes.map((p) => p.pid);

test('a zombie is gone: no identity, not listed, no arguments, its variables unknown', () => (
  // The background child exits after its parent has become sleep, which
  // never reaps it.
  withChild('/bin/sh', ['-c', 'sleep 0.2 & echo $!; exec sleep 30'], { env: { MARK: 'z' } }, async (parent, line) => {
    const zombie = Number(line);
    await until('a zombie', () => mainThread(zombie)?.state === 'Z');
    process.kill(zombie, 0); // still there for Linux
    assert.equal(getDarwinProcess(zombie), null);
    assert.ok(!listedPids().includes(zombie));
    assert.ok(listedPids().includes(parent.pid), 'its parent is listed');
    assert.equal(getDarwinProcessArguments(zombie), null);
    // The argument area refuses a zombie as no process (EINVAL), yet kill
    // still finds it: not known to be gone, so null, as on a Mac.
    assert.equal(getDarwinEnvironmentValue(zombie, 'MARK'), null);
  })));

test('a thread id is no process: null, no arguments, gone', () => {
  const tids = fs.readdirSync('/proc/self/task').map(Number).filter((tid) => tid !== process.pid);
  assert.ok(tids.length > 0, 'node runs more than one thread');
  for (const tid of tids) {
    assert.equal(getDarwinProcess(tid), null, `thread ${tid}`);
    assert.equal(getDarwinProcessArguments(tid), null, `thread ${tid}`);
    assert.equal(getDarwinEnvironmentValue(tid, 'PATH'), false, `thread ${tid}`);
  }
  assert.ok(!listedPids().some((pid) => tids.includes(pid)));
});

test('as an unprivileged user: its own thread ids and a kernel thread are gone too', (t) => {
  if (skipWithoutUnprivileged(t)) return;
  const seen = asNobody(`(addon) => {
    const fs = require('fs');
    const tids = fs.readdirSync('/proc/self/task').map(Number).filter((tid) => tid !== process.pid);
    let kthreadd = false;
    try { kthreadd = fs.readFileSync('/proc/2/comm', 'utf8').trim() === 'kthreadd'; } catch {}
    return {
      threads: tids.map((tid) => [addon.getDarwinProcess(tid), addon.getDarwinProcessArguments(tid),
        addon.getDarwinEnvironmentValue(tid, 'PATH')]),
      kernel: kthreadd ? addon.getDarwinEnvironmentValue(2, 'PATH') : false,
    };
  }`);
  assert.ok(seen.threads.length > 0);
  for (const answers of seen.threads) assert.deepEqual(answers, [null, null, false]);
  assert.equal(seen.kernel, false);
});

// The main thread leaves through the exit system call itself, which ends
// only the calling thread; a second thread keeps the process running.
const LEADERLESS = `
import ctypes, threading, time
threading.Thread(target=time.sleep, args=(60,)).start()
print('ready', flush=True)
ctypes.CDLL(None).syscall(60, 0)
`;

test('a process whose main thread has exited is read whole while a thread runs', (t) => {
  if (!fs.existsSync(PYTHON) || process.arch !== 'x64') {
    t.skip(`needs ${PYTHON} on x86-64`);
    return undefined;
  }
  return withChild(PYTHON, ['-c', LEADERLESS, 'extra'], { env: { MARK: 'leaderless' } }, async (child) => {
    await until('an exited main thread', () => {
      const seen = mainThread(child.pid);
      return seen?.state === 'Z' && seen.threads === 2;
    });
    const identity = getDarwinProcess(child.pid);
    assert.equal(identity?.pid, child.pid);
    assert.ok(listedPids().includes(child.pid));
    assert.deepEqual(getDarwinProcessArguments(child.pid), [PYTHON, '-c', LEADERLESS, 'extra']);
    assert.equal(getDarwinEnvironmentValue(child.pid, 'MARK'), 'leaderless');
  });
});

test('a non-dumpable process of the caller\'s own user shows its arguments', async (t) => {
  if (skipWithoutUnprivileged(t)) return;
  // A program that its user may run but not read makes the process
  // non-dumpable; Linux then refuses that user its exe link and environ.
  const dir = makeSharedDir('nondumpable-');
  try {
    const program = path.join(dir, 'sleep');
    fs.copyFileSync('/bin/sleep', program);
    fs.chmodSync(program, 0o711);
    const drop = ['--reuid=65534', '--regid=65534', '--clear-groups'];
    // sleep prints nothing; sh says when it is about to become sleep.
    await withChild('setpriv', [...drop, '/bin/sh', '-c', `echo go; exec ${program} 30 1`],
      { env: { MARK: 'hidden' } }, async (child) => {
        await until('the exec', () => {
          try {
            return fs.readlinkSync(`/proc/${child.pid}/exe`) === program;
          } catch (error) {
            if (error.code === 'ENOENT') return false;
            throw error;
          }
        });
        const seen = asNobody(`(addon, [pid]) => {
          let exe;
          try { exe = require('fs').readlinkSync('/proc/' + pid + '/exe'); } catch (e) { exe = e.code; }
          return { exe, identity: addon.getDarwinProcess(Number(pid)),
            args: addon.getDarwinProcessArguments(Number(pid)),
            mark: addon.getDarwinEnvironmentValue(Number(pid), 'MARK') };
        }`, [child.pid]);
        assert.equal(seen.exe, 'EACCES', 'the process is not dumpable');
        assert.equal(seen.identity?.pid, child.pid);
        assert.deepEqual(seen.args, [program, '30', '1']);
        // Linux keeps the environment from that user (macOS would not):
        // the area holds none.
        assert.equal(seen.mark, false);
        // Root is refused nothing.
        assert.equal(getDarwinEnvironmentValue(child.pid, 'MARK'), 'hidden');
      });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('as root, a process whose environment the kernel refuses is unreadable, not gone', (t) => {
  // Linux refuses root the memory of a process whose capabilities exceed
  // its own (pid 1 in a sandbox); macOS refuses root nothing, so the area
  // is not the one a Mac would give.
  let refused = false;
  try {
    fs.readFileSync('/proc/1/environ');
  } catch (error) {
    refused = error.code === 'EACCES';
  }
  if (process.geteuid() !== 0 || !refused) {
    t.skip('needs root refused the environment of pid 1');
    return;
  }
  assert.equal(getDarwinEnvironmentValue(1, 'PATH'), null);
  assert.equal(getDarwinProcessArguments(1), null);
});
