'use strict';
// The packages as an application gets them: each one packed by npm,
// installed from its tarball into a throwaway application outside this
// repository, then loaded by require and by import, every export called
// once, and the shipped declarations type-checked. Nothing here may reach
// back into the repository's build/: a package that works only beside its
// sources is no package.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, deliverable, makeTempDir } = require('./support/native');
const { adhocSignatureFault } = require('./support/macho');
const { packInto } = require('../scripts/pack');

const PACKAGES = ['anchorfile-native', 'proclineage-native', 'lockscout-native'];
const PROGRAMS = ['keyfetch', 'keyvet', 'lockscout'];
const DARWIN_TARGETS = ['darwin-arm64', 'darwin-x64'];
// What each package ships for linux-x64 and for each darwin target.
const BINARIES = {
  'anchorfile-native': { linux: ['anchorfile.node'], darwin: ['anchorfile.node'] },
  'proclineage-native': { linux: ['proclineage.node'], darwin: ['proclineage.node'] },
  'lockscout-native': { linux: [], darwin: PROGRAMS },
};
// With the macOS cross-build at hand (always under npm test) the packages
// are packed with its darwin files too, as "npm run prebuilds" makes them.
const CROSS_BUILT = process.env.MACOS_CROSS_BUILT === '1'
  || ['build-macos', 'build-macos-arm64'].every((dir) => fs.existsSync(path.join(root, dir)));

function shippedFiles(pkg) {
  const files = BINARIES[pkg].linux.map((name) => `prebuilds/linux-x64/${name}`);
  if (CROSS_BUILT) {
    for (const target of DARWIN_TARGETS) files.push(...BINARIES[pkg].darwin.map((name) => `prebuilds/${target}/${name}`));
  }
  return files;
}
const ENTRY = ['README.md', 'index.d.mts', 'index.d.ts', 'index.js', 'index.mjs', 'package.json'];
const PROMISE_FORM = ['load-addon.js', 'promises.d.mts', 'promises.d.ts', 'promises.js', 'promises.mjs', 'worker-pool.js'];
const ENTRY_FILES = {
  'anchorfile-native': [...ENTRY, ...PROMISE_FORM, 'arguments.js'],
  'proclineage-native': [...ENTRY, ...PROMISE_FORM],
  'lockscout-native': ENTRY,
};
const DIGEST = 'ab'.repeat(32);

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 1 << 24, ...options });
  assert.equal(result.error, undefined, `${command}: ${result.error}`);
  assert.equal(result.status, 0, `${command} ${args.join(' ')}:\n${result.stdout}\n${result.stderr}`);
  return result.stdout;
}

// npm without the repository's own configuration, with no network unless
// the cache lacks a dependency, and quiet.
function npm(args, cwd) {
  return run('npm', [...args, '--no-audit', '--no-fund', '--prefer-offline', '--loglevel=error'], { cwd });
}

// Packs every package and installs the tarballs into a
// new application with plain commands, as a teammate or CI on any system
// must be able to: "npm install" of all three, then "npm ci" from the lock
// file that wrote. A package that names the systems it installs on (npm's
// "os" and "cpu") fails both with EBADPLATFORM elsewhere, and --force would
// only move the failure to every later install. Returns the directories
// and what npm packed.
function installApplication() {
  run(process.execPath, [path.join(root, 'scripts', 'prebuild.js'), CROSS_BUILT ? '--existing-builds' : '--host-only']);
  const base = fs.realpathSync(makeTempDir('application-'));
  const tarballs = path.join(base, 'tarballs');
  const app = path.join(base, 'app');
  fs.mkdirSync(tarballs);
  fs.mkdirSync(app);
  // Packed as "npm run pack" packs them.
  const packed = {};
  for (const [pkg, info] of Object.entries(packInto(tarballs))) {
    packed[pkg] = {
      tarball: info.tarball,
      files: info.files.map((f) => f.path).sort(),
      modes: Object.fromEntries(info.files.map((f) => [f.path, f.mode])),
    };
  }
  fs.writeFileSync(path.join(app, 'package.json'),
    JSON.stringify({ name: 'throwaway-application', version: '1.0.0', private: true }));
  npm(['install', ...PACKAGES.map((pkg) => packed[pkg].tarball)], app);
  const { dependencies } = JSON.parse(fs.readFileSync(path.join(app, 'package.json'), 'utf8'));
  assert.deepEqual(Object.keys(dependencies).sort(), ['@native/anchorfile', '@native/lockscout', '@native/proclineage']);
  npm(['ci'], app);
  return { base, app, packed };
}

