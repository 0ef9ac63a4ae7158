"""Installers among other users and short of what a process may have: records, stages and
locks that another user left or holds are never obeyed or waited for, and a run that cannot
do what it must says so in the window, leaving nothing of its own behind. Other users and
cgroups need root; those cases are skipped without it."""

import fcntl
import os
import shutil
import signal
import subprocess
import time
import unittest

import sfx_testlib as lib
from installer_runs_test import SETUP_TREE, Scratch, info_zip_installer, python_installer

VICTIM = 65533
ATTACKER = 65534
# A dead run's record as the installer writes it: a first line, then key and value pairs,
# each ended by a zero byte. Its token is in its name and in every name the run makes.
RECORD_MAGIC = b"sfx-stub run record 2\n"
TOKEN = "0123456789abcdef"
COMMAND = "$AUTORUN$>touch ../ran"
# LeakSanitizer needs a process of its own to look at the installer's memory: where none
# can be had, the sanitized build's other checks still work.
NO_LEAK_CHECK = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def as_user(uid):
    return ["setpriv", "--reuid", str(uid), "--regid", str(uid), "--clear-groups"]


def plant_record(directory, fields, uid):
    """A record in the installer's own form, owned by `uid`."""
    path = os.path.join(directory, ".sfx-run." + TOKEN)
    with open(path, "wb") as f:
        f.write(RECORD_MAGIC + b"".join(k.encode() + b"\0" + v.encode() + b"\0" for k, v in fields))
    os.chmod(path, 0o600)
    os.chown(path, uid, uid)
    return path


def plant_tree(directory, name, uid, content):
    path = os.path.join(directory, name)
    os.mkdir(path)
    with open(os.path.join(path, "file"), "w") as f:
        f.write(content)
    for p in (path, os.path.join(path, "file")):
        os.chown(p, uid, uid)


def damaged_installer(workdir):
    """An installer of setup/ whose last file fails its CRC check."""
    entries = [("setup/", b"", 0o40755), ("setup/install.sh", b"echo v2\n", 0o100755),
               ("setup/damaged.txt", b"x" * 4000, 0o100644)]

    def wrong_crc(data):
        last = data.rindex(b"PK\x01\x02")
        return data[:last + 16] + b"\xde\xad\xbe\xef" + data[last + 20:]

    return python_installer(workdir, entries, COMMAND.encode(), wrong_crc)


def without(tree, top):
    return {path: what for path, what in tree.items() if path.split("/")[0] != top}


def pids_cgroup(limit):
    """A new pids cgroup below ours (v1 or v2) allowing `limit` tasks, or None."""
    with open("/proc/self/cgroup") as f:
        lines = [line.rstrip("\n").split(":", 2) for line in f]
    base = next(("/sys/fs/cgroup/pids" + path for _, controllers, path in lines
                 if "pids" in controllers.split(",")), None)
    if base is None:
        base = "/sys/fs/cgroup" + next((p for i, c, p in lines if i == "0"), "")
    group = os.path.join(base, "sfx-test-%d" % os.getpid())
    try:
        os.mkdir(group)
    except OSError:
        return None
    # Only a real cgroup fills a new directory with its files.
    if not os.path.exists(os.path.join(group, "pids.max")):
        os.rmdir(group)
        return None
    with open(os.path.join(group, "pids.max"), "w") as f:
        f.write(str(limit))
    return group


