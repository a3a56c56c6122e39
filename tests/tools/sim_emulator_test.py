"""sim-emulator (POSIX build) through its real interface, the shared-memory object. The object's
name is fixed and /dev/shm is the whole machine's, so each test runs the emulator in a mount
namespace with a /dev/shm of its own; where none can be made it skips.

Usage: sim_emulator_test.py EXE"""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain import namespace  # noqa: E402

EMULATOR = None
AREA = "/dev/shm/FalconSharedMemoryArea"


class SimEmulator(unittest.TestCase):
    def setUp(self):
        namespace.require(self)
        self.namespace = namespace.MountNamespace()
        self.addCleanup(self.namespace.close)
        self.area = pathlib.Path(self.namespace.root + AREA)  # the namespace's, seen from here

    def emulator(self, *arguments):
        return self.namespace.command([EMULATOR, *arguments])

    def start(self, *arguments):
        process = subprocess.Popen(self.emulator(*arguments), stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(process.__exit__, None, None, None)  # waits, closes the pipes
        self.addCleanup(process.kill)  # sends nothing to one that has ended
        return process

    def stop(self, process):
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(timeout=5), 0)
        self.assertEqual(process.stdout.readline(), b"sim-emulator: stopped, area released\n")
        self.assertFalse(self.area.exists(), "the object is removed at the end")

    def test_publishes_the_built_in_pages_in_turn_until_interrupted(self):
        process = self.start("--interval", "0.3")
        self.assertTrue(process.stdout.readline().startswith(
            b"sim-emulator: publishing FalconSharedMemoryArea (4096 bytes)"))
        self.assertEqual(self.area.stat().st_size, 4096)
        seen = set()
        deadline = time.monotonic() + 5
        while len(seen) < 3 and time.monotonic() < deadline:
            area = self.area.read_bytes()
            seen.add(area[236:496])
            self.assertEqual(area[:236] + area[496:], bytes(236 + 4096 - 496))
            self.assertIn(2, area[366:496])  # every built-in page marks a field
            time.sleep(0.1)
        self.assertGreaterEqual(len(seen), 3, "the pages change")
        self.stop(process)

    def test_page_file_loads_as_written(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as pages:
            pages.write("page\ntext |HELLO \\1\\2^|\nmark | ##|\ntext ||\ntext ||\ntext ||\n"
                        "text |\\xff|\n")
            pages.flush()
            process = self.start("--pages", pages.name)
            self.assertIn(b"1 page, 3.0 s each", process.stdout.readline())
            area = self.area.read_bytes()
        self.assertEqual(area[236:262], b"HELLO \x01\x02^".ljust(25) + b"\0")
        self.assertEqual(area[236 + 104:236 + 130], b"\xff".ljust(25) + b"\0")
        self.assertEqual(area[366:392], b"\0\2\2" + bytes(23))
        self.stop(process)

    def test_malformed_page_file_publishes_nothing(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as pages:
            pages.write("page\ntext |ok|\ntext |way too long for one line of it|\n")
            pages.flush()
            result = subprocess.run(self.emulator("--pages", pages.name), capture_output=True,
                                    timeout=5)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), f"sim-emulator: {pages.name}: line 3: text row "
                                                 "has more than 25 cells\n")
        self.assertEqual(result.stdout, b"")
        self.assertFalse(self.area.exists())

    def test_refuses_an_area_that_exists_already(self):
        first = self.start()
        first.stdout.readline()
        before = self.area.read_bytes()
        second = subprocess.run(self.emulator(), capture_output=True, timeout=5)
        self.assertEqual(second.returncode, 1)
        self.assertIn(b"the area already exists", second.stderr)
        self.assertEqual(self.area.read_bytes(), before)
        self.stop(first)


class Options(unittest.TestCase):
    def test_help_is_an_answer_not_an_error(self):
        result = subprocess.run([EMULATOR, "--help"], capture_output=True, timeout=5)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assertTrue(result.stdout.startswith(b"usage: sim-emulator "), result.stdout)
        for wrong in (["--bogus"], ["--help", "--pages", "x"]):
            result = subprocess.run([EMULATOR, *wrong], capture_output=True, timeout=5)
            self.assertEqual(result.returncode, 2, wrong)
            self.assertIn(b"usage:", result.stderr)


if __name__ == "__main__":
    EMULATOR = os.path.abspath(sys.argv.pop(1))
    unittest.main()
