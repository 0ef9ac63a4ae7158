"""Real installers run over an earlier installation, on real file systems, as a user and as
an attacker would: the earlier installation survives every failure until the new one is
complete, no file is left cut short, and nothing is written through what stands where an
entry goes. Cases that need root (tmpfs, cgroups, another user) are skipped without it."""

import os
import shutil
import signal
import subprocess
import tempfile
import unittest
import zipfile

import sfx_testlib as lib
import zipcorpus
from installer_runs_test import Scratch, info_zip_installer, python_installer, wait_idle

VERSION_1 = {
    "setup/": None,
    "setup/install.sh": ("#!/bin/sh\necho v1\n", 0o755),
    "setup/ro/": None,
    "setup/ro/data.txt": "old data\n",
}


def is_root():
    return os.geteuid() == 0


class OverAnEarlierInstallation(Scratch):
    def install_version_1(self):
        """Runs version 1 to completion, adds a file of the user's, returns the tree."""
        work = tempfile.mkdtemp(dir=self.root)
        run = self.start(info_zip_installer(work, "$AUTORUN$>true", files=VERSION_1))
        self.assertEqual(run.wait(), 0, run.stderr())
        with open(os.path.join(self.run_dir, "setup/notes.txt"), "w") as f:
            f.write("the user's own notes\n")
        os.chmod(os.path.join(self.run_dir, "setup/ro"), 0o555)
        return lib.tree(self.run_dir)

    def test_damaged_installer_keeps_the_previous_installation(self):
        before = self.install_version_1()
        entries = [("setup/", b"", 0o40755), ("setup/install.sh", b"echo v2\n", 0o100755),
                   ("setup/damaged.txt", b"x" * 4000, 0o100644), ("setup/later.txt", b"l", 0o100644)]

        def wrong_crc(data):
            third = data.index(b"PK\x01\x02")
            for _ in range(2):
                third = data.index(b"PK\x01\x02", third + 4)
            return data[:third + 16] + b"\xde\xad\xbe\xef" + data[third + 20:]

        run = self.start(python_installer(self.work, entries, b"$AUTORUN$>touch ../ran", wrong_crc))
        self.assertFailure(run, "setup/damaged.txt: file couldn't be read: CRC mismatch")
        self.assertEqual(lib.tree(self.run_dir), before)

    def test_full_disk_names_the_cut_file_and_keeps_the_previous_installation(self):
        if not is_root():
            self.skipTest("mounting a tmpfs needs root")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.run_dir], check=True)
        before = self.install_version_1()
        files = dict(VERSION_1)
        files["setup/big.bin"] = os.urandom(1536 << 10)  # does not compress
        files["setup/small.txt"] = "small\n"
        run = self.start(info_zip_installer(self.work, "$AUTORUN$>touch ran", files=files))
        self.assertFailure(run, "setup/big.bin: file couldn't be written: %s/setup/big.bin: "
                                "No space left on device" % self.run_dir)
        self.assertEqual(lib.tree(self.run_dir), before)

    def test_snapshots_and_links_outside_are_never_written_through(self):
        self.install_version_1()
        snapshot = os.path.join(self.root, "snapshot")
        subprocess.run(["cp", "-al", os.path.join(self.run_dir, "setup"), snapshot], check=True)
        before = lib.tree(snapshot)
        outside = os.path.join(self.root, "outside.txt")
        with open(outside, "w") as f:
            f.write("outside\n")
        os.link(outside, os.path.join(self.run_dir, "linked.txt"))
        os.mkfifo(os.path.join(self.run_dir, "fifo"))
        files = dict(VERSION_1, **{"setup/install.sh": ("#!/bin/sh\necho v2\n", 0o755)})
        source = os.path.join(self.work, "src")
        lib.write_tree(source, files)
        lib.write_tree(source, {"linked.txt": "new\n", "fifo": "no longer a fifo\n"})
        payload = os.path.join(self.work, "payload.zip")
        subprocess.run(["zip", "-q", "-r", "-X", payload, "setup", "linked.txt", "fifo"],
                       cwd=source, check=True)
        run = self.start(lib.attach(payload, os.path.join(self.work, "installer")))
        window = lib.find_window(run=run)
        self.assertTrue(wait_idle(run, timeout=20), "the installer hangs")
        lib.request_close(window)
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(lib.tree(snapshot), before)
        with open(outside) as f:
            self.assertEqual(f.read(), "outside\n")
        with open(os.path.join(self.run_dir, "fifo")) as f:
            self.assertEqual(f.read(), "no longer a fifo\n")

    def test_stop_signal_during_extraction_cleans_up(self):
        before = self.install_version_1()
        files = lib.many_files("setup", 3000)
        run = self.start(info_zip_installer(self.work, "$AUTORUN$>touch ran", files=files),
                         stops=lib.MID_EXTRACTION)
        run.held("a third of the entries written")
        self.assertTrue(lib.extracting(self.run_dir, 3000), "held, but not mid-extraction")
        run.send_signal(signal.SIGTERM)
        run.resume()
        self.assertEqual(run.wait(), -signal.SIGTERM, run.stderr())
        self.assertEqual(lib.tree(self.run_dir), before)

    def test_killed_run_is_cleaned_up_by_the_next(self):
        self.install_version_1()
        files = lib.many_files("setup", 3000)
        installer = info_zip_installer(self.work, "$AUTORUN$>true", files=files)
        run = self.start(installer, stops=lib.MID_EXTRACTION)
        run.held("a third of the entries written")
        self.assertTrue(lib.extracting(self.run_dir, 3000), "held, but not mid-extraction")
        run.send_signal(signal.SIGKILL)
        self.assertEqual(run.wait(), -signal.SIGKILL)
        self.assertEqual(len(lib.stages(self.run_dir)), 1, "the killed run left no stage")
        self.assertEqual(self.start(installer).wait(timeout=60), 0)
        self.assertEqual(os.listdir(self.run_dir), ["setup"])
        self.assertEqual(lib.count_files(os.path.join(self.run_dir, "setup")), 3000)

    def test_read_only_installation_is_replaced_by_its_owner(self):
        if not is_root():
            self.skipTest("becoming another user needs root")
        os.chmod(self.root, 0o755)
        os.chmod(self.parent, 0o755)
        os.chown(self.run_dir, 65534, 65534)
        files = dict(VERSION_1, **{"setup/ro/": (None), "setup/ro/data.txt": ("d", 0o444)})
        installer = info_zip_installer(self.work, "$AUTORUN$>chmod -R a-w setup", files=files)
        os.chmod(self.work, 0o755)
        nobody = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
        for attempt in range(2):
            run = self.start(installer, prefix=nobody)
            self.assertEqual(run.wait(), 0, "run %d: %s" % (attempt, run.stderr()))
        self.assertEqual(os.listdir(self.run_dir), ["setup"])


