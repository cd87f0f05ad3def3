#!/bin/sh
# make_app_dir.sh OUTDIR
#
# Assembles the Python recipe's application directory in OUTDIR (which must
# not exist yet) from this machine's interpreter:
#
#   OUTDIR/run                   the wrapper, the launcher's main
#   OUTDIR/bin/python3           /usr/bin/python3.X
#   OUTDIR/lib/python3.X/        its standard library, pruned, compiled
#   OUTDIR/lib/*.so*             the libraries that the interpreter and its
#                                extension modules need beyond the C library
#   OUTDIR/app/                  the application, compiled
#
# Every .pyc is made with --invalidation-mode unchecked-hash: a launcher does
# not carry modification times, so .pyc files that check them would all be
# stale after unpacking and the interpreter would compile every module again
# on each run.
set -eu

[ "$#" -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
recipe=$(cd "$(dirname "$0")" && pwd)

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

mkdir "$out"
mkdir "$out/bin" "$out/lib"
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

cp "$recipe/run" "$out/run"
cp -R "$recipe/app" "$out/app"
rm -rf "$out/app/__pycache__"

# Compiled by the interpreter that will run them: a .pyc holds the
# interpreter's magic number.
"$python" -m compileall -q -j 0 --invalidation-mode unchecked-hash \
    "$out/lib/$version" "$out/app" >/dev/null
