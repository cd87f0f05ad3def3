#!/bin/sh
# make_app_dir.sh [--packages DIR] OUTDIR [APP [MODULE]]
#
# Assembles an application directory for `onefile pack OUTDIR --main run`
# in OUTDIR (which must not exist yet) from a Python application and this
# machine's interpreter:
#
#   APP       a directory holding the application's modules, or a single
#             script; default: the sample application beside this script
#   MODULE    the module of APP to run, as `python -m MODULE` takes it
#             (`tool` for tool.py or a package tool/ with a __main__.py,
#             `tool.cli`); default: APP's __main__.py
#   --packages DIR
#             a directory of extra pure-Python packages, such as
#             `pip install --target DIR NAME...` makes, found after APP
#
#   OUTDIR/run                   the wrapper, the launcher's main
#   OUTDIR/bin/python3           /usr/bin/python3.X
#   OUTDIR/lib/python3.X/        its standard library, pruned, compiled
#   OUTDIR/lib/*.so*             the libraries that the interpreter and its
#                                extension modules need beyond the C library
#   OUTDIR/app/                  a copy of APP without .git, compiled
#   OUTDIR/packages/             a copy of DIR, compiled
#
# Every .pyc is made with --invalidation-mode unchecked-hash: a launcher does
# not carry modification times, so .pyc files that check them would all be
# stale after unpacking and the interpreter would compile every module again
# on each run.
set -eu

usage() { echo "usage: $0 [--packages DIR] OUTDIR [APP [MODULE]]" >&2; exit 2; }
packages=
while [ "$#" -gt 0 ]; do
  case $1 in
    --packages) [ "$#" -ge 2 ] || usage; packages=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
case $# in
  1 | 2 | 3) ;;
  *) usage ;;
esac
out=$1
recipe=$(cd "$(dirname "$0")" && pwd)
app=${2:-$recipe/app}
module=${3:-}

# What runs, checked before anything is copied: the interpreter's arguments
# in the wrapper, as they follow "$here/bin/python3" -s.
if [ -f "$app" ]; then
  [ -z "$module" ] || { echo "make_app_dir.sh: MODULE applies only when APP is a directory" >&2; exit 2; }
  # The script's name as a word of the wrapper: plain inside its double
  # quotes when it holds nothing the shell would read there, else
  # single-quoted.
  script=${app##*/}
  case $script in
    *[!A-Za-z0-9._@+-]*) start="\"\$here/app/\"'$(printf '%s' "$script" | sed "s/'/'\\\\''/g")'" ;;
    *) start="\"\$here/app/$script\"" ;;
  esac
elif [ ! -d "$app" ]; then
  echo "make_app_dir.sh: $app: no such directory or file" >&2
  exit 1
elif [ -z "$module" ]; then
  [ -f "$app/__main__.py" ] ||
    { echo "make_app_dir.sh: $app: no __main__.py; name the module to run as MODULE" >&2; exit 1; }
  # A directory run as a program: it is the first entry of sys.path, and
  # its __main__.py runs.
  start="\"\$here/app\""
else
  case $module in
    [!A-Za-z_]* | *[!A-Za-z0-9_.]* | *..* | *.)
      echo "make_app_dir.sh: '$module' is not a module name" >&2; exit 1 ;;
  esac
  path=$(printf '%s' "$module" | tr . /)
  found=
  for dir in "$app" ${packages:+"$packages"}; do
    if [ -f "$dir/$path.py" ] || [ -f "$dir/$path/__main__.py" ]; then found=1; fi
  done
  [ -n "$found" ] ||
    { echo "make_app_dir.sh: $app: no $path.py or $path/__main__.py for MODULE $module" >&2; exit 1; }
  start="-m $module"
fi
[ -z "$packages" ] || [ -d "$packages" ] ||
  { echo "make_app_dir.sh: $packages: no such directory" >&2; exit 1; }

# The system's interpreter itself, not a version manager's shim that may
# come first on PATH.
python=$(readlink -f /usr/bin/python3)
version=${python##*/}
case $version in
  python3.*) ;;
  *) echo "make_app_dir.sh: /usr/bin/python3 is $python, not a python3.X" >&2; exit 1 ;;
