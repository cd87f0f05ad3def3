#!/usr/bin/env bash
# recipe_test.sh ONEFILE RECIPES_DIR RECIPE
#
# Builds one recipe of examples/recipes into a fresh temporary directory,
# packs it with the real tool as docs/recipes.md does, runs the launcher with
# arguments that need quoting, and checks what the application printed, the
# exit status (each recipe's application exits with the number of its
# arguments), and where the application ran: an extraction directory that is
# gone afterwards, or for the recipes packed with --reuse (Python, Node.js)
# the version directory in the cache, kept and run again by a second start.
# RECIPE is a recipe's name, for its sample application, or python-module,
# python-system or node-project: that recipe on an application this test
# writes (a package run as a module with two directories of extra packages; a
# tool importing the system's yaml, whose C extension needs libyaml, run with
# the system's copies hidden; a project with node_modules, a package.json
# "bin" and a development dependency that is left out). Exits 77 with a
# reason when the recipe's interpreter, or what a case needs, is not on this
# machine.
set -euo pipefail

onefile=$1
recipes=$2
recipe=$3

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/onefile-recipe-XXXXXX")
trap 'rm -rf "$work"' EXIT
# Resolved, so that paths the application prints compare as text.
work=$(realpath "$work")
# The launchers' TMPDIR: their template puts the extraction directory here.
mkdir "$work/tmp"
# XDG_CACHE_HOME of the launchers packed with --reuse.
cache=$work/cache

# shellcheck disable=SC2016 # '$HOME' is meant literally: nothing expands it.
arguments=("two words" "" "*" "--flag" '$HOME')
template='{TEMP}/recipe_{RANDOM}'
main=run
# Where the launcher is started.
start_dir=/

