'use strict';
// Child process of the crash-point tests. argv[2] is a JSON list of jobs,
// each one removeAnchoredFile call, or one recoverAnchoredRemoval call when
// the request says op "recover" (BigInt values as decimal strings), with
// the fault-injection settings for it. The preloaded interposer reads its
// settings from the environment each time a removal opens a new storage
// root, so they are set here before each call. Prints one JSON line with the
// outcome of every call, unless the interposer stops the process first.
const jobs = JSON.parse(process.argv[2]);
const outcomes = [];
for (const { request, env } of jobs) {
  Object.assign(process.env, env);
  const anchorfile = require(request.addon);
  const big = (text) => BigInt(text);
  try {
    if (request.op === 'recover') {
      const args = [request.root, request.parent, request.quarantine,
        big(request.parentDev), big(request.parentIno)];
      if (request.kind === 'content') args.push(request.name);
      anchorfile.recoverAnchoredRemoval(...args);
    } else {
      anchorfile.removeAnchoredFile(
        request.root, request.parent, request.name,
        big(request.parentDev), big(request.parentIno),
        big(request.dev), big(request.ino), big(request.size), big(request.mtimeNs),
        request.quarantine);
    }
    outcomes.push({ ok: true });
  } catch (error) {
    outcomes.push({ ok: false, message: error.message, code: error.code });
  }
}
process.stdout.write(`${JSON.stringify(outcomes)}\n`);
