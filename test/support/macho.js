'use strict';
// Reading Mach-O files as a Mac's loader and kernel would, for the suites
// that check what the macOS cross-build and the packages ship: the header
// and load commands as llvm-objdump prints them, and the ad-hoc code
// signature checked against the bytes it covers.
const assert = require('node:assert');
const crypto = require('crypto');
const fs = require('fs');
const { execFileSync } = require('child_process');

function tool(name, args) {
  return execFileSync(name, args, { encoding: 'utf8', maxBuffer: 64 << 20 });
}

// { magic, cpu, type, commands: [{ cmd, ...fields }] }
function readHeaders(file) {
  const lines = tool('llvm-objdump', ['--macho', '--private-headers', file]).split('\n');
  const titles = lines.findIndex((line) => /^\s*magic\s+cputype/.test(line));
  assert.ok(titles >= 0, `${file}: no Mach-O header`);
  const [magic, cpu, , , type] = lines[titles + 1].trim().split(/\s+/);
  const commands = [];
  for (const line of lines.slice(titles + 2)) {
    const field = /^\s*(\S+)\s+(.*?)\s*$/.exec(line);
    if (/^Load command/.test(line)) commands.push({});
    else if (field && commands.length) commands[commands.length - 1][field[1]] ??= field[2];
  }
  return { magic, cpu, type, commands };
}

const SUPERBLOB_MAGIC = 0xfade0cc0;
const CODE_DIRECTORY_MAGIC = 0xfade0c02;
const CODE_DIRECTORY_SLOT = 0;
const CS_ADHOC = 0x2;
const HASH_SHA256 = 2;

// Why the file's code signature would not let it run on Apple silicon, or
// null when it would: an ad-hoc signature whose page hashes match the
// file. The kernel checks each page against its hash when it maps it in
// and kills the process on a mismatch, so a file changed after linking (a
// strip that does not sign anew) fails here as it would there.
function adhocSignatureFault(file, headers = readHeaders(file)) {
  const command = headers.commands.find((c) => c.cmd === 'LC_CODE_SIGNATURE');
  if (!command) return 'no code signature';
  const bytes = fs.readFileSync(file);
  const offset = Number(command.dataoff);
  const blob = bytes.subarray(offset, offset + Number(command.datasize));
  if (blob.length < 12 || blob.readUInt32BE(0) !== SUPERBLOB_MAGIC) return 'no signature blob';
  let directory = null;
  for (let i = 0; i < blob.readUInt32BE(8); i += 1) {
    if (blob.readUInt32BE(12 + 8 * i) === CODE_DIRECTORY_SLOT) {
      directory = blob.subarray(blob.readUInt32BE(16 + 8 * i));
    }
  }
  if (!directory || directory.readUInt32BE(0) !== CODE_DIRECTORY_MAGIC) return 'no code directory';
  const flags = directory.readUInt32BE(12);
  const hashOffset = directory.readUInt32BE(16);
  const codeSlots = directory.readUInt32BE(28);
  const codeLimit = directory.readUInt32BE(32);
  const [hashSize, hashType, , pageShift] = directory.subarray(36, 40);
  if ((flags & CS_ADHOC) === 0) return 'not an ad-hoc signature';
  if (hashType !== HASH_SHA256) return `hash type ${hashType}`;
  if (codeLimit !== offset) return `signature covers ${codeLimit} bytes, the code ends at ${offset}`;
  const page = 1 << pageShift;
  if (codeSlots !== Math.ceil(codeLimit / page)) return `${codeSlots} page hashes for ${codeLimit} bytes`;
  for (let slot = 0; slot < codeSlots; slot += 1) {
    const actual = crypto.createHash('sha256')
      .update(bytes.subarray(slot * page, Math.min((slot + 1) * page, codeLimit))).digest();
    const recorded = directory.subarray(hashOffset + slot * hashSize, hashOffset + (slot + 1) * hashSize);
    if (!actual.equals(recorded)) return `page ${slot} does not match its hash`;
  }
  return null;
}

module.exports = { tool, readHeaders, adhocSignatureFault };
