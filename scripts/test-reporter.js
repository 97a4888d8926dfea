'use strict';
// The on-screen reporter of the node suites: one line per top-level test
// (a test, or a suite with everything in it), with how many subtests ran
// inside; then every failure in full, with the standard error of the file
// it came from; then the runner's own totals ("ℹ tests N", "ℹ pass N",
// "ℹ fail N", ...) as the last lines, which is what CI reads. Node's
// default reporter prints every subtest and suite too, several hundred
// lines that bury a failure; the complete record goes to the TAP log all
// the same.
const { Transform } = require('stream');
const { inspect } = require('util');

const MARK = { pass: '\u2714', fail: '\u2716', skip: '\u25cb' };

function seconds(details) {
  const ms = details && details.duration_ms;
  return ms === undefined ? '' : `${(ms / 1000).toFixed(1)} s`;
}

function newCounts() {
  return { tests: 0, failed: 0, skipped: 0, cancelled: 0 };
}

// What a subtest adds to its top-level test's line.
function count(counts, type, data) {
  if (data.details && data.details.type === 'suite') return;
  counts.tests += 1;
  if (data.skip !== undefined || data.todo !== undefined) counts.skipped += 1;
  if (type === 'test:fail') {
    if (data.details.error && data.details.error.failureType === 'cancelledByParent') counts.cancelled += 1;
    else counts.failed += 1;
  }
}

function topLine(type, data, counts) {
  const skipped = data.skip !== undefined || data.todo !== undefined;
  const mark = type === 'test:fail' ? MARK.fail : skipped ? MARK.skip : MARK.pass;
  const parts = [];
  if (counts.tests > 0) parts.push(`${counts.tests} subtest${counts.tests === 1 ? '' : 's'}`);
  if (counts.failed > 0) parts.push(`${counts.failed} failed`);
  if (counts.cancelled > 0) parts.push(`${counts.cancelled} cancelled`);
  if (counts.skipped > 0) parts.push(`${counts.skipped} skipped`);
  const time = seconds(data.details);
  if (time) parts.push(time);
  const reason = skipped && typeof (data.skip ?? data.todo) === 'string' ? ` # SKIP ${data.skip ?? data.todo}` : '';
  return `${mark} ${data.name}${parts.length ? ` (${parts.join(', ')})` : ''}${reason}\n`;
}

// A failure worth printing is one of its own: not a parent that failed
// because a subtest did, nor a test cancelled because its parent ended.
function ownFailure(error) {
  return !error || !['subtestsFailed', 'cancelledByParent'].includes(error.failureType);
}

function failureText(failure, stderr) {
  const error = failure.error && failure.error.cause !== undefined ? failure.error.cause : failure.error;
  let text = `\n${MARK.fail} ${failure.path.join(' > ')}\n  ${failure.file || ''}\n`;
  text += `${inspect(error, { depth: 4 }).replace(/^/gm, '  ')}\n`;
  if (stderr) text += `  standard error and diagnostics of ${failure.file}:\n${stderr.replace(/\n$/, '').replace(/^/gm, '  | ')}\n`;
  return text;
}

// The runner's totals are diagnostics of no file, sent together once
// every test is done; the failures go out just before them. A stream that
// answers each event at once, as node's own reporters are: under
// --test-force-exit the process ends as soon as the run does, and an async
// generator reporter, a few promise turns behind its input, lost its last
// lines there.
function failureReport(failures, files) {
  if (failures.length === 0) return '';
  let text = `\n${MARK.fail} failing tests:\n`;
  const shown = new Set();
  for (const failure of failures) {
    const stderr = shown.has(failure.file) ? '' : files.get(failure.file || '').stderr;
    shown.add(failure.file);
    text += failureText(failure, stderr);
  }
  return `${text}\n`;
}

class LineReporter extends Transform {
  constructor() {
    super({ writableObjectMode: true });
    this.files = new Map(); // file -> { names, counts, stderr }
    this.failures = [];
    this.reported = false;
  }

  of(file) {
    const key = file || '';
    if (!this.files.has(key)) this.files.set(key, { names: [], counts: newCounts(), stderr: '' });
    return this.files.get(key);
  }

  _transform({ type, data }, encoding, callback) {
    callback(null, this.lineFor(type, data));
  }

  lineFor(type, data) {
    if (type === 'test:start') {
      const state = this.of(data.file);
      state.names.length = data.nesting;
      state.names.push(data.name);
    } else if (type === 'test:pass' || type === 'test:fail') {
      const state = this.of(data.file);
      if (type === 'test:fail' && ownFailure(data.details.error)) {
        const path = [...state.names.slice(0, data.nesting), data.name];
        this.failures.push({ path, file: data.file, error: data.details.error });
      }
      if (data.nesting > 0) {
        count(state.counts, type, data);
        return '';
      }
      const line = topLine(type, data, state.counts);
      state.counts = newCounts();
      return line;
    } else if (type === 'test:stderr' || (type === 'test:diagnostic' && data.file)) {
      // A file's standard error and its tests' own diagnostics (a seed,
      // a figure) are shown with its failures; all of it is in the TAP log.
      this.of(data.file).stderr += type === 'test:stderr' ? data.message : `# ${data.message}\n`;
    } else if (type === 'test:diagnostic') {
      const failures = this.reported ? '' : failureReport(this.failures, this.files);
      this.reported = true;
      return `${failures}\u2139 ${data.message}\n`;
    }
    return '';
  }
}

module.exports = new LineReporter();
