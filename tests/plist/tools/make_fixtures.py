#!/usr/bin/python3
"""Writes the interoperability fixtures of tests/plist/fixtures: property
lists written by Python's plistlib (XML and binary) and converted by
plistutil (libplist-utils), the reader-driver Info.plist of Debian's libccid
package, and for each file NAME a NAME.expected holding plistlib's reading
of it in the canonical text form of plist_dump.py.

Usage: make_fixtures.py OUTPUT_DIR   (needs python3, plistutil, libccid)"""
import datetime
import os
import plistlib
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def sample():
    return {
        "string": "Generic CCID driver",
        "unicode \u00c5benraa": "za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144",
        "emoji": "\U0001F600 face",
        "blanks": "   ",
        "markup": "a & b < c > d \"e\" 'f'",
        "lines": "one\ntwo\n",
        "empty string": "",
        "integers": [0, 1, 14, 15, 255, 256, 65535, 65536, 2 ** 31, 2 ** 32, 2 ** 63 - 1,
                     -1, -255, -2 ** 31, -2 ** 63],
        "reals": [0.0, -0.0, 0.1, 1.5, -2.25, 1e300, 5e-324, 3.141592653589793, 1234567.0],
        "booleans": [True, False],
        "dates": [datetime.datetime(2001, 1, 1), datetime.datetime(1969, 12, 31, 23, 59, 59),
                  datetime.datetime(1970, 1, 1), datetime.datetime(2038, 1, 19, 3, 14, 8),
                  datetime.datetime(1900, 3, 1, 12, 30), datetime.datetime(9999, 12, 31, 23, 59, 59)],
        "data": [b"", b"\x00", b"abc", bytes(range(256)), b"\x00\x00zero\x00"],
        "empty dict": {},
        "empty array": [],
        "nested": {"level1": {"level2": {"level3": ["deep", {"k": "v"}]}}},
        "shared": ["same", "same", "same", {"same": "same"}],
        "many": ["item %d" % i for i in range(300)],
        "ifdVendorID": ["0x%04X" % i for i in range(40)],
    }


def write(path, value, fmt):
    with open(path, "wb") as f:
        plistlib.dump(value, f, fmt=fmt, sort_keys=True)


def expected(path):
    out = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "plist_dump.py"), path],
                         check=True, capture_output=True).stdout
    with open(path + ".expected", "wb") as f:
        f.write(out)


def plistutil(src, dst, fmt):
    subprocess.run(["plistutil", "-i", src, "-o", dst, "-f", fmt], check=True)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = []

    def path(name):
        files.append(os.path.join(out, name))
        return files[-1]

    write(path("plistlib_sample.xml"), sample(), plistlib.FMT_XML)
    write(path("plistlib_sample.bplist"), sample(), plistlib.FMT_BINARY)
    plistutil(os.path.join(out, "plistlib_sample.xml"), path("plistutil_sample.bplist"), "bin")
    plistutil(os.path.join(out, "plistlib_sample.bplist"), path("plistutil_sample.xml"), "xml")

    shutil.copyfile("/etc/libccid_Info.plist", path("libccid_Info.plist"))
    with open("/etc/libccid_Info.plist", "rb") as f:
        ccid = plistlib.load(f)
    write(path("libccid_Info.plistlib.bplist"), ccid, plistlib.FMT_BINARY)
    plistutil("/etc/libccid_Info.plist", path("libccid_Info.plistutil.bplist"), "bin")

    for f in files:
        expected(f)


if __name__ == "__main__":
    main()
