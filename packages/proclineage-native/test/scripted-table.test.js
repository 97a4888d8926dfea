'use strict';
// The add-on's decisions against a scripted process table: the same
// product unit, built with a process-information layer that answers each
// call from a script (test/scripted). Every rule of the identity read, the
// listing and the argument area is a row here; no real process can be
// made to fail at exactly one of these points.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('child_process');
const { deliverable } = require('../../../test/support/native');

const addon = require(deliverable('proclineage_scripted.node'));

const EPERM = 1;
const ESRCH = 3;
const EIO = 5;
const EUID = 501;
const PID = 42;

const bsd = (fields = {}) => ({ pid: PID, ppid: 1, pgid: PID, uid: EUID, ...fields });
const ids = (uniqueId = 1000n, parentUniqueId = 10n) => ({ uniqueId, parentUniqueId });
const fail = (errno) => ({ ret: 0, errno });
const gone = { ret: -1, errno: ESRCH };
const there = { ret: 0 };
const notOurs = { ret: -1, errno: EPERM };
const session = { ret: PID };
// The four reads of a consistent process, in the order they are made.
const good = () => [bsd({ ppid: 7, pgid: 7 }), ids(), bsd(), ids()];

// The read's outcome as the listing shows it: Ok lists the process, Skip
// leaves it out, Unreliable leaves it out and clears `complete`.
function outcomeOf({ info, sid = [], kill = [] }) {
  addon.script({ euid: EUID, listing: [{ ret: 1 }, { pids: [PID] }], info, sid, kill });
  const { processes, complete } = addon.listDarwinProcesses();
  if (processes.length === 1) return complete ? 'ok' : 'ok, incomplete';
  return complete ? 'skip' : 'unreliable';
}

const replace = (list, index, value) => list.map((v, i) => (i === index ? value : v));

test('identity read: each failure point, the vanished test and the consistency checks', () => {
  for (const [name, script, expected] of [
    ['a consistent process', { info: good(), sid: [session] }, 'ok'],
    ['first BSD read: EPERM', { info: [fail(EPERM)] }, 'skip'],
    ['first BSD read: ESRCH', { info: [fail(ESRCH)] }, 'skip'],
    ['first BSD read: EIO, then gone', { info: [fail(EIO)], kill: [gone] }, 'skip'],
    ['first BSD read: EIO, kill refused', { info: [fail(EIO)], kill: [notOurs] }, 'unreliable'],
    ['first BSD read: EIO, still there', { info: [fail(EIO)], kill: [there] }, 'unreliable'],
    ['first BSD read: short record', { info: [{ ...bsd(), ret: 100 }], kill: [there] }, 'unreliable'],
    ['another user', { info: [bsd({ uid: 0 })] }, 'skip'],
    ['first id read: ESRCH', { info: [bsd(), fail(ESRCH)] }, 'skip'],
    ['first id read: EPERM is not a skip there', { info: [bsd(), fail(EPERM)], kill: [there] }, 'unreliable'],
    ['first id read: EPERM, then gone', { info: [bsd(), fail(EPERM)], kill: [gone] }, 'skip'],
    ['first id read: short record', { info: [bsd(), { ...ids(), ret: 40 }], kill: [there] }, 'unreliable'],
    ['second BSD read: ESRCH', { info: [bsd(), ids(), fail(ESRCH)] }, 'skip'],
    ['second BSD read: EIO, still there', { info: [bsd(), ids(), fail(EIO)], kill: [there] }, 'unreliable'],
    ['the user changes between the BSD reads', { info: [bsd(), ids(), bsd({ uid: 0 })] }, 'unreliable'],
    ['session 0', { info: good(), sid: [{ ret: 0 }], kill: [there] }, 'unreliable'],
    ['session read: ESRCH', { info: good(), sid: [gone] }, 'skip'],
    ['session read: EPERM, then gone', { info: good(), sid: [notOurs], kill: [gone] }, 'skip'],
    ['session read: EPERM, still there', { info: good(), sid: [notOurs], kill: [there] }, 'unreliable'],
    ['second id read: ESRCH', { info: replace(good(), 3, fail(ESRCH)), sid: [session] }, 'skip'],
    ['second id read: EIO, still there',
      { info: replace(good(), 3, fail(EIO)), sid: [session], kill: [there] }, 'unreliable'],
    ['the unique id changes', { info: replace(good(), 3, ids(1001n)), sid: [session] }, 'unreliable'],
    ['the parent\'s unique id changes',
      { info: replace(good(), 3, ids(1000n, 11n)), sid: [session] }, 'unreliable'],
    ['a zero unique id', { info: [bsd(), ids(0n), bsd(), ids(0n)], sid: [session] }, 'unreliable'],
    ['the second BSD read names another pid',
      { info: replace(good(), 2, bsd({ pid: 43 })), sid: [session] }, 'unreliable'],
  ]) {
    assert.equal(outcomeOf(script), expected, name);
  }
});

