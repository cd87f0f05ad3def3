#!/usr/bin/env python3
"""Tests of build/install-deps against a fake package system: stub `dpkg`,
`dpkg-query` and `apt-get` commands first on PATH. They record every call,
keep the installed packages in a file of the test's own, and answer as apt
does when a package to install conflicts with an installed one: a simulation
(-s) lists the removals as `Remv` lines; a real install removes them, or
with --no-remove refuses with apt's own message and status 100. Nothing on
this machine is installed or removed.

The script runs in a user namespace, mapped to root for the cases that
install and unmapped (an ordinary user id) for the others, so both paths are
taken whoever runs the test.

Run by CTest as `install_deps_test.py SCRIPT`. Exit status 0 when every case
passes, 1 when one fails, 77 when user namespaces are refused here (the
reason is printed).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77

# One conflict as Debian 12 has it: each aarch64 cross compiler conflicts
# with gcc-multilib, and g++-multilib depends on gcc-multilib.
MULTILIB = ["gcc-multilib", "g++-multilib"]
CONFLICTS = {"gcc-aarch64-linux-gnu": MULTILIB, "g++-aarch64-linux-gnu": MULTILIB}

STUBS = {
    "dpkg": r"""#!/bin/sh
printf '%s\n' "dpkg $*" >>"$FAKE_DIR/calls"
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$FAKE_DIR/foreign" ;;
  --add-architecture) echo "$2" >>"$FAKE_DIR/foreign" ;;
  *) exit 2 ;;
esac
""",
    "dpkg-query": r"""#!/bin/sh
printf '%s\n' "dpkg-query $*" >>"$FAKE_DIR/calls"
# As -f '${db:Status-Abbrev} ${binary:Package}\n' prints them: installed
# packages, and removed ones whose configuration files are left.
sed 's/^/ii  /' "$FAKE_DIR/installed"
sed 's/^/rc  /' "$FAKE_DIR/residual"
""",
    "apt-get": r"""#!/bin/sh
printf '%s\n' "apt-get $*" >>"$FAKE_DIR/calls"
if [ "$1" = update ]; then
  echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
  exit 0
fi
simulate=false no_remove=false packages=
for word; do
  case $word in
    -s) simulate=true ;;
    --no-remove) no_remove=true ;;
    install|-*) ;;
    *) packages="$packages $word" ;;
  esac
done
for package in $packages; do
  if grep -qx "$package" "$FAKE_DIR/unavailable"; then
    echo "E: Unable to locate package $package" >&2
    exit 100
  fi
done
removed=$(for package in $packages; do
            awk -v p="$package" '$1 == p { for (i = 2; i <= NF; i++) print $i }' "$FAKE_DIR/conflicts"
          done | awk '!seen[$0]++' | grep -xF -f "$FAKE_DIR/installed")
if $simulate; then
  for package in $removed; do echo "Remv $package [4:12.2.0-3]"; done
  for package in $packages; do echo "Inst $package (1.0 Debian:12 [amd64])"; done
  exit 0
fi
if [ -n "$removed" ]; then
  echo "The following packages will be REMOVED:"
  echo "  "$removed
  if $no_remove; then
    echo "E: Packages need to be removed but remove is disabled." >&2
    exit 100
  fi
fi
for package in $removed; do
  echo "Removing $package (4:12.2.0-3) ..."
  grep -vx "$package" "$FAKE_DIR/installed" >"$FAKE_DIR/installed.new"
  mv "$FAKE_DIR/installed.new" "$FAKE_DIR/installed"
done
for package in $packages; do
  echo "Setting up $package (1.0) ..."
  echo "$package" >>"$FAKE_DIR/installed"
done
""",
}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class FakeSystem:
    """The stubs, and the state they keep, in a directory of its own."""

    def __init__(self, directory, installed, foreign, residual=(), unavailable=()):
        self.directory = directory
        bin_dir = os.path.join(directory, "bin")
        os.makedirs(bin_dir)
        for name, text in STUBS.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as file:
                file.write(text)
            os.chmod(path, 0o755)
        self._write("installed", installed)
        self._write("foreign", foreign)
        self._write("residual", residual)
        self._write("unavailable", unavailable)
        self._write("conflicts", [" ".join([package, *removed]) for package, removed in CONFLICTS.items()])
        self._write("calls", [])
        self.path = bin_dir + os.pathsep + os.environ["PATH"]

    def _write(self, name, lines):
        with open(os.path.join(self.directory, name), "w") as file:
            file.writelines(line + "\n" for line in lines)

    def read(self, name):
        with open(os.path.join(self.directory, name)) as file:
            return file.read().splitlines()

    def run(self, script, as_root):
        """The script's exit status and everything it and the stubs printed."""
        namespace = ["unshare", "--user", "--map-root-user"] if as_root else ["unshare", "--user"]
        environment = dict(os.environ, PATH=self.path, FAKE_DIR=self.directory)
        result = subprocess.run([*namespace, script], env=environment, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, timeout=60)
        return result.returncode, result.stdout


