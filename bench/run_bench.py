#!/usr/bin/env python3
"""Measure onefile side by side with its floor and its peers; print one table.

Every row compares commands that run alternately in one session (the order
rotates from round to round), so slow phases of a noisy machine hit both
sides alike. A row reports the median time of each side and the median of
the per-round ratios, ours divided by the reference, against its goal.

Rows:
  launch    a launcher of the whole workload (extract, run `app`, remove)
            against the faster, round by round, of two floors on the same
            block: floor_launch, which writes each file from its mapping of
            the launcher, and floor_sendfile, which has the kernel copy it
            from the launcher file; each floor also on a row of its own;
            TMPDIR on tmpfs and on disk
  small files
            a launcher of the package tree (20,000 small files): pinned to
            one processor against floor_launch pinned alike, and on all
            processors against `tar -x` + run + `rm -rf`; TMPDIR on tmpfs
            and on disk
  peers     the same launcher against `makeself --nocomp` and against
            `tar -x` + run + `rm -rf`, on the same files and TMPDIR
  start-up  a launcher of one small program that exits at once, against the
            floor on that block and against running the program directly
  packing   `onefile pack` of the workload against `cat` of the same files
            into one file, and against the larger of that copy and
            `openssl dgst -sha256` of the launcher (pack records a SHA-256
            digest of what it writes: a copy and a digest is its floor);
            `onefile pack --compress=19` of the system files on every
            processor against the same pinned to one (`taskset -c`), whose
            launchers must be byte for byte the same (at most 5 rounds)
  reclaim   a launch of the whole workload that finds 10 abandoned trees of
            it beside its own (copies of the workload, marked as a fresh
            run's, named after a process that is gone) against one that finds
            none: the sweep runs while the application runs, and ends within
            its bound. Both launchers come from the tests' stub with hooks,
            whose real-time clock reads two minutes ahead so that the trees
            are old enough; TMPDIR on disk
  memory    the launcher's peak resident memory and its resident memory while
            its application runs
  reuse     launchers made with `pack --reuse`, their tree kept in
            XDG_CACHE_HOME: the second start of the large files against the
            start-up floor (TMPDIR and XDG_CACHE_HOME on tmpfs and on disk);
            the second start of the package tree against its own first start
            and against floor_reuse (the fstatat of every entry, then the run)
            on the same tree; the first start of the large files against a
            start without --reuse; twenty first starts at once of the package
            tree, which must all run and leave one version directory and no
            working directory
  compression
            on this machine's own libraries and programs: the sizes of the
            launchers made with `--compress` (level 3) and `--compress=19`
            against the stored launcher's, and the first against
            `makeself --zstd --complevel 3`; the launch of the level-3
            launcher against the stored one's, against `tar --zstd -x` +
            run + `rm -rf` and against `makeself --zstd`; TMPDIR on tmpfs
  frames    files over 8 MiB are packed as frames of 8 MiB that the launcher
            decodes on every processor at once: the compressed launch (level
            3) of the system files and of the one-large-file workload, each
            against floor_decode on the same launcher (floor_launch that
            decodes the frames on one thread per processor); the latter
            against its stored launch; with --one-frame-tool (a onefile that
            packed each file as one frame), the sizes at levels 3 and 19 of
            the system files against that tool's; TMPDIR on tmpfs

The workloads come from bench/make_app_dir.py (93 entries, 300 MB at scale
1.0), bench/make_package_tree.py (20,001 entries, 141 MB at scale 1.0) and
bench/make_binary_mix.py (the files of /usr/lib/x86_64-linux-gnu, then of
/usr/bin, up to 100,000,000 bytes at scale 1.0), bench/make_one_large_file.py
(one file of 100,000,000 bytes at scale 1.0 made of the same files, and four
small ones) and are kept in
OUT/bench/work for the next run at the same scale; everything else is made
in OUT/bench/run and removed at the end.

The compression rows need `onefile pack --compress[=LEVEL]`: a tool that
refuses the option stops the run before any measurement, unless
--skip-compressed is given, which marks those rows skipped.
"""
import argparse
import datetime
import filecmp
import hashlib
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_MAKE_APP_DIR = REPO / "bench" / "make_app_dir.py"
DEFAULT_MAKE_PACKAGE_TREE = REPO / "bench" / "make_package_tree.py"
DEFAULT_MAKE_BINARY_MIX = REPO / "bench" / "make_binary_mix.py"
DEFAULT_MAKE_ONE_LARGE_FILE = REPO / "bench" / "make_one_large_file.py"
# The page whose bench-results markers hold the latest figures.
DEFAULT_RESULTS_PAGE = REPO / "docs" / "performance.md"

LAUNCH_GOAL = 1.03
# The groups of rows --only names, in the table's order.
ROW_GROUPS = ("launch", "small-files", "compressed", "startup", "reuse", "packing", "memory", "reclaim", "frames")
STARTUP_GOAL = 1.10
PACK_GOAL = 1.30
# Pack against the larger of a copy of the workload and a SHA-256 pass over
# the launcher: the digest must overlap the writing, not follow it.
PACK_DIGEST_GOAL = 1.15
# Pack --compress=19 on every processor against pinned to one: at least 1.8
# times faster on two.
PARALLEL_PACK_GOAL = 1 / 1.8
# Rounds of that row at most: at scale 1.0 one pinned run takes some 25 s.
PARALLEL_PACK_ROUNDS = 5
PEER_GOAL = 1.00
SMALL_FILES_FLOOR_GOAL = 1.05
SMALL_FILES_TAR_GOAL = 0.55
RESIDENT_GOAL_KIB = 4 * 1024
# Launchers of this machine's system files made with --compress: their size
# against the stored launcher's at the default level and at the highest,
# and against makeself's zstd archive at the same level; their launch
# against the stored launcher's.
COMPRESSED_SIZE_GOAL = 0.42
HIGHEST_LEVEL_SIZE_GOAL = 0.34
COMPRESSED_MAKESELF_SIZE_GOAL = 1.15
COMPRESSED_LAUNCH_GOAL = 2.00
# Launchers made with --reuse: the second start of the large files against
# the start-up floor (the check of 93 entries must not show), the second
# start of the package tree against its first start and against the floor
# of the check, the first start against a start without --reuse.
# Files in frames: a compressed launch against the floor that decodes the
# same frames on every processor; the one-large-file workload's compressed
# launch against its stored one; the sizes against one frame per file.
DECODE_FLOOR_GOAL = 1.10
ONE_LARGE_FILE_GOAL = 1.6
FRAMES_SIZE_GOAL = 1.01
REUSE_SECOND_START_GOAL = 1.10
REUSE_AGAINST_FIRST_GOAL = 0.05
REUSE_CHECK_FLOOR_GOAL = 1.10
REUSE_FIRST_START_GOAL = 1.05
CONCURRENT_FIRST_STARTS = 20
# The main entry of the launcher whose second start is set against the
# start-up floor: the start-up row's program, beside the large files.
STARTUP_MAIN = "bench_exit"
DEFAULT_LEVEL = 3
HIGHEST_LEVEL = 19

# Names that the measured commands give their trees below TMPDIR; whatever
# of them is left after a group was not removed by the command that made it.
TREE_PREFIXES = ("onefile_", "floor_", "makeself.", "selfgz", "bench_tar.")

# makeself at its fastest: no compression and, like onefile, no checksums to
# compute at either end; no progress display, no free-space check.
MAKESELF_PACK_OPTIONS = ["--nocomp", "--nomd5", "--nocrc", "--nox11", "--quiet"]
MAKESELF_RUN_OPTIONS = ["--quiet", "--noprogress", "--nodiskspace", "--nox11"]
MAKESELF_TITLE = "makeself --nocomp --nomd5 --nocrc"
# The same with zstd at onefile's default level; zstd decodes on one thread.
MAKESELF_ZSTD_PACK_OPTIONS = ["--zstd", "--complevel", str(DEFAULT_LEVEL), "--nomd5", "--nocrc", "--nox11",
                              "--quiet"]
MAKESELF_ZSTD_TITLE = f"makeself --zstd --complevel {DEFAULT_LEVEL} --nomd5 --nocrc"
TAR_PEER_SCRIPT = 'd=$(mktemp -d -t bench_tar.XXXXXX) && tar -xf "$0" -C "$d" && "$d/app"; s=$?; rm -rf "$d"; exit $s'
# The tar peer of the compressed launcher: an archive made with
# `tar --zstd -cf` (zstd's default level, 3), unpacked the same way.
TAR_ZSTD_PEER_SCRIPT = TAR_PEER_SCRIPT.replace("tar -xf", "tar --zstd -xf")


