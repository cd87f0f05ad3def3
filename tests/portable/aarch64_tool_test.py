#!/usr/bin/env python3
"""The aarch64 onefile tool against the x86-64 tool of the same build: each
command of one table runs once with each tool, on the same application and
each in a directory of its own, and the two runs must end with the same
status and print the same (the directory's path aside), and the two
directories must end up holding the same files, byte for byte: the
launchers both tools pack, stored and compressed, for either machine, and
the trees `extract` writes.

The aarch64 tool runs as any program does, through qemu-user registered
with binfmt_misc in a user namespace of its own (with_aarch64_emulation runs
this script). Run by CTest as
`aarch64_tool_test.py X86_64_TOOL AARCH64_TOOL`; exit status 0 when the tools
agree, 1 when they do not, 77 when aarch64 programs cannot run here (the
reason is printed).
"""

import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile

SKIPPED = 77
EM_X86_64 = 62
EM_AARCH64 = 183

# Label, arguments ({app} the application, {out} the tool's own directory),
# the exit status both must give. The pack rows give a warning, as the main
# is a script for node.
COMMANDS = [
    ("version", ["--version"], 0),
    ("help", ["--help"], 0),
    ("pack stored, x86_64", ["pack", "{app}", "-o", "{out}/stored-x86_64", "--main", "run",
                             "--exclude", "*.tmp"], 0),
    ("pack stored, aarch64", ["pack", "{app}", "-o", "{out}/stored-aarch64", "--main", "run",
                              "--arch", "aarch64", "--product", "Product", "--version", "2.0"], 0),
    ("pack compressed, x86_64", ["pack", "{app}", "-o", "{out}/compressed-x86_64", "--main", "run",
                                 "--compress=9", "--template", "{TEMP}/app_{RANDOM}"], 0),
    ("pack compressed, aarch64", ["pack", "{app}", "-o", "{out}/compressed-aarch64", "--main", "run",
                                  "--compress", "--arch", "aarch64"], 0),
    ("list", ["list", "{out}/compressed-aarch64"], 0),
    ("list stored", ["list", "{out}/stored-x86_64"], 0),
    ("info", ["info", "{out}/stored-aarch64"], 0),
    ("info --json", ["info", "--json", "{out}/compressed-x86_64"], 0),
    ("verify", ["verify", "{out}/compressed-aarch64"], 0),
    ("verify stored", ["verify", "{out}/stored-x86_64"], 0),
    ("extract", ["extract", "{out}/compressed-x86_64", "{out}/tree-compressed"], 0),
    ("extract stored", ["extract", "{out}/stored-aarch64", "{out}/tree-stored"], 0),
    ("a file that is no launcher", ["list", "{app}/lib/data.txt"], 1),
    ("a usage error", ["pack", "{app}", "--compress", "19"], 2),
]

# Signing, with keys ssh-keygen made ({keys}): the tool's own check of
# ssh-ed25519 signatures and ssh-keygen's of RSA ones. Both kinds sign the
# same bytes to the same signature, so the signed launchers must be the same
# too. Left out, saying so, where ssh-keygen is missing.
SIGNING_COMMANDS = [
    ("pack --sign", ["pack", "{app}", "-o", "{out}/signed", "--main", "run", "--sign", "{keys}/ed25519"], 0),
    ("pack --sign, aarch64", ["pack", "{app}", "-o", "{out}/signed-aarch64", "--main", "run", "--arch", "aarch64",
                              "--sign", "{keys}/ed25519"], 0),
    ("sign again, RSA", ["sign", "{out}/signed-aarch64", "--key", "{keys}/rsa"], 0),
    ("verify, ssh-ed25519", ["verify", "{out}/signed", "--allowed-signers", "{keys}/allowed"], 0),
    ("verify, RSA through ssh-keygen", ["verify", "{out}/signed-aarch64", "--allowed-signers", "{keys}/allowed",
                                        "--identity", "rsa@example.com"], 0),
    ("verify, another identity", ["verify", "{out}/signed", "--allowed-signers", "{keys}/allowed",
                                  "--identity", "mallory"], 5),
    ("verify, unsigned", ["verify", "{out}/stored-x86_64", "--allowed-signers", "{keys}/allowed"], 3),
    ("verify, signature not checked", ["verify", "{out}/signed-aarch64"], 0),
    ("signature", ["signature", "{out}/signed"], 0),
    ("info --json, signed", ["info", "--json", "{out}/signed-aarch64"], 0),
]

# What the pack rows must have made: the launcher and its machine.
LAUNCHERS = {"stored-x86_64": EM_X86_64, "stored-aarch64": EM_AARCH64,
             "compressed-x86_64": EM_X86_64, "compressed-aarch64": EM_AARCH64}


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)
    os.chmod(path, mode)


