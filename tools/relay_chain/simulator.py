"""The simulator's side of the chain, behind one small interface: publish an image of the display
lines, change bytes of the area, quit. The tests' area stand-in does all three on request, over
its standard input; the simulator emulator publishes its own pages in turn, so only quit (its
Ctrl+C) is asked of it."""

import signal
import subprocess

from .line import ATTRIBUTE_BLOCK, TEXT_BLOCK
from .processes import stop


class Standin:
    """The area stand-in: publishes the area (size bytes) and writes bytes into it on request."""

    def __init__(self, argv, env=None, size=4096):
        self.popen = subprocess.Popen(argv + [str(size)], env=env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._expect("ready")

    def _expect(self, word):
        line = self.popen.stdout.readline().decode("ascii", "replace").strip()
        if line != word:
            raise RuntimeError(f"area stand-in said {line!r}, expected {word!r}")

    def _command(self, line):
        self.popen.stdin.write(line.encode("ascii") + b"\n")
        self.popen.stdin.flush()
        self._expect("ok")

    def publish(self, text_lines, attribute_lines):
        """The five display lines and their attribute lines (26 bytes each at most)."""
        for line in range(5):
            assert len(text_lines[line]) <= 26 and len(attribute_lines[line]) <= 26
            self.write(TEXT_BLOCK + 26 * line, text_lines[line].ljust(26, b"\0"))
            self.write(ATTRIBUTE_BLOCK + 26 * line, attribute_lines[line].ljust(26, b"\0"))

    def write(self, offset, data):
        self._command(f"write {offset} {bytes(data).hex()}")

    def resize(self, size):
        self._command(f"resize {size} ")

    def quit(self):
        if self.popen.poll() is None:
            try:
                self.popen.communicate(b"quit\n", timeout=15)
            except subprocess.TimeoutExpired:
                self.popen.kill()
        self.popen.wait()
        self.popen.stdin.close()
        self.popen.stdout.close()
        return self.popen.returncode


class SimEmulator:
    """The simulator emulator (its argv, with --pages and --interval as wanted), started by
    `start` (subprocess.Popen, or a ProcessGroup's start) with the given Popen arguments."""

    def __init__(self, argv, start=subprocess.Popen, **arguments):
        self.popen = start(argv, **arguments)

    def quit(self, timeout=15):
        """Its Ctrl+C: the exit status, or None when it did not end and was killed."""
        return stop(self.popen, signal.SIGINT, timeout)