const CJS_PROGRAM = `
const fs = require('fs');
const path = require('path');
const anchorfile = require('@native/anchorfile');
const proclineage = require('@native/proclineage');
const lockscout = require('@native/lockscout');

const root = fs.mkdtempSync(path.join(require('os').tmpdir(), 'app-storage-'));
const parent = 'content/blobs/ab';
fs.mkdirSync(path.join(root, parent), { recursive: true });
const out = {};
try {
  const digest = process.argv[2];
  const staged = anchorfile.publicationTemporaryName(digest);
  fs.writeFileSync(path.join(root, parent, 'upload'), 'bytes');
  anchorfile.publishNoReplace(root, parent, 'upload', staged);
  out.published = fs.readdirSync(path.join(root, parent));
  out.inspect = anchorfile.inspectPath(root);
  out.temporary = anchorfile.isPublicationTemporary(staged);
  const quarantine = anchorfile.publicationQuarantineName();
  out.kinds = [anchorfile.quarantineKind(quarantine), anchorfile.quarantineKind(anchorfile.contentQuarantineName(digest)),
    anchorfile.quarantineKind('plain')];
  const ids = [...anchorfile.directoryIdentity(path.join(root, parent)),
    ...anchorfile.fileIdentity(path.join(root, parent, staged))];
  out.idTypes = ids.map((v) => typeof v);
  anchorfile.removeAnchoredFile(root, parent, staged, ...ids, quarantine);
  out.afterRemoval = fs.readdirSync(path.join(root, parent));
  fs.mkdirSync(path.join(root, parent, quarantine), { mode: 0o700 });
  out.listed = anchorfile.recoverListedQuarantine(root, parent, quarantine);
  fs.mkdirSync(path.join(root, parent, quarantine), { mode: 0o700 });
  anchorfile.recoverAnchoredRemoval(root, parent, quarantine, ids[0], ids[1]);
  out.afterRecovery = fs.readdirSync(path.join(root, parent));

  out.self = proclineage.getDarwinProcess(process.pid);
  out.args = proclineage.getDarwinProcessArguments(process.pid);
  out.env = proclineage.getDarwinEnvironmentValue(process.pid, 'APP_MARK');
  const list = proclineage.listDarwinProcesses();
  out.listed_self = list.processes.some((p) => p.pid === process.pid);

  out.loaded = Object.keys(require.cache).filter((f) => f.endsWith('.node'));
  out.unpacked = lockscout.unpackedPath('/Applications/X.app/Contents/Resources/app.asar/node_modules/a');
  const refusal = (fn) => { try { fn(); return null; } catch (e) { return { code: e.code, message: e.message }; } };
  out.refusals = ['lockscout', 'keyfetch', 'keyvet'].map((name) => refusal(() => lockscout.programPath(name)));
  out.refusals.push(refusal(() => lockscout.probeIdentitySync('Velkor Atlas')));
  const rejection = (promise) => promise.then(() => null, (e) => ({ code: e.code, message: e.message }));
  const asyncAnchorfile = require('@native/anchorfile/promises');
  out.promiseObjects = asyncAnchorfile === anchorfile.promises
    && require('@native/proclineage/promises') === proclineage.promises;
  fs.writeFileSync(path.join(root, parent, 'pooled'), 'bytes');
  const pooled = Promise.all([asyncAnchorfile.directoryIdentity(path.join(root, parent)),
    asyncAnchorfile.fileIdentity(path.join(root, parent, 'pooled'))])
    .then(([dir, file]) => asyncAnchorfile.removeAnchoredFile(root, parent, 'pooled', ...dir, ...file,
      anchorfile.contentQuarantineName(digest)))
    .then(() => { out.pooledRemoval = fs.readdirSync(path.join(root, parent)); })
    .then(() => proclineage.promises.listDarwinProcesses())
    .then((list) => { out.pooledListing = Array.isArray(list.processes); });
  Promise.all([pooled, lockscout.probeIdentity('Velkor Atlas'), lockscout.readKey('Velkor Atlas'),
    lockscout.createKey('Velkor Atlas', Buffer.from('k'))].map(rejection)).then(([pooledFault, ...rejected]) => {
    out.pooledFault = pooledFault;
    out.refusals.push(...rejected);
    fs.rmSync(root, { recursive: true, force: true });
    process.stdout.write(JSON.stringify(out));
  });
} catch (error) {
  fs.rmSync(root, { recursive: true, force: true });
  throw error;
}
`;

