"""Real installers under a real window manager (SFX_WM, set by tests/support/with-wm.sh):
where the window lands, its size at 96 and 192 dpi, closing as cancelling, Return, and a
window that repaints while a large previous installation is removed. Screenshots are kept
in SFX_SCREENSHOTS."""

import os
import signal
import time
import unittest

import sfx_testlib as sfx

# The screen the tests ask with-xvfb.sh for: room for the window at 2x.
SCREEN = (2560, 1440)
SMALL_TREE = {"pkg/": None, "pkg/readme.txt": "read me\n"}
# Thousands of entries, held still after a third of them (sfx.MID_EXTRACTION) while the
# window is closed.
MANY = 3000
OLD_FILES = 3000
# The window manager's frame moves the window right and down by its border and title.
FRAME_SLACK = 40
CAPTION = sfx.CAPTION_BOX
# Dark only once the button is active; grey before: the label's middle, inside the button.
BUTTON_LABEL = (sfx.BUTTON_BOX[0] + 10, sfx.BUTTON_BOX[1] + 8, sfx.BUTTON_BOX[2] - 20, 19)


def scaled(box, scale):
    return tuple(int(round(n * scale)) for n in box)


def dark_rows(image, box):
    x, y, w, h = box
    return [py for py in range(y, y + h)
            if any(sfx.is_dark(image.pixel(px, py)) for px in range(x, x + w))]


def red_pixels(image, box):
    x, y, w, h = box
    return sum(1 for py in range(y, y + h) for px in range(x, x + w)
               if image.pixel(px, py) == (255, 0, 0))


