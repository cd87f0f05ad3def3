#!/usr/bin/env python3
"""Make the benchmark's workload: a synthetic application directory.

usage: make_app_dir.py OUTDIR [--scale S] [--main NAME]

OUTDIR must not exist yet. At scale 1.0 it receives 93 entries, about
300,000,000 bytes in all:
  NAME (default app)   the main executable, about 210 MB: a copy of
                       /bin/true followed by pseudo-random bytes, so it
                       still runs and exits 0 at once
  lib/, lib/python3/.../, share/data/
                       90 more files of uneven sizes (a few large, many
                       small), libraries executable, the rest not
  two relative symbolic links to two of those files
--scale S multiplies every size (the main executable never gets shorter
than /bin/true). The content is incompressible and comes from a fixed seed,
so every run on one machine writes byte-identical files.
"""
import argparse
import os
import random
import shutil
import sys

SEED = 0x6F6E6566
LAYOUT_SEED = 93
TOTAL_BYTES = 300_000_000
MAIN_BYTES = 210_000_000
CHUNK = 1 << 20
BASE_EXECUTABLE = "/bin/true"

# Rank k of the other files (in a shuffled order) gets a share of their
# bytes proportional to 1 / k**SIZE_EXPONENT: at scale 1.0 the largest is
# about 40 MB, the smallest under 100 KB.
SIZE_EXPONENT = 1.4

PYTHON_PACKAGES = ("lib/python3/encodings", "lib/python3/json",
                   "lib/python3/site-packages/numeric",
                   "lib/python3/site-packages/numeric/linalg")

# (link, target relative to the link's directory); both targets are files of
# other_files() below.
LINKS = (("lib/libpart00.so", "libpart00.so.1"),
         ("lib/python3/site-packages/numeric/_core.so", "../../../libpart01.so.2"))


def other_files():
    """(path, executable) of the 90 files beside the main executable."""
    files = [(f"lib/libpart{i:02d}.so.{1 + i % 3}", True) for i in range(30)]
    for i in range(40):
        package = PYTHON_PACKAGES[i % len(PYTHON_PACKAGES)]
        if i % 5 == 4:
            files.append((f"{package}/_ext{i:02d}.cpython-311-x86_64-linux-gnu.so", True))
        else:
            files.append((f"{package}/module{i:02d}.pyc", False))
    files += [(f"share/data/table{i:02d}.bin", False) for i in range(20)]
    return files


def other_sizes(count, total):
    """Uneven sizes that add up to total exactly; the same on every run."""
    ranks = list(range(1, count + 1))
    random.Random(LAYOUT_SEED).shuffle(ranks)
    weights = [rank ** -SIZE_EXPONENT for rank in ranks]
    scale = total / sum(weights)
    sizes = [int(weight * scale) for weight in weights]
    sizes[ranks.index(1)] += total - sum(sizes)
    return sizes


def write_random(stream, size, rng):
    """Appends size fresh pseudo-random bytes: no chunk repeats another, so
    no compressor finds anything to gain, not even across files."""
    while size > 0:
        count = min(CHUNK, size)
        stream.write(rng.randbytes(count))
        size -= count


def parse_arguments():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="The directory holds 91 files and 2 symbolic links.")
    parser.add_argument("outdir", help="directory to create (must not exist)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every size by S (default 1.0: about 300 MB)")
    parser.add_argument("--main", default="app",
                        help="file name of the main executable (default app)")
    args = parser.parse_args()
    if not args.scale >= 0:
        parser.error(f"--scale must be 0 or more, not {args.scale}")
    taken = {path.split("/")[0] for path, _ in other_files()}
    if args.main in ("", ".", "..") or "/" in args.main or args.main in taken:
        parser.error(f"--main {args.main!r}: give a plain file name other than {', '.join(sorted(taken))}")
    return args


def main():
    args = parse_arguments()
    try:
        os.makedirs(args.outdir)
    except FileExistsError:
        sys.exit(f"make_app_dir.py: {args.outdir} already exists; name a directory that does not")
    rng = random.Random(SEED)

    main_path = os.path.join(args.outdir, args.main)
    base_bytes = os.path.getsize(BASE_EXECUTABLE)
    main_bytes = max(round(MAIN_BYTES * args.scale), base_bytes)
    with open(BASE_EXECUTABLE, "rb") as source, open(main_path, "wb") as target:
        shutil.copyfileobj(source, target)
        write_random(target, main_bytes - base_bytes, rng)
    os.chmod(main_path, 0o755)

    files = other_files()
    sizes = other_sizes(len(files), round((TOTAL_BYTES - MAIN_BYTES) * args.scale))
    for (relative, executable), size in zip(files, sizes):
        path = os.path.join(args.outdir, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as target:
            write_random(target, size, rng)
        os.chmod(path, 0o755 if executable else 0o644)

    for link, target in LINKS:
        os.symlink(target, os.path.join(args.outdir, link))

    print(f"{args.outdir}: {len(files) + 1} files and {len(LINKS)} symbolic links, "
          f"{main_bytes + sum(sizes)} bytes; {args.main} is {main_bytes} bytes")


if __name__ == "__main__":
    main()
