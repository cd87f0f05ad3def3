"""A small application: reads a data file carried next to it, prints its
arguments and exits with their number."""
import json
import os
import pathlib
import sys


def main(arguments):
    here = pathlib.Path(os.path.abspath(__file__)).parent
    data = json.loads((here / "data.json").read_text(encoding="utf-8"))
    # The application directory is the extraction directory.
    print("location:", here.parent)
    print("greeting:", data["greeting"])
    print("python:", sys.version.split()[0])
    print("prefix:", sys.prefix)
    print("stdlib:", json.__file__)
    for argument in arguments:
        print("argument:", argument)
    return len(arguments)