requirePython() {
  python=$(readlink -f /usr/bin/python3 2>/dev/null) || true
  [[ ${python##*/} == python3.* && -x $python ]] ||
    skip "no python3.X in /usr/bin (/usr/bin/python3 is '${python:-missing}')"
  version=${python##*/}
  [[ -f /usr/lib/$version/os.py ]] || skip "no standard library in /usr/lib/$version"
}

app=$work/app

# makeNodeAppDir [OPTION...] [OUTDIR [APP [ENTRY]]]: the node recipe's
# application directory, by default the sample's in $app.
makeNodeAppDir() {
  command -v node >/dev/null || skip "no node on PATH"
  local made=0
  sh "$recipes/node/make_app_dir.sh" "${@:-$app}" >/dev/null || made=$?
  ((made != 3)) || skip "the node on PATH reads files of its own from fixed paths (see above)"
  ((made == 0)) || fail "make_app_dir.sh exited with $made"
}

# expectRefusal WHAT STATUS TEXT COMMAND...: COMMAND fails with STATUS and
# says TEXT on standard error.
expectRefusal() {
  local what=$1 expected=$2 text=$3 status=0
  shift 3
  "$@" >"$work/refusal.out" 2>"$work/refusal" || status=$?
  ((status == expected)) && grep -qF -- "$text" "$work/refusal" ||
    fail "$what: status $status, expected $expected with '$text'; stderr:"$'\n'"$(cat "$work/refusal")"
}

# put FILE TEXT: writes a file of the test's own application.
put() {
  mkdir -p "$(dirname "$1")"
  printf '%s' "$2" >"$1"
}
reuse=0
# A command that runs the launcher in a world of its own (python-system).
hide=()

case $recipe in
  shell)
    app=$recipes/shell/app
    greeting="Hello from the carried shell script"
    ;;
  python)
    requirePython
    app=$work/app
    sh "$recipes/python/make_app_dir.sh" "$app"
    greeting="Hello from the carried Python"
    reuse=1
    ;;
  python-module)
    requirePython
    # A package run as `-m tool.cli`, which imports a package from the
    # extra directory; and a decoy package of the same name where the
    # launcher is started, which must not be imported.
    src=$work/src
    put "$src/tool/__init__.py" ""
    put "$src/tool/cli.py" 'import os
import sys

import shout

here = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
print("location:", here)
print("greeting:", shout.shout("hello from a module"))
print("package:", shout.__file__)
print("prefix:", sys.prefix)
for argument in sys.argv[1:]:
    print("argument:", argument)
sys.exit(len(sys.argv) - 1)
'
    put "$src/.git/HEAD" "ref: refs/heads/main"
    put "$work/extra/shout/__init__.py" 'from punctuation import MARK


def shout(text):
    return text.upper() + MARK
'
    # --packages given twice: each directory is carried, and a name in both
    # is refused, naming both.
    put "$work/more/punctuation.py" 'MARK = "!"
'
    put "$work/clash/shout/__init__.py" ""
    expectRefusal "two --packages with one name" 1 "shout is in both $work/extra and $work/clash" \
      sh "$recipes/python/make_app_dir.sh" --packages "$work/extra" --packages "$work/clash" "$work/refused" "$src" tool.cli
    [[ ! -e $work/refused ]] || fail "the refused directory was made"
    put "$work/decoy/tool/__init__.py" 'raise SystemExit("the decoy package in the working directory was imported")'
    put "$work/decoy/shout.py" 'raise SystemExit("the decoy module in the working directory was imported")'
    start_dir=$work/decoy
    app=$work/app
    sh "$recipes/python/make_app_dir.sh" --packages "$work/extra" --packages "$work/more" "$app" "$src" tool.cli
    greeting="HELLO FROM A MODULE!"
    ;;
  python-system)
    requirePython
    "$python" -I -c 'import yaml._yaml' 2>/dev/null ||
      skip "the system's python3 has no yaml with its C extension (Debian's python3-yaml)"
    libyaml=$("$python" -I -c 'import yaml._yaml as m; print(m.__file__)' | xargs ldd |
              awk '$1 ~ /^libyaml/ { print $3 }')
    [[ -n $libyaml ]] || skip "yaml's C extension needs no libyaml here"
    libyaml=$(readlink -f "$libyaml")
    # The launcher runs where the system's Python packages are an empty
    # directory and its libyaml an empty file.
    unshare -U -r -m true 2>/dev/null || skip "unshare -U -r -m is refused here: the system's copies cannot be hidden"
    mkdir "$work/empty"
    hide=(unshare -U -r -m -- sh -c 'mount --bind "$1" /usr/lib/python3/dist-packages &&
                                     mount --bind /dev/null "$2" && shift 2 && exec "$@"' \
          sh "$work/empty" "$libyaml")
    if "${hide[@]}" "$python" -I -c 'import yaml' 2>/dev/null; then fail "the system's yaml is not hidden"; fi
    # A tool that imports yaml, parses with its C extension, imports the
    # compatibility package _yaml by a name made at run time, which
    # modulefinder cannot see, and loads a library by path when asked.
    src=$work/src
    put "$src/__main__.py" 'import importlib
import importlib.metadata
import os
import sys

import yaml

if sys.argv[1:2] == ["--dlopen"]:
    import ctypes
    ctypes.CDLL(sys.argv[2])
    sys.exit(0)
importlib.import_module("_ya" + "ml")
here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
print("location:", here)
print("greeting:", yaml.load("greeting: hello from yaml", Loader=yaml.CSafeLoader)["greeting"])
print("libyaml:", yaml.__with_libyaml__)
print("extension:", yaml._yaml.__file__)
print("distribution:", importlib.metadata.version("PyYAML"))
with open("/proc/self/maps") as maps:
    print("library:", next(line.split()[5] for line in maps if "/libyaml" in line))
for argument in sys.argv[1:]:
    print("argument:", argument)
sys.exit(len(sys.argv) - 1)
'
    app=$work/app
    # The check catches the import it cannot see and a library from
    # outside, naming each, before anything is packed.
    expectRefusal "--check" 4 "could not import _yaml" \
      sh "$recipes/python/make_app_dir.sh" --system-modules --check "" "$work/checked" "$src"
    grep -qF -- "--system-module _yaml" "$work/refusal" || fail "--check gave no hint; stderr:"$'\n'"$(cat "$work/refusal")"
    rm -rf "$work/checked"
    expectRefusal "--check" 4 "${libyaml##*/} was loaded from $libyaml, outside $work/checked" \
      sh "$recipes/python/make_app_dir.sh" --system-modules --system-module _yaml \
        --check "--dlopen $libyaml" "$work/checked" "$src"
    sh "$recipes/python/make_app_dir.sh" --system-modules --system-module _yaml --check "a 'b c'" "$app" "$src" \
      >/dev/null
    [[ -f $app/lib/${libyaml##*/} || -f $app/lib/libyaml-0.so.2 ]] || fail "libyaml was not copied into lib/"
    greeting="hello from yaml"
    ;;
  node)
    makeNodeAppDir
    greeting="Hello from the carried Node.js"
    reuse=1
    ;;
  node-project)
    # A project whose package.json names its program in "bin", a
    # dependency required by its bare name and a development dependency
    # that only --lint requires, both installed by npm from tarballs that
    # npm pack made here: nothing is fetched.
    command -v node >/dev/null || skip "no node on PATH"
    command -v npm >/dev/null || skip "no npm on PATH: the project's dependencies cannot be installed"
    export npm_config_cache=$work/npm-cache
    npmQuiet=(--offline --no-audit --no-fund --loglevel=error)
    src=$work/src
    put "$src/package.json" '{"name": "shouter", "version": "1.0.0",
 "bin": {"shouter": "bin/shouter.js"}, "dependencies": {"shout": "file:../shout-1.0.0.tgz"},
 "devDependencies": {"lint": "file:../lint-1.0.0.tgz"}}'
    put "$src/bin/shouter.js" "#!/usr/bin/env node
'use strict';
const path = require('path');
const shout = require('shout');
if (process.argv[2] === '--lint') require('lint');
console.log(\`location: \${path.resolve(__dirname, '../..')}\`);
console.log(\`greeting: \${shout('hello from a project')}\`);
console.log(\`module: \${require.resolve('shout')}\`);
console.log(\`executable: \${process.execPath}\`);
const args = process.argv.slice(2);
for (const argument of args) console.log(\`argument: \${argument}\`);
process.exitCode = args.length;
"
    put "$work/shout/package.json" '{"name": "shout", "version": "1.0.0", "main": "lib/shout.js"}'
    put "$work/shout/lib/shout.js" "module.exports = (text) => text.toUpperCase() + '!';
"
    put "$work/lint/package.json" '{"name": "lint", "version": "1.0.0"}'
    put "$work/lint/index.js" "module.exports = 'lint';
"
    for package in shout lint; do
      (cd "$work/$package" && npm pack --pack-destination "$work" "${npmQuiet[@]}" >/dev/null)
    done
    put "$src/.git/HEAD" "ref: refs/heads/main"
    # Without node_modules the recipe refuses, naming what is missing.
    expectRefusal "a project without node_modules" 1 \
      "package.json names dependencies (shout) but there is no node_modules" \
      sh "$recipes/node/make_app_dir.sh" "$work/refused" "$src"
    [[ ! -e $work/refused ]] || fail "the refused directory was made"
    (cd "$src" && npm install "${npmQuiet[@]}" >/dev/null)
    [[ -f $src/node_modules/lint/index.js ]] || fail "npm did not install the development dependency"
    # --keep-dev keeps it; by default it is left out, and a run that needs
    # it is caught by --check, naming it.
    makeNodeAppDir --keep-dev "$work/kept" "$src"
    [[ -f $work/kept/app/node_modules/lint/index.js ]] || fail "--keep-dev left the development dependency out"
    expectRefusal "--check of a run that needs a development dependency" 4 \
      "the application found no module lint, which $src has ($src/node_modules/lint/index.js)" \
      sh "$recipes/node/make_app_dir.sh" --check "--lint" "$work/checked" "$src"
    makeNodeAppDir --check "a 'b c'" "$app" "$src"
    [[ ! -e $app/app/node_modules/lint ]] || fail "the development dependency was carried"
    greeting="HELLO FROM A PROJECT!"
    ;;
  private-libraries)
    app=$work/app
    sh "$recipes/private-libraries/make_app_dir.sh" "$app"
    main=bin/prog
    greeting="Hello from the private libgreet"
    ;;
  *)
    fail "unknown recipe '$recipe'"
    ;;
esac

if ((reuse)); then
  "$onefile" pack "$app" --main "$main" --reuse -o "$work/launcher"
else
  "$onefile" pack "$app" --main "$main" -o "$work/launcher" --template "$template"
fi

# run [VAR=VALUE...]: runs the launcher from $start_dir with the arguments and the
# given variables, without LD_LIBRARY_PATH; sets status, out and err.
run() {
  status=0
  (cd "$start_dir" && "${hide[@]}" env -u LD_LIBRARY_PATH TMPDIR="$work/tmp" XDG_CACHE_HOME="$cache" "$@" \
      "$work/launcher" "${arguments[@]}") >"$work/out" 2>"$work/err" || status=$?
  out=$(<"$work/out")
  err=$(<"$work/err")
}

# field NAME: the value of the line 'NAME: value' the application printed.
field() {
  local line
  line=$(grep -m1 -- "^$1: " "$work/out") || fail "no '$1:' line in the output:"$'\n'"$out"
  printf '%s' "${line#"$1: "}"
}

expect() {  # expect WHAT ACTUAL EXPECTED
  [[ $2 == "$3" ]] || fail "$1: got '$2', expected '$3'"$'\n'"stdout:"$'\n'"$out"$'\n'"stderr:"$'\n'"$err"
}

# What the interpreter or the dynamic loader tells of its work goes to
# standard error.
start() {
  case $recipe in
    python | python-module) run PYTHONVERBOSE=1 ;;
    private-libraries) run LD_DEBUG=libs ;;
    *) run ;;
  esac
  expect "exit status" "$status" "${#arguments[@]}"
  dir=$(field location)
}

start
if ((reuse)); then
  # The application ran in the version directory below the cache, which
  # stays, the only tree in its holding directory (beside the mark of a
  # holding directory the launcher made); the second start runs it again.
  holding=$cache/onefile/launcher
  [[ $dir =~ ^$holding/[0-9a-f]{16}$ ]] ||
    fail "the application ran from '$dir', not from a version directory below $holding"
  first=$dir
  start
  expect "directory of the second start" "$dir" "$first"
  expect "holding directory" "$(ls -A "$holding" | grep -vxF .onefile-holding)" "${dir##*/}"
else
  # The application ran in an extraction directory of the launcher (below
  # its TMPDIR, named by the template), and nothing of it is left.
  [[ $dir =~ ^$work/tmp/recipe_[A-Za-z0-9_-]{11}$ ]] ||
    fail "the application ran from '$dir', not from an extraction directory below $work/tmp"
  [[ ! -e $dir ]] || fail "the extraction directory $dir is left after the run"
fi
left=$(ls -A "$work/tmp")
[[ -z $left ]] || fail "the launcher left in its TMPDIR: $left"

expect "greeting" "$(field greeting)" "$greeting"
printed=$(grep '^argument: ' "$work/out" | sed 's/^argument: //')
expect "arguments" "$printed" "$(printf '%s\n' "${arguments[@]}")"

case $recipe in
  shell)
    # $0 of the script was its unpacked path; the launcher is found through
    # its process id, and TAVMIR_ONEFILE_DIRECTORY is where it lies.
    expect "launcher" "$(field launcher)" "$work/launcher"
    expect "launcher directory" "$(field "launcher directory")" "$work"
    ;;
  python)
    # The carried interpreter and standard library, not the system's.
    expect "prefix" "$(field prefix)" "$dir"
    expect "stdlib" "$(field stdlib)" "$dir/lib/$version/json/__init__.py"
    # Every module imported from a file came from its carried .pyc: no
    # module was compiled from source (as it would be for a .pyc that
    # checks a modification time) and no .pyc was written.
    tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag)')
    for module in "lib/$version/json/__pycache__/__init__" \
                  "lib/$version/__pycache__/pathlib" "app/__pycache__/greeting"; do
      grep -qxF "# code object from '$dir/$module.$tag.pyc'" <<<"$err" ||
        fail "$module was not loaded from its carried .pyc; stderr:"$'\n'"$err"
    done
    if grep -E "^# bytecode is stale|^# code object from [^']|^# created " <<<"$err"; then
      fail "the run compiled or wrote bytecode (lines above)"
    fi
    ;;
  python-module)
    # The extra package came from packages/, every module from its carried
    # .pyc, and the copy of the application left .git out.
    expect "prefix" "$(field prefix)" "$dir"
    expect "package" "$(field package)" "$dir/packages/shout/__init__.py"
    tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag)')
    for module in app/tool/__pycache__/cli packages/shout/__pycache__/__init__; do
      grep -qxF "# code object from '$dir/$module.$tag.pyc'" <<<"$err" ||
        fail "$module was not loaded from its carried .pyc; stderr:"$'\n'"$err"
    done
    if "$onefile" list "$work/launcher" | grep -F '.git/'; then fail "the launcher carries .git"; fi
    ;;
  python-system)
    # The system's yaml, carried with its C extension and libyaml, the
    # system's copies hidden.
    expect "libyaml" "$(field libyaml)" "True"
    expect "extension" "$(field extension)" "$(cd "$app" && ls "$PWD"/packages/yaml/_yaml.*.so | sed "s|^$app|$dir|")"
    expect "library" "$(field library)" "$dir/lib/libyaml-0.so.2"
    # Its distribution's metadata came along.
    expect "distribution" "$(field distribution)" "$("$python" -I -c 'import importlib.metadata as m; print(m.version("PyYAML"))')"
    ;;
  node)
    expect "node" "$(field node)" "$(node --version)"
    expect "executable" "$(field executable)" "$dir/bin/node"
    ;;
  node-project)
    expect "module" "$(field module)" "$dir/app/node_modules/shout/lib/shout.js"
    expect "executable" "$(field executable)" "$dir/bin/node"
    if "$onefile" list "$work/launcher" | grep -F '.git/'; then fail "the launcher carries .git"; fi
    ;;
  private-libraries)
    expect "library" "$(field library)" "$dir/lib/libgreet.so"
    # The dynamic loader's own account: it searched the run path
    # $ORIGIN/../lib, expanded to the unpacked bin/, and initialised the
    # carried file.
    grep -qF "$dir/bin/../lib"$'\t\t'"(RUNPATH from file" <<<"$err" ||
      fail "the loader did not search \$ORIGIN/../lib below $dir; stderr:"$'\n'"$err"
    grep -qxE "[[:space:]]*[0-9]+:[[:space:]]*calling init: $dir/bin/\.\./lib/libgreet\.so" <<<"$err" ||
      fail "the loader did not load $dir/bin/../lib/libgreet.so; stderr:"$'\n'"$err"
    ;;
esac

echo "PASS: recipe $recipe"
