"""End-to-end runs of real installers: Info-ZIP zip (with and without zip -A) and Python's
zipfile archives behind the built stub, started in fresh directories under Xvfb. What is
checked is what a user and a packager see: exit status, files on disk, what the autorun
command saw, and what was printed."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import sfx_testlib as lib
import zipcorpus

SETUP_TREE = {
    "setup/": None,
    "setup/install.sh": ("#!/bin/sh\nfind .. -path ../seen.txt -prune -o -type f -print | sort > ../seen.txt\necho installed\n", 0o644),
    "setup/data/": None,
    "setup/data/a.txt": "alpha\n",
    "setup/data/b.bin": bytes(range(256)) * 4,
}
SETUP_FILES = ["../setup/data/a.txt", "../setup/data/b.bin", "../setup/install.sh"]
INSTALL_COMMAND = "$AUTORUN$>cd setup && chmod +x install.sh && ./install.sh\n"


def info_zip_installer(workdir, comment, adjust=True, files=SETUP_TREE, top="setup"):
    source = os.path.join(workdir, "src")
    lib.write_tree(source, files)
    payload = os.path.join(workdir, "payload.zip")
    lib.zip_directory(source, top, payload)
    if comment is not None:
        lib.set_comment(payload, comment)
    if adjust:
        return lib.attach(payload, os.path.join(workdir, "installer"))
    with open(payload, "rb") as f:
        return lib.append_to_stub(f.read(), os.path.join(workdir, "installer"))


def python_installer(workdir, entries, comment=b"", damage=None):
    """entries: [(name, data, mode)] written by Python's zipfile, deflated; `damage` may
    change the archive's bytes before the stub goes in front."""
    payload = os.path.join(workdir, "payload.zip")
    lib.zip_entries(payload, entries, comment, zipfile.ZIP_DEFLATED)
    with open(payload, "rb") as f:
        data = f.read()
    return lib.append_to_stub(damage(data) if damage else data, os.path.join(workdir, "installer"))


def wait_window_or_end(run, timeout=30):
    """The stub's window id once it is shown, or None when the stub ended first."""
    try:
        return lib.find_window(timeout=timeout, run=run)
    except RuntimeError:
        if run.running():
            raise
        return None


# Kept here too for the tests that import them from this module.
in_event_loop, thread_count, wait_idle = lib.in_event_loop, lib.thread_count, lib.wait_idle


