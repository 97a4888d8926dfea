'use strict';
// Child process of the crash-point tests. argv[2] is the add-on, argv[3] a
// JSON list of jobs, each one add-on call ({ fn, args }, BigInt arguments
// as { bigint: "<decimal>" }) with the fault-injection settings for it. The
// preloaded interposer reads its settings from the environment each time a
// call opens a new storage root, so they are set here before each call.
// Prints one JSON line with the outcome of every call, unless the
// interposer stops the process first.
const anchorfile = require(process.argv[2]);
const jobs = JSON.parse(process.argv[3],
  (key, value) => (value !== null && typeof value === 'object' && 'bigint' in value ? BigInt(value.bigint) : value));
const outcomes = [];
for (const { fn, args, env } of jobs) {
  Object.assign(process.env, env);
  try {
    anchorfile[fn](...args);
    outcomes.push({ ok: true });
  } catch (error) {
    outcomes.push({ ok: false, message: error.message, code: error.code });
  }
}
process.stdout.write(`${JSON.stringify(outcomes)}\n`);
