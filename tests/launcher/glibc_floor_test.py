"""scripts/check-glibc-floor.sh and src/launcher/glibc_floor.c: the checker names every
symbol above the floor and every library outside the list, the wrapper binds log and pow to
their oldest versions without changing what they compute, and the stub, when built for the
floor (make portable), passes. Symbols are read for comparison with readelf, not objdump,
which the checker uses.

Settings come from the environment, set by CMake's add_test:
  SFX_FLOOR_CHECK    the checker
  SFX_PROBE_PLAIN    floor_probe linked as usual; SFX_PROBE_WRAPPED with the wrapper
  SFX_CXX_PROGRAM    a program linked with the shared C++ runtime
  SFX_STUB           the stub (unset in the sanitized build)
  SFX_GLIBC_FLOOR    the floor the stub was built for, empty in the plain build
  SFX_EMULATOR       what runs the probes on this machine (qemu-user in a cross build)
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

FLOOR = "2.28"
EMULATOR = os.environ.get("SFX_EMULATOR", "").split()
# Every architecture's first glibc symbol version, where the wrapper binds log and pow;
# keyed by readelf's name of the ELF machine.
FIRST_VERSION = {"Advanced Micro Devices X86-64": "2.2.5", "AArch64": "2.17"}


def check(program, floor=None):
    args = [os.environ["SFX_FLOOR_CHECK"]] + (["--floor", floor] if floor else []) + [program]
    return subprocess.run(args, capture_output=True, text=True)


def version_key(version):
    return tuple(int(part) for part in version.split("."))


def glibc_symbols(program):
    """{symbol: version} of every GLIBC_x.y symbol the program refers to, from readelf."""
    out = subprocess.run(["readelf", "--wide", "--dyn-syms", program], capture_output=True,
                         text=True, check=True).stdout
    symbols = {}
    for match in re.finditer(r" ([A-Za-z_][A-Za-z0-9_]*)@+GLIBC_([0-9.]+)", out):
        symbols[match.group(1)] = match.group(2)
    return symbols


def first_version(program):
    """The first glibc symbol version of the program's architecture."""
    out = subprocess.run(["readelf", "--file-header", program], capture_output=True, text=True,
                         check=True).stdout
    machine = re.search(r"^\s*Machine:\s*(.*?)\s*$", out, re.M).group(1)
    if machine not in FIRST_VERSION:
        raise AssertionError("%s: no first glibc version known for %s" % (program, machine))
    return FIRST_VERSION[machine]


def above(symbols, floor):
    return {name: version for name, version in symbols.items()
            if version_key(version) > version_key(floor)}


def named(output):
    """{symbol: version} the checker reported as newer than its floor."""
    return dict(re.findall(r": ([^ @]+)@GLIBC_([0-9.]+) is newer than glibc", output))


class Checker(unittest.TestCase):
    def test_names_each_symbol_above_the_floor_with_its_version(self):
        probe = os.environ["SFX_PROBE_PLAIN"]
        symbols = glibc_symbols(probe)
        if version_key(symbols.get("log", "0")) < (2, 29):
            self.skipTest("this glibc has no log@GLIBC_2.29 to catch")
        for floor in (FLOOR, first_version(probe)):
            with self.subTest(floor=floor):
                result = check(probe, floor)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertEqual(named(result.stdout), above(symbols, floor))
                self.assertIn("log", named(result.stdout))
                self.assertIn("pow", named(result.stdout))
        newest = max(symbols.values(), key=version_key)
        result = check(probe, newest)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("newest glibc version needed %s, floor %s" % (newest, newest),
                      result.stdout)

    def test_names_libraries_not_every_desktop_has(self):
        result = check(os.environ["SFX_CXX_PROGRAM"], "99.0")
        self.assertEqual(result.returncode, 1)
        self.assertIn("needs libstdc++.so.6, which not every desktop has", result.stdout)
        self.assertNotIn("libc.so.6", result.stdout)

    def test_refusals_name_the_path(self):
        scratch = tempfile.mkdtemp(prefix="sfx-floor-")
        try:
            text = os.path.join(scratch, "notes.txt")
            with open(text, "w") as f:
                f.write("not a program\n")
            for path, message in ((os.path.join(scratch, "missing"), "no such file"),
                                  (text, "cannot read the dynamic symbols")):
                with self.subTest(path=path):
                    result = check(path)
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(message, result.stderr)
                    self.assertIn(path, result.stderr)
        finally:
            shutil.rmtree(scratch)