esac
stdlib=/usr/lib/$version
[ -f "$stdlib/os.py" ] || { echo "make_app_dir.sh: no standard library in $stdlib" >&2; exit 1; }

# Where the application's modules come from. A directory or script run as
# the program is the first entry of sys.path itself; for -m, app/ is named
# here, and -P (Python 3.11 on) keeps the working directory, which the
# launcher's user chooses, off the path.
search=
# shellcheck disable=SC2016 # $here is the wrapper's, not expanded here.
[ -n "$module" ] && search='$here/app'
[ -n "$packages" ] && search="${search:+$search:}\$here/packages"
if [ -n "$module" ] && "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
  start="-P $start"
fi

mkdir "$out"
mkdir "$out/bin" "$out/lib" "$out/app"
cp "$python" "$out/bin/python3"

# The standard library without what an application does not import: the
# tests, the IDE and Tk, the pip bootstrap, the static library and build
# files, the installed packages and the system's compiled files (made for
# modification times). sitecustomize.py is Debian's link into /etc.
tar -C /usr/lib -cf - \
    --exclude="$version/test" --exclude="$version/idlelib" \
    --exclude="$version/tkinter" --exclude="$version/turtledemo" \
    --exclude="$version/ensurepip" --exclude="$version/lib2to3" \
    --exclude="$version/config-*" --exclude="$version/site-packages" \
    --exclude="$version/dist-packages" --exclude="$version/sitecustomize.py" \
    --exclude='__pycache__' --exclude='lib-dynload/_test*' \
    --exclude='lib-dynload/xx*' --exclude='lib-dynload/_xx*' \
    --exclude='lib-dynload/_ctypes_test*' \
    "$version" | tar -C "$out/lib" -xf -

sh "$recipe/../copy_libraries.sh" "$out/lib" "$out/bin/python3" \
    "$out/lib/$version"/lib-dynload/*.so

# The application and the extra packages as they are, links kept as links;
# compiled files made elsewhere are left behind.
if [ -d "$app" ]; then
  tar -C "$app" --exclude=./.git --exclude='__pycache__' -cf - . | tar -C "$out/app" -xf -
else
  cp "$app" "$out/app/"
fi
if [ -n "$packages" ]; then
  mkdir "$out/packages"
  tar -C "$packages" --exclude='__pycache__' -cf - . | tar -C "$out/packages" -xf -
fi

{
  cat <<'WRAPPER'
#!/bin/sh
# The launcher's main, written by make_app_dir.sh: runs the carried
# interpreter on the application.
#
# Made for the launcher alone: it finds everything through $0, which is this
# file's path in the extraction directory when the launcher starts it (the
# kernel gives a '#!' script its own path; the launcher's path, the child's
# argv[0], is not seen here). Started some other way, through a link from
# elsewhere or as `sh <run`, it finds nothing.
here=${0%/*}

# Where the standard library is: the interpreter would otherwise guess from
# its own path, and from the launcher's path if it were the main itself.
export PYTHONHOME="$here"
# The .pyc files are carried; nothing is written into the extraction
# directory, which is removed at the end anyway.
export PYTHONDONTWRITEBYTECODE=1
# The carried libraries first (see lib/); the C library stays the system's.
export LD_LIBRARY_PATH="$here/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
WRAPPER
  if [ -n "$search" ]; then
    echo '# The application'"'"'s own module path, in place of the user'"'"'s.'
    printf 'export PYTHONPATH="%s"\n' "$search"
  else
    echo '# Modules of the user'"'"'s own Python setup do not belong to this one.'
    echo 'unset PYTHONPATH'
  fi
  echo
  echo '# -s: no user site directory (~/.local/lib/python3.X/site-packages).'
  # shellcheck disable=SC2016 # $here and $@ are the wrapper's.
  printf 'exec "$here/bin/python3" -s %s "$@"\n' "$start"
} >"$out/run"
chmod 755 "$out/run"

# Compiled by the interpreter that will run them: a .pyc holds the
# interpreter's magic number.
"$python" -m compileall -q -j 0 --invalidation-mode unchecked-hash \
    "$out/lib/$version" "$out/app" ${packages:+"$out/packages"} >/dev/null