def log(message):
    print(f"bench: {message}", file=sys.stderr, flush=True)


def fail(message):
    sys.exit(f"bench: {message}")


@dataclass
class Command:
    label: str
    argv: list
    tmpdir: str
    stdout_path: str = None
    before: object = None  # untimed preparation before every run
    cpus: set = None  # run pinned to these processors, as `taskset -c` would
    cache: str = None  # XDG_CACHE_HOME, where launchers made with --reuse keep their tree
    variables: dict = None  # more of the environment (the hooks' controls)

    def environment(self):
        env = dict(os.environ, TMPDIR=self.tmpdir)
        if self.cache:
            env["XDG_CACHE_HOME"] = self.cache
        env.update(self.variables or {})
        return env


def run_once(command):
    """Runs the command once and returns its wall-clock time in seconds."""
    if command.before:
        command.before()
    out = command.stdout_path or os.devnull
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0),
    ]
    env = command.environment()
    # A pinned command inherits the affinity of this thread, set just before
    # the spawn and restored after the timing: no taskset process is timed.
    if command.cpus:
        affinity = os.sched_getaffinity(0)
        os.sched_setaffinity(0, command.cpus)
    start = time.perf_counter()
    pid = os.posix_spawn(command.argv[0], command.argv, env, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    seconds = time.perf_counter() - start
    if command.cpus:
        os.sched_setaffinity(0, affinity)
    if os.waitstatus_to_exitcode(status) != 0:
        # Run it again where its messages can be seen.
        result = subprocess.run(command.argv, env=env, capture_output=True, text=True)
        fail(f"{command.label} failed (status {os.waitstatus_to_exitcode(status)}): "
             f"{shlex.join(command.argv)}\n{result.stdout}{result.stderr}")
    return seconds


# The empty file a launcher leaves in a holding directory it made for itself.
HOLDING_MARK = ".onefile-holding"


def tree_names(directory):
    return {name for name in os.listdir(directory) if name.startswith(TREE_PREFIXES)}


def measure(commands, rounds):
    """Warms each command up once, then runs all of them `rounds` times,
    rotating the order every round. Returns {label: [seconds]}."""
    directories = {c.tmpdir for c in commands}
    before = {d: tree_names(d) for d in directories}
    for command in commands:
        run_once(command)
    times = {c.label: [] for c in commands}
    for r in range(rounds):
        shift = r % len(commands)
        for command in commands[shift:] + commands[:shift]:
            times[command.label].append(run_once(command))
    for d in directories:
        left = tree_names(d) - before[d]
        if left:
            log(f"warning: left behind in {d}: {', '.join(sorted(left))}")
    return times


@dataclass
class Row:
    title: str
    ours: list
    reference: list
    reference_name: str
    goal: float = None
    goal_text: str = ""

    def ratios(self):
        return sorted(a / b for a, b in zip(self.ours, self.reference))

    def ratio(self):
        return statistics.median(self.ratios())

    def met(self):
        if self.goal is None:
            return None
        if self.goal_text.startswith("<") and not self.goal_text.startswith("<="):
            return self.ratio() < self.goal
        return self.ratio() <= self.goal


@dataclass
class ValueRow:
    title: str
    value_kib: float
    floor_kib: float
    goal_kib: float = None

    def met(self):
        return None if self.goal_kib is None else self.value_kib <= self.goal_kib


@dataclass
class CheckRow:
    """An outcome that holds or not, one measurement (no times)."""
    title: str
    outcome: str
    goal_text: str
    holds: bool

    def met(self):
        return self.holds


@dataclass
class SkippedRow:
    title: str

    def met(self):
        return None


@dataclass
class SizeRow:
    """Two file sizes in bytes, one measurement each (no rounds)."""
    title: str
    ours: int
    reference: int
    reference_name: str
    goal: float = None

    def ratio(self):
        return self.ours / self.reference

    def met(self):
        return None if self.goal is None else self.ratio() <= self.goal


def format_time(seconds):
    ms = seconds * 1000
    if ms >= 100:
        return f"{ms:.0f} ms"
    if ms >= 10:
        return f"{ms:.1f} ms"
    return f"{ms:.2f} ms"


def format_kib(kib):
    return f"{kib / 1024:.1f} MiB"


def format_bytes(count):
    return f"{count / 1e6:.1f} MB" if count >= 1e7 else f"{count / 1e6:.2f} MB"


def quartiles(values):
    if len(values) < 4:
        return values[0], values[-1]
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def verdict(met):
    return "—" if met is None else ("yes" if met else "**no**")


def render_table(rows):
    lines = ["| Measurement | onefile | Reference | Ratio (median of pairs) | Middle half of ratios | Goal | Met |",
             "|---|---:|---|---:|---:|---|---|"]
    for row in rows:
        if isinstance(row, SkippedRow):
            lines.append(f"| {row.title} | skipped | — | — | — | — | — |")
            continue
        if isinstance(row, ValueRow):
            goal = f"<= {format_kib(row.goal_kib)}" if row.goal_kib is not None else "—"
            lines.append(f"| {row.title} | {format_kib(row.value_kib)} | floor: {format_kib(row.floor_kib)} "
                         f"| — | — | {goal} | {verdict(row.met())} |")
            continue
        if isinstance(row, CheckRow):
            lines.append(f"| {row.title} | {row.outcome} | — | — | — | {row.goal_text} | {verdict(row.met())} |")
            continue
        if isinstance(row, SizeRow):
            goal = f"<= {row.goal:.2f}" if row.goal is not None else "—"
            lines.append(f"| {row.title} | {format_bytes(row.ours)} | {row.reference_name}: "
                         f"{format_bytes(row.reference)} | {row.ratio():.3f} | — | {goal} | {verdict(row.met())} |")
            continue
        q1, q3 = quartiles(row.ratios())
        reference = f"{row.reference_name}: {format_time(statistics.median(row.reference))}"
        goal = f"{row.goal_text} {row.goal:.2f}" if row.goal is not None else "—"
        lines.append(f"| {row.title} | {format_time(statistics.median(row.ours))} | {reference} | "
                     f"{row.ratio():.3f} | {q1:.3f}–{q3:.3f} | {goal} | {verdict(row.met())} |")
    return "\n".join(lines)


def filesystem_type(path):
    for tool in (["findmnt", "-n", "-o", "FSTYPE", "-T", path], ["stat", "-f", "-c", "%T", path]):
        try:
            # findmnt lists every mount stacked on the path; the first is the one in use.
            output = subprocess.run(tool, capture_output=True, text=True, check=True).stdout.split()
            return output[0] if output else "unknown"
        except (OSError, subprocess.CalledProcessError):
            continue
    return "unknown"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine_lines(args):
    return [
        f"- processors: {len(os.sched_getaffinity(0))} ({cpu_model()})",
        f"- kernel: {platform.system()} {platform.release()}",
        f"- memory: {os.sysconf('SC_PHYS_PAGES') * os.sysconf('SC_PAGE_SIZE') // 2**30} GiB",
        f"- TMPDIR on disk: {args.disk_dir} ({filesystem_type(args.disk_dir)}); "
        f"on tmpfs: {args.tmpfs_dir} ({filesystem_type(args.tmpfs_dir)}); "
        f"work files: {filesystem_type(str(args.bench_dir))}",
        f"- date: {datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC')}",
    ]


# ---------------------------------------------------------------- preparation

def prepare_workload(args, name, generator, option, inputs=(), extra=(), fingerprint=False, scale=None):
    """The workload directory OUT/bench/work/NAME at the requested scale
    (default --scale),
    made once by the generator and reused. The stamp names the scale and a
    digest of the generator and of the files it copies (inputs), so a
    workload made by another generator, or from other inputs, is made anew.
    With fingerprint, the generator's --fingerprint output (a digest of the
    files it would copy) goes into the stamp too."""
    scale = args.scale if scale is None else scale
    work = args.bench_dir / "work"
    app = work / name
    stamp = work / f"{name}.scale"
    if not generator.is_file():
        fail(f"{generator}: workload generator not found ({option})")
    digest = hashlib.sha256(generator.read_bytes())
    for path in inputs:
        digest.update(Path(path).read_bytes())
    if fingerprint:
        digest.update(subprocess.run([sys.executable, str(generator), "--fingerprint", "--scale", repr(scale)],
                                     check=True, capture_output=True).stdout)
    key = f"{scale!r} {digest.hexdigest()[:16]}"
    if app.is_dir() and stamp.is_file() and stamp.read_text().strip() == key:
        log(f"reusing workload {app} (scale {scale})")
        return app
    shutil.rmtree(app, ignore_errors=True)
    stamp.unlink(missing_ok=True)
    work.mkdir(parents=True, exist_ok=True)
    log(f"making workload {app} (scale {scale})")
    subprocess.run([sys.executable, str(generator), str(app), "--scale", repr(scale), *extra],
                   check=True, stdout=sys.stderr)
    stamp.write_text(key + "\n")
    return app


def describe_workload(app):
    """(entries, size) of a workload, such as ("93 entries", "300 MB")."""
    entries = workload_entries(app)
    payload_bytes = sum(os.lstat(app / name).st_size for name, is_link in entries if not is_link)
    size = f"{payload_bytes / 1e6:.0f} MB" if payload_bytes >= 1e7 else f"{payload_bytes / 1e6:.1f} MB"
    return f"{len(entries):,} entries", size


def workload_entries(app):
    """(relative path, is link) of every entry below app."""
    entries = []
    for root, dirs, files in os.walk(app):
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            path = os.path.join(root, name)
            entries.append((os.path.relpath(path, app), os.path.islink(path)))
    return entries


def pack(args, app, output, main, options=()):
    subprocess.run([str(args.tool), "pack", str(app), "-o", str(output), "--main", main, *options], check=True)


def listed_files(args, launcher):
    """Names of the regular files a launcher carries, in payload order."""
    listing = subprocess.run([str(args.tool), "list", str(launcher)], check=True,
                             capture_output=True, text=True).stdout
    names = []
    for line in listing.splitlines():
        kind, _, _, name = line.split("\t", 3)
        if kind == "file":
            names.append(name)
    return names


def compare_tree(tree, app, writer, left_out=()):
    """Fails unless tree holds every entry of app, the same, and nothing
    more (apart from the names in left_out)."""
    expected = workload_entries(app)
    written = [entry for entry in workload_entries(Path(tree)) if entry[0] not in left_out]
    if sorted(written) != sorted(expected):
        fail(f"{writer} wrote {len(written)} entries for the {len(expected)} of {app}")
    for name, is_link in expected:
        ours, theirs = os.path.join(tree, name), os.path.join(app, name)
        if is_link:
            same = os.path.islink(ours) and os.readlink(ours) == os.readlink(theirs)
        else:
            same = (os.path.isfile(ours) and not os.path.islink(ours)
                    and bool(os.stat(ours).st_mode & 0o100) == bool(os.stat(theirs).st_mode & 0o100)
                    and filecmp.cmp(ours, theirs, shallow=False))
        if not same:
            fail(f"{writer} wrote {name} differently from the workload")


def check_floor_output(args, launcher, app, tmpdir, floor=None):
    """The floor (floor_launch, or `floor` such as floor_decode) must write
    the whole workload, decoded, or it would be a false floor."""
    floor = floor or args.floor
    env = dict(os.environ, TMPDIR=tmpdir, ONEFILE_FLOOR_KEEP="1")
    tree = subprocess.run([str(floor), str(launcher)], env=env, check=True,
                          capture_output=True, text=True).stdout.strip()
    try:
        compare_tree(tree, app, floor.name)
    finally:
        shutil.rmtree(tree, ignore_errors=True)


def make_rss_app(app, run, probe):
    """The workload beside the memory probe, which becomes the main entry."""
    target = link_workload(app, run / "rss-app")
    shutil.copy2(probe, target / "rss_probe")
    return target


def link_workload(app, target):
    """A copy of the workload in target, whose files are hard links where
    the file system allows, so nothing is copied."""
    for name, is_link in workload_entries(app):
        source, destination = app / name, target / name
        destination.parent.mkdir(parents=True, exist_ok=True)
        if is_link:
            os.symlink(os.readlink(source), destination)
        else:
            try:
                os.link(source, destination)
            except OSError:
                shutil.copy2(source, destination)
    return target


def run_probe(argv, tmpdir):
    """Runs a launcher (or the floor on it) whose application is the memory
    probe; returns the probe's report of its parent, in KiB.

    The peak is the parent's VmHWM while the application runs, which covers
    the whole extraction. The ru_maxrss that wait4 returns is no measure of
    it: exec keeps the high-water mark of the memory it replaces, so a child
    started from this interpreter reports at least the interpreter's size."""
    env = dict(os.environ, TMPDIR=tmpdir)
    env.pop("TAVMIR_ONEFILE_PARENT", None)
    result = subprocess.run(argv, env=env, capture_output=True, text=True)
    if result.returncode != 0:
        fail(f"{shlex.join(argv)} failed with status {result.returncode}: {result.stderr}")
    fields = {}
    for line in result.stdout.splitlines():
        key, value = line.split(":", 1)
        fields[key] = int(value.split()[0])
    return fields


# ---------------------------------------------------------------- main

def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=str(REPO / "out"), help="CMake build directory (default out)")
    parser.add_argument("--scale", type=float, default=None, help="workload scale (default 1.0)")
    parser.add_argument("--system-files-scale", type=float, default=None,
                        help="scale of the compression rows' workload (default --scale; 0.05 with --quick)")
    parser.add_argument("--pairs", type=int, default=None,
                        help="rounds per launch, peer and packing row (default 15)")
    parser.add_argument("--startup-rounds", type=int, default=None,
                        help="rounds of the start-up row (default 10 times --pairs)")
    parser.add_argument("--quick", action="store_true",
                        help="small and short: scale 0.02 (0.05 for the compression rows), 5 rounds (for CI)")
    parser.add_argument("--tmpfs-dir", default="/dev/shm", help="TMPDIR on tmpfs (default /dev/shm)")
    parser.add_argument("--disk-dir", default="/tmp", help="TMPDIR on disk (default /tmp)")
    parser.add_argument("--make-app-dir", type=Path, default=DEFAULT_MAKE_APP_DIR,
                        help="workload generator (default bench/make_app_dir.py)")
    parser.add_argument("--make-package-tree", type=Path, default=DEFAULT_MAKE_PACKAGE_TREE,
                        help="generator of the small files' workload (default bench/make_package_tree.py)")
    parser.add_argument("--make-binary-mix", type=Path, default=DEFAULT_MAKE_BINARY_MIX,
                        help="generator of the compression rows' workload (default bench/make_binary_mix.py)")
    parser.add_argument("--make-one-large-file", type=Path, default=DEFAULT_MAKE_ONE_LARGE_FILE,
                        help="generator of the one-large-file workload (default bench/make_one_large_file.py)")
    parser.add_argument("--tool", type=Path, default=None, help="the onefile to measure (default OUT/bin/onefile)")
    parser.add_argument("--one-frame-tool", type=Path, default=None,
                        help="a onefile that packs each file as one frame, for the size rows of the frames "
                             "(without it they are skipped)")
    parser.add_argument("--frames-only", action="store_true",
                        help="run the rows of the frames alone")
    parser.add_argument("--only", default=None,
                        help="run these groups of rows alone, comma-separated: " + ", ".join(ROW_GROUPS))
    parser.add_argument("--reclaim-only", action="store_true",
                        help="run the reclaim row alone (as --only reclaim)")
    parser.add_argument("--skip-compressed", action="store_true",
                        help="leave out the compression rows (marked skipped), for a tool without "
                             "`pack --compress`; without it such a tool stops the run")
    parser.add_argument("--results", default=None, help="results file (default OUT/bench/results.md)")
    parser.add_argument("--readme", type=Path, nargs="?", default=None, const=DEFAULT_RESULTS_PAGE,
                        metavar="FILE",
                        help="also place the results between the bench-results markers of FILE "
                             "(without FILE, docs/performance.md)")
    parser.add_argument("--command", default=None, help="the command to name in the results")
    parser.add_argument("--keep", action="store_true", help="keep OUT/bench/run (launchers, archives)")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a goal is not met")
    args = parser.parse_args()
    if args.system_files_scale is None:
        # At 0.02 the system files would be a handful; 0.05 makes some eighty.
        args.system_files_scale = args.scale if args.scale is not None else (0.05 if args.quick else 1.0)
    if args.scale is None:
        args.scale = 0.02 if args.quick else 1.0
    if args.pairs is None:
        args.pairs = 5 if args.quick else 15
    if args.startup_rounds is None:
        args.startup_rounds = 10 * args.pairs
    if args.pairs < 1 or args.startup_rounds < 1 or args.scale <= 0 or args.system_files_scale <= 0:
        parser.error("--pairs, --startup-rounds, --scale and --system-files-scale must be positive")
    if args.readme:
        # Found missing now, not after the whole run.
        results_markers(args.readme)
    out = Path(args.out).resolve()
    args.bench_dir = out / "bench"
    args.tool = args.tool.resolve() if args.tool else out / "bin" / "onefile"
    args.floor = args.bench_dir / "floor_launch"
    args.floor_sendfile = args.bench_dir / "floor_sendfile"
    args.floor_reuse = args.bench_dir / "floor_reuse"
    args.floor_decode = args.bench_dir / "floor_decode"
    args.exit_program = args.bench_dir / "exit_at_once"
    args.probe = args.bench_dir / "rss_probe"
    args.hook_stub = out / "stub" / "x86_64" / "onefile-stub-hooks"
    args.results = Path(args.results) if args.results else args.bench_dir / "results.md"
    args.only = set(args.only.split(",")) if args.only else set(ROW_GROUPS)
    if args.frames_only:
        args.only = {"frames"}
    if args.reclaim_only:
        args.only = {"reclaim"}
    if not args.only <= set(ROW_GROUPS):
        parser.error(f"--only: groups are {', '.join(ROW_GROUPS)}")
    for program in (args.tool, args.floor, args.floor_sendfile, args.floor_reuse, args.floor_decode, args.exit_program, args.probe):
        if not os.access(program, os.X_OK):
            fail(f"{program}: not built (run `make` first)")
    for directory in (args.tmpfs_dir, args.disk_dir):
        if not os.path.isdir(directory):
            fail(f"{directory}: no such directory")
    return args


