"""The native panel-relay on Linux. Every test gets a mount namespace of its own (see
relay_chain.namespace): there /dev/COM4 leads to a pseudo-terminal the test holds, and the
stand-in publishes the area in a private /dev/shm. The cases shared with the Windows program run
here as they are; the ones below them exist only on POSIX."""

import errno
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from relay_cases import (ATTRIBUTES, BANNER, CONNECTED, COUNTDOWN, NO_PORT, ORDINARY_RUN,
                         PAIR, RESTART, TEXT, WAITING, RelayCases, RelayFaultCases, RigHooks,
                         check_frames, model_pair)
from relay_chain import namespace
from relay_chain.figures import cpu_seconds
from relay_chain.rig import Rig

RELAY = os.environ.get("PANEL_RELAY_BIN", "")
STANDIN = os.environ.get("AREA_STANDIN_BIN", "")

HOST_COM4 = "/dev/COM4"
HOST_AREA = "/dev/shm/FalconSharedMemoryArea"
TIOCGEXCL = 0x80045440
NOBODY = 65534
WRITE_TIME_OUT = 1.37  # 10 ms per byte of a 127-byte frame + 100 ms
CYCLE_PAUSE = 0.1
# The system call the relay sleeps in between cycles, by machine.
CLOCK_NANOSLEEP = {"x86_64": 230, "aarch64": 115}.get(os.uname().machine)

# An ignored signal stays ignored in every program started from here; the relay must start with
# the default actions, as from a shell prompt.
for _number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
    if signal.getsignal(_number) == signal.SIG_IGN:
        signal.signal(_number, signal.SIG_DFL)


