'use strict';
// The keychain stand-in under attack and bad luck: links planted where it
// writes, keychains that are links, files that never end or cannot be
// parsed, memory limits, and lookups that leave a name out or keep
// relative names in the user's lists. Every suite of this package rests on
// the stand-in behaving as a keychain would.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { deliverable } = require('../../../test/support/native');
const {
  IDENTITY, SERVICE, ACCOUNT, security, mustSecurity, keychainPath, withHome, addItem,
} = require('./lockscout-support');

// The exit status of the security tool for a keychain status.
const exitOf = (status) => (status >>> 0) & 0xFF;
const errSecIO = -36;
const errSecAllocate = -108;
const errSecDataTooLarge = -25302;
const MAX_FILE_BYTES = 16 * 1024 * 1024;

// The sanitizer runtime reserves terabytes of address space, so no address
// space limit can be set on its programs.
const sanitized = process.env.ASAN_OPTIONS !== undefined;

// Runs program with args in home through sh, after the shell commands in
// `prelude` (which see the program as $0 and its arguments as $@).
function runAfter(prelude, home, program, args, options = {}) {
  return spawnSync('/bin/sh', ['-c', `${prelude}\nexec "$0" "$@"`, program, ...args], {
    env: { ...process.env, HOME: home }, encoding: 'latin1', ...options,
  });
}

// A run that must not read its way through all the memory there is when
// the stand-in regresses: 1 GiB of address space is plenty otherwise.
function runBounded(home, program, args) {
  return runAfter(sanitized ? ':' : 'ulimit -v 1048576', home, program, args);
}

// What the three programs answer for one keychain state: the security
// tool's exit status, keyfetch's exit status and output, lockscout's line.
function answers(home, run = (program, args) => runBounded(home, program, args)) {
  const tool = run(deliverable('security'), ['find-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w']);
  const keyfetch = run(deliverable('keyfetch'), ['read-key', IDENTITY]);
  const lockscout = run(deliverable('lockscout'), [IDENTITY]);
  for (const [name, result] of [['keyfetch', keyfetch], ['lockscout', lockscout]]) {
    assert.equal(result.signal, null, `${name} died by ${result.signal}: ${result.stderr}`);
    assert.equal(result.stderr, '', name);
  }
  // The tool says why it failed in one line, and nothing when it did not.
  assert.equal(tool.stderr.split('\n').length, tool.status === 0 ? 1 : 2, tool.stderr);
  assert.equal(lockscout.status, 0);
  const report = JSON.parse(lockscout.stdout);
  return {
    tool: tool.status,
    keyfetch: { status: keyfetch.status, out: keyfetch.stdout },
    lockscout: { status: report.status, reason: report.reason, osStatus: report.osStatus },
  };
}

function failed(toolStatus, reason, osStatus) {
  return {
    tool: exitOf(toolStatus),
    keyfetch: { status: 1, out: '' },
    lockscout: { status: 'error', reason, osStatus },
  };
}

function assertNoTemporaries(dir) {
  assert.deepEqual(fs.readdirSync(dir).filter((name) => name.includes('.tmp.')), []);
}

test('a link planted at a temporary name of the old pattern is neither followed nor reused', () =>
  withHome(['login.keychain'], (home) => {
    const dir = path.dirname(keychainPath(home, 'login.keychain'));
    const rows = [
      { file: keychainPath(home, 'login.keychain'),
        args: ['add-generic-password', '-s', 'other service', '-a', 'x', '-w', 'other secret'] },
      { file: path.join(dir, '.search-list'), args: ['list-keychains', '-d', 'user', '-s', 'login.keychain'] },
      { file: path.join(dir, '.default-keychain'), args: ['default-keychain', '-s', 'login.keychain'] },
    ];
    addItem(home, 'login.keychain');
    for (const [i, { file, args }] of rows.entries()) {
      const outside = path.join(home, `outside-${i}`);
      // The shell's pid is the tool's after exec: the name the old code used.
      const result = runAfter('ln -s "$OUTSIDE" "$TARGET.tmp.$$" || exit 99', home,
        deliverable('security'), args, { env: { ...process.env, HOME: home, OUTSIDE: outside, TARGET: file } });
      assert.equal(result.status, 0, result.stderr);
      assert.equal(fs.existsSync(outside), false, `${path.basename(file)}: written through the link`);
      assert.ok(fs.lstatSync(file).isFile(), `${path.basename(file)} is no longer a regular file`);
    }
    assert.equal(mustSecurity(home, ['find-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w']).stdout,
      'secret\n');
    assert.equal(mustSecurity(home, ['find-generic-password', '-s', 'other service', '-a', 'x', '-w']).stdout,
      'other secret\n');
  }));