def check_compress_option(args):
    """Stops the run before any work when the tool does not make compressed
    launchers (`pack --compress[=LEVEL]`), unless --skip-compressed says to
    leave their rows out; a launcher of each level must also run."""
    if args.skip_compressed:
        log("--skip-compressed: the compression rows are left out")
        return
    probe = args.bench_dir / "compress-probe"
    shutil.rmtree(probe, ignore_errors=True)
    (probe / "app").mkdir(parents=True)
    shutil.copy2(args.exit_program, probe / "app" / "app")
    try:
        for option in ("--compress", f"--compress={HIGHEST_LEVEL}"):
            launcher = probe / "launcher"
            argv = [str(args.tool), "pack", str(probe / "app"), "-o", str(launcher), "--main", "app", option]
            result = subprocess.run(argv, capture_output=True, text=True)
            if result.returncode != 0:
                said = (result.stderr.strip().splitlines() or [f"exit status {result.returncode}"])[0]
                fail(f"{args.tool} refuses `pack {option}` ({said}): the compression rows need "
                     "`onefile pack --compress[=LEVEL]`; give --skip-compressed (make: BENCH_FLAGS=--skip-compressed) "
                     "to run the other rows without them")
            result = subprocess.run([str(launcher)], env=dict(os.environ, TMPDIR=args.tmpfs_dir),
                                    capture_output=True, text=True)
            if result.returncode != 0:
                fail(f"a launcher made with `pack {option}` failed with status {result.returncode}: "
                     f"{result.stderr.strip()}")
    finally:
        shutil.rmtree(probe, ignore_errors=True)


