#!/usr/bin/env python3
"""Tests of the installed onefile: `cmake --install` of this build into a fresh
temporary prefix, then the tool, the manual page, the bash completion, the
CMake package (with examples/cmake_launcher) and the CPack packages as a user
gets them.

Run by CTest as `package_test.py CASE`; the environment names the build
(ONEFILE_BUILD_DIR, ONEFILE_SOURCE_DIR, ONEFILE_VERSION, ONEFILE_CMAKE,
ONEFILE_CPACK, ONEFILE_NINJA). Exit status 0 when the case passes, 1 when it
fails, 77 when it is skipped (the reason is printed).
"""

import json
import os
import platform
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tarfile
import tempfile
import time

BUILD_DIR = os.environ["ONEFILE_BUILD_DIR"]
SOURCE_DIR = os.environ["ONEFILE_SOURCE_DIR"]
VERSION = os.environ["ONEFILE_VERSION"]
CMAKE = os.environ["ONEFILE_CMAKE"]
CPACK = os.environ["ONEFILE_CPACK"]
NINJA = os.environ["ONEFILE_NINJA"]

SKIPPED = 77

# What `cmake --install` lays out, with each file's mode.
INSTALLED_FILES = {
    "bin/onefile": 0o755,
    "share/man/man1/onefile.1": 0o644,
    "share/bash-completion/completions/onefile": 0o644,
    "lib/cmake/onefile/onefileConfig.cmake": 0o644,
    "lib/cmake/onefile/onefileConfigVersion.cmake": 0o644,
    "lib/cmake/onefile/onefile_add_launcher.cmake": 0o644,
    "lib/cmake/onefile/onefile_launcher_depfile.cmake": 0o644,
}


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(args, **options):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, **options)


def run_ok(args, **options):
    result = run(args, **options)
    if result.returncode != 0:
        raise Failure(f"exit status {result.returncode} from: {shlex.join(str(a) for a in args)}\n"
                      f"{result.stdout}{result.stderr}")
    return result