test('a keychain that is a symbolic link stays one, and its target gets every change', () =>
  withHome(['login.keychain'], (home) => {
    const link = keychainPath(home, 'login.keychain');
    const target = path.join(home, 'elsewhere', 'real.keychain');
    fs.mkdirSync(path.dirname(target));
    fs.renameSync(link, target);
    fs.symlinkSync(target, link);
    addItem(home, 'login.keychain', { password: 'one' });
    addItem(home, 'login.keychain', { account: 'second', password: 'two' });
    mustSecurity(home, ['delete-generic-password', '-s', SERVICE, '-a', 'second']);
    assert.ok(fs.lstatSync(link).isSymbolicLink());
    assert.equal(fs.readlinkSync(link), target);
    const text = fs.readFileSync(target, 'latin1');
    assert.match(text, new RegExp(` ${Buffer.from(ACCOUNT).toString('hex')} ${Buffer.from('one').toString('hex')}\n`));
    assert.doesNotMatch(text, new RegExp(Buffer.from('second').toString('hex')));
    assertNoTemporaries(path.dirname(target));
  }));

test('a write that fails leaves no temporary holding the secrets behind', () =>
  withHome(['login.keychain'], (home) => {
    const file = keychainPath(home, 'login.keychain');
    const before = fs.readFileSync(file, 'latin1');
    // No file may grow past 0 blocks, and the signal that would say so is
    // ignored, so the write itself fails with EFBIG.
    const result = runAfter("trap '' XFSZ; ulimit -f 0", home, deliverable('security'),
      ['add-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w', 'secret']);
    assert.equal(result.status, exitOf(errSecDataTooLarge), result.stderr);
    assert.equal(fs.readFileSync(file, 'latin1'), before);
    assertNoTemporaries(path.dirname(file));
  }));

test('a file-size limit during create-key fails the write and leaves no temporary behind', () =>
  withHome(['login.keychain'], (home) => {
    const file = keychainPath(home, 'login.keychain');
    addItem(home, 'login.keychain', { service: 'other service', account: 'other', password: 'other secret' });
    const before = fs.readFileSync(file, 'latin1');
    // No trap here: the program itself must keep SIGXFSZ from killing it
    // with the temporary, which holds every item, half written.
    const create = spawnSync('/bin/sh', ['-c', 'ulimit -f 0 && exec "$0" create-key "$1"', deliverable('keyfetch'),
      IDENTITY], { env: { ...process.env, HOME: home }, input: 'new key' });
    assert.equal(create.signal, null);
    assert.equal(create.status, 1);
    assert.equal(fs.readFileSync(file, 'latin1'), before);
    assertNoTemporaries(path.dirname(file));
  }));

test('temporaries a crash left behind are removed by the next change of their file, and nothing else', () =>
  withHome(['login.keychain'], (home) => {
    const keychain = keychainPath(home, 'login.keychain');
    const dir = path.dirname(keychain);
    const stale = [`${keychain}.tmp.0f1e2d3c4b5a69788796a5b4`, path.join(dir, '.search-list.tmp.00112233445566778899aabb')];
    for (const file of stale) fs.writeFileSync(file, 'every secret of the keychain');
    // Keychains that merely look like temporaries: ".tmp." inside a name,
    // and the process-number form of older builds, which the next change of
    // login.keychain must not delete with all their items.
    const unrelated = [keychainPath(home, 'login.keychain.tmp.2026.keychain'), `${keychain}.tmp.2024`,
      `${keychain}.tmp.0F1E2D3C4B5A69788796A5B4`, path.join(dir, '.search-list.tmp.31337')];
    for (const file of unrelated) fs.writeFileSync(file, 'not ours');
    addItem(home, 'login.keychain');
    mustSecurity(home, ['list-keychains', '-d', 'user', '-s', 'login.keychain']);
    assert.deepEqual(stale.filter((file) => fs.existsSync(file)), []);
    for (const file of unrelated) assert.equal(fs.readFileSync(file, 'utf8'), 'not ours', file);
  }));

