'use strict';
// A small application: a local module, a JSON file carried next to it, its
// arguments printed, and their number as the exit status.
const path = require('path');
const { greet } = require('./greet');
const data = require('./data.json');

// The application directory is the extraction directory.
console.log(`location: ${path.dirname(__dirname)}`);
console.log(`greeting: ${greet(data.name)}`);
console.log(`node: ${process.version}`);
console.log(`executable: ${process.execPath}`);
const args = process.argv.slice(2);
for (const argument of args) {
  console.log(`argument: ${argument}`);
}
process.exitCode = args.length;
