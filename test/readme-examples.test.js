'use strict';
// Every ```js block of the README runs as written, as a script of an
// application that has the three packages installed (here linked to this
// repository's packages, so they load the fresh build), with a throwaway
// HOME whose keychain is the Linux stand-in's. An example that drifts from
// the packages fails here instead of in a reader's hands.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { root, deliverable, makeTempDir } = require('./support/native');

function examples() {
  const readme = fs.readFileSync(path.join(root, 'README.md'), 'utf8');
  return [...readme.matchAll(/^```js\n([\s\S]*?)^```$/gm)].map((match) => match[1]);
}

function makeApplication() {
  const app = makeTempDir('readme-app-');
  fs.mkdirSync(path.join(app, 'node_modules', '@native'), { recursive: true });
  for (const name of ['anchorfile', 'proclineage', 'lockscout']) {
    fs.symlinkSync(path.join(root, 'packages', `${name}-native`), path.join(app, 'node_modules', '@native', name));
  }
  const home = path.join(app, 'home');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  for (const args of [['create-keychain', '-p', 'pw', 'login.keychain'],
    ['list-keychains', '-d', 'user', '-s', 'login.keychain'], ['default-keychain', '-s', 'login.keychain']]) {
    assert.equal(spawnSync(deliverable('security'), args, { env: { ...process.env, HOME: home } }).status, 0);
  }
  return { app, home };
}

test('the README examples run as written', (t) => {
  const { app, home } = makeApplication();
  t.after(() => fs.rmSync(app, { recursive: true, force: true }));
  const blocks = examples();
  assert.ok(blocks.length >= 4, `only ${blocks.length} examples found`);
  const outputs = [];
  // The keychain example runs twice: first it creates the key, then reads it.
  for (const block of [...blocks, ...blocks.filter((b) => b.includes('@native/lockscout'))]) {
    const file = path.join(app, 'example.js');
    fs.writeFileSync(file, block);
    const result = spawnSync(process.execPath, [file], { cwd: app, env: { ...process.env, HOME: home }, encoding: 'utf8' });
    assert.equal(result.status, 0, `example failed:\n${block}\n${result.stdout}\n${result.stderr}`);
    assert.equal(result.stderr, '', block);
    outputs.push(result.stdout);
  }
  const all = outputs.join('');
  assert.match(all, /^ENOENT /m);
  assert.match(all, /^\[\]$/m);
  assert.equal(all.match(/^a key of 32 bytes; keyvet at .*\/keyvet$/gm).length, 2);
});
