#!/usr/bin/env python3
"""Make the benchmark's one-large-file workload: an application whose weight
is one library, as with libpython, a JVM's libjvm.so or an Electron binary.

usage: make_one_large_file.py OUTDIR [--scale S] [--main NAME] [--executable FILE]
       make_one_large_file.py --fingerprint [--scale S]

OUTDIR must not exist yet. It receives
  lib/liblarge.so      100,000,000 bytes at scale 1.0: the contents of the
                       files make_binary_mix.py chooses (this machine's
                       libraries, then its programs), one after the other in
                       the same order, up to that size, so that it compresses
                       like real code
  share/NAME           four small files: copies of the first four files of
                       that choice under 64 KiB
  NAME (default app)   at the top, the main executable: a copy of FILE
                       (default /bin/true), which exits 0 at once

The choice is the same on every run of one machine. --fingerprint prints a
digest of what would be read, which changes whenever the workload would.
"""
import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_binary_mix  # noqa: E402  (the same choice of this machine's files)

SMALL_FILES = 4
SMALL_FILE_BYTES = 64 << 10


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", help="directory to create (must not exist)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the large file's size by S (default 1.0)")
    parser.add_argument("--main", default="app", help="file name of the main executable (default app)")
    parser.add_argument("--executable", default=make_binary_mix.DEFAULT_EXECUTABLE,
                        help="program to copy as the main executable (default /bin/true)")
    parser.add_argument("--fingerprint", action="store_true",
                        help="copy nothing; print a digest of what would be read")
    args = parser.parse_args()
    if not args.scale > 0:
        parser.error(f"--scale must be more than 0, not {args.scale}")
    budget = round(make_binary_mix.BUDGET_BYTES * args.scale)
    # Read until the file has the budget's size: the choice for three times
    # the budget holds more than enough.
    plan = make_binary_mix.make_plan(3 * budget)
    if args.fingerprint:
        print(f"{len(plan.files)} files, {plan.total} bytes, {make_binary_mix.fingerprint(plan, budget)}")
        return
    if args.outdir is None:
        parser.error("name the directory to create (or give --fingerprint)")
    if not plan.files:
        sys.exit("make_one_large_file.py: no file of this machine fits the budget")
    try:
        os.makedirs(os.path.join(args.outdir, "lib"))
    except FileExistsError:
        sys.exit(f"make_one_large_file.py: {args.outdir} already exists; name a directory that does not")

    # The last file read fills the rest: the file has exactly the budget's
    # size.
    written = 0
    with open(os.path.join(args.outdir, "lib", "liblarge.so"), "wb") as large:
        for path, _, _ in plan.files:
            with open(path, "rb") as source:
                while written < budget:
                    chunk = source.read(min(make_binary_mix.CHUNK, budget - written))
                    if not chunk:
                        break
                    large.write(chunk)
                    written += len(chunk)
            if written == budget:
                break
    os.chmod(os.path.join(args.outdir, "lib", "liblarge.so"), 0o755)

    small = [(path, relative) for path, relative, info in plan.files if info.st_size <= SMALL_FILE_BYTES]
    os.makedirs(os.path.join(args.outdir, "share"))
    for path, relative in small[:SMALL_FILES]:
        destination = os.path.join(args.outdir, "share", os.path.basename(relative))
        shutil.copyfile(path, destination)
        os.chmod(destination, 0o644)
    main_path = os.path.join(args.outdir, args.main)
    shutil.copyfile(args.executable, main_path)
    os.chmod(main_path, 0o755)
    if written != budget:
        sys.exit(f"make_one_large_file.py: this machine's files give {written} bytes, not {budget}")
    print(f"lib/liblarge.so: {written} bytes; "
          f"{min(SMALL_FILES, len(small))} small files in share/")


if __name__ == "__main__":
    main()
