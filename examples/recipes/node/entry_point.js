'use strict';
// node entry_point.js PROJECT [ENTRY]
//
// Prints the file that runs a Node.js project, relative to PROJECT: ENTRY
// when given, else the one program of package.json's "bin", else its
// "main", else index.js, each found as node finds a module (a missing
// ".js", a directory's index.js). Fails with a message when there is none,
// when it lies outside PROJECT, or when package.json names dependencies and
// PROJECT has no node_modules to carry them.
const fs = require('fs');
const path = require('path');

const [project, given] = process.argv.slice(2);

function fail(message) {
  console.error(`make_app_dir.sh: ${message}`);
  process.exit(1);
}

const root = fs.realpathSync(project);
let manifest = {};
try {
  manifest = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
} catch (error) {
  if (error.code !== 'ENOENT') fail(`${project}/package.json: ${error.message}`);
}

const dependencies = Object.keys(manifest.dependencies || {});
if (dependencies.length > 0 && !fs.existsSync(path.join(root, 'node_modules'))) {
  fail(`${project}: package.json names dependencies (${dependencies.join(', ')}) but there is no ` +
       'node_modules: install them first (npm ci; make_app_dir.sh leaves the development ones out of its copy)');
}

let entry = given;
let source = 'ENTRY';
if (!entry) {
  let bin = manifest.bin;
  if (bin && typeof bin === 'object') {
    const files = [...new Set(Object.values(bin))];
    if (files.length > 1) {
      fail(`${project}/package.json: "bin" names ${Object.keys(bin).join(', ')}: ` +
           'give the file to run as ENTRY');
    }
    bin = files[0];
  }
  [entry, source] = bin ? [bin, 'package.json "bin"'] :
                    manifest.main ? [manifest.main, 'package.json "main"'] :
                    ['index.js', 'no "bin" or "main" in a package.json; name the file to run as ENTRY'];
}

let file;
try {
  file = require.resolve(path.resolve(root, entry));
} catch (error) {
  fail(`${path.join(project, entry)}: no such file (${source})`);
}
const relative = path.relative(root, file);
if (relative.startsWith('..') || path.isAbsolute(relative)) fail(`${project}: ${entry} lies outside it`);
console.log(relative);
