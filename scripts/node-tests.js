'use strict';
// Runs every script-level test file under node's built-in test runner.
// Test files live in test/ and in each package's test/ directory and end
// in .test.js.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const root = path.resolve(__dirname, '..');
const dirs = [path.join(root, 'test')];
for (const pkg of fs.readdirSync(path.join(root, 'packages'))) {
  dirs.push(path.join(root, 'packages', pkg, 'test'));
}
const files = [];
for (const dir of dirs) {
  if (!fs.existsSync(dir)) continue;
  for (const name of fs.readdirSync(dir).sort()) {
    if (name.endsWith('.test.js')) files.push(path.join(dir, name));
  }
}
const only = process.argv.slice(2);
const selected = only.length ? files.filter((f) => only.some((o) => f.includes(o))) : files;

const env = { ...process.env };
if (process.env.SANITIZER_PRELOAD) {
  // Only node needs the sanitizer runtime preloaded; test files that start
  // other programs pass it on explicitly when those are node processes.
  env.LD_PRELOAD = process.env.SANITIZER_PRELOAD;
}
const result = spawnSync(process.execPath, ['--test', ...selected], {
  stdio: 'inherit',
  env,
  cwd: root,
});
process.exit(result.status === null ? 1 : result.status);
