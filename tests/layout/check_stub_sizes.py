#!/usr/bin/env python3
"""The launcher stubs stay within their size budgets.

usage: check_stub_sizes.py ROLE=PATH...

ROLE is one of x86_64, x86_64-decoder, aarch64, aarch64-decoder. A launcher
is its stub plus the application, so every byte of a stub is carried by
every launcher made from it. Each stub's file must be at most its budget;
the plain aarch64 stub's payload segment, page-aligned to 64 KiB, must start
by 0x30000 (code and data end before it), since the next 64 KiB step alone
would take the file past its budget. Prints each stub's size and what is
left of its budget, for the work that adds to the launcher.
"""
import os
import struct
import sys

KIB = 1024
BUDGETS = {
    "x86_64": 128 * KIB,
    "x86_64-decoder": 384 * KIB,
    "aarch64": 256 * KIB,
    "aarch64-decoder": 512 * KIB,
}
# Where the payload segment of the plain aarch64 stub may start at the latest.
AARCH64_PAYLOAD_LATEST = 0x30000


def last_load_offset(path):
    """p_offset of the last loadable segment (the payload's) of an ELF64 file."""
    with open(path, "rb") as stub:
        data = stub.read()
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    offsets = []
    for i in range(phnum):
        p_type, _, p_offset = struct.unpack_from("<IIQ", data, phoff + i * phentsize)
        if p_type == 1:  # PT_LOAD
            offsets.append(p_offset)
    return max(offsets)


def main():
    failures = []
    for argument in sys.argv[1:]:
        role, path = argument.split("=", 1)
        size = os.path.getsize(path)
        budget = BUDGETS[role]
        print(f"{role}: {size:,} bytes, budget {budget:,}, {budget - size:,} left ({path})")
        if size > budget:
            failures.append(f"{path}: {size:,} bytes, more than the budget of {budget:,}")
        if role == "aarch64":
            start = last_load_offset(path)
            if start > AARCH64_PAYLOAD_LATEST:
                failures.append(f"{path}: payload segment at {start:#x}, after {AARCH64_PAYLOAD_LATEST:#x}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