class NativeRelay(RigHooks, RelayCases, RelayFaultCases, unittest.TestCase):
    def setUp(self):
        namespace.require(self)
        self.host_had = {path: os.path.lexists(path) for path in (HOST_COM4, HOST_AREA)}
        self.rig = self.new_rig()
        self.panel = self.rig.panel

    def new_rig(self):
        rig = Rig(namespace.MountNamespace(), RELAY, STANDIN)
        self.addCleanup(rig.close)
        return rig

    def assert_host_untouched(self):
        for path, had in self.host_had.items():
            self.assertEqual(os.path.lexists(path), had, f"{path} leaked out of the namespace")

    # The hooks of the shared cases, watching that nothing leaks out of the namespace.
    def start_standin(self, size):
        standin = self.rig.start_standin(size)
        self.assert_host_untouched()
        return standin

    def point_com4(self, device):
        self.rig.point_com4(device)
        self.assert_host_untouched()

    def check_port_reopenable(self, panel=None):
        path = (panel or self.panel).slave_path
        self.assertIsNone(ordinary_open_error(path),
                          "the relay left the port exclusive: a program without privileges "
                          "cannot open it")

    def relay_on(self, rig):
        """The relay on rig's panel, with the stand-in's area holding TEXT and ATTRIBUTES."""
        standin = rig.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        rig.point_com4(rig.panel.slave_path)
        return rig.start_relay()

    # --- Exclusive use of the port ------------------------------------------------------------

    def test_port_locked_by_another_program(self):
        other = os.open(self.panel.slave_path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, other)
        fcntl.flock(other, fcntl.LOCK_EX)
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertEqual(relay.wait(15), 1)
        self.assertEqual(relay.output(), BANNER + NO_PORT)
        self.assertEqual(self.panel.data(), b"")

    def test_port_made_exclusive_by_another_program(self):
        # Root may open a terminal made exclusive all the same; the relay must not.
        other = os.open(self.panel.slave_path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, other)
        fcntl.ioctl(other, 0x540C)  # TIOCEXCL
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertEqual(relay.wait(15), 1)
        self.assertEqual(relay.output(), BANNER + NO_PORT)
        self.assertEqual(self.panel.data(), b"")
        self.assertTrue(exclusive(other), "the relay took the other program's exclusivity away")
        fcntl.ioctl(other, 0x540D)  # TIOCNXCL

    def test_port_held_exclusively_while_relaying_and_released(self):
        """Held while open; released before each close, even though the pseudo-terminal's other
        side stays open and would keep it exclusive (and refuse the reopen to anyone but root)."""
        standin = self.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(RESTART, 15))
        self.assertEqual(probe(self.panel.slave_path), (False, False), "during the countdown")
        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
        self.assertEqual(probe(self.panel.slave_path), (True, True), "while relaying")
        self.assertEqual(self.finish(relay), 0)
        self.assertEqual(probe(self.panel.slave_path), (False, False), "after the run")
        self.assertEqual(relay.output(), ORDINARY_RUN)

    # --- Signals -----------------------------------------------------------------------------

    def test_other_stop_signals_end_the_run_like_ctrl_c(self):
        """SIGTERM (sent twice), SIGHUP and SIGQUIT while relaying, side by side; and SIGTERM
        during the countdown, before the handler is there, ends the process at once."""
        rigs = {signal.SIGTERM: self.rig, signal.SIGHUP: self.new_rig(),
                signal.SIGQUIT: self.new_rig()}
        early = self.new_rig()
        early.point_com4(early.panel.slave_path)
        relays = {number: self.relay_on(rig) for number, rig in rigs.items()}
        early_relay = early.start_relay()

        self.assertIsNotNone(early_relay.wait_for_output(RESTART + "12.", 15))
        early_relay.popen.send_signal(signal.SIGTERM)
        self.assertEqual(early_relay.wait(3), -signal.SIGTERM)
        output = early_relay.output()
        self.assertTrue(output.startswith(BANNER + RESTART + "12."), output)
        self.assertNotIn("\n", output[len(BANNER + RESTART):], "the countdown went on")

        for number, relay in relays.items():
            self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
            self.assertTrue(rigs[number].panel.wait_for_bytes(PAIR, 10))
            relay.popen.send_signal(number)
        relays[signal.SIGTERM].popen.send_signal(signal.SIGTERM)
        for number, relay in relays.items():
            with self.subTest(signal=signal.Signals(number).name):
                self.assertEqual(relay.wait(10), 0)
                self.assertEqual(relay.output(), ORDINARY_RUN)
                check_frames(self, rigs[number].panel.data(), [(TEXT, ATTRIBUTES)])
                self.assertEqual(rigs[number].panel.state_changes()[-1][1], "closed")
                self.check_port_reopenable(rigs[number].panel)

    # --- The simulator's area ----------------------------------------------------------------

    def test_area_created_empty_and_sized_later(self):
        standin = self.start_standin(0)
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(WAITING, 30))
        time.sleep(0.5)
        standin.resize(495)  # one byte short of the display blocks
        time.sleep(0.5)
        self.assertNotIn(CONNECTED, relay.output())
        sizing = time.monotonic()
        standin.resize(496)  # ends exactly at the last byte the relay reads
        standin.publish(TEXT, ATTRIBUTES)
        connected = relay.wait_for_output(CONNECTED, 10)
        self.assertIsNotNone(connected)
        said = [t for t, piece in relay.timed_pieces() if b"Connected" in piece]
        self.assertGreaterEqual(said[0], sizing)
        self.assertTrue(self.panel.wait_for_bytes(3 * PAIR, 10))
        self.assertEqual(self.finish(relay), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        # Pairs sent before the lines were all written may be blank in part; the last is whole.
        stream = self.panel.data()
        check_frames(self, stream, [([b""] * 5, [b""] * 5), (TEXT, ATTRIBUTES)])
        self.assertEqual(stream[-PAIR:], model_pair(TEXT, ATTRIBUTES))

    def test_area_that_cannot_be_mapped(self):
        # Far larger than the relay's address space: it opens, but mmap refuses it (ENOMEM).
        self.rig.place.sparse_file(HOST_AREA, 1 << 50)
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertEqual(relay.wait(30), 1)
        self.assertEqual(relay.output(), BANNER + RESTART + COUNTDOWN + WAITING + CONNECTED
                         + f"Error accessing Falcon BMS ({errno.ENOMEM}).\n")
        self.assertEqual(self.panel.data(), b"")
        self.assertEqual(self.panel.state_changes()[-1][1], "closed", "the port is still open")
        self.check_port_reopenable()

    # --- What a pseudo-terminal cannot show, seen in the relay's system calls -----------------

    def test_port_calls_seen_from_outside(self):
        """A pseudo-terminal has no modem lines and its output queue is always empty, so the
        clearing of DTR and RTS and the wait for the queue are watched in the system calls:
        after each open of the port both lines are cleared before anything is written; every
        frame written is followed by a look at the output queue; exclusivity and the lock are
        given up before each close."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        trace = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "trace")
        standin = self.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        self.point_com4(self.panel.slave_path)
        environment = dict(os.environ)
        if "ASAN_OPTIONS" in environment:  # LeakSanitizer refuses to run under a tracer
            environment["ASAN_OPTIONS"] += ":detect_leaks=0"
        tracer = self.rig.start(
            ["strace", "-qq", "-o", trace, "-e", "trace=openat,ioctl,write,close,flock", RELAY],
            env=environment)
        self.assertIsNotNone(tracer.wait_for_output(CONNECTED, 30))
        self.assertTrue(self.panel.wait_for_bytes(3 * PAIR, 10))
        # strace holds back the stop signals of a program it started: the relay gets them.
        os.kill(child_of(tracer.popen.pid), signal.SIGINT)
        self.assertEqual(tracer.wait(10), 0)
        self.assertEqual(tracer.output(), ORDINARY_RUN)

        with open(trace) as lines:
            sessions = port_sessions(lines)
        self.assertEqual(len(sessions), 2, "the port was not opened twice")
        for number, calls in enumerate(sessions, 1):
            with self.subTest(open=number):
                writes = [i for i, call in enumerate(calls) if call.startswith("write(")]
                cleared = [i for i, call in enumerate(calls)
                           if call.startswith("ioctl(") and "TIOCMBIC" in call
                           and "TIOCM_DTR" in call and "TIOCM_RTS" in call]
                self.assertTrue(cleared, "DTR and RTS were not cleared")
                self.assertLess(cleared[0], min(writes, default=len(calls)),
                                "a frame went out before DTR and RTS were cleared")
                for at in writes:
                    self.assertIn("TIOCOUTQ", calls[at + 1],
                                  f"no wait for the output queue after {calls[at]}")
                self.assertTrue(calls[-1].startswith("close("), calls[-1])
                released = calls[max(writes, default=0):-1]
                self.assertTrue(any("TIOCNXCL" in call for call in released),
                                "exclusivity was not released before the close")
                self.assertTrue(any("LOCK_UN" in call for call in released),
                                "the lock was not released before the close")
        self.assertGreaterEqual(sum(call.startswith("write(") for call in sessions[1]), 6)
        standin.quit()

    # --- A panel that stops reading, measured --------------------------------------------------

    @unittest.skipIf(CLOCK_NANOSLEEP is None, "no system call table for this machine")
    def test_stalled_panel_write_time_outs(self):
        """With the line full, each cycle is two writes that give up on their time-out and the
        pause: seen from outside, the relay waits 2 x 1.37 s between pauses, without spinning,
        and an interrupt still ends it within one such cycle, with status 0."""
        relay = self.relay_on(self.rig)
        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
        self.assertTrue(self.panel.wait_for_bytes(PAIR, 10))
        self.panel.reading = False
        pid = relay.popen.pid
        self.assertTrue(wait_until_stalled(pid, 60), "the line never filled up")

        cpu_before = cpu_seconds(pid)
        samples = sample_sleeps(pid, 3 * (2 * WRITE_TIME_OUT + CYCLE_PAUSE) + 1)
        cpu_used = cpu_seconds(pid) - cpu_before
        waits, pauses = runs(samples)

        interrupted = time.monotonic()
        relay.interrupt()
        status = relay.wait(15)
        took = time.monotonic() - interrupted
        sys.stderr.write(
            f"stalled panel: waits between pauses {[round(w, 3) for w in waits]} s, pauses "
            f"{[round(p, 3) for p in pauses]} s, {cpu_used:.2f} s of processor time over "
            f"{samples[-1][0] - samples[0][0]:.1f} s, interrupt to exit {took:.2f} s\n")

        self.assertGreaterEqual(len(waits), 2, "no steady cycle was seen")
        for wait in waits:
            self.assertGreater(wait, 2 * WRITE_TIME_OUT - 0.1, "a write gave up early")
            self.assertLess(wait, 2 * WRITE_TIME_OUT + 0.25, "a write outlived its time-out")
        for pause in pauses:
            self.assertLess(pause, CYCLE_PAUSE + 0.1)
        self.assertLess(cpu_used, 0.3, "the relay spins while the panel is stalled")
        self.assertEqual(status, 0)
        self.assertLess(took, 2 * WRITE_TIME_OUT + CYCLE_PAUSE + 0.5)
        self.assertEqual(relay.output(), ORDINARY_RUN)


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
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                        return int(entry)
            except OSError:
                continue
    raise AssertionError(f"process {pid} has no child")


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
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            locked = False
        except BlockingIOError:
            locked = True
        return exclusive(fd), locked
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
    samples = []
    end = time.monotonic() + seconds
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


if __name__ == "__main__":
    unittest.main()
