"""The panel's end of the line: a pseudo-terminal whose slave the relay opens (as COM4). Every
byte the relay sends is recorded with the time it arrived, the line settings the relay left can
be read and changed, the panel can stall (stop reading), and a listener may see each piece as it
comes (to pass it on to the panel emulator, say)."""

import fcntl
import os
import select
import struct
import termios
import threading
import time

# termios2 (Linux, asm-generic ioctl numbers as on x86-64): the rate as a number of baud, which
# Wine 10 sets for every rate, leaving tcgetattr to report only BOTHER.
_TERMIOS2 = struct.Struct("4IB19s2I")  # flags, c_line, c_cc[19], c_ispeed, c_ospeed
_TCGETS2 = 2 << 30 | _TERMIOS2.size << 16 | ord("T") << 8 | 0x2A
_TCSETS2 = 1 << 30 | _TERMIOS2.size << 16 | ord("T") << 8 | 0x2B
_BOTHER = 0o010000
_BAUD = {getattr(termios, f"B{rate}"): rate for rate in (
    0, 50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600,
    115200, 230400)}


def line_speeds(fd):
    """(input, output) speed in baud of the terminal fd, set by a B-constant or by termios2."""
    attributes = termios.tcgetattr(fd)
    if _BOTHER not in (attributes[4], attributes[5]):
        return _BAUD.get(attributes[4]), _BAUD.get(attributes[5])
    fields = _TERMIOS2.unpack(fcntl.ioctl(fd, _TCGETS2, bytes(_TERMIOS2.size)))
    return fields[-2], fields[-1]


def set_speed_termios2(fd, baud):
    """Sets both speeds to baud through termios2 with BOTHER, as Wine 10 does."""
    *flags, line, characters, _, _ = _TERMIOS2.unpack(
        fcntl.ioctl(fd, _TCGETS2, bytes(_TERMIOS2.size)))
    flags[2] = flags[2] & ~termios.CBAUD & ~(termios.CBAUD << 16) | _BOTHER | _BOTHER << 16
    fcntl.ioctl(fd, _TCSETS2, _TERMIOS2.pack(*flags, line, characters, baud, baud))


class PtyPanel:
    """The master of a pseudo-terminal whose slave the relay opens. The slave is never opened
    here, so the master tells the relay's opens and closes apart: POLLHUP is reported only while
    a slave has been opened and closed again. A thread records every byte and every change of
    that state with its time."""

    def __init__(self):
        self.master = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
        fcntl.ioctl(self.master, 0x40045431, struct.pack("i", 0))  # TIOCSPTLCK: unlock
        number = fcntl.ioctl(self.master, 0x80045430, struct.pack("i", 0))  # TIOCGPTN
        self.slave_path = f"/dev/pts/{struct.unpack('i', number)[0]}"
        self.reading = True  # cleared to play a panel that stalls
        self.listener = None  # called with (bytes, time) for each piece, from the thread
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
            if not self.reading:
                time.sleep(0.01)
                continue
            mask = dict(poller.poll(10)).get(self.master, 0)
            data = b""
            if mask & select.POLLIN:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    pass
            # Bytes mean a slave is open, whatever else poll says.
            now_state = "closed" if mask & select.POLLHUP and not data else "open"
            now = time.monotonic()
            with self._lock:
                if data:
                    self.chunks.append((now, data))
                if now_state != state:
                    state = now_state
                    self.states.append((now, state))
            listener = self.listener  # read once: the test may clear it meanwhile
            if data and listener is not None:
                listener(data, now)
            if state == "closed":
                time.sleep(0.02)  # POLLHUP stays set: look again later, don't spin

    def data(self, since=0.0):
        with self._lock:
            return b"".join(d for t, d in self.chunks if t >= since)

    def timed_stream(self):
        """All bytes read from the line, and for each chunk its first offset and its time."""
        with self._lock:
            chunks = list(self.chunks)
        starts, offset = [], 0
        for when, data in chunks:
            starts.append((offset, when))
            offset += len(data)
        return b"".join(data for _, data in chunks), starts

    def state_changes(self):
        with self._lock:
            return list(self.states)

    def hung_up(self):
        """Whether, right now, a slave has been opened and every opener has closed it again."""
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        return any(mask & select.POLLHUP for _, mask in poller.poll(0))

    def settings(self):
        """The line settings as the relay left them: [iflag, oflag, cflag, lflag, ispeed,
        ospeed, cc]; the speeds as tcgetattr has them (BOTHER where set through termios2)."""
        return termios.tcgetattr(self.master)

    def speeds(self):
        """The line's (input, output) speed in baud, however the relay set it."""
        return line_speeds(self.master)

    def set_settings(self, attributes):
        termios.tcsetattr(self.master, termios.TCSANOW, attributes)

    def wait_for_bytes(self, count, timeout):
        deadline = time.monotonic() + timeout
        while len(self.data()) < count:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True

    def close(self):
        """Closes the panel's end of the line, as a panel that goes away would."""
        if self.master >= 0:
            self._stop.set()
            self._thread.join()
            os.close(self.master)
            self.master = -1
