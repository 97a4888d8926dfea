'use strict';
// keyfetch creates and reads the application's key, here through the
// package's createKey and readKey (in an application:
// require('@native/lockscout')), which always close keyfetch's input and
// turn its exit status into a rejection; keyvet answers that it has no
// back end on this platform.
const fs = require('fs');
const path = require('path');
const { execFileSync, spawnSync } = require('child_process');
const { readKey, createKey, programPath } = require('../packages/lockscout-native');
const { heading, step, show, throwawayDir } = require('./util');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const identity = 'Velkor Atlas';

// Shows what a key call gave: the key's bytes (this is a demonstration; an
// application never prints them), or the rejection and its code.
async function shown(label, promise) {
  try {
    show(label, `a Buffer of ${JSON.stringify((await promise).toString('latin1'))}`);
  } catch (error) {
    show(label, `rejected: "${error.message}" (code ${error.code})`);
  }
}

async function run() {
  heading('keyfetch and keyvet: the application key');
  const home = throwawayDir('tour-keys-');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  const env = { ...process.env, HOME: home };
  const security = (...args) => spawnSync(path.join(buildDir, 'security'), args, { env });

  step(`a throwaway HOME with one keychain: ${home}`);
  security('create-keychain', '-p', 'tour', 'login.keychain');
  security('list-keychains', '-d', 'user', '-s', 'login.keychain');
  security('default-keychain', '-s', 'login.keychain');

  step('readKey before there is a key: keyfetch exits 1, and the status is the code');
  await shown(`readKey("${identity}")`, readKey(identity, { env }));

  step('createKey, with the new key\'s bytes');
  await shown(`createKey("${identity}", Buffer.from("0123456789abcdef0123456789abcdef"))`,
    createKey(identity, Buffer.from('0123456789abcdef0123456789abcdef'), { env }));

  step('createKey again, with other bytes: the stored key comes back');
  await shown(`createKey("${identity}", Buffer.from("something else"))`,
    createKey(identity, Buffer.from('something else'), { env }));

  step('readKey');
  await shown(`readKey("${identity}")`, readKey(identity, { env }));

  step('readKey for an identity that is not ours: status 1, and no key in the error');
  await shown('readKey("velkor atlas")', readKey('velkor atlas', { env }));

  step(`keyvet, run from ${path.relative(process.cwd(), programPath('keyvet'))}`);
  show('keyvet', execFileSync(programPath('keyvet'), { env, encoding: 'utf8' }).trim());
}

module.exports = { run };
