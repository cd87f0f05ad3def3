#!/usr/bin/env python3
"""Make the benchmark's second workload: a tree of many small files.

usage: make_package_tree.py OUTDIR [--scale S] [--main NAME] [--executable FILE]

OUTDIR must not exist yet. At scale 1.0 it receives 20,000 files in 1,000
directories, about 140,000,000 bytes in all, shaped like the dependencies of
a Python or Node application:
  site-packages/, node_modules/
                       two top levels with 200 packages below them; the
                       packages hold 798 more directories, so files lie 2 to
                       6 directory levels deep
  the files            sizes spread like such a tree: 2% empty, half below
                       1.3 KB, nine in ten below 11 KB, a tail of larger
                       modules up to about 1 MB, and 16 native libraries of
                       1 to 5 MB; libraries and a few scripts executable
  NAME (default app)   at the top, the main executable: a copy of FILE
                       (default /bin/true), which exits 0 at once
--scale S multiplies the number of files and of directories (the native
libraries are round(16 * S)); the spread of the other sizes stays the same.
The content is incompressible and comes from a fixed seed, so every run on
one machine writes byte-identical files.
"""
import argparse
import math
import os
import random
import shutil
import sys
from statistics import NormalDist

SEED = 0x7061636B
FILES = 20_000
DIRECTORIES = 1_000
# One directory in five is a package (depth 2); the rest lie below them.
PACKAGE_SHARE = 0.2
MAX_DEPTH = 6
ROOTS = ("site-packages", "node_modules")

# The sizes of the ordinary files: the quantiles of a log-normal spread
# (median MEDIAN_BYTES, sigma SIGMA), so every scale gets the same shape; the
# smallest EMPTY_SHARE of them are empty, like a package's __init__.py.
MEDIAN_BYTES = 1300
SIGMA = 1.65
EMPTY_SHARE = 0.02
# The native libraries: one per LIBRARY_EVERY files, sizes spread evenly on
# a log scale between the two bounds.
LIBRARY_EVERY = 1250
LIBRARY_BYTES = (1_000_000, 5_000_000)
# One ordinary file in this many is an executable script.
SCRIPT_EVERY = 97

DIRECTORY_WORDS = ("core", "utils", "lib", "src", "dist", "tests", "internal", "vendor", "data",
                   "locale", "plugins", "types", "esm", "cjs", "compat", "helpers", "io", "api",
                   "models", "config", "backends", "fixtures", "templates", "static")
FILE_WORDS = ("index", "base", "util", "types", "errors", "parser", "client", "common", "schema",
              "format", "version", "cache", "loader", "tokens", "stream", "encode", "decode",
              "shared", "hooks", "context")
EXTENSIONS = {"site-packages": (".py", ".py", ".py", ".pyi", ".txt", ".json", ".cfg"),
              "node_modules": (".js", ".js", ".js", ".d.ts", ".json", ".map", ".md", ".mjs")}
LIBRARY_EXTENSIONS = {"site-packages": ".cpython-311-x86_64-linux-gnu.so", "node_modules": ".node"}
DEFAULT_EXECUTABLE = "/bin/true"


def make_layout(directories, rng):
    """(path, root, depth) of every directory: the roots, the packages, and
    subdirectories below random packages or subdirectories."""
    layout = [(root, root, 1) for root in ROOTS][:max(1, min(len(ROOTS), directories - 1))]
    packages = min(max(1, round(directories * PACKAGE_SHARE)), directories - len(layout))
    for i in range(packages):
        root = layout[i % len(layout)][1]
        prefix = "pkg" if root == "site-packages" else "mod"
        layout.append((f"{root}/{prefix}{i:03d}", root, 2))
    taken = {path for path, _, _ in layout}
    while len(layout) < directories:
        parents = [entry for entry in layout if 2 <= entry[2] < MAX_DEPTH]
        parent, root, depth = rng.choice(parents)
        word = rng.choice(DIRECTORY_WORDS)
        path, n = f"{parent}/{word}", 1
        while path in taken:
            n += 1
            path = f"{parent}/{word}{n}"
        taken.add(path)
        layout.append((path, root, depth + 1))
    return layout


