'use strict';
// Runs every script-level test file under node's built-in test runner.
// Test files live in test/ and in each package's test/ directory and end
// in .test.js.
const fs = require('fs');
const path = require('path');
const { spawn } = require('child_process');

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

// A test that hangs fails after this long instead of holding the run until
// an outside limit kills it without a word; the longest test takes seconds.
const TEST_TIMEOUT_MS = 300000;

// The runner gets a session of its own (detached). Inside a PID namespace
// whose session leader lies outside it, as in containers and CI sandboxes,
// Linux's getsid answers 0 for every process of that session, and the
// process add-on rightly reads such a process as unreadable; in a session
// of its own the runner and everything it starts have a visible session,
// as every process has on macOS.
// On screen one line per top-level test, failures in full at the end and
// the runner's totals last (scripts/test-reporter.js); the complete TAP
// stream goes to a log file in the build tree. Its name comes first, so
// the runner's totals stay the closing lines.
const buildDir = path.resolve(root, process.env.NATIVE_BUILD_DIR || 'build');
fs.mkdirSync(buildDir, { recursive: true });
const tapLog = path.join(buildDir, 'node-tests.tap');
console.log(`node tests: ${selected.length} files, one line per top-level test; full TAP report in ${path.relative(root, tapLog)}`);
const runner = spawn(process.execPath, [
  '--test', '--test-force-exit', `--test-timeout=${TEST_TIMEOUT_MS}`,
  `--test-reporter=${path.join(__dirname, 'test-reporter.js')}`, '--test-reporter-destination=stdout',
  '--test-reporter=tap', `--test-reporter-destination=${tapLog}`,
  ...selected,
], { stdio: 'inherit', env, cwd: root, detached: true });

// Being detached, the runner's process group no longer hears the terminal's
// Ctrl-C or a supervisor's TERM; pass them on to the whole group, so that
// children the tests started go too.
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.on(signal, () => {
    try {
      process.kill(-runner.pid, signal);
    } catch (error) {
      if (error.code !== 'ESRCH') throw error;
    }
  });
}
runner.on('exit', (code) => {
  process.exit(code === null ? 1 : code);
});
