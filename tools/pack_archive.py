"""The archive half of pack-installer: packs directories into a ZIP archive that is the same,
byte for byte, for the same tree (so distributions can rebuild an installer and compare),
checks names the installer would refuse, and sets the autorun comment.

  pack_archive.py pack OUT DIR...      write OUT from the DIRs (each under its own name)
  pack_archive.py check ARCHIVE        only check ARCHIVE's names
  pack_archive.py comment ARCHIVE      set ARCHIVE's comment to the bytes of $COMMENT
  pack_archive.py names ARCHIVE        ARCHIVE's names as stored, each ending in a NUL

Entries: each directory before its content, siblings by name (bytes); Unix modes kept;
owners and extra fields left out; times from SOURCE_DATE_EPOCH when it is set (UTC), else
the files' own (local time, as zip stores them). Symbolic links are refused: the installer
writes no links.
"""

import os
import shutil
import stat
import sys
import time
import zipfile

NAME_MAX = 255
DOS_EPOCH = (1980, 1, 1, 0, 0, 0)


def fail(message):
    print("pack-installer: " + message, file=sys.stderr)
    sys.exit(1)


def date_time(st):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is not None:
        try:
            stamp = time.gmtime(int(epoch))
        except ValueError:
            fail("SOURCE_DATE_EPOCH is not a number of seconds: %r" % epoch)
    else:
        stamp = time.localtime(st.st_mtime)
    return max(tuple(stamp[:6]), DOS_EPOCH)


def walk(path, name):
    """(archive name, path, lstat) for `path` and everything below it, in archive order."""
    pending = [(name, path)]
    while pending:
        name, path = pending.pop()
        st = os.lstat(path)
        if stat.S_ISLNK(st.st_mode):
            fail("%s: a symbolic link; the installer writes no links (copy what it points to)" % path)
        if stat.S_ISDIR(st.st_mode):
            yield name + "/", path, st
            children = sorted(os.listdir(os.fsencode(path)), reverse=True)
            pending.extend((name + "/" + decode(child, path), os.path.join(path, os.fsdecode(child)))
                           for child in children)
        elif stat.S_ISREG(st.st_mode):
            yield name, path, st
        else:
            fail("%s: neither a file nor a directory" % path)


def decode(raw, parent):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        fail("%s/%r: a name that is not UTF-8" % (parent, raw))


def check_names(names):
    """Refuses names the installer would refuse, or that would lose an entry."""
    if not names:
        fail("no entries: the installer would install nothing (an end record in the comment "
             "hides the archive's own)")
    files, dirs, seen = set(), set(), set()
    for name in names:
        if name in seen:
            fail("%s: given twice (the later one would replace the earlier)" % name)
        seen.add(name)
        parts = [p for p in name.split("/") if p not in ("", ".")]
        if ".." in name.split("/"):
            fail("%s: a \"..\" component would leave the directory the installer runs in" % name)
        for part in parts:
            if len(part.encode()) > NAME_MAX:
                fail("%s: a name longer than %d bytes" % (name, NAME_MAX))
        for i in range(1, len(parts)):
            dirs.add("/".join(parts[:i]))
        (dirs if name.endswith("/") else files).add("/".join(parts))
    both = sorted(files & dirs)
    if both:
        fail("%s: both a file and a directory" % both[0])


def pack(out, dirs):
    entries = []
    for directory in dirs:
        name = os.path.basename(os.path.abspath(directory))
        entries.extend(walk(directory, name))
    check_names([name for name, _, _ in entries])
    with zipfile.ZipFile(out, "w") as archive:
        for name, path, st in entries:
            info = zipfile.ZipInfo(name, date_time(st))
            info.create_system = 3  # Unix: the mode below is read
            info.external_attr = (stat.S_IFMT(st.st_mode) | stat.S_IMODE(st.st_mode)) << 16
            if name.endswith("/"):
                info.external_attr |= 0x10  # MS-DOS directory bit, as zip sets it
                archive.writestr(info, b"")
                continue
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f, \
                    archive.open(info, "w", force_zip64=st.st_size >= 1 << 31) as entry:
                shutil.copyfileobj(f, entry, 1 << 20)
    print(len(entries))


def main(argv):
    if len(argv) < 3:
        fail("usage: pack_archive.py pack OUT DIR... | check ARCHIVE | comment ARCHIVE | names ARCHIVE")
    verb, target = argv[1], argv[2]
    if verb == "pack":
        pack(target, argv[3:])
    elif verb == "check":
        try:
            with zipfile.ZipFile(target) as archive:
                names = archive.namelist()
        except zipfile.BadZipFile as e:
            fail("%s: not a ZIP archive (%s)" % (target, e))
        check_names(names)
        print(len(names))
    elif verb == "names":
        # The stored bytes: flagged names are UTF-8, the others code page 437.
        with zipfile.ZipFile(target) as archive:
            for info in archive.infolist():
                encoding = "utf-8" if info.flag_bits & 0x800 else "cp437"
                sys.stdout.buffer.write(info.orig_filename.encode(encoding) + b"\0")
    elif verb == "comment":
        with zipfile.ZipFile(target, "a") as archive:
            archive.comment = os.environb[b"COMMENT"]
    else:
        fail("unknown verb " + verb)


if __name__ == "__main__":
    main(sys.argv)
