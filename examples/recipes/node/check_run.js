'use strict';
// check_run.js: what `make_app_dir.sh --check` loads into node, through
// NODE_OPTIONS=--require, for one run of the finished application
// directory. At exit it writes to the file named by ONEFILE_CHECK_REPORT
// one line for each thing the application took from outside the directory
// ONEFILE_CHECK_ROOT or could not find:
//
//   failed MESSAGE      the application ended on a module it could not find
//   notfound REQUEST    a require() of REQUEST found nothing (the
//                       application may have caught it; make_app_dir.sh
//                       asks the project whether it has REQUEST)
//   module PATH         a module loaded from a file outside
//   library PATH        a shared library or native addon mapped from
//                       outside (/proc/self/maps), the C library's own
//                       parts excepted
//   ran                 last: the run came to its end and was checked
const fs = require('fs');
const path = require('path');
const Module = require('module');

const report = process.env.ONEFILE_CHECK_REPORT;
const root = fs.realpathSync(process.env.ONEFILE_CHECK_ROOT || '/') + path.sep;
// The application's own child processes are not checked.
delete process.env.ONEFILE_CHECK_REPORT;
delete process.env.ONEFILE_CHECK_ROOT;

// The C library and the program loader stay the target system's, and so do
// the files they map for themselves (character set converters).
const cLibrary = /^(linux-vdso\.so\.|ld-linux|libc\.so\.|libm\.so\.|libdl\.so\.|libpthread\.so\.|librt\.so\.|libresolv\.so\.|libutil\.so\.|libanl\.so\.|libmvec\.so\.|libBrokenLocale\.so\.|libnss_|libthread_db\.so\.|libc_malloc_debug\.so\.)/;
const lines = [];

const outside = (file) => file.startsWith('/') && !file.startsWith(root);

const resolveFilename = Module._resolveFilename;
Module._resolveFilename = function recordNotFound(request, ...rest) {
  try {
    return resolveFilename.call(this, request, ...rest);
  } catch (error) {
    if (error && error.code === 'MODULE_NOT_FOUND') lines.push(`notfound ${request}`);
    throw error;
  }
};

process.on('uncaughtExceptionMonitor', (error) => {
  if (error && error.code === 'MODULE_NOT_FOUND') lines.push(`failed ${String(error.message).split('\n')[0]}`);
});

process.on('exit', () => {
  for (const file of Object.keys(require.cache).sort()) {
    if (file !== __filename && outside(fs.realpathSync(file))) lines.push(`module ${file}`);
  }
  const seen = new Set();
  for (const line of fs.readFileSync('/proc/self/maps', 'utf8').split('\n')) {
    const file = line.split(/\s+/).slice(5).join(' ');
    const name = path.basename(file);
    if (seen.has(file) || !outside(file) || !/\.so|\.node$/.test(name)) continue;
    seen.add(file);
    if (cLibrary.test(name) || file.includes('/gconv/')) continue;
    lines.push(`library ${file}`);
  }
  lines.push('ran');
  fs.writeFileSync(report, lines.map((line) => `${line}\n`).join(''));
});
