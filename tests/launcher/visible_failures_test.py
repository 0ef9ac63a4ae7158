"""What a user who double-clicked an installer sees: every failure in the window, names
shown as they are, a window that answers during a long entry, and an installer that reads
the file the kernel runs whatever argv[0] says."""

import os
import shutil
import time
import unittest

import sfx_testlib as lib
import zipcorpus
from installer_runs_test import Scratch, info_zip_installer, python_installer, wait_idle

STUB_COMMENT = "$AUTORUN$>touch ../ran"


def dark_columns(image, x0, x1, y0, y1):
    return [x for x in range(x0, x1) if any(lib.is_dark(image.pixel(x, y)) for y in range(y0, y1))]


def light_columns(image, x0, x1, y0, y1):
    """Columns holding the bar's label: white on its blue fill."""
    return [x for x in range(x0, x1) if any(min(image.pixel(x, y)) > 160 for y in range(y0, y1))]


def dark_row_bands(image, x0, x1, y0, y1):
    """The runs of rows holding dark pixels: one per line of text."""
    rows = [y for y in range(y0, y1) if any(lib.is_dark(image.pixel(x, y)) for x in range(x0, x1))]
    bands = []
    for y in rows:
        if bands and y == bands[-1][1] + 1:
            bands[-1][1] = y
        else:
            bands.append([y, y])
    return bands


class FailuresInTheWindow(Scratch):
    def assertShownFailure(self, run, fragment):
        window = lib.find_window(run=run)
        self.assertIsNotNone(window)
        self.assertFailure(run, fragment)

    def test_download_cut_short_is_reported_in_the_window(self):
        installer = info_zip_installer(self.work, STUB_COMMENT)
        stub = os.path.getsize(lib.stub_path())
        with open(installer, "r+b") as f:
            f.truncate(stub + (os.path.getsize(installer) - stub) // 2)
        self.assertShownFailure(self.start(installer), "the installer is incomplete or damaged")
        self.assertEqual(os.listdir(self.run_dir), [])

    def test_damaged_archive_found_at_load_is_reported_in_the_window(self):
        installer = info_zip_installer(self.work, STUB_COMMENT)
        with open(installer, "r+b") as f:
            f.truncate(os.path.getsize(installer) - 12)
        self.assertShownFailure(self.start(installer), "installer: bad zip")

    def test_closed_stderr_does_not_freeze_the_window(self):
        installer = info_zip_installer(self.work, STUB_COMMENT)
        with open(installer, "r+b") as f:
            f.truncate(os.path.getsize(installer) - 12)
        run = self.start(installer, prefix=["sh", "-c", 'exec "$0" "$@" 2>&-'])
        window = lib.find_window(run=run)
        lib.request_close(window)
        self.assertEqual(run.wait(timeout=60), 3)

    def test_control_characters_in_names_are_escaped(self):
        name = "pkg/\x1b[2Jevil\nname.txt"
        entries = [("pkg/", b"", 0o40755), (name, b"x" * 100, 0o100644)]

        def wrong_crc(data):
            central = data.index(b"PK\x01\x02", data.index(b"PK\x01\x02") + 4)
            return data[:central + 16] + b"\0\0\0\0" + data[central + 20:]

        run = self.start(python_installer(self.work, entries, STUB_COMMENT.encode(), wrong_crc))
        self.assertShownFailure(run, "pkg/\\x1b[2Jevil\\nname.txt: file couldn't be read: CRC mismatch")
        self.assertNotIn("\x1b", run.stderr())

    def test_long_failure_wraps_and_keeps_its_reason(self):
        deep = "pkg/" + "/".join(["a-rather-long-directory-name"] * 12) + "/file.txt"
        entries = [("pkg/", b"", 0o40755), (deep, b"x" * 100, 0o100644)]

        def wrong_crc(data):
            central = data.index(b"PK\x01\x02", data.index(b"PK\x01\x02") + 4)
            return data[:central + 16] + b"\0\0\0\0" + data[central + 20:]

        run = self.start(python_installer(self.work, entries, STUB_COMMENT.encode(), wrong_crc))
        window = lib.find_window(run=run)
        # The failure's caption is drawn by the event loop's next pass after it is reported.
        reported = lambda image: ("CRC mismatch" in run.stderr()
                                  and len(dark_row_bands(image, 5, 600, 2, 46)) == 2)
        image = lib.screenshot_when(window, "long-failure", reported)
        self.assertIn("CRC mismatch", run.stderr(), "no failure reported")
        bands = dark_row_bands(image, 5, 600, 2, 46)
        self.assertEqual(len(bands), 2, "caption lines: %s (%s)" % (bands, image.path))
        self.assertEqual(dark_columns(image, 600, 605, 2, 46), [], "text past the edge")
        lib.request_close(window)
        self.assertEqual(run.wait(), 3)


class OwnFile(Scratch):
    def decoy(self):
        """An installer of another archive, not executable, in the run directory."""
        os.makedirs(os.path.join(self.work, "decoy"))
        decoy = info_zip_installer(os.path.join(self.work, "decoy"), "$AUTORUN$>touch decoy-ran",
                                   files={"decoy/": None, "decoy/x": "decoy\n"}, top="decoy")
        os.chmod(decoy, 0o644)
        return decoy

    def test_started_through_path_next_to_a_decoy(self):
        decoy = self.decoy()
        shutil.copy(decoy, os.path.join(self.run_dir, "installer"))
        bin_dir = os.path.join(self.work, "bin")
        os.makedirs(bin_dir)
        installer = info_zip_installer(self.work, "$AUTORUN$>touch real-ran")
        shutil.move(installer, os.path.join(bin_dir, "installer"))
        path = {"PATH": bin_dir + os.pathsep + os.environ["PATH"]}
        if lib.EMULATOR:
            # qemu-user searches no PATH: it gets the file the kernel would have found, and the
            # bare name as argv[0].
            run = self.start(os.path.join(bin_dir, "installer"), env=path,
                             through=["-0", "installer"])
        else:
            run = self.start("installer", env=path)
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["installer", "real-ran", "setup"])

    def test_argv0_naming_another_file(self):
        shutil.copy(self.decoy(), os.path.join(self.run_dir, "other.zip"))
        installer = info_zip_installer(self.work, "$AUTORUN$>touch real-ran")
        if lib.EMULATOR:
            # qemu-user takes the program's argv[0] from its -0 option.
            run = self.start(installer, through=["-0", "./other.zip"])
        else:
            run = self.start(installer, prefix=["bash", "-c", 'exec -a ./other.zip "$0"'])
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["other.zip", "real-ran", "setup"])


