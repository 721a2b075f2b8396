#!/usr/bin/python3
"""Writes the property-list benchmark inputs into OUTPUT_DIR:
  bench.bplist  a binary property list of 100,000 entries (about 10 MB)
  bench.xml     the same tree as an XML property list (about 20 MB)
Both are written by Python's plistlib, so neither comes from our writers.
The tree is deterministic: a dictionary of 100,000 entries, each a small
dictionary with a string, an integer, a date and a boolean.

Usage: make_bench_plist.py OUTPUT_DIR [ENTRIES]"""
import datetime
import os
import plistlib
import sys


def tree(entries):
    base = datetime.datetime(2001, 1, 1)
    top = {}
    for i in range(entries):
        top["entry-%06d" % i] = {
            "name": "Czytnik %06d" % i,
            "size": (i * 7919) % 1000003,
            "modified": base + datetime.timedelta(seconds=i * 3613),
            "enabled": i % 3 != 0,
        }
    return top


def main():
    out = sys.argv[1]
    entries = int(sys.argv[2]) if len(sys.argv) > 2 else 100000
    os.makedirs(out, exist_ok=True)
    value = tree(entries)
    with open(os.path.join(out, "bench.bplist"), "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY)
    with open(os.path.join(out, "bench.xml"), "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_XML)


if __name__ == "__main__":
    main()
