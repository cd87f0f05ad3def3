#!/usr/bin/env python3
"""Make the benchmark's third workload: this machine's own binaries.

usage: make_binary_mix.py OUTDIR [--scale S] [--main NAME] [--executable FILE]
       make_binary_mix.py --fingerprint [--scale S]

OUTDIR must not exist yet. It receives copies of the regular files of
/usr/lib/x86_64-linux-gnu, then of /usr/bin, up to a budget of 100,000,000
bytes at scale 1.0: real libraries, programs, object files and data, which
compress as an application's files do (unlike the other two workloads,
which are incompressible).
  lib/...              the files below /usr/lib/x86_64-linux-gnu, their
                       relative paths kept
  bin/...              the files of /usr/bin, once lib/ is used up
  NAME (default app)   at the top, the main executable: a copy of FILE
                       (default /bin/true), which exits 0 at once; it is
                       not counted in the budget

The choice is the same on every run of one machine:
  - each source is walked without following symbolic links, and its files
    are taken in the byte order of their paths (the order a launcher holds
    them in), the first source before the second;
  - symbolic links are skipped, and so is whatever is not a regular file,
    a file larger than 30,000,000 bytes, and a file that cannot be read;
  - the copying stops before the first file that would take the total past
    the budget, so the total never exceeds it (and no later, smaller file
    is taken instead).
A copy is executable (0755) when its source has any execute bit, else 0644.
--scale S multiplies the budget (0.05: 5,000,000 bytes).

The last line printed gives the totals: files, bytes and a digest of the
names and contents, which two runs (or two machines) compare. With
--fingerprint nothing is copied: it prints a digest of the names, sizes,
modification times and execute bits of the files that would be, which
changes whenever the workload would.
"""
import argparse
import hashlib
import os
import shutil
import stat
import sys

SOURCES = (("/usr/lib/x86_64-linux-gnu", "lib"), ("/usr/bin", "bin"))
BUDGET_BYTES = 100_000_000
LARGEST_FILE_BYTES = 30_000_000
DEFAULT_EXECUTABLE = "/bin/true"
CHUNK = 1 << 20


class Plan:
    def __init__(self):
        self.files = []  # (source path, relative path, lstat result)
        self.total = 0
        self.links = 0
        self.too_large = 0
        self.unreadable = 0
        self.other = 0
        self.stopped_at = None  # (relative path, size) of the file that did not fit


def readable(path):
    try:
        os.close(os.open(path, os.O_RDONLY | os.O_NOFOLLOW))
        return True
    except OSError:
        return False


def candidates(source, prefix):
    """(source path, relative path) of every entry below source that is not
    a directory, sorted by relative path in byte order."""
    entries = []
    for root, dirs, files in os.walk(source, onerror=lambda error: None):
        # Links to directories appear among dirs; os.walk does not enter them.
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            path = os.path.join(root, name)
            entries.append((path, prefix + "/" + os.path.relpath(path, source)))
    entries.sort(key=lambda entry: os.fsencode(entry[1]))
    return entries


def make_plan(budget):
    plan = Plan()
    for source, prefix in SOURCES:
        for path, relative in candidates(source, prefix):
            try:
                info = os.lstat(path)
            except OSError:
                plan.unreadable += 1
                continue
            if stat.S_ISLNK(info.st_mode):
                plan.links += 1
                continue
            if not stat.S_ISREG(info.st_mode):
                plan.other += 1
                continue
            if info.st_size > LARGEST_FILE_BYTES:
                plan.too_large += 1
                continue
            if not readable(path):
                plan.unreadable += 1
                continue
            if plan.total + info.st_size > budget:
                plan.stopped_at = (relative, info.st_size)
                return plan
            plan.files.append((path, relative, info))
            plan.total += info.st_size
    return plan