const ESM_PROGRAM = `
import { createRequire } from 'module';
import * as anchorfile from '@native/anchorfile';
import anchorfileDefault, { publishNoReplace, recoverListedQuarantine } from '@native/anchorfile';
import * as proclineage from '@native/proclineage';
import { getDarwinProcess } from '@native/proclineage';
import * as lockscout from '@native/lockscout';
import { programPath } from '@native/lockscout';

const require = createRequire(import.meta.url);
const out = {};
for (const [name, esm] of Object.entries({ anchorfile, proclineage, lockscout })) {
  const cjs = require('@native/' + name);
  out[name] = {
    names: Object.keys(esm).filter((k) => k !== 'default').sort(),
    cjsNames: Object.keys(cjs).sort(),
    same: Object.keys(cjs).every((k) => esm[k] === cjs[k]) && esm.default === cjs,
  };
}
out.named = [publishNoReplace, recoverListedQuarantine, getDarwinProcess, programPath].every((f) => typeof f === 'function')
  && anchorfileDefault.publishNoReplace === publishNoReplace;
out.self = getDarwinProcess(process.pid)?.pid ?? null;
process.stdout.write(JSON.stringify(out));
`;

// Where an add-on package has no build (Windows, Linux on Arm) it still
// loads, by require and by import, every add-on function refusing with the
// reason and the plain script helpers working.
const NO_BUILD_PROGRAM = `
const packages = { anchorfile: require('@native/anchorfile'), proclineage: require('@native/proclineage') };
const out = { name: packages.anchorfile.publicationQuarantineName(), refusals: {} };
for (const [name, pkg] of Object.entries(packages)) {
  for (const [key, fn] of Object.entries(pkg)) {
    try { fn(); } catch (e) { if (e.code === 'ENOTSUP') out.refusals[name + '.' + key] = e.message; }
  }
}
Promise.all(Object.keys(packages).map((name) => import('@native/' + name))).then((modules) => {
  out.esmFunctions = modules.map((m) => Object.entries(m).filter(([k]) => k !== 'default' && k !== 'promises')
    .every(([, v]) => typeof v === 'function'));
  process.stdout.write(JSON.stringify(out));
});
`;

// The two module systems an application's TypeScript may compile for.
const TSCONFIGS = {
  'tsconfig.commonjs.json': { module: 'commonjs', moduleResolution: 'node10', files: ['usage.ts'] },
  'tsconfig.nodenext.json': { module: 'nodenext', moduleResolution: 'nodenext', files: ['usage.ts', 'usage.mts'] },
};

function writeTypeCheck(app) {
  for (const name of ['usage.ts', 'usage.mts']) {
    fs.copyFileSync(path.join(root, 'test', 'types', name), path.join(app, name));
  }
  for (const [name, { module, moduleResolution, files }] of Object.entries(TSCONFIGS)) {
    fs.writeFileSync(path.join(app, name), JSON.stringify({
      compilerOptions: {
        strict: true, noEmit: true, target: 'es2022', module, moduleResolution,
        types: ['node'], typeRoots: [path.join(root, 'node_modules', '@types')], skipLibCheck: false,
      },
      files,
    }));
  }
}

function binaryHasDebugInfo(file) {
  // ELF names the section .debug_info, Mach-O __debug_info; stripping
  // removes both the sections and their names.
  return fs.readFileSync(file).includes('debug_info');
}

