'use strict';
// Child process of the crash-point tests: makes one removeAnchoredFile call
// with the arguments given as JSON in argv[2] (BigInt values as decimal
// strings) and prints its outcome as one JSON line. The fault-injection
// interposer, preloaded by the parent, may stop this process in the middle.
const request = JSON.parse(process.argv[2]);
const anchorfile = require(request.addon);

const big = (text) => BigInt(text);
let outcome;
try {
  anchorfile.removeAnchoredFile(
    request.root, request.parent, request.name,
    big(request.parentDev), big(request.parentIno),
    big(request.dev), big(request.ino), big(request.size), big(request.mtimeNs),
    request.quarantine);
  outcome = { ok: true };
} catch (error) {
  outcome = { ok: false, message: error.message, code: error.code };
}
process.stdout.write(`${JSON.stringify(outcome)}\n`);
