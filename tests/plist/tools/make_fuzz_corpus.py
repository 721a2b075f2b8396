#!/usr/bin/python3
"""Writes the seed corpora of the reader fuzz targets, which ctest also
replays: small well-formed files from plistlib and a hostile corpus
(truncated headers, zero and oversized widths, huge counts, overflowing
offsets, reference cycles, a 40-level doubling DAG, lone UTF-16 surrogates,
deep nesting in both encodings).

Usage: make_fuzz_corpus.py CORPUS_ROOT   (e.g. tests/fuzz/corpus)"""
import datetime
import os
import plistlib
import struct
import sys


def be(value, width):
    return value.to_bytes(width, "big")


def bplist(objects, ref_size=1, off_size=1, top=0, table_offset=None, count=None):
    out = bytearray(b"bplist00")
    offsets = []
    for o in objects:
        offsets.append(len(out))
        out += o
    table = len(out)
    for o in offsets:
        out += be(o % (1 << (8 * off_size)), off_size)
    out += bytes(6) + bytes([off_size, ref_size])
    out += be(len(objects) if count is None else count, 8)
    out += be(top, 8)
    out += be(table if table_offset is None else table_offset, 8)
    return bytes(out)


def s(text):
    data = text.encode("ascii")
    return bytes([0x50 | len(data)]) + data


def binary_cases():
    one = bplist([b"\x09"])
    cases = {
        "true": one,
        "header_only": b"bplist00",
        "header_and_3": b"bplist00abc",
        "zero_trailer": b"bplist00" + bytes(32),
        "offset_width_0": bplist([b"\x09"], off_size=1)[:-26] + b"\x00" + bplist([b"\x09"])[-25:],
        "ref_width_0": bplist([b"\xa1\x00"], ref_size=1)[:-25] + b"\x00" + bplist([b"\xa1\x00"])[-24:],
        "offset_width_9": one[:-26] + b"\x09" + one[-25:],
        "table_offset_huge": bplist([b"\x09"], table_offset=(1 << 63) - 1),
        "table_offset_negative": bplist([b"\x09"], table_offset=(1 << 64) - 16),
        "top_out_of_range": bplist([b"\x09"], top=1),
        "top_2_63": bplist([b"\x09"], top=1 << 63),
        "offset_into_header": bplist([b"\x09"], table_offset=8),
        "ref_out_of_range": bplist([b"\xa1\x05"]),
        "huge_string_count": bplist([b"\x5f\x13\x7f\xff\xff\xff\xff\xff\xff\xff"]),
        "count_2_64_minus_1": bplist([b"\x4f\x13" + b"\xff" * 8]),
        "count_2_32_plus_1": bplist([b"\x5f\x13\x00\x00\x00\x01\x00\x00\x00\x01x"]),
        "count_width_2_15": bplist([b"\x5f\x1f\x00"]),
        "huge_array_count": bplist([b"\xaf\x13\x40" + bytes(7)]),
        "huge_dict_count": bplist([b"\xdf\x12\x80\x00\x00\x00"]),
        "string_into_offset_table": bplist([b"\x55ab"]),
        "real_width_1": bplist([b"\x20\x00"]),
        "nan_date": bplist([b"\x33\x7f\xf8" + bytes(6)]),
        "huge_date": bplist([b"\x33" + struct.pack(">d", 1e300)]),
        "null_marker": bplist([b"\x00"]),
        "fill_marker": bplist([b"\x0f"]),
        "uid_marker": bplist([b"\x80\x01"]),
        "integer_key": bplist([b"\xd1\x01\x02", b"\x10\x01", b"\x09"]),
        "self_array": bplist([b"\xa1\x00"]),
        "self_dict": bplist([b"\xd1\x01\x00", s("k")]),
        "two_step_cycle": bplist([b"\xa1\x01", b"\xa2\x02\x00", b"\x09"]),
        "lone_high_surrogate": bplist([b"\x61\xd8\x00"]),
        "lone_low_surrogate": bplist([b"\x61\xdc\x00"]),
        "surrogate_pair": bplist([b"\x62\xd8\x3d\xde\x00"]),
        "dag_40": bplist([bytes([0xa2, i + 1, i + 1]) for i in range(40)] + [s("leaf")]),
        "shared_strings": bplist([b"\xa3\x01\x01\x01", s("same")]),
        "integers": bplist([b"\xa4\x01\x02\x03\x04", b"\x10\xff", b"\x11\xff\xfe", b"\x13" + b"\xff" * 8,
                            b"\x14" + bytes(8) + b"\x80" + bytes(6) + b"\x2c"]),
    }
    # 600 nested arrays, 2-byte references.
    chain = [bytes([0xa1]) + be(i + 1, 2) for i in range(600)] + [b"\x09"]
    cases["nesting_600"] = bplist(chain, ref_size=2, off_size=2)
    chain = [bytes([0xa1]) + be(i + 1, 2) for i in range(512)] + [b"\x09"]
    cases["nesting_512"] = bplist(chain, ref_size=2, off_size=2)
    return cases