test('packed, installed outside the repository, loaded and called as an application does', (t) => {
  const { base, app, packed } = installApplication();
  t.after(() => fs.rmSync(base, { recursive: true, force: true }));
  assert.ok(!app.startsWith(root + path.sep), 'the application lies outside the repository');

  // What each tarball holds: the entry files and the binaries, never the
  // keychain stand-in, a linux build of a keychain program, or a binary
  // with debug information. Without the cross-build, darwin copies left
  // by an earlier "npm run prebuilds" are not judged.
  const installed = path.join(app, 'node_modules', '@native');
  for (const pkg of PACKAGES) {
    const judged = packed[pkg].files.filter((f) => CROSS_BUILT || !f.startsWith('prebuilds/darwin-'));
    assert.deepEqual(judged, [...ENTRY_FILES[pkg], ...shippedFiles(pkg)].sort(), pkg);
    for (const file of packed[pkg].files.filter((f) => f.startsWith('prebuilds/'))) {
      const copy = path.join(installed, pkg.replace('-native', ''), file);
      assert.equal(binaryHasDebugInfo(copy), false, `${pkg}/${file} carries debug information`);
      if (file.startsWith('prebuilds/darwin-arm64/')) {
        assert.equal(adhocSignatureFault(copy), null, `${pkg}/${file}: Apple silicon kills it before it runs`);
      }
    }
  }
  // The programs as a Mac gets them: executable in the tarball and once
  // installed, where the package says they are.
  if (CROSS_BUILT) {
    const lockscoutDir = path.join(installed, 'lockscout');
    const installedLockscout = require(lockscoutDir);
    for (const target of DARWIN_TARGETS) {
      for (const program of PROGRAMS) {
        const file = `prebuilds/${target}/${program}`;
        assert.equal(packed['lockscout-native'].modes[file] & 0o111, 0o111, `${file}: mode in the tarball`);
        assert.equal(fs.statSync(path.join(lockscoutDir, file)).mode & 0o111, 0o111, `${file}: mode installed`);
        const [platform, arch] = target.split('-');
        assert.equal(installedLockscout.programPath(program, { platform, arch }), path.join(lockscoutDir, file));
      }
    }
  }

  // The loaded add-ons are the installed prebuilds, even with the
  // repository's build selected: outside it no variable picks native code.
  fs.writeFileSync(path.join(app, 'main.cjs'), CJS_PROGRAM);
  fs.writeFileSync(path.join(app, 'main.mjs'), ESM_PROGRAM);
  // Nor can the variables a common prebuild loader reads: a directory of
  // the package's name (npm's upper-cased name + "_PREBUILD") and another
  // platform or CPU would each choose other native code for a signed
  // application.
  const env = {
    ...process.env, APP_MARK: 'marked', NATIVE_BUILD_DIR: path.join(root, 'build'),
    '@NATIVE/ANCHORFILE_PREBUILD': path.join(root, 'packages', 'anchorfile-native'),
    '@NATIVE/PROCLINEAGE_PREBUILD': path.join(root, 'packages', 'proclineage-native'),
    npm_config_arch: 'arm64', npm_config_platform: 'darwin',
  };
  const cjs = JSON.parse(run(process.execPath, ['main.cjs', DIGEST], { cwd: app, env, timeout: 120000 }));
  assert.deepEqual(cjs.loaded.sort(), [
    path.join(installed, 'anchorfile', 'prebuilds', 'linux-x64', 'anchorfile.node'),
    path.join(installed, 'proclineage', 'prebuilds', 'linux-x64', 'proclineage.node'),
  ]);
  assert.equal(cjs.published.length, 1);
  assert.deepEqual(cjs.inspect, { isRemote: false, supportsHardLinks: true });
  assert.equal(cjs.temporary, true);
  assert.deepEqual(cjs.kinds, ['publication', 'content', null]);
  assert.deepEqual(cjs.idTypes, Array(6).fill('bigint'));
  assert.deepEqual([cjs.afterRemoval, cjs.listed, cjs.afterRecovery], [[], true, []]);
  // The promise forms load from the tarballs too, run on their workers, and
  // let the program exit by itself once its work is done (run() would
  // otherwise time out).
  assert.deepEqual([cjs.promiseObjects, cjs.pooledFault, cjs.pooledRemoval, cjs.pooledListing], [true, null, [], true]);
  // As root in a container the program's own process may read as
  // inconsistent (see the proclineage notes); an ordinary run reads it.
  if (cjs.self !== null) {
    assert.deepEqual(cjs.args.slice(-2), ['main.cjs', DIGEST]);
    assert.equal(cjs.env, 'marked');
    assert.equal(cjs.listed_self, true);
  }
  assert.equal(cjs.unpacked, '/Applications/X.app/Contents/Resources/app.asar.unpacked/node_modules/a');
  // On linux the keychain programs do not ship: every way to reach them
  // refuses with the same clear reason.
  assert.equal(cjs.refusals.length, 7);
  for (const refusal of cjs.refusals) {
    assert.equal(refusal.code, 'ENOTSUP');
    assert.match(refusal.message, /has no build for linux-x64: the keychain programs ship for macOS \(darwin-x64, darwin-arm64\) only/);
  }

  const esm = JSON.parse(run(process.execPath, ['main.mjs'], { cwd: app, env }));
  for (const name of ['anchorfile', 'proclineage', 'lockscout']) {
    assert.deepEqual(esm[name].names, esm[name].cjsNames, `${name}: every export is a named ES export`);
    assert.equal(esm[name].same, true, name);
  }
  assert.equal(esm.named, true);

  writeTypeCheck(app);
  const tsc = path.join(root, 'node_modules', 'typescript', 'bin', 'tsc');
  for (const config of Object.keys(TSCONFIGS)) {
    run(process.execPath, [tsc, '-p', config], { cwd: app });
  }

  // Electron: the application's code sits in app.asar, from which no
  // program can be started; the package hands out the app.asar.unpacked
  // path, where asarUnpack puts the programs.
  const resources = path.join(base, 'X.app', 'Contents', 'Resources');
  const inside = path.join(resources, 'app.asar', 'node_modules');
  fs.cpSync(path.join(app, 'node_modules'), inside, { recursive: true });
  const shipped = path.join(resources, 'app.asar.unpacked', 'node_modules', '@native', 'lockscout', 'prebuilds', 'darwin-x64');
  fs.mkdirSync(shipped, { recursive: true });
  for (const program of ['lockscout', 'keyfetch', 'keyvet']) fs.writeFileSync(path.join(shipped, program), '');
  const asar = require(path.join(inside, '@native', 'lockscout'));
  for (const program of ['lockscout', 'keyfetch', 'keyvet']) {
    assert.equal(asar.programPath(program, { platform: 'darwin', arch: 'x64' }), path.join(shipped, program));
  }
  assert.throws(() => asar.programPath('keyvet', { platform: 'darwin', arch: 'ia32' }), { code: 'ENOTSUP' });

  // The same application on a system the add-ons have no build for.
  for (const pkg of ['anchorfile', 'proclineage']) {
    fs.rmSync(path.join(installed, pkg, 'prebuilds', 'linux-x64'), { recursive: true });
  }
  fs.writeFileSync(path.join(app, 'no-build.cjs'), NO_BUILD_PROGRAM);
  const noBuild = JSON.parse(run(process.execPath, ['no-build.cjs'], { cwd: app, env }));
  assert.match(noBuild.name, /^\.publication-recovery-/);
  assert.deepEqual(Object.keys(noBuild.refusals).sort(), [
    'anchorfile.inspectPath', 'anchorfile.publishNoReplace', 'anchorfile.recoverAnchoredRemoval',
    'anchorfile.removeAnchoredFile', 'proclineage.getDarwinEnvironmentValue', 'proclineage.getDarwinProcess',
    'proclineage.getDarwinProcessArguments', 'proclineage.listDarwinProcesses',
  ]);
  for (const [call, message] of Object.entries(noBuild.refusals)) {
    assert.match(message, /has no build for linux-x64: the package ships it for darwin-x64, darwin-arm64 and linux-x64 only/, call);
  }
  assert.deepEqual(noBuild.esmFunctions, [true, true]);
});

