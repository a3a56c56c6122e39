"""panel-emulator through its real interfaces: a pseudo-terminal whose slave this test opens,
sets and closes as the relay would, and recorded streams. Usage: panel_emulator_test.py EXE"""

import grp
import os
import pwd
import select
import shutil
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
from relay_chain.panel import set_speed_termios2  # noqa: E402

EMULATOR = None
GLYPHS = {"\x12": "↕", "\xa7": "°"}


def dump_block(number, text, marks=b""):
    """The --dump block the emulator prints for the pair of text (bytes) and marks."""
    text, marks = text.decode("latin-1").ljust(125), marks.decode().ljust(125, "0")
    shown = "".join(c if " " <= c <= "~" else GLYPHS.get(c, "·") for c in text)
    return f"pair {number}\n" + "".join(f"|{shown[i:i + 25]}| {marks[i:i + 25]}\n"
                                        for i in range(0, 125, 25))


def run(*arguments, timeout=5):
    result = subprocess.run([EMULATOR, *arguments], capture_output=True, timeout=timeout)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


class PseudoTerminalPanel(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.link = os.path.join(directory.name, "com4")
        self.process = subprocess.Popen(
            [EMULATOR, "--dump", "--restart-seconds", "1", "--link", self.link],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(self.process.__exit__, None, None, None)  # waits, closes the pipes
        self.addCleanup(self.process.kill)  # sends nothing to one that has ended
        os.set_blocking(self.process.stdout.fileno(), False)
        self.text = b""
        deadline = time.monotonic() + 5
        while not os.path.islink(self.link):
            self.assertLess(time.monotonic(), deadline, "no link to the slave")
            time.sleep(0.02)

    def output(self, needle=None, timeout=5.0):
        """What the emulator has printed so far; with needle, once that is in it."""
        deadline = time.monotonic() + timeout
        while True:
            select.select([self.process.stdout], [], [], 0.1)
            self.text += self.process.stdout.read() or b""
            if needle is None or needle.encode() in self.text:
                return self.text.decode()
            if time.monotonic() > deadline:
                self.fail(f"no {needle!r} in output: {self.text.decode()!r}")

    def open_slave(self, speed=None, termios2_baud=None):
        slave = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        if termios2_baud is not None:
            set_speed_termios2(slave, termios2_baud)
        if speed is not None:
            attributes = termios.tcgetattr(slave)
            attributes[4] = attributes[5] = speed
            termios.tcsetattr(slave, termios.TCSANOW, attributes)
        return slave

    def start_as_the_relay_does(self):
        """Sets 1200 baud and closes: the panel restarts and drops what comes then."""
        os.close(self.open_slave(termios.B1200))
        self.output("restart\n")

    def send(self, shown, *pieces, speed=None, termios2_baud=None):
        """Writes the pieces on the slave, opened anew, and closes it once shown is printed."""
        slave = self.open_slave(speed, termios2_baud)
        for piece in pieces:
            os.write(slave, piece)
        self.output(shown)
        os.close(slave)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.process.wait(timeout=5), 0)
        return self.output(), self.process.stderr.read().decode()

    def test_restart_and_stream_as_the_relay_drives_it(self):
        self.start_as_the_relay_does()
        # While it stays closed the emulator waits between checks instead of spinning.
        before = cpu_seconds(self.process.pid)
        time.sleep(1.5)
        self.assertLess(cpu_seconds(self.process.pid) - before, 0.3)
        # Every byte value goes through unchanged: the line is raw (no "\n" -> "\r\n", no ^C).
        hostile = bytes([0x0A, 0x0D, 0x03, 0x1B, 0x12, 0xA7, 0x7F, 0x3C, 0x3E]) + b"[2J"
        self.send("pair 4", pair_of(b"STPT  8", b"1111") * 2 + pair_of(hostile, b"0" * 9 + b"1"),
                  b"garbage<>" + pair_of(b"LOST") + pair_of(b"BACK", b"01"))
        # The line is at 1200 baud still when send closes it, as at the relay's end: the panel
        # restarts again.
        self.output(dump_block(4, b"BACK", b"01") + "restart\n")
        text, summary = self.stop()
        expected = ("restart\n" + dump_block(1, b"STPT  8", b"1111")
                    + dump_block(3, hostile, b"0" * 9 + b"1") + dump_block(4, b"BACK", b"01")
                    + "restart\n")
        self.assertEqual(text, expected)
        self.assertIn("pairs 4", summary)
        self.assertIn("restarts 2", summary)
        self.assertFalse(os.path.lexists(self.link), "the link is removed at the end")

    def test_bytes_during_restart_are_dropped(self):
        self.start_as_the_relay_does()
        slave = self.open_slave()
        os.write(slave, pair_of(b"TOO EARLY"))
        time.sleep(1.3)  # the restart (1 s here) is over
        os.write(slave, pair_of(b"IN TIME"))
        self.output("IN TIME")
        os.close(slave)
        text, summary = self.stop()
        self.assertNotIn("TOO EARLY", text)
        self.assertTrue(text.startswith("restart\n" + dump_block(1, b"IN TIME")), text)
        self.assertIn("dropped 2", summary)  # the 254 bytes taken in during the restart

    def test_a_close_without_1200_baud_is_no_restart(self):
        self.send("ONE", pair_of(b"ONE"), speed=termios.B9600)
        time.sleep(0.5)
        self.send("TWO", pair_of(b"TWO"))
        text, summary = self.stop()
        self.assertEqual(text, dump_block(1, b"ONE") + dump_block(2, b"TWO"))
        self.assertIn("restarts 0", summary)

    def test_rates_set_through_termios2_count_as_set_with_tcsetattr(self):
        """Wine 10 sets every rate through termios2, as BOTHER and a number of baud."""
        os.close(self.open_slave(termios2_baud=1200))
        self.output("restart\n")
        time.sleep(1.3)  # the restart (1 s here) is over
        self.send("AT 9600", pair_of(b"AT 9600"), termios2_baud=9600)
        time.sleep(0.5)  # closed at 9600: no restart
        text, summary = self.stop()
        self.assertEqual(text, "restart\n" + dump_block(1, b"AT 9600"))
        self.assertIn("restarts 1", summary)


class RecordedStream(unittest.TestCase):
    def run_on(self, stream, *options):
        with tempfile.NamedTemporaryFile() as recording:
            recording.write(stream)
            recording.flush()
            return run("--dump", *options, recording.name, timeout=10)

    def test_same_pairs_fold_into_one_block_and_the_end_of_the_stream_ends_it(self):
        stream = pair_of(b"A") * 3 + pair_of(b"B") + pair_of(b"B") + pair_of(b"A")[:100]
        status, text, summary = self.run_on(stream)
        self.assertEqual(status, 0)
        self.assertEqual(text, dump_block(1, b"A") + dump_block(4, b"B"))
        self.assertIn("pairs 5", summary)

    def test_pair_limit(self):
        status, text, _ = self.run_on(pair_of(b"A") + pair_of(b"B") + pair_of(b"C"), "--pairs", "2")
        self.assertEqual(status, 0)
        self.assertEqual(text, dump_block(1, b"A") + dump_block(2, b"B"))

    def test_help_is_an_answer_not_an_error(self):
        status, text, error = run("--help")
        self.assertEqual((status, error), (0, ""))
        self.assertTrue(text.startswith("usage: panel-emulator "), text)
        self.assertIn("--restart-seconds S", text)

    def test_bad_options_and_missing_device(self):
        for arguments in (["--pairs", "0"], ["--pairs"], ["--bogus"], ["a", "b"],
                          ["--restart-seconds", "60"]):
            status, _, error = run(*arguments)
            self.assertEqual(status, 2, arguments)
            self.assertIn("usage:", error)
        status, _, error = run("--dump", "/nonexistent/line")
        self.assertEqual(status, 1)
        self.assertIn("cannot open /nonexistent/line", error)


class StartedThroughSudo(unittest.TestCase):
    """Root with SUDO_UID and SUDO_GID, as sudo starts it: the user who ran sudo may then open
    the line and be heard, which root's own pseudo-terminal does not let them."""

    def setUp(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("starting it as sudo does and opening the line as another user needs "
                          "root and setpriv")
        nobody = pwd.getpwnam("nobody")
        self.user = nobody.pw_uid
        try:
            self.group = grp.getgrnam("nogroup").gr_gid
        except KeyError:
            self.group = nobody.pw_gid
        # In /tmp whatever TMPDIR says: the user reaches the link and the pair file.
        self.directory = tempfile.mkdtemp(dir="/tmp")
        self.addCleanup(shutil.rmtree, self.directory)
        os.chmod(self.directory, 0o755)
        self.link = os.path.join(self.directory, "com4")

    def start(self, **sudo):
        process = subprocess.Popen([EMULATOR, "--dump", "--link", self.link],
                                   env=dict(os.environ, **sudo), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(process.__exit__, None, None, None)
        self.addCleanup(process.kill)
        deadline = time.monotonic() + 5
        while not os.path.islink(self.link):
            if process.poll() is not None:
                self.fail(f"it ended: {process.stderr.read()!r}")
            self.assertLess(time.monotonic(), deadline, "no link to the slave")
            time.sleep(0.02)
        return process

    def write_as_the_user(self, stream):
        """Writes stream on the line as the user; the shell's status (1 when it may not open)."""
        recording = os.path.join(self.directory, "pair")
        with open(recording, "wb") as pair:
            pair.write(stream)
        os.chmod(recording, 0o644)
        return subprocess.run(["setpriv", f"--reuid={self.user}", f"--regid={self.group}",
                               "--clear-groups", "sh", "-c", 'cat "$1" > "$2"', "sh", recording,
                               self.link], capture_output=True, timeout=10).returncode

    def test_the_user_who_ran_sudo_gets_the_slave_and_the_link(self):
        without = self.start()
        slave = os.stat(self.link)
        self.assertEqual(slave.st_uid, 0)
        self.assertNotEqual(self.write_as_the_user(pair_of(b"NOT HEARD")), 0)
        without.send_signal(signal.SIGTERM)
        self.assertEqual(without.wait(5), 0)
        group_of_a_new_slave = slave.st_gid

        process = self.start(SUDO_UID=str(self.user), SUDO_GID=str(self.group),
                             SUDO_USER="nobody")
        slave, link = os.stat(self.link), os.lstat(self.link)
        self.assertEqual(slave.st_uid, self.user)
        self.assertEqual(slave.st_gid, group_of_a_new_slave, "only the owner changes")
        self.assertEqual((link.st_uid, link.st_gid), (self.user, self.group))
        self.assertEqual(self.write_as_the_user(pair_of(b"HEARD", b"1")), 0)
        os.set_blocking(process.stdout.fileno(), False)
        text, deadline = b"", time.monotonic() + 5
        while b"HEARD" not in text and time.monotonic() < deadline:
            select.select([process.stdout], [], [], 0.1)
            text += process.stdout.read() or b""
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(5), 0)
        self.assertEqual(text.decode(), dump_block(1, b"HEARD", b"1"))
        notes = process.stderr.read().decode()
        self.assertIn(f"panel-emulator: given to user {self.user}, who ran sudo\n", notes)
        self.assertFalse(os.path.lexists(self.link), "the link is removed at the end")

    def test_ids_that_sudo_would_not_set_are_refused(self):
        for sudo in ({"SUDO_UID": "1000"}, {"SUDO_UID": "10x", "SUDO_GID": "10"},
                     {"SUDO_UID": "4294967295", "SUDO_GID": "10"}):
            result = subprocess.run([EMULATOR, "--link", self.link], env=dict(os.environ, **sudo),
                                    capture_output=True, timeout=5)
            self.assertEqual(result.returncode, 1, sudo)
            self.assertIn(b"SUDO_UID and SUDO_GID must both be numeric ids", result.stderr)
            self.assertFalse(os.path.lexists(self.link), sudo)


if __name__ == "__main__":
    EMULATOR = sys.argv.pop(1)
    unittest.main()
