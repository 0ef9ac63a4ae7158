"""Installers read through a mapping of their own file: a file cut short under a running
installer (an overlay's lower layer) is a failure like any other, ulimit -v ends in a
message or a complete installation and never in a hang or a crash, and an installer three
times larger than its memory cgroup installs. Cases that need root are skipped without it."""

import fcntl
import os
import resource
import shutil
import subprocess
import time
import unittest
import zlib

import sfx_testlib as lib
from installer_runs_test import Scratch, info_zip_installer, thread_count
from nothing_lost_test import is_root, memory_cgroup

CHANGED = "the installer file changed while it was running"


def sanitized_stub():
    """AddressSanitizer reserves terabytes of address space: ulimit -v means nothing to it."""
    with open(lib.stub_path(), "rb") as f:
        return b"__asan_init" in f.read()


def wait_end_or_failure(run, timeout=60):
    """Waits until the stub ends or reports a failure; a failure's window is closed. The exit
    status; raises if it does neither within `timeout` (a hang)."""
    deadline = time.monotonic() + timeout
    while run.running() and "sfx-stub: " not in run.stderr():
        if time.monotonic() > deadline:
            raise AssertionError("the installer hangs: " + run.stderr())
        time.sleep(0.05)
    if run.running():
        try:
            window = lib.find_window(run=run)
        except RuntimeError:
            # Refused before any window could exist (too little for the toolkit): the
            # message was written just before the exit.
            if run.running():
                raise
        else:
            lib.request_close(window)
    return run.wait(timeout=timeout)


class ShrinkingInstaller(Scratch):
    def test_lower_layer_cut_short_fails_and_keeps_the_previous_installation(self):
        if not is_root():
            self.skipTest("mounting an overlay needs root")
        # The layers on a tmpfs of their own: an overlay cannot take its upper layer from
        # another overlay (the root of a container or of the Debian 11 build).
        base = os.path.join(self.root, "layers")
        os.mkdir(base)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256m", "tmpfs", base], check=True)
        layers = {name: os.path.join(base, name) for name in ("lower", "upper", "ovl")}
        layers["merged"] = os.path.join(self.root, "merged")
        for path in layers.values():
            os.mkdir(path)
        files = {"setup/": None, "setup/blob.bin": os.urandom(32 << 20), "setup/z.txt": "last\n"}
        built = info_zip_installer(self.work, "$AUTORUN$>touch ../ran", files=files)
        shutil.copy(built, os.path.join(layers["lower"], "installer"))
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        "lowerdir=%(lower)s,upperdir=%(upper)s,workdir=%(ovl)s" % layers,
                        layers["merged"]], check=True)
        lib.write_tree(self.run_dir, {"setup/old.txt": "the previous installation\n"})
        before = lib.tree(self.run_dir)

        # Holding the directory's lock keeps the installer, mapped and listed, waiting to
        # extract while the file under it shrinks.
        lock = os.open(self.run_dir, os.O_RDONLY)
        self.addCleanup(os.close, lock)
        fcntl.flock(lock, fcntl.LOCK_EX)
        run = self.start(os.path.join(layers["merged"], "installer"))
        lib.find_window(run=run)
        # The window comes before the archive is loaded; the extraction worker, after.
        deadline = time.monotonic() + 60
        while thread_count(run.process.pid) < 2:
            self.assertLess(time.monotonic(), deadline, "the installer never started extracting")
            time.sleep(0.01)
        os.truncate(os.path.join(layers["lower"], "installer"), os.path.getsize(built) // 2)
        fcntl.flock(lock, fcntl.LOCK_UN)

        self.assertFailure(run, CHANGED)
        self.assertIn("merged/installer: " + CHANGED, run.stderr())
        self.assertEqual(lib.tree(self.run_dir), before)


class AddressSpaceLimit(Scratch):
    def test_ulimit_v_ends_in_a_message_or_an_installation(self):
        if sanitized_stub():
            self.skipTest("the sanitized stub cannot run under ulimit -v")
        lib.skip_if_emulated(self, "ulimit -v limits qemu too, whose own address space (its "
                             "translation buffer, its reservations) the stub cannot see")
        blob = os.urandom(64 << 20)
        files = {"setup/": None, "setup/blob.bin": blob}
        installer = info_zip_installer(self.work, "$AUTORUN$>true", files=files)
        size_mib = os.path.getsize(installer) >> 20
        statuses = {}
        for extra_mib in (0, 20, 40, 60, 90, 120, 160, 240):
            limit = (size_mib + extra_mib) << 20
            shutil.rmtree(self.run_dir)
            os.mkdir(self.run_dir)
            run = lib.Run(installer, self.run_dir, prefix=["/usr/bin/prlimit", "--as=%d" % limit])
            self.runs.append(run)
            status = wait_end_or_failure(run)
            statuses[extra_mib] = status
            with self.subTest(extra_mib=extra_mib):
                self.assertIn(status, (0, 3), run.stderr())
                if status == 3:
                    self.assertRegex(run.stderr(), r"^sfx-stub: .*not enough memory")
                    self.assertEqual(os.listdir(self.run_dir), [])
                else:
                    with open(os.path.join(self.run_dir, "setup/blob.bin"), "rb") as f:
                        self.assertTrue(f.read() == blob, "setup/blob.bin differs from the packed one")
        self.assertEqual((statuses[0], statuses[240]), (3, 0), statuses)


class LargeInstaller(Scratch):
    def test_three_gib_installer_in_a_one_gib_memory_cgroup(self):
        if not is_root():
            self.skipTest("a memory cgroup needs root")
        group = memory_cgroup(1 << 30)
        if group is None:
            self.skipTest("no memory cgroup can be made here")
        self.addCleanup(os.rmdir, group)
        # One stored entry of 3 GiB behind the stub, written a MiB at a time.
        installer = os.path.join(self.work, "installer")
        block = os.urandom(1 << 20)
        crc = 0
        with open(installer, "wb") as out:
            with open(lib.stub_path(), "rb") as stub:
                shutil.copyfileobj(stub, out)
            import zipfile
            with zipfile.ZipFile(out, "a") as archive:
                info = zipfile.ZipInfo("big/data.bin", date_time=(2024, 1, 1, 0, 0, 0))
                info.external_attr = 0o100644 << 16
                with archive.open(info, "w", force_zip64=True) as entry:
                    for i in range(3 << 10):
                        piece = i.to_bytes(8, "little") + block[8:]
                        entry.write(piece)
                        crc = zlib.crc32(piece, crc)
                archive.comment = b"$AUTORUN$>true"
        os.chmod(installer, 0o755)
        enter = ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', group]
        run = self.start(installer, prefix=enter, env={"ASAN_OPTIONS": "quarantine_size_mb=0"})
        self.assertEqual(run.wait(timeout=900), 0, run.stderr())
        path = os.path.join(self.run_dir, "big/data.bin")
        self.assertEqual(os.path.getsize(path), 3 << 30)
        got = 0
        with open(path, "rb") as f:
            for piece in iter(lambda: f.read(1 << 20), b""):
                got = zlib.crc32(piece, got)
        self.assertEqual(got, crc)


if __name__ == "__main__":
    unittest.main()
