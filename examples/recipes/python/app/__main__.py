"""The application's entry point: the interpreter runs the application
directory, which runs this file.

It only hands over to the application's module, which keeps the work in
modules imported as usual.
"""
import sys

import greeting

sys.exit(greeting.main(sys.argv[1:]))