def main():
    args = parse_arguments()
    started = time.perf_counter()
    check_compress_option(args)
    app = prepare_workload(args, "app", args.make_app_dir, "--make-app-dir")
    # The main executables of the package tree and of the system files exit at
    # once, so their runs time the files alone.
    tree = prepare_workload(args, "tree", args.make_package_tree, "--make-package-tree",
                            inputs=[args.exit_program], extra=["--executable", str(args.exit_program)])
    mix = prepare_workload(args, "system-files", args.make_binary_mix, "--make-binary-mix",
                           inputs=[args.exit_program], extra=["--executable", str(args.exit_program)],
                           fingerprint=True, scale=args.system_files_scale)
    entries, size = describe_workload(app)
    large = prepare_workload(args, "one-large-file", args.make_one_large_file, "--make-one-large-file",
                             inputs=[args.exit_program], extra=["--executable", str(args.exit_program)],
                             fingerprint=True, scale=args.system_files_scale)
    tree_entries, tree_size = describe_workload(tree)
    tree_files = sum(1 for name, is_link in workload_entries(tree) if not is_link) - 1
    mix_entries, mix_size = describe_workload(mix)
    mix_files = len(workload_entries(mix)) - 1
    workload = (f"{entries}, {size}; small files: {tree_entries}, {tree_size}; "
                f"system files: {mix_entries}, {mix_size}; one large file: {describe_workload(large)[1]}")

    run = args.bench_dir / "run"
    shutil.rmtree(run, ignore_errors=True)
    run.mkdir(parents=True)
    large_title = f"one large file and {len(workload_entries(large)) - 2} small ones ({describe_workload(large)[1]})"
    mix_title = f"{mix_files:,} system files ({mix_size})"
    try:
        if args.only == {"frames"}:
            rows = frames_rows(args, mix, mix_title, large, large_title, run)
        elif args.reclaim_only:
            rows = measure_reclaim(args, app, run, args.disk_dir, "disk", size)
        else:
            rows = measure_all(args, app, run, size, tree, f"{tree_files:,} small files ({tree_size})",
                               mix, mix_title, large, large_title)
    finally:
        if not args.keep:
            shutil.rmtree(run, ignore_errors=True)

    elapsed = time.perf_counter() - started
    command = (args.command or "").strip() or shlex.join([os.path.relpath(sys.argv[0])] + sys.argv[1:])
    table = render_table(rows)
    unmet = [row.title for row in rows if row.met() is False]
    text = "\n".join([
        "## Benchmark results",
        "",
        f"Command: `{command}` (workloads: {workload}; {args.pairs} rounds per row, "
        f"{args.startup_rounds} for start-up; {elapsed:.0f} s in all)",
        "",
        table,
        "",
        "Ratios are onefile's time divided by the reference's, taken per round of "
        "alternating runs; below 1 onefile is faster. Times are medians of whole processes.",
        "",
        "Machine:",
        "",
        *machine_lines(args),
        "",
    ])
    print(text)
    args.results.parent.mkdir(parents=True, exist_ok=True)
    args.results.write_text(text)
    log(f"results written to {args.results}")
    if args.readme:
        place_in_readme(args.readme, text)
    if unmet:
        log("goals not met: " + "; ".join(unmet))
        if args.strict:
            sys.exit(1)


def results_markers(readme):
    """The page's content and its two markers; stops the run when it lacks them."""
    begin, end = "<!-- bench-results:begin -->", "<!-- bench-results:end -->"
    try:
        content = readme.read_text()
    except OSError as error:
        fail(f"{readme}: {error.strerror}")
    if begin not in content or end not in content:
        fail(f"{readme}: no {begin} ... {end} markers (the latest figures are in "
             f"{DEFAULT_RESULTS_PAGE.relative_to(REPO)})")
    return content, begin, end


def place_in_readme(readme, text):
    content, begin, end = results_markers(readme)
    head, rest = content.split(begin, 1)
    _, tail = rest.split(end, 1)
    body = text.replace("## Benchmark results\n\n", "", 1)
    readme.write_text(f"{head}{begin}\n{body}{end}{tail}")
    log(f"results placed in {readme}")


@dataclass
class Subjects:
    """What the rows measure, made once per run in OUT/bench/run."""
    launcher: Path
    tiny_launcher: Path
    tar_archive: Path
    makeself_archive: Path  # None when makeself is not installed
    tree_launcher: Path
    tree_tar_archive: Path
    reuse_launcher: Path  # the large files, packed with --reuse
    reuse_startup_launcher: Path  # the same with exit_at_once as its main entry
    tree_reuse_launcher: Path  # the package tree, packed with --reuse