def fingerprint(plan, budget):
    digest = hashlib.sha256(f"{budget}\n".encode())
    for _, relative, info in plan.files:
        executable = 1 if info.st_mode & 0o111 else 0
        digest.update(os.fsencode(relative) + f"\0{info.st_size} {info.st_mtime_ns} {executable}\n".encode())
    return digest.hexdigest()[:16]


def copy_file(source, destination, digest):
    """Copies one file and feeds its content to the digest; returns its size."""
    size = 0
    with open(source, "rb") as reader, open(destination, "wb") as writer:
        while True:
            chunk = reader.read(CHUNK)
            if not chunk:
                break
            writer.write(chunk)
            digest.update(chunk)
            size += len(chunk)
    return size


def parse_arguments():
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="At scale 1.0: this machine's files up to 100,000,000 bytes, and the main executable.")
    parser.add_argument("outdir", nargs="?", help="directory to create (must not exist)")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the byte budget by S (default 1.0)")
    parser.add_argument("--main", default="app", help="file name of the main executable (default app)")
    parser.add_argument("--executable", default=DEFAULT_EXECUTABLE,
                        help=f"program to copy as the main executable (default {DEFAULT_EXECUTABLE})")
    parser.add_argument("--fingerprint", action="store_true",
                        help="copy nothing; print a digest of what would be copied")
    args = parser.parse_args()
    if not args.scale > 0:
        parser.error(f"--scale must be more than 0, not {args.scale}")
    if args.fingerprint:
        return args
    if args.outdir is None:
        parser.error("name the directory to create (or give --fingerprint)")
    roots = {prefix for _, prefix in SOURCES}
    if args.main in ("", ".", "..") or "/" in args.main or args.main in roots:
        parser.error(f"--main {args.main!r}: give a plain file name other than {', '.join(sorted(roots))}")
    if not os.path.isfile(args.executable):
        parser.error(f"--executable {args.executable}: no such file")
    return args


def main():
    args = parse_arguments()
    budget = round(BUDGET_BYTES * args.scale)
    plan = make_plan(budget)
    if args.fingerprint:
        print(f"{len(plan.files)} files, {plan.total} bytes, {fingerprint(plan, budget)}")
        return
    if not plan.files:
        sys.exit(f"make_binary_mix.py: no file of {', '.join(s for s, _ in SOURCES)} fits "
                 f"a budget of {budget} bytes")
    try:
        os.makedirs(args.outdir)
    except FileExistsError:
        sys.exit(f"make_binary_mix.py: {args.outdir} already exists; name a directory that does not")

    digest = hashlib.sha256()
    total = 0
    per_source = {prefix: 0 for _, prefix in SOURCES}
    for source, relative, info in plan.files:
        destination = os.path.join(args.outdir, relative)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        digest.update(os.fsencode(relative) + b"\0")
        size = copy_file(source, destination, digest)
        if size != info.st_size:
            sys.exit(f"make_binary_mix.py: {source} changed while it was copied")
        os.chmod(destination, 0o755 if info.st_mode & 0o111 else 0o644)
        total += size
        per_source[relative.split("/", 1)[0]] += 1

    main_path = os.path.join(args.outdir, args.main)
    shutil.copyfile(args.executable, main_path)
    os.chmod(main_path, 0o755)

    skipped = (f"skipped {plan.links} symbolic links, {plan.too_large} files over {LARGEST_FILE_BYTES} bytes, "
               f"{plan.unreadable} unreadable, {plan.other} not regular files")
    if plan.stopped_at:
        relative, size = plan.stopped_at
        print(f"stopped before {relative} ({size} bytes), which would pass the budget of {budget} bytes; "
              f"{skipped}")
    else:
        print(f"all files fit the budget of {budget} bytes; {skipped}")
    sources = ", ".join(f"{prefix}/ {count}" for prefix, count in per_source.items())
    print(f"{args.outdir}: {len(plan.files)} files ({sources}), {total} bytes, digest {digest.hexdigest()[:16]}; "
          f"and {args.main}, {os.path.getsize(main_path)} bytes")


if __name__ == "__main__":
    main()