test('the three programs run from the paths the package gives in this repository', () => {
  const lockscout = require('../packages/lockscout-native');
  const home = makeTempDir('programs-home-');
  try {
    const env = { ...process.env, HOME: home };
    const line = JSON.parse(run(lockscout.programPath('lockscout'), ['Velkor Atlas'], { env }));
    assert.equal(line.status, 'error');
    assert.equal(line.reason, 'keychain-search-list-empty');
    const keyfetch = spawnSync(lockscout.programPath('keyfetch'), ['read-key', 'Velkor Atlas'], { env, input: '' });
    assert.deepEqual([keyfetch.status, keyfetch.stdout.length], [1, 0]);
    assert.equal(JSON.parse(run(lockscout.programPath('keyvet'), [])).status, 'unsupported');
  } finally {
    fs.rmSync(home, { recursive: true, force: true });
  }
});

test('inside the repository the packages load the fresh build, never a prebuilds/ copy', () => {
  // The first test has just left packages/*/prebuilds/linux-x64 behind.
  require('../packages/anchorfile-native');
  require('../packages/proclineage-native');
  const loaded = Object.keys(require.cache).filter((f) => f.endsWith('.node')).map((f) => fs.realpathSync(f));
  assert.deepEqual(loaded.sort(), ['anchorfile.node', 'proclineage.node'].map((n) => fs.realpathSync(deliverable(n))));
});
