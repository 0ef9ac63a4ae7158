#!/usr/bin/python3
"""Writes the case fold table of src/extract/ as C++ source.

Usage: make_fold_table.py OUTPUT.cpp [CaseFolding.txt]

exFAT compares names UTF-16 unit by unit through the up-case table on the volume, which
mkfs.exfat writes as every exFAT volume carries it. That table is older than much of Unicode:
it merges no pair that Unicode's simple case folding keeps apart, but leaves many that
folding merges (the Kelvin sign and k, Cherokee, Georgian Mtavruli, everything outside
the Basic Multilingual Plane). A fold that merged those would send an entry into the new
tree that the file system then finds nowhere, so the table folds exactly what exFAT
merges, each class to its member that Unicode's case folding picks.

The up-case table is read from a volume formatted here, CaseFolding.txt comes with
Debian's unicode-data. The output is a two-level table: for each block of 128 code points
of the BMP, the index of its row of deltas (code point to folded code point); equal rows
are stored once.
"""
import os
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True

CASE_FOLDING = "/usr/share/unicode/CaseFolding.txt"
GENERATOR = "tools/casefold/make_fold_table.py"
BLOCK_BITS = 7
BLOCK = 1 << BLOCK_BITS


def simple_case_folding(path):
    """{code point: its simple case folding} from CaseFolding.txt (statuses C and S)."""
    folding = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = [field.strip() for field in line.split("#")[0].split(";")]
            if len(fields) >= 3 and fields[1] in ("C", "S"):
                folding[int(fields[0], 16)] = int(fields[2], 16)
    if not folding:
        raise SystemExit("%s: no case folding found" % path)
    return folding


def exfat_upcase_table():
    """The 65,536 entries of the up-case table mkfs.exfat writes, read from a fresh volume."""
    with tempfile.TemporaryDirectory(prefix="fold-table-") as scratch:
        image = os.path.join(scratch, "exfat.img")
        with open(image, "wb") as f:
            f.truncate(8 << 20)
        subprocess.run(["mkfs.exfat", image], check=True, stdout=subprocess.DEVNULL)
        with open(image, "rb") as f:
            volume = f.read()
    fat_offset, _, heap_offset, _, root_cluster = struct.unpack_from("<5I", volume, 80)
    sector = 1 << volume[108]
    cluster = sector << volume[109]

    def chain(first):
        data, at = b"", first
        while 2 <= at < 0xFFFFFFF7:
            start = heap_offset * sector + (at - 2) * cluster
            data += volume[start:start + cluster]
            at = struct.unpack_from("<I", volume, fat_offset * sector + 4 * at)[0]
        return data

    root = chain(root_cluster)
    for at in range(0, len(root), 32):
        if root[at] == 0x82:  # the up-case table's directory entry
            checksum, = struct.unpack_from("<I", root, at + 4)
            first, length = struct.unpack_from("<IQ", root, at + 20)
            break
    else:
        raise SystemExit("mkfs.exfat wrote no up-case table")
    packed = chain(first)[:length]
    summed = 0
    for byte in packed:
        summed = (((summed << 31) | (summed >> 1)) + byte) & 0xFFFFFFFF
    if summed != checksum:
        raise SystemExit("the up-case table's checksum does not match")
    # 0xFFFF followed by a count stands for that many code points that map to themselves.
    units = struct.unpack("<%dH" % (len(packed) // 2), packed)
    table, i = [], 0
    while i < len(units):
        if units[i] == 0xFFFF and i + 1 < len(units):
            table.extend(range(len(table), len(table) + units[i + 1]))
            i += 2
        else:
            table.append(units[i])
            i += 1
    table.extend(range(len(table), 0x10000))
    return table[:0x10000]


def fold_map(upcase, folding):
    """{code point: what it folds to} for every BMP code point exFAT merges with another."""
    classes = {}
    for c in range(0x10000):
        classes.setdefault(upcase[c], []).append(c)
    fold = {}
    for upper, members in classes.items():
        if len(members) == 1:
            continue
        if any(0xD800 <= c <= 0xDFFF for c in members):
            raise SystemExit("exFAT folds surrogates: U+%04X" % upper)
        target = folding.get(upper, upper)
        if any(folding.get(c, c) != target for c in members):
            raise SystemExit("exFAT merges what Unicode does not: %s" %
                             " ".join("U+%04X" % c for c in members))
        if target not in members:
            raise SystemExit("U+%04X folds outside its exFAT class" % upper)
        for c in members:
            if c != target:
                fold[c] = target
    return fold


def blocks(fold):
    """The index of each block's row, and the distinct rows of deltas."""
    rows, index, seen = [], [], {}
    for start in range(0, 0x10000, BLOCK):
        row = tuple(fold.get(c, c) - c for c in range(start, start + BLOCK))
        if row not in seen:
            seen[row] = len(rows)
            rows.append(row)
        index.append(seen[row])
    if len(rows) > 256:
        raise SystemExit("%d rows do not fit an 8-bit index" % len(rows))
    return index, rows


def cpp_source(fold, index, rows):
    out = [
        "// Generated by %s; do not edit." % GENERATOR,
        "// Regenerate from the repository root with: make casefold",
        "// %d code points fold, in %d rows of %d." % (len(fold), len(rows), BLOCK),
        '#include "case_fold_table.h"',
        "",
        "const uint8_t caseFoldRowOfBlock[%d] = {" % len(index),
    ]
    for at in range(0, len(index), 32):
        out.append("    " + " ".join("%d," % i for i in index[at:at + 32]))
    out.append("};")
    out.append("")
    out.append("const int16_t caseFoldDeltas[%d][%d] = {" % (len(rows), BLOCK))
    for row in rows:
        out.append("    {")
        for at in range(0, BLOCK, 16):
            out.append("        " + " ".join("%d," % d for d in row[at:at + 16]))
        out.append("    },")
    out.append("};")
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) not in (2, 3):
        raise SystemExit(__doc__)
    folding = simple_case_folding(sys.argv[2] if len(sys.argv) == 3 else CASE_FOLDING)
    fold = fold_map(exfat_upcase_table(), folding)
    index, rows = blocks(fold)
    with open(sys.argv[1], "w") as f:
        f.write(cpp_source(fold, index, rows))


if __name__ == "__main__":
    main()
