"""What the chain trusts to judge the line: relay_chain.line's Cutter, which the soak trusts with
every byte (pairs in pieces of any size, text that holds the delimiters, how it finds its place
again), and the panel's reading of the line's speed, however the far end set it."""

import os
import sys
import termios
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain.line import FRAME, PAIR, Cutter, pair_of  # noqa: E402
from relay_chain.panel import line_speeds, set_speed_termios2  # noqa: E402

PAIRS = [pair_of(b"<>>< STPT <", b"1"), pair_of(b"A" * 125, b"01" * 62), pair_of(b">" * 125)]


def cut(stream, piece):
    cutter = Cutter()
    for start in range(0, len(stream), piece):
        cutter.feed(stream[start:start + piece], float(start))
    return cutter.counts()


class Cutter_(unittest.TestCase):
    def test_pairs_in_pieces_of_any_size_and_an_unfinished_one_held(self):
        stream = b"".join(PAIRS) * 3 + PAIRS[0][:100]
        for piece in (1, 7, FRAME, PAIR + 1, len(stream)):
            with self.subTest(piece=piece):
                counts = cut(stream, piece)
                self.assertEqual((counts["pairs"], counts["malformed"], counts["held"]),
                                 (9, 0, 100))
                self.assertEqual((counts["bytes"], counts["distinct"]), (len(stream), 3))

    def test_a_malformed_piece_counts_once_and_the_pair_after_the_next_attribute_frame_counts(self):
        # Garbage first: the pair it shifts is lost with it; the next one is taken.
        counts = cut(b"junk<>" + b"".join(PAIRS), 50)
        self.assertEqual((counts["pairs"], counts["malformed"]), (2, 1))
        # A text frame cut short (the pair after it goes with it), then an attribute frame
        # holding another byte than 0 or 1 (the pair after it, too).
        bad_marks = PAIRS[1][:FRAME + 5] + b"2" + PAIRS[1][FRAME + 6:]
        stream = PAIRS[0] + PAIRS[1][:60] + PAIRS[2] + bad_marks + PAIRS[0] + PAIRS[2]
        for piece in (1, 33, len(stream)):
            with self.subTest(piece=piece):
                counts = cut(stream, piece)
                self.assertEqual((counts["pairs"], counts["malformed"], counts["held"]),
                                 (2, 2, 0))


class LineSpeeds(unittest.TestCase):
    def test_speeds_set_with_tcsetattr_or_termios2_read_alike_from_either_end(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)

        def set_with_tcsetattr(speed):
            attributes = termios.tcgetattr(slave)
            attributes[4] = attributes[5] = speed
            termios.tcsetattr(slave, termios.TCSANOW, attributes)

        settings = [("tcsetattr", lambda: set_with_tcsetattr(termios.B1200), 1200),
                    ("termios2", lambda: set_speed_termios2(slave, 1200), 1200),
                    ("tcsetattr", lambda: set_with_tcsetattr(termios.B9600), 9600),
                    ("termios2", lambda: set_speed_termios2(slave, 31250), 31250)]
        for how, set_speed, baud in settings:
            with self.subTest(how=how, baud=baud):
                set_speed()
                self.assertEqual((line_speeds(slave), line_speeds(master)), ((baud,) * 2,) * 2)
        # What plain tcgetattr sees of a termios2 rate, which is why the reading is needed.
        self.assertEqual(termios.tcgetattr(master)[5], 0o010000)  # BOTHER


if __name__ == "__main__":
    unittest.main()
