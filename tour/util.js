'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');

function heading(text) {
  console.log(`\n=== ${text} ===`);
}

function step(text) {
  console.log(`\n- ${text}`);
}

function show(label, value) {
  console.log(`    ${label}: ${value}`);
}

// Calls fn and prints either its result or the thrown message and code.
function attempt(label, fn) {
  try {
    const value = fn();
    show(label, value === undefined ? 'ok' : JSON.stringify(value));
    return value;
  } catch (error) {
    show(label, `refused: "${error.message}" (code ${error.code})`);
    return undefined;
  }
}

// A call as source text with its real arguments, BigInts marked with "n",
// so the reader sees exactly what was passed.
function callText(name, args) {
  const shown = args.map((a) => (typeof a === 'bigint' ? `${a}n` : JSON.stringify(a)));
  return `${name}(${shown.join(', ')})`;
}

function throwawayDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

module.exports = { heading, step, show, attempt, callText, throwawayDir };
