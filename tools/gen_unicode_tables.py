#!/usr/bin/env python3
"""Generate the tokenizer's Unicode tables from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt and DerivedCoreProperties.txt and writes
src/lib/text/unicode_tables.cpp: for every code point, its full lowercase mapping,
whether it is a token character (Alphabetic, or general category Nd, Nl or No),
Cased, Case_Ignorable, and whether it is a combining mark (general category Mn, Mc or Me).

Regenerate (Debian's `unicode-data` package installs the files in /usr/share/unicode):

    python3 tools/gen_unicode_tables.py /usr/share/unicode src/lib/text/unicode_tables.cpp

Layout (read only by record_of() in src/lib/text/unicode_tables.h):
  - kRecords: the distinct (lowercase, flags) records, record 0 being "no property,
    maps to itself". `lowercase` is the delta from the code point to its simple
    lowercase mapping, or, when the record has kMultiLowercase, an index into
    kMultiLowercase (the unconditional multi-character mappings of SpecialCasing.txt).
  - The code space is cut into blocks of 2**BLOCK_SHIFT code points. Identical blocks
    are stored once in kRecordIndex (one record number per code point) and
    kBlockIndex maps a block number to the block's position in kRecordIndex.
"""

import argparse
import os
import re
import sys

BLOCK_SHIFT = 7
BLOCK_SIZE = 1 << BLOCK_SHIFT
CODE_SPACE = 0x110000
MAX_LOWERCASE_LENGTH = 3

# Must match the enum in unicode_tables.h.
TOKEN_CHAR = 1 << 0
CASED = 1 << 1
CASE_IGNORABLE = 1 << 2
LOWERCASE_IS_TOKEN = 1 << 3
MULTI_LOWERCASE = 1 << 4
MARK = 1 << 5

NUMBER_CATEGORIES = {"Nd", "Nl", "No"}
MARK_CATEGORIES = {"Mn", "Mc", "Me"}


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield line


def file_version(path):
    """The version in the file's first line, e.g. '# SpecialCasing-15.0.0.txt'."""
    with open(path, encoding="utf-8") as f:
        first = f.readline()
    m = re.match(r"#\s*\w+-(\d+\.\d+\.\d+)\.txt", first)
    if not m:
        sys.exit(f"{path}: no version in the first line: {first.strip()!r}")
    return m.group(1)


def code_range(field):
    if ".." in field:
        lo, hi = field.split("..")
        return range(int(lo, 16), int(hi, 16) + 1)
    cp = int(field, 16)
    return range(cp, cp + 1)


def read_unicode_data(path):
    """Returns ({cp: general category}, {cp: simple lowercase})."""
    category, simple_lower = {}, {}
    range_start = None
    for line in data_lines(path):
        fields = line.split(";")
        cp, name, gc, lower = int(fields[0], 16), fields[1], fields[2], fields[13]
        if name.endswith(", First>"):
            range_start = cp
            continue
        first = range_start if name.endswith(", Last>") else cp
        range_start = None
        for c in range(first, cp + 1):
            category[c] = gc
        if lower:
            simple_lower[cp] = int(lower, 16)
    return category, simple_lower


def read_special_lowercase(path):
    """Unconditional lowercase mappings: rows without a condition list."""
    mappings = {}
    for line in data_lines(path):
        fields = [f.strip() for f in line.split(";")]
        if len(fields) > 4 and fields[4]:
            continue
        mappings[int(fields[0], 16)] = [int(c, 16) for c in fields[1].split()]
    return mappings


def read_properties(path, wanted):
    props = {name: set() for name in wanted}
    for line in data_lines(path):
        fields = [f.strip() for f in line.split(";")]
        if fields[1] in props:
            props[fields[1]].update(code_range(fields[0]))
    return props


def utf8_length(cp):
    return 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4


