'use strict';
// keyfetch creates and reads the application's key; keyvet answers that it
// has no back end on this platform.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');
const { heading, step, show, throwawayDir } = require('./util');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const identity = 'Velkor Atlas';

function run() {
  heading('keyfetch and keyvet: the application key');
  const home = throwawayDir('tour-keys-');
  fs.mkdirSync(path.join(home, 'Library', 'Keychains'), { recursive: true });
  const env = { ...process.env, HOME: home };
  const program = (name, args, input) =>
    spawnSync(path.join(buildDir, name), args, { env, input: input || '' });

  step(`a throwaway HOME with one keychain: ${home}`);
  program('security', ['create-keychain', '-p', 'tour', 'login.keychain']);
  program('security', ['list-keychains', '-d', 'user', '-s', 'login.keychain']);
  program('security', ['default-keychain', '-s', 'login.keychain']);

  step(`lockscout before: ${program('lockscout', [identity]).stdout.toString().trim()}`);

  const keyfetch = (args, input) => {
    const result = program('keyfetch', args, input);
    show('exit status', result.status);
    show('key written', JSON.stringify(result.stdout.toString('latin1')));
  };

  step('keyfetch create-key, the new key on standard input');
  keyfetch(['create-key', identity], Buffer.from('0123456789abcdef0123456789abcdef'));

  step('keyfetch create-key again, with other bytes: the stored key comes back');
  keyfetch(['create-key', identity], Buffer.from('something else'));

  step('keyfetch read-key');
  keyfetch(['read-key', identity]);

  step('keyfetch read-key for an identity that is not ours: status 1, nothing written');
  keyfetch(['read-key', 'velkor atlas']);

  step(`lockscout after: ${program('lockscout', [identity]).stdout.toString().trim()}`);

  step(`keyvet: ${program('keyvet', []).stdout.toString().trim()}`);
}

module.exports = { run };
