'use strict';
// Runs every benchmark in this directory (files ending in .bench.js), or
// those whose names contain one of the arguments.
const fs = require('fs');
const path = require('path');
const { spawnSync } = require('child_process');

const only = process.argv.slice(2);
const files = fs.readdirSync(__dirname)
  .filter((name) => name.endsWith('.bench.js'))
  .filter((name) => only.length === 0 || only.some((o) => name.includes(o)))
  .sort();
let failed = false;
for (const file of files) {
  console.log(`\n### ${file}`);
  const result = spawnSync(process.execPath, [path.join(__dirname, file)], { stdio: 'inherit' });
  if (result.status !== 0) failed = true;
}
process.exit(failed ? 1 : 0);
