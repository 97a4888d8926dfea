'use strict';
// anchorfile: publication without replacing, its refusals, and a removal
// that survives being interrupted, all through the package as an
// application calls it (there: require('@native/anchorfile')).
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const anchorfile = require('../packages/anchorfile-native');
const { heading, step, show, attempt, callText, throwawayDir } = require('./util.js');

const packagePath = path.resolve(__dirname, '..', 'packages', 'anchorfile-native');
const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const blobParent = 'content/blobs/ab';

// A publication temporary whose digest starts with "ab", so that it
// belongs in content/blobs/ab.
function temporaryName() {
  return anchorfile.publicationTemporaryName(`ab${crypto.randomBytes(31).toString('hex')}`);
}

function listing(dir) {
  return fs.readdirSync(dir).map((n) => (n.length > 30 ? `${n.slice(0, 26)}...` : n)).join(', ') || '(empty)';
}

function removalArgs(root, name, quarantine) {
  const dir = path.join(root, blobParent);
  return [root, blobParent, name, ...anchorfile.directoryIdentity(dir),
    ...anchorfile.fileIdentity(path.join(dir, name)), quarantine];
}

function recoveryArgs(root, quarantine) {
  return [root, blobParent, quarantine, ...anchorfile.directoryIdentity(path.join(root, blobParent))];
}

