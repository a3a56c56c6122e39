"""What the native end-to-end tests look at from outside the relay: the port as another program
finds it (exclusive, locked, open to a program without privileges), the relay's calls on the
port in strace's lines, and whether it sleeps in its pause or waits elsewhere, sampled."""

import errno
import fcntl
import os
import struct
import subprocess
import time

TIOCGEXCL = 0x80045440
NOBODY = 65534
# The system call the relay sleeps in between cycles, by machine.
CLOCK_NANOSLEEP = {"x86_64": 230, "aarch64": 115}.get(os.uname().machine)


def ordinary_open_error(path):
    """None when a program without privileges can open the terminal at path, else what refused
    it (exclusivity left on refuses with EBUSY). Root is not refused by exclusivity, so as root
    the open is made by a shell that has given its privileges up."""
    if os.geteuid() != 0:
        try:
            os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
            return None
        except OSError as error:
            return error.strerror
    os.chmod(path, 0o666)  # the test's own terminal: only exclusivity may stand in the way
    opened = subprocess.run(["sh", "-c", 'exec 3<>"$1"', "sh", path], user=NOBODY, group=NOBODY,
                            extra_groups=[], capture_output=True, timeout=10)
    return None if opened.returncode == 0 else opened.stderr.decode(errors="replace").strip()


def child_of(pid):
    """The process id of pid's only child."""
    with open(f"/proc/{pid}/task/{pid}/children") as children:
        return int(children.read().split()[0])


def port_sessions(trace):
    """The calls made on the port, one list per open of /dev/COM4, from its open to its close,
    read from strace's lines ("call(fd, ...) = result")."""
    sessions, open_on = [], {}
    for line in trace:
        line = line.strip()
        if line.startswith('openat(AT_FDCWD, "/dev/COM4"'):
            result = line.rsplit("=", 1)[1].split()[0]
            if result.isdigit():
                open_on[int(result)] = []
                sessions.append(open_on[int(result)])
            continue
        call, _, rest = line.partition("(")
        first = rest.split(",", 1)[0].split(")", 1)[0]
        if first.isdigit() and int(first) in open_on:
            open_on[int(first)].append(line)
            if call == "close":
                del open_on[int(first)]
    return sessions


def exclusive(fd):
    return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0] != 0


def probe(path):
    """(exclusive, locked) of the terminal at path, as another program finds it."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.EBUSY:  # not root: exclusivity refuses the open itself
            return True, True
        raise
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return exclusive(fd), False
    except BlockingIOError:
        return exclusive(fd), True
    finally:
        os.close(fd)


def sleeping(pid):
    """Whether the relay sleeps in clock_nanosleep (its pauses) at this moment."""
    with open(f"/proc/{pid}/syscall") as syscall:
        return syscall.read().split()[0] == str(CLOCK_NANOSLEEP)


def wait_until_stalled(pid, timeout):
    """The pseudo-terminal swallows about 16 KB before it takes no more (most of it out of
    FIONREAD's sight), so the line is judged full only once the relay has been seen waiting
    outside its pause for a whole second: a write waiting for room."""
    deadline = time.monotonic() + timeout
    waiting_since = None
    while time.monotonic() < deadline:
        now = time.monotonic()
        if sleeping(pid):
            waiting_since = None
        elif waiting_since is None:
            waiting_since = now
        elif now - waiting_since >= 1.0:
            return True
        time.sleep(0.01)
    return False


def sample_sleeps(pid, seconds):
    """(time, sleeping in clock_nanosleep) of the relay every 10 ms."""
    samples, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        samples.append((time.monotonic(), sleeping(pid)))
        time.sleep(0.01)
    return samples


def runs(samples, shortest=0.05):
    """Durations of the complete waits between pauses, and of the complete pauses. A span
    shorter than `shortest` (a blip between two samples) belongs to the span before it; a gap in
    the sampling itself cuts the spans on either side, which are then left out."""
    segments = [[samples[0]]]
    for earlier, later in zip(samples, samples[1:]):
        if later[0] - earlier[0] > shortest:
            segments.append([])
        segments[-1].append(later)
    waits, pauses = [], []
    for segment in segments:
        spans = []  # [sleeping, start]; each lasts until the next starts
        for moment, asleep in segment:
            if not spans or spans[-1][0] != asleep:
                spans.append([asleep, moment])
        merged = []
        for index, (asleep, start) in enumerate(spans):
            ends = spans[index + 1][1] if index + 1 < len(spans) else segment[-1][0]
            if merged and (ends - start < shortest or merged[-1][0] == asleep):
                continue  # absorbed by the span before
            merged.append([asleep, start])
        for (asleep, start), (_, following) in zip(merged[1:-1], merged[2:]):
            (pauses if asleep else waits).append(following - start)
    return waits, pauses