class Scratch(unittest.TestCase):
    """Each test gets a work directory for archives and, inside a watched parent, a fresh
    directory to run the installer in; nothing else in the parent may change."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="sfx-e2e-")
        self.work = os.path.join(self.root, "work")
        self.parent = os.path.join(self.root, "parent")
        self.run_dir = os.path.join(self.parent, "run")
        os.makedirs(self.work)
        os.makedirs(self.run_dir)
        with open(os.path.join(self.parent, "bystander.txt"), "w") as f:
            f.write("keep me\n")
        self.runs = []

    def tearDown(self):
        for run in self.runs:
            run.kill()
        lib.unmount_below(self.root)
        subprocess.run(["chmod", "-R", "u+rwx", self.root])
        shutil.rmtree(self.root)

    def start(self, installer, args=(), env=None, prefix=(), stops=None, through=()):
        run = lib.Run(installer, self.run_dir, args, env, prefix, stops, through)
        self.runs.append(run)
        return run

    def assertParentUntouched(self):
        self.assertEqual(sorted(os.listdir(self.parent)), ["bystander.txt", "run"])
        with open(os.path.join(self.parent, "bystander.txt")) as f:
            self.assertEqual(f.read(), "keep me\n")

    def assertFailure(self, run, fragment):
        window = wait_window_or_end(run)
        if window is not None:
            # The window was shown: it tells the user, and waits to be closed.
            deadline = time.monotonic() + 20
            while "sfx-stub: " not in run.stderr() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(run.running(), "the installer ended (status %s) instead of waiting "
                            "for the failure window to be closed" % run.process.returncode)
            lib.request_close(window)
        status = run.wait()
        self.assertEqual(status, 3, "expected the failure status 3, got %s; stderr: %r"
                         % (status, run.stderr()))
        lines = run.stderr().splitlines()
        self.assertEqual(len(lines), 1, "expected one line on stderr, got %r" % lines)
        self.assertTrue(lines[0].startswith("sfx-stub: "),
                        "stderr does not start with 'sfx-stub: ': %r" % lines[0])
        self.assertIn(fragment, lines[0])
        for where in (self.parent, self.run_dir):
            self.assertFalse(os.path.exists(os.path.join(where, "ran")),
                             "the autorun command ran after a failure (%s/ran exists)" % where)
        self.assertParentUntouched()

    def wait_for_output(self, run, text, timeout=60):
        deadline = time.monotonic() + timeout
        while run.stdout() != text:
            self.assertTrue(run.running(), run.stderr())
            self.assertLess(time.monotonic(), deadline, "no %r on stdout" % text)
            time.sleep(0.02)

    def seen(self):
        with open(os.path.join(self.run_dir, "seen.txt")) as f:
            return f.read().split()


class AutorunCommand(Scratch):
    def check_install_command(self, installer):
        run = self.start(installer)
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(self.seen(), SETUP_FILES)
        self.assertEqual(run.stdout(), "installed\n")
        self.assertEqual(run.stderr(), "")
        self.assertTrue(os.access(os.path.join(self.run_dir, "setup/install.sh"), os.X_OK))

    def test_command_sees_every_file_with_info_zip_adjusted(self):
        self.check_install_command(info_zip_installer(self.work, INSTALL_COMMAND))

    def test_command_sees_every_file_with_info_zip_unadjusted(self):
        self.check_install_command(info_zip_installer(self.work, INSTALL_COMMAND, adjust=False))

    def test_command_sees_every_file_with_python_zipfile(self):
        entries = [(name, (data[0] if isinstance(data, tuple) else data) or b"")
                   for name, data in SETUP_TREE.items()]
        self.check_install_command(python_installer(self.work, entries, INSTALL_COMMAND.encode()))

    def test_pages_of_16_and_64_kib(self):
        # ARM kernels come with 4, 16 or 64 KiB pages (Asahi's 16 KiB, RHEL's 64 KiB); the
        # mapping of the installer and what goes back to the kernel are cut in pages.
        if not lib.EMULATOR:
            self.skipTest("a page size other than the kernel's is tried under qemu-user only")
        command = INSTALL_COMMAND.rstrip("\n") + " && while [ ! -e ../go ]; do sleep 0.02; done"
        installer = info_zip_installer(self.work, command)
        for size in (16 << 10, 64 << 10):
            with self.subTest(page_size=size):
                shutil.rmtree(self.run_dir)
                os.mkdir(self.run_dir)
                run = self.start(installer, through=["-p", str(size)])
                # The command has looked at the files and waits for ../go: the window is up.
                self.wait_for_output(run, "installed\n")
                lib.find_window(run=run)
                open(os.path.join(self.run_dir, "go"), "w").close()
                self.assertEqual(run.wait(), 0, run.stderr())
                self.assertEqual(self.seen(), SETUP_FILES)
                self.assertEqual(run.stdout(), "installed\n")

    def test_command_status_and_missing_programs_are_not_reported(self):
        for comment in ("$AUTORUN$>exit 7", "$AUTORUN$>no-such-program-sfx-e2e", "$AUTORUN$>"):
            with self.subTest(comment=comment):
                shutil.rmtree(self.work)
                os.makedirs(self.work)
                run = self.start(info_zip_installer(self.work, comment))
                self.assertEqual(run.wait(), 0)
                self.assertTrue(os.path.isfile(os.path.join(self.run_dir, "setup/data/b.bin")))

    def test_other_comments_run_nothing_and_the_window_waits(self):
        for comment in ("$autorun$>touch ../ran", "xx$AUTORUN$>touch ../ran", "plain words"):
            with self.subTest(comment=comment):
                shutil.rmtree(self.work)
                os.makedirs(self.work)
                run = self.start(info_zip_installer(self.work, comment))
                window = lib.find_window(run=run)
                self.assertTrue(wait_idle(run), "the installer never came to rest: " + run.stderr())
                self.assertTrue(run.running(), "the installer ended without a word from the user")
                lib.click(window, *lib.BUTTON_CENTRE)  # "Fechar"
                self.assertEqual(run.wait(), 0)
                self.assertFalse(os.path.exists(os.path.join(self.parent, "ran")))
                self.assertFalse(os.path.exists(os.path.join(self.run_dir, "ran")))

    def test_closing_the_window_while_the_command_runs_leaves_it_running(self):
        # The command waits for our word, so nothing here depends on how fast anything runs.
        comment = "$AUTORUN$>touch started; while [ ! -e go ]; do sleep 0.05; done; touch finished"
        run = self.start(info_zip_installer(self.work, comment))
        window = lib.find_window(run=run)
        started = os.path.join(self.run_dir, "started")
        deadline = time.monotonic() + 20
        while not os.path.exists(started) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertTrue(os.path.exists(started), "the command did not start")
        lib.request_close(window)
        status = run.wait(timeout=30)
        self.assertEqual(status, 0, "closing the window while the command runs: status %s" % status)
        self.assertFalse(os.path.exists(os.path.join(self.run_dir, "finished")),
                         "the installer waited for its command to end")
        open(os.path.join(self.run_dir, "go"), "w").close()
        deadline = time.monotonic() + 30
        while not os.path.exists(os.path.join(self.run_dir, "finished")) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(os.path.join(self.run_dir, "finished")),
                        "the command did not go on after the installer ended")

    def test_window_closed_during_extraction_means_no_command(self):
        files = lib.many_files("setup", 3000)
        run = self.start(info_zip_installer(self.work, "$AUTORUN$>touch ../ran", files=files),
                         stops=lib.MID_EXTRACTION)
        window = lib.find_window(run=run)
        # Closed while the extraction is held still: the close request waits for it when it
        # goes on.
        run.held("a third of the entries written")
        self.assertTrue(lib.extracting(self.run_dir, 3000), "held, but not mid-extraction")
        lib.request_close(window)
        run.resume()
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(os.listdir(self.run_dir), [], "the cancelled run left files")
        self.assertFalse(os.path.exists(os.path.join(self.parent, "ran")))


class NothingToInstall(Scratch):
    def assertQuietStatus2(self, run):
        self.assertEqual(run.wait(), 2)
        self.assertEqual((run.stdout(), run.stderr()), ("", ""))
        self.assertEqual(os.listdir(self.run_dir), [])
        self.assertParentUntouched()

    def test_stub_without_archive(self):
        installer = os.path.join(self.work, "installer")
        shutil.copy(lib.stub_path(), installer)
        self.assertQuietStatus2(self.start(installer))

    def test_archive_without_entries(self):
        installer = python_installer(self.work, [], b"$AUTORUN$>touch ../ran")
        self.assertQuietStatus2(self.start(installer))


class Failures(Scratch):
    def test_crc_damaged_entry(self):
        entries = [("pkg/", b"", 0o40755), ("pkg/first.txt", b"first\n", 0o100644),
                   ("pkg/damaged.txt", b"x" * 4000, 0o100644), ("pkg/later.txt", b"later\n", 0o100644)]

        def damage(data):
            at = data.index(b"pkg/damaged.txt") + len("pkg/damaged.txt") + 5  # in its data
            return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]

        run = self.start(python_installer(self.work, entries, b"$AUTORUN$>touch ../ran", damage))
        self.assertFailure(run, "pkg/damaged.txt: file couldn't be read: damaged compressed data")
        # The first entry's tree lands whole or not at all, and leaves nothing behind.
        self.assertEqual(os.listdir(self.run_dir), [])

    def test_truncated_installer(self):
        installer = info_zip_installer(self.work, "$AUTORUN$>touch ../ran")
        with open(installer, "r+b") as f:
            f.truncate(os.path.getsize(installer) - 12)
        self.assertFailure(self.start(installer), "bad zip")
        self.assertEqual(os.listdir(self.run_dir), [])

    def test_entry_leaving_the_directory(self):
        entries = [("pkg/", b"", 0o40755), ("pkg/ok.txt", b"ok", 0o100644),
                   ("pkg/../../escaped.txt", b"evil", 0o100644)]
        run = self.start(python_installer(self.work, entries, b"$AUTORUN$>touch ../ran"))
        self.assertFailure(run, "pkg/../../escaped.txt")
        self.assertEqual(os.listdir(self.run_dir), [])


class MalformedCorpus(Scratch):
    """The stub (under AddressSanitizer in the sanitized build) over archives broken in
    every common way: no crash, no sanitizer report, no hang, a clear end."""

    def test_every_malformed_archive_ends_cleanly(self):
        outcomes = {}
        for name, data in sorted(zipcorpus.malformed_archives().items()):
            with self.subTest(archive=name):
                shutil.rmtree(self.run_dir)
                os.makedirs(self.run_dir)
                run = self.start(lib.append_to_stub(data, os.path.join(self.work, "installer")))
                window = wait_window_or_end(run, timeout=60)
                if window is not None and wait_idle(run):
                    lib.request_close(window)
                status = run.wait(timeout=30)
                errors = run.stderr()
                outcomes[name] = status
                self.assertIn(status, (0, 2, 3), errors)
                self.assertNotIn("Sanitizer", errors)
                self.assertNotIn("runtime error", errors)
                if status == 3:
                    self.assertRegex(errors, r"\Asfx-stub: [^\n]+\n\Z")
                else:
                    self.assertEqual(errors, "")
                self.assertParentUntouched()
        refused = sum(1 for status in outcomes.values() if status in (2, 3))
        self.assertGreater(refused, len(outcomes) // 2, outcomes)


if __name__ == "__main__":
    unittest.main()