class Wrapper(unittest.TestCase):
    def test_binds_log_and_pow_to_their_oldest_versions(self):
        probe = os.environ["SFX_PROBE_WRAPPED"]
        symbols = glibc_symbols(probe)
        first = first_version(probe)
        self.assertEqual((symbols.get("log"), symbols.get("pow")), (first, first))
        result = check(os.environ["SFX_PROBE_WRAPPED"])
        self.assertNotIn("log@", result.stdout)
        self.assertNotIn("pow@", result.stdout)

    def test_old_versions_compute_what_the_new_ones_do(self):
        pairs = ["0", "1", "-1", "0.5", "2", "0.5", "1e308", "2", "-8", "0.3333", "2", "-1080",
                 "nan", "1", "inf", "-1", "-0", "-1", "10", "3", "0.1", "1e-5", "5e-324", "0.5"]
        outputs = [subprocess.run(EMULATOR + [os.environ[probe]] + pairs, capture_output=True, text=True,
                                  check=True).stdout
                   for probe in ("SFX_PROBE_PLAIN", "SFX_PROBE_WRAPPED")]
        self.assertEqual(outputs[0], outputs[1])
        lines = outputs[0].splitlines()
        self.assertEqual(len(lines), len(pairs) // 2)
        # log(0) is a pole (ERANGE), log(-1) a domain error (EDOM), pow overflows to ERANGE.
        self.assertEqual(lines[0], "0 1: -inf 34 0x0p+0 0")
        self.assertEqual(lines[1], "-1 0.5: nan 33 nan 33")
        self.assertEqual(lines[3], "1e308 2: 0x1.62991d5d62a5ep+9 0 inf 34")


    def test_steady_clock_waits_go_to_an_old_version_and_still_time_out(self):
        symbols = glibc_symbols(os.environ["SFX_PROBE_WRAPPED"])
        self.assertNotIn("pthread_cond_clockwait", symbols)
        self.assertIn("pthread_cond_timedwait", symbols)
        for probe in ("SFX_PROBE_PLAIN", "SFX_PROBE_WRAPPED"):
            with self.subTest(probe=probe):
                result = subprocess.run(EMULATOR + [os.environ[probe], "--wait", "30"], capture_output=True,
                                        text=True, check=True)
                self.assertEqual(result.stdout, "timed out, not early\n")


class Stub(unittest.TestCase):
    def setUp(self):
        self.stub = os.environ.get("SFX_STUB")
        if not self.stub:
            self.skipTest("the sanitized stub needs the sanitizer runtimes")
        self.floor = os.environ.get("SFX_GLIBC_FLOOR")

    def test_checker_verdict_on_the_stub(self):
        symbols = glibc_symbols(self.stub)
        result = check(self.stub)
        self.assertEqual(named(result.stdout), above(symbols, FLOOR))
        if self.floor:
            # Built for the floor: nothing above it, only libraries every desktop has.
            self.assertEqual(result.returncode, 0, result.stdout)
            first = first_version(self.stub)
            self.assertEqual((symbols["log"], symbols["pow"]), (first, first))
        else:
            # The plain build on a glibc of 2.29 or newer: the toolkit's log and pow at least.
            if max(version_key(v) for v in symbols.values()) < (2, 29):
                self.skipTest("this glibc is older than 2.29")
            self.assertEqual(result.returncode, 1)
            self.assertEqual(named(result.stdout)["log"], "2.29")
            self.assertEqual(named(result.stdout)["pow"], "2.29")
            self.assertNotIn("which not every desktop has", result.stdout)


if __name__ == "__main__":
    unittest.main()
