'use strict';
// Writes packages/<name>-native/README.md from the repository's README, so
// that each tarball carries its own documentation and the text exists in
// one place only. A package's README is the introduction (up to the first
// "## " heading after it), the words defined there, the package's quick
// start, and its API section, each marked in the README by
// "<!-- package: NAME -->" ... "<!-- /package -->". Links into this
// repository are turned into plain text, since they lead nowhere from an
// installed package.
//
//   node scripts/package-readme.js            writes all three
//   node scripts/package-readme.js anchorfile writes one
const fs = require('fs');
const path = require('path');

const root = path.resolve(__dirname, '..');
const NAMES = ['anchorfile', 'lockscout', 'proclineage'];

function markedParts(readme, name) {
  const parts = [];
  const pattern = new RegExp(`<!-- package: ${name} -->\\n([\\s\\S]*?)<!-- /package -->`, 'g');
  for (const match of readme.matchAll(pattern)) parts.push(match[1].trim());
  return parts;
}

function introduction(readme) {
  const start = readme.indexOf('\n## ');
  return readme.slice(0, start === -1 ? readme.length : start).trim();
}

// "[text](docs/x.md#y)" and "[text](#anchor)" lead nowhere in a tarball;
// web links stay.
function unlinkLocal(text) {
  return text.replace(/\[([^\]]+)\]\((?!https?:)[^)]*\)/g, '$1');
}

function packageReadme(readme, name) {
  const parts = markedParts(readme, name);
  if (parts.length === 0) throw new Error(`README.md has no section marked for package ${name}`);
  const title = `# @native/${name}`;
  const body = [introduction(readme).replace(/^# .*\n+/, ''), ...parts].join('\n\n');
  return `${title}\n\n${unlinkLocal(body)}\n`;
}

function writePackageReadme(name, readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8')) {
  const file = path.join(root, 'packages', `${name}-native`, 'README.md');
  fs.writeFileSync(file, packageReadme(readme, name));
  return file;
}

module.exports = { packageReadme, writePackageReadme, NAMES };

if (require.main === module) {
  const chosen = process.argv.length > 2 ? process.argv.slice(2) : NAMES;
  for (const name of chosen) {
    if (!NAMES.includes(name)) throw new Error(`unknown package ${name}`);
    console.log(writePackageReadme(name));
  }
}