test('identity read: the order of the reads and where each field comes from', () => {
  const top = 18446744073709551615n;
  addon.script({ euid: EUID, info: [bsd({ ppid: 7, pgid: 7 }), ids(top, top - 1n), bsd(), ids(top, top - 1n)],
    sid: [{ ret: 9 }] });
  assert.deepEqual(addon.getDarwinProcess(PID), {
    pid: PID, ppid: 1, pgid: PID, sid: 9, uniqueId: String(top), parentUniqueId: String(top - 1n),
  });
  assert.deepEqual(addon.calls(), [`pidinfo ${PID} 3`, `pidinfo ${PID} 17`, `pidinfo ${PID} 3`,
    `getsid ${PID}`, `pidinfo ${PID} 17`]);
  // A refusal of the first read is final: no vanished test.
  addon.script({ info: [fail(EPERM)] });
  assert.equal(addon.getDarwinProcess(PID), null);
  assert.deepEqual(addon.calls(), [`pidinfo ${PID} 3`]);
});

// The buffer sizes in bytes of the listing calls that a script made.
function listingSizes() {
  return addon.calls().filter((c) => c.startsWith('listallpids')).map((c) => Number(c.split(' ')[1]));
}

test('listing: count, retry capacities, full buffers, skipped numbers', () => {
  const N = 10;
  const caps = [N + 256, 2 * N + 768, 4 * N + 1792];
  for (const [name, listing, expected, sizes] of [
    ['count 0', [{ ret: 0 }], null, [0]],
    ['count negative', [{ ret: -1 }], null, [0]],
    ['a failing listing call', [{ ret: N }, { ret: -1 }], null, [0, caps[0] * 4]],
    ['a failing retry', [{ ret: N }, { ret: caps[0] }, { ret: -1 }], null, [0, caps[0] * 4, caps[1] * 4]],
    ['first attempt whole', [{ ret: N }, { pids: [PID] }], true, [0, caps[0] * 4]],
    ['second attempt whole', [{ ret: N }, { ret: caps[0] }, { pids: [PID] }], true,
      [0, caps[0] * 4, caps[1] * 4]],
    ['third attempt whole', [{ ret: N }, { ret: caps[0] }, { ret: caps[1] }, { pids: [PID] }], true,
      [0, ...caps.map((c) => c * 4)]],
    ['third attempt still full', [{ ret: N }, { ret: caps[0] }, { ret: caps[1] }, { ret: caps[2], pids: [PID] }],
      false, [0, ...caps.map((c) => c * 4)]],
    // More than the buffer holds is never read beyond it.
    ['a count beyond the buffer', [{ ret: N }, { ret: 1e6 }, { ret: 1e6 }, { ret: 1e6, pids: [PID] }],
      false, [0, ...caps.map((c) => c * 4)]],
  ]) {
    addon.script({ euid: EUID, listing, info: good(), sid: [session] });
    const result = addon.listDarwinProcesses();
    assert.deepEqual(listingSizes(), sizes, name);
    if (expected === null) {
      assert.equal(result, null, name);
    } else {
      assert.equal(result.complete, expected, name);
      assert.deepEqual(result.processes.map((p) => p.pid), [PID], name);
      // Only the one listed number is read: the zero-filled rest is skipped.
      assert.equal(addon.calls().filter((c) => c.startsWith('pidinfo')).length, 4, name);
    }
  }
});

test('listing: 0 and negatives are never read; Skip and Unreliable keep their order and effect', () => {
  // Process 44's record names process 45: a number that moved on.
  const wrong = [bsd({ pid: 45 }), ids(), bsd({ pid: 45 }), ids()];
  addon.script({
    euid: EUID,
    listing: [{ ret: 5 }, { pids: [0, -1, PID, 43, 44, -PID] }],
    info: [...good(), fail(ESRCH), ...wrong],
    sid: [session, { ret: 44 }],
  });
  const { processes, complete } = addon.listDarwinProcesses('ignored', 1);
  assert.deepEqual(processes.map((p) => p.pid), [PID]);
  assert.equal(complete, false, 'the pid mismatch of 44 clears complete');
  const read = addon.calls().filter((c) => c.startsWith('pidinfo')).map((c) => Number(c.split(' ')[1]));
  assert.deepEqual([...new Set(read)], [PID, 43, 44]);
  // Only a Skip: complete stays true.
  addon.script({ euid: EUID, listing: [{ ret: 2 }, { pids: [43, PID] }], info: [fail(ESRCH), ...good()],
    sid: [session] });
  assert.deepEqual(addon.listDarwinProcesses(), { processes: [{
    pid: PID, ppid: 1, pgid: PID, sid: PID, uniqueId: '1000', parentUniqueId: '10' }], complete: true });
});