def all_packages(script, workspace):
    """The packages the script asks for, from its message on a system that has none."""
    fake = FakeSystem(os.path.join(workspace, "none"), installed=[], foreign=[])
    status, output = fake.run(script, as_root=False)
    match = re.search(r"missing Debian packages: (.*?)(?: \(and the architecture|\n)", output)
    check(status == 1 and match, f"with nothing installed the script said ({status}):\n{output}")
    return match.group(1).split()


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} SCRIPT", file=sys.stderr)
        return 2
    script = os.path.abspath(sys.argv[1])
    probe = subprocess.run(["unshare", "--user", "--map-root-user", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        print(f"SKIPPED: user namespaces are refused here (unshare: {probe.stderr.strip()})")
        return SKIPPED

    install = "apt-get install -y --no-remove --no-install-recommends"
    cross = ["gcc-aarch64-linux-gnu", "g++-aarch64-linux-gnu"]
    arm64 = ["musl-dev:arm64", "libzstd-dev:arm64"]
    # label, as root, missing, arm64 known, installed besides ours, unavailable,
    # whether it fails, lines the output holds (None: it is empty), calls that
    # change something, in order.
    cases = [
        ("nothing missing, as root", True, [], True, MULTILIB, [], False, None, []),
        ("nothing missing, as a user", False, [], True, [], [], False, None, []),
        ("a package missing, as a user", False, ["hyperfine"], True, [], [], True,
         ["install-deps: missing Debian packages: hyperfine",
          f"install-deps: as root, run:  apt-get update && {install} hyperfine"], []),
        ("arm64 unknown, as a user", False, arm64, False, [], [], True,
         ["install-deps: missing Debian packages: musl-dev:arm64 libzstd-dev:arm64 "
          "(and the architecture arm64)",
          f"install-deps: as root, run:  dpkg --add-architecture arm64 && apt-get update && "
          f"{install} musl-dev:arm64 libzstd-dev:arm64"], []),
        ("packages missing, as root", True, ["hyperfine", "zstd"], True, [], [], False,
         ["install-deps: installing hyperfine zstd", "Setting up hyperfine (1.0) ...",
          "Setting up zstd (1.0) ..."],
         ["apt-get update", "apt-get install hyperfine zstd"]),
        ("arm64 unknown, as root", True, arm64, False, [], [], False,
         ["Setting up musl-dev:arm64 (1.0) ..."],
         ["dpkg --add-architecture arm64", "apt-get update", "apt-get install musl-dev:arm64 libzstd-dev:arm64"]),
        ("cross compilers that conflict with what is installed, as root", True, [*cross, "hyperfine"], True,
         MULTILIB, [], True,
         ["The following packages will be REMOVED:",
          "E: Packages need to be removed but remove is disabled.",
          "install-deps: apt would remove the installed packages gcc-multilib g++-multilib "
          "to install gcc-aarch64-linux-gnu g++-aarch64-linux-gnu",
          "install-deps:   apt-get remove gcc-multilib g++-multilib",
          f"install-deps:   {install} hyperfine"],
         ["apt-get update", "apt-get install gcc-aarch64-linux-gnu g++-aarch64-linux-gnu hyperfine"]),
        ("the cross compilers alone, as root", True, cross, True, MULTILIB, [], True,
         ["install-deps:   apt-get remove gcc-multilib g++-multilib"],
         ["apt-get update", "apt-get install gcc-aarch64-linux-gnu g++-aarch64-linux-gnu"]),
        ("a package apt cannot find, as root", True, ["hyperfine"], True, [], ["hyperfine"], True,
         ["E: Unable to locate package hyperfine"],
         ["apt-get update", "apt-get install hyperfine"]),
    ]

    workspace = tempfile.mkdtemp(prefix="onefile-install-deps-")
    failures = []
    try:
        packages = all_packages(script, workspace)
        for index, (label, as_root, missing, arm64_known, others, unavailable, fails, lines,
                    calls) in enumerate(cases):
            try:
                check(set(missing) <= set(packages), f"the script does not ask for {missing}")
                installed = [p for p in packages if p not in missing] + others
                fake = FakeSystem(os.path.join(workspace, str(index)), installed,
                                  ["arm64"] if arm64_known else [], missing, unavailable)
                got_status, output = fake.run(script, as_root)
                check((got_status != 0) == fails,
                      f"exit status {got_status}, expected {'failure' if fails else 0}; output:\n{output}")
                if lines is None:
                    check(output == "", f"printed:\n{output}")
                for line in lines or []:
                    check(line in output.splitlines(), f"no line {line!r} in:\n{output}")
                # Every call that changes something, in order, with apt's options
                # left out; simulations and the queries change nothing. Each
                # install forbids removals.
                made = [call.split() for call in fake.read("calls")
                        if not call.startswith(("dpkg-query ", "dpkg --print-")) and " -s " not in call + " "]
                plain = [" ".join(w for w in words if words[0] != "apt-get" or not w.startswith("-"))
                         for words in made]
                check(plain == calls, f"calls {plain}, expected {calls}")
                for words in made:
                    check(words[:2] != ["apt-get", "install"] or "--no-remove" in words,
                          f"apt may remove packages: {' '.join(words)}")
                # Whatever happened, nothing that was installed has gone.
                gone = set(installed) - set(fake.read("installed"))
                check(not gone, f"removed {sorted(gone)}; output:\n{output}")
                # Removals are spoken of only where a missing package conflicts,
                # and the rest offered only when there is a rest.
                conflicting = [p for p in missing if p in CONFLICTS]
                rest = [p for p in missing if p not in CONFLICTS]
                check(("would remove" in output) == bool(conflicting), f"on removals:\n{output}")
                check(("install the rest" in output) == bool(conflicting and rest), f"on the rest:\n{output}")
            except (Failure, subprocess.TimeoutExpired) as failure:
                failures.append(f"{label}: {failure}")
    except Failure as failure:
        failures.append(str(failure))
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
