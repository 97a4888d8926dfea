'use strict';
// "npm run pack": packs the three packages into packs/ and prints the
// tarballs and the command that installs them into an application. The
// script entry runs "npm run prebuilds" first (the build, the macOS
// cross-build, and each package's prebuilds/ filled with stripped
// copies); what npm packs is whatever prebuilds/ then holds, so this
// checks that every tarball carries every target before it says done.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { writePackageReadme } = require('./package-readme');

const root = path.resolve(__dirname, '..');
const PACKAGES = ['anchorfile-native', 'proclineage-native', 'lockscout-native'];
// What a released tarball must carry: a package missing a target installs
// there without a word and fails only when the application calls it.
const SHIPPED = {
  'anchorfile-native': { 'linux-x64': ['anchorfile.node'], darwin: ['anchorfile.node'] },
  'proclineage-native': { 'linux-x64': ['proclineage.node'], darwin: ['proclineage.node'] },
  'lockscout-native': { 'linux-x64': [], darwin: ['keyfetch', 'keyvet', 'lockscout'] },
};
const TARGETS = ['linux-x64', 'darwin-x64', 'darwin-arm64'];

// Packs every package with one npm call into `destination` (run from
// there, so no configuration of this repository applies), each with its
// README made afresh from the repository's. Returns npm's report per
// package directory name.
function packInto(destination) {
  fs.mkdirSync(destination, { recursive: true });
  for (const pkg of PACKAGES) writePackageReadme(pkg.replace('-native', ''));
  const result = spawnSync('npm', ['pack', '--json', '--pack-destination', destination, '--loglevel=error',
    ...PACKAGES.map((pkg) => path.join(root, 'packages', pkg))], { cwd: destination, encoding: 'utf8' });
  if (result.error) throw result.error;
  if (result.status !== 0) throw new Error(`npm pack failed (${result.status}):\n${result.stderr}`);
  const infos = JSON.parse(result.stdout);
  const packed = {};
  for (const pkg of PACKAGES) {
    const name = `@native/${pkg.replace('-native', '')}`;
    const info = infos.find((i) => i.name === name);
    if (!info) throw new Error(`npm pack reported nothing for ${name}`);
    packed[pkg] = { ...info, tarball: path.join(destination, info.filename) };
  }
  return packed;
}

function missingFiles(pkg, info) {
  const files = new Set(info.files.map((f) => f.path));
  const wanted = TARGETS.flatMap((target) => {
    const names = SHIPPED[pkg][target.startsWith('darwin') ? 'darwin' : target];
    return names.map((name) => `prebuilds/${target}/${name}`);
  });
  return wanted.filter((file) => !files.has(file));
}

function main() {
  const destination = path.join(root, 'packs');
  for (const name of fs.existsSync(destination) ? fs.readdirSync(destination) : []) {
    if (name.endsWith('.tgz')) fs.rmSync(path.join(destination, name));
  }
  const packed = packInto(destination);
  let faults = 0;
  for (const pkg of PACKAGES) {
    const info = packed[pkg];
    const missing = missingFiles(pkg, info);
    const size = `${Math.round(info.size / 1024)} kB`;
    console.log(`pack: ${path.relative(process.cwd(), info.tarball)} (${info.entryCount} files, ${size})`);
    if (missing.length) {
      console.error(`pack: ${info.filename} lacks ${missing.join(', ')}; removed`);
      fs.rmSync(info.tarball);
      faults += 1;
    }
  }
  if (faults) {
    console.error('pack: run "npm run prebuilds" (it cross-builds the darwin files) and pack again');
    process.exit(1);
  }
  console.log('\nInstall all three into an application (from its directory):');
  console.log(`  npm install ${PACKAGES.map((pkg) => packed[pkg].tarball).join(' ')}`);
}

if (require.main === module) main();

module.exports = { packInto };
