"""The end-to-end cases of the relay, written once for every platform it runs on.

A platform's test class mixes RigHooks, RelayCases and RelayFaultCases into unittest.TestCase,
makes self.rig (a relay_chain Rig on its place) and self.panel (the rig's panel) in setUp, and
provides check_port_reopenable(): after the relay ended while holding the port, any other program
can open the panel's line again."""

import os
import sys
import termios
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain.line import PAIR, TEXT_BLOCK, check_frames, model_pair  # noqa: E402, F401

BANNER = "Use Ctrl+C to stop the program...\n"
RESTART = "Waiting for panel to restart...\n"
COUNTDOWN = "".join(f"{n}... " for n in range(12, 0, -1)) + "\n"
WAITING = "Waiting for Falcon...\n"
CONNECTED = "Connected...\n"
NO_PORT = "COM-Port not available...\n"
ORDINARY_RUN = BANNER + RESTART + COUNTDOWN + WAITING + CONNECTED

# An image that exercises the translation: special codes, raw control and high bytes that must
# pass unchanged, bytes that look like delimiters, byte 25 of the lines (never sent), and marks.
TEXT = [
    b"A\x00\x02^z COM1 122.10" + b"\x00" * 8 + b"#",
    b"\x0a\x0d\x11\x13\x7f\xff\x12\xa7<>\x1b[2J" + b"\x00" * 11 + b"#",
    b"\x01UHF\x01 ^^ 305.00",
    b"",
    b"\x00" * 24 + b"Q#",
]
ATTRIBUTES = [
    b"\x02\x01\xff\x02\x00",
    b"",
    b"\x02\x02\x02\x02",
    b"\x01" * 26,
    b"\x00" * 24 + b"\x02\x02",
]


class RigHooks:
    """The cases' hooks, taken from self.rig."""

    def start_standin(self, size):
        return self.rig.start_standin(size)

    def start_relay(self, *arguments):
        return self.rig.start_relay(*arguments)

    def point_com4(self, device):
        self.rig.point_com4(device)


