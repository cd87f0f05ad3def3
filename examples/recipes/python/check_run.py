# check_run.py: what `make_app_dir.sh --check` puts in the application
# directory for one run, as the standard library's sitecustomize.py, and
# takes away again. The interpreter imports it at start-up, before the
# application; at exit it writes to the file named by ONEFILE_CHECK_REPORT
# one line for each thing the application took from outside its directory
# or could not find:
#
#   failed NAME MESSAGE   the application ended on an ImportError of NAME
#   notfound NAME         an import of NAME found nothing (the application
#                         may have caught it; make_app_dir.sh asks the
#                         system's interpreter whether it has NAME)
#   module NAME PATH      a module imported from a file outside
#   library PATH          a shared library or extension module mapped from
#                         outside (/proc/self/maps), the C library's own
#                         parts excepted
#   ran                   last: the run came to its end and was checked
#
# Only the standard library's modules that start-up imports anyway are used,
# so the check adds no module of its own to what the run shows.
import atexit
import os
import sys

_report = os.environ.pop("ONEFILE_CHECK_REPORT", None)
# This file lies in lib/python3.X/ of the application directory.
_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__)))) + os.sep

# The C library and the program loader stay the target system's, and so do
# the files they map for themselves (character set converters, locales).
_c_library = ("linux-vdso.so.", "ld-linux", "libc.so.", "libm.so.", "libdl.so.", "libpthread.so.",
              "librt.so.", "libresolv.so.", "libutil.so.", "libanl.so.", "libmvec.so.",
              "libBrokenLocale.so.", "libnss_", "libthread_db.so.", "libc_malloc_debug.so.")
_lines = []


class _NotFoundRecorder:
    """The last finder on sys.meta_path: an import reaches it only when no
    other finder has the module."""

    @staticmethod
    def find_spec(name, path=None, target=None):
        _lines.append("notfound " + name)
        return None


sys.meta_path.append(_NotFoundRecorder())

_excepthook = sys.excepthook


def _record_failure(kind, value, traceback):
    if isinstance(value, ImportError):
        message = " ".join(str(value).split())
        _lines.append("failed %s %s" % (value.name or "?", message))
    _excepthook(kind, value, traceback)


sys.excepthook = _record_failure


def _outside(path):
    return path.startswith("/") and not path.startswith(_root)


def _write_report():
    for name, module in sorted(sys.modules.items()):
        path = getattr(module, "__file__", None)
        if path and _outside(os.path.realpath(path)):
            _lines.append("module %s %s" % (name, path))
    seen = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            path = fields[5].strip() if len(fields) == 6 else ""
            name = path.rsplit("/", 1)[-1]
            if path in seen or not _outside(path) or ".so" not in name:
                continue
            seen.add(path)
            if name.startswith(_c_library) or "/gconv/" in path:
                continue
            _lines.append("library " + path)
    _lines.append("ran")
    with open(_report, "w") as report:
        report.write("".join(line + "\n" for line in _lines))


if _report:
    atexit.register(_write_report)