def run_bounded(args, seconds):
    """run_ok for a command that could run away: after SECONDS it is stopped
    together with every process it started."""
    process = subprocess.Popen([str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise Failure(f"stopped after {seconds} s: {shlex.join(str(a) for a in args)}")
    if process.returncode != 0:
        raise Failure(f"exit status {process.returncode} from: {shlex.join(str(a) for a in args)}\n"
                      f"{stdout}{stderr}")
    return stdout


def install(workspace, name="prefix"):
    prefix = os.path.join(workspace, name)
    run_ok([CMAKE, "--install", BUILD_DIR, "--prefix", prefix])
    return prefix


def tool(prefix):
    return os.path.join(prefix, "bin", "onefile")


def write(path, text, mode=None):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as file:
        file.write(text)
    if mode is not None:
        os.chmod(path, mode)


def configure(source, build, prefix, *extra):
    return run([CMAKE, "-S", source, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={NINJA}",
                f"-DCMAKE_PREFIX_PATH={prefix}", *extra])


def consumer_project(directory, body):
    """A project that finds the installed package and runs BODY."""
    write(os.path.join(directory, "CMakeLists.txt"),
          "cmake_minimum_required(VERSION 3.20)\nproject(consumer NONE)\n" + body)


# The option spellings a help text names: in its usage lines, and at the start
# of its option lines ("  -o, --output OUTPUT", "  --compress[=LEVEL]").
def help_options(text, usage_only=False):
    options = set()
    in_usage = False
    for line in text.splitlines():
        if line.startswith("usage:"):
            in_usage = True
        elif not line.strip():
            in_usage = False
        if in_usage:
            options.update(re.findall(r"(?<![\w-])--?[A-Za-z][\w-]*", line))
        elif usage_only:
            continue
        elif line.startswith("  -"):
            head = re.match(r"  ((?:--?[A-Za-z][\w-]*(?:\[=\w+\])?(?:, )?)+)", line).group(1)
            options.update(re.findall(r"--?[A-Za-z][\w-]*", head))
        elif line.startswith("  onefile "):
            options.update(re.findall(r"(?<![\w-])--[a-z][\w-]*", line))
    return options


def commands_of(tool_path):
    """The commands `onefile --help` lists."""
    text = run_ok([tool_path, "--help"]).stdout
    block = text.split("Commands:\n", 1)[1].split("\n\n", 1)[0]
    return re.findall(r"^  ([a-z]+) ", block, re.MULTILINE)


# ---------------------------------------------------------------------------
# The manual page's source, reduced to text: macro arguments joined as they
# print, font and character escapes replaced by what they show.


def roff_text(text):
    for escape, plain in (("\\-", "-"), ("\\&", ""), ("\\(dq", '"'), ("\\(lq", '"'), ("\\(rq", '"'),
                          ("\\(aq", "'"), ("\\e", "\\")):
        text = text.replace(escape, plain)
    return re.sub(r"\\f[BIRP]", "", text)


def roff_lines(source):
    """(macro, text) per line: macro is '' for a text line."""
    lines = []
    for line in source.splitlines():
        if line.startswith('.\\"'):
            continue
        match = re.match(r"\.([A-Za-z]+)\s*(.*)", line)
        if not match:
            lines.append(("", roff_text(line)))
            continue
        macro, rest = match.groups()
        arguments = [quoted.replace('""', '"') if quoted or bare == "" else bare
                     for quoted, bare in re.findall(r'"((?:[^"]|"")*)"|(\S+)', rest)]
        joiner = "" if len(macro) == 2 and macro in ("BR", "BI", "IR", "IB", "RB", "RI") else " "
        lines.append((macro, roff_text(joiner.join(arguments))))
    return lines


def man_sections(lines):
    """Section heading -> its lines."""
    sections = {}
    current = None
    for macro, text in lines:
        if macro == "SH":
            current = text
            sections[current] = []
        elif current is not None:
            sections[current].append((macro, text))
    return sections


def tagged_items(lines):
    """The tag lines of .TP items."""
    return [lines[i + 1][1] for i, (macro, _) in enumerate(lines[:-1]) if macro == "TP"]


def has_option(text, option):
    return re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", text) is not None


# ---------------------------------------------------------------------------
# The cases.


def test_installed_files(workspace):
    prefix = install(workspace)
    found = set()
    for root, _, files in os.walk(prefix):
        found.update(os.path.relpath(os.path.join(root, name), prefix) for name in files)
    check(found == set(INSTALLED_FILES), f"installed {sorted(found)}, expected {sorted(INSTALLED_FILES)}")
    for path, mode in INSTALLED_FILES.items():
        status = os.lstat(os.path.join(prefix, path))
        check(stat.S_ISREG(status.st_mode), f"{path} is not a regular file")
        check(stat.S_IMODE(status.st_mode) == mode,
              f"{path} has mode {stat.S_IMODE(status.st_mode):o}, expected {mode:o}")

    version = run_ok([tool(prefix), "--version"]).stdout
    check(version == f"onefile {VERSION}\n", f"--version printed {version!r}")

    # The installed tool alone makes a launcher that runs: its stubs are inside it.
    app = os.path.join(workspace, "app")
    write(os.path.join(app, "hello"), "#!/bin/sh\necho \"hello from $0\"\n", 0o755)
    launcher = os.path.join(workspace, "hello")
    run_ok([tool(prefix), "pack", app, "-o", launcher], cwd=workspace)
    tmp = os.path.join(workspace, "tmp")
    os.mkdir(tmp)
    output = run_ok([launcher], env=dict(os.environ, TMPDIR=tmp)).stdout
    check(output.startswith("hello from " + tmp + "/"), f"the launcher printed {output!r}")
    check(os.listdir(tmp) == [], f"the launcher left {os.listdir(tmp)} behind")

    # The package's version file: this version is found, another major is not.
    for wanted, found_expected in ((VERSION, True), (f"{int(VERSION.split('.')[0]) + 1}.0", False)):
        project = os.path.join(workspace, f"find-{wanted}")
        consumer_project(project, f"find_package(onefile {wanted})\n"
                                  "message(STATUS \"onefile found: ${onefile_FOUND} ${onefile_VERSION}\")\n")
        result = configure(project, os.path.join(project, "build"), prefix)
        check(result.returncode == 0, f"find_package(onefile {wanted}) failed:\n{result.stdout}{result.stderr}")
        expected = f"onefile found: 1 {VERSION}" if found_expected else "onefile found: 0"
        check(expected in result.stdout, f"find_package(onefile {wanted}) did not say {expected!r}:\n"
                                         f"{result.stdout}")


def test_manual_page(workspace):
    prefix = install(workspace)
    page = os.path.join(prefix, "share", "man", "man1", "onefile.1")
    with open(page) as file:
        source = file.read()
    check(not re.search(r"@[A-Z_]+@", source), "a configure placeholder is left in the page")
    check(re.search(r'^\.TH ONEFILE 1 .*"onefile ' + re.escape(VERSION) + '"', source, re.MULTILINE),
          "the .TH line does not name this version")

    lines = roff_lines(source)
    sections = man_sections(lines)
    for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "PLACEHOLDERS", "ENVIRONMENT",
                    "SIGNALS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"):
        check(heading in sections, f"no section {heading}")
    described = "\n".join(tagged_items(lines))

    # Every option of every command, as the installed tool's help prints them,
    # is described in an item of its own, and those of its usage line are in
    # its synopsis.
    synopsis = re.split(r"(?=onefile [a-z]+ )", " ".join(text for macro, text in sections["SYNOPSIS"] if text))
    commands = commands_of(tool(prefix))
    check("pack" in commands and "attach" in commands, f"commands parsed from --help: {commands}")
    for command in commands:
        text = run_ok([tool(prefix), command, "--help"]).stdout
        options = help_options(text)
        usage = help_options(text, usage_only=True)
        if command in ("pack", "attach"):
            check({"-o", "--output", "--template"} <= options and {"-o", "--template"} <= usage,
                  f"options parsed from {command} --help: {options}, of its usage: {usage}")
        entry = [text for text in synopsis if text.startswith(f"onefile {command} ")]
        check(len(entry) == 1, f"the synopsis has {len(entry)} entries for {command}")
        for option in sorted(usage):
            check(has_option(entry[0], option), f"{command} {option} is missing from the synopsis: {entry[0]}")
        for option in sorted(options):
            check(has_option(described, option), f"{command} {option} is not described in an item")
        check(any(heading.startswith(f"onefile {command} ") for macro, heading in lines if macro == "SS"),
              f"no subsection for {command}")
    for option in help_options(run_ok([tool(prefix), "--help"]).stdout):
        check(has_option(described, option), f"onefile {option} is not described in an item")

    # The placeholders the tool recognises, and the variables the launch
    # environment's page (docs/launch-environment.md) says the child sees.
    pack_help = run_ok([tool(prefix), "pack", "--help"]).stdout
    placeholders = re.findall(r"\{[A-Z_]+\}", pack_help.split("recognised:", 1)[1].split("\n", 2)[1])
    check(len(placeholders) >= 10, f"placeholders parsed from pack --help: {placeholders}")
    placeholder_items = "\n".join(tagged_items(sections["PLACEHOLDERS"]))
    for placeholder in placeholders:
        check(placeholder in placeholder_items, f"placeholder {placeholder} is not described")
    with open(os.path.join(SOURCE_DIR, "docs", "launch-environment.md")) as file:
        launch_environment = file.read()
    variables = set(re.findall(r"`(TAVMIR_[A-Z0-9_]+)`", launch_environment))
    check(len(variables) >= 6, f"variables parsed from docs/launch-environment.md: {variables}")
    environment_items = "\n".join(tagged_items(sections["ENVIRONMENT"]))
    for variable in sorted(variables):
        check(variable in environment_items, f"{variable} is not described under ENVIRONMENT")
    exit_status = " ".join(text for _, text in sections["EXIT STATUS"])
    for status in ("0", "1", "2", "128+N", "137", "SIGABRT"):
        check(status in tagged_items(sections["EXIT STATUS"]), f"exit status {status} is not described")
    check("verify" in exit_status, "the exit status of verify is not described")

    # It renders without a warning.
    groff = shutil.which("groff")
    if groff is None:
        raise Skip("the page agrees with the tool, but groff is not installed to render it "
                   "(Debian package groff-base)")
    result = run([groff, "-man", "-Tutf8", "-ww", "-z", page])
    check(result.returncode == 0 and result.stderr == "",
          f"groff -man -Tutf8 -ww: status {result.returncode}\n{result.stderr}")


def test_bash_completion(workspace):
    prefix = install(workspace)
    script = os.path.join(prefix, "share", "bash-completion", "completions", "onefile")
    work = os.path.join(workspace, "work")
    write(os.path.join(work, "launcher.bin"), "")
    os.makedirs(os.path.join(work, "lab"))
    write(os.path.join(work, "other"), "")
    write(os.path.join(work, "appdir", "build.sh"), "", 0o755)
    os.makedirs(os.path.join(work, "appdir", "bin"))
    write(os.path.join(work, "appdir", "data.txt"), "")

    # Sources the completion in a plain bash, sets COMP_WORDS and COMP_CWORD as
    # bash would for the command line WORDS (the last is the word being
    # completed) and calls the function `complete -p onefile` names.
    driver = r'''
source "$1" || exit 1
shift
COMP_WORDS=(onefile "$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
registration=$(complete -p onefile) || exit 1
function=${registration##*-F }
function=${function%% *}
"$function" onefile "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
'''

    def complete(*words):
        result = run_ok(["bash", "--norc", "--noprofile", "-c", driver, "bash", script, *words], cwd=work)
        check(result.stderr == "", f"completing {words}: {result.stderr}")
        return set(line for line in result.stdout.splitlines() if line)

    commands = commands_of(tool(prefix))
    cases = [
        (("",), set(commands) | {"--help", "--version"}),
        (("in",), {"info"}),
        (("pack", "app", "--arch", ""), {"x86_64", "aarch64"}),
        (("pack", "app", "--arch", "=", "a"), {"aarch64"}),
        (("pack", "app", "--arch=x"), {"--arch=x86_64"}),
        (("pack", "app", "--compress", "=", "1"), {"1"} | {str(n) for n in range(10, 20)}),
        (("pack", "app", "--product", ""), set()),
        (("list", "l"), {"launcher.bin", "lab"}),
        (("extract", "launcher.bin", "l"), {"lab"}),
        (("pack", "-o", "x", "--template", "t", "appdir", "--main", "b"), {"bin/", "build.sh"}),
        (("attach", "o"), {"other"}),
    ]
    for words, expected in cases:
        got = complete(*words)
        check(got == expected, f"completing onefile {' '.join(words)!r}: {sorted(got)}, expected {sorted(expected)}")

    # The options offered after each command are those its --help names.
    for command in commands:
        options = help_options(run_ok([tool(prefix), command, "--help"]).stdout) | {"--help"}
        got = complete(command, "-")
        check(got == options, f"completing onefile {command} -: {sorted(got)}, expected {sorted(options)}")


def launcher_mtime(path):
    return os.stat(path).st_mtime_ns


def test_example_project(workspace):
    # The installed tree, moved after installing: the package finds the tool
    # relative to itself.
    moved = os.path.join(workspace, "moved")
    os.rename(install(workspace), moved)
    source = os.path.join(workspace, "src")
    shutil.copytree(os.path.join(SOURCE_DIR, "examples", "cmake_launcher"), source)
    build = os.path.join(workspace, "build")
    result = configure(source, build, moved)
    check(result.returncode == 0, f"configuring the example failed:\n{result.stdout}{result.stderr}")
    tmp = os.path.join(workspace, "tmp")
    os.mkdir(tmp)
    launcher = os.path.join(build, "greeter")
    app = os.path.join(build, "app")

    def build_it():
        return run_ok([CMAKE, "--build", build]).stdout

    def packed(output):
        return "Packing the launcher greeter" in output

    def run_launcher(*arguments):
        result = run_ok([launcher, *arguments], env=dict(os.environ, TMPDIR=tmp))
        lines = result.stdout.splitlines()
        directory = lines[-1].removeprefix("(running from ").removesuffix(")")
        check(os.path.dirname(directory) == tmp and os.path.basename(directory).startswith("greeter-1.2_"),
              f"the application ran from {directory!r}")
        check(os.listdir(tmp) == [], f"the launcher left {os.listdir(tmp)} behind")
        return lines[:-1]

    def entries():
        listing = run_ok([tool(moved), "list", launcher]).stdout
        return [line.split("\t")[3] for line in listing.splitlines()]

    check(packed(build_it()), "the first build did not pack the launcher")
    check(run_launcher("Ada", "Grace") == ["Hello, Ada!", "Hello, Grace!"], "the launcher's greeting")
    check(entries() == ["greeter", "greeting.txt"], f"the launcher carries {entries()}")
    info = json.loads(run_ok([tool(moved), "info", "--json", launcher]).stdout)
    check(info["product"] == "greeter" and info["version"] == "1.2" and
          info["template"] == "{TEMP}/{PRODUCT}-{VERSION}_{RANDOM}" and
          info["compression"] == {"codec": "zstd", "level": 9}, f"onefile info: {info}")

    def unchanged_build():
        before = launcher_mtime(launcher)
        output = build_it()
        check(not packed(output) and "no work to do" in output,
              f"a build with nothing changed did this:\n{output}")
        check(launcher_mtime(launcher) == before, "a build with nothing changed rewrote the launcher")

    unchanged_build()

    def edit_greeting():
        write(os.path.join(source, "greeting.txt"), "Howdy\n")

    def touch(path):
        os.utime(path)

    def edit_program():
        with open(os.path.join(source, "greeter.c"), "a") as file:
            file.write("/* edited */\n")

    odd_name = "odd #1 $x.txt"
    changes = [
        ("the data file in the source tree", edit_greeting,
         lambda: check(run_launcher("Ada") == ["Howdy, Ada!"], "the new greeting is not carried")),
        ("a file added to the application directory",
         lambda: write(os.path.join(app, "extra.txt"), "extra\n"),
         lambda: check("extra.txt" in entries(), f"extra.txt is not carried: {entries()}")),
        ("a scratch file the example excludes",
         lambda: write(os.path.join(app, "notes.tmp"), "x\n"),
         lambda: check("notes.tmp" not in entries(), f"notes.tmp is carried: {entries()}")),
        ("a new subdirectory", lambda: write(os.path.join(app, "sub", "deeper", "a.txt"), "a\n"),
         lambda: check("sub/deeper/a.txt" in entries(), f"sub/deeper/a.txt is not carried: {entries()}")),
        ("a file added to that subdirectory", lambda: write(os.path.join(app, "sub", "deeper", "b.txt"), "b\n"),
         lambda: check("sub/deeper/b.txt" in entries(), f"sub/deeper/b.txt is not carried: {entries()}")),
        ("a carried file touched", lambda: touch(os.path.join(app, "extra.txt")), lambda: None),
        ("a name with '#', '$' and spaces", lambda: write(os.path.join(app, odd_name), "odd\n"),
         lambda: check(odd_name in entries(), f"{odd_name!r} is not carried: {entries()}")),
        ("that file modified", lambda: write(os.path.join(app, odd_name), "odder\n"), lambda: None),
        ("a file removed", lambda: os.remove(os.path.join(app, "extra.txt")),
         lambda: check("extra.txt" not in entries(), f"extra.txt is still carried: {entries()}")),
        ("the program's source", edit_program,
         lambda: check(run_launcher() == ["Howdy, world!"], "the rebuilt program does not run")),
        ("the tool", lambda: touch(tool(moved)), lambda: None),
        ("the launcher deleted", lambda: os.remove(launcher), lambda: None),
    ]
    for what, change, verify in changes:
        before = launcher_mtime(launcher) if os.path.exists(launcher) else None
        # File times come from a clock that advances in steps of a few
        # milliseconds: let it pass the stamp of the last pack.
        time.sleep(0.05)
        change()
        output = build_it()
        check(packed(output), f"{what}: the launcher was not packed again:\n{output}")
        check(launcher_mtime(launcher) != before, f"{what}: the launcher was not rewritten")
        verify()
        unchanged_build()


def ninja_pack_command(build, target):
    """The `onefile pack` arguments of TARGET's build rule, as the build runs them."""
    commands = run_ok([NINJA, "-C", build, "-t", "commands", target]).stdout
    for line in commands.splitlines():
        words = shlex.split(line)
        while "&&" in words:
            part, words = words[:words.index("&&")], words[words.index("&&") + 1:]
            if len(part) > 1 and part[1] == "pack":
                return part
        if len(words) > 1 and words[1] == "pack":
            return words
    raise Failure(f"no pack command for {target}:\n{commands}")


def test_launcher_options(workspace):
    prefix = install(workspace)
    project = os.path.join(workspace, "project")
    app = os.path.join(project, "app")
    write(os.path.join(app, "run"), "#!/bin/sh\necho ran\n", 0o755)
    write(os.path.join(app, "data.txt"), "data\n")
    write(os.path.join(app, "debug.log"), "log\n")
    write(os.path.join(app, "cache", "entry"), "cached\n")
    consumer_project(project, """find_package(onefile REQUIRED)
onefile_add_launcher(plain APPDIR app MAIN run)
onefile_add_launcher(everything APPDIR app MAIN run
  TEMPLATE "{TEMP}/x {RANDOM}" "{HOME}/.x_{RANDOM}" PRODUCT "My Product" VERSION 2.0 ARCH aarch64 COMPRESS 5
  EXCLUDE "*.log" "cache/" OUTPUT out/everything.bin)
onefile_add_launcher(kept APPDIR app MAIN run REUSE PRODUCT kept-app EXCLUDE "*.log" "cache/")
onefile_add_launcher(signed APPDIR app MAIN run SIGN_KEY keys/release)
add_subdirectory(sub)
""")
    # The key is made by ssh-keygen, which also signs; without it the
    # launcher cannot be built, and the build below would fail.
    signing = shutil.which("ssh-keygen") is not None
    if signing:
        os.makedirs(os.path.join(project, "keys"))
        run_ok(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(project, "keys", "release")])
    else:
        print("note: no ssh-keygen here (openssh-client): the SIGN_KEY launcher is not built")
    write(os.path.join(project, "sub", "CMakeLists.txt"), "onefile_add_launcher(insub APPDIR ../app MAIN run)\n")
    build = os.path.join(workspace, "build")
    result = configure(project, build, prefix)
    check(result.returncode == 0, f"configuring failed:\n{result.stdout}{result.stderr}")

    tool_path = tool(prefix)
    expected = {
        "plain": [tool_path, "pack", app, "-o", os.path.join(build, "plain"), "--main", "run"],
        "everything": [tool_path, "pack", app, "-o", os.path.join(build, "out", "everything.bin"),
                       "--main", "run", "--template", "{TEMP}/x {RANDOM}", "--template", "{HOME}/.x_{RANDOM}",
                       "--product", "My Product",
                       "--version", "2.0", "--arch", "aarch64", "--compress=5",
                       "--exclude", "*.log", "--exclude", "cache/"],
        "insub": [tool_path, "pack", app, "-o", os.path.join(build, "sub", "insub"), "--main", "run"],
        "kept": [tool_path, "pack", app, "-o", os.path.join(build, "kept"), "--main", "run", "--product", "kept-app",
                 "--reuse", "--exclude", "*.log", "--exclude", "cache/"],
        "signed": [tool_path, "pack", app, "-o", os.path.join(build, "signed"), "--main", "run",
                   "--sign", os.path.join(project, "keys", "release")],
    }
    for target, arguments in expected.items():
        got = ninja_pack_command(build, target)
        check(got == arguments, f"{target} packs with {got}, expected {arguments}")

    # The same launchers, made by the build.
    run_ok([CMAKE, "--build", build] + ([] if signing else ["--target", "plain", "everything", "kept", "insub"]))
    if signing:
        info = json.loads(run_ok([tool_path, "info", "--json", os.path.join(build, "signed")]).stdout)
        check(info["signature"] is not None and info["signature"]["key_type"] == "ssh-ed25519",
              f"onefile info of the SIGN_KEY launcher: {info}")
    tmp = os.path.join(workspace, "tmp")
    os.mkdir(tmp)
    for launcher in ("plain", "sub/insub"):
        output = run_ok([os.path.join(build, launcher)], env=dict(os.environ, TMPDIR=tmp)).stdout
        check(output == "ran\n", f"{launcher} printed {output!r}")
    everything = os.path.join(build, "out", "everything.bin")
    info = json.loads(run_ok([tool_path, "info", "--json", everything]).stdout)
    check(info["arch"] == "aarch64" and info["product"] == "My Product" and info["version"] == "2.0" and
          info["template"] == "{TEMP}/x {RANDOM}" and info["fallback_templates"] == ["{HOME}/.x_{RANDOM}"] and
          info["compression"] == {"codec": "zstd", "level": 5},
          f"onefile info: {info}")
    names = [line.split("\t")[3] for line in run_ok([tool_path, "list", everything]).stdout.splitlines()]
    check(names == ["run", "data.txt"], f"everything.bin carries {names}")
    kept = os.path.join(build, "kept")
    info = json.loads(run_ok([tool_path, "info", "--json", kept]).stdout)
    check(info["reuse"] is True and info["template"] == "{CACHE_DIR}/onefile/kept-app", f"onefile info: {info}")
    cache = os.path.join(workspace, "cache")
    for _ in range(2):
        output = run_ok([kept], env=dict(os.environ, TMPDIR=tmp, XDG_CACHE_HOME=cache)).stdout
        check(output == "ran\n", f"kept printed {output!r}")
    # The holding directory the launcher made carries its mark beside the tree.
    kept_trees = [name for name in os.listdir(os.path.join(cache, "onefile", "kept-app"))
                  if name != ".onefile-holding"]
    check(kept_trees == [info["digest"][:16]], f"kept keeps {kept_trees}")


