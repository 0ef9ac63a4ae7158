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
        run = self.start(installer, prefix=["sh", "-c", 'exec "$0" 2>&-'])
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
        run = self.start("installer", env={"PATH": bin_dir + os.pathsep + os.environ["PATH"]})
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["installer", "real-ran", "setup"])

    def test_argv0_naming_another_file(self):
        shutil.copy(self.decoy(), os.path.join(self.run_dir, "other.zip"))
        installer = info_zip_installer(self.work, "$AUTORUN$>touch real-ran")
        run = self.start(installer, prefix=["bash", "-c", 'exec -a ./other.zip "$0"'])
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(sorted(os.listdir(self.run_dir)), ["other.zip", "real-ran", "setup"])


def blue_columns(image):
    """How far the bar is filled: columns of its middle row in the fill colour."""
    y = 65
    return sum(1 for x in range(8, 597) if image.pixel(x, y) == (0, 0, 255))


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
        payload = zipcorpus.zeros_archive("setup/big.bin", 1536, STUB_COMMENT.encode())
        run = self.start(lib.append_to_stub(payload, os.path.join(self.work, "installer")))
        window = lib.find_window(run=run)
        filled = []
        deadline = time.monotonic() + 20
        while len(filled) < 2 and time.monotonic() < deadline:
            filled.append(blue_columns(lib.screenshot(window, "long-entry-%d" % len(filled))))
            time.sleep(0.15)
        self.assertEqual(len(filled), 2)
        self.assertLess(filled[0], filled[1], "the bar stands still")
        self.assertLess(filled[1], 589, "the entry ended too soon to test")
        # "Fechar" waits for the last entry to be complete, however far the bar is.
        lib.click(window, 527, 112)
        time.sleep(0.3)
        self.assertTrue(lib.window_exists(window), "closed by an inactive button")
        lib.request_close(window)
        closed = time.monotonic()
        self.assertTrue(lib.wait_gone(window, timeout=30), "the window does not answer")
        self.assertEqual(run.wait(timeout=60), 0, run.stderr())
        print("closed during the entry to process end: %.3f s" % (time.monotonic() - closed))
        # The archive lists no directory entries: "setup", made only to hold the entry's
        # stage, goes with it.
        self.assertEqual(lib.tree(self.run_dir), {}, "cancelled, yet left something")
        self.assertFalse(os.path.exists(os.path.join(self.parent, "ran")), "cancelled, yet ran")


if __name__ == "__main__":
    unittest.main()
