"""The progress window of real installers, seen from outside through the X server: its
properties, the ways to close it, the toolkit's options and a missing display.
Run under tests/support/with-xvfb.sh with SFX_STUB and SFX_WM_DELETE set (see CMake)."""

import os
import socket
import time
import unittest

import sfx_testlib as sfx

SMALL_TREE = {
    "pkg/": None,
    "pkg/readme.txt": "read me\n",
    "pkg/bin/": None,
    "pkg/bin/tool": ("#!/bin/sh\necho tool\n", 0o755),
}
# zip -r stores pkg/, pkg/bin/, pkg/bin/tool and pkg/readme.txt.
SMALL_TREE_FILES = 2

# Thousands of entries, held still after a third of them (sfx.MID_EXTRACTION) while the
# window is closed.
MANY = 3000

# Window coordinates of the middle of the "Fechar" button, and the caption's box.
BUTTON_CENTRE = sfx.BUTTON_CENTRE
CAPTION = sfx.CAPTION_BOX


class InstallerCase(sfx.InstallerCase):
    def installer(self, files=None, comment=None):
        return super().installer(files or SMALL_TREE, comment)

    def wait_installed(self):
        """Waits for the tree in its place: the stage swapped in once every entry was
        complete, so the button is active. (Files in the stage may still wait for it.)"""
        self.wait_for(lambda: os.path.exists(os.path.join(self.target, "pkg/readme.txt")),
                      "installed tree")

    def assert_closes(self, run, window):
        self.assertTrue(sfx.wait_gone(window), "window still shown")
        self.assertEqual(run.wait(), 0, run.stderr())


class WindowPropertiesTest(InstallerCase):
    def test_title_size_hints_and_icon(self):
        run, window = self.start_and_find(self.installer())
        self.assertEqual(sfx.xprop_string(window, "WM_NAME"), sfx.TITLE)
        self.assertEqual(sfx.xprop_string(window, "WM_ICON_NAME"), sfx.TITLE)
        self.assertEqual(sfx.window_geometry(window), (605, 140))
        hints = sfx.size_hints(window)
        self.assertEqual(hints.get("minimum"), (605, 140), hints)
        self.assertEqual(hints.get("maximum"), (605, 140), hints)
        self.assertEqual(sfx.icon_sizes(window), [(128, 128)])
        self.assertEqual(sfx.xprop(window, "WM_CLASS"), '"sfx-stub", "Sfx-stub"')
        self.assertIn("WM_DELETE_WINDOW", sfx.xprop(window, "WM_PROTOCOLS"))

    def test_title_option_replaces_the_title(self):
        run, window = self.start_and_find(self.installer(), ["-title", "Outro Titulo"],
                                          title="Outro Titulo")
        self.assertEqual(sfx.xprop_string(window, "WM_NAME"), "Outro Titulo")
        self.wait_installed()
        sfx.request_close(window)
        self.assert_closes(run, window)

    def test_unknown_argument_prints_options_and_goes_on(self):
        run, window = self.start_and_find(self.installer(), ["--no-such-option"])
        self.wait_installed()
        self.assertEqual(sfx.xprop_string(window, "WM_NAME"), sfx.TITLE)
        sfx.click(window, *BUTTON_CENTRE)
        self.assert_closes(run, window)
        self.assertIn("options are:", run.stderr())
        with open(os.path.join(self.target, "pkg/readme.txt")) as f:
            self.assertEqual(f.read(), "read me\n")


