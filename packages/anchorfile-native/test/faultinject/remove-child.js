'use strict';
// Child process of the crash-point tests. argv[2] is the add-on, argv[3] a
// JSON list of jobs, each one add-on call ({ fn, args }, BigInt arguments
// as { bigint: "<decimal>" }) with the fault-injection settings for it. The
// preloaded interposer reads its settings from the environment each time a
// call opens a new storage root, so they are set here before each call. A
// job with `writer` stands in for another process that holds a file open
// (writer.path, or a placeholder the interposer's "recreate" replaces) and
// writes writer.text at its start after the call. Prints one JSON line with
// the outcome of every call, unless the interposer stops the process first.
const fs = require('fs');

const anchorfile = require(process.argv[2]);
const jobs = JSON.parse(process.argv[3],
  (key, value) => (value !== null && typeof value === 'object' && 'bigint' in value ? BigInt(value.bigint) : value));
const outcomes = [];
for (const { fn, args, env, writer } of jobs) {
  const writerFd = writer ? fs.openSync(writer.path || '/dev/null', writer.path ? 'r+' : 'r') : -1;
  Object.assign(process.env, env, writer ? { ANCHORFILE_FAULT_WRITER_FD: String(writerFd) } : {});
  let outcome;
  try {
    anchorfile[fn](...args);
    outcome = { ok: true };
  } catch (error) {
    outcome = { ok: false, message: error.message, code: error.code };
  }
  if (writer) {
    const text = Buffer.from(writer.text);
    fs.writeSync(writerFd, text, 0, text.length, 0);
    fs.closeSync(writerFd);
  }
  outcomes.push(outcome);
}
process.stdout.write(`${JSON.stringify(outcomes)}\n`);
