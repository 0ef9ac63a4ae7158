"""scripts/apt-mirror.sh: the Debian mirror comes from the machine's own APT configuration,
whatever form it takes, and never from a name written into our scripts."""

import os
import subprocess
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                      "apt-mirror.sh")


class AptMirror(unittest.TestCase):
    def mirror(self, files, override=None):
        """What the script prints for an APT directory holding `files` ({name: text})."""
        with tempfile.TemporaryDirectory() as etc:
            os.mkdir(os.path.join(etc, "sources.list.d"))
            for name, text in files.items():
                with open(os.path.join(etc, name), "w") as f:
                    f.write(text)
            env = dict(os.environ, SFX_APT_ETC=etc)
            env.pop("SFX_DEBIAN_MIRROR", None)
            if override:
                env["SFX_DEBIAN_MIRROR"] = override
            result = subprocess.run([SCRIPT], capture_output=True, text=True, env=env)
            return result.returncode, result.stdout.strip(), result.stderr.strip()

    def test_deb822_sources_skip_security_disabled_and_source_stanzas(self):
        sources = ("Types: deb\nURIs: http://security.example/debian-security\n"
                   "Suites: bookworm-security\nComponents: main\n\n"
                   "# a comment\nTypes: deb\nEnabled: no\nURIs: http://off.example/debian\n"
                   "Suites: bookworm\n\n"
                   "Types: deb-src\nURIs: http://src.example/debian\nSuites: bookworm\n\n"
                   "Types: deb\nURIs: http://mirror.example/debian http://second.example/debian\n"
                   "Suites: bookworm bookworm-updates\nComponents: main\n")
        self.assertEqual(self.mirror({"sources.list.d/debian.sources": sources}),
                         (0, "http://mirror.example/debian", ""))

    def test_one_line_sources_with_options(self):
        lines = ("# deb http://commented.example/debian bookworm main\n"
                 "deb http://security.example/debian-security bookworm-security main\n"
                 "deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] "
                 "http://proxy.example:3142/debian bookworm main\n")
        self.assertEqual(self.mirror({"sources.list": lines}),
                         (0, "http://proxy.example:3142/debian", ""))

    def test_the_override_wins_and_nothing_configured_says_what_to_do(self):
        self.assertEqual(self.mirror({}, override="http://given.example/debian"),
                         (0, "http://given.example/debian", ""))
        status, out, err = self.mirror({})
        self.assertEqual((status, out), (1, ""))
        self.assertIn("set SFX_DEBIAN_MIRROR", err)


if __name__ == "__main__":
    unittest.main()