def make_subjects(args, app, tree, run):
    log("packing the launchers and the peers' archives")
    launcher = run / "app-launcher"
    pack(args, app, launcher, "app")
    check_floor_output(args, launcher, app, args.tmpfs_dir)
    check_floor_output(args, launcher, app, args.tmpfs_dir, args.floor_sendfile)

    tiny_app = run / "tiny-app"
    tiny_app.mkdir()
    shutil.copy2(args.exit_program, tiny_app / "app")
    tiny_launcher = run / "tiny-launcher"
    pack(args, tiny_app, tiny_launcher, "app")

    tar_archive = run / "app.tar"
    subprocess.run(["tar", "-cf", str(tar_archive), "-C", str(app), "."], check=True)

    makeself = shutil.which("makeself")
    makeself_archive = None
    if makeself:
        makeself_archive = run / "app.run"
        subprocess.run([makeself, *MAKESELF_PACK_OPTIONS, str(app), str(makeself_archive),
                        "onefile bench", "./app"], check=True, stdout=subprocess.DEVNULL)
    else:
        log("makeself is not installed: its rows are skipped")

    # The rest only for the groups of rows that use it (--only).
    tree_launcher = tree_tar_archive = reuse_launcher = reuse_startup_launcher = tree_reuse_launcher = None
    if args.only & {"small-files", "reuse"}:
        tree_launcher = run / "tree-launcher"
        pack(args, tree, tree_launcher, "app")
        check_floor_output(args, tree_launcher, tree, args.tmpfs_dir)
        tree_tar_archive = run / "tree.tar"
        subprocess.run(["tar", "-cf", str(tree_tar_archive), "-C", str(tree), "."], check=True)

        # Each keeps its tree below XDG_CACHE_HOME in onefile/NAME, NAME being
        # the launcher's file name.
        reuse_launcher = run / "app-reuse"
        pack(args, app, reuse_launcher, "app", ["--reuse"])
        # The workload's main entry is a copy of /bin/true, which costs more to
        # start than the start-up row's program: against the start-up floor, the
        # launcher runs that program instead, beside every entry of the workload.
        startup_app = link_workload(app, run / "startup-app")
        shutil.copy2(args.exit_program, startup_app / STARTUP_MAIN)
        reuse_startup_launcher = run / "app-reuse-startup"
        pack(args, startup_app, reuse_startup_launcher, STARTUP_MAIN, ["--reuse"])
        tree_reuse_launcher = run / "tree-reuse"
        pack(args, tree, tree_reuse_launcher, "app", ["--reuse"])
    return Subjects(launcher, tiny_launcher, tar_archive, makeself_archive, tree_launcher, tree_tar_archive,
                    reuse_launcher, reuse_startup_launcher, tree_reuse_launcher)


def measure_startup(args, subjects, tmpdir, kind):
    log(f"start-up with TMPDIR={tmpdir}")
    commands = [Command("onefile", [str(subjects.tiny_launcher)], tmpdir),
                Command("floor", [str(args.floor), str(subjects.tiny_launcher)], tmpdir),
                Command("direct", [str(args.exit_program)], tmpdir)]
    times = measure(commands, args.startup_rounds)
    return [Row(f"start-up, one program that exits at once, TMPDIR on {kind} ({tmpdir})",
                times["onefile"], times["floor"], "floor", STARTUP_GOAL, "<="),
            Row(f"start-up against running that program directly, TMPDIR on {kind}",
                times["onefile"], times["direct"], "direct")]


def holding_directory(cache, launcher):
    """Where a launcher made with --reuse and the default template keeps its
    trees when XDG_CACHE_HOME is `cache`."""
    return Path(cache) / "onefile" / launcher.name


def version_directory(args, cache, launcher):
    """The tree itself: the first 16 hexadecimal digits of its digest."""
    info = json.loads(subprocess.run([str(args.tool), "info", "--json", str(launcher)], check=True,
                                     capture_output=True, text=True).stdout)
    return holding_directory(cache, launcher) / info["digest"][:16]


def check_kept_tree(args, cache, launcher, app, left_out=()):
    """A second start is only fast for a reason when the tree it runs is
    the whole workload: the version directory must hold it, and be the only
    tree in its holding directory."""
    tree = version_directory(args, cache, launcher)
    # The mark of a holding directory the launcher made is no tree.
    names = [name for name in os.listdir(holding_directory(cache, launcher)) if name != HOLDING_MARK]
    if names != [tree.name]:
        fail(f"{launcher} left {names} in its holding directory, not just {tree.name}")
    compare_tree(tree, app, f"{launcher} (--reuse)", left_out=left_out)


def measure_reuse_second_start(args, subjects, tmpdir, kind, size, app):
    """The second start of the large files with --reuse, the start-up row's
    program as main entry, against the start-up floor: the check of every
    entry must not show."""
    log(f"second start with --reuse with TMPDIR and XDG_CACHE_HOME={tmpdir}")
    launcher = subjects.reuse_startup_launcher
    cache = tempfile.mkdtemp(prefix="bench_reuse.", dir=tmpdir)
    try:
        # The warm-up run of measure() is the first start, which keeps the tree.
        commands = [Command("onefile", [str(launcher)], tmpdir, cache=cache),
                    Command("floor", [str(args.floor), str(subjects.tiny_launcher)], tmpdir)]
        times = measure(commands, args.startup_rounds)
        check_kept_tree(args, cache, launcher, app, left_out={STARTUP_MAIN})
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    entries = len(workload_entries(app)) + 1
    return [Row(f"second start with --reuse, {size} ({entries:,} entries, the start-up program as main), against "
                f"the start-up floor, TMPDIR and XDG_CACHE_HOME on {kind} ({tmpdir})", times["onefile"],
                times["floor"], "start-up floor", REUSE_SECOND_START_GOAL, "<=")]


def measure_reuse_tree(args, subjects, tmpdir, kind, title, tree):
    """The package tree with --reuse, one group of alternating runs: the
    second start, the first start (its tree removed beforehand, untimed) and
    floor_reuse on the kept tree."""
    log(f"the package tree with --reuse with XDG_CACHE_HOME={tmpdir}")
    launcher = subjects.tree_reuse_launcher
    cache = tempfile.mkdtemp(prefix="bench_reuse.", dir=tmpdir)
    holding = holding_directory(cache, launcher)
    kept = version_directory(args, cache, launcher)
    try:
        commands = [Command("second", [str(launcher)], tmpdir, cache=cache),
                    Command("first", [str(launcher)], tmpdir, cache=cache,
                            before=lambda: shutil.rmtree(holding, ignore_errors=True)),
                    Command("floor", [str(args.floor_reuse), str(launcher), str(kept)], tmpdir)]
        times = measure(commands, args.pairs)
        check_kept_tree(args, cache, launcher, tree)
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    where = f"XDG_CACHE_HOME on {kind} ({tmpdir})"
    return [Row(f"second start with --reuse, {title}, against its first start, {where}", times["second"],
                times["first"], "first start", REUSE_AGAINST_FIRST_GOAL, "<="),
            Row(f"second start with --reuse, {title}, against the floor of its check (fstatat of every entry), "
                f"{where}", times["second"], times["floor"], "floor", REUSE_CHECK_FLOOR_GOAL, "<=")]


def measure_reuse_first_start(args, subjects, tmpdir, kind, size):
    """The launcher of the large files made with --reuse against the launch
    row's launcher, one group: its first start (its tree removed beforehand,
    untimed), and its second start from a tree kept elsewhere."""
    log(f"first start with --reuse with TMPDIR and XDG_CACHE_HOME={tmpdir}")
    launcher = subjects.reuse_launcher
    cache = tempfile.mkdtemp(prefix="bench_reuse.", dir=tmpdir)
    kept = tempfile.mkdtemp(prefix="bench_reuse.", dir=tmpdir)
    holding = holding_directory(cache, launcher)
    try:
        commands = [Command("first", [str(launcher)], tmpdir, cache=cache,
                            before=lambda: shutil.rmtree(holding, ignore_errors=True)),
                    Command("plain", [str(subjects.launcher)], tmpdir),
                    Command("second", [str(launcher)], tmpdir, cache=kept)]
        times = measure(commands, args.pairs)
    finally:
        shutil.rmtree(cache, ignore_errors=True)
        shutil.rmtree(kept, ignore_errors=True)
    where = f"TMPDIR and XDG_CACHE_HOME on {kind} ({tmpdir})"
    return [Row(f"first start with --reuse, {size}, against a start without it, {where}", times["first"],
                times["plain"], "without --reuse", REUSE_FIRST_START_GOAL, "<="),
            Row(f"second start with --reuse, {size}, against a start without it, {where}", times["second"],
                times["plain"], "without --reuse")]


