"""The extraction on the file systems installers meet: the disk, a tmpfs, exFAT through FUSE
(case-insensitive, no RENAME_EXCHANGE) and an overlay whose lower layer holds the previous
installation. Killed with SIGKILL before every system call that changes the tree (strace's
fault injection), a run leaves the previous installation, the new one, or a copy that the
next run puts back. Mounts need root and are skipped without it; exFAT needs FUSE, losetup
and exfatprogs."""

import os
import resource
import shutil
import stat
import subprocess
import tempfile
import unittest
import zipfile

import sfx_testlib as lib

CLI = os.environ.get("SFX_EXTRACT_CLI")
FOLD_CLI = os.environ.get("SFX_FOLD_CLI")

# The previous installation, and the new one: the first entry's place (app/) is replaced
# whole, readme.txt lands beside it.
OLD = [("app/", b""), ("app/bin/", b""), ("app/bin/run", b"old run"), ("app/data.txt", b"old data"),
       ("app/ro/", b"", 0o40555), ("app/ro/keep", b"old kept"), ("app/logs/", b"")]
NEW = [("app/", b""), ("app/bin/", b""), ("app/bin/run", b"new run"), ("app/lib/", b""),
       ("app/lib/x.so", b"new lib" * 100), ("app/ro/", b"", 0o40555), ("app/ro/keep", b"new kept"),
       ("readme.txt", b"new readme")]
# Every call that changes the tree, or the record, or looks at either.
# LeakSanitizer cannot run under ptrace: a sanitized CLI under strace ends in its fatal error.
SYSCALLS = ["openat", "mkdirat", "renameat", "renameat2", "unlinkat", "write", "fchmodat", "flock"]
LAST = b"LAST-ENTRY-DATA"
# LeakSanitizer cannot work under a tracer; the sanitized build's other checks still do.
TRACED = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")


def write_zip(path, entries, damaged=False):
    """`entries` stored as they are: (name, data) or (name, data, mode). `damaged`: the last
    entry's data no longer matches its CRC."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        for name, data, *mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.create_system = 3
            default = 0o40755 if name.endswith("/") else 0o100644
            info.external_attr = (mode[0] if mode else default) << 16
            archive.writestr(info, data)
    if damaged:
        with open(path, "rb") as f:
            data = f.read()
        if LAST not in data:
            raise RuntimeError("%s: the last entry holds no %r" % (path, LAST))
        with open(path, "wb") as f:
            f.write(data.replace(LAST, LAST[:-1] + b"B"))
    return path


def extract(archive, cwd, prefix=(), limits=None):
    def limit():
        for which, value in (limits or {}).items():
            resource.setrlimit(which, (value, value))
    return subprocess.run([*prefix, *lib.program(CLI, archive)], cwd=cwd, capture_output=True,
                          text=True, preexec_fn=limit if limits else None)


def tree(root, modes=True):
    """{relative path: what a user finds there}, links not followed."""
    out = {}
    for directory, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            mode = oct(st.st_mode & 0o7777) if modes else ""
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    out[os.path.relpath(path, root)] = ("file", mode, f.read())
            else:
                out[os.path.relpath(path, root)] = ("dir" if stat.S_ISDIR(st.st_mode) else "other", mode)
    return out


def remove_all(path):
    """Read-only directories and trees too deep for Python's own walk included."""
    subprocess.run(["chmod", "-R", "u+rwx", path], capture_output=True)
    subprocess.run(["rm", "-rf", "--one-file-system", path], check=True)


def run(command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(command), result.returncode,
                                                   result.stderr.strip()))
    return result.stdout.strip()