def test_appdir_links(workspace):
    # Links below APPDIR are carried as links. Working out what the launcher
    # depends on enters none of them and names none of them: nothing outside
    # APPDIR becomes a dependency, and a link that leads nowhere does not make
    # every build pack again. A link made, replaced or removed changes the
    # time of its directory, which is a dependency.
    prefix = install(workspace)
    project = os.path.join(workspace, "project")
    app = os.path.join(project, "app")
    outside = os.path.join(workspace, "outside")
    write(os.path.join(app, "run"), "#!/bin/sh\necho ran\n", 0o755)
    write(os.path.join(app, "sub", "data.txt"), "data\n")
    write(os.path.join(outside, "deep", "file.txt"), "outside\n")
    links = {
        "outside": outside,  # a directory outside APPDIR
        "root": "/",  # the whole machine
        "sub/self": ".",  # a loop through a directory
        "loop1": "loop2",  # a loop that leads nowhere
        "loop2": "loop1",
        "dangling": "nowhere",
    }
    for name, target in links.items():
        os.symlink(target, os.path.join(app, name))
    consumer_project(project, "find_package(onefile REQUIRED)\nonefile_add_launcher(linked APPDIR app MAIN run)\n")
    build = os.path.join(workspace, "build")
    result = configure(project, build, prefix)
    check(result.returncode == 0, f"configuring failed:\n{result.stdout}{result.stderr}")
    launcher = os.path.join(build, "linked")
    depfile = os.path.join(build, "CMakeFiles", "onefile_add_launcher", "linked.d")

    def build_it():
        # Packing this directory takes well under a second; a build that
        # walks through the link to / would go on for many minutes.
        output = run_bounded([CMAKE, "--build", build], 60)
        return "Packing the launcher linked" in output, output

    def carried_links():
        listing = run_ok([tool(prefix), "list", launcher]).stdout
        fields = [line.split("\t") for line in listing.splitlines()]
        return {name: text for kind, _, text, name in fields if kind == "link"}

    def dependencies():
        with open(depfile) as file:
            text = file.read().replace("\\\n", " ")
        words = [word.replace("\\ ", " ") for word in re.split(r"(?<!\\)\s+", text) if word]
        check(words and words[0].endswith(".stamp:"), f"the depfile starts with {words[:1]}")
        # Paths that the depfile cannot hold as they are, the launcher among
        # them, are named through links beside the stamp.
        return {os.readlink(path) if os.path.dirname(path).endswith(".stamp.links") else path
                for path in words[1:]}

    check(build_it()[0], "the first build did not pack the launcher")
    check(carried_links() == links, f"the launcher carries the links {carried_links()}, expected {links}")
    expected = {app, *(os.path.join(app, name) for name in ("run", "sub", "sub/data.txt")), launcher}
    check(dependencies() == expected,
          f"the launcher depends on {sorted(dependencies())}, expected {sorted(expected)}")

    def relink(name, target):
        # As `ln -sfn` does it: a new link renamed over the old one.
        path = os.path.join(app, name)
        os.symlink(target, path + ".new")
        os.replace(path + ".new", path)
        links[name] = target

    def unlink(name):
        os.remove(os.path.join(app, name))
        del links[name]

    changes = [
        ("a file behind the outside link modified",
         lambda: write(os.path.join(outside, "deep", "file.txt"), "changed\n"), False),
        ("a file added behind the outside link",
         lambda: write(os.path.join(outside, "deep", "new.txt"), "new\n"), False),
        ("nothing", lambda: None, False),
        ("the outside link pointed elsewhere", lambda: relink("outside", os.path.join(outside, "deep")), True),
        ("the dangling link pointed elsewhere", lambda: relink("dangling", "elsewhere"), True),
        ("a link in the looping subdirectory added", lambda: relink("sub/up", ".."), True),
        ("a link removed", lambda: unlink("loop2"), True),
    ]
    for what, change, repack in changes:
        time.sleep(0.05)  # past the stamp's time, as in test_example_project
        change()
        packed, output = build_it()
        check(packed == repack, f"{what}: the launcher was {'' if packed else 'not '}packed again:\n{output}")
        check(carried_links() == links, f"{what}: the launcher carries {carried_links()}, expected {links}")
        check(dependencies() == expected, f"{what}: the launcher depends on {sorted(dependencies())}")


