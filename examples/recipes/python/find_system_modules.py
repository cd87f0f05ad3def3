"""find_system_modules.py [--path DIR]... [--script FILE] [--module NAME]... [--system-module NAME]...

Prints the files and directories to copy so that an application finds the
modules it imports from the system's Python path beyond the standard library
(/usr/lib/python3/dist-packages and the like), one a line: a top-level
package's directory or a top-level module's file, each once, and the
metadata directory of the distribution each belongs to.

The imports are those the standard library's modulefinder sees, followed
through every module it reaches, the system's own included, so that what a
system package imports comes along. They start from the script FILE, the
modules NAME (imported as `python -m` would) and the system modules NAME,
looked up in the directories DIR first (the application and its extra
packages, which are carried already), then on the system's path. A module
found in the standard library is carried with it and not listed.

Exits 1, naming it, when a --system-module is not on the system's path.
"""

import argparse
import importlib.util
import modulefinder
import os
import sys
import sysconfig


def main():
    parser = argparse.ArgumentParser(prog="find_system_modules.py")
    parser.add_argument("--path", action="append", default=[])
    parser.add_argument("--script")
    parser.add_argument("--module", action="append", default=[])
    parser.add_argument("--system-module", action="append", default=[])
    options = parser.parse_args()

    stdlib = {os.path.realpath(sysconfig.get_path(name)) for name in ("stdlib", "platstdlib")}
    stdlib |= {os.path.join(directory, "lib-dynload") for directory in set(stdlib)}
    carried = [os.path.realpath(directory) for directory in options.path]
    # The system's path entries that hold modules beyond the standard
    # library: site-packages, dist-packages.
    system = [os.path.realpath(entry) for entry in sys.path
              if entry and os.path.isdir(entry) and os.path.realpath(entry) not in stdlib | set(carried)]

    finder = modulefinder.ModuleFinder(path=carried + sys.path)
    for name in options.system_module:
        try:
            found = importlib.util.find_spec(name) is not None
        except ImportError:
            found = False
        if not found:
            print("find_system_modules.py: --system-module %s: not on this system's Python path (%s)"
                  % (name, ":".join(system)), file=sys.stderr)
            return 1
    for name in options.module + options.system_module:
        try:
            finder.import_hook(name)
        except ImportError as error:
            print("find_system_modules.py: %s: %s" % (name, error), file=sys.stderr)
            return 1
    if options.script:
        finder.run_script(options.script)

    units = set()
    for module in finder.modules.values():
        path = module.__file__ and os.path.realpath(module.__file__)
        if not path:
            continue
        for entry in system:
            if path.startswith(entry + os.sep):
                top = path[len(entry) + 1:].split(os.sep, 1)[0]
                units.add(os.path.join(entry, top))
                break
    for unit in sorted(units | _metadata_of(units)):
        print(unit)
    return 0


def _metadata_of(units):
    """The installed distributions' metadata directories (NAME.dist-info,
    NAME.egg-info) beside the units that belong to them, so that
    importlib.metadata finds a copied package's version and entry points."""
    metadata = set()
    for entry in {os.path.dirname(unit) for unit in units}:
        for name in os.listdir(entry):
            directory = os.path.join(entry, name)
            if not name.endswith((".dist-info", ".egg-info")) or not os.path.isdir(directory):
                continue
            tops = set()
            try:
                with open(os.path.join(directory, "top_level.txt")) as listed:
                    tops = {line.strip() for line in listed}
            except OSError:
                # A wheel without top_level.txt: the first part of each file
                # its RECORD names.
                try:
                    with open(os.path.join(directory, "RECORD")) as record:
                        tops = {line.split(",", 1)[0].split("/", 1)[0] for line in record}
                except OSError:
                    continue
            if any(os.path.join(entry, top) in units or os.path.join(entry, top + ".py") in units
                   for top in tops if top):
                metadata.add(directory)
    return metadata


if __name__ == "__main__":
    sys.exit(main())
