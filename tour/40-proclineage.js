'use strict';
// proclineage: the user's processes as a tree, linked by unique ids rather
// than by process numbers, which the system hands out again.
const path = require('path');
const { spawn } = require('child_process');
const { heading, step, show } = require('./util.js');

const buildDir = path.resolve(__dirname, '..', process.env.NATIVE_BUILD_DIR || 'build');
const proclineage = require(path.join(buildDir, 'proclineage.node'));

const MAX_LINES = 60;

function describe(processInfo) {
  const args = proclineage.getDarwinProcessArguments(processInfo.pid);
  const text = args === null ? '(arguments not readable)' : args.join(' ');
  return text.length > 90 ? `${text.slice(0, 87)}...` : text;
}

// Children by the parent's unique id; roots are processes whose parent is
// not in the list (another user's, or gone).
function buildTree(processes) {
  const ids = new Set(processes.map((p) => p.uniqueId));
  const children = new Map();
  const roots = [];
  for (const p of processes) {
    if (ids.has(p.parentUniqueId)) {
      if (!children.has(p.parentUniqueId)) children.set(p.parentUniqueId, []);
      children.get(p.parentUniqueId).push(p);
    } else {
      roots.push(p);
    }
  }
  return { roots, children };
}

function printTree({ roots, children }) {
  const lines = [];
  const walk = (p, depth) => {
    const mark = p.pid === process.pid ? '   <- this tour' : '';
    lines.push(`    ${'  '.repeat(depth)}${p.pid}  ${describe(p)}${mark}`);
    for (const child of children.get(p.uniqueId) || []) walk(child, depth + 1);
  };
  roots.forEach((root) => walk(root, 0));
  lines.slice(0, MAX_LINES).forEach((line) => console.log(line));
  if (lines.length > MAX_LINES) console.log(`    ... and ${lines.length - MAX_LINES} more`);
}

function run() {
  heading('proclineage: the process tree of this user');

  step('Two children of this tour, so that the tree has a branch we made');
  const children = [
    spawn('sleep', ['30'], { stdio: 'ignore' }),
    // Its own process group, so that its sleep goes with it at the end.
    spawn('/bin/sh', ['-c', 'sleep 30; :', 'tour-child', 'with', 'arguments'], {
      stdio: 'ignore', env: { TOUR_GREETING: 'hello from the tour' }, detached: true,
    }),
  ];
  // Give both a moment to start their programs.
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 200);

  const self = proclineage.getDarwinProcess(process.pid);
  show('this process', self === null
    // In a container, a session begun outside its PID namespace has no
    // visible leader and getsid answers 0, which reads as inconsistent.
    ? 'null: this session began outside the PID namespace; try `setsid npm start`'
    : JSON.stringify(self));
  show('TOUR_GREETING of the second child',
    JSON.stringify(proclineage.getDarwinEnvironmentValue(children[1].pid, 'TOUR_GREETING')));

  step('listDarwinProcesses, linked by parentUniqueId -> uniqueId');
  const listing = proclineage.listDarwinProcesses();
  if (listing === null) {
    show('listing', 'not available');
  } else {
    printTree(buildTree(listing.processes));
    show('processes', listing.processes.length);
    show('complete', listing.complete
      ? 'yes, every process of this user was read consistently'
      : 'no: some process could not be read consistently (as root, an init in session 0 is one)');
  }

  children[0].kill();
  process.kill(-children[1].pid);
}

module.exports = { run };
