#!/bin/sh
# make_app_dir.sh [OPTION]... OUTDIR [APP [MODULE]]
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
#             a directory of extra packages, such as `pip install --target
#             DIR NAME...` makes, found after APP; may be given more than
#             once, for directories that hold different names
#   --system-modules
#             also copies the modules that APP imports from the system's
#             Python path beyond the standard library (Debian's
#             /usr/lib/python3/dist-packages, ...), with what they import
#             in turn: the imports that the standard library's modulefinder
#             sees in the code, not those made at run time by name; each
#             top-level package or module is copied whole, with its
#             distribution's metadata (.dist-info, .egg-info)
#   --system-module NAME
#             copies the system's module NAME the same way, with what it
#             imports: for imports that modulefinder cannot see; may be
#             given more than once
#   --check ARGS
#             runs the finished directory once, as the launcher would, with
#             ARGS split into words as the shell splits them, and fails when
#             the application cannot import a module, or maps a shared
#             library or module from outside OUTDIR (the C library and the
#             program loader excepted)
#
#   OUTDIR/run                   the wrapper, the launcher's main
#   OUTDIR/bin/python3           /usr/bin/python3.X
#   OUTDIR/lib/python3.X/        its standard library, pruned, compiled
#   OUTDIR/lib/*.so*             the libraries that the interpreter and every
#                                extension module need beyond the C library
#   OUTDIR/app/                  a copy of APP without .git, compiled
#   OUTDIR/packages/             a copy of each DIR and the system's modules,
#                                compiled
#
# Every .pyc is made with --invalidation-mode unchecked-hash: a launcher does
# not carry modification times, so .pyc files that check them would all be
# stale after unpacking and the interpreter would compile every module again
# on each run.
#
# Exit status: 0 done, 1 an error (named), 2 a wrong command line, 4 --check
# found what the application misses (OUTDIR is left for a look).
set -eu

usage() {
  echo "usage: $0 [--packages DIR]... [--system-modules] [--system-module NAME]... [--check ARGS] OUTDIR [APP [MODULE]]"
}
# The directories of --packages, one a line (a name holding a line break is
# refused), and the names of --system-module, one a word.
packages=
system_modules=
system_names=
check=
check_args=
while [ "$#" -gt 0 ]; do
  case $1 in
    # The comment at the top of this file, which says it all.
    --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
    --packages | --system-module | --check)
      [ "$#" -ge 2 ] || { echo "make_app_dir.sh: $1 needs a value" >&2; usage >&2; exit 2; }
      case $1 in
        --packages)
          case $2 in *"
"*) echo "make_app_dir.sh: --packages: a directory name with a line break" >&2; exit 2 ;; esac
          packages="${packages:+$packages
}$2" ;;
        --system-module)
          case $2 in
            [!A-Za-z_]* | *[!A-Za-z0-9_.]* | *..* | *.)
              echo "make_app_dir.sh: --system-module: '$2' is not a module name" >&2; exit 2 ;;
          esac
          system_names="${system_names:+$system_names
}$2" ;;
        --check) check=1; check_args=$2 ;;
      esac
      shift 2 ;;
    --system-modules) system_modules=1; shift ;;
    --) shift; break ;;
    -*) echo "make_app_dir.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
done
case $# in
  1 | 2 | 3) ;;
  *) usage >&2; exit 2 ;;
esac
# From here on, the lists above are split at line breaks only.
IFS='
'
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
  for dir in "$app" $packages; do
    if [ -f "$dir/$path.py" ] || [ -f "$dir/$path/__main__.py" ]; then found=1; fi
  done
  [ -n "$found" ] ||
    { echo "make_app_dir.sh: $app: no $path.py or $path/__main__.py for MODULE $module" >&2; exit 1; }
  start="-m $module"
fi
# The directories of --packages are merged into packages/: a name that two
# of them hold would be one of them only.
seen=
for dir in $packages; do
  [ -d "$dir" ] || { echo "make_app_dir.sh: $dir: no such directory" >&2; exit 1; }
  for name in $(ls -A "$dir"); do
    # pip's scripts, and compiled files that are left behind anyway.
    case $name in bin | __pycache__) continue ;; esac
    for earlier in $seen; do
      [ "${earlier%%/*}" != "$name" ] ||
        { echo "make_app_dir.sh: --packages: $name is in both ${earlier#*/} and $dir" >&2; exit 1; }
    done
    seen="$seen
$name/$dir"
  done
done

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

# The application and the extra packages as they are, links kept as links;
# compiled files made elsewhere are left behind.
if [ -d "$app" ]; then
  tar -C "$app" --exclude=./.git --exclude='__pycache__' -cf - . | tar -C "$out/app" -xf -