def test_argument_errors(workspace):
    prefix = install(workspace)
    cases = [
        ("NAME missing", "onefile_add_launcher(APPDIR app MAIN run)",
         r"onefile_add_launcher: NAME missing"),
        ("no arguments", "onefile_add_launcher()", r"onefile_add_launcher: NAME missing"),
        ("APPDIR missing", "onefile_add_launcher(l MAIN run)", r"onefile_add_launcher\(l\): APPDIR missing"),
        ("MAIN missing", "onefile_add_launcher(l APPDIR app)", r"onefile_add_launcher\(l\): MAIN missing"),
        ("MAIN without a value", "onefile_add_launcher(l APPDIR app MAIN)",
         r"onefile_add_launcher\(l\): MAIN given without a value"),
        ("unknown keyword", "onefile_add_launcher(l APPDIR app MAIN run COMPRES 3)",
         r"onefile_add_launcher\(l\): unknown argument\(s\) COMPRES 3"),
        ("DEPENDS on no target", "onefile_add_launcher(l APPDIR app MAIN run DEPENDS no_such_target)",
         r'dependency target "no_such_target" of target "l" does not exist'),
        ("all present", "onefile_add_launcher(l APPDIR app MAIN run)", None),
    ]
    for label, call, message in cases:
        project = os.path.join(workspace, re.sub(r"\W+", "_", label))
        consumer_project(project, f"find_package(onefile REQUIRED)\n{call}\n")
        result = configure(project, os.path.join(project, "build"), prefix)
        output = re.sub(r"\s+", " ", result.stdout + result.stderr)
        if message is None:
            check(result.returncode == 0, f"{label}: configuring failed:\n{result.stderr}")
        else:
            check(result.returncode != 0, f"{label}: configuring succeeded")
            check(re.search(message, output), f"{label}: no {message!r} in:\n{result.stderr}")