class RelayCases:
    """Mixed into a unittest.TestCase by each platform's test module."""

    def finish(self, relay, timeout=10):
        """Ends the relay with an interrupt and returns its exit status."""
        relay.interrupt()
        status = relay.wait(timeout)
        self.assertIsNotNone(status, "the relay did not end after the interrupt")
        return status

    def start_relaying(self, *arguments, connected=True):
        """The stand-in publishing TEXT and ATTRIBUTES, COM4 on the panel, and the relay started
        with arguments; with connected, once it relays."""
        standin = self.start_standin(4096)
        standin.publish(TEXT, ATTRIBUTES)
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay(*arguments)
        if connected:
            self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
            self.assertTrue(self.panel.wait_for_bytes(PAIR, 10))
        return standin, relay

    def assert_failed_run(self, relay, output, timeout=15):
        """The relay ends with status 1 and output, having sent nothing."""
        self.assertEqual(relay.wait(timeout), 1)
        self.assertEqual(relay.output(), output)
        self.assertEqual(self.panel.data(), b"")

    def assert_port_released(self, panel=None):
        panel = panel or self.panel
        # The panel's watcher sees the close at its next look (every 10 ms, later on a busy
        # machine): it is waited for, not raced.
        deadline = time.monotonic() + 5
        while panel.state_changes()[-1][1] != "closed" and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(panel.state_changes()[-1][1], "closed", "the port is still open")
        self.check_port_reopenable(panel)

    def test_no_port(self):
        self.point_com4(None)
        self.assert_failed_run(self.start_relay(), BANNER + NO_PORT)

    def test_port_gone_after_countdown(self):
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(RESTART, 15))
        self.point_com4(None)
        self.assert_failed_run(relay, BANNER + RESTART + COUNTDOWN + NO_PORT, 30)

    def test_ordinary_run(self):
        """Line settings, countdown, frames, a change of the image, and a stop while relaying."""
        standin, relay = self.start_relaying(connected=False)

        # The port is configured and closed before the restart message.
        self.assertIsNotNone(relay.wait_for_output(RESTART, 15))
        self.assertTrue(self.panel.hung_up(), "the port was not closed before the countdown")
        self.check_line_settings(self.panel.settings(), self.panel.speeds())
        # A mark the relay would overwrite if it configured the reopened port again.
        marked = self.panel.settings()
        marked[4] = marked[5] = termios.B9600
        self.panel.set_settings(marked)

        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 30))
        self.check_countdown(relay)
        self.assertFalse(self.panel.hung_up(), "the port was not reopened")
        first_pair = model_pair(TEXT, ATTRIBUTES)
        self.assertTrue(self.panel.wait_for_bytes(2 * PAIR, 10))
        stream = self.panel.data()
        self.assertEqual(stream[:PAIR], first_pair)
        # Literal bytes for the cells whose rules matter most.
        self.assertEqual(stream[1:6], b"A *\xa7z")
        self.assertEqual(stream[26:26 + 12], b"\x0a\x0d\x11\x13\x7f\xff\x12\xa7<>\x1b[")
        self.assertEqual(stream[125], ord("Q"))
        self.assertEqual(stream[127:127 + 6], b">10010")

        # One byte changes: a later pair carries it, and every pair is one state or the other.
        changed_text = list(TEXT)
        changed_text[2] = b"\x01VHF" + TEXT[2][4:]
        standin.write(TEXT_BLOCK + 26 * 2 + 1, b"V")
        second_pair = model_pair(changed_text, ATTRIBUTES)
        deadline = time.monotonic() + 5
        while second_pair not in self.panel.data() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.panel.speeds(), (9600, 9600),
                         "the reopened port was configured again")

        status = self.finish(relay)
        self.assertEqual(status, 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        stream = self.panel.data()
        self.assertEqual(len(stream) % PAIR, 0, "the last pair is not complete")
        pairs = [stream[i:i + PAIR] for i in range(0, len(stream), PAIR)]
        self.assertGreaterEqual(len(pairs), 3)
        self.assertTrue(all(pair in (first_pair, second_pair) for pair in pairs))
        switched = pairs.index(second_pair)
        self.assertTrue(all(pair == second_pair for pair in pairs[switched:]))
        self.assert_port_released()
        standin.quit()

    def check_line_settings(self, settings, speeds):
        iflag, oflag, cflag, lflag, _, _, _ = settings
        self.assertEqual(speeds, (1200, 1200))
        self.assertEqual(cflag & termios.CSIZE, termios.CS8)
        self.assertFalse(cflag & (termios.PARENB | termios.CSTOPB | termios.CRTSCTS))
        self.assertTrue(cflag & termios.CREAD)
        self.assertFalse(iflag & (termios.IXON | termios.IXOFF | termios.INPCK | termios.ICRNL
                                  | termios.INLCR | termios.ISTRIP))
        self.assertFalse(oflag & termios.OPOST)
        self.assertFalse(lflag & (termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN))

    def check_countdown(self, relay):
        """The pieces come one by one, in order, over at least 11 s from "12" to the line end."""
        pieces = relay.timed_pieces()
        text = b""
        start = end = None
        count = 0
        for moment, data in pieces:
            text += data
            folded = text.replace(b"\r\n", b"\n")
            if start is None and b"restart...\n12" in folded:
                start = moment
            if start is not None and end is None:
                count += 1
                if b" 1... \n" in folded:
                    end = moment
        self.assertIsNotNone(start)
        self.assertIsNotNone(end)
        self.assertGreaterEqual(end - start, 11.0)
        # 60 pieces with a pause before all but the twelve numbers after the first: if they
        # came in one lump they were not shown as they were printed.
        self.assertGreaterEqual(count, 45)

    def test_arguments_are_ignored(self):
        standin, relay = self.start_relaying("COM1", "--port", "/dev/null", "/?", "-h")
        self.assertEqual(self.panel.data()[:PAIR], model_pair(TEXT, ATTRIBUTES))
        self.assertEqual(self.finish(relay), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        self.check_port_reopenable()
        standin.quit()

    def test_interrupt_while_waiting_for_simulator(self):
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(WAITING, 30))
        time.sleep(0.5)
        self.assertEqual(self.finish(relay), 1)
        self.assertEqual(relay.output(), BANNER + RESTART + COUNTDOWN + WAITING)
        self.assertEqual(self.panel.data(), b"")
        self.assert_port_released()

    def test_interrupt_during_countdown_ends_at_once(self):
        self.point_com4(self.panel.slave_path)
        relay = self.start_relay()
        self.assertIsNotNone(relay.wait_for_output(BANNER + RESTART + "12... 11", 15))
        interrupted = time.monotonic()
        relay.interrupt()
        self.assertIsNotNone(relay.wait(3), "the relay did not end at once")
        ended = time.monotonic()
        self.assertLess(ended - interrupted, 3)
        output = relay.output()
        self.assertTrue(output.startswith(BANNER + RESTART + "12... 11"))
        self.assertNotIn("\n", output[len(BANNER + RESTART):], "the countdown went on")
        late = [t for t, _ in relay.timed_pieces() if t > interrupted + 0.3]
        self.assertEqual(late, [], "something was printed after the interrupt")
        # The port was closed for the restart and never reopened.
        self.assertEqual([state for _, state in self.panel.state_changes()], ["open", "closed"])
        self.assertEqual(self.panel.data(), b"")


class RelayFaultCases:
    """What the relay must survive: a panel that stalls or goes away, a simulator that rewrites
    the area all the time and then ends, a second interrupt. Mixed in like RelayCases."""

    def test_busy_simulator_then_gone_and_a_second_interrupt(self):
        standin, relay = self.start_relaying()
        # Two states written over and over: whole blocks, as fast as the stand-in takes them.
        other_text = [line.replace(b"A", b"B").replace(b"\x01", b"\x02") for line in TEXT]
        other_marks = [bytes(2 if b != 2 else 0 for b in line) for line in ATTRIBUTES]
        deadline = time.monotonic() + 3
        rounds = 0
        while time.monotonic() < deadline:
            standin.publish(other_text if rounds % 2 == 0 else TEXT,
                            other_marks if rounds % 2 == 0 else ATTRIBUTES)
            rounds += 1
        # The simulator settles on one state, then ends: that state stays on the panel.
        standin.publish(other_text, other_marks)
        settled = time.monotonic() + 0.3
        standin.quit()
        time.sleep(1.5)
        self.assertIsNone(relay.popen.poll(), "the relay ended with the simulator")

        relay.interrupt()
        time.sleep(0.05)
        relay.interrupt()
        self.assertEqual(relay.wait(10), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        stream = self.panel.data()
        pairs = check_frames(self, stream, [(TEXT, ATTRIBUTES), (other_text, other_marks)])
        self.assertGreaterEqual(pairs, 20)
        last = model_pair(other_text, other_marks)
        after = self.panel.data(since=settled)
        after = after[len(after) % PAIR:] if len(after) % PAIR else after
        self.assertGreaterEqual(len(after), 10 * PAIR, "pairs stopped after the simulator ended")
        self.assertEqual(after[-PAIR:], last)
        self.assertEqual(stream[-PAIR:], last)
        self.check_port_reopenable()

    def test_stalled_panel(self):
        """A panel that stops reading: writes give up on their time-out and an interrupt still
        ends the run within two write time-outs and a pause."""
        standin, relay = self.start_relaying()
        stalled = time.monotonic()
        self.panel.reading = False
        # The pseudo-terminal swallows about 20 KB (some 8 s of pairs) before a write has to
        # wait; after that every write waits for its time-out.
        time.sleep(14)
        self.assertIsNone(relay.popen.poll())
        interrupted = time.monotonic()
        relay.interrupt()
        status = relay.wait(15)
        took = time.monotonic() - interrupted
        self.panel.reading = True
        time.sleep(0.5)
        swallowed = len(self.panel.data(since=stalled))
        print(f"\nstalled panel: {swallowed} bytes taken by the line while stalled; "
              f"interrupt to exit {took:.2f} s", file=sys.stderr)
        self.assertEqual(status, 0)
        self.assertLess(took, 2 * 1.37 + 0.1 + 1.0, "a write did not give up on its time-out")
        self.assertEqual(relay.output(), ORDINARY_RUN)
        self.check_port_reopenable()
        standin.quit()

    def test_panel_gone(self):
        standin, relay = self.start_relaying()
        self.panel.close()
        time.sleep(2)
        self.assertIsNone(relay.popen.poll(), "the relay ended when the panel went away")
        self.assertEqual(self.finish(relay), 0)
        self.assertEqual(relay.output(), ORDINARY_RUN)
        standin.quit()