test('files that never end or are too large are refused, never read to the end of memory', async (t) => {
  const rows = [
    { name: 'a list that links to /dev/zero', reason: 'keychain-status-unavailable',
      plant: (home) => {
        const unlocked = path.join(path.dirname(keychainPath(home, 'login.keychain')), '.unlocked');
        fs.rmSync(unlocked);
        fs.symlinkSync('/dev/zero', unlocked);
      } },
    { name: 'a keychain past the size cap', reason: 'metadata-query-failed',
      plant: (home) => fs.truncateSync(keychainPath(home, 'login.keychain'), MAX_FILE_BYTES + 1) },
  ];
  for (const row of rows) {
    await t.test(row.name, () => withHome(['login.keychain'], (home) => {
      addItem(home, 'login.keychain');
      row.plant(home);
      assert.deepEqual(answers(home), failed(errSecDataTooLarge, row.reason, errSecDataTooLarge));
    }));
  }
});

// A keychain that parses, holding the application's item and a second one
// of about 14 MB: reading it takes far more memory than the limit below,
// which is far more than a run on a small keychain needs.
function plantLargeKeychain(home) {
  const hex = (text) => Buffer.from(text).toString('hex');
  fs.writeFileSync(keychainPath(home, 'login.keychain'), 'standin-keychain 1\npassword 7077\n' +
    `item ${hex('bulk')} ${hex('bulk')} ${'ab'.repeat(7 * 1024 * 1024)}\n` +
    `item ${hex(SERVICE)} ${hex(ACCOUNT)} ${hex('secret')}\n`);
}

test('out of memory is a keychain error, never an abort nor a keychain read as having fewer items',
  { skip: sanitized && 'no address space limit under the sanitizer runtime' }, () =>
    withHome(['login.keychain'], (home) => {
      const limited = (program, args) => runAfter('ulimit -v 30000', home, program, args);
      // The limit leaves room for every run on a small keychain.
      addItem(home, 'login.keychain');
      assert.deepEqual(answers(home, limited), {
        tool: 0, keyfetch: { status: 0, out: 'secret' },
        lockscout: { status: 'exists', reason: 'account-metadata-found', osStatus: 0 },
      });
      plantLargeKeychain(home);
      const before = fs.readFileSync(keychainPath(home, 'login.keychain'), 'latin1');
      assert.deepEqual(answers(home, limited), failed(errSecAllocate, 'metadata-query-failed', errSecAllocate));
      // A create that cannot read the keychain must not store its key in a
      // rewritten keychain that lost the items it could not read.
      const create = spawnSync('/bin/sh', ['-c', 'ulimit -v 30000; exec "$0" create-key "$1"',
        deliverable('keyfetch'), IDENTITY], { env: { ...process.env, HOME: home }, input: 'new key' });
      assert.equal(create.signal, null);
      assert.equal(create.status, 1);
      assert.equal(fs.readFileSync(keychainPath(home, 'login.keychain'), 'latin1'), before);
    }));

test('a corrupt or truncated keychain is an error for every reader, not an empty keychain', async (t) => {
  const rows = [
    { name: 'cut before the last field', cut: (text) => text.slice(0, text.lastIndexOf(' ')) },
    { name: 'cut inside the first line', cut: (text) => text.slice(0, 9) },
    { name: 'not a keychain at all', cut: () => '{"items": []}\n' },
  ];
  for (const row of rows) {
    await t.test(row.name, () => withHome(['login.keychain'], (home) => {
      addItem(home, 'login.keychain');
      const file = keychainPath(home, 'login.keychain');
      fs.writeFileSync(file, row.cut(fs.readFileSync(file, 'latin1')), 'latin1');
      assert.deepEqual(answers(home), failed(errSecIO, 'metadata-query-failed', errSecIO));
    }));
  }
});