def check_packages(packages, name, architecture):
    """The .tar.gz and the .deb called NAME in PACKAGES hold the installed
    files with their modes, and the .deb's fields say ARCHITECTURE; returns
    the .deb's path."""
    with tarfile.open(os.path.join(packages, name + ".tar.gz")) as archive:
        members = {member.name: member for member in archive.getmembers() if member.isfile()}
    expected = {f"{name}/{path}": mode for path, mode in INSTALLED_FILES.items()}
    check(set(members) == set(expected), f"the .tar.gz holds {sorted(members)}, expected {sorted(expected)}")
    for path, mode in expected.items():
        check(members[path].mode == mode, f"{path} in the .tar.gz has mode {members[path].mode:o}")

    deb = os.path.join(packages, name + ".deb")
    with open(deb, "rb") as file:
        check(file.read(8) == b"!<arch>\n", f"{deb} is not an ar archive")
    dpkg_deb = shutil.which("dpkg-deb")
    if dpkg_deb is None:
        print("The .deb's contents and fields are not checked: dpkg-deb is not installed.")
        return deb
    listing = run_ok([dpkg_deb, "-c", deb]).stdout
    files = {}
    for line in listing.splitlines():
        fields = line.split()
        if fields[0].startswith("-"):
            files[fields[-1]] = fields[0]
    expected = {f"./usr/{path}": mode for path, mode in INSTALLED_FILES.items()}
    check(set(files) == set(expected), f"the .deb holds {sorted(files)}, expected {sorted(expected)}")
    for path, mode in expected.items():
        wanted = "-" + stat.filemode(mode)[1:]
        check(files[path] == wanted, f"{path} in the .deb has mode {files[path]}, expected {wanted}")

    def field(name):
        return run_ok([dpkg_deb, "-f", deb, name]).stdout.strip()

    check(field("Package") == "onefile", "Package")
    check(field("Version") == VERSION, f"Version {field('Version')}")
    check(field("Architecture") == architecture, f"Architecture {field('Architecture')}")
    check(field("Section") == "devel", f"Section {field('Section')}")
    check(re.fullmatch(r".+ <[^@\s]+@[^@\s]+>", field("Maintainer")), f"Maintainer {field('Maintainer')}")
    check(field("Description").startswith("single-file"), f"Description {field('Description')}")
    for relation in ("Depends", "Pre-Depends", "Recommends"):
        check(field(relation) == "", f"the static tool's package has {relation}: {field(relation)}")
    return deb


