#!/usr/bin/env python3
"""Fails when a source file includes from its own floor's side or from above.

The floors, lowest first: format/ <- runtime/ <- templates/, payload/ <-
launcher/, tool/. A folder includes its own files and those of the floors
below it; folders on one floor never include each other."""
import pathlib
import re
import sys

FLOORS = {"format": 0, "runtime": 1, "templates": 2, "payload": 2, "launcher": 3, "tool": 3}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.MULTILINE)


def upward_includes(root):
    for folder, floor in FLOORS.items():
        for path in sorted((root / folder).rglob("*")):
            if path.suffix not in {".h", ".cpp", ".c", ".in", ".S"}:
                continue
            for target in INCLUDE.findall(path.read_text(errors="replace")):
                if target == folder:
                    continue
                if target not in FLOORS or FLOORS[target] >= floor:
                    yield f"{path.relative_to(root)}: includes from {target}/"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    faults = list(upward_includes(root))
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} includes do not point down")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