class AmongOtherUsers(Scratch):
    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("becoming other users needs root")
        for path in (self.root, self.parent, self.work, self.run_dir):
            os.chmod(path, 0o755)

    def test_a_record_planted_in_a_shared_directory_is_never_obeyed(self):
        # A /tmp-like directory; the victim's photos, and a dead "run" the attacker made
        # up to replace them with a tree of theirs.
        os.chmod(self.run_dir, 0o1777)
        photos = os.path.join(self.run_dir, "photos")
        plant_tree(self.run_dir, "photos", VICTIM, "the victim's photos")
        stage = ".sfx-stage.photos." + TOKEN
        plant_tree(self.run_dir, stage, ATTACKER, "the attacker's")
        plant_record(self.run_dir, [("holder", ""), ("place", "photos"), ("stage", stage),
                                    ("finishing", "")], ATTACKER)
        before = lib.tree(self.run_dir)
        installer = info_zip_installer(self.work, "$AUTORUN$>true")
        for _ in range(2):
            run = self.start(installer, prefix=as_user(VICTIM))
            self.assertEqual(run.wait(timeout=60), 0, run.stderr())
            self.assertEqual(without(lib.tree(self.run_dir), "setup"), before)
        with open(os.path.join(photos, "file")) as f:
            self.assertEqual(f.read(), "the victim's photos")

    def test_root_never_acts_on_what_another_user_planted(self):
        # A directory others may write (no sticky bit), where root installs.
        os.chmod(self.run_dir, 0o777)
        self.assertEqual(self.start(info_zip_installer(self.work, "$AUTORUN$>true")).wait(timeout=60), 0)
        stage, aside = ".sfx-stage.setup." + TOKEN, ".sfx-old.setup." + TOKEN
        plant_tree(self.run_dir, stage, ATTACKER, "the attacker's new setup")
        plant_tree(self.run_dir, aside, ATTACKER, "the attacker's aside copy")
        plant_tree(self.run_dir, "theirs", VICTIM, "another user's directory")
        plant_record(self.run_dir, [("holder", ""), ("place", "setup"), ("stage", stage),
                                    ("aside", aside), ("finishing", "")], ATTACKER)
        damaged_work = os.path.join(self.work, "damaged")
        os.mkdir(damaged_work)
        damaged = damaged_installer(damaged_work)

        # A damaged installer keeps root's previous installation, and nothing goes in.
        before = lib.tree(self.run_dir)
        self.assertFailure(self.start(damaged), "setup/damaged.txt: file couldn't be read")
        self.assertEqual(lib.tree(self.run_dir), before)
        # With no previous installation, the attacker's aside copy is not renamed in.
        shutil.rmtree(os.path.join(self.run_dir, "setup"))
        before = lib.tree(self.run_dir)
        self.assertFailure(self.start(damaged), "setup/damaged.txt: file couldn't be read")
        self.assertEqual(lib.tree(self.run_dir), before)
        # Another user's directory named as the place stays theirs.
        plant_record(self.run_dir, [("holder", ""), ("place", "theirs"), ("stage", stage),
                                    ("finishing", "")], ATTACKER)
        before = lib.tree(self.run_dir)
        self.assertEqual(self.start(info_zip_installer(self.work, "$AUTORUN$>true")).wait(), 0)
        self.assertEqual(without(lib.tree(self.run_dir), "setup"), before)

    def test_another_users_lock_never_makes_an_installer_wait(self):
        installer = info_zip_installer(self.work, "$AUTORUN$>true")
        for where in ("/", self.parent, self.run_dir):
            # A session of its own, killed whole: flock's sleep must not outlive the test.
            holder = subprocess.Popen(as_user(ATTACKER) + ["flock", "-x", where, "sleep", "600"],
                                      start_new_session=True, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            try:
                probe = os.open(where, os.O_RDONLY)
                try:
                    deadline = time.monotonic() + 30
                    while True:  # until the lock is surely held
                        try:
                            fcntl.flock(probe, fcntl.LOCK_EX | fcntl.LOCK_NB)
                            fcntl.flock(probe, fcntl.LOCK_UN)
                        except BlockingIOError:
                            break
                        self.assertLess(time.monotonic(), deadline, "flock never took " + where)
                        time.sleep(0.01)
                finally:
                    os.close(probe)
                run = self.start(installer)
                # The timeout only guards: a waiting installer would wait for ever.
                self.assertEqual(run.wait(timeout=60), 0, "%s locked: %s" % (where, run.stderr()))
            finally:
                os.killpg(holder.pid, signal.SIGKILL)
                holder.wait()


class ShortOfWhatAProcessMayHave(Scratch):
    def test_a_target_deep_down_installs_under_few_descriptors(self):
        deep = os.path.join(self.run_dir, *["level"] * 120)
        os.makedirs(deep)
        run = lib.Run(info_zip_installer(self.work, "$AUTORUN$>true"), deep,
                      prefix=["prlimit", "--nofile=64", "--"])
        self.runs.append(run)
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())
        self.assertTrue(os.path.isfile(os.path.join(deep, "setup/install.sh")))

    def assertCommandNotStarted(self, run):
        self.assertFailure(run, "the command could not be started: ")
        with open(os.path.join(self.run_dir, "setup/data/a.txt")) as f:
            self.assertEqual(f.read(), "alpha\n", "the installation is not complete")

    def test_no_process_left_for_the_command_is_a_failure_the_window_shows(self):
        if os.geteuid() != 0:
            self.skipTest("a pids cgroup needs root")
        group = pids_cgroup(1 + lib.EMULATOR_THREADS)
        if group is None:
            self.skipTest("no pids cgroup can be made here")
        self.addCleanup(os.rmdir, group)
        enter = 'echo $$ > %s/cgroup.procs && exec "$0" "$@"' % group
        self.assertCommandNotStarted(self.start(info_zip_installer(self.work, COMMAND),
                                                env=NO_LEAK_CHECK, prefix=["sh", "-c", enter]))

    def test_a_user_out_of_processes_sees_the_command_fail(self):
        if os.geteuid() != 0:
            self.skipTest("becoming another user needs root")
        lib.skip_if_emulated(self, "qemu aborts (qemu_thread_create: Resource temporarily "
                             "unavailable) when the user's process limit refuses a thread of "
                             "its own, before the stub's command is tried")
        for path in (self.root, self.parent, self.work):
            os.chmod(path, 0o755)
        os.chown(self.run_dir, ATTACKER, ATTACKER)
        installer = info_zip_installer(self.work, COMMAND)
        # One process for the user: the installer itself, and no thread or shell beside it.
        run = self.start(installer, env=NO_LEAK_CHECK,
                         prefix=as_user(ATTACKER) + ["prlimit", "--nproc=%d" % (1 + lib.EMULATOR_THREADS), "--"])
        self.assertCommandNotStarted(run)

    def test_a_file_size_limit_below_an_entry_names_it_and_keeps_the_previous_installation(self):
        self.assertEqual(self.start(info_zip_installer(self.work, "$AUTORUN$>true")).wait(), 0)
        before = lib.tree(self.run_dir)
        files = dict(SETUP_TREE)
        files["setup/big.bin"] = os.urandom(2 << 20)
        new_work = os.path.join(self.work, "new")
        os.mkdir(new_work)
        run = self.start(info_zip_installer(new_work, COMMAND, files=files),
                         prefix=["prlimit", "--fsize=%d" % (1 << 20), "--"])
        self.assertFailure(run, "setup/big.bin: file couldn't be written: %s/setup/big.bin: "
                                "File too large" % self.run_dir)
        self.assertEqual(lib.tree(self.run_dir), before)


if __name__ == "__main__":
    unittest.main()