// An argument area: the count word, then the bytes of `text`.
function area(count, text) {
  const word = Buffer.alloc(4);
  word.writeInt32LE(count);
  return Buffer.concat([word, Buffer.from(text, 'utf8')]);
}

// The area as macOS lays it out: the count word, the path, zeros up to
// where argv begins (the 16-byte key "executable_path=", the path and its
// zero byte are padded to 8 bytes and the key is stripped), then argv and
// the environment.
function macArea(count, path, args, env = []) {
  const length = Buffer.byteLength(path);
  const zeros = ((16 + length + 1 + 7) & ~7) - 16 - length;
  return area(count, path + '\0'.repeat(zeros) + [...args, ...env].map((s) => `${s}\0`).join(''));
}

// Both sysctl answers for an area, the size query reporting its length.
const readable = (bytes) => [{ ret: 0, size: bytes.length }, { ret: 0, area: bytes }];

test('arguments: size bounds, malformed areas, padding and the count', () => {
  const small = macArea(1, '/p', ['a']);
  const exact = macArea(1, '/', ['a']);
  // An unterminated last argument: the shaped area without its last byte.
  const cut = macArea(2, '/p', ['a', 'b']).subarray(0, -1);
  // A byte that is not zero where the padding of a 2-byte path lies.
  const dirty = Buffer.from(macArea(1, '/p', ['a'], ['K=v']));
  dirty[4 + 5] = 0x78;
  for (const [name, sysctl, expected, reads] of [
    ['size query fails', [notOurs], null, 0],
    ['size 4', [{ ret: 0, size: 4 }], null, 0],
    // The content read gets one byte more than the size learned.
    ['size 5 is read', [{ ret: 0, size: 5 }, { ret: 0, area: area(1, '\0') }], null, 6],
    ['size 16777216 is read', [{ ret: 0, size: 16777216 }, { ret: 0, area: small }], ['a'], 16777217],
    ['size 16777217', [{ ret: 0, size: 16777217 }], null, 0],
    ['content read fails', [{ ret: 0, size: 64 }, { ret: -1, errno: ESRCH }], null, 65],
    ['content read reports 4 bytes', [{ ret: 0, size: 64 }, { ret: 0, area: small, size: 4 }], null, 65],
    // The area grew after the size query: macOS hands out its tail behind
    // the count word, which a buffer one byte short would read as an
    // argument vector of the tail.
    ['the area grew: the buffer is full',
      [{ ret: 0, size: small.length }, { ret: 0, area: macArea(1, '/p', ['a'], ['K=v']) }], null, small.length + 1],
    ['an area of exactly the size learned', [{ ret: 0, size: exact.length }, { ret: 0, area: exact }], ['a'],
      exact.length + 1],
    ['count 0', readable(macArea(0, '/p', ['a'])), null],
    ['count negative', readable(macArea(-1, '/p', ['a'])), null],
    ['count beyond the area', readable(area(7, '/p\0')), null],
    ['executable path unterminated', readable(area(1, '/p')), null],
    ['fewer strings than the count', readable(macArea(3, '/p', ['a', 'b'])), null],
    ['last argument unterminated', readable(cut), null],
    ['the area ends inside the padding', readable(area(1, '/p\0\0\0')), null],
    // Not the shape macOS writes: refused, never guessed at.
    ['a byte that is not zero in the padding', readable(dirty), null],
    ['the old reading: zeros skipped until a string begins', readable(area(2, '/p\0a\0b\0K=v\0')), null],
    ['the count filled from the environment', readable(macArea(2, '/p', ['a'], ['K=v'])), ['a', 'K=v']],
    // Linux turns an exec with no arguments into one empty argument.
    ['one empty argument', readable(macArea(1, '/bin/sh', [''], ['SECRET_TOKEN=hunter2'])), ['']],
    // Empty first and middle arguments, after paths of every length
    // modulo 8, twice round: each is an argument, and the environment
    // after them never is.
    ...Array.from({ length: 16 }, (_, length) => [`empty arguments after a path of ${length} bytes`,
      readable(macArea(4, '/'.padEnd(length, 'p').slice(0, length), ['', 'b', '', ''], ['SECRET_TOKEN=hunter2'])),
      ['', 'b', '', '']]),
  ]) {
    addon.script({ sysctl });
    assert.deepEqual(addon.getDarwinProcessArguments(PID), expected, name);
    const sizes = addon.calls().filter((c) => c.startsWith('sysctl')).map((c) => c.split(' ')[2]);
    if (reads !== undefined) assert.deepEqual(sizes, reads ? ['size', String(reads)] : ['size'], name);
  }
});