def build(ucd_dir):
    paths = {name: os.path.join(ucd_dir, name + ".txt")
             for name in ("UnicodeData", "SpecialCasing", "DerivedCoreProperties")}
    for path in paths.values():
        if not os.path.exists(path):
            sys.exit(f"{path} is missing; install the Unicode Character Database "
                     "(Debian/Ubuntu: apt-get install unicode-data)")
    version = file_version(paths["DerivedCoreProperties"])
    if file_version(paths["SpecialCasing"]) != version:
        sys.exit("SpecialCasing.txt and DerivedCoreProperties.txt differ in version")

    category, simple_lower = read_unicode_data(paths["UnicodeData"])
    special = read_special_lowercase(paths["SpecialCasing"])
    props = read_properties(paths["DerivedCoreProperties"],
                            ("Alphabetic", "Cased", "Case_Ignorable"))

    def is_token(cp):
        return cp in props["Alphabetic"] or category.get(cp) in NUMBER_CATEGORIES

    def is_mark(cp):
        return category.get(cp) in MARK_CATEGORIES

    def full_lower(cp):
        if cp in special:
            return special[cp]
        return [simple_lower.get(cp, cp)]

    multi = []          # the multi-character mappings, in code point order
    records = {(0, 0): 0}
    record_list = [(0, 0)]
    per_cp = [0] * CODE_SPACE
    for cp in range(CODE_SPACE):
        flags = 0
        if is_token(cp):
            flags |= TOKEN_CHAR
        if cp in props["Cased"]:
            flags |= CASED
        if cp in props["Case_Ignorable"]:
            flags |= CASE_IGNORABLE
        if is_mark(cp):
            flags |= MARK
        lower = full_lower(cp)
        # The lowered buffer is sized for at most 3/2 bytes out per byte in.
        out_bytes = sum(utf8_length(c) for c in lower)
        if 2 * out_bytes > 3 * utf8_length(cp):
            sys.exit(f"U+{cp:04X} lowercases to {out_bytes} UTF-8 bytes; the tokenizer's "
                     "buffer bound (3/2 of the input) must be raised")
        if len(lower) > 1:
            if len(lower) > MAX_LOWERCASE_LENGTH:
                sys.exit(f"U+{cp:04X} lowercases to more than {MAX_LOWERCASE_LENGTH} characters")
            flags |= MULTI_LOWERCASE
            value = len(multi)
            multi.append(lower)
        else:
            value = lower[0] - cp
            if is_token(lower[0]):
                flags |= LOWERCASE_IS_TOKEN
            # The tokenizer reads MARK of the character it lowers as that of its lowercase.
            if is_mark(lower[0]) != is_mark(cp):
                sys.exit(f"U+{cp:04X} and its lowercase U+{lower[0]:04X} differ in being a mark")
        key = (value, flags)
        if key not in records:
            records[key] = len(record_list)
            record_list.append(key)
        per_cp[cp] = records[key]
    if len(record_list) > 256:
        sys.exit(f"{len(record_list)} distinct records do not fit the 8-bit record index")

    blocks, block_index, block_of = [], [], {}
    for start in range(0, CODE_SPACE, BLOCK_SIZE):
        block = tuple(per_cp[start:start + BLOCK_SIZE])
        if block not in block_of:
            block_of[block] = len(blocks)
            blocks.append(block)
        block_index.append(block_of[block])
    if len(blocks) > 0xFFFF:
        sys.exit("too many distinct blocks for the 16-bit block index")
    return version, record_list, multi, blocks, block_index


def write(out_path, version, record_list, multi, blocks, block_index):
    lines = [
        f"// Generated by tools/gen_unicode_tables.py from the Unicode Character Database {version}",
        "// (UnicodeData.txt, SpecialCasing.txt, DerivedCoreProperties.txt). Do not edit; regenerate with",
        "//   python3 tools/gen_unicode_tables.py /usr/share/unicode src/lib/text/unicode_tables.cpp",
        "// The layout is described in the generator and read only by record_of() in unicode_tables.h.",
        "",
        '#include "lib/text/unicode_tables.h"',
        "",
        "namespace ombrel::text::unicode::table {",
        "",
        f"static_assert(kBlockShift == {BLOCK_SHIFT});",
        f"static_assert(kMaxLowercaseLength == {MAX_LOWERCASE_LENGTH});",
        "",
        f'const char kUnicodeVersion[] = "{version}";',
        "",
        f"const CharRecord kRecords[{len(record_list)}] = {{",
    ]
    for value, flags in record_list:
        lines.append(f"    {{{value}, 0x{flags:02x}}},")
    lines.append("};")
    lines.append("")
    lines.append(f"const MultiLowercase kMultiLowercase[{max(len(multi), 1)}] = {{")
    for chars in multi or [[0]]:
        padded = chars + [0] * (MAX_LOWERCASE_LENGTH - len(chars))
        body = ", ".join(f"0x{c:04X}" for c in padded)
        lines.append(f"    {{{len(chars) if multi else 0}, {{{body}}}}},")
    lines.append("};")
    lines.append("")
    lines.append(f"const std::uint16_t kBlockIndex[kBlockCount] = {{")
    for i in range(0, len(block_index), 16):
        lines.append("    " + ", ".join(str(b) for b in block_index[i:i + 16]) + ",")
    lines.append("};")
    lines.append("")
    lines.append(f"const std::uint8_t kRecordIndex[{len(blocks)} * kBlockSize] = {{")
    for number, block in enumerate(blocks):
        lines.append(f"    // block {number}")
        for i in range(0, BLOCK_SIZE, 32):
            lines.append("    " + ",".join(str(r) for r in block[i:i + 32]) + ",")
    lines.append("};")
    lines.append("")
    lines.append("}  // namespace ombrel::text::unicode::table")
    with open(out_path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("ucd_dir", nargs="?", default="/usr/share/unicode",
                        help="directory holding the UCD files (default: /usr/share/unicode)")
    parser.add_argument("output", nargs="?",
                        default=os.path.normpath(os.path.join(here, "..", "src", "lib", "text", "unicode_tables.cpp")),
                        help="the file to write (default: src/lib/text/unicode_tables.cpp)")
    args = parser.parse_args()
    version, record_list, multi, blocks, block_index = build(args.ucd_dir)
    write(args.output, version, record_list, multi, blocks, block_index)
    print(f"Unicode {version}: {len(record_list)} records, {len(multi)} multi-character "
          f"mappings, {len(blocks)} distinct blocks of {BLOCK_SIZE}; wrote {args.output}")


if __name__ == "__main__":
    main()
