"""The native panel-relay on Linux. Every test gets a mount namespace of its own (see
relay_chain.namespace): there /dev/COM4 leads to a pseudo-terminal the test holds, and the
stand-in publishes the area in a private /dev/shm. The cases shared with the Windows program run
here as they are; the ones below them exist only on POSIX."""

import errno
import fcntl
import os
import re
import shutil
import signal
import sys
import tempfile
import termios
import time
import unittest

from native_probes import (CLOCK_NANOSLEEP, child_of, exclusive, ordinary_open_error,
                           port_sessions, probe, runs, sample_sleeps, wait_until_stalled)
from relay_cases import (ATTRIBUTES, BANNER, CONNECTED, NO_PORT, ORDINARY_RUN,
                         PAIR, RESTART, TEXT, WAITING, RelayCases, RelayFaultCases, RigHooks,
                         check_frames, model_pair)
from relay_chain import namespace
from relay_chain.figures import cpu_seconds
from relay_chain.panel import PtyPanel
from relay_chain.rig import Rig

RELAY = os.environ.get("PANEL_RELAY_BIN", "")
STANDIN = os.environ.get("AREA_STANDIN_BIN", "")

HOST_COM4 = "/dev/COM4"
HOST_AREA = "/dev/shm/FalconSharedMemoryArea"
WRITE_TIME_OUT = 1.37  # 10 ms per byte of a 127-byte frame + 100 ms
CYCLE_PAUSE = 0.1

# An ignored signal stays ignored in every program started from here; the relay must start with
# the default actions, as from a shell prompt.
for _number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
    if signal.getsignal(_number) == signal.SIG_IGN:
        signal.signal(_number, signal.SIG_DFL)

# A call that sets a terminal's settings in strace's lines, and the speed it carries.
SETS_LINE = re.compile(r"^ioctl\(\d+, [^,]*\bTCSETS[WF2]?\b")
SPEED = re.compile(r"\bB(\d+)\b")


