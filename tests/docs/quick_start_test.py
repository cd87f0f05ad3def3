#!/usr/bin/env python3
"""Runs the README's quick start as written, with the build's own tool.

Usage: quick_start_test.py README TOOL

The commands are the lines of the fenced block between the quick-start
markers of README. They run one by one through `sh -c` in a scratch
directory that holds `myapp`, a small application of the test's own whose
program `bin/tool` prints its arguments and a data file it finds from its own
path. TOOL's directory comes first on PATH, and TMPDIR and the cache are
inside the scratch directory. After each `onefile pack` line the launcher
runs once; after each run of the launcher its output must be what
`myapp/bin/tool` prints for the same arguments, and `onefile info --json`
must show the --reuse and --compress the pack line asked for."""
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

BEGIN, END = "<!-- quick-start:begin -->", "<!-- quick-start:end -->"

TOOL_SCRIPT = """#!/bin/sh
here=${0%/*}
printf 'args:'
for arg in "$@"; do printf ' [%s]' "$arg"; done
printf '\\n'
cat "$here/../share/greeting.txt"
"""


def fail(message):
    print(f"quick_start_test: {message}", file=sys.stderr)
    sys.exit(1)


def quick_start_commands(readme):
    text = open(readme).read()
    if text.count(BEGIN) != 1 or text.count(END) != 1:
        fail(f"{readme}: expected one {BEGIN} ... {END} pair")
    block = text.split(BEGIN, 1)[1].split(END, 1)[0]
    fenced = re.fullmatch(r"\s*```[a-z]*\n(.*?)```\s*", block, flags=re.S)
    if fenced is None:
        fail(f"{readme}: the quick start markers hold no single fenced block:\n{block}")
    commands = []
    for line in fenced.group(1).replace("\\\n", " ").split("\n"):
        if line.strip() and not line.lstrip().startswith("#"):
            commands.append(line.strip())
    return commands


def make_app(work):
    os.makedirs(os.path.join(work, "myapp", "bin"))
    os.makedirs(os.path.join(work, "myapp", "share"))
    program = os.path.join(work, "myapp", "bin", "tool")
    with open(program, "w") as file:
        file.write(TOOL_SCRIPT)
    os.chmod(program, 0o755)
    with open(os.path.join(work, "myapp", "share", "greeting.txt"), "w") as file:
        file.write("hello from myapp's data\n")
    return program


def run(command, work, env):
    result = subprocess.run(["sh", "-c", command], cwd=work, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    if result.returncode != 0:
        fail(f"`{command}` exited {result.returncode}\nstdout: {result.stdout}\nstderr: {result.stderr}")
    return result


def main():
    readme, tool = sys.argv[1], os.path.abspath(sys.argv[2])
    commands = quick_start_commands(readme)
    packs = [c for c in commands if shlex.split(c, comments=True)[:2] == ["onefile", "pack"]]
    runs = [c for c in commands if shlex.split(c, comments=True)[0].startswith("./")]
    if not packs or not runs:
        fail(f"the quick start should pack and run a launcher; its commands: {commands}")

    with tempfile.TemporaryDirectory() as work:
        program = make_app(work)
        for place in ("tmp", "home", "cache"):
            os.mkdir(os.path.join(work, place))
        env = dict(os.environ)
        env.update(PATH=os.path.dirname(tool) + os.pathsep + env.get("PATH", ""),
                   TMPDIR=os.path.join(work, "tmp"), HOME=os.path.join(work, "home"),
                   XDG_CACHE_HOME=os.path.join(work, "cache"))
        launcher_run = runs[0]
        for index, command in enumerate(commands):
            words = shlex.split(command, comments=True)
            if words[:2] == ["onefile", "pack"]:
                run(command, work, env)
                check_info(command, words, work, env)
                # Every launcher the quick start makes runs as its run line says.
                following = commands[index + 1] if index + 1 < len(commands) else None
                if following not in runs:
                    check_run(launcher_run, program, work, env)
            elif command in runs:
                check_run(command, program, work, env)
            else:
                run(command, work, env)
        kept = os.listdir(os.path.join(work, "cache", "onefile")) if os.path.isdir(
            os.path.join(work, "cache", "onefile")) else []
        if any("--reuse" in shlex.split(c, comments=True) for c in packs) and not kept:
            fail("a launcher packed with --reuse ran, but kept nothing in the cache")
    print(f"quick_start_test: ran {len(commands)} commands of the quick start")


def check_info(command, words, work, env):
    output = words[words.index("-o") + 1]
    info = json.loads(run(f"onefile info --json {shlex.quote(output)}", work, env).stdout)
    if info["reuse"] != ("--reuse" in words):
        fail(f"`{command}`: info says reuse is {info['reuse']}")
    compressed = any(word == "--compress" or word.startswith("--compress=") for word in words)
    if (info["compression"] is not None) != compressed:
        fail(f"`{command}`: info says compression is {info['compression']}")


def check_run(command, program, work, env):
    words = shlex.split(command, comments=True)
    expected = subprocess.run([program] + words[1:], stdout=subprocess.PIPE, text=True).stdout
    result = run(command, work, env)
    if result.stdout != expected:
        fail(f"`{command}` printed {result.stdout!r}; myapp/bin/tool prints {expected!r}")
    left = os.listdir(env["TMPDIR"])
    if left:
        fail(f"`{command}` left {left} in TMPDIR")


if __name__ == "__main__":
    main()
