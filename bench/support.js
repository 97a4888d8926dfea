'use strict';
// Helpers shared by the benchmarks: interleaved rounds, medians, ratios.

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// Runs every contender once per round, in rotating order so that none always
// goes first, and returns each one's per-round results. Each contender is a
// function (round) => nanoseconds per operation for that round.
function interleave(contenders, rounds) {
  const names = Object.keys(contenders);
  const results = Object.fromEntries(names.map((name) => [name, []]));
  for (let round = 0; round < rounds; round++) {
    for (let i = 0; i < names.length; i++) {
      const name = names[(round + i) % names.length];
      results[name].push(contenders[name](round));
    }
  }
  return results;
}

// interleave for contenders that return a promise of their round's result.
async function interleaveAsync(contenders, rounds) {
  const names = Object.keys(contenders);
  const results = Object.fromEntries(names.map((name) => [name, []]));
  for (let round = 0; round < rounds; round++) {
    for (let i = 0; i < names.length; i++) {
      const name = names[(round + i) % names.length];
      results[name].push(await contenders[name](round));
    }
  }
  return results;
}

// Each contender's results reduced to one of their fields.
function field(results, key) {
  return Object.fromEntries(Object.entries(results).map(([name, values]) => [name, values.map((v) => v[key])]));
}

function formatNs(ns) {
  return ns >= 1e6 ? `${(ns / 1e6).toFixed(2)} ms` : `${(ns / 1e3).toFixed(1)} µs`;
}

// Prints one line per contender: median per operation and the ratio to the
// reference contender.
function report(title, results, reference) {
  console.log(`\n${title}`);
  const ref = median(results[reference]);
  for (const [name, values] of Object.entries(results)) {
    const m = median(values);
    const ratio = m / ref;
    const shown = ratio < 0.1 ? ratio.toPrecision(2) : ratio.toFixed(2);
    console.log(`  ${name.padEnd(44)} median ${formatNs(m).padStart(10)}   ${shown}x ${reference}`);
  }
}

module.exports = { median, interleave, interleaveAsync, field, report, formatNs };
