"""panel-emulator.exe (the Windows build) under Wine: on a COM port, which Wine maps to a
pseudo-terminal whose master this test writes, and on a recorded file.

Usage: panel_emulator_windows_test.py WINDOWS_BUILD

The Windows build is brought up to date first (the program only), as the demo does."""

import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time
import tty
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINDOWS_BUILD = None


def pair_bytes(text, marks=""):
    return b"<" + text.ljust(125) + b">" + b">" + marks.ljust(125, "0").encode() + b"<"


def block(number, first_line, marks=""):
    rows = [f"|{first_line.ljust(25)}| {marks.ljust(25, '0')}"]
    rows += [f"|{' ' * 25}| {'0' * 25}"] * 4
    return f"pair {number}\n" + "\n".join(rows) + "\n"


class WindowsPanelEmulator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(WINDOWS_BUILD, "CMakeCache.txt")):
            subprocess.run(["cmake", "--preset", "windows", "-B", WINDOWS_BUILD], cwd=ROOT,
                           check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", WINDOWS_BUILD, "--target", "panel-emulator"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        cls.exe = os.path.join(WINDOWS_BUILD, "tools", "panel-emulator.exe")
        cls.work = tempfile.mkdtemp(prefix="panel-emulator-wine-")
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.work, "prefix"),
                       WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=")
        cls.env.pop("DISPLAY", None)
        os.makedirs(cls.env["WINEPREFIX"])
        cls.server = subprocess.Popen(["wineserver", "--foreground", "--persistent"],
                                      env=cls.env, start_new_session=True)
        for _ in range(200):  # its socket, in the directory it works in, means it listens
            if os.path.exists(f"/proc/{cls.server.pid}/cwd/socket"):
                break
            time.sleep(0.05)
        # A throw-away process first, so that Wine's services do not hold the tests' pipes.
        subprocess.run(["wineboot", "-i"], env=cls.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, start_new_session=True, timeout=180)

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.env, check=False)
        cls.server.wait(timeout=30)
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_exe(self, *arguments, feed=None):
        process = subprocess.Popen(["wine", self.exe, "--dump", *arguments], env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
        try:
            if feed:
                feed()
            out, err = process.communicate(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        return process.returncode, out.decode().replace("\r\n", "\n"), err.decode()

    def test_com_port(self):
        master, slave = pty.openpty()
        tty.setraw(slave)
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", "com5")
        os.symlink(os.ttyname(slave), link)
        os.close(slave)

        def feed():
            # Garbage first: the emulator finds its place from the stream alone.
            os.write(master, b"junk<>" + pair_bytes(b"LOST") + pair_bytes(b"ONE \x12\xa7", "11")
                     + pair_bytes(b"TWO <>"))

        try:
            status, out, err = self.run_exe("--pairs", "2", "COM5", feed=feed)
        finally:
            os.close(master)
            os.unlink(link)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, block(1, "ONE ↕°", "11") + block(2, "TWO <>"))
        self.assertIn("pairs 2", err)

    def test_recorded_file_and_a_missing_port(self):
        recording = os.path.join(self.work, "stream.bin")
        with open(recording, "wb") as file:
            file.write(pair_bytes(b"FILE A") + pair_bytes(b"FILE A") + pair_bytes(b"FILE B"))
        status, out, _ = self.run_exe("Z:" + recording.replace("/", "\\"))
        self.assertEqual(status, 0)
        self.assertEqual(out, block(1, "FILE A") + block(3, "FILE B"))
        status, out, err = self.run_exe("COM9")
        self.assertEqual(status, 1)
        self.assertIn("cannot open COM9", err)


if __name__ == "__main__":
    WINDOWS_BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
