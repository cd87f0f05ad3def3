#!/bin/sh
# make_app_dir.sh OUTDIR
#
# Assembles the Node.js recipe's application directory in OUTDIR (which
# must not exist yet) from this machine's node:
#
#   OUTDIR/run          the wrapper, the launcher's main
#   OUTDIR/bin/node     the node found on PATH, links resolved
#   OUTDIR/lib/*.so*    the libraries node needs beyond the C library
#                       (libnode and its dependencies where node is built
#                       on a shared libnode, else the C++ runtime)
#   OUTDIR/app/         the application
#
# Exits 3 when this node cannot be carried: a distribution's build that
# reads parts of itself at run time from fixed paths outside (Debian's
# node 18 reads /usr/share/nodejs/...), which the target may not have.
set -eu

[ "$#" -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
recipe=$(cd "$(dirname "$0")" && pwd)

node=$(command -v node) || { echo "make_app_dir.sh: no node on PATH" >&2; exit 1; }
node=$(readlink -f "$node")

mkdir "$out"
mkdir "$out/bin" "$out/lib"
cp "$node" "$out/bin/node"
sh "$recipe/../copy_libraries.sh" "$out/lib" "$node"

# Built-in modules that the build left outside, each compiled in with its
# absolute path (NODE_SHARED_BUILTIN_..._PATH=/usr/share/nodejs/...).
outside=$(LC_ALL=C grep -aoh 'NODE_SHARED_BUILTIN_[A-Z_]*_PATH=[^"]*' \
          "$out/bin/node" "$out"/lib/* | sed 's/^[^=]*=//' | sort -u) || true
if [ -n "$outside" ]; then
  echo "make_app_dir.sh: $node reads these files of its own from fixed paths," >&2
  echo "where a launcher cannot put them; use an official Node.js build:" >&2
  echo "$outside" >&2
  exit 3
fi
cp "$recipe/run" "$out/run"
cp -R "$recipe/app" "$out/app"