class FileSystem:
    """A directory on one kind of file system, made ready to hold the previous installation."""
    name = "disk"
    modes = True  # whether it keeps Unix modes

    def __init__(self, scratch):
        self.scratch = scratch
        self.dir = os.path.join(scratch, self.name)
        os.mkdir(self.dir)

    def reset(self, old_archive):
        """Empties the directory and installs the previous installation in it."""
        for name in os.listdir(self.dir):
            path = os.path.join(self.dir, name)
            remove_all(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
        result = extract(old_archive, self.dir)
        if result.returncode != 0:
            raise RuntimeError("installing the previous installation: " + result.stderr)

    def close(self):
        pass


class Tmpfs(FileSystem):
    name = "tmpfs"

    def __init__(self, scratch):
        super().__init__(scratch)
        run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", self.dir])

    def close(self):
        subprocess.run(["umount", "-l", self.dir])


class ExFat(FileSystem):
    """exFAT through FUSE: folds case, keeps no Unix modes, cannot exchange."""
    name = "exfat"
    modes = False

    def __init__(self, scratch):
        super().__init__(scratch)
        image = os.path.join(scratch, "exfat.img")
        with open(image, "wb") as f:
            f.truncate(32 << 20)
        run(["mkfs.exfat", image])
        self.device = run(["losetup", "-f", "--show", image])
        try:
            run(["mount.exfat-fuse", self.device, self.dir])
        except RuntimeError:
            subprocess.run(["losetup", "-d", self.device])
            raise

    def close(self):
        subprocess.run(["umount", self.dir])
        subprocess.run(["losetup", "-d", self.device])


class Overlay(FileSystem):
    """An overlay whose lower layer holds the previous installation, as in a container
    image: its directories cannot be renamed (EXDEV)."""
    name = "overlay"

    def __init__(self, scratch):
        super().__init__(scratch)
        # The layers on a tmpfs of their own: an overlay cannot take its upper layer from
        # another overlay (the root of a container or of the Debian 11 build).
        self.base = os.path.join(scratch, "overlay-layers")
        os.mkdir(self.base)
        run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", self.base])
        self.layers = {part: os.path.join(self.base, part) for part in ("lower", "upper", "work")}
        for path in self.layers.values():
            os.mkdir(path)
        self.mounted = False
        try:
            self.mount()
        except RuntimeError:
            subprocess.run(["umount", self.base])
            raise

    def mount(self):
        run(["mount", "-t", "overlay", "overlay", "-o",
             "lowerdir={lower},upperdir={upper},workdir={work}".format(**self.layers), self.dir])
        self.mounted = True

    def reset(self, old_archive):
        self.close()
        for path in self.layers.values():
            remove_all(path)
            os.mkdir(path)
        result = extract(old_archive, self.layers["lower"])
        if result.returncode != 0:
            raise RuntimeError("installing the previous installation: " + result.stderr)
        self.mount()

    def close(self):
        if self.mounted:
            subprocess.run(["umount", self.dir])
            self.mounted = False


def file_systems(scratch):
    """Every file system this machine can give, with the reason for each it cannot."""
    made, missing = [FileSystem(scratch)], []
    kinds = [Tmpfs, Overlay, ExFat]
    if os.geteuid() != 0:
        return made, ["%s: needs root to mount" % kind.name for kind in kinds]
    for kind in kinds:
        try:
            made.append(kind(scratch))
        except (OSError, RuntimeError) as e:
            missing.append("%s: %s" % (kind.name, e))
    return made, missing


class EveryFileSystem(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not CLI:
            raise unittest.SkipTest("SFX_EXTRACT_CLI does not name extract_cli")
        cls.scratch = tempfile.mkdtemp(prefix="sfx-fs-")
        cls.systems, missing = file_systems(cls.scratch)
        for reason in missing:
            print("not tested on", reason)
        cls.archives = tempfile.mkdtemp(prefix="sfx-fs-archives-")
        cls.old = write_zip(os.path.join(cls.archives, "old.zip"), OLD)
        cls.new = write_zip(os.path.join(cls.archives, "new.zip"), NEW)
        cls.bad = write_zip(os.path.join(cls.archives, "bad.zip"),
                            NEW[:-1] + [("readme.txt", LAST)], damaged=True)

    @classmethod
    def tearDownClass(cls):
        for system in cls.systems:
            system.close()
        lib.unmount_below(cls.scratch)
        remove_all(cls.scratch)
        shutil.rmtree(cls.archives)

    def installations(self, system):
        """The trees of the previous and of the new installation, as this file system holds them."""
        system.reset(self.old)
        old = tree(os.path.join(system.dir, "app"), system.modes)
        result = extract(self.new, system.dir)
        self.assertEqual(result.returncode, 0, "%s: %s" % (system.name, result.stderr))
        new = tree(os.path.join(system.dir, "app"), system.modes)
        self.assertNotEqual(old, new)
        return old, new

    def calls(self, system, syscall):
        """How many times a whole run over the previous installation makes `syscall`."""
        system.reset(self.old)
        log = os.path.join(self.archives, "calls.log")
        result = subprocess.run(["strace", "-f", "-qq", "-o", log, "-e", "trace=" + syscall,
                                 *lib.program(CLI, self.new)], cwd=system.dir,
                                capture_output=True, text=True, env=TRACED)
        self.assertEqual(result.returncode, 0, "%s: traced run: %s" % (system.name, result.stderr))
        with open(log) as f:
            return sum(1 for line in f if (syscall + "(") in line)

    def test_a_run_killed_before_any_step_leaves_one_installation_or_the_next_run_restores_it(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        matrix = []
        for system in self.systems:
            old, new = self.installations(system)
            for syscall in SYSCALLS:
                for n in range(1, self.calls(system, syscall) + 1):
                    system.reset(self.old)
                    subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + syscall,
                                    "-e", "inject=%s:signal=KILL:when=%d" % (syscall, n),
                                    *lib.program(CLI, self.new)],
                                   cwd=system.dir, capture_output=True, env=TRACED)
                    killed = tree(os.path.join(system.dir, "app"), system.modes)
                    # The next run puts right what the killed one left, then fails itself.
                    result = extract(self.bad, system.dir)
                    where = "%s, killed at %s #%d" % (system.name, syscall, n)
                    self.assertEqual(result.returncode, 3, where + ": " + result.stderr)
                    after = tree(os.path.join(system.dir, "app"), system.modes)
                    self.assertIn(after, (old, new), where + ": neither installation is whole")
                    left = sorted(name for name in os.listdir(system.dir)
                                  if name not in ("app", "readme.txt"))
                    self.assertEqual(left, [], where + ": left behind")
                    readme = os.path.join(system.dir, "readme.txt")
                    if os.path.exists(readme):
                        with open(readme, "rb") as f:
                            self.assertEqual(f.read(), b"new readme", where + ": readme.txt cut")
                    state = "old" if killed == old else "new" if killed == new else "restored"
                    matrix.append((system.name, "%s #%d" % (syscall, n), state,
                                   "old" if after == old else "new"))
        print("\nfile system | killed before | left at the kill | after the next run")
        for row in matrix:
            print(" | ".join(row))

    def test_a_link_into_the_place_leads_into_the_new_tree(self):
        for system in self.systems:
            if system.name == "exfat":
                continue  # no symbolic links there
            system.reset(self.old)
            os.symlink("app/logs", os.path.join(system.dir, "logs"))
            archive = write_zip(os.path.join(self.archives, "links.zip"),
                                [("app/", b""), ("app/bin/", b""), ("logs/README", b"through the link")])
            result = extract(archive, system.dir)
            self.assertEqual(result.returncode, 0, "%s: %s" % (system.name, result.stderr))
            self.assertEqual(tree(os.path.join(system.dir, "app")),
                             {"bin": ("dir", "0o755"), "logs": ("dir", "0o755"),
                              "logs/README": ("file", "0o644", b"through the link")}, system.name)

    def test_other_spellings_of_the_place_are_the_place_where_case_folds(self):
        folding = [system for system in self.systems if system.name == "exfat"]
        if not folding:
            self.skipTest("no case-folding file system here")
        system = folding[0]
        system.reset(self.old)
        archive = write_zip(os.path.join(self.archives, "spellings.zip"),
                            [("App/", b""), ("app/bin/", b""), ("APP/bin/run", b"new run"),
                             ("aPP/lib/x.so", b"lib")])
        result = extract(archive, system.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.listdir(system.dir), ["App"])
        self.assertEqual(tree(os.path.join(system.dir, "App"), modes=False),
                         {"bin": ("dir", ""), "bin/run": ("file", "", b"new run"),
                          "lib": ("dir", ""), "lib/x.so": ("file", "", b"lib")})

    def test_greek_and_cyrillic_spellings_of_the_place_are_the_place_where_case_folds(self):
        """On exFAT, ΩΜΈΓΑ/ and ωμέγα/ are one directory to unzip: the installer puts both in
        one new tree, leaves the previous installation as it was when the run fails, and
        replaces it whole when the run succeeds."""
        folding = [system for system in self.systems if system.name == "exfat"]
        if not folding:
            self.skipTest("no case-folding file system here")
        system = folding[0]
        for previous, spellings in (("Ωμέγα", ("ΩΜΈΓΑ", "ωμέγα", "ΩμΈγΑ")),
                                    ("Программа", ("ПРОГРАММА", "программа", "пРОГРАММа"))):
            with self.subTest(place=previous):
                system.reset(write_zip(os.path.join(self.archives, "previous.zip"),
                                       [(previous + "/", b""), (previous + "/bin/", b""),
                                        (previous + "/bin/run", b"old run"),
                                        (previous + "/old.txt", b"old")]))
                before = tree(system.dir, modes=False)
                first, second, third = spellings
                entries = [(first + "/", b""), (second + "/bin/", b""),
                           (first + "/bin/run", b"new run"), (third + "/lib/", b""),
                           (third + "/lib/x.so", b"lib"), (second + "/ΔΕΔΟΜΈΝΑ", b"data"),
                           ("readme.txt", LAST)]
                failing = write_zip(os.path.join(self.archives, "spellings-bad.zip"), entries,
                                    damaged=True)
                result = extract(failing, system.dir)
                self.assertEqual(result.returncode, 3, result.stderr)
                self.assertEqual(tree(system.dir, modes=False), before, "a failed run changed it")

                good = write_zip(os.path.join(self.archives, "spellings.zip"), entries)
                by_unzip = os.path.join(system.dir, "by-unzip")
                os.mkdir(by_unzip)
                run(["unzip", "-q", good, "-d", by_unzip])
                unzipped = tree(by_unzip, modes=False)
                remove_all(by_unzip)
                result = extract(good, system.dir)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(tree(system.dir, modes=False), unzipped)
                self.assertEqual(sorted(os.listdir(system.dir)), sorted([first, "readme.txt"]))
                self.assertEqual(tree(os.path.join(system.dir, first), modes=False),
                                 {"bin": ("dir", ""), "bin/run": ("file", "", b"new run"),
                                  "lib": ("dir", ""), "lib/x.so": ("file", "", b"lib"),
                                  "ΔΕΔΟΜΈΝΑ": ("file", "", b"data")})

    def test_exfat_takes_names_for_one_where_the_fold_does(self):
        """Each letter with a case mapping, and spellings exfat-fuse reads leniently, made on
        exFAT: the names that find one file are those that foldCase folds alike."""
        folding = [system for system in self.systems if system.name == "exfat"]
        if not folding or not FOLD_CLI:
            self.skipTest("no case-folding file system here, or SFX_FOLD_CLI is not set")
        system = folding[0]
        system.reset(self.old)
        letters = set()
        for c in range(0x110000):
            if 0xD800 <= c <= 0xDFFF:
                continue
            variants = {chr(c).lower(), chr(c).upper(), chr(c).title(), chr(c).casefold()}
            if variants != {chr(c)}:
                letters.update(v for v in variants | {chr(c)} if len(v) == 1)
        names = [letter.encode() for letter in sorted(letters)]
        # Overlong forms of A and a, six bytes of a, an encoded NUL that ends the name, and
        # 𐐀 and 𐐨 as surrogate pairs in three-byte halves.
        names += [b"\xc1\x81", b"\xe0\x81\xa1", b"\xfc\x80\x80\x80\x81\xa1", b"A\xc0\x80Z",
                  b"\xed\xa0\x81\xed\xb0\x80", b"\xed\xa0\x81\xed\xb0\xa8"]
        where = os.path.join(system.dir, "names").encode()
        os.mkdir(where)
        for i, name in enumerate(names):
            try:
                fd = os.open(os.path.join(where, name), os.O_WRONLY | os.O_CREAT | os.O_EXCL)
            except FileExistsError:
                continue
            os.write(fd, b"%d" % i)
            os.close(fd)
        found = []
        for name in names:
            with open(os.path.join(where, name), "rb") as f:
                found.append(int(f.read()))
        remove_all(where.decode())
        folds = subprocess.run(lib.program(FOLD_CLI),
                               input=b"".join(name + b"\0" for name in names),
                               capture_output=True, check=True).stdout.split(b"\0")[:-1]
        self.assertEqual(len(folds), len(names))
        first_of_fold = {}
        for i, fold in enumerate(folds):
            first_of_fold.setdefault(fold, i)

        def shown(name):
            try:
                return " ".join("U+%04X" % ord(c) for c in name.decode("utf-8", "surrogatepass"))
            except UnicodeDecodeError:
                return repr(name)
        wrong = ["%s finds %s, folds as %s" % (shown(names[i]), shown(names[found[i]]),
                                               shown(names[first_of_fold[fold]]))
                 for i, fold in enumerate(folds) if first_of_fold[fold] != found[i]]
        self.assertEqual(wrong[:20], [], "%d of %d names, the first shown" % (len(wrong), len(names)))
        self.assertGreater(len(set(found)), 2000)

    def test_a_previous_installation_too_deep_for_recursion_goes_with_few_descriptors(self):
        system = self.systems[0]
        system.reset(self.old)
        depth = 100000
        fd = os.open(os.path.join(system.dir, "app"), os.O_RDONLY)
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            below = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = below
        os.close(fd)
        result = extract(self.new, system.dir, limits={resource.RLIMIT_NOFILE: 32})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(sorted(os.listdir(system.dir)), ["app", "readme.txt"])
        self.assertFalse(os.path.exists(os.path.join(system.dir, "app", "d")))


if __name__ == "__main__":
    unittest.main()
