#!/bin/sh
# make_app_dir.sh OUTDIR [APP [ENTRY]]
#
# Assembles an application directory for `onefile pack OUTDIR --main run`
# in OUTDIR (which must not exist yet) from a Node.js application and this
# machine's node:
#
#   APP     a project directory, its node_modules included, or a single
#           .js file; default: the sample application beside this script
#   ENTRY   the file to run, relative to APP; default: the one program of
#           package.json's "bin", else its "main", else index.js
#
#   OUTDIR/run          the wrapper, the launcher's main
#   OUTDIR/bin/node     the node found on PATH, links resolved
#   OUTDIR/lib/*.so*    the libraries node needs beyond the C library
#                       (libnode and its dependencies where node is built
#                       on a shared libnode, else the C++ runtime)
#   OUTDIR/app/         a copy of APP, without .git
#
# Exits 3 when this node cannot be carried: a distribution's build that
# reads parts of itself at run time from fixed paths outside (Debian's
# node 18 reads /usr/share/nodejs/...), which the target may not have.
set -eu

case $# in
  1 | 2 | 3) ;;
  *) echo "usage: $0 OUTDIR [APP [ENTRY]]" >&2; exit 2 ;;
esac
out=$1
recipe=$(cd "$(dirname "$0")" && pwd)
app=${2:-$recipe/app}
entry=${3:-}

node=$(command -v node) || { echo "make_app_dir.sh: no node on PATH" >&2; exit 1; }
node=$(readlink -f "$node")

# What runs, checked before anything is copied.
if [ -d "$app" ]; then
  entry=$("$node" "$recipe/entry_point.js" "$app" "$entry")
elif [ -f "$app" ]; then
  [ -z "$entry" ] || { echo "make_app_dir.sh: ENTRY applies only when APP is a directory" >&2; exit 2; }
  entry=${app##*/}
else
  echo "make_app_dir.sh: $app: no such directory or file" >&2
  exit 1
fi

mkdir "$out"
mkdir "$out/bin" "$out/lib" "$out/app"
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

# The application as it is, links kept as links.
if [ -d "$app" ]; then
  tar -C "$app" --exclude=./.git -cf - . | tar -C "$out/app" -xf -
else
  cp "$app" "$out/app/$entry"
fi

# The entry as a word of the wrapper: plain inside its double quotes when it
# holds nothing the shell would read there, else single-quoted.
case $entry in
  *[!A-Za-z0-9._/@+-]*) entry_word="\"\$here/app/\"'$(printf '%s' "$entry" | sed "s/'/'\\\\''/g")'" ;;
  *) entry_word="\"\$here/app/$entry\"" ;;
esac

{
  cat <<'WRAPPER'
#!/bin/sh
# The launcher's main, written by make_app_dir.sh: runs the carried node on
# the application.
#
# Made for the launcher alone: it finds everything through $0, which is this
# file's path in the extraction directory when the launcher starts it (the
# kernel gives a '#!' script its own path; the launcher's path, the child's
# argv[0], is not seen here). Started some other way, through a link from
# elsewhere or as `sh <run`, it finds nothing.
here=${0%/*}

# The carried libraries first (see lib/); the C library stays the system's.
export LD_LIBRARY_PATH="$here/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

WRAPPER
  # shellcheck disable=SC2016 # $here and $@ are the wrapper's, not expanded here.
  printf 'exec "$here/bin/node" %s "$@"\n' "$entry_word"
} >"$out/run"
chmod 755 "$out/run"
