"""panel-emulator.exe (the Windows build, brought up to date first) under Wine: on a COM port that
is a pseudo-terminal, and on a recorded file; and both emulators' --help.
Usage: panel_emulator_windows_test.py WINDOWS_BUILD"""

import os
import pty
import shutil
import subprocess
import sys
import tempfile
import tty
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from relay_chain.line import pair_of  # noqa: E402
from relay_chain.wine import WinePrefix, windows_path  # noqa: E402

WINDOWS_BUILD = None


def block(number, first_line, marks=""):
    blank_row = f"|{' ' * 25}| {'0' * 25}\n"
    return f"pair {number}\n|{first_line.ljust(25)}| {marks.ljust(25, '0')}\n" + blank_row * 4


class WindowsPanelEmulator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(WINDOWS_BUILD, "CMakeCache.txt")):
            subprocess.run(["cmake", "--preset", "windows", "-B", WINDOWS_BUILD], cwd=ROOT,
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", WINDOWS_BUILD, "--target", "panel-emulator",
                        "sim-emulator"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        cls.exe = os.path.join(WINDOWS_BUILD, "tools", "panel-emulator.exe")
        cls.work = tempfile.mkdtemp(prefix="panel-emulator-wine-")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        # The Windows build's template prefix, which its own tests use too.
        cls.prefix = WinePrefix(os.path.join(WINDOWS_BUILD, "wine-template"),
                                os.path.join(cls.work, "prefix"))
        cls.addClassCleanup(cls.prefix.close)

    def run_exe(self, *arguments):
        result = subprocess.run(self.prefix.command([self.exe, "--dump", *arguments]),
                                env=self.prefix.env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60, start_new_session=True)
        return (result.returncode, result.stdout.decode().replace("\r\n", "\n"),
                result.stderr.decode())

    def test_com_port(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        tty.setraw(slave)
        link = os.path.join(self.prefix.path, "dosdevices", "com5")
        os.symlink(os.ttyname(slave), link)
        self.addCleanup(os.unlink, link)
        os.close(slave)
        # Garbage first: the emulator finds its place from the stream alone. The pseudo-terminal
        # holds what is written until the emulator opens it.
        os.write(master, b"junk<>" + pair_of(b"LOST") + pair_of(b"ONE \x12\xa7", b"11")
                 + pair_of(b"TWO <>"))
        status, out, err = self.run_exe("--pairs", "2", "COM5")
        self.assertEqual(status, 0, err)
        self.assertEqual(out, block(1, "ONE ↕°", "11") + block(2, "TWO <>"))
        self.assertIn("pairs 2", err)

    def test_recorded_file_and_a_missing_port(self):
        recording = os.path.join(self.work, "stream.bin")
        with open(recording, "wb") as file:
            file.write(pair_of(b"FILE A") + pair_of(b"FILE A") + pair_of(b"FILE B"))
        status, out, _ = self.run_exe(windows_path(recording))
        self.assertEqual(status, 0)
        self.assertEqual(out, block(1, "FILE A") + block(3, "FILE B"))
        status, out, err = self.run_exe("COM9")
        self.assertEqual(status, 1)
        self.assertIn("cannot open COM9", err)

    def test_help_of_both_emulators(self):
        """--help is an answer: status 0, the usage on standard output. The Windows panel
        emulator offers no standard input ("-" names a file there)."""
        shown = {}
        for name in ("panel-emulator", "sim-emulator"):
            exe = os.path.join(WINDOWS_BUILD, "tools", f"{name}.exe")
            result = subprocess.run(self.prefix.command([exe, "--help"]), env=self.prefix.env,
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                                    start_new_session=True)
            shown[name] = result.stdout.decode().replace("\r\n", "\n")
            self.assertEqual(result.returncode, 0, name)
            self.assertTrue(shown[name].startswith(f"usage: {name} "), shown[name])
        self.assertNotIn("standard input", shown["panel-emulator"])
        self.assertIn("COM port", shown["panel-emulator"])


if __name__ == "__main__":
    WINDOWS_BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
