'use strict';
// lockscout answers whether the application's keychain entry exists and
// could be read without a prompt, in one JSON line, never reading the
// secret. Here the package's probeIdentity (in an application:
// require('@native/lockscout')) probes a throwaway keychain before and
// after the entry is added, and with a second keychain locked; each line
// is followed by what it means.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { probeIdentity } = require('../packages/lockscout-native');
const { heading, step, show, throwawayDir } = require('./util');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const identity = 'Velkor Atlas';

async function run() {
  heading('lockscout: is the keychain entry there, and readable without a prompt?');
  const home = throwawayDir('tour-lockscout-');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  const env = { ...process.env, HOME: home };
  // The Linux stand-in's security tool, standing in for macOS's own.
  const security = (...args) => spawnSync(path.join(buildDir, 'security'), args, { env });
  const probe = async (who, meaning) => {
    show(`probeIdentity(${JSON.stringify(who)})`, JSON.stringify(await probeIdentity(who, { env })));
    show('meaning', meaning);
  };

  step(`a throwaway HOME with one keychain: ${home}`);
  security('create-keychain', '-p', 'tour', 'login.keychain');
  security('list-keychains', '-d', 'user', '-s', 'login.keychain');
  security('default-keychain', '-s', 'login.keychain');
  await probe(identity, 'every keychain was searched and none holds the entry: the application may create its key.');

  step(`add the entry: service "${identity} Safe Storage", account "${identity} Key"`);
  security('add-generic-password', '-s', `${identity} Safe Storage`, '-a', `${identity} Key`,
    '-w', 'not-shown-by-lockscout');
  await probe(identity, 'the entry\'s metadata was found in an unlocked, readable keychain with prompts switched off; '
    + 'the secret itself was never asked for. On a Mac the first read of the key can still ask the user if another '
    + 'program made the item or keyfetch\'s signature changed since: the probe cannot see the access list.');

  step('a second keychain in the search list, locked');
  security('create-keychain', '-p', 'tour', 'other.keychain');
  security('list-keychains', '-d', 'user', '-s', 'login.keychain', 'other.keychain');
  security('lock-keychain', 'other.keychain');
  await probe(identity, 'found in the first keychain, which is unlocked: the locked one does not matter.');
  await probe('Velkor-Atlas', 'not in the unlocked keychain, but a locked keychain hides its items, and finding out '
    + 'whether it holds the entry would need the user to unlock it; so the answer is "access-blocked", '
    + 'not "not-found", and creating a second key now would be a mistake.');

  step('an identity that is not ours is refused and never echoed');
  await probe('Someone Else', 'only the four identities of the application are probed; the line names none, '
    + 'so nothing from the caller ever needs escaping.');
}

module.exports = { run };