test('environment: the failure rule and the scan order', () => {
  const small = area(1, '/p\0a\0');
  for (const [name, script, expected] of [
    ['size query: ESRCH', { sysctl: [gone] }, false],
    ['size query: EPERM, then gone', { sysctl: [notOurs], kill: [gone] }, false],
    ['size query: EPERM, still there', { sysctl: [notOurs], kill: [there] }, null],
    ['size query: EPERM, kill refused', { sysctl: [notOurs], kill: [notOurs] }, null],
    ['size 4, gone', { sysctl: [{ ret: 0, size: 4 }], kill: [gone] }, false],
    ['size 4, still there', { sysctl: [{ ret: 0, size: 4 }], kill: [there] }, null],
    ['no upper bound', { sysctl: [{ ret: 0, size: 16777217 }, { ret: 0, area: area(1, '/p\0K=big\0') }] }, 'big'],
    ['content read: ESRCH', { sysctl: [{ ret: 0, size: 64 }, gone] }, false],
    ['content read: EIO, still there', { sysctl: [{ ret: 0, size: 64 }, { ret: -1, errno: EIO }], kill: [there] }, null],
    ['content read: 4 bytes, gone', { sysctl: [{ ret: 0, size: 64 }, { ret: 0, area: small, size: 4 }], kill: [gone] }, false],
    ['the area grew, still there', { sysctl: [{ ret: 0, size: 8 }, { ret: 0, area: area(1, '/p\0K=tail\0') }], kill: [there] }, null],
    ['the area grew, then gone', { sysctl: [{ ret: 0, size: 8 }, { ret: 0, area: area(1, '/p\0K=tail\0') }], kill: [gone] }, false],
    ['the executable path is scanned first', { sysctl: readable(area(1, 'K=exe\0\0\0K=arg\0K=env\0')) }, 'exe'],
    ['arguments before the environment', { sysctl: readable(area(1, '/p\0\0K=arg\0K=env\0')) }, 'arg'],
    ['the count is not examined', { sysctl: readable(area(-1, '/p\0a\0K=env\0')) }, 'env'],
    ['a name that is a prefix of another', { sysctl: readable(area(1, '/p\0a\0KEY=long\0K=short\0')) }, 'short'],
    ['an empty value', { sysctl: readable(area(1, '/p\0a\0K=\0')) }, ''],
    ['an unterminated last string', { sysctl: readable(area(1, '/p\0a\0K=tail')) }, 'tail'],
    ['absent, area ends in a zero byte', { sysctl: readable(area(1, '/p\0a\0L=1\0')) }, false],
    ['absent, area ends unterminated', { sysctl: readable(area(1, '/p\0a\0L=1')) }, false],
    ['an area of one zero byte', { sysctl: readable(area(1, '\0')) }, false],
  ]) {
    addon.script(script);
    assert.equal(addon.getDarwinEnvironmentValue(PID, 'K'), expected, name);
    assert.ok(!addon.calls().includes('exhausted'), `${name}: the script covers every call`);
  }
  // The gone answer of a read comes from the read itself, without kill.
  addon.script({ sysctl: [gone] });
  addon.getDarwinEnvironmentValue(PID, 'K');
  assert.deepEqual(addon.calls(), [`sysctl ${PID} size`]);
});

// An area or a listing larger than the address space left is null, the
// answer for any other failed read; an allocation failure that escaped as
// an exception would end the application. Under a limit of 1.5 GiB node
// has room to run but not for an area of 1 GiB or a listing of 2 GiB.
test('allocation failure under an address-space limit answers null', {
  skip: process.env.ASAN_OPTIONS !== undefined && 'no address space limit under the sanitizer runtime',
}, () => {
  const script = `
    const addon = require(${JSON.stringify(deliverable('proclineage_scripted.node'))});
    const answers = [];
    addon.script({ sysctl: [{ ret: 0, size: 2 ** 30 }], kill: [{ ret: 0 }] });
    answers.push([addon.getDarwinEnvironmentValue(${PID}, 'K'), addon.calls()]);
    addon.script({ listing: [{ ret: 2 ** 29 }] });
    answers.push([addon.listDarwinProcesses(), addon.calls()]);
    console.log(JSON.stringify(answers));`;
  const result = spawnSync('/bin/sh', ['-c', 'ulimit -v 1572864 && exec "$0" -e "$1"', process.execPath, script],
    { encoding: 'utf8' });
  assert.equal(result.signal, null, result.stderr);
  assert.equal(result.status, 0, result.stderr);
  // Neither went past the allocation: no read of the area, no second listing.
  assert.deepEqual(JSON.parse(result.stdout), [
    [null, [`sysctl ${PID} size`, `kill ${PID} 0`]],
    [null, ['listallpids 0']],
  ]);
});
