"""The chain's programs as processes: one whose console is recorded as it arrives (Process), an
orderly stop (stop), leftovers found by an entry of their environment, and a group of children
each in a session of its own (ProcessGroup), which a watchdog (this file run as a program) ends
should the parent die without ending them."""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
import uuid

MARKER = "PANEL_RELAY_CHAIN_RUN"


def fold(data):
    """Console text with Windows line ends folded to '\\n'."""
    return data.decode("latin-1").replace("\r\n", "\n")


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
        while data := os.read(self.popen.stdout.fileno(), 4096):
            with self._lock:
                self.pieces.append((time.monotonic(), data))

    def output(self):
        return fold(b"".join(data for _, data in self.timed_pieces()))

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


def stop(popen, number=signal.SIGINT, timeout=15):
    """Signals the process and waits: its exit status, or None when it had to be killed (with its
    whole session, where it leads one)."""
    try:
        if popen.poll() is None:
            popen.send_signal(number)
            popen.wait(timeout)
    except ProcessLookupError:
        pass
    except subprocess.TimeoutExpired:
        try:
            if os.getsid(popen.pid) == popen.pid:
                os.killpg(popen.pid, signal.SIGKILL)
            else:
                popen.kill()
        except (ProcessLookupError, PermissionError):
            pass
        popen.wait()
        return None
    return popen.wait()


def processes_with(needle):
    """Other processes whose environment holds the entry needle (bytes, "NAME=value")."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if int(entry) != os.getpid() and needle in environ.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def end_leftovers(needle, env):
    """Ends what a chain left behind: the Wine of env's prefix with `wineserver -k`, then every
    process whose environment still holds needle. Returns what was found at first."""
    left = processes_with(needle)
    if left and env.get("WINEPREFIX") and shutil.which("wineserver"):
        subprocess.run(["wineserver", "-k"], env=env, timeout=30, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
    for pid in processes_with(needle):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return left


def _end_with_parent():
    """In a child, before exec: should the parent be killed outright, the child gets SIGTERM."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class ProcessGroup:
    """Children started in sessions of their own, so that a terminal's Ctrl+C reaches only the
    parent. With marked=True each also carries this group's marker in its environment (leftovers
    are found by it) and gets SIGTERM should the parent die; watch() adds a watchdog that ends
    the rest then. `stopping` (a callable) cuts the group's waits short."""

    def __init__(self, env=None, marked=False, stopping=lambda: False):
        self.env = dict(os.environ if env is None else env)
        self.marked, self.stopping = marked, stopping
        self.children = []
        self.needle = self._watchdog = None
        if marked:
            self.env[MARKER] = uuid.uuid4().hex
            self.needle = f"{MARKER}={self.env[MARKER]}".encode()

    def start(self, argv, env=None, **arguments):
        arguments.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(argv, env=self.env if env is None else env,
                                   start_new_session=True,
                                   preexec_fn=_end_with_parent if self.marked else None,
                                   **arguments)
        self.children.append(process)
        return process

    def run(self, argv, timeout, env=None):
        """Runs argv quietly to its end: whether it ended with 0 in time (and unstopped)."""
        process = self.start(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.wait_until(lambda: process.poll() is not None, timeout) and not process.wait()

    def wait_until(self, condition, timeout, watched=()):
        """Whether condition came true in time, before a stop and before a watched one ended."""
        deadline = time.monotonic() + timeout
        while not condition():
            if (self.stopping() or time.monotonic() > deadline
                    or any(process.poll() is not None for process in watched)):
                return False
            time.sleep(0.1)
        return True

    def watch(self, env):
        """Starts the watchdog: should this process die without calling end(), it ends the Wine
        of env's prefix and every process with the marker."""
        self._watchdog = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), self.needle.decode()], env=env,
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, start_new_session=True)

    def end(self):
        """Kills what is left of every child's session, calls the watchdog off, and ends any
        other marked process. Returns the marked processes that were still there."""
        for process in self.children:
            try:  # the session outlives its leader while anything is left in it
                os.killpg(process.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
            process.wait()
        if self._watchdog is not None:
            self._watchdog.communicate(b"done")
        return end_leftovers(self.needle, {}) if self.needle else []


if __name__ == "__main__":  # the watchdog: argv[1] is the marker entry
    if sys.stdin.read() != "done":
        end_leftovers(sys.argv[1].encode(), dict(os.environ))