def check_concurrent_first_starts(args, subjects, tmpdir, kind, title):
    """Twenty first starts of one launcher made with --reuse, at once: all
    must run, and leave one version directory and no working directory."""
    count = CONCURRENT_FIRST_STARTS
    log(f"{count} first starts at once with XDG_CACHE_HOME={tmpdir}")
    launcher = subjects.tree_reuse_launcher
    cache = tempfile.mkdtemp(prefix="bench_reuse.", dir=tmpdir)
    env = dict(os.environ, TMPDIR=tmpdir, XDG_CACHE_HOME=cache)
    try:
        runs = [subprocess.Popen([str(launcher)], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.PIPE, text=True) for _ in range(count)]
        ran = 0
        for run in runs:
            _, error = run.communicate()
            if run.returncode == 0:
                ran += 1
            else:
                log(f"a first start failed with status {run.returncode}: {error.strip()}")
        names = os.listdir(holding_directory(cache, launcher))
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    versions = [name for name in names if re.fullmatch(r"[0-9a-f]{16}", name)]
    working = [name for name in names if re.fullmatch(r"\.[0-9a-f]{16}-[A-Za-z0-9_-]{11}", name)]
    outcome = (f"{ran} of {count} ran; {len(versions)} version "
               f"{'directory' if len(versions) == 1 else 'directories'}, {len(working)} working")
    return [CheckRow(f"{count} first starts at once with --reuse, {title}, XDG_CACHE_HOME on {kind} ({tmpdir})",
                     outcome, f"{count} of {count}; 1 version, 0 working",
                     ran == count and len(versions) == 1 and not working)]


def measure_launch(args, subjects, tmpdir, kind, size):
    """The launch row and the peer rows of one TMPDIR, all from one group of
    alternating runs. Returns (launch rows, peer rows)."""
    log(f"launch with TMPDIR={tmpdir}")
    commands = [Command("onefile", [str(subjects.launcher)], tmpdir),
                Command("floor", [str(args.floor), str(subjects.launcher)], tmpdir),
                Command("floor sendfile", [str(args.floor_sendfile), str(subjects.launcher)], tmpdir),
                Command("tar", [shutil.which("sh"), "-c", TAR_PEER_SCRIPT, str(subjects.tar_archive)], tmpdir)]
    if subjects.makeself_archive:
        commands.append(Command("makeself", [str(subjects.makeself_archive), *MAKESELF_RUN_OPTIONS], tmpdir))
    times = measure(commands, args.pairs)
    where = f"TMPDIR on {kind} ({tmpdir})"
    # Per round, the faster of the two floors is the floor of that round.
    faster = [min(write, copy) for write, copy in zip(times["floor"], times["floor sendfile"])]
    launch = [Row(f"launch {size}, {where}, against the faster floor", times["onefile"], faster, "faster floor",
                  LAUNCH_GOAL, "<="),
              Row(f"launch {size}, {where}, against the floor that writes from its mapping", times["onefile"],
                  times["floor"], "floor_launch"),
              Row(f"launch {size}, {where}, against the floor that copies with sendfile", times["onefile"],
                  times["floor sendfile"], "floor_sendfile")]
    peers = []
    if subjects.makeself_archive:
        peers.append(Row(f"peer: {MAKESELF_TITLE}, {where}", times["onefile"], times["makeself"],
                         "makeself", PEER_GOAL, "<"))
    else:
        peers.append(SkippedRow(f"peer: {MAKESELF_TITLE}, {where} (makeself is not installed)"))
    peers.append(Row(f"peer: tar -x, run, rm -rf, {where}", times["onefile"], times["tar"], "tar",
                     PEER_GOAL, "<"))
    return launch, peers


def measure_small_files(args, subjects, tmpdir, kind, title):
    """The rows of the package tree with one TMPDIR, from one group of
    alternating runs: the launcher and the floor pinned to one processor,
    then the launcher on every processor against the tar peer."""
    log(f"small files with TMPDIR={tmpdir}")
    one = {min(os.sched_getaffinity(0))}
    launcher = [str(subjects.tree_launcher)]
    commands = [Command("onefile pinned", launcher, tmpdir, cpus=one),
                Command("floor pinned", [str(args.floor), *launcher], tmpdir, cpus=one),
                Command("onefile", launcher, tmpdir),
                Command("tar", [shutil.which("sh"), "-c", TAR_PEER_SCRIPT, str(subjects.tree_tar_archive)],
                        tmpdir)]
    times = measure(commands, args.pairs)
    where = f"TMPDIR on {kind} ({tmpdir})"
    return [Row(f"{title}, single thread (both pinned to one processor), {where}",
                times["onefile pinned"], times["floor pinned"], "floor", SMALL_FILES_FLOOR_GOAL, "<="),
            Row(f"{title}, all cores, against tar -x, run, rm -rf, {where}",
                times["onefile"], times["tar"], "tar", SMALL_FILES_TAR_GOAL, "<="),
            Row(f"{title}, all cores against the floor on one, TMPDIR on {kind}",
                times["onefile"], times["floor pinned"], "floor")]


def measure_packing(args, app, run, subjects, size):
    log("packing")
    packed, copied = run / "packed", run / "copied"
    files = [str(app / name) for name in listed_files(args, subjects.launcher)]
    # Each run writes a new file, as the first run would: the old output is
    # removed beforehand, outside the timing.
    openssl = shutil.which("openssl")
    commands = [Command("onefile", [str(args.tool), "pack", str(app), "-o", str(packed), "--main", "app"],
                        args.disk_dir, before=lambda: packed.unlink(missing_ok=True)),
                Command("copy", [shutil.which("cat"), *files], args.disk_dir, stdout_path=str(copied),
                        before=lambda: copied.unlink(missing_ok=True))]
    if openssl:
        commands.append(Command("digest", [openssl, "dgst", "-sha256", str(subjects.launcher)], args.disk_dir))
    times = measure(commands, args.pairs)
    packed.unlink(missing_ok=True)
    copied.unlink(missing_ok=True)
    where = f"output on {filesystem_type(str(run))}"
    digest_title = (f"packing {size}, {where}, against the larger of cat into one file and "
                    f"openssl dgst -sha256 of the launcher")
    rows = [Row(f"packing {size}, {where}", times["onefile"], times["copy"], "cat into one file", PACK_GOAL, "<=")]
    if not openssl:
        return rows + [SkippedRow(f"{digest_title} (openssl is not installed)")]
    # Per round, the slower of the two is the floor of that round.
    floor = [max(copy, digest) for copy, digest in zip(times["copy"], times["digest"])]
    return rows + [Row(digest_title, times["onefile"], floor, "larger of the two", PACK_DIGEST_GOAL, "<=")]


def measure_parallel_packing(args, mix, run, mix_title):
    """`pack --compress=19` of the system files on every processor this run
    may use against the same pinned to one of them, from one group of
    alternating runs; then whether both wrote the same bytes."""
    title = f"packing {mix_title} with --compress={HIGHEST_LEVEL}, every processor against one"
    same_title = f"packing {mix_title} with --compress={HIGHEST_LEVEL}: same bytes on every processor and on one"
    if args.skip_compressed:
        return [SkippedRow(f"{title} (--skip-compressed)"), SkippedRow(f"{same_title} (--skip-compressed)")]
    processors = os.sched_getaffinity(0)
    if len(processors) < 2:
        reason = "one processor: nothing to spread over"
        return [SkippedRow(f"{title} ({reason})"), SkippedRow(f"{same_title} ({reason})")]
    log(f"packing with --compress={HIGHEST_LEVEL} on {len(processors)} processors and on one")
    every, one = run / "packed-every-processor", run / "packed-one-processor"

    def pack_command(label, output, cpus=None):
        return Command(label, [str(args.tool), "pack", str(mix), "-o", str(output), "--main", "app",
                               f"--compress={HIGHEST_LEVEL}"],
                       args.disk_dir, before=lambda: output.unlink(missing_ok=True), cpus=cpus)

    times = measure([pack_command("every", every), pack_command("one", one, {min(processors)})],
                    min(args.pairs, PARALLEL_PACK_ROUNDS))
    same = filecmp.cmp(every, one, shallow=False)
    every.unlink(missing_ok=True)
    one.unlink(missing_ok=True)
    return [Row(title.replace("every processor", f"every processor ({len(processors)})"), times["every"],
                times["one"], "pinned to one", PARALLEL_PACK_GOAL, "<="),
            CheckRow(same_title, "same" if same else "differ", "same", same)]


