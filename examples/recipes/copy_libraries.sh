#!/bin/sh
# copy_libraries.sh LIBDIR ELF...
#
# Copies into LIBDIR every shared library that the dynamic loader resolves
# for the given programs and modules, as `ldd` lists them (the whole tree of
# dependencies), except the C library's own parts: those must stay the
# target system's, since they are made for its dynamic loader and kernel.
# Each library is copied under the name it is asked for (its soname), with
# any symbolic link on the way resolved.
set -eu

[ "$#" -ge 2 ] || { echo "usage: $0 LIBDIR ELF..." >&2; exit 2; }
libdir=$1
shift
mkdir -p "$libdir"

for elf do
  ldd "$elf"
done | while read -r name arrow path rest; do
  case $name in
    # The C library: loader, libc and the libraries split off from it.
    linux-vdso.so.* | linux-gate.so.* | ld-linux*.so.* | */ld-linux*.so.* | \
    libc.so.* | libm.so.* | libdl.so.* | libpthread.so.* | librt.so.* | \
    libresolv.so.* | libutil.so.* | libanl.so.* | libmvec.so.* | \
    libBrokenLocale.so.* | libnss_*.so.* | libthread_db.so.* | \
    libc_malloc_debug.so.*)
      continue ;;
    statically | not)
      continue ;;
  esac
  [ "$arrow" = "=>" ] || continue
  if [ "$path" = "not" ]; then
    echo "copy_libraries.sh: $name: not found" >&2
    exit 1
  fi
  [ -e "$libdir/$name" ] || cp -L "$path" "$libdir/$name"
done
