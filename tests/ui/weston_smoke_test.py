"""A real installer on XWayland under a headless weston: the window comes up with its own
class, the entries land and the command runs. Only what weston's headless back end takes
without crashing: no synthetic pointer motion."""

import os
import shutil
import tempfile
import time
import unittest

import sfx_testlib as sfx


class WestonSmokeTest(unittest.TestCase):
    def test_installer_runs_on_xwayland(self):
        scratch = tempfile.mkdtemp(prefix="sfx-weston-")
        self.addCleanup(shutil.rmtree, scratch, True)
        target = os.path.join(scratch, "target")
        os.mkdir(target)
        files = {"pkg/": None, "pkg/readme.txt": "read me\n"}
        # The command waits for the test to have seen the window.
        comment = "$AUTORUN$>while [ ! -e seen ]; do sleep 0.05; done; touch ran"
        installer = sfx.build_installer(scratch, files, "pkg", comment)
        run = sfx.Run(installer, target)
        self.addCleanup(run.kill)
        started = time.monotonic()
        window = sfx.find_window(run=run, timeout=30)
        print("weston: window after %.3f s" % (time.monotonic() - started))
        self.assertIn('"sfx-stub"', sfx.xprop(window, "WM_CLASS"))
        open(os.path.join(target, "seen"), "w").close()
        self.assertEqual(run.wait(timeout=30), 0, run.stderr())
        self.assertTrue(os.path.exists(os.path.join(target, "ran")))
        with open(os.path.join(target, "pkg/readme.txt")) as f:
            self.assertEqual(f.read(), "read me\n")


if __name__ == "__main__":
    unittest.main()
