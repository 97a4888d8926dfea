'use strict';
// publishNoReplace and removeAnchoredFile per call, against what a script
// would otherwise write: link + unlink (the plain no-replace idiom) and
// rename (which replaces) for publication; unlink plus an fsync of the
// parent (not crash-safe, but the floor for a durable delete) for removal.
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { interleave, report } = require('./support.js');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const anchorfile = require(path.join(buildDir, 'anchorfile.node'));

const ROUNDS = Number(process.env.BENCH_ROUNDS || 15);
const PER_ROUND = Number(process.env.BENCH_OPS || 200);

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'anchorfile-bench-'));
process.on('exit', () => fs.rmSync(root, { recursive: true, force: true }));

function timePerOp(prepare, operation) {
  const items = [];
  for (let i = 0; i < PER_ROUND; i++) items.push(prepare(i));
  const start = process.hrtime.bigint();
  for (const item of items) operation(item);
  return Number(process.hrtime.bigint() - start) / PER_ROUND;
}

// --- publication -----------------------------------------------------------
let serial = 0;
function stage(dir) {
  const name = `staged-${serial++}.tmp`;
  fs.writeFileSync(path.join(dir, name), 'x');
  return name;
}

function publicationContenders(parent) {
  const dir = path.join(root, 'pub', parent);
  fs.mkdirSync(dir, { recursive: true });
  const empty = (round) => {
    for (const name of fs.readdirSync(dir)) fs.unlinkSync(path.join(dir, name));
    return round;
  };
  return {
    [`publishNoReplace (depth ${parent ? parent.split('/').length : 0})`]: (round) => {
      empty(round);
      return timePerOp(() => stage(dir), (name) => anchorfile.publishNoReplace(path.join(root, 'pub'), parent, name, `${name}.final`));
    },
    'fs.linkSync + fs.unlinkSync': (round) => {
      empty(round);
      return timePerOp(() => path.join(dir, stage(dir)), (file) => { fs.linkSync(file, `${file}.final`); fs.unlinkSync(file); });
    },
    'fs.renameSync (replaces)': (round) => {
      empty(round);
      return timePerOp(() => path.join(dir, stage(dir)), (file) => fs.renameSync(file, `${file}.final`));
    },
  };
}

report('publication, depth 0 (parent is the storage root)',
  interleave(publicationContenders(''), ROUNDS), 'fs.linkSync + fs.unlinkSync');
report('publication, depth 3 (content/blobs/ab)',
  interleave(publicationContenders('content/blobs/ab'), ROUNDS), 'fs.linkSync + fs.unlinkSync');

// --- removal ---------------------------------------------------------------
const removalParent = 'content/blobs/cd';
const removalDir = path.join(root, 'rm', removalParent);
fs.mkdirSync(removalDir, { recursive: true });
const parentId = fs.statSync(removalDir, { bigint: true });

// A publication temporary is removed from the blob directory named by its
// own first two hex digits (the only place its recovery accepts it), so
// every planted name starts with "cd".
function plant() {
  const name = `cd${crypto.randomBytes(31).toString('hex')}.${crypto.randomUUID()}.tmp`;
  const file = path.join(removalDir, name);
  fs.writeFileSync(file, 'blob');
  return { name, file, id: fs.statSync(file, { bigint: true }) };
}

const removal = interleave({
  removeAnchoredFile: () => timePerOp(plant, ({ name, id }) => anchorfile.removeAnchoredFile(
    path.join(root, 'rm'), removalParent, name, parentId.dev, parentId.ino, id.dev, id.ino, id.size,
    id.mtimeNs, `.publication-recovery-${crypto.randomUUID()}`)),
  'fs.unlinkSync + fsync(parent)': () => timePerOp(plant, ({ file }) => {
    fs.unlinkSync(file);
    const fd = fs.openSync(removalDir, 'r');
    fs.fsyncSync(fd);
    fs.closeSync(fd);
  }),
}, ROUNDS);
report('removal of one file', removal, 'fs.unlinkSync + fsync(parent)');

// --- fsync count of one removal ----------------------------------------------
// Counted by the test build's interposer, which logs each call a removal makes.
const interposer = path.join(buildDir, 'anchorfile_faultinject.so');
if (fs.existsSync(interposer)) {
  const log = path.join(root, 'calls.log');
  const { name, id } = plant();
  const child = spawnSync(process.execPath, ['-e', `
    require(${JSON.stringify(path.join(buildDir, 'anchorfile.node'))}).removeAnchoredFile(
      ${JSON.stringify(path.join(root, 'rm'))}, ${JSON.stringify(removalParent)}, ${JSON.stringify(name)},
      ${parentId.dev}n, ${parentId.ino}n, ${id.dev}n, ${id.ino}n, ${id.size}n, ${id.mtimeNs}n,
      '.publication-recovery-${crypto.randomUUID()}')`], {
    env: {
      ...process.env,
      LD_PRELOAD: [process.env.LD_PRELOAD, interposer].filter(Boolean).join(':'),
      ANCHORFILE_FAULT_ROOT: path.join(root, 'rm'),
      ANCHORFILE_FAULT_ACTION: 'none',
      ANCHORFILE_FAULT_LOG: log,
    },
    encoding: 'utf8',
  });
  if (child.status === 0 && fs.existsSync(log)) {
    const calls = fs.readFileSync(log, 'utf8').trim().split('\n');
    const fsyncs = calls.filter((line) => /\bfsync\b/.test(line)).length;
    // receipt, quarantine, parent (receipt durable); quarantine, parent (after
    // the move); quarantine (payload gone); quarantine (receipt gone); parent
    // (quarantine gone).
    const required = 8;
    console.log(`\none removal makes ${calls.length} counted file-system calls, ${fsyncs} of them fsync;`);
    console.log(`  the protocol requires ${required}: ${fsyncs === required ? 'no extra fsync' : 'MISMATCH'}`);
  } else {
    console.log(`\nfsync count unavailable: ${child.stderr}`);
  }
} else {
  console.log('\nfsync count skipped: build/anchorfile_faultinject.so is not built');
}