def elf_machine_and_interpreter(path):
    """The ELF file's e_machine, and whether it asks for a program
    interpreter (a PT_INTERP segment) or has a dynamic section."""
    with open(path, "rb") as file:
        data = file.read()
    check(data[:4] == b"\x7fELF" and data[4] == 2, f"{path} is not a 64-bit ELF file")
    machine = int.from_bytes(data[18:20], "little")
    phoff = int.from_bytes(data[32:40], "little")
    phentsize = int.from_bytes(data[54:56], "little")
    phnum = int.from_bytes(data[56:58], "little")
    types = {int.from_bytes(data[phoff + i * phentsize:phoff + i * phentsize + 4], "little") for i in range(phnum)}
    PT_DYNAMIC, PT_INTERP = 2, 3
    return machine, bool(types & {PT_DYNAMIC, PT_INTERP})


def test_cpack_packages(workspace):
    packages = os.path.join(workspace, "packages")
    run_ok([CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-G", "TGZ;DEB", "-B", packages])
    dpkg = shutil.which("dpkg")
    architecture = run_ok([dpkg, "--print-architecture"]).stdout.strip() if dpkg else platform.machine()
    check_packages(packages, f"onefile-{VERSION}-{architecture}", architecture)


def test_arm64_packages(workspace):
    # The arm64 packages hold the same files with the aarch64 tool, which
    # runs from a root that holds nothing but the package: as root of a user
    # namespace in which qemu-user runs aarch64 programs (with_aarch64_emulation).
    aarch64_tool = os.environ.get("ONEFILE_TOOL_AARCH64", "")
    if not aarch64_tool:
        raise Skip("this build makes no aarch64 tool (the sanitizer build)")
    packages = os.path.join(workspace, "packages")
    run_ok([CPACK, "--config", os.path.join(BUILD_DIR, "CPackConfig-arm64.cmake"), "-G", "TGZ;DEB",
            "-B", packages])
    deb = check_packages(packages, f"onefile-{VERSION}-arm64", "arm64")
    root = os.path.join(workspace, "root")
    run_ok(["dpkg", "-x", deb, root])
    installed = os.path.join(root, "usr", "bin", "onefile")
    machine, dynamic = elf_machine_and_interpreter(installed)
    check(machine == 183 and not dynamic, f"usr/bin/onefile: ELF machine {machine}, dynamic: {dynamic}")
    with open(installed, "rb") as file, open(aarch64_tool, "rb") as built:
        check(file.read() == built.read(), "usr/bin/onefile is not the aarch64 tool of the build")

    reason = os.environ.get("ONEFILE_AARCH64_UNAVAILABLE")
    if reason:
        raise Skip(f"the packages are as they must be; their tool cannot run here: {reason}")
    # In the root, the tool packs an application for x86-64 into the same
    # bytes as the x86-64 tool outside.
    app = os.path.join(root, "work", "app")
    write(os.path.join(app, "run"), "#!/bin/sh\necho ran\n", 0o755)
    write(os.path.join(app, "share", "data.txt"), "data\n" * 100)
    version = run_ok(["chroot", root, "/usr/bin/onefile", "--version"]).stdout
    check(version == f"onefile {VERSION}\n", f"the installed tool says {version!r}")
    run_ok(["chroot", root, "/usr/bin/onefile", "pack", "/work/app", "-o", "/work/launcher", "--compress"])
    outside = os.path.join(workspace, "launcher")
    run_ok([os.path.join(BUILD_DIR, "bin", "onefile"), "pack", app, "-o", outside, "--compress"])
    with open(os.path.join(root, "work", "launcher"), "rb") as inside, open(outside, "rb") as made:
        check(inside.read() == made.read(), "the installed aarch64 tool packed other bytes than the x86-64 tool")
    output = run_ok([outside]).stdout
    check(output == "ran\n", f"the launcher printed {output!r}")


CASES = {name.removeprefix("test_"): function for name, function in globals().items() if name.startswith("test_")}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in CASES:
        print(f"usage: {sys.argv[0]} {'|'.join(CASES)}", file=sys.stderr)
        return 2
    workspace = tempfile.mkdtemp(prefix=f"onefile-package-{sys.argv[1]}-")
    try:
        CASES[sys.argv[1]](workspace)
    except Skip as skip:
        print(f"SKIPPED: {skip}")
        return SKIPPED
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