test('find and delete without -s or -a match any service or account; given empty, only the empty name', () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain', { service: 'svc', account: 'acct', password: 'pw1' });
    const find = (args) => security(home, ['find-generic-password', ...args]);
    assert.equal(find(['-s', 'svc', '-w']).stdout, 'pw1\n');
    assert.equal(find(['-a', 'acct', '-w']).stdout, 'pw1\n');
    assert.equal(find(['-w']).stdout, 'pw1\n');
    assert.equal(find(['-s', 'svc', '-a', '', '-w']).status, 44);
    // The item is shown with its own names, not with those asked for.
    assert.match(find(['-s', 'svc']).stdout, /\n {4}"acct"<blob>="acct"\n {4}"svce"<blob>="svc"\n$/);
    assert.equal(security(home, ['delete-generic-password', '-s', 'svc', '-a', '']).status, 44);
    const deleted = mustSecurity(home, ['delete-generic-password', '-a', 'acct']);
    assert.match(deleted.stdout, /"svce"<blob>="svc"\npassword has been deleted\.\n$/);
    assert.equal(find(['-s', 'svc']).status, 44);
  }));

test('relative entries of the user lists name keychains in the keychain directory', () =>
  withHome(['login.keychain'], (home) => {
    const dir = path.dirname(keychainPath(home, 'login.keychain'));
    for (const list of ['.search-list', '.default-keychain', '.unlocked']) {
      fs.writeFileSync(path.join(dir, list), 'login.keychain\n');
    }
    // Run from elsewhere, where no login.keychain lies.
    const cwd = path.join(home, 'work');
    fs.mkdirSync(cwd);
    const run = (program, args, input = '') => spawnSync(deliverable(program), args,
      { env: { ...process.env, HOME: home }, cwd, input, encoding: 'latin1' });
    assert.equal(run('security', ['list-keychains']).stdout, `    "${keychainPath(home, 'login.keychain')}"\n`);
    const created = run('keyfetch', ['create-key', IDENTITY], 'fresh key');
    assert.deepEqual([created.status, created.stdout], [0, 'fresh key']);
    assert.equal(JSON.parse(run('lockscout', [IDENTITY]).stdout).status, 'exists');
    assert.equal(run('security', ['find-generic-password', '-s', SERVICE, '-a', ACCOUNT, '-w']).stdout,
      'fresh key\n');
    assert.deepEqual(fs.readdirSync(cwd), []);
  }));

// A stack limit of 64 KiB is far more than the programs need once no 64 KiB
// buffer lives on the stack; with one there, keyfetch died by SIGSEGV after
// reading the key and before wiping it.
test('a small stack limit: the programs answer, never die by SIGSEGV',
  { skip: sanitized && 'the sanitizer runtime needs a larger stack' }, () =>
    withHome(['login.keychain'], (home) => {
      addItem(home, 'login.keychain');
      const small = (program, args) => runAfter('ulimit -s 64', home, program, args);
      assert.deepEqual(answers(home, small), {
        tool: 0, keyfetch: { status: 0, out: 'secret' },
        lockscout: { status: 'exists', reason: 'account-metadata-found', osStatus: 0 },
      });
      const create = runAfter('ulimit -s 64', home, deliverable('keyfetch'), ['create-key', 'Velkor-Atlas'],
        { input: 'new key' });
      assert.equal(create.signal, null);
      assert.equal(create.status, 0);
      assert.equal(create.stdout, 'new key');
    }));

// Every allocation before main fails, as under an address-space limit that
// leaves the heap nothing: the stand-in's constants must not need one.
const noAllocationBeforeMain = deliverable('no_allocation_before_main.so');
test('nothing is allocated before main', {
  skip: !fs.existsSync(noAllocationBeforeMain) && 'the preload library is not built (Linux, no sanitizers)',
}, () =>
  withHome(['login.keychain'], (home) => {
    addItem(home, 'login.keychain');
    const env = { ...process.env, HOME: home, LD_PRELOAD: noAllocationBeforeMain };
    const starved = (program, args) => runAfter(':', home, program, args, { env });
    assert.deepEqual(answers(home, starved), {
      tool: 0, keyfetch: { status: 0, out: 'secret' },
      lockscout: { status: 'exists', reason: 'account-metadata-found', osStatus: 0 },
    });
    const keyvet = starved(deliverable('keyvet'), []);
    assert.equal(keyvet.signal, null);
    assert.equal(keyvet.status, 0);
  }));