class DesktopCase(sfx.InstallerCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(sfx.set_resources, None)

    def installer(self, files=SMALL_TREE, comment=None):
        return super().installer(files, comment)

    def finished_window(self, dpi):
        """A window whose extraction has ended, at `dpi`: its size, position and picture."""
        sfx.set_resources("Xft.dpi:\t%d\n" % dpi)
        installer = self.installer()
        run, window = self.start_and_find(installer)
        self.wait_for(lambda: os.path.exists(os.path.join(self.target, "pkg/readme.txt")),
                      "extracted file")
        image = sfx.screenshot_when(window, "%s-%ddpi" % (os.environ.get("SFX_WM", "nowm"), dpi),
                                    lambda image: dark_rows(image, scaled(CAPTION, dpi / 96)))
        size = sfx.window_geometry(window)
        position = sfx.window_position(window)
        print("%s, %d dpi: window %dx%d at %d,%d, screenshot %dx%d" % (
            os.environ.get("SFX_WM"), dpi, size[0], size[1], position[0], position[1],
            image.width, image.height))
        sfx.request_close(window)
        self.assertEqual(run.wait(), 0, run.stderr())
        return size, position, image


class PlacementAndScaleTest(DesktopCase):
    def assert_centred(self, size, position):
        for axis in (0, 1):
            centred = (SCREEN[axis] - size[axis]) // 2
            self.assertGreaterEqual(position[axis], centred - 2, (size, position))
            self.assertLessEqual(position[axis], centred + FRAME_SLACK, (size, position))

    def test_centred_and_twice_as_large_at_192_dpi(self):
        size, position, image = self.finished_window(96)
        self.assertEqual(size, (605, 140))
        self.assertEqual((image.width, image.height), size)
        self.assert_centred(size, position)
        text_1x = dark_rows(image, CAPTION)

        size, position, image = self.finished_window(192)
        self.assertEqual(size, (1210, 280))
        self.assertEqual((image.width, image.height), size)
        self.assert_centred(size, position)
        text_2x = dark_rows(image, scaled(CAPTION, 2))
        self.assertTrue(text_1x and text_2x, "no caption drawn")
        self.assertGreaterEqual(len(text_2x), 1.7 * len(text_1x), (text_1x, text_2x))

    def test_icon_and_size_hints_follow_the_scale(self):
        sfx.set_resources("Xft.dpi:\t144\n")
        run, window = self.start_and_find(self.installer())
        hints = sfx.size_hints(window)
        self.assertEqual(hints.get("minimum"), (908, 210), hints)
        self.assertEqual(hints.get("maximum"), (908, 210), hints)
        self.assertEqual(sorted(sfx.icon_sizes(window)), [(128, 128), (192, 192)])

    def test_geometry_option_wins(self):
        sfx.set_resources("Xft.dpi:\t192\n")
        run, window = self.start_and_find(self.installer(), ["-geometry", "500x120+30+40"])
        self.assertEqual(sfx.window_geometry(window), (500, 120))
        x, y = sfx.window_position(window)
        self.assertTrue(30 <= x <= 30 + FRAME_SLACK and 40 <= y <= 40 + FRAME_SLACK, (x, y))


class ClosingTest(DesktopCase):
    def test_closing_during_the_extraction_cancels(self):
        sfx.write_tree(self.target, {"pkg/": None, "pkg/old.txt": "previous\n"})
        before = sfx.tree(self.target)
        installer = self.installer(sfx.many_files("pkg", MANY), comment="$AUTORUN$>touch ran")
        run, window = self.start_and_find(installer, stops=sfx.MID_EXTRACTION)
        run.held("a third of the entries written")
        self.assertTrue(sfx.extracting(self.target, MANY), "held, but not mid-extraction")
        # Queued while it is held, the close is read by the next entry's event pass.
        sfx.request_close(window)
        run.resume()
        closed = time.monotonic()
        self.assertEqual(run.wait(timeout=30), 0, run.stderr())
        print("%s: closed to process end %.3f s" % (os.environ.get("SFX_WM"),
                                                     time.monotonic() - closed))
        self.assertEqual(sfx.tree(self.target), before)

    def test_return_presses_fechar(self):
        run, window = self.start_and_find(self.installer())
        self.wait_for(lambda: os.path.exists(os.path.join(self.target, "pkg/readme.txt")),
                      "extracted file")
        # Return presses the button once the last entry's end has made it active.
        sfx.screenshot_when(window, "return", lambda image: dark_rows(image, BUTTON_LABEL))
        sfx.press_key(window, "Return")
        self.assertTrue(sfx.wait_gone(window), "Return left the window open")
        self.assertEqual(run.wait(), 0, run.stderr())


class LivenessTest(DesktopCase):
    @staticmethod
    def drawn(image):
        return red_pixels(image, CAPTION) == 0 and len(dark_rows(image, CAPTION)) > 0

    def test_repaints_while_the_old_tree_is_removed(self):
        sfx.write_tree(self.target, sfx.many_files("pkg", OLD_FILES, size=1))
        # The old tree goes in a process of the installer's own, held as it begins (its
        # only setpriority call): the window, covered and uncovered meanwhile, must be
        # drawn again.
        run, window = self.start_and_find(self.installer({"pkg/": None, "pkg/new.txt": "new\n"}),
                                          stops=sfx.Stops("setpriority", 1))
        housekeeper = run.held_elsewhere("the removal of the old tree about to begin")
        old_tree = lambda: [os.path.join(self.target, n) for n in sfx.stages(self.target)]
        self.assertTrue(os.path.exists(os.path.join(self.target, "pkg/new.txt")) and old_tree(),
                        "held, but not while the old tree is to be removed")
        x, y = sfx.window_position(window)
        width, height = sfx.window_geometry(window)
        sfx.cover_and_uncover(x, y, width, height)
        name = "%s-removal" % os.environ.get("SFX_WM")
        image = sfx.screenshot_when(window, name, self.drawn, timeout=10)
        self.assertTrue(self.drawn(image), "not repainted while the old tree was removed")
        self.assertEqual(sfx.count_files(old_tree()[0]), OLD_FILES)
        os.kill(housekeeper, signal.SIGCONT)
        self.wait_for(lambda: not old_tree(), "end of the removal", timeout=60)
        sfx.request_close(window)
        self.assertEqual(run.wait(), 0, run.stderr())
        self.assertEqual(os.listdir(os.path.join(self.target, "pkg")), ["new.txt"])

if __name__ == "__main__":
    unittest.main()