class HostileArchives(Scratch):
    def run_payload(self, payload):
        return self.start(lib.append_to_stub(payload, os.path.join(self.work, "installer")),
                          prefix=["/usr/bin/time", "-f", "%M", "-o",
                                  os.path.join(self.work, "peak")])

    def peak_kib(self):
        with open(os.path.join(self.work, "peak")) as f:
            return int(f.read().split()[-1])

    def test_sizes_the_data_cannot_hold_are_refused_before_any_allocation(self):
        for claim in (0xFFFFFFF0, 40 << 30):
            with self.subTest(claim=claim):
                run = self.run_payload(zipcorpus.size_claim_archive(claim))
                self.assertFailure(run, "top/claim.bin: file couldn't be read: "
                                        "data shorter than recorded")
                self.assertLess(self.peak_kib(), 256 << 10)
                self.assertEqual(os.listdir(self.run_dir), [])

    def test_overlapping_entries_are_refused_whole(self):
        run = self.run_payload(zipcorpus.overlapping_archive(100))
        self.assertFailure(run, "overlapping entries: top/b shares its data with top/a")
        self.assertEqual(os.listdir(self.run_dir), [])

    def test_later_entries_of_one_name_win(self):
        payload = os.path.join(self.work, "payload.zip")
        lib.zip_entries(payload, [("setup/", b""), ("setup/a.txt", b"first\n")])
        with zipfile.ZipFile(payload, "a") as archive:  # how Python updates a member
            with self.assertWarns(UserWarning):
                archive.writestr("setup/a.txt", b"second\n")
            archive.comment = b"$AUTORUN$>cat setup/a.txt"
        with open(payload, "rb") as f:
            run = self.start(lib.append_to_stub(f.read(), os.path.join(self.work, "installer")))
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(run.stdout(), "second\n")


