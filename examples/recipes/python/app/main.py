"""The application's main script, run by the wrapper `run`.

A main script is compiled on every run (only imported modules are read
from .pyc files), so it only hands over to the application's module.
"""
import sys

import greeting

sys.exit(greeting.main(sys.argv[1:]))
