#!/bin/sh
# make_app_dir.sh [--keep-dev] [--check ARGS] OUTDIR [APP [ENTRY]]
#
# Assembles an application directory for `onefile pack OUTDIR --main run`
# in OUTDIR (which must not exist yet) from a Node.js application and this
# machine's node:
#
#   APP     a project directory, its node_modules included, or a single
#           .js file; default: the sample application beside this script
#   ENTRY   the file to run, relative to APP; default: the one program of
#           package.json's "bin", else its "main", else index.js
#   --keep-dev
#           keeps the development dependencies: without it, the copy of a
#           project with node_modules is pruned to the production ones
#           (`npm prune --omit=dev`, offline: it only removes)
#   --check ARGS
#           runs the finished directory once, as the launcher would, with
#           ARGS split into words as the shell splits them, and fails when
#           the application cannot find a module that the project has, or
#           maps a module, native addon or shared library from outside
#           OUTDIR (the C library and the program loader excepted)
#
#   OUTDIR/run          the wrapper, the launcher's main
#   OUTDIR/bin/node     the node found on PATH, links resolved
#   OUTDIR/lib/*.so*    the libraries node and the native addons need
#                       beyond the C library (libnode and its dependencies
#                       where node is built on a shared libnode, else the
#                       C++ runtime)
#   OUTDIR/app/         a copy of APP, without .git
#
# Exit status: 0 done, 1 an error (named), 2 a wrong command line, 3 this
# node cannot be carried: a distribution's build that reads parts of itself
# at run time from fixed paths outside (Debian's node 18 reads
# /usr/share/nodejs/...), which the target may not have; 4 --check found
# what the application misses (OUTDIR is left for a look).
set -eu

usage() { echo "usage: $0 [--keep-dev] [--check ARGS] OUTDIR [APP [ENTRY]]"; }
keep_dev=
check=
check_args=
while [ "$#" -gt 0 ]; do
  case $1 in
    # The comment at the top of this file, which says it all.
    --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    --keep-dev) keep_dev=1; shift ;;
    --check)
      [ "$#" -ge 2 ] || { echo "make_app_dir.sh: --check needs a value" >&2; usage >&2; exit 2; }
      check=1; check_args=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "make_app_dir.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
done
case $# in
  1 | 2 | 3) ;;
  *) usage >&2; exit 2 ;;
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

# npm, where it will be needed, before anything is copied.
prune=
if [ -d "$app/node_modules" ] && [ -f "$app/package.json" ] && [ -z "$keep_dev" ]; then
  prune=1
  command -v npm >/dev/null ||
    { echo "make_app_dir.sh: no npm on PATH: it leaves the development dependencies out; install it, or keep them with --keep-dev" >&2; exit 1; }
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

# The application as it is, links kept as links; then without the
# development dependencies, as npm would install it with --omit=dev. The
# prune works on what node_modules holds and never fetches anything.
if [ -d "$app" ]; then
  tar -C "$app" --exclude=./.git -cf - . | tar -C "$out/app" -xf -
else
  cp "$app" "$out/app/$entry"
fi
if [ -n "$prune" ]; then
  (cd "$out/app" && npm prune --omit=dev --offline --no-audit --no-fund --loglevel=error >/dev/null) ||
    { echo "make_app_dir.sh: npm prune --omit=dev failed in $out/app" >&2; exit 1; }
fi
# The libraries of the native addons that are carried, beyond the C
# library, join node's in lib/, which the wrapper puts on LD_LIBRARY_PATH.
find "$out/app" -type f -name '*.node' -exec sh "$recipe/../copy_libraries.sh" "$out/lib" {} +

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

[ -n "$check" ] || exit 0

# The check: one run of the wrapper with check_run.js required first, which
# reports at exit what the application took from outside OUTDIR or did not
# find.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/make_app_dir-check-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cp "$recipe/check_run.js" "$scratch/check_run.js"
report=$scratch/report
eval "set -- $check_args"
status=0
ONEFILE_CHECK_REPORT=$report ONEFILE_CHECK_ROOT=$out \
  NODE_OPTIONS="--require \"$scratch/check_run.js\"${NODE_OPTIONS:+ $NODE_OPTIONS}" \
  "$out/run" "$@" </dev/null || status=$?

problems=
problem() {
  echo "make_app_dir.sh: --check: $*" >&2
  problems=1
}
[ -f "$report" ] && grep -qx ran "$report" ||
  problem "the application did not come to its end (status $status: killed, or gone through exec): nothing was checked"
if [ -f "$report" ]; then
  # Bare names that found nothing in the copy but that the project itself
  # resolves: development dependencies the application needs, most likely.
  if [ -d "$app" ]; then
    sed -n 's/^notfound //p' "$report" | "$node" -e '
      const path = require("path");
      const seen = new Set();
      for (const name of require("fs").readFileSync(0, "utf8").split("\n")) {
        if (!name || seen.has(name) || name.startsWith(".") || path.isAbsolute(name)) continue;
        seen.add(name);
        try {
          console.log(`${name} ${require.resolve(name, {paths: [process.argv[1]]})}`);
        } catch (error) {}
      }' "$(cd "$app" && pwd)" >"$scratch/project_has"
    while read -r name file; do
      problem "the application found no module $name, which $app has ($file): a development dependency? list it in \"dependencies\", or keep them with --keep-dev"
    done <"$scratch/project_has"
  fi
  while read -r kind rest; do
    case $kind in
      failed) problem "the application stopped: $rest" ;;
      module) problem "module $rest was loaded from outside $out" ;;
      library) problem "${rest##*/} was loaded from $rest, outside $out" ;;
    esac
  done <"$report"
fi
if [ -n "$problems" ]; then
  echo "make_app_dir.sh: $out is left as it is; pack it once the check passes" >&2
  exit 4
fi