def make_app(app):
    generator = random.Random(25)
    write(os.path.join(app, "run"), b"#!/usr/bin/env node\nconsole.log('hello');\n", 0o755)
    # Hexadecimal digits: compressible to about half, in several frames'
    # worth of blocks, so compression and the digest thread have work.
    digits = "".join(generator.choice("0123456789abcdef") for _ in range(3 << 20))
    write(os.path.join(app, "lib", "digits"), digits.encode())
    write(os.path.join(app, "lib", "data.txt"), b"data\n" * 1000)
    write(os.path.join(app, "lib", "tool"), bytes(generator.getrandbits(8) for _ in range(70000)), 0o750)
    write(os.path.join(app, "share", "empty"), b"")
    write(os.path.join(app, "share", "\u00e9t\u00e9 with\ttab"), b"summer\n")
    write(os.path.join(app, "scratch.tmp"), b"left out\n")
    os.symlink("../lib/data.txt", os.path.join(app, "share", "data"))


def tree(root):
    """Every file, link and directory below ROOT: kind, mode, content or link text."""
    found = {}
    for directory, directories, files in os.walk(root):
        for name in directories + files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            relative = os.path.relpath(path, root)
            if stat.S_ISLNK(status.st_mode):
                found[relative] = ("link", os.readlink(path))
            elif stat.S_ISDIR(status.st_mode):
                found[relative] = ("dir", oct(stat.S_IMODE(status.st_mode)))
            else:
                with open(path, "rb") as file:
                    found[relative] = ("file", oct(stat.S_IMODE(status.st_mode)), file.read())
    return found


def make_keys(keys):
    os.mkdir(keys)
    allowed = []
    for kind in ("ed25519", "rsa"):
        subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", "", "-f", os.path.join(keys, kind)], check=True)
        with open(os.path.join(keys, kind + ".pub")) as file:
            allowed.append(f"{kind}@example.com " + " ".join(file.read().split()[:2]))
    with open(os.path.join(keys, "allowed"), "w") as file:
        file.write("\n".join(allowed) + "\n")


def run(tool, arguments, app, out, keys):
    words = [argument.replace("{app}", app).replace("{out}", out).replace("{keys}", keys) for argument in arguments]
    result = subprocess.run([tool, *words], capture_output=True, timeout=120)
    # Paths differ by the tool's directory alone.
    return (result.returncode, result.stdout.replace(out.encode(), b"{out}"),
            result.stderr.replace(out.encode(), b"{out}"))


def machine_of(path):
    with open(path, "rb") as file:
        header = file.read(20)
    return int.from_bytes(header[18:20], "little") if header[:4] == b"\x7fELF" else None


def main():
    if len(sys.argv) != 3:
        print(f"usage: {sys.argv[0]} X86_64_TOOL AARCH64_TOOL", file=sys.stderr)
        return 2
    tools = {"x86_64": sys.argv[1], "aarch64": sys.argv[2]}
    reason = os.environ.get("ONEFILE_AARCH64_UNAVAILABLE")
    if reason:
        print(f"SKIPPED: aarch64 programs cannot run here: {reason}")
        return SKIPPED
    if machine_of(tools["aarch64"]) != EM_AARCH64:
        print(f"FAILED: {tools['aarch64']} is not an aarch64 program")
        return 1

    os.umask(0o022)
    workspace = tempfile.mkdtemp(prefix="onefile-aarch64-tool-")
    failures = []
    try:
        app = os.path.join(workspace, "app")
        make_app(app)
        outs = {name: os.path.join(workspace, name) for name in tools}
        for out in outs.values():
            os.mkdir(out)
        keys = os.path.join(workspace, "keys")
        commands = COMMANDS
        if shutil.which("ssh-keygen"):
            make_keys(keys)
            commands = COMMANDS + SIGNING_COMMANDS
        else:
            print("note: ssh-keygen is missing (Debian package openssh-client): the signing commands are left out")
        for label, arguments, status in commands:
            results = {name: run(tool, arguments, app, outs[name], keys) for name, tool in tools.items()}
            if results["x86_64"][0] != status:
                failures.append(f"{label}: the x86-64 tool exited with {results['x86_64'][0]}, not {status}: "
                                f"{results['x86_64'][2].decode(errors='replace')}")
            if results["aarch64"] != results["x86_64"]:
                failures.append(f"{label}: the tools differ:\n  x86_64:  {results['x86_64']}\n"
                                f"  aarch64: {results['aarch64']}")
        for name, machine in LAUNCHERS.items():
            if machine_of(os.path.join(outs["x86_64"], name)) != machine:
                failures.append(f"{name}: not a launcher for ELF machine {machine}")
        trees = {name: tree(out) for name, out in outs.items()}
        for path in sorted(set(trees["x86_64"]) | set(trees["aarch64"])):
            if trees["x86_64"].get(path) != trees["aarch64"].get(path):
                failures.append(f"{path}: differs between the tools' directories")
    finally:
        shutil.rmtree(workspace, ignore_errors=True)
    for failure in failures:
        print(f"FAILED: {failure}")
    if failures:
        return 1
    print(f"passed: {len(commands)} commands gave the same with both tools")
    return 0


if __name__ == "__main__":
    sys.exit(main())