def measure_memory(args, app, run, size):
    log("memory")
    rss_launcher = run / "rss-launcher"
    pack(args, make_rss_app(app, run, args.probe), rss_launcher, "rss_probe")
    rounds = 1 if args.quick else 3

    def median_report(argv):
        reports = [run_probe(argv, args.tmpfs_dir) for _ in range(rounds)]
        return {key: statistics.median(r.get(key, 0) for r in reports) for key in reports[0]}

    ours = median_report([str(rss_launcher)])
    floor = median_report([str(args.floor), str(rss_launcher)])
    return [ValueRow(f"peak resident memory, {size} payload (VmHWM)", ours["VmHWM"], floor["VmHWM"]),
            ValueRow(f"resident memory while the application runs, {size} payload (VmRSS; onefile's "
                     f"anonymous {format_kib(ours['RssAnon'])}, file-backed {format_kib(ours['RssFile'])})",
                     ours["VmRSS"], floor["VmRSS"], RESIDENT_GOAL_KIB)]


@dataclass
class CompressedSubjects:
    """The launchers of this machine's system files and the peers' zstd archives."""
    stored: Path
    compressed: Path  # --compress, the default level
    highest: Path  # --compress=HIGHEST_LEVEL
    tar_archive: Path  # tar --zstd -cf
    makeself_archive: Path  # None when makeself cannot make one
    makeself_missing: str  # why not


# The main entry of the launcher that shows what a compressed launcher
# writes: it copies the directory it was unpacked into to $BENCH_COPY_TO.
COPY_SCRIPT_NAME = "bench_copy_tree"
COPY_SCRIPT = '#!/bin/sh\nexec cp -a "${0%/*}/." "$BENCH_COPY_TO"\n'


def makeself_zstd_missing(makeself):
    """Why makeself cannot make a zstd archive here, or None when it can."""
    if not makeself:
        return "makeself is not installed"
    result = subprocess.run([makeself, "--help"], capture_output=True, text=True)
    if "--zstd" not in result.stdout + result.stderr:
        version = subprocess.run([makeself, "--version"], capture_output=True, text=True).stdout.strip()
        return f"{version or 'this makeself'} has no --zstd (not in `makeself --help`)"
    return None


def make_compressed_subjects(args, mix, run):
    log("packing the launchers of the system files and the peers' zstd archives")
    stored = run / "system-files-stored"
    pack(args, mix, stored, "app")
    compressed = run / "system-files-compressed"
    pack(args, mix, compressed, "app", ["--compress"])
    highest = run / f"system-files-compressed-{HIGHEST_LEVEL}"
    pack(args, mix, highest, "app", [f"--compress={HIGHEST_LEVEL}"])
    check_compressed_output(args, mix, run)

    tar_archive = run / "system-files.tar.zst"
    subprocess.run(["tar", "--zstd", "-cf", str(tar_archive), "-C", str(mix), "."], check=True)

    makeself = shutil.which("makeself")
    missing = makeself_zstd_missing(makeself)
    makeself_archive = None
    if missing:
        log(f"{missing}: the rows of makeself --zstd are skipped")
    else:
        makeself_archive = run / "system-files.run"
        subprocess.run([makeself, *MAKESELF_ZSTD_PACK_OPTIONS, str(mix), str(makeself_archive),
                        "onefile bench", "./app"], check=True, stdout=subprocess.DEVNULL)
    return CompressedSubjects(stored, compressed, highest, tar_archive, makeself_archive, missing)


def check_compressed_output(args, mix, run):
    """A compressed launcher must unpack every file of the workload, the
    same, or its launch would be measured fast for work it skipped. The
    check packs the workload again (default level) with a script as its main
    entry that copies the unpacked tree; the copy must equal the workload."""
    target = link_workload(mix, run / "copy-app")
    script = target / COPY_SCRIPT_NAME
    script.write_text(COPY_SCRIPT)
    script.chmod(0o755)
    launcher = run / "copy-launcher"
    pack(args, target, launcher, COPY_SCRIPT_NAME, ["--compress"])
    place = Path(tempfile.mkdtemp(prefix="bench_copy.", dir=args.tmpfs_dir))
    try:
        copy = place / "tree"
        result = subprocess.run([str(launcher)], env=dict(os.environ, TMPDIR=args.tmpfs_dir, BENCH_COPY_TO=str(copy)),
                                capture_output=True, text=True)
        if result.returncode != 0:
            fail(f"the launcher made with --compress failed with status {result.returncode}: {result.stderr.strip()}")
        compare_tree(copy, mix, "the launcher made with --compress", left_out={COPY_SCRIPT_NAME})
    finally:
        shutil.rmtree(place, ignore_errors=True)
        shutil.rmtree(target, ignore_errors=True)
        launcher.unlink(missing_ok=True)


def compressed_titles(title, where):
    """The titles of the compression rows, in the table's order: size rows,
    the launch row, peer rows."""
    level = f"--compress (level {DEFAULT_LEVEL})"
    return {
        "size": f"size of a launcher of {title}: {level} against stored",
        "size highest": f"size of a launcher of {title}: --compress={HIGHEST_LEVEL} against stored",
        "size makeself": f"size of a launcher of {title}: {level} against {MAKESELF_ZSTD_TITLE}",
        "launch": f"launch {title}, {level} against stored, {where}",
        "makeself": f"peer: {MAKESELF_ZSTD_TITLE}, against {level}, {title}, {where}",
        "tar": f"peer: tar --zstd -x, run, rm -rf, against {level}, {title}, {where}",
    }


def compressed_size_rows(subjects, titles):
    """Sizes in bytes, one measurement each."""
    size = os.path.getsize
    rows = [SizeRow(titles["size"], size(subjects.compressed), size(subjects.stored), "stored",
                    COMPRESSED_SIZE_GOAL),
            SizeRow(titles["size highest"], size(subjects.highest), size(subjects.stored), "stored",
                    HIGHEST_LEVEL_SIZE_GOAL)]
    if subjects.makeself_archive:
        rows.append(SizeRow(titles["size makeself"], size(subjects.compressed), size(subjects.makeself_archive),
                            "makeself", COMPRESSED_MAKESELF_SIZE_GOAL))
    else:
        rows.append(SkippedRow(f"{titles['size makeself']} ({subjects.makeself_missing})"))
    return rows


def measure_compressed(args, subjects, tmpdir, titles):
    """The launch row and the peer rows of the compressed launcher, from one
    group of alternating runs. Returns (launch rows, peer rows)."""
    log(f"compressed launcher with TMPDIR={tmpdir}")
    commands = [Command("compressed", [str(subjects.compressed)], tmpdir),
                Command("stored", [str(subjects.stored)], tmpdir),
                Command("tar", [shutil.which("sh"), "-c", TAR_ZSTD_PEER_SCRIPT, str(subjects.tar_archive)], tmpdir)]
    if subjects.makeself_archive:
        commands.append(Command("makeself", [str(subjects.makeself_archive), *MAKESELF_RUN_OPTIONS], tmpdir))
    times = measure(commands, args.pairs)
    launch = [Row(titles["launch"], times["compressed"], times["stored"], "stored", COMPRESSED_LAUNCH_GOAL, "<=")]
    if subjects.makeself_archive:
        peers = [Row(titles["makeself"], times["compressed"], times["makeself"], "makeself", PEER_GOAL, "<")]
    else:
        peers = [SkippedRow(f"{titles['makeself']} ({subjects.makeself_missing})")]
    peers.append(Row(titles["tar"], times["compressed"], times["tar"], "tar", PEER_GOAL, "<"))
    return launch, peers


def compressed_rows(args, mix, run, mix_title):
    """(size rows, launch rows, peer rows) of the compressed launchers, all
    with TMPDIR on tmpfs; each row marked skipped under --skip-compressed."""
    titles = compressed_titles(mix_title, f"TMPDIR on tmpfs ({args.tmpfs_dir})")
    if args.skip_compressed:
        skipped = {key: SkippedRow(f"{title} (--skip-compressed)") for key, title in titles.items()}
        return ([skipped["size"], skipped["size highest"], skipped["size makeself"]], [skipped["launch"]],
                [skipped["makeself"], skipped["tar"]])
    subjects = make_compressed_subjects(args, mix, run)
    sizes = compressed_size_rows(subjects, titles)
    launch, peers = measure_compressed(args, subjects, args.tmpfs_dir, titles)
    return sizes, launch, peers


