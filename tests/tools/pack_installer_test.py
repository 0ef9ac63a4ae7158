"""tools/pack-installer as a packager uses it: what it builds, and how it refuses."""

import hashlib
import io
import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile

import sfx_testlib as lib

PACK = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "pack-installer")
LIST = os.path.join(os.path.dirname(lib.stub_path()), "sfx-list")


def pack(*args, cwd=None):
    return subprocess.run([PACK, *args], capture_output=True, text=True, cwd=cwd)


class PackInstaller(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="sfx-pack-")
        lib.write_tree(self.root, {
            "app/": None,
            "app/install.sh": ("#!/bin/sh\nls -R . > ../installed.txt\n", 0o755),
            "app/conf/": None,
            "app/conf/app.conf": ("secret=1\n", 0o600),
            "extra/": None,
            "extra/readme.txt": "second directory\n",
        })
        self.out = os.path.join(self.root, "setup.bin")

    def tearDown(self):
        shutil.rmtree(self.root)

    def test_builds_an_installer_that_runs_its_command(self):
        result = pack("-c", "cd app && ./install.sh", "-o", self.out, "--stub", lib.stub_path(),
                      os.path.join(self.root, "app"), os.path.join(self.root, "extra"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.stat(self.out).st_mode & stat.S_IXUSR, "the installer is not executable")
        with zipfile.ZipFile(self.out) as archive:
            names = archive.namelist()
            self.assertEqual(archive.comment, b"$AUTORUN$>cd app && ./install.sh")
            modes = {info.filename: info.external_attr >> 16 for info in archive.infolist()}
        self.assertLess(names.index("app/"), names.index("app/conf/"))
        self.assertLess(names.index("app/conf/"), names.index("app/conf/app.conf"))
        self.assertIn("extra/readme.txt", names)
        self.assertEqual(modes["app/conf/app.conf"] & 0o777, 0o600)
        self.assertEqual(modes["app/install.sh"] & 0o777, 0o755)

        run_dir = os.path.join(self.root, "run")
        os.makedirs(run_dir)
        run = lib.Run(self.out, run_dir)
        try:
            self.assertEqual(run.wait(), 0, run.stderr())
        finally:
            run.kill()
        self.assertEqual(os.stat(os.path.join(run_dir, "app/conf/app.conf")).st_mode & 0o777, 0o600)
        self.assertTrue(os.path.isfile(os.path.join(run_dir, "extra/readme.txt")))
        with open(os.path.join(run_dir, "installed.txt")) as f:
            self.assertIn("app.conf", f.read())

    def test_comment_is_kept_byte_for_byte(self):
        command = "echo one\n.\necho three\n"  # zip -z would stop at the lone period
        result = pack("-c", command, "-o", self.out, "--stub", lib.stub_path(),
                      os.path.join(self.root, "app"))
        self.assertEqual(result.returncode, 0, result.stderr)
        with zipfile.ZipFile(self.out) as archive:
            self.assertEqual(archive.comment, ("$AUTORUN$>" + command).encode())

    def test_refusals_name_what_is_wrong(self):
        app = os.path.join(self.root, "app")
        cases = [
            (["--stub", lib.stub_path(), os.path.join(self.root, "missing")], "not a directory"),
            (["--stub", os.path.join(self.root, "no-stub"), app], "stub not found"),
            (["--stub", lib.stub_path(), "-c", "x" * 65526, app], "65,535"),
            (["--stub", lib.stub_path(), "--frobnicate", app], "unknown option"),
        ]
        for args, message in cases:
            with self.subTest(message=message):
                result = pack("-o", self.out, *args)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.out), "an installer was written all the same")
        longest = pack("-o", self.out, "--stub", lib.stub_path(), "-c", "x" * 65525, app)
        self.assertEqual(longest.returncode, 0, longest.stderr)

    def test_the_same_tree_gives_the_same_bytes_anywhere_at_any_time(self):
        built = []
        for place in ("first", "second"):
            copy = os.path.join(self.root, place, "app")
            shutil.copytree(os.path.join(self.root, "app"), copy)
            stamp = time.time() - (0 if place == "first" else 86400)
            for directory, _, names in os.walk(copy):
                for name in names + [""]:
                    os.utime(os.path.join(directory, name), (stamp, stamp))
            out = os.path.join(self.root, place, "setup.bin")
            result = subprocess.run([PACK, "-c", "./go", "-o", out, "--stub", lib.stub_path(), "app"],
                                    capture_output=True, text=True, cwd=os.path.dirname(copy),
                                    env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(out, "rb") as f:
                data = f.read()
            digest = hashlib.sha256(data).hexdigest()
            self.assertIn("(%d bytes, 4 entries, SHA-256 %s)" % (len(data), digest), result.stdout)
            built.append(data)
            time.sleep(1.1)  # a later second, for any time that would slip in
        self.assertTrue(built[0] == built[1],
                         "two builds of one tree differ: the installer is not reproducible")
        with zipfile.ZipFile(io.BytesIO(built[0])) as archive:
            self.assertEqual(archive.namelist(), ["app/", "app/conf/", "app/conf/app.conf",
                                                  "app/install.sh"])
            self.assertEqual({info.date_time for info in archive.infolist()},
                             {(2023, 11, 14, 22, 13, 20)})
            self.assertEqual({info.extra for info in archive.infolist()}, {b""})

    def test_trees_the_installer_would_refuse_are_refused_here(self):
        os.symlink("conf", os.path.join(self.root, "app", "link"))
        result = pack("-o", self.out, "--stub", lib.stub_path(), os.path.join(self.root, "app"))
        self.assertIn("app/link: a symbolic link", result.stderr)
        self.assertNotEqual(result.returncode, 0)
        cases = [
            ([("a/", b""), ("a/../b", b"x")], 'a/../b: a ".." component'),
            ([("x", b"file"), ("x/y", b"below")], "x: both a file and a directory"),
            ([("a/" + "n" * 256, b"x")], "a name longer than 255 bytes"),
            ([("a", b"1"), ("a", b"2")], "a: given twice"),
        ]
        for entries, message in cases:
            with self.subTest(message=message):
                archive = os.path.join(self.root, "given.zip")
                with zipfile.ZipFile(archive, "w") as z:
                    for name, data in entries:
                        z.writestr(name, data)
                result = pack("-o", self.out, "--stub", lib.stub_path(), "--archive", archive)
                self.assertNotEqual(result.returncode, 0, "refused nothing")
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.out), "an installer was written all the same")

    def test_an_installer_its_own_reader_would_misread_is_not_written(self):
        app = os.path.join(self.root, "app")
        given = os.path.join(self.root, "given.zip")
        # An empty archive's end record ending the comment: the stub, like every reader,
        # would take it for the archive's end and find nothing to install.
        with zipfile.ZipFile(given, "w") as z:
            z.writestr("app/run.sh", "echo hi\n")
            z.comment = b"$AUTORUN$>true #PK\x05\x06" + b"\x00" * 18
        # A file entry "." would be the directory the installer runs in: Info-ZIP and
        # Python take it, the stub refuses it.
        with zipfile.ZipFile(os.path.join(self.root, "dot.zip"), "w") as z:
            z.writestr("app/run.sh", "echo hi\n")
            z.writestr(".", "the target itself")
        cases = [(given, "no entries: the installer would install nothing"),
                 (os.path.join(self.root, "dot.zip"),
                  ".: refused: a file entry names the target itself")]
        for archive, message in cases:
            with self.subTest(message=message):
                result = pack("-o", self.out, "--stub", lib.stub_path(), "--archive", archive)
                self.assertNotEqual(result.returncode, 0, "wrote an installer its stub misreads")
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.out), "an installer was written all the same")
        # Without sfx-list there is no check, and so no installer.
        stub = os.path.join(self.root, "alone", "sfx-stub")
        os.makedirs(os.path.dirname(stub))
        shutil.copy(lib.stub_path(), stub)
        tree = os.path.join(self.root, "tree")
        os.makedirs(os.path.join(tree, "tools"))
        for name in ("pack-installer", "pack_archive.py"):
            shutil.copy(os.path.join(os.path.dirname(PACK), name), os.path.join(tree, "tools"))
        result = subprocess.run([os.path.join(tree, "tools", "pack-installer"), "-o", self.out,
                                 "--stub", stub, app], capture_output=True, text=True)
        self.assertNotEqual(result.returncode, 0, "wrote an installer nothing listed")
        self.assertIn("sfx-list not found", result.stderr)
        self.assertFalse(os.path.exists(self.out), "an installer was written all the same")

    def test_a_stub_of_another_machine_is_checked_with_this_machines_lister(self):
        # The arm64 stub packed on an x86-64 machine: the sfx-list built beside it cannot run
        # here, so the portable (or plain) build's lister checks the result.
        lib.skip_if_emulated(self, "the build's sfx-list is not of this machine")
        lister = os.path.join(os.path.dirname(lib.stub_path()), "sfx-list")
        tree = os.path.join(self.root, "tree")
        os.makedirs(os.path.join(tree, "tools"))
        for name in ("pack-installer", "pack_archive.py"):
            shutil.copy(os.path.join(os.path.dirname(PACK), name), os.path.join(tree, "tools"))
        foreign = os.path.join(tree, "build-portable-arm64")
        os.makedirs(foreign)
        for source, name in ((lib.stub_path(), "sfx-stub"), (lister, "sfx-list")):
            with open(source, "rb") as f:
                data = bytearray(f.read())
            # e_machine, two bytes at 18: aarch64 (183) for an x86-64 build, else x86-64 (62).
            here = int.from_bytes(data[18:20], "little")
            data[18:20] = (183 if here == 62 else 62).to_bytes(2, "little")
            with open(os.path.join(foreign, name), "wb") as f:
                f.write(data)
            os.chmod(os.path.join(foreign, name), 0o755)
        command = [os.path.join(tree, "tools", "pack-installer"), "-o", self.out, "--stub",
                   os.path.join(foreign, "sfx-stub"), "app"]
        result = subprocess.run(command, capture_output=True, text=True, cwd=self.root)
        self.assertNotEqual(result.returncode, 0, "packed without a lister of this machine")
        self.assertIn("sfx-list not found: none of this machine", result.stderr)
        os.makedirs(os.path.join(tree, "build-portable"))
        shutil.copy(lister, os.path.join(tree, "build-portable", "sfx-list"))
        result = subprocess.run(command, capture_output=True, text=True, cwd=self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.out, "rb") as f, open(os.path.join(foreign, "sfx-stub"), "rb") as stub:
            self.assertTrue(f.read().startswith(stub.read()), "not built on the stub given")

    def test_without_stub_option_prefers_the_portable_stub(self):
        tree = os.path.join(self.root, "tree")
        os.makedirs(os.path.join(tree, "tools"))
        shutil.copy(PACK, os.path.join(tree, "tools"))
        shutil.copy(os.path.join(os.path.dirname(PACK), "pack_archive.py"), os.path.join(tree, "tools"))
        with open(lib.stub_path(), "rb") as f:
            stub = f.read()
        for build in ("build", "build-portable"):
            os.makedirs(os.path.join(tree, build))
            with open(os.path.join(tree, build, "sfx-stub"), "wb") as f:
                f.write(stub + build.encode())  # which stub went in
            # Beside each stub: under emulation, only the one beside the stub is run.
            shutil.copy(LIST, os.path.join(tree, build))
        for build in ("build-portable", "build"):
            with self.subTest(build=build):
                result = subprocess.run([os.path.join(tree, "tools", "pack-installer"), "-o",
                                         self.out, os.path.join(self.root, "app")],
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(self.out, "rb") as f:
                    self.assertEqual(f.read(len(stub) + len(build) + 2), stub + build.encode() + b"PK")
                shutil.rmtree(os.path.join(tree, "build-portable"), ignore_errors=True)

    def test_help_explains_the_options(self):
        result = pack("--help")
        self.assertEqual(result.returncode, 0)
        for word in ("-c COMMAND", "-o OUT", "--stub PATH", "$AUTORUN$>"):
            self.assertIn(word, result.stdout)


if __name__ == "__main__":
    unittest.main()