class Runs(Scratch):
    def test_two_runs_at_once_take_turns(self):
        files = lib.many_files("setup", 200)
        installer = info_zip_installer(
            self.work, "$AUTORUN$>find setup -type f | wc -l >> counts.txt", files=files)
        # The first held with half its entries written (its stage and two directories
        # made), the second started meanwhile and held when it has its turn, so that the
        # first's command counts before the second goes on.
        first = self.start(installer, stops=lib.Stops("mkdirat", 3))
        first.held("half the entries written")
        self.assertTrue(lib.extracting(self.run_dir, 200), "held, but not mid-extraction")
        second = self.start(installer, stops=lib.Stops("mkdirat", 1, also=["flock"]))
        second.wait_logged(lib.LOCKED_OUT, "the second finding the directory locked")
        first.resume()
        self.assertEqual(first.wait(timeout=60), 0, first.stderr())
        second.held("its stage made")
        second.resume()
        self.assertEqual(second.wait(timeout=60), 0, second.stderr())
        with open(os.path.join(self.run_dir, "counts.txt")) as f:
            self.assertEqual(f.read().split(), ["200", "200"])

    def test_working_directory_deeper_than_path_max(self):
        installer = info_zip_installer(self.work, "$AUTORUN$>cat setup/data/a.txt")

        def descend():  # one step at a time: no path the kernel sees is too long
            for _ in range(22):
                os.mkdir("d" * 200)
                os.chdir("d" * 200)

        result = subprocess.run(lib.program(installer), cwd=self.run_dir, preexec_fn=descend,
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "alpha\n", ""))
        deep = subprocess.run(["find", self.run_dir, "-name", "a.txt"], capture_output=True,
                              text=True).stdout.strip()
        self.assertGreater(len(deep), 4400)

    def test_archive_is_released_before_the_command_runs(self):
        files = {"setup/": None, "setup/blob.bin": os.urandom(64 << 20)}
        installer = info_zip_installer(
            self.work, "$AUTORUN$>grep VmRSS /proc/$PPID/status", files=files)
        # AddressSanitizer would keep freed memory in quarantine.
        run = self.start(installer, env={"ASAN_OPTIONS": "quarantine_size_mb=0"})
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())
        rss_kib = int(run.stdout().split()[1])
        self.assertLess(rss_kib, 48 << 10, "the 64 MiB archive is still held")


def memory_cgroup(limit):
    """A new memory cgroup limited to `limit` bytes below ours (v1 or v2), or None."""
    with open("/proc/self/cgroup") as f:
        lines = [line.rstrip("\n").split(":", 2) for line in f]
    for _, controllers, path in lines:
        if "memory" in controllers.split(","):
            base, limit_file = "/sys/fs/cgroup/memory" + path, "memory.limit_in_bytes"
            break
    else:
        path = next((p for i, c, p in lines if i == "0"), None)
        base, limit_file = "/sys/fs/cgroup" + (path or ""), "memory.max"
    group = os.path.join(base, "sfx-test-%d" % os.getpid())
    try:
        os.mkdir(group)
        with open(os.path.join(group, limit_file), "w") as f:
            f.write(str(limit))
    except OSError:
        return None
    return group


class Memory(Scratch):
    def test_installer_larger_than_its_memory_cgroup_installs(self):
        # The installer is mapped, not copied: its pages are the file's, which the cgroup
        # can reclaim.
        group = memory_cgroup(64 << 20)
        if group is None:
            self.skipTest("no memory cgroup can be made here")
        self.addCleanup(os.rmdir, group)
        blob = os.urandom(96 << 20)
        files = {"setup/": None, "setup/blob.bin": blob}
        installer = info_zip_installer(self.work, "$AUTORUN$>touch ../ran", files=files)
        enter = ["sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', group]
        run = self.start(installer, prefix=enter, env={"ASAN_OPTIONS": "quarantine_size_mb=0"})
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        with open(os.path.join(self.run_dir, "setup/blob.bin"), "rb") as f:
            self.assertTrue(f.read() == blob, "setup/blob.bin differs from the packed one")


if __name__ == "__main__":
    unittest.main()
