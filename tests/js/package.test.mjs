// The package folder (packages/page-api) goes with the library: the same
// version as CMakeLists.txt, the page scripts the library injects (its
// resources folder links to the package's files), and
// every file its package.json names exists.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const pkgDir = path.join(root, 'packages/page-api');
const pkg = JSON.parse(fs.readFileSync(path.join(pkgDir, 'package.json'), 'utf8'));

test('the package is versioned with the library and carries the current page scripts', () => {
  const cmake = fs.readFileSync(path.join(root, 'CMakeLists.txt'), 'utf8');
  const version = /project\(\s*TevraARWebGL\s+VERSION\s+([0-9.]+)/.exec(cmake);
  assert.ok(version, 'no project version in CMakeLists.txt');
  assert.equal(pkg.version, version[1]);
  for (const name of ['Zephral.js', 'UnityBridge.js'])
    assert.equal(fs.readFileSync(path.join(pkgDir, name), 'utf8'), fs.readFileSync(path.join(root, 'src/resources', name), 'utf8'),
      `src/resources/${name} is not the package's ${name}: it should be a link to it`);
  const named = [pkg.types, pkg.main, ...pkg.files];
  for (const entry of Object.values(pkg.exports))
    named.push(...(typeof entry === 'string' ? [entry] : Object.values(entry)));
  for (const file of named) assert.ok(fs.existsSync(path.join(pkgDir, file)), `${file} is named but missing`);
});