def ordinary_sizes(count):
    """The quantiles of the log-normal spread, smallest first."""
    spread = NormalDist(math.log(MEDIAN_BYTES), SIGMA)
    sizes = []
    for i in range(count):
        q = (i + 0.5) / count
        sizes.append(0 if q < EMPTY_SHARE else int(math.exp(spread.inv_cdf(q))))
    return sizes


def library_sizes(count):
    low, high = LIBRARY_BYTES
    return [int(low * (high / low) ** ((i + 0.5) / count)) for i in range(count)]


def plan_files(files, layout, scale, rng):
    """(path, size, executable) of every file below the roots."""
    libraries = min(round(FILES / LIBRARY_EVERY * scale), files)
    holders = [(path, root) for path, root, depth in layout if depth >= 2]
    # Every directory holds a file, so none is empty; the others go to
    # directories of uneven popularity.
    weights = [rng.lognormvariate(0, 1) for _ in holders]
    places = holders[:files] + rng.choices(holders, weights, k=max(0, files - len(holders)))
    kinds = [True] * libraries + [False] * (files - libraries)
    rng.shuffle(kinds)
    ordinary = ordinary_sizes(files - libraries)
    rng.shuffle(ordinary)
    large = library_sizes(libraries)
    rng.shuffle(large)
    plan = []
    for k, ((directory, root), is_library) in enumerate(zip(places, kinds)):
        word = rng.choice(FILE_WORDS)
        if is_library:
            plan.append((f"{directory}/_{word}{k}{LIBRARY_EXTENSIONS[root]}", large.pop(), True))
        else:
            script = k % SCRIPT_EVERY == SCRIPT_EVERY - 1
            extension = ".sh" if script else rng.choice(EXTENSIONS[root])
            plan.append((f"{directory}/{word}{k}{extension}", ordinary.pop(), script))
    return plan


def parse_arguments():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="At scale 1.0: 20,000 files in 1,000 directories and the main executable.")
    parser.add_argument("outdir", help="directory to create (must not exist)")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply the number of files and directories by S (default 1.0)")
    parser.add_argument("--main", default="app", help="file name of the main executable (default app)")
    parser.add_argument("--executable", default=DEFAULT_EXECUTABLE,
                        help=f"program to copy as the main executable (default {DEFAULT_EXECUTABLE})")
    args = parser.parse_args()
    if not args.scale > 0:
        parser.error(f"--scale must be more than 0, not {args.scale}")
    if args.main in ("", ".", "..") or "/" in args.main or args.main in ROOTS:
        parser.error(f"--main {args.main!r}: give a plain file name other than {', '.join(ROOTS)}")
    if not os.path.isfile(args.executable):
        parser.error(f"--executable {args.executable}: no such file")
    return args


def main():
    args = parse_arguments()
    try:
        os.makedirs(args.outdir)
    except FileExistsError:
        sys.exit(f"make_package_tree.py: {args.outdir} already exists; name a directory that does not")
    rng = random.Random(SEED)
    directories = max(3, round(DIRECTORIES * args.scale))
    files = max(directories, round(FILES * args.scale))
    layout = make_layout(directories, rng)
    plan = plan_files(files, layout, args.scale, rng)

    for path, _, _ in layout:
        os.makedirs(os.path.join(args.outdir, path), exist_ok=True)
    total = 0
    for relative, size, executable in plan:
        path = os.path.join(args.outdir, relative)
        with open(path, "wb") as target:
            target.write(rng.randbytes(size))
        os.chmod(path, 0o755 if executable else 0o644)
        total += size

    main_path = os.path.join(args.outdir, args.main)
    shutil.copyfile(args.executable, main_path)
    os.chmod(main_path, 0o755)
    main_bytes = os.path.getsize(main_path)

    depths = sorted({depth for _, _, depth in layout if depth >= 2})
    print(f"{args.outdir}: {len(plan)} files in {len(layout)} directories (files {depths[0]} to "
          f"{depths[-1]} levels deep), {total} bytes; and {args.main}, {main_bytes} bytes")


if __name__ == "__main__":
    main()
