#!/bin/sh
# make_app_dir.sh OUTDIR
#
# Builds the private-library recipe's application directory in OUTDIR
# (which must not exist yet) with the C compiler $CC (default cc):
#
#   OUTDIR/bin/prog          the main, run path $ORIGIN/../lib
#   OUTDIR/lib/libgreet.so   its own shared library
set -eu

[ "$#" -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
recipe=$(cd "$(dirname "$0")" && pwd)
cc=${CC:-cc}
warnings="-Wall -Wextra -Werror"

mkdir "$out"
mkdir "$out/bin" "$out/lib"
# shellcheck disable=SC2086
"$cc" $warnings -O2 -fPIC -shared -Wl,-soname,libgreet.so \
    -o "$out/lib/libgreet.so" "$recipe/greet.c"
# The single quotes keep $ORIGIN for the dynamic loader to expand at run time.
# shellcheck disable=SC2086,SC2016
"$cc" $warnings -O2 -I"$recipe" -o "$out/bin/prog" "$recipe/prog.c" \
    -L"$out/lib" -lgreet -Wl,-rpath,'$ORIGIN/../lib'
