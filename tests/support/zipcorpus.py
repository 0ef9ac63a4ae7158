"""Small valid ZIP archives and malformed variants of them, made deterministically.

Used as the fuzzer's seed corpus and by the end-to-end test that runs the stub over
broken archives.
"""
import io
import random
import struct
import zipfile
import zlib


def _zip(entries, comment=b"", compression=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 17, 12, 30, 0))
            info.external_attr = mode << 16
            info.compress_type = compression
            archive.writestr(info, data)
        archive.comment = comment
    return buffer.getvalue()


def valid_archives():
    """Name -> bytes of small archives that extract cleanly."""
    tree = [
        ("pkg/", b"", 0o40755),
        ("pkg/readme.txt", b"hello installer\n" * 20, 0o100644),
        ("pkg/bin/", b"", 0o40755),
        ("pkg/bin/run.sh", b"#!/bin/sh\necho ran\n", 0o100755),
        ("pkg/data.bin", bytes(range(256)) * 8, 0o100600),
    ]
    return {
        "deflated": _zip(tree),
        "stored": _zip(tree, compression=zipfile.ZIP_STORED),
        "commented": _zip(tree, comment=b"$AUTORUN$>true"),
        "single": _zip([("one.txt", b"1", 0o100644)]),
        "empty": _zip([]),
    }


def _end_record_offset(data):
    return data.rindex(b"PK\x05\x06")


def _central_offset(data):
    end = _end_record_offset(data)
    return struct.unpack_from("<I", data, end + 16)[0]


def _patch(data, offset, fmt, value):
    patched = bytearray(data)
    struct.pack_into(fmt, patched, offset, value)
    return bytes(patched)