def sample():
    return {
        "name": "Czytnik",
        "unicode": "za\u017c\u00f3\u0142\u0107 \U0001F600",
        "numbers": [0, -1, 255, 65536, 2 ** 40, -2 ** 63, 1.5, -0.25, 1e300],
        "flags": [True, False],
        "when": datetime.datetime(1969, 12, 31, 23, 59, 59),
        "blob": bytes(range(70)),
        "nested": {"a": [{"b": []}, {}]},
        "blanks": "   ",
    }


def xml_cases():
    head = b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n'
    tail = b"\n</plist>\n"
    return {
        "comment_in_string": head + b"<string>foo<!--c-->bar</string>" + tail,
        "split_cdata": head + b"<string><![CDATA[x]]]]><![CDATA[>y]]></string>" + tail,
        "entities": head + b"<string>&amp;&lt;&#x105;&bogus;</string>" + tail,
        "dict_errors": head + b"<dict><key>k</key><key>j</key></dict>" + tail,
        "integer_overflow": head + b"<integer>9223372036854775808</integer>" + tail,
        "integer_edges": head + b"<array><integer>-9223372036854775808</integer><integer> -7</integer>"
                                b"<integer>12abc</integer><integer>0x10</integer></array>" + tail,
        "reals": head + b"<array><real>1e3</real><real>nan</real><real>-inf</real><real>0x1p3</real></array>" + tail,
        "dates": head + b"<array><date>1969-12-31T23:59:59Z</date><date>2001-01-01</date>"
                        b"<date>9999-12-31T23:59:59Z</date></array>" + tail,
        "data": head + b"<array><data>YWJj</data><data>YWI=YWJj</data><data>=</data></array>" + tail,
        "nesting_600": head + b"<array>" * 600 + b"<true/>" + b"</array>" * 600 + tail,
        "dict_nesting_520": head + b"<dict><key>k</key>" * 520 + b"<true/>" + b"</dict>" * 520 + tail,
        "utf16": "\ufeff<plist><string>\u017c\u00f3\u0142w</string></plist>".encode("utf-16-le"),
        "no_plist": b"<dict/>",
        "unclosed": b"<plist><dict>",
    }


def main():
    root = sys.argv[1]
    binary_dir = os.path.join(root, "fuzz_binary_reader")
    xml_dir = os.path.join(root, "fuzz_xml_reader")
    os.makedirs(binary_dir, exist_ok=True)
    os.makedirs(xml_dir, exist_ok=True)
    for name, data in binary_cases().items():
        with open(os.path.join(binary_dir, name), "wb") as f:
            f.write(data)
    with open(os.path.join(binary_dir, "plistlib_sample"), "wb") as f:
        plistlib.dump(sample(), f, fmt=plistlib.FMT_BINARY)
    for name, data in xml_cases().items():
        with open(os.path.join(xml_dir, name), "wb") as f:
            f.write(data)
    with open(os.path.join(xml_dir, "plistlib_sample"), "wb") as f:
        plistlib.dump(sample(), f, fmt=plistlib.FMT_XML)


if __name__ == "__main__":
    main()
