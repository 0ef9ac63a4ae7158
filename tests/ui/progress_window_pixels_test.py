"""Screenshots of the progress window of real installers: the bar's blue fill covers the
share of its width that the count of announced entries predicts, and the caption reads from
the left. Screenshots are kept in SFX_SCREENSHOTS for people to look at."""

import os
import time
import unittest

import sfx_testlib as sfx

BLUE = (0, 0, 255)
BAR_X, BAR_Y, BAR_W, BAR_H = sfx.BAR_BOX
CAPTION_X, CAPTION_Y, CAPTION_W, CAPTION_H = sfx.CAPTION_BOX
BUTTON_X, BUTTON_Y, BUTTON_W, BUTTON_H = sfx.BUTTON_BOX
# A row inside the bar's frame and above its label.
FILL_ROW = BAR_Y + 5


def blue_span(image):
    """(first, last) x of the blue pixels in the bar's fill row, checking they are one run."""
    xs = [x for x in range(BAR_X, BAR_X + BAR_W) if image.pixel(x, FILL_ROW) == BLUE]
    if not xs:
        return None
    if xs[-1] - xs[0] + 1 != len(xs):
        raise AssertionError("blue fill is broken in %s" % image.path)
    return xs[0], xs[-1]


def button_active(image):
    """An active button draws its label in the dark foreground colour, an inactive one in a
    washed-out grey."""
    return bool(dark_columns(image, BUTTON_X + 10, BUTTON_Y + 8, BUTTON_W - 20, BUTTON_H - 16))


def dark_columns(image, x, y, w, h):
    return sorted({px for px in range(x, x + w) for py in range(y, y + h)
                   if sfx.is_dark(image.pixel(px, py))})


class PixelCase(sfx.InstallerCase):

    def assert_fill_share(self, image, announced, count):
        """The toolkit fills round(width * share) pixels from the bar's left edge, inside
        its 2-pixel frame."""
        span = blue_span(image)
        self.assertIsNotNone(span, "no blue in the bar of %s" % image.path)
        first, last = span
        self.assertLessEqual(first, BAR_X + 3, image.path)
        expected_end = min(BAR_X + round(BAR_W * announced / count) + 2, BAR_X + BAR_W - 2)
        self.assertAlmostEqual(last + 1, expected_end, delta=2, msg=image.path)
        if announced < count:
            self.assertNotEqual(image.pixel(last + 3, FILL_ROW), BLUE, image.path)

    def assert_button_active(self, image):
        self.assertTrue(button_active(image), "button label not dark in " + image.path)


class FinishedWindowTest(PixelCase):
    def test_full_bar_left_caption_active_button(self):
        files = {"pkg/": None}
        files.update({"pkg/f%d.txt" % i: "data %d\n" % i for i in range(6)})
        installer = sfx.build_installer(self.scratch, files, "pkg")
        run, window = self.start_and_find(installer)
        while sfx.count_files(self.target) < 6:
            self.assertTrue(run.running(), run.stderr())
            time.sleep(0.02)
        image = sfx.screenshot_when(window, "finished", button_active)

        self.assertEqual((image.width, image.height), (605, 140))
        self.assert_fill_share(image, 7, 7)
        columns = dark_columns(image, CAPTION_X, CAPTION_Y, CAPTION_W, CAPTION_H)
        self.assertTrue(columns, "no caption text in " + image.path)
        self.assertLess(columns[0], CAPTION_X + 10, "caption does not start at the left")
        self.assertLess(columns[-1], CAPTION_X + CAPTION_W // 2, "caption is not left-aligned")
        self.assert_button_active(image)


class FailedExtractionTest(PixelCase):
    def test_bar_stops_at_the_failing_entry(self):
        # The second of four entries fails its CRC check: two announcements, half a bar.
        entries = [("pkg/a.txt", "first\n"), ("pkg/b.txt", "SECOND-ENTRY-BODY\n"),
                   ("pkg/c.txt", "third\n"), ("pkg/d.txt", "fourth\n")]
        payload = os.path.join(self.scratch, "payload.zip")
        sfx.zip_entries(payload, entries)
        with open(payload, "rb") as f:
            data = f.read().replace(b"SECOND-ENTRY-BODY", b"second-entry-body")
        # No packager would ship it: it goes behind the stub as it is.
        installer = sfx.append_to_stub(data, os.path.join(self.scratch, "installer"))

        run, window = self.start_and_find(installer)
        deadline = time.monotonic() + 20
        while "b.txt" not in run.stderr() and time.monotonic() < deadline:
            self.assertTrue(run.running(), run.stderr())
            time.sleep(0.02)
        image = sfx.screenshot_when(window, "failed-extraction", button_active)

        self.assert_fill_share(image, 2, 4)
        self.assert_button_active(image)
        columns = dark_columns(image, CAPTION_X, CAPTION_Y, CAPTION_W, CAPTION_H)
        self.assertTrue(columns and columns[0] < CAPTION_X + 10, image.path)
        sfx.click(window, BUTTON_X + BUTTON_W // 2, BUTTON_Y + BUTTON_H // 2)
        self.assertEqual(run.wait(), 3, run.stderr())


if __name__ == "__main__":
    unittest.main()