def speeds_set(calls):
    """The speed (as strace names it, "B1200") of each call among calls that sets the line."""
    speeds = []
    for call in calls:
        if SETS_LINE.search(call):
            speed = SPEED.search(call)
            speeds.append(speed.group(0) if speed else call)
    return speeds


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
        self.assertIsNone(ordinary_open_error((panel or self.panel).slave_path),
                          "the relay left the port exclusive: a program without privileges "
                          "cannot open it")

    def relay_on(self, rig):
        """The relay on another rig's panel, with the area holding TEXT and ATTRIBUTES."""
        rig.start_standin(4096).publish(TEXT, ATTRIBUTES)
        rig.point_com4(rig.panel.slave_path)
        return rig.start_relay()

    # --- Exclusive use of the port ------------------------------------------------------------

    def test_port_locked_by_another_program(self):
        other = os.open(self.panel.slave_path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, other)
        fcntl.flock(other, fcntl.LOCK_EX)
        self.point_com4(self.panel.slave_path)
        self.assert_failed_run(self.start_relay(), BANNER + NO_PORT)

    def test_port_made_exclusive_by_another_program(self):
        # Root may open a terminal made exclusive all the same; the relay must not.
        other = os.open(self.panel.slave_path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, other)
        fcntl.ioctl(other, 0x540C)  # TIOCEXCL
        self.point_com4(self.panel.slave_path)
        self.assert_failed_run(self.start_relay(), BANNER + NO_PORT)
        self.assertTrue(exclusive(other), "the relay took the other program's exclusivity away")
        fcntl.ioctl(other, 0x540D)  # TIOCNXCL

    def test_port_held_exclusively_while_relaying_and_released(self):
        """Held while open; released before each close, even though the pseudo-terminal's other
        side stays open and would keep it exclusive (and refuse the reopen to anyone but root)."""
        _, relay = self.start_relaying(connected=False)
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
                self.assert_port_released(rigs[number].panel)

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
        self.assert_failed_run(self.start_relay(), ORDINARY_RUN
                               + f"Error accessing Falcon BMS ({errno.ENOMEM}).\n", 30)
        self.assert_port_released()

    # --- What a pseudo-terminal cannot show, seen in the relay's system calls -----------------

    def test_port_calls_seen_from_outside(self):
        """A pseudo-terminal has no modem lines and its output queue is always empty, so the
        clearing of DTR and RTS and the wait for the queue are watched in the system calls:
        after each open of the port both lines are cleared before anything is written; every
        frame written is followed by a look at the output queue; exclusivity and the lock are
        given up before each close."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        standin = self.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        self.point_com4(self.panel.slave_path)
        trace, tracer = self.start_traced_relay("trace=openat,ioctl,write,close,flock")
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
        # The node kept the settings applied before the restart: they are not applied again.
        self.assertEqual(speeds_set(sessions[0]), ["B1200"])
        self.assertEqual(speeds_set(sessions[1]), [], "the reopened line was set again")
        standin.quit()

    def start_traced_relay(self, calls):
        """The relay under strace, watching calls; the trace's path and the tracer."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        trace = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "trace")
        environment = dict(os.environ)
        if "ASAN_OPTIONS" in environment:  # LeakSanitizer refuses to run under a tracer
            environment["ASAN_OPTIONS"] += ":detect_leaks=0"
        tracer = self.rig.start(["strace", "-qq", "-o", trace, "-e", calls, RELAY],
                                env=environment)
        return trace, tracer

    def test_panel_back_as_a_new_node_in_the_default_mode(self):
        """A panel on its own USB port comes back from its restart as a new device node, in the
        kernel's default mode: output processing (each 0x0A would leave as 0x0D 0x0A) and echo
        (what the panel sends would be sent back to it). The relay makes the reopened line raw:
        the frames arrive as built and nothing comes back. It keeps the node's speed: in its
        calls, nothing after the reopen sets another speed, nor 1200 baud a second time."""
        standin = self.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        self.point_com4(self.panel.slave_path)
        trace, tracer = self.start_traced_relay("trace=openat,ioctl,close,flock")
        self.assertIsNotNone(tracer.wait_for_output(RESTART, 15))
        returned = PtyPanel()
        self.addCleanup(returned.close)
        iflag, oflag, _, lflag, _, _, _ = returned.settings()
        self.assertTrue(oflag & termios.OPOST and oflag & termios.ONLCR and lflag & termios.ECHO
                        and lflag & termios.ICANON and iflag & termios.ICRNL,
                        "a new pseudo-terminal is not in the kernel's default mode")
        node_speeds = returned.speeds()
        self.point_com4(returned.slave_path)
        self.panel.close()
        self.assertIsNotNone(tracer.wait_for_output(CONNECTED, 30))
        self.assertTrue(returned.wait_for_bytes(PAIR, 10), "no frames on the new node")
        os.write(returned.master, b"\x0aready\x0d\x0a")  # what the panel says: not echoed
        sent = returned.data()
        self.assertTrue(returned.wait_for_bytes(len(sent) + 3 * PAIR, 10))
        os.kill(child_of(tracer.popen.pid), signal.SIGINT)
        self.assertEqual(tracer.wait(10), 0)
        self.assertEqual(tracer.output(), ORDINARY_RUN)
        with open(trace) as lines:
            traced = lines.read().splitlines()
        sessions = port_sessions(traced)
        self.assertEqual(len(sessions), 2, "the port was not opened twice")
        reopen = [i for i, call in enumerate(traced)
                  if call.startswith('openat(AT_FDCWD, "/dev/COM4"')][-1]
        first_frame = next(i for i in range(reopen, len(traced)) if "TIOCOUTQ" in traced[i])
        sys.stderr.write("the reopen, up to its first frame:\n  "
                         + "\n  ".join(traced[reopen:first_frame]) + "\n")

        stream = returned.data()
        self.assertEqual(stream[26:28], b"\x0a\x0d", "a text byte 0x0A did not arrive as it was")
        check_frames(self, stream, [(TEXT, ATTRIBUTES)])
        iflag, oflag, _, lflag, _, _, _ = returned.settings()
        self.assertEqual((iflag, oflag, lflag), (0, 0, 0), "the reopened line is not raw")
        self.assertEqual(returned.speeds(), node_speeds, "the node's speed was changed")

        self.assertEqual(speeds_set(sessions[0]), ["B1200"])
        node_speed = f"B{node_speeds[1]}"
        self.assertNotEqual(node_speed, "B1200")
        self.assertEqual(speeds_set(sessions[1]), [node_speed],
                         "the reopened line was not set raw once, at the node's own speed")
        standin.quit()

    # --- A panel that stops reading, measured --------------------------------------------------

    @unittest.skipIf(CLOCK_NANOSLEEP is None, "no system call table for this machine")
    def test_stalled_panel_write_time_outs(self):
        """With the line full, each cycle is two writes that give up on their time-out and the
        pause: seen from outside, the relay waits 2 x 1.37 s between pauses, without spinning,
        and an interrupt still ends it within one such cycle, with status 0."""
        _, relay = self.start_relaying()
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


if __name__ == "__main__":
    unittest.main()
