'use strict';
// lockscout answers whether the application's keychain entry exists and
// could be read without a prompt, in one JSON line, never reading the
// secret. Here it probes a throwaway keychain before and after the entry is
// added, and with a second keychain locked.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { heading, step, show, throwawayDir } = require('./util');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const identity = 'Velkor Atlas';

function run() {
  heading('lockscout: is the keychain entry there, and readable without a prompt?');
  const home = throwawayDir('tour-lockscout-');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  const env = { ...process.env, HOME: home };
  const security = (...args) => spawnSync(path.join(buildDir, 'security'), args, { env });
  const probe = (who) =>
    spawnSync(path.join(buildDir, 'lockscout'), [who], { env, encoding: 'utf8' }).stdout.trim();

  step(`a throwaway HOME with one keychain: ${home}`);
  security('create-keychain', '-p', 'tour', 'login.keychain');
  security('list-keychains', '-d', 'user', '-s', 'login.keychain');
  security('default-keychain', '-s', 'login.keychain');
  show('lockscout', probe(identity));

  step(`add the entry: service "${identity} Safe Storage", account "${identity} Key"`);
  security('add-generic-password', '-s', `${identity} Safe Storage`, '-a', `${identity} Key`,
    '-w', 'not-shown-by-lockscout');
  show('lockscout', probe(identity));

  step('a second keychain in the search list, locked');
  security('create-keychain', '-p', 'tour', 'other.keychain');
  security('list-keychains', '-d', 'user', '-s', 'login.keychain', 'other.keychain');
  security('lock-keychain', 'other.keychain');
  show('entry in the first, unlocked keychain', probe(identity));
  show('another identity, no entry anywhere', probe('Velkor-Atlas'));

  step('an identity that is not ours is refused and never echoed');
  show('lockscout', probe('Someone Else'));
}

module.exports = { run };