def malformed_archives(flips=40):
    """Name -> bytes of archives broken in the ways real damage and hostile input take."""
    base = valid_archives()["deflated"]
    end = _end_record_offset(base)
    central = _central_offset(base)
    out = {}
    for length in (1, 10, 21, 22, 30, len(base) // 2):
        out[f"prefix-{length}"] = base[:length]
    for cut in (5, 20, 23, 40):
        out[f"tail-cut-{cut}"] = base[:-cut]
    rng = random.Random(1234)
    for i in range(flips):
        data = bytearray(base)
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        out[f"flipped-{i:02d}"] = bytes(data)
    out["cd-offset-past-end"] = _patch(base, end + 16, "<I", len(base) + 100)
    out["cd-offset-zero"] = _patch(base, end + 16, "<I", 0)
    out["cd-size-huge"] = _patch(base, end + 12, "<I", 0xFFFFFFF0)
    out["cd-size-small"] = _patch(base, end + 12, "<I", 10)
    out["count-huge"] = _patch(_patch(base, end + 8, "<H", 0xFFFF), end + 10, "<H", 0xFFFF)
    out["count-disk-mismatch"] = _patch(base, end + 8, "<H", 1)
    out["comment-length-past-end"] = _patch(base, end + 20, "<H", 500)
    # Fields of the first central header: sizes and the local header offset.
    out["first-compressed-size-huge"] = _patch(base, central + 20, "<I", 0x7FFFFFFF)
    out["first-uncompressed-size-huge"] = _patch(base, central + 24, "<I", 0x7FFFFFFF)
    out["first-name-length-huge"] = _patch(base, central + 28, "<H", 0xFFFF)
    out["first-local-offset-wrong"] = _patch(base, central + 42, "<I", 7)
    out["local-signature-damaged"] = b"XX" + base[2:]
    second = base.index(b"PK\x01\x02", central + 4)
    out["second-crc-wrong"] = _patch(base, second + 16, "<I", 0xDEADBEEF)
    out["second-method-unknown"] = _patch(base, second + 10, "<H", 99)
    out["second-encrypted"] = _patch(base, second + 8, "<H", 1)
    out["size-claim-4gib"] = size_claim_archive(0xFFFFFFF0, bytes(4096))
    out["size-claim-zip64-40gib"] = size_claim_archive(40 << 30, bytes(4096))
    out["overlapping-entries"] = overlapping_archive(20, bytes(4096))
    return out


def _single_central_header(data):
    """(start, length) of the last central header of `data`."""
    end = _end_record_offset(data)
    start = data.rindex(b"PK\x01\x02", 0, end)
    name, extra, comment = struct.unpack_from("<HHH", data, start + 28)
    return start, 46 + name + extra + comment


def _with_central(data, start, length, new_headers):
    """`data` with the central header at start..start+length replaced by `new_headers`."""
    end = _end_record_offset(data)
    count = struct.unpack_from("<H", data, end + 10)[0]
    added = new_headers.count(b"PK\x01\x02") - 1
    record = bytearray(data[end:])
    struct.pack_into("<HH", record, 8, count + added, count + added)
    size = struct.unpack_from("<I", record, 12)[0]
    struct.pack_into("<I", record, 12, size - length + len(new_headers))
    return data[:start] + new_headers + data[start + length:end] + bytes(record)


def size_claim_archive(claim, data=bytes(1 << 20)):
    """top/ and top/claim.bin holding `data`, whose central header claims `claim` bytes
    uncompressed (through a ZIP64 extra field when it needs 64 bits)."""
    zipped = _zip([("top/", b"", 0o40755), ("top/claim.bin", data, 0o100644)])
    start, length = _single_central_header(zipped)
    header = bytearray(zipped[start:start + length])
    if claim < 0xFFFFFFFF:
        struct.pack_into("<I", header, 24, claim)
    else:
        name = struct.unpack_from("<H", header, 28)[0]
        extra = struct.pack("<HHQ", 1, 8, claim)
        struct.pack_into("<I", header, 24, 0xFFFFFFFF)
        struct.pack_into("<H", header, 30, struct.unpack_from("<H", header, 30)[0] + len(extra))
        header[46 + name:46 + name] = extra
    return _with_central(zipped, start, length, bytes(header))


def overlapping_archive(copies, data=bytes(1 << 20)):
    """top/ and top/a, then `copies` more central records that all point at top/a's data:
    a zip bomb that writes copies + 1 times the size of what it holds."""
    zipped = _zip([("top/", b"", 0o40755), ("top/a", data, 0o100644)])
    start, length = _single_central_header(zipped)
    header = zipped[start:start + length]
    name = struct.unpack_from("<H", header, 28)[0]
    copies_of = [header[:46] + b"top/%c" % (ord("b") + i % 20) + header[46 + name:]
                 for i in range(copies)]
    return _with_central(zipped, start, length, header + b"".join(copies_of))


def zeros_archive(name, mebibytes, comment=b""):
    """One deflated entry of `mebibytes` MiB of zeros, made in well under a second: each
    MiB compresses to the same bytes once the compressor is flushed in full after it."""
    mib = 1 << 20
    packer = zlib.compressobj(1, zlib.DEFLATED, -15)
    block = packer.compress(bytes(mib)) + packer.flush(zlib.Z_FULL_FLUSH)
    data = block * mebibytes + b"\x03\x00"  # an empty final block ends the stream
    crc = 0
    for _ in range(mebibytes):
        crc = zlib.crc32(bytes(mib), crc)
    size = mebibytes * mib
    encoded = name.encode()
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x21, crc, len(data), size,
                        len(encoded), 0) + encoded
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, 8, 0, 0x21, crc,
                          len(data), size, len(encoded), 0, 0, 0, 0, 0o100644 << 16, 0) + encoded
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(data),
                      len(comment)) + comment
    return local + data + central + end


def write_corpus(directory, archives):
    import os

    os.makedirs(directory, exist_ok=True)
    for name, data in archives.items():
        with open(os.path.join(directory, name + ".zip"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    import sys

    target = sys.argv[1]
    write_corpus(target, valid_archives())
    write_corpus(target, malformed_archives())
