'use strict';
// proclineage: the tour's own children as a tree, linked by unique ids
// rather than by process numbers, which the system hands out again; through
// the package as an application calls it (there:
// require('@native/proclineage')).
const { spawn } = require('child_process');
const proclineage = require('../packages/proclineage-native');
const { heading, step, show } = require('./util.js');

function describe(processInfo) {
  const args = proclineage.getDarwinProcessArguments(processInfo.pid);
  const text = args === null ? '(arguments not readable)' : args.join(' ');
  return text.length > 90 ? `${text.slice(0, 87)}...` : text;
}

// Children by the parent's unique id.
function childrenByParent(processes) {
  const children = new Map();
  for (const p of processes) {
    if (!children.has(p.parentUniqueId)) children.set(p.parentUniqueId, []);
    children.get(p.parentUniqueId).push(p);
  }
  return children;
}

// Draws `top` and everything below it, as a tree.
function printTree(top, children) {
  console.log(`    ${top.pid}  ${describe(top)}   <- this tour`);
  const walk = (p, prefix) => {
    const below = children.get(p.uniqueId) || [];
    below.forEach((child, i) => {
      const last = i === below.length - 1;
      console.log(`    ${prefix}${last ? '└─ ' : '├─ '}${child.pid}  ${describe(child)}`);
      walk(child, `${prefix}${last ? '   ' : '│  '}`);
    });
  };
  walk(top, '');
}

async function run() {
  heading('proclineage: the processes this tour started, as a tree');

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

  step('listDarwinProcesses: the tour and what it started, linked by parentUniqueId -> uniqueId');
  const listing = proclineage.listDarwinProcesses();
  const top = listing && listing.processes.find((p) => p.pid === process.pid);
  if (!top) {
    show('tree', 'not available: this process could not be read (see "this process" above)');
  } else {
    printTree(top, childrenByParent(listing.processes));
    show('processes of this user listed', listing.processes.length);
    show('complete', listing.complete
      ? 'yes, every process of this user was read consistently'
      : 'no: a process of this user could not be read consistently and was left out (as root in a container: '
        + 'init and the others without a session of the namespace); all the rest are listed');
  }

  children[0].kill();
  process.kill(-children[1].pid);
}

module.exports = { run };
