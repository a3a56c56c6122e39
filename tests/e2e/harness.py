"""Pieces for running the real relay from outside: a pseudo-terminal playing the panel, the
area stand-in playing the simulator, a process with timestamped output, and Wine prefixes."""

import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time

_TIOCSPTLCK = 0x40045431
_TIOCGPTN = 0x80045430


def fold(data):
    """Console text with Windows line ends folded to '\\n'."""
    return data.decode("latin-1").replace("\r\n", "\n")


def open_pty_master():
    """A new pseudo-terminal's master and its slave's path; the slave is left unopened, so the
    master's POLLHUP tells when someone else has opened and closed it."""
    master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
    fcntl.ioctl(master, _TIOCSPTLCK, struct.pack("i", 0))
    number = struct.unpack("i", fcntl.ioctl(master, _TIOCGPTN, struct.pack("i", 0)))[0]
    return master, f"/dev/pts/{number}"


class PtyPanel:
    """The panel's end of the line: the master of a pseudo-terminal whose slave the relay opens.

    The slave is never opened here, so the master tells the relay's opens and closes apart:
    POLLHUP is reported only while a slave has been opened and closed again. A thread records
    every byte and every change of that state with its time."""

    def __init__(self):
        self.master, self.slave_path = open_pty_master()
        self.reading = True  # cleared to play a panel that stalls
        self.chunks = []  # (time, bytes)
        # (time, "closed" | "open"); "open" is also the state before any open, known from the
        # start, so an open and close quicker than the watcher's first look still shows.
        self.states = [(time.monotonic(), "open")]
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        state = "open"
        while not self._stop.is_set():
            events = poller.poll(10) if self.reading else []
            if not self.reading:
                time.sleep(0.01)
            mask = events[0][1] if events else 0
            data = b""
            if mask & select.POLLIN:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
            # Bytes mean a slave is open, whatever else poll says.
            now_state = "closed" if mask & select.POLLHUP and not data else "open"
            with self._lock:
                if data:
                    self.chunks.append((time.monotonic(), data))
                if now_state != state:
                    state = now_state
                    self.states.append((time.monotonic(), state))
            if state == "closed":
                time.sleep(0.02)  # POLLHUP stays set: look again later, don't spin

    def data(self, since=0.0):
        with self._lock:
            return b"".join(d for t, d in self.chunks if t >= since)

    def state_changes(self):
        with self._lock:
            return list(self.states)

    def hung_up(self):
        """Whether, right now, a slave has been opened and every opener has closed it again."""
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        return any(mask & select.POLLHUP for _, mask in poller.poll(0))

    def settings(self):
        """The line settings as the relay left them: [iflag, oflag, cflag, lflag, ispeed, ospeed, cc]."""
        return termios.tcgetattr(self.master)

    def set_settings(self, attributes):
        termios.tcsetattr(self.master, termios.TCSANOW, attributes)

    def queued(self):
        """Bytes written by the relay that the panel has not read yet."""
        return struct.unpack("i", fcntl.ioctl(self.master, termios.FIONREAD, b"\0" * 4))[0]

    def wait_for_bytes(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.data()) >= count:
                return True
            time.sleep(0.02)
        return False

    def close(self):
        """Closes the panel's end of the line, as a panel that goes away would."""
        if self.master < 0:
            return
        self._stop.set()
        self._thread.join()
        os.close(self.master)
        self.master = -1


class Process:
    """A program whose standard output is recorded piece by piece, as it arrives."""

    def __init__(self, argv, env=None, stdin=subprocess.DEVNULL):
        self.popen = subprocess.Popen(argv, env=env, stdin=stdin, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
        self.pieces = []  # (time, bytes)
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        fd = self.popen.stdout.fileno()
        while True:
            data = os.read(fd, 4096)
            if not data:
                return
            with self._lock:
                self.pieces.append((time.monotonic(), data))

    def output(self):
        with self._lock:
            return fold(b"".join(d for _, d in self.pieces))

    def timed_pieces(self):
        with self._lock:
            return list(self.pieces)

    def wait_for_output(self, text, timeout):
        """Time at which the output first contained text, or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.output():
                return time.monotonic()
            if self.popen.poll() is not None:
                self._reader.join(1)
                return time.monotonic() if text in self.output() else None
            time.sleep(0.01)
        return None

    def interrupt(self):
        self.popen.send_signal(signal.SIGINT)

    def wait(self, timeout):
        """Exit status, or None if still running after timeout."""
        try:
            status = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self._reader.join(5)
        return status

    def kill(self):
        if self.popen.poll() is None:
            self.popen.kill()
            self.popen.wait()
        self._reader.join(5)
        self.popen.stdout.close()


class Standin:
    """The area stand-in: publishes the area and writes bytes into it on request."""

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

    def write(self, offset, data):
        self._command(f"write {offset} {bytes(data).hex()}")

    def resize(self, size):
        self._command(f"resize {size} ")

    def quit(self):
        if self.popen.poll() is None:
            try:
                self.popen.stdin.write(b"quit\n")
                self.popen.stdin.flush()
            except BrokenPipeError:
                pass
        try:
            self.popen.wait(15)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            self.popen.wait()
        for pipe in (self.popen.stdin, self.popen.stdout):
            try:
                pipe.close()
            except BrokenPipeError:
                pass


# --- Wine ------------------------------------------------------------------------------------

def wine_environment(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def prepare_wine_template(path):
    """Makes the prefix every test copies, once."""
    if os.path.isfile(os.path.join(path, "system.reg")):
        return
    shutil.rmtree(path, ignore_errors=True)
    env = wine_environment(path)
    subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["wineserver", "-w"], env=env, check=True)


class WinePrefix:
    """A private copy of the prepared prefix, with its own wineserver."""

    def __init__(self, template):
        self.directory = tempfile.mkdtemp(prefix="panel-relay-wine-")
        self.path = os.path.join(self.directory, "prefix")
        subprocess.run(["cp", "-a", template, self.path], check=True)
        self.env = wine_environment(self.path)
        self.set_com4(None)
        # The server and Wine's background services start here, with no pipe of the test's, so
        # they don't hold the test's pipes open after the program under test has ended.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def set_com4(self, device):
        """Points COM4 at device, or leaves the prefix without a COM4 when device is None."""
        link = os.path.join(self.path, "dosdevices", "com4")
        if os.path.lexists(link):
            os.unlink(link)
        if device is not None:
            os.symlink(device, link)

    def command(self, exe, *arguments):
        return ["wine", exe, *arguments]

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.directory, ignore_errors=True)