// Prints the call with all its arguments, then makes it.
function call(name, args) {
  return attempt(callText(name, args.map((a) => (typeof a === 'string' && a.startsWith('/') ? a.replace(/^.*\//, '.../') : a))),
    () => anchorfile[name](...args));
}

// Runs one removal in a child node process that the test build's fault
// injector stops dead right after the receipt and both directory syncs.
function interruptedRemoval(root, args) {
  const interposer = path.join(buildDir, 'anchorfile_faultinject.so');
  if (!fs.existsSync(interposer)) return null;
  const script = `require(${JSON.stringify(packagePath)}).removeAnchoredFile(...JSON.parse(process.argv[1]).map((v, i) => (i >= 3 && i <= 8 ? BigInt(v) : v)))`;
  const run = (env) => spawnSync(process.execPath, ['-e', script, JSON.stringify(args.map(String))], {
    encoding: 'utf8',
    env: {
      ...process.env,
      LD_PRELOAD: [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':'),
      ANCHORFILE_FAULT_ROOT: root,
      ...env,
    },
  });
  // Find the call that syncs the parent after the receipt: the third fsync.
  const probeRoot = throwawayDir('anchorfile-tour-probe-');
  fs.mkdirSync(path.join(probeRoot, blobParent), { recursive: true });
  const probeName = temporaryName();
  fs.writeFileSync(path.join(probeRoot, blobParent, probeName), 'probe');
  const log = path.join(probeRoot, 'calls.log');
  spawnSync(process.execPath, ['-e', script,
    JSON.stringify(removalArgs(probeRoot, probeName, anchorfile.publicationQuarantineName()).map(String))], {
    env: { ...process.env, LD_PRELOAD: [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':'),
      ANCHORFILE_FAULT_ROOT: probeRoot, ANCHORFILE_FAULT_ACTION: 'none', ANCHORFILE_FAULT_LOG: log },
  });
  const calls = fs.existsSync(log) ? fs.readFileSync(log, 'utf8').trim().split('\n') : [];
  const fsyncs = calls.map((line, i) => (/\bfsync\b/.test(line) ? i + 1 : 0)).filter(Boolean);
  if (fsyncs.length < 3) return null;
  return run({ ANCHORFILE_FAULT_ACTION: 'exit', ANCHORFILE_FAULT_AT: String(fsyncs[2]) });
}

function run() {
  heading('anchorfile: publishing and removing files in the storage tree');
  const root = throwawayDir('anchorfile-tour-');
  const dir = path.join(root, blobParent);
  fs.mkdirSync(dir, { recursive: true });
  fs.mkdirSync(path.join(root, 'a'));
  show('storage root', root);

  step('Publish a staged file under its final name (never replacing anything)');
  fs.writeFileSync(path.join(dir, 'upload.tmp'), 'hello');
  attempt('publishNoReplace(root, "content/blobs/ab", "upload.tmp", "hello.txt")',
    () => anchorfile.publishNoReplace(root, blobParent, 'upload.tmp', 'hello.txt'));
  show('directory now holds', listing(dir));

  step('The refusals a caller meets');
  fs.writeFileSync(path.join(dir, 'second.tmp'), 'second');
  attempt('destination exists', () => anchorfile.publishNoReplace(root, blobParent, 'second.tmp', 'hello.txt'));
  fs.symlinkSync('/etc/hostname', path.join(dir, 'link.tmp'));
  attempt('source is a symbolic link', () => anchorfile.publishNoReplace(root, blobParent, 'link.tmp', 'x'));
  fs.symlinkSync(path.join(root, 'content'), path.join(root, 'shortcut'));
  attempt('parent path runs through a symbolic link',
    () => anchorfile.publishNoReplace(root, 'shortcut/blobs/ab', 'second.tmp', 'x'));
  attempt('a NUL byte in the parent ("..\\u0000x")',
    () => anchorfile.publishNoReplace(root, '..\u0000x', 'second.tmp', 'x'));
  show('directory still holds', listing(dir));

  step('Remove exactly the file we looked at, through a quarantine with a durable receipt');
  const doomed = temporaryName();
  fs.writeFileSync(path.join(dir, doomed), 'to be removed');
  show('arguments', 'root, parent, name, the parent\'s dev and ino, the file\'s dev, ino, size and mtimeNs '
    + '(BigInts of fs.statSync(p, { bigint: true })), a new quarantine name');
  call('removeAnchoredFile', removalArgs(root, doomed, anchorfile.publicationQuarantineName()));
  show('file still there?', fs.existsSync(path.join(dir, doomed)));

  step('A removal whose process dies right after writing its receipt');
  const survivor = temporaryName();
  fs.writeFileSync(path.join(dir, survivor), 'interrupted');
  const quarantine = anchorfile.publicationQuarantineName();
  const child = interruptedRemoval(root, removalArgs(root, survivor, quarantine));
  if (child === null) {
    show('skipped', 'the test build\'s fault injector (anchorfile_faultinject.so) is not built');
  } else {
    show('child process', `stopped dead with status ${child.status}`);
    show('left behind', `${listing(dir)}; quarantine holds ${listing(path.join(dir, quarantine))}`);
    show('recovery', 'a publication temporary in content/blobs/ab: the 5-argument form finishes it');
    call('recoverAnchoredRemoval', recoveryArgs(root, quarantine));
    show('left behind', listing(dir));
  }

  step('Any other file (here a/x) needs a content quarantine and the 6-argument recovery');
  fs.writeFileSync(path.join(root, 'a', 'x'), 'not a publication temporary');
  const other = (quarantine) => [root, 'a', 'x', ...anchorfile.directoryIdentity(path.join(root, 'a')),
    ...anchorfile.fileIdentity(path.join(root, 'a', 'x')), quarantine];
  show('why', 'a publication quarantine could never be recovered for it, so the removal refuses one');
  call('removeAnchoredFile', other(anchorfile.publicationQuarantineName()));
  const content = anchorfile.contentQuarantineName(crypto.createHash('sha256').update('a/x').digest('hex'));
  fs.mkdirSync(path.join(root, 'a', content), { mode: 0o700 });
  show('left by a crash right after creating the quarantine', listing(path.join(root, 'a')));
  call('recoverAnchoredRemoval', [root, 'a', content, ...anchorfile.directoryIdentity(path.join(root, 'a')), 'x']);
  call('removeAnchoredFile', other(content));
  show('a/ now holds', listing(path.join(root, 'a')));

  step('Recovery puts back a quarantined file that is not the one the receipt names');
  const swapped = temporaryName();
  fs.writeFileSync(path.join(dir, swapped), 'original');
  const rollback = anchorfile.publicationQuarantineName();
  const args = removalArgs(root, swapped, rollback);
  fs.mkdirSync(path.join(dir, rollback), { mode: 0o700 });
  fs.writeFileSync(path.join(dir, rollback, 'receipt'),
    ['publication-removal-v1', swapped, ...args.slice(3, 9).map(String), ''].join('\n'));
  fs.rmSync(path.join(dir, swapped));
  fs.writeFileSync(path.join(dir, rollback, 'payload'), 'someone else\'s file');
  show('quarantine holds', `${listing(path.join(dir, rollback))} (payload is a different file)`);
  call('recoverAnchoredRemoval', recoveryArgs(root, rollback));
  show('put back at its name', JSON.stringify(fs.readFileSync(path.join(dir, swapped), 'utf8')));
}

module.exports = { run };
