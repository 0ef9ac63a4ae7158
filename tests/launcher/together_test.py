"""Real installers started as people start them, beside one another and in the conditions
that broke earlier versions: nested and chained installers, one waiting for another, a start
through the dynamic loader, a closed stderr, what the user may not delete, and an X server
that goes away."""

import fcntl
import os
import subprocess
import time
import unittest

import sfx_testlib as lib
from installer_runs_test import Scratch, info_zip_installer, python_installer, wait_idle



def is_root():
    return os.geteuid() == 0


class Together(Scratch):
    def test_nested_installers_take_turns_and_each_sees_its_whole_tree(self):
        # A, in the top directory, replaces suite/app with 8,000 files; B, started in suite
        # meanwhile, replaces the same place.
        top = self.run_dir
        os.makedirs(os.path.join(top, "suite/app"))
        work_a, work_b = os.path.join(self.work, "a"), os.path.join(self.work, "b")
        os.makedirs(work_a)
        os.makedirs(work_b)
        entries_a = [(name, (data or "").encode(), 0o40755 if name.endswith("/") else 0o100644)
                     for name, data in lib.many_files("suite/app", 8000).items()]
        count = b"$AUTORUN$>find suite/app -type f | wc -l > count-a"
        installer_a = python_installer(work_a, entries_a, count)
        installer_b = info_zip_installer(work_b, "$AUTORUN$>touch ../b-ran",
                                         files={"app/": None, "app/b.txt": "b\n"}, top="app")
        # A held mid-extraction while B starts and finds the place locked; B held when it
        # has its turn (its stage made) until A's command has counted.
        run_a = self.start(installer_a, stops=lib.MID_EXTRACTION)
        run_a.held("a tenth of A's entries written")
        self.assertTrue(lib.extracting(os.path.join(top, "suite"), 8000),
                        "A held, but not mid-extraction")
        run_b = lib.Run(installer_b, os.path.join(top, "suite"),
                        stops=lib.Stops("mkdirat", 1, also=["flock"]))
        self.runs.append(run_b)
        run_b.wait_logged(lib.LOCKED_OUT, "B finding the place locked")
        run_a.resume()
        # A's status 0 says every one of its 8,000 entries was found in place before its
        # previous installation went.
        self.assertEqual(run_a.wait(timeout=120), 0, run_a.stderr())
        with open(os.path.join(top, "count-a")) as f:
            self.assertEqual(f.read().strip(), "8000", "A's command saw a partial tree")
        run_b.held("B's stage made")
        run_b.resume()
        self.assertEqual(run_b.wait(timeout=120), 0, run_b.stderr())
        self.assertTrue(os.path.exists(os.path.join(top, "b-ran")))
        self.assertEqual(os.listdir(os.path.join(top, "suite/app")), ["b.txt"])

    def test_a_command_may_start_another_installer_here(self):
        second = info_zip_installer(os.path.join(self.work), "$AUTORUN$>touch chained-ran",
                                    files={"extra/": None, "extra/e.txt": "e\n"}, top="extra")
        os.rename(second, os.path.join(self.work, "second"))
        first_work = os.path.join(self.work, "first")
        os.makedirs(first_work)
        # Under emulation the command starts the second installer as the tests start one.
        command = " ".join(lib.program("%s/second" % self.work))
        first = info_zip_installer(first_work, "$AUTORUN$>" + command)
        run = self.start(first)
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())
        self.assertTrue(os.path.exists(os.path.join(self.run_dir, "chained-ran")))
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["chained-ran", "extra", "setup"])

    def test_closing_the_window_while_waiting_ends_the_run_before_any_extraction(self):
        held = os.open(self.run_dir, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(held, fcntl.LOCK_EX)
        try:
            run = self.start(info_zip_installer(self.work, "$AUTORUN$>touch ran"))
            window = lib.find_window(run=run)
            lib.press_key(window, "Escape")
            self.assertEqual(run.wait(), 0, run.stderr())
        finally:
            os.close(held)
        self.assertEqual(os.listdir(self.run_dir), [])

    def test_started_through_the_dynamic_loader(self):
        installer = info_zip_installer(self.work, "$AUTORUN$>touch ran")
        loader = lib.interpreter(installer)
        if not os.path.exists(loader):
            self.skipTest("no " + loader)
        run = self.start(installer, through=[loader])
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["ran", "setup"])

    def test_a_failure_with_nobody_reading_stderr_still_shows_the_window(self):
        def damage(data):
            return data[:-40]  # the central directory cut: damaged
        installer = python_installer(self.work, [("setup/", b"", 0o40755)] * 3, b"", damage)
        reader, writer = os.pipe()
        os.close(reader)
        process = subprocess.Popen(lib.program(installer), cwd=self.run_dir, stderr=writer)
        os.close(writer)
        try:
            window = lib.find_window()
            lib.request_close(window)
            self.assertEqual(process.wait(timeout=30), 3)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()

    def old_installation(self, count):
        """A previous installation of `count` files, made by an installer."""
        installer = info_zip_installer(os.path.join(self.work), "$AUTORUN$>true",
                                       files=lib.many_files("setup", count))
        self.assertEqual(self.start(installer).wait(timeout=120), 0)
        os.rename(installer, os.path.join(self.work, "old-installer"))

    def test_what_the_user_may_not_delete_is_named_and_the_run_succeeds(self):
        if not is_root():
            self.skipTest("becoming another user needs root")
        for path in (self.root, self.parent, self.work):
            os.chmod(path, 0o755)
        os.makedirs(os.path.join(self.run_dir, "setup/system"))
        with open(os.path.join(self.run_dir, "setup/system/owned-by-root"), "w") as f:
            f.write("root's\n")
        os.chown(self.run_dir, 65534, 65534)
        os.chown(os.path.join(self.run_dir, "setup"), 65534, 65534)
        # No command: the window stays open until the removal, done by a process of the
        # installer's own, has reported what it could not remove.
        installer = info_zip_installer(self.work, "")
        nobody = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
        run = self.start(installer, prefix=nobody)
        window = lib.find_window(run=run)
        reported = "owned-by-root: Permission denied (could not be removed)"
        deadline = time.monotonic() + 60
        while reported not in run.stderr():
            self.assertTrue(run.running() and time.monotonic() < deadline, run.stderr())
            time.sleep(0.01)
        lib.request_close(window)
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertTrue(os.path.exists(os.path.join(self.run_dir, "setup/install.sh")))

    def test_a_lost_display_removes_what_was_not_complete_and_says_so(self):
        self.old_installation(10)
        before = lib.tree(self.run_dir)
        server = subprocess.Popen(["Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-noreset"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            display = ":" + server.stdout.readline().decode().strip()
            # Thousands of entries and a long one, held still after a tenth of them while
            # the display goes.
            files = lib.many_files("setup", 10000)
            files["setup/big.bin"] = os.urandom(32 << 20)
            new_work = os.path.join(self.work, "new")
            os.makedirs(new_work)
            run = lib.Run(info_zip_installer(new_work, "$AUTORUN$>touch ran", files=files),
                          self.run_dir, env={"DISPLAY": display}, stops=lib.MID_EXTRACTION)
            self.runs.append(run)
            run.held("a tenth of the entries written")
            self.assertTrue(lib.extracting(self.run_dir, 10001), "held, but not mid-extraction")
        finally:
            server.kill()
            server.wait()
        # The next entry's event pass finds the connection closed.
        run.resume()
        self.assertEqual(run.wait(timeout=60), 4, run.stderr())
        self.assertIn("the display connection was lost", run.stderr())
        after = lib.tree(self.run_dir)
        # Compared by name first: a diff of whole trees of bytes takes minutes to print.
        self.assertEqual(sorted(after), sorted(before), "names differ from the previous installation's")
        self.assertTrue(after == before, "contents differ from the previous installation's")


if __name__ == "__main__":
    unittest.main()
