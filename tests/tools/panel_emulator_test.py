"""panel-emulator through its real interfaces: a pseudo-terminal whose slave this test opens,
sets and closes as the relay would, and recorded streams read from files.

Usage: panel_emulator_test.py PANEL_EMULATOR"""

import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain.figures import cpu_seconds  # noqa: E402
from relay_chain.line import pair_of  # noqa: E402

EMULATOR = None
GLYPHS = {0x12: "↕", 0xA7: "°"}


def pair_bytes(text, marks=""):
    return pair_of(text if isinstance(text, bytes) else text.encode(), marks.encode())


def dump_block(number, text, marks=""):
    """The --dump block the emulator prints for a pair."""
    text = text.ljust(125, b" ") if isinstance(text, bytes) else text.encode().ljust(125)
    marks = marks.ljust(125, "0")
    lines = [f"pair {number}"]
    for line in range(5):
        cells = text[25 * line:25 * line + 25]
        shown = "".join(chr(b) if 0x20 <= b <= 0x7E else GLYPHS.get(b, "·") for b in cells)
        lines.append(f"|{shown}| {marks[25 * line:25 * line + 25]}")
    return "\n".join(lines) + "\n"


class Reader:
    """Collects a process's standard output without blocking."""

    def __init__(self, process):
        self.process = process
        self.text = b""
        os.set_blocking(process.stdout.fileno(), False)

    def wait_for(self, needle, timeout=5.0):
        deadline = time.monotonic() + timeout
        while needle.encode() not in self.text:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {needle!r} in output: {self.text.decode()!r}")
            ready, _, _ = select.select([self.process.stdout], [], [], min(left, 0.1))
            if ready:
                chunk = self.process.stdout.read()
                if chunk:
                    self.text += chunk
        return self.text.decode()

    def settle(self, seconds=0.4):
        time.sleep(seconds)
        chunk = self.process.stdout.read()
        if chunk:
            self.text += chunk
        return self.text.decode()


def configure(fd, speed):
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = speed
    termios.tcsetattr(fd, termios.TCSANOW, attributes)


class PseudoTerminalPanel(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.link = os.path.join(self.directory.name, "com4")
        self.process = subprocess.Popen(
            [EMULATOR, "--dump", "--restart-seconds", "1", "--link", self.link],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.output = Reader(self.process)
        deadline = time.monotonic() + 5
        while not os.path.islink(self.link):
            self.assertLess(time.monotonic(), deadline, "no link to the slave")
            time.sleep(0.02)

    def tearDown(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        self.directory.cleanup()

    def open_slave(self):
        return os.open(self.link, os.O_RDWR | os.O_NOCTTY)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.process.wait(timeout=5), 0)
        return self.output.settle(0), self.process.stderr.read().decode()

    def test_restart_and_stream_as_the_relay_drives_it(self):
        # The relay's start: set 1200 baud, close. The panel restarts and drops what comes then.
        slave = self.open_slave()
        configure(slave, termios.B1200)
        os.close(slave)
        self.output.wait_for("restart\n")
        # While it stays closed the emulator waits between checks instead of spinning.
        before = cpu_seconds(self.process.pid)
        time.sleep(1.5)
        self.assertLess(cpu_seconds(self.process.pid) - before, 0.3)

        slave = self.open_slave()
        # Every byte value goes through unchanged: the line is raw (no "\n" -> "\r\n", no ^C).
        hostile = bytes([0x0A, 0x0D, 0x03, 0x1B, 0x12, 0xA7, 0x7F, 0x3C, 0x3E]) + b"[2J"
        os.write(slave, pair_bytes("STPT  8", "1111") * 2 + pair_bytes(hostile, "0" * 9 + "1"))
        os.write(slave, b"garbage<>" + pair_bytes("LOST") + pair_bytes("BACK", "01"))
        self.output.wait_for("pair 4")
        # The relay's end closes the line at 1200 baud too: the panel restarts again.
        os.close(slave)
        self.output.wait_for(dump_block(4, "BACK", "01") + "restart\n")
        text, summary = self.stop()
        expected = ("restart\n" + dump_block(1, "STPT  8", "1111")
                    + dump_block(3, hostile, "0" * 9 + "1") + dump_block(4, "BACK", "01")
                    + "restart\n")
        self.assertEqual(text, expected)
        self.assertIn("pairs 4", summary)
        self.assertIn("restarts 2", summary)
        self.assertFalse(os.path.lexists(self.link), "the link is removed at the end")

    def test_bytes_during_restart_are_dropped(self):
        slave = self.open_slave()
        configure(slave, termios.B1200)
        os.close(slave)
        self.output.wait_for("restart\n")
        slave = self.open_slave()
        os.write(slave, pair_bytes("TOO EARLY"))
        time.sleep(1.3)  # the restart (1 s here) is over
        os.write(slave, pair_bytes("IN TIME"))
        self.output.wait_for("IN TIME")
        os.close(slave)
        text, summary = self.stop()
        self.assertNotIn("TOO EARLY", text)
        self.assertTrue(text.startswith("restart\n" + dump_block(1, "IN TIME")), text)
        self.assertIn("dropped 2", summary)  # the 254 bytes taken in during the restart

    def test_a_close_without_1200_baud_is_no_restart(self):
        slave = self.open_slave()
        configure(slave, termios.B9600)
        os.write(slave, pair_bytes("ONE"))
        self.output.wait_for("ONE")
        os.close(slave)
        time.sleep(0.5)
        slave = self.open_slave()
        os.write(slave, pair_bytes("TWO"))
        self.output.wait_for("TWO")
        os.close(slave)
        text, summary = self.stop()
        self.assertEqual(text, dump_block(1, "ONE") + dump_block(2, "TWO"))
        self.assertIn("restarts 0", summary)


class RecordedStream(unittest.TestCase):
    def run_on(self, stream, *options):
        with tempfile.NamedTemporaryFile() as recording:
            recording.write(stream)
            recording.flush()
            result = subprocess.run([EMULATOR, "--dump", *options, recording.name],
                                    capture_output=True, timeout=10)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def test_same_pairs_fold_into_one_block_and_the_end_of_the_stream_ends_it(self):
        stream = pair_bytes("A") * 3 + pair_bytes("B") + pair_bytes("B") + pair_bytes("A")[:100]
        status, text, summary = self.run_on(stream)
        self.assertEqual(status, 0)
        self.assertEqual(text, dump_block(1, "A") + dump_block(4, "B"))
        self.assertIn("pairs 5", summary)

    def test_pair_limit(self):
        status, text, _ = self.run_on(pair_bytes("A") + pair_bytes("B") + pair_bytes("C"),
                                      "--pairs", "2")
        self.assertEqual(status, 0)
        self.assertEqual(text, dump_block(1, "A") + dump_block(2, "B"))

    def test_bad_options_and_missing_device(self):
        for arguments in (["--pairs", "0"], ["--pairs"], ["--bogus"], ["a", "b"],
                          ["--restart-seconds", "60"]):
            result = subprocess.run([EMULATOR, *arguments], capture_output=True, timeout=5)
            self.assertEqual(result.returncode, 2, arguments)
            self.assertIn(b"usage:", result.stderr)
        result = subprocess.run([EMULATOR, "--dump", "/nonexistent/line"], capture_output=True,
                                timeout=5)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"cannot open /nonexistent/line", result.stderr)


if __name__ == "__main__":
    EMULATOR = sys.argv.pop(1)
    unittest.main()
