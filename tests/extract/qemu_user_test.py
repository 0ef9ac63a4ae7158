"""A previous installation removed where statx gives no mount id, as on the kernels before
5.8 that installers still meet (RHEL 8's 4.18, Debian 10's 4.19, Ubuntu 20.04's 5.4), where
a bind mount shares its device with the file system it lies in.

extract_cli runs under qemu-user (qemu-x86_64-static on an x86-64 machine; in a cross
build, SFX_EMULATOR, which runs every test there), whose statx answers with the mount id 0
(qemu 7.2 sets the mask bit but copies no stx_mnt_id). The test first asks statx_mount_id,
run under the same qemu, to confirm that, so the mount ids come from the fallback in
src/extract/mount_id.cpp; a qemu that passes the id through is skipped, with a message.

Needs root (to mount) and qemu-user-static."""

import os
import platform
import resource
import shutil
import subprocess
import tempfile
import unittest

import sfx_testlib as lib

CLI = os.environ.get("SFX_EXTRACT_CLI")
PROBE = os.environ.get("SFX_STATX_MOUNT_ID")
# The build's own emulator, else the one for programs of this machine.
QEMU = lib.EMULATOR[0] if lib.EMULATOR else "qemu-%s-static" % platform.machine()
# Address space for an emulated program: plenty for these, while a sanitized build's
# shadow memory (which would take every page of the machine under qemu) fails at once.
ADDRESS_SPACE = 4 << 30

OLD = [("app/", b""), ("app/bin/", b""), ("app/bin/run", b"old run"), ("app/data/", b""),
       ("app/data/mnt/", b""), ("app/data/old.txt", b"old data")]
NEW = [("app/", b""), ("app/bin/", b""), ("app/bin/run", b"new run"), ("readme.txt", b"new readme")]
# What the user keeps beside the installation and binds into it.
OUTSIDE = {"outside/": None, "outside/keep.txt": "the user's", "outside/sub/": None,
           "outside/sub/deep.txt": "deeper"}


class EmulatedOldKernel(unittest.TestCase):
    def setUp(self):
        if not CLI or not PROBE:
            self.skipTest("SFX_EXTRACT_CLI and SFX_STATX_MOUNT_ID must name extract_cli and "
                          "statx_mount_id")
        self.qemu = shutil.which(QEMU)
        if self.qemu is None:
            self.skipTest("%s is missing (Debian's qemu-user-static: scripts/install-deps.sh)"
                          % QEMU)
        if os.geteuid() != 0:
            self.skipTest("mounting needs root")
        self.scratch = tempfile.mkdtemp(prefix="sfx-qemu-")
        self.addCleanup(shutil.rmtree, self.scratch)
        # Cleanups run last first: the mounts go before the scratch.
        self.addCleanup(lib.unmount_below, self.scratch)
        self.target = os.path.join(self.scratch, "target")
        os.mkdir(self.target)

    def archive(self, name, entries):
        path = os.path.join(self.scratch, name)
        lib.zip_entries(path, entries)
        return path

    def emulated(self, *args, cwd):
        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
        return subprocess.run([self.qemu, *args], cwd=cwd, capture_output=True, text=True,
                              preexec_fn=limit, timeout=600)

    def test_a_bind_mount_in_the_previous_installation_keeps_the_content_it_shows(self):
        old, new = self.archive("old.zip", OLD), self.archive("new.zip", NEW)
        installed = subprocess.run(lib.program(CLI, old), cwd=self.target, capture_output=True,
                                   text=True)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        lib.write_tree(self.scratch, OUTSIDE)
        outside = os.path.join(self.scratch, "outside")
        before = lib.tree(outside)
        mount_point = os.path.join(self.target, "app", "data", "mnt")
        subprocess.run(["mount", "--bind", outside, mount_point], check=True)

        probe = self.emulated(PROBE, mount_point, self.target, cwd=self.scratch)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        if probe.stdout.split() != ["0", "0"]:
            self.skipTest("this %s gives statx's mount ids (%s): the fallback would not be tested"
                          % (QEMU, " ".join(probe.stdout.split())))

        result = self.emulated(CLI, new, cwd=self.target)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(lib.tree(outside), before)
        # The run names what it left: the mount point, under the name the previous
        # installation had stepped aside to.
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        left, _, reason = lines[0].partition(": ")
        self.assertEqual(reason, "Device or resource busy (could not be removed)", result.stderr)
        self.assertEqual(os.path.basename(left), "mnt", result.stderr)
        aside = os.path.dirname(os.path.dirname(left))
        self.assertEqual(os.path.dirname(aside), self.target, result.stderr)
        # Beside the new installation: that aside directory and the run's record, kept for
        # the next run to try again.
        others = set(os.listdir(self.target)) - {"app", "readme.txt", os.path.basename(aside)}
        self.assertEqual([name for name in others if not name.startswith(".sfx-run.")], [])
        # Of the previous installation only the way to the mount point stays.
        shown = ("dir", oct(os.stat(outside).st_mode & 0o7777))
        kept = {"data/mnt/" + path: what for path, what in before.items()}
        self.assertEqual(lib.tree(aside), {"data": ("dir", "0o755"), "data/mnt": shown, **kept})
        self.assertEqual(lib.tree(os.path.join(self.target, "app")),
                         {"bin": ("dir", "0o755"), "bin/run": ("file", "0o644", b"new run")})
        with open(os.path.join(self.target, "readme.txt"), "rb") as f:
            self.assertEqual(f.read(), b"new readme")


if __name__ == "__main__":
    unittest.main()
