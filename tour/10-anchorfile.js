'use strict';
// anchorfile: publication without replacing, its refusals, and a removal
// that survives being interrupted.
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { heading, step, show, attempt, throwawayDir } = require('./util.js');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const addonPath = path.join(buildDir, 'anchorfile.node');
const anchorfile = require(addonPath);

const blobParent = 'content/blobs/ab';

function temporaryName() {
  return `ab${crypto.randomBytes(31).toString('hex')}.${crypto.randomUUID()}.tmp`;
}

function listing(dir) {
  return fs.readdirSync(dir).map((n) => (n.length > 30 ? `${n.slice(0, 26)}...` : n)).join(', ') || '(empty)';
}

function removalArgs(root, name, quarantine) {
  const dir = path.join(root, blobParent);
  const parent = fs.statSync(dir, { bigint: true });
  const file = fs.lstatSync(path.join(dir, name), { bigint: true });
  return [root, blobParent, name, parent.dev, parent.ino, file.dev, file.ino, file.size, file.mtimeNs, quarantine];
}

function recover(root, quarantine) {
  const parent = fs.statSync(path.join(root, blobParent), { bigint: true });
  return anchorfile.recoverAnchoredRemoval(root, blobParent, quarantine, parent.dev, parent.ino);
}

// Runs one removal in a child node process that the test build's fault
// injector stops dead right after the receipt and both directory syncs.
function interruptedRemoval(root, args) {
  const interposer = path.join(buildDir, 'anchorfile_faultinject.so');
  if (!fs.existsSync(interposer)) return null;
  const script = `require(${JSON.stringify(addonPath)}).removeAnchoredFile(...JSON.parse(process.argv[1]).map((v, i) => (i >= 3 && i <= 8 ? BigInt(v) : v)))`;
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
    JSON.stringify(removalArgs(probeRoot, probeName, `.publication-recovery-${crypto.randomUUID()}`).map(String))], {
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
  attempt('removeAnchoredFile(...)', () => anchorfile.removeAnchoredFile(
    ...removalArgs(root, doomed, `.publication-recovery-${crypto.randomUUID()}`)));
  show('file still there?', fs.existsSync(path.join(dir, doomed)));

  step('A removal whose process dies right after writing its receipt');
  const survivor = temporaryName();
  fs.writeFileSync(path.join(dir, survivor), 'interrupted');
  const quarantine = `.publication-recovery-${crypto.randomUUID()}`;
  const child = interruptedRemoval(root, removalArgs(root, survivor, quarantine));
  if (child === null) {
    show('skipped', 'the test build\'s fault injector (anchorfile_faultinject.so) is not built');
  } else {
    show('child process', `stopped dead with status ${child.status}`);
    show('left behind', `${listing(dir)}; quarantine holds ${listing(path.join(dir, quarantine))}`);
    attempt('recoverAnchoredRemoval(...) finishes it', () => recover(root, quarantine));
    show('left behind', listing(dir));
  }

  step('Recovery puts back a quarantined file that is not the one the receipt names');
  const swapped = temporaryName();
  fs.writeFileSync(path.join(dir, swapped), 'original');
  const rollback = `.publication-recovery-${crypto.randomUUID()}`;
  const args = removalArgs(root, swapped, rollback);
  fs.mkdirSync(path.join(dir, rollback), { mode: 0o700 });
  fs.writeFileSync(path.join(dir, rollback, 'receipt'),
    ['publication-removal-v1', swapped, ...args.slice(3, 9).map(String), ''].join('\n'));
  fs.rmSync(path.join(dir, swapped));
  fs.writeFileSync(path.join(dir, rollback, 'payload'), 'someone else\'s file');
  show('quarantine holds', `${listing(path.join(dir, rollback))} (payload is a different file)`);
  attempt('recoverAnchoredRemoval(...)', () => recover(root, rollback));
  show('put back at its name', JSON.stringify(fs.readFileSync(path.join(dir, swapped), 'utf8')));
}

module.exports = { run };