def frames_rows(args, mix, mix_title, large, large_title, run):
    """The rows of files in frames, TMPDIR on tmpfs: the compressed launches
    of the system files and of the one large file against floor_decode on
    the same launcher, the latter against its stored launch, and the sizes
    against one frame per file (--one-frame-tool)."""
    tmpdir = args.tmpfs_dir
    where = f"TMPDIR on tmpfs ({tmpdir})"
    level = f"--compress (level {DEFAULT_LEVEL})"
    titles = {
        "mix floor": f"launch {mix_title}, {level}, against floor_decode, {where}",
        "large floor": f"launch {large_title}, {level}, against floor_decode, {where}",
        "large stored": f"launch {large_title}, {level} against stored, {where}",
        "size": f"size of a launcher of {mix_title}, {level}: frames of 8 MiB against one frame per file",
        "size highest": f"size of a launcher of {mix_title}, --compress={HIGHEST_LEVEL}: frames of 8 MiB "
                        "against one frame per file",
    }
    if args.skip_compressed:
        return [SkippedRow(f"{title} (--skip-compressed)") for title in titles.values()]
    log("packing the launchers of the frames rows")
    mix_compressed = run / "frames-system-files"
    pack(args, mix, mix_compressed, "app", ["--compress"])
    large_stored = run / "frames-large-stored"
    pack(args, large, large_stored, "app")
    large_compressed = run / "frames-large"
    pack(args, large, large_compressed, "app", ["--compress"])
    for launcher, app in ((mix_compressed, mix), (large_compressed, large)):
        check_floor_output(args, launcher, app, tmpdir, args.floor_decode)

    log(f"frames rows with TMPDIR={tmpdir}")
    times = measure([Command("mix", [str(mix_compressed)], tmpdir),
                     Command("mix floor", [str(args.floor_decode), str(mix_compressed)], tmpdir)], args.pairs)
    rows = [Row(titles["mix floor"], times["mix"], times["mix floor"], "floor", DECODE_FLOOR_GOAL, "<=")]
    times = measure([Command("large", [str(large_compressed)], tmpdir),
                     Command("large floor", [str(args.floor_decode), str(large_compressed)], tmpdir),
                     Command("large stored", [str(large_stored)], tmpdir)], args.pairs)
    rows.append(Row(titles["large floor"], times["large"], times["large floor"], "floor", DECODE_FLOOR_GOAL, "<="))
    rows.append(Row(titles["large stored"], times["large"], times["large stored"], "stored", ONE_LARGE_FILE_GOAL,
                    "<="))

    if args.one_frame_tool is None:
        rows += [SkippedRow(f"{titles[key]} (no --one-frame-tool)") for key in ("size", "size highest")]
        return rows
    for key, level_option in (("size", "--compress"), ("size highest", f"--compress={HIGHEST_LEVEL}")):
        ours = run / f"frames-size-{key.replace(' ', '-')}"
        one_frame = run / f"one-frame-size-{key.replace(' ', '-')}"
        pack(args, mix, ours, "app", [level_option])
        subprocess.run([str(args.one_frame_tool), "pack", str(mix), "-o", str(one_frame), "--main", "app",
                        level_option], check=True)
        rows.append(SizeRow(titles[key], os.path.getsize(ours), os.path.getsize(one_frame), "one frame",
                            FRAMES_SIZE_GOAL))
    return rows


RECLAIMED_TREES = 10
# The template of the reclaim row's launchers: the default one's shape under
# a name of its own, so that the trees left on purpose are not reported as
# left behind.
RECLAIM_TEMPLATE = "{TEMP}/reclaim_{PID}_{TIME_US}_{RANDOM}"


def gone_pid():
    """The process id of a process that has ended and been reaped."""
    process = subprocess.Popen(["true"])
    process.wait()
    return process.pid


def measure_reclaim(args, app, run, tmpdir, kind, size):
    """A launch that reclaims RECLAIMED_TREES abandoned trees of the
    workload against one that finds none, each in a TMPDIR of its own below
    `tmpdir`. The trees are made before every run of the first, untimed."""
    title = f"launch that reclaims {RECLAIMED_TREES} abandoned trees ({size} each), TMPDIR on {kind}"
    if not args.hook_stub.exists():
        log(f"{args.hook_stub} is not built: the reclaim row is skipped")
        return [SkippedRow(title)]
    log(f"reclaim with TMPDIR={tmpdir}")
    launcher = run / "reclaim-launcher"
    pack(args, app, launcher, "app", ["--stub", str(args.hook_stub), "--template", RECLAIM_TEMPLATE])
    some = Path(tempfile.mkdtemp(prefix="bench_reclaim_some.", dir=tmpdir))
    none = Path(tempfile.mkdtemp(prefix="bench_reclaim_none.", dir=tmpdir))
    variables = {"ONEFILE_HOOK_CLOCK_AHEAD": "120"}
    removed = []

    def clear_trees():
        left = os.listdir(some)
        removed.append(RECLAIMED_TREES - len(left))
        for name in left:
            shutil.rmtree(some / name)

    def leave_trees():
        clear_trees()
        for index in range(RECLAIMED_TREES):
            tree = some / f"reclaim_{gone_pid()}_000000_abandoned{index:02d}"
            subprocess.run(["cp", "-a", str(app), str(tree)], check=True)
            os.setxattr(tree, "user.onefile.run", b"1")
            os.chmod(tree, 0o700)

    try:
        commands = [Command("reclaiming", [str(launcher)], str(some), before=leave_trees, variables=variables),
                    Command("none", [str(launcher)], str(none), variables=variables)]
        times = measure(commands, args.pairs)
        clear_trees()
    finally:
        shutil.rmtree(some, ignore_errors=True)
        shutil.rmtree(none, ignore_errors=True)
    # The first count is of the empty directory, before any run.
    log(f"trees reclaimed per run: {sorted(removed[1:])}")
    return [Row(title, times["reclaiming"], times["none"], "finding none")]


def measure_all(args, app, run, size, tree, tree_title, mix, mix_title, large, large_title):
    """Every row, in the table's order. Start-up and the second starts with
    --reuse are measured first, while the disk is quiet: the launch rows
    leave the file system busy with the removal of hundreds of megabytes."""
    subjects = make_subjects(args, app, tree, run)
    places = (("tmpfs", args.tmpfs_dir), ("disk", args.disk_dir))
    groups = args.only
    startup = [row for kind, tmpdir in places for row in measure_startup(args, subjects, tmpdir, kind)
               if "startup" in groups]
    reuse = []
    if "reuse" in groups:
        reuse = [row for kind, tmpdir in places
                 for row in measure_reuse_second_start(args, subjects, tmpdir, kind, size, app)]
        reuse += measure_reuse_tree(args, subjects, args.tmpfs_dir, "tmpfs", tree_title, tree)
        reuse += measure_reuse_first_start(args, subjects, args.tmpfs_dir, "tmpfs", size)
        reuse += check_concurrent_first_starts(args, subjects, args.tmpfs_dir, "tmpfs", tree_title)
    launch, peers = [], []
    for kind, tmpdir in places:
        if "launch" not in groups:
            break
        launch_rows, peer_rows = measure_launch(args, subjects, tmpdir, kind, size)
        launch += launch_rows
        peers += peer_rows
    small_files = [row for kind, tmpdir in places if "small-files" in groups
                   for row in measure_small_files(args, subjects, tmpdir, kind, tree_title)]
    sizes, compressed_launch, compressed_peers = [], [], []
    if "compressed" in groups:
        sizes, compressed_launch, compressed_peers = compressed_rows(args, mix, run, mix_title)
    packing = []
    if "packing" in groups:
        packing = measure_packing(args, app, run, subjects, size)
        packing += measure_parallel_packing(args, mix, run, mix_title)
    memory = measure_memory(args, app, run, size) if "memory" in groups else []
    reclaim = measure_reclaim(args, app, run, args.disk_dir, "disk", size) if "reclaim" in groups else []
    frames = frames_rows(args, mix, mix_title, large, large_title, run) if "frames" in groups else []
    return (launch + small_files + compressed_launch + startup + reuse + packing + sizes + peers
            + compressed_peers + reclaim + memory + frames)


if __name__ == "__main__":
    main()
