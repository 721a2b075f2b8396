#!/usr/bin/python3
"""Prints a property list as Python's plistlib reads it, in the canonical
text form that the C++ tests print from our own reading (PlistTestUtil.h):
one line per value, two blanks of indent per level, strings, keys and data
as lower-case hex, dates as whole seconds since 1970-01-01 UTC."""
import calendar
import datetime
import plistlib
import sys


def dump(value, depth, out):
    pad = "  " * depth
    if isinstance(value, dict):
        out.append("%sdict %d" % (pad, len(value)))
        for key in sorted(value, key=lambda k: k.encode("utf-8")):
            out.append("%skey %s" % ("  " * (depth + 1), key.encode("utf-8").hex()))
            dump(value[key], depth + 1, out)
    elif isinstance(value, list):
        out.append("%sarray %d" % (pad, len(value)))
        for item in value:
            dump(item, depth + 1, out)
    elif isinstance(value, str):
        out.append("%sstring %s" % (pad, value.encode("utf-8").hex()))
    elif isinstance(value, bool):
        out.append(pad + ("true" if value else "false"))
    elif isinstance(value, int):
        out.append("%sinteger %d" % (pad, value))
    elif isinstance(value, float):
        out.append("%sreal %s" % (pad, "%.17g" % value))
    elif isinstance(value, datetime.datetime):
        out.append("%sdate %d" % (pad, calendar.timegm(value.utctimetuple())))
    elif isinstance(value, bytes):
        out.append("%sdata %s" % (pad, value.hex()))
    else:
        raise TypeError("unexpected %r" % type(value))


def main():
    with open(sys.argv[1], "rb") as f:
        value = plistlib.load(f)
    out = []
    dump(value, 0, out)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
