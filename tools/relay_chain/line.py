"""The line, seen from outside the relay: where the display lines sit in the simulator's area, a
small model of the frame pair the panel must get for them (written here from the frames' rules,
never taken from the program's own code), and the recorded stream cut into 127-byte frames and
pairs, checked for their form, whole (check_pairs, check_frames) or as it arrives (Cutter)."""

import threading

FRAME = 127
PAIR = 2 * FRAME
TEXT_BLOCK = 236  # area offset of text line 0; 26 bytes a line, the 26th never sent
ATTRIBUTE_BLOCK = 366
_REPLACED = {0x00: 0x20, 0x01: 0x12, 0x02: 0x2A, 0x5E: 0xA7}


def pair_of(text=b"", marks=b""):
    """A pair from its 125 characters and 125 marks ('0'/'1'), padded with spaces and '0'."""
    return b"<" + text.ljust(125) + b">" + b">" + marks.ljust(125, b"0") + b"<"


def model_pair(text_lines, attribute_lines):
    """The frame pair the panel must get for the given area lines (26 bytes each at most)."""
    text, marks = bytearray(), bytearray()
    for line in range(5):
        text_line = text_lines[line].ljust(26, b"\0")
        attribute_line = attribute_lines[line].ljust(26, b"\0")
        text += bytes(_REPLACED.get(byte, byte) for byte in text_line[:25])
        marks += bytes(0x31 if byte == 2 else 0x30 for byte in attribute_line[:25])
    return pair_of(bytes(text), bytes(marks))


def is_attribute_frame(frame):
    """The attribute frame's form, which text cannot imitate: '>', 125 of '0'/'1', '<'."""
    return (len(frame) == FRAME and frame[0] == 0x3E and frame[-1] == 0x3C
            and all(byte in (0x30, 0x31) for byte in frame[1:-1]))


def is_pair(pair):
    return pair[0] == 0x3C and pair[FRAME - 1] == 0x3E and is_attribute_frame(pair[FRAME:])


def check_pairs(stream):
    """Number of whole pairs in stream, cut in alignment, and how many are not well formed."""
    whole = len(stream) // PAIR
    return whole, sum(not is_pair(stream[i * PAIR:(i + 1) * PAIR]) for i in range(whole))


def check_frames(test, stream, states):
    """Every pair in stream is well formed, and each of its cells holds that cell's byte in one
    of the given (text_lines, attribute_lines) states: a pair may mix states, nothing else."""
    test.assertEqual(len(stream) % PAIR, 0, "the stream does not end on a whole pair")
    models = [model_pair(text, marks) for text, marks in states]
    for start in range(0, len(stream), PAIR):
        pair = stream[start:start + PAIR]
        test.assertEqual((pair[0], pair[126], pair[127], pair[253]),
                         (ord("<"), ord(">"), ord(">"), ord("<")), f"pair at byte {start}")
        for at in range(PAIR):
            test.assertIn(pair[at], {model[at] for model in models},
                          f"pair at byte {start}, byte {at}: {pair!r}")
    return len(stream) // PAIR


class Cutter:
    """Cuts a stream into pairs as it arrives, whatever its pieces. A piece that is no pair is
    counted once as malformed, and the stream is taken up again right after the next attribute
    frame, as the panel emulator does."""

    def __init__(self):
        self.bytes = self.pairs = self.malformed = 0
        self.distinct = set()  # hashes of the pairs seen, to show the pages changed
        self.first_pair_time = self.last_pair_time = None
        self._pending = bytearray()
        self._lost = False  # looking for the next attribute frame
        self._lock = threading.Lock()

    def feed(self, data, now):
        with self._lock:
            self.bytes += len(data)
            pending = self._pending
            pending += data
            start = 0
            while True:
                if self._lost:
                    found = next((at for at in range(start, len(pending) - FRAME + 1)
                                  if is_attribute_frame(pending[at:at + FRAME])), None)
                    if found is None:
                        start = max(start, len(pending) - FRAME + 1)
                        break
                    start, self._lost = found + FRAME, False
                elif len(pending) - start < PAIR:
                    break
                elif is_pair(pending[start:start + PAIR]):
                    self.pairs += 1
                    self.distinct.add(hash(bytes(pending[start:start + PAIR])))
                    self.first_pair_time = self.first_pair_time or now
                    self.last_pair_time = now
                    start += PAIR
                else:
                    self.malformed += 1
                    self._lost = True
                    start += 1
            del pending[:start]

    def counts(self):
        with self._lock:
            return dict(bytes=self.bytes, pairs=self.pairs, malformed=self.malformed,
                        distinct=len(self.distinct), held=len(self._pending),
                        first=self.first_pair_time, last=self.last_pair_time)