else
  cp "$app" "$out/app/"
fi
for dir in $packages; do
  mkdir -p "$out/packages"
  tar -C "$dir" --exclude='__pycache__' -cf - . | tar -C "$out/packages" -xf -
done

# The system's modules that the application imports, each top-level package
# or module whole, found in the copies above first: a name that packages/
# holds already is the application's own choice and stays.
if [ -n "$system_modules$system_names" ]; then
  set --
  for name in $system_names; do set -- "$@" --system-module "$name"; done
  if [ -n "$system_modules" ]; then
    if [ -n "$module" ]; then
      set -- "$@" --module "$module"
    elif [ -d "$app" ]; then
      set -- "$@" --script "$out/app/__main__.py"
    else
      set -- "$@" --script "$out/app/$script"
    fi
  fi
  [ ! -d "$out/packages" ] || set -- "$@" --path "$out/packages"
  units=$("$python" -I "$recipe/find_system_modules.py" --path "$out/app" "$@")
  for unit in $units; do
    mkdir -p "$out/packages"
    [ -e "$out/packages/${unit##*/}" ] ||
      tar -C "${unit%/*}" --exclude='__pycache__' -cf - "${unit##*/}" | tar -C "$out/packages" -xf -
  done
fi

# The libraries of the interpreter, of the standard library's extension
# modules and of every extension module of the application and its
# packages: those go into lib/, which the wrapper puts on LD_LIBRARY_PATH.
sh "$recipe/../copy_libraries.sh" "$out/lib" "$out/bin/python3" \
    "$out/lib/$version"/lib-dynload/*.so
code="$out/app"
[ ! -d "$out/packages" ] || code="$code
$out/packages"
extensions=$(find $code -type f -name '*.so')
[ -z "$extensions" ] || sh "$recipe/../copy_libraries.sh" "$out/lib" $extensions

search=
# shellcheck disable=SC2016 # $here is the wrapper's, not expanded here.
[ -n "$module" ] && search='$here/app'
[ -d "$out/packages" ] && search="${search:+$search:}\$here/packages"

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
    "$out/lib/$version" $code >/dev/null

[ -n "$check" ] || exit 0

# The check: one run of the wrapper, with check_run.py as the standard
# library's sitecustomize.py for that run only, which reports at exit what
# the application took from outside OUTDIR or did not find.
report=$(mktemp "${TMPDIR:-/tmp}/make_app_dir-check-XXXXXX")
hook=$out/lib/$version/sitecustomize.py
trap 'rm -f "$report" "$hook"' EXIT
cp "$recipe/check_run.py" "$hook"
unset IFS
eval "set -- $check_args"
status=0
ONEFILE_CHECK_REPORT=$report "$out/run" "$@" </dev/null || status=$?
rm -f "$hook"
IFS='
'

problems=
problem() {
  echo "make_app_dir.sh: --check: $*" >&2
  problems=1
}
grep -qx ran "$report" ||
  problem "the application did not come to its end (status $status: killed, or left through os._exit or exec): nothing was checked"
# Imports that found nothing, caught by the application or not, are asked
# of the system's interpreter: what it finds, the copy misses. Those the
# system lacks too are optional imports the application tried (a module of
# another platform, say), or its own fault.
names=$(sed -n 's/^\(failed\|notfound\) \([^ ]*\).*/\2/p' "$report" | sort -u)
# shellcheck disable=SC2086 # one name a line, split at line breaks.
system_has=$("$python" -I -c '
import importlib.util, sys
for name in sys.argv[1:]:
    try:
        found = importlib.util.find_spec(name)
    except Exception:
        found = None
    if found is not None and found.origin:
        print(name, found.origin)
' $names)
# hint NAME: how to add NAME when the system has it, else nothing.
hint() {
  for found in $system_has; do
    [ "${found%% *}" != "$1" ] ||
      { echo "; the system has it (${found#* }): add it with --system-module $1 or --packages"; return; }
  done
}
failed=
for line in $(cat "$report"); do
  kind=${line%% *}
  rest=${line#* }
  case $kind in
    failed)
      failed="$failed ${rest%% *} "
      problem "the application could not import ${rest%% *}: ${rest#* }$(hint "${rest%% *}")" ;;
    module) problem "module ${rest%% *} was imported from ${rest#* }, outside $out" ;;
    library) problem "${rest##*/} was loaded from $rest, outside $out" ;;
  esac
done
for found in $system_has; do
  case $failed in *" ${found%% *} "*) continue ;; esac
  problem "an import of ${found%% *} found nothing$(hint "${found%% *}")"
done
if [ -n "$problems" ]; then
  echo "make_app_dir.sh: $out is left as it is; pack it once the check passes" >&2
  exit 4
fi