def blue_columns(image):
    """How far the bar is filled: columns of a row inside its frame, above its label, in
    the fill colour (of the BAR_INSIDE inside the frame, all but the first)."""
    x, y, w, _ = lib.BAR_BOX
    return sum(1 for column in range(x + 3, x + w - 3)
               if image.pixel(column, y + 5) == (0, 0, 255))


# Columns inside the bar's frame.
BAR_INSIDE = lib.BAR_BOX[2] - 4


class TheWindowAsItWorks(Scratch):
    def test_at_signs_in_names_are_drawn_as_they_are(self):
        widths = {}
        for last in ("pkg/icon", "pkg/icon@2x.png"):
            shutil.rmtree(self.run_dir)
            os.makedirs(self.run_dir)
            entries = [("pkg/", b"", 0o40755), (last, b"png", 0o100644)]
            run = self.start(python_installer(self.work, entries, b"no command"))
            window = lib.find_window(run=run)
            self.assertTrue(wait_idle(run), "the installer never came to rest: " + run.stderr())
            # The label is drawn once the main thread's event loop takes the expose event.
            deadline = time.monotonic() + 20
            while True:
                image = lib.screenshot(window, "label-" + last.replace("/", "-"))
                columns = light_columns(image, 8, 597, 52, 79)
                if columns or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            widths[last] = columns[-1] - columns[0] if columns else 0
            lib.request_close(window)
            self.assertEqual(run.wait(), 0)
        # "@2x.png" as text is some 50 pixels wide; as a symbol it would not be text at all.
        self.assertGreater(widths["pkg/icon@2x.png"], widths["pkg/icon"] + 30, widths)

    def test_window_answers_during_a_long_entry(self):
        lib.skip_if_emulated(self, "the window starts emulated too, slower than the helper "
                             "writes: the installer was held at the entry's 32nd MiB before "
                             "there was a window to look at")
        # One long entry, written a MiB at a time on a helper thread, which after its 32nd,
        # 96th and 160th MiB waits a second as behind a slow disk, while the window goes
        # on; then the whole installer is held.
        mebibytes = 256
        payload = zipcorpus.zeros_archive("setup/big.bin", mebibytes, STUB_COMMENT.encode())
        run = self.start(lib.append_to_stub(payload, os.path.join(self.work, "installer")),
                         stops=lib.Stops("write", "32..160+64", delay=1))
        window = lib.find_window(run=run)
        # The first picture once the bar has started (the archive loads first, slowly under
        # emulation), the second a little later.
        filled = []
        for at in (32, 96):
            run.held("the entry's writer waiting after %d MiB" % at)
            written = self.bytes_written()
            self.assertGreaterEqual(written, at << 20, "held, but not by the entry's writer")
            share = written / (mebibytes << 20)
            expected = BAR_INSIDE * share - 1
            image = lib.screenshot_when(window, "long-entry-%d" % at,
                                        lambda image: abs(blue_columns(image) - expected) < 4)
            filled.append(blue_columns(image))
            self.assertAlmostEqual(filled[-1], expected, delta=4,
                                   msg="the bar does not show the entry's %.0f %%: %s"
                                   % (100 * share, image.path))
            self.assertTrue(lib.window_exists(window), "closed by an inactive button")
            # "Fechar" waits for the last entry to be complete, however far the bar is.
            if at == 32:
                lib.click(window, *lib.BUTTON_CENTRE)
            else:
                lib.request_close(window)
            run.resume()
        self.assertLess(filled[0], filled[1], "the bar stands still")
        # The close is read as soon as the installer goes on: the entry stops there, or, if
        # its writer gets to its 160th MiB first, behind a window already gone.
        if run.held_or_ended("the close taken"):
            self.assertFalse(lib.window_exists(window), "the window does not answer")
            run.resume()
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())
        # The archive lists no directory entries: "setup", made only to hold the entry's
        # stage, goes with it.
        self.assertEqual(lib.tree(self.run_dir), {}, "cancelled, yet left something")
        self.assertFalse(os.path.exists(os.path.join(self.parent, "ran")), "cancelled, yet ran")

    def bytes_written(self):
        """The bytes in the files under the run directory: the entry's, written so far
        into a temporary file beside the place's stage."""
        return sum(os.path.getsize(os.path.join(directory, name))
                   for directory, _, names in os.walk(self.run_dir) for name in names)


if __name__ == "__main__":
    unittest.main()