class CloseAfterExtractionTest(InstallerCase):
    """Without an autorun command the window waits; each way of closing it ends the run
    with status 0."""

    def start_finished(self):
        run, window = self.start_and_find(self.installer())
        self.wait_installed()
        return run, window

    def test_fechar_button(self):
        run, window = self.start_finished()
        sfx.click(window, *BUTTON_CENTRE)
        self.assert_closes(run, window)

    def test_escape_key(self):
        run, window = self.start_finished()
        sfx.press_key(window, "Escape")
        self.assert_closes(run, window)

    def test_window_manager_close_request(self):
        run, window = self.start_finished()
        sfx.request_close(window)
        self.assert_closes(run, window)

    def test_click_beside_the_button_keeps_the_window(self):
        run, window = self.start_finished()
        sfx.click(window, 300, 112)
        # Covered after the click, the window is drawn again only once its event loop has
        # taken the click too.
        x, y = sfx.window_position(window)
        sfx.cover_and_uncover(x, y, *sfx.window_geometry(window))
        image = sfx.screenshot_when(window, "beside", drawn)
        self.assertTrue(drawn(image), "the window was not drawn again: " + image.path)
        self.assertTrue(run.running(), "a click beside the button ended the installer")
        self.assertTrue(sfx.window_exists(window), "a click beside the button closed the window")


class CloseDuringExtractionTest(InstallerCase):
    """Closing while entries are still being written cancels: the run stops, takes away
    what it had written, keeps the previous installation as it was, and ends with status 0
    without running the command."""

    def close_during_extraction(self, close):
        sfx.write_tree(self.target, {"pkg/": None, "pkg/old.txt": "previous\n"})
        before = sfx.tree(self.target)
        installer = self.installer(sfx.many_files("pkg", MANY), comment="$AUTORUN$>touch ran")
        run, window = self.start_and_find(installer, stops=sfx.MID_EXTRACTION)
        run.held("a third of the entries written")
        self.assertTrue(sfx.extracting(self.target, MANY), "held, but not mid-extraction")
        # Queued while it is held, the close is read by the next entry's event pass.
        close(window)
        run.resume()
        closed = time.monotonic()
        self.assertTrue(sfx.wait_gone(window), "window still shown")
        self.assertEqual(run.wait(), 0, run.stderr())
        print("closed to ended: %.3f s" % (time.monotonic() - closed))
        self.assertEqual(sfx.tree(self.target), before, "not as it was before")

    def test_window_manager_close_request(self):
        self.close_during_extraction(sfx.request_close)

    def test_escape_key(self):
        self.close_during_extraction(lambda window: sfx.press_key(window, "Escape"))


def drawn(image):
    """Whether the installer has drawn its caption: uncovered, the window shows only its
    background until it does."""
    x, y, w, h = CAPTION
    pixels = [image.pixel(px, py) for py in range(y, y + h) for px in range(x, x + w)]
    return (255, 0, 0) not in pixels and any(sfx.is_dark(pixel) for pixel in pixels)


class DisplayOptionTest(InstallerCase):
    def test_display_option_alone_reaches_the_server_and_the_command(self):
        # The window is built before the toolkit reads its options: nothing may open the
        # display until show() has taken "-display".
        display = os.environ["DISPLAY"]
        installer = self.installer(comment='$AUTORUN$>echo "$DISPLAY" > seen-display\n')
        run = self.start(installer, ["-display", display], env={"DISPLAY": None})
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertNotIn("Can't open display", run.stderr())
        with open(os.path.join(self.target, "seen-display")) as f:
            self.assertEqual(f.read(), display + "\n")
        self.assertEqual(sfx.count_files(self.target), SMALL_TREE_FILES + 1)


class NoDisplayTest(InstallerCase):
    def test_missing_server_ends_with_status_1_and_extracts_nothing(self):
        display = ":%d" % unused_display_number()
        run = self.start(self.installer(), env={"DISPLAY": display})
        self.assertEqual(run.wait(), 1)
        self.assertIn("Can't open display: " + display, run.stderr())
        self.assertEqual(os.listdir(self.target), [])


def unused_display_number():
    """A display number with no server: nothing listens on its socket."""
    for number in range(730, 830):
        path = "/tmp/.X11-unix/X%d" % number
        if os.path.exists(path):
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            if s.connect_ex(("127.0.0.1", 6000 + number)) != 0:
                return number
    raise RuntimeError("no free display number")


if __name__ == "__main__":
    unittest.main()
