'use strict';
// Fills each package's prebuilds/<platform>-<arch>/ from the builds:
// linux-x64 from build/, darwin-x64 and darwin-arm64 from the macOS
// cross-builds in build-macos/ and build-macos-arm64/ (made first by
// "npm run build:macos" where that script exists). The copies are stripped,
// so no debug information ships. Run it as "npm run prebuilds" (a root
// script named "prebuild" would be npm's pre-hook of "npm run build"). The
// keychain programs ship for darwin only: their Linux build carries the
// keychain test stand-in.
// With --host-only only the build/ copy is made; with --existing-builds the
// darwin copies come from cross-builds already made, without running one
// (what the tests need).
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..');
const PACKAGES = [
  { dir: 'anchorfile-native', files: ['anchorfile.node'], darwinOnly: false },
  { dir: 'proclineage-native', files: ['proclineage.node'], darwinOnly: false },
  { dir: 'lockscout-native', files: ['lockscout', 'keyfetch', 'keyvet'], darwinOnly: true },
];
const TARGETS = [
  { target: 'linux-x64', build: 'build', magic: [0x7f, 0x45, 0x4c, 0x46] },
  { target: 'darwin-x64', build: 'build-macos', magic: [0xcf, 0xfa, 0xed, 0xfe] },
  { target: 'darwin-arm64', build: 'build-macos-arm64', magic: [0xcf, 0xfa, 0xed, 0xfe] },
];

function run(command, args) {
  const result = spawnSync(command, args, { stdio: 'inherit', cwd: root });
  if (result.error) throw result.error;
  if (result.status !== 0) throw new Error(`${command} ${args.join(' ')} failed (${result.status})`);
}

function which(names) {
  for (const name of names) {
    if (spawnSync('sh', ['-c', `command -v ${name}`]).status === 0) return name;
  }
  return null;
}

// A file of the wrong format here (a Linux build copied as a darwin one)
// would install everywhere and fail only when an application loads it.
function hasMagic(file, magic) {
  const head = Buffer.alloc(4);
  const fd = fs.openSync(file, 'r');
  try {
    fs.readSync(fd, head, 0, 4, 0);
  } finally {
    fs.closeSync(fd);
  }
  return head.equals(Buffer.from(magic));
}

function strip(file, target) {
  if (target.startsWith('linux')) {
    run('strip', ['--strip-unneeded', file]);
    return;
  }
  const tool = which(['llvm-strip', 'llvm-strip-14']);
  if (!tool) {
    console.warn(`prebuild: no llvm-strip, ${path.relative(root, file)} keeps its debug information`);
    return;
  }
  // Debug information only: the symbol table is left as the linker made
  // it. llvm-strip writes the ad-hoc signature anew over the changed
  // file; a stale one would have Apple silicon kill the program on its
  // first page.
  run(tool, ['--strip-debug', file]);
}

function fill({ target, build, magic }) {
  const source = path.join(root, build);
  let copied = 0;
  for (const pkg of PACKAGES) {
    const destination = path.join(root, 'packages', pkg.dir, 'prebuilds', target);
    fs.rmSync(destination, { recursive: true, force: true });
    if (pkg.darwinOnly && !target.startsWith('darwin')) continue;
    fs.mkdirSync(destination, { recursive: true });
    for (const name of pkg.files) {
      const built = path.join(source, name);
      // A package that lacks one of its files installs without a word and
      // fails only when an application asks for that file.
      if (!fs.existsSync(built)) throw new Error(`${built} was not built`);
      if (!hasMagic(built, magic)) throw new Error(`${built} is not a ${target} binary`);
      const shipped = path.join(destination, name);
      fs.copyFileSync(built, shipped);
      fs.chmodSync(shipped, 0o755);
      strip(shipped, target);
      copied += 1;
    }
  }
  console.log(`prebuild: ${target}: ${copied} files from ${build}/`);
}

function main() {
  const hostOnly = process.argv.includes('--host-only');
  const existingBuilds = process.argv.includes('--existing-builds');
  fill(TARGETS[0]);
  if (hostOnly) return;
  if (existingBuilds) {
    for (const target of TARGETS.slice(1)) fill(target);
    return;
  }
  const scripts = require(path.join(root, 'package.json')).scripts || {};
  if (!scripts['build:macos']) {
    console.log('prebuild: darwin-x64 and darwin-arm64 skipped: no "build:macos" script to cross-build them');
    return;
  }
  run('npm', ['run', 'build:macos']);
  for (const target of TARGETS.slice(1)) {
    if (fs.existsSync(path.join(root, target.build))) fill(target);
    else console.log(`prebuild: ${target.target} skipped: ${target.build}/ was not made`);
  }
}

main();
