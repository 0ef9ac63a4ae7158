"""What an installer leaves to remove (what killed runs left, the previous installation once
replaced) goes in a process of its own: the command starts, and a closed window ends the
installer, without waiting for it; the window says meanwhile that old files are removed;
and what that process cannot finish stays recorded for the next run. The tests hold that
process still as it begins (strace stops it at its only setpriority call) while they look."""

import os
import shutil
import signal
import time
import unittest

import sfx_testlib as lib
from installer_runs_test import Scratch, info_zip_installer

OLD_FILES = 1000
NEW_TREE = {"setup/": None, "setup/new.txt": "new\n"}
# Stops the housekeeping process where it begins, its descriptors already closed: only it
# calls setpriority.
AT_HOUSEKEEPING = lib.Stops("setpriority", 1)
CAPTION = lib.CAPTION_BOX
RECORD_MAGIC = b"sfx-stub run record 2\n"
TOKEN = "00112233aabbccdd"
# The installer's process name (/proc/PID/stat, 15 bytes at most): qemu's under emulation.
NAME = os.path.basename(lib.EMULATOR[0] if lib.EMULATOR else "installer")[:15]


def process_stat(pid):
    """(name, state, session) of `pid`, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    name = text[text.index("(") + 1:text.rindex(")")]
    fields = text[text.rindex(")") + 2:].split()
    return name, fields[0], int(fields[3])


def gone(pid):
    stat = process_stat(pid)
    return stat is None or stat[1] == "Z"


def rightmost_dark(image, box):
    x, y, w, h = box
    columns = [px for px in range(x, x + w)
               if any(lib.is_dark(image.pixel(px, py)) for py in range(y, y + h))]
    return max(columns) if columns else None


class Housekeeping(Scratch):
    def setUp(self):
        super().setUp()
        lib.write_tree(self.run_dir, lib.many_files("setup", OLD_FILES, size=1))

    def start_held(self, comment):
        """The installer under strace; returns the run and the housekeeping process, held
        still before it removes anything."""
        run = self.start(info_zip_installer(self.work, comment, files=NEW_TREE),
                         stops=AT_HOUSEKEEPING)
        held = run.held_elsewhere("the housekeeping process beginning")
        self.addCleanup(self.release, held)
        return run, held

    @staticmethod
    def release(pid):
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass

    def stage(self):
        names = [n for n in os.listdir(self.run_dir) if n.startswith(".sfx-stage.setup.")]
        return os.path.join(self.run_dir, names[0]) if names else None

    def wait_for(self, condition, what, timeout=60):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "no " + what)
            time.sleep(0.01)

    def test_the_command_does_not_wait_for_the_previous_installation_to_go(self):
        run, held = self.start_held("$AUTORUN$>ls -a > ../seen")
        self.wait_for(lambda: os.path.exists(os.path.join(self.parent, "seen")), "command")
        # The command ran, the new installation in place, the previous one whole beside it.
        with open(os.path.join(self.run_dir, "setup/new.txt")) as f:
            self.assertEqual(f.read(), "new\n")
        self.assertEqual(lib.count_files(self.stage()), OLD_FILES)
        os.kill(held, signal.SIGCONT)
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        self.assertEqual(os.listdir(self.run_dir), ["setup"])
        self.assertEqual(os.listdir(os.path.join(self.run_dir, "setup")), ["new.txt"])

    def test_a_previous_installation_of_directories_does_not_hold_up_the_command(self):
        # Directories cost the removal more than files: none of it in the user's time either.
        shutil.rmtree(os.path.join(self.run_dir, "setup"))
        lib.write_tree(self.run_dir, {"setup/d%05d/" % i: None for i in range(OLD_FILES)})
        run, held = self.start_held("$AUTORUN$>touch ../ran")
        self.wait_for(lambda: os.path.exists(os.path.join(self.parent, "ran")), "command")
        self.assertEqual(len(os.listdir(self.stage())), OLD_FILES)
        os.kill(held, signal.SIGCONT)
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        self.assertEqual(os.listdir(self.run_dir), ["setup"])

    def test_what_a_killed_run_left_does_not_hold_up_the_command(self):
        # A killed run's record and its stage of thousands of files.
        dead_stage = os.path.join(self.run_dir, ".sfx-stage.setup." + TOKEN)
        lib.write_tree(dead_stage, lib.many_files("x", OLD_FILES, size=1))
        record = os.path.join(self.run_dir, ".sfx-run." + TOKEN)
        with open(record, "wb") as f:
            f.write(RECORD_MAGIC + b"holder\0\0place\0setup\0stage\0.sfx-stage.setup.%s\0"
                    % TOKEN.encode())
        os.chmod(record, 0o600)
        run, held = self.start_held("$AUTORUN$>touch ../ran")
        self.wait_for(lambda: os.path.exists(os.path.join(self.parent, "ran")), "command")
        self.assertEqual(lib.count_files(dead_stage), OLD_FILES)
        os.kill(held, signal.SIGCONT)
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        self.assertEqual(os.listdir(self.run_dir), ["setup"])

    def test_closing_the_window_ends_the_installer_while_old_files_go(self):
        run, held = self.start_held("no command")
        window = lib.find_window(run=run)
        lib.request_close(window)
        self.wait_for(lambda: gone(run.pid), "end of the installer")
        self.assertEqual(lib.count_files(self.stage()), OLD_FILES, "the close waited for the removal")
        os.kill(held, signal.SIGCONT)
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        self.assertEqual(os.listdir(self.run_dir), ["setup"])

    def test_the_caption_says_old_files_are_removed_while_they_are(self):
        run, held = self.start_held("no command")
        window = lib.find_window(run=run)
        removing = rightmost_dark(lib.screenshot_when(
            window, "housekeeping-caption-removing",
            lambda image: rightmost_dark(image, CAPTION) is not None), CAPTION)
        os.kill(held, signal.SIGCONT)
        self.wait_for(lambda: not lib.held_records(self.run_dir) and self.stage() is None,
                      "end of the removal")
        after = lib.screenshot_when(window, "housekeeping-caption-after",
                                    lambda image: (rightmost_dark(image, CAPTION) or 0) < removing)
        self.assertLess(rightmost_dark(after, CAPTION), removing,
                        "the caption did not change back once the removal ended")
        lib.request_close(window)
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())

    def test_a_removal_cut_short_is_finished_by_the_next_run(self):
        run, held = self.start_held("$AUTORUN$>true")
        os.kill(held, signal.SIGKILL)
        self.assertEqual(run.wait(timeout=120), 0, run.stderr())
        self.assertTrue(any(n.startswith(".sfx-run.") for n in os.listdir(self.run_dir)),
                        "nothing recorded what was left")
        self.assertEqual(lib.count_files(self.stage()), OLD_FILES)
        again = lib.Run(os.path.join(self.work, "installer"), self.run_dir)
        self.runs.append(again)
        self.assertEqual(again.wait(timeout=120), 0, again.stderr())
        self.assertEqual(os.listdir(self.run_dir), ["setup"])


if __name__ == "__main__":
    unittest.main()
