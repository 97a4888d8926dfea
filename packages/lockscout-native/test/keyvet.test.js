'use strict';
// What the application sees of keyvet on this platform: one fixed line,
// status 0, whatever it is given, and without ever waiting for input.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const { spawnSync } = require('child_process');
const { deliverable, makeTempDir } = require('../../../test/support/native');
const { withInputFile, runWithOpenInput } = require('./keychain-home');

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
  const { status, stdout } = await runWithOpenInput(keyvet, ['anything']);
  assert.equal(status, 0);
  assert.equal(stdout, unsupportedLine);
});

test('leaves standard input unread', () => {
  const dir = makeTempDir('keyvet-');
  try {
    const { result, offset } = withInputFile(dir, 4096,
      (fd) => spawnSync(keyvet, [], { stdio: [fd, 'pipe', 'pipe'] }));
    assert.equal(result.status, 0);
    assert.equal(result.stdout.toString('latin1'), unsupportedLine);
    assert.equal(offset, 0);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
