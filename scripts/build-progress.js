'use strict';
// Reads the output of cmake's configure step or of "cmake --build"
// (Makefile generator) on standard input, keeps all of it in a log file, and prints a line for each target
// that had work to do: its name, how many targets are done out of how
// many, and make's percentage. Targets already up to date print nothing,
// so a warm build stays one line. While one step runs long (Zig building
// its C++ runtime inside a first link, a large test file compiling), a
// line every HEARTBEAT_S seconds names the step still running, so a slow
// build never sits silent for minutes. The configure step prints only
// those lines: the cross-build's first compiler check is where Zig builds
// its C runtime.
//
//   cmake --build dir 2>&1 | node scripts/build-progress.js <label> <dir> <log> [<seconds so far>]
// The times printed count from the calling script's start when it passes
// the seconds it has run so far, so that its own lines and these agree.
const fs = require('fs');
const path = require('path');
const readline = require('readline');

const HEARTBEAT_S = 30;
const [label, buildDir, logPath, sofar] = process.argv.slice(2);

// The Makefile generator keeps one CMakeFiles/<target>.dir per target, in
// the build directory and in each subdirectory's own CMakeFiles/.
function countTargets(dir) {
  let count = 0;
  for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
    if (!entry.isDirectory() || entry.name === 'zig-cache') continue;
    const inner = path.join(dir, entry.name);
    if (entry.name === 'CMakeFiles') {
      count += fs.readdirSync(inner).filter((name) => name.endsWith('.dir')).length;
    } else {
      count += countTargets(inner);
    }
  }
  return count;
}

const total = fs.existsSync(buildDir) ? countTargets(buildDir) : 0;
const start = Date.now() - (Number(sofar) || 0) * 1000;
const log = fs.openSync(logPath, 'a');

const state = { percent: null, current: null, worked: new Set(), built: 0, rebuilt: 0, lastPrint: Date.now() };

function seconds() {
  return Math.round((Date.now() - start) / 1000);
}

function say(text) {
  process.stdout.write(`${label}: ${text} (${seconds()} s)\n`);
  state.lastPrint = Date.now();
}

function percent() {
  return state.percent === null ? '' : `${state.percent}%, `;
}

// The step a progress line starts, and the target it works for. With
// several jobs the lines of different targets interleave, so the target
// comes from the line itself: the object's CMakeFiles/<target>.dir, or
// for a link the file's name without "lib" and extension.
//   "Building CXX object CMakeFiles/x.dir/a/b.cc.o" -> x, "compiling a/b.cc"
//   "Linking CXX shared module test-support/y.node" -> y, "linking test-support/y.node"
function stepOf(text) {
  const compile = text.match(/^Building \w+ object \S*?CMakeFiles\/([^/]+)\.dir\/(.+)\.o$/);
  if (compile) return { target: compile[1], doing: `compiling ${compile[2]}` };
  const link = text.match(/^Linking \w+ [\w ]+ (\S+)$/);
  if (link) {
    const target = path.basename(link[1]).replace(/^lib/, '').replace(/\.[^.]*$/, '');
    return { target, doing: `linking ${link[1]}` };
  }
  return { target: null, doing: text };
}

function onLine(line) {
  fs.writeSync(log, `${line}\n`);
  const configuring = line.match(/^-- (.*?)(?: - (?:done|works|failed|skipped))?$/);
  // cmake's output reaches the pipe in blocks, so the step named is the
  // last one reported, not necessarily the one running.
  if (configuring) state.current = `configuring; last reported: ${configuring[1]}`;
  const progress = line.match(/^\[ *(\d+)%\] (.*)$/);
  if (!progress) return;
  state.percent = Number(progress[1]);
  const built = progress[2].match(/^Built target (\S+)$/);
  if (!built) {
    const step = stepOf(progress[2]);
    state.current = step.doing;
    if (step.target) state.worked.add(step.target);
    return;
  }
  state.built += 1;
  if (!state.worked.delete(built[1])) return;
  state.rebuilt += 1;
  const done = total ? `${state.built} of ${total} targets done` : `${state.built} targets done`;
  say(`built ${built[1]} (${done}, ${state.percent}%)`);
}

const heartbeat = setInterval(() => {
  if (Date.now() - state.lastPrint < HEARTBEAT_S * 1000 || !state.current) return;
  const done = state.percent === null ? '' : ` (${percent()}${state.built}${total ? ` of ${total}` : ''} targets done)`;
  say(`still ${state.current}${done}`);
}, 1000);

const lines = readline.createInterface({ input: process.stdin, crlfDelay: Infinity });
lines.on('line', onLine);
lines.on('close', () => {
  clearInterval(heartbeat);
  fs.closeSync(log);
  if (state.rebuilt === 0 && state.built > 0) say(`all ${state.built} targets up to date`);
});
