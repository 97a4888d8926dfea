'use strict';
// What the application sees of keyvet on this platform: one fixed line,
// status 0, whatever it is given, and without ever waiting for input.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const { spawn, spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');

const keyvet = deliverable('keyvet');
const unsupportedLine =
  '{"schemaVersion":1,"platform":"darwin","status":"unsupported",' +
  '"reason":"platform-backend-unsupported","errorCode":0}\n';

test('prints the unsupported line whatever the arguments and input', () => {
  const cases = [
    { args: [], input: '' },
    { args: ['validate', '--verbose'], input: 'protected key' },
    { args: ['"}{'], input: Buffer.alloc(70000, 0xff) },
  ];
  for (const { args, input } of cases) {
    const result = spawnSync(keyvet, args, { input });
    assert.equal(result.status, 0);
    assert.equal(result.stdout.toString('latin1'), unsupportedLine);
    assert.equal(result.stderr.length, 0);
  }
});

test('answers without reading input from a caller that never closes its pipe', async () => {
  const child = spawn(keyvet, ['anything'], { stdio: ['pipe', 'pipe', 'pipe'] });
  child.stdin.on('error', () => {});
  child.stdin.write('partial input, more to come');
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  const status = await new Promise((resolve) => child.on('close', resolve));
  child.stdin.destroy();
  assert.equal(status, 0);
  assert.equal(output, unsupportedLine);
});

test('leaves standard input unread', () => {
  // A file shares its offset with the child: had keyvet read from it, the
  // offset would have moved.
  const dir = makeTempDir('keyvet-');
  try {
    const file = path.join(dir, 'protected');
    fs.writeFileSync(file, Buffer.alloc(4096, 0x61));
    const fd = fs.openSync(file, 'r');
    const result = spawnSync(keyvet, [], { stdio: [fd, 'pipe', 'pipe'] });
    const unread = fs.readSync(fd, Buffer.alloc(8192), 0, 8192, null);
    fs.closeSync(fd);
    assert.equal(result.status, 0);
    assert.equal(result.stdout.toString('latin1'), unsupportedLine);
    assert.equal(unread, 4096);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
