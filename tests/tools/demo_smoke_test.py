"""Smoke test of the demo: scripts/demo runs the whole chain for 25 s, the panel emulator in
--dump mode must get the simulator emulator's pages, and nothing may be left running.
Usage: demo_smoke_test.py NATIVE_BUILD WINDOWS_BUILD"""

import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from relay_chain.processes import end_leftovers  # noqa: E402

NATIVE_BUILD = WINDOWS_BUILD = None

# Two pages with everything the relay translates: 0x01, 0x02, '^', line-discipline bytes
# (a line that was not raw would turn 0x0A into 0x0D 0x0A and break the frame), and marks.
PAGES = r"""
page
text |SMOKE ONE  STPT \1  8|
mark |######|
text |LAT N 34^52.6'|
text |\x0a\x0d\x03\x1b[2J|
text ||
text |\2FIVE\2|
mark |      ######|
page
text |SMOKE TWO|
mark |      ###|
text ||
text ||
text ||
text |LAST LINE 1234567890123 Z|
"""
BLANK = "|                         | 0000000000000000000000000"
EXPECTED = {
    "ONE": ["|SMOKE ONE  STPT ↕  8     | 1111110000000000000000000",
            "|LAT N 34°52.6'           | 0000000000000000000000000",
            "|····[2J                  | 0000000000000000000000000",
            BLANK,
            "|*FIVE*                   | 0000001111110000000000000"],
    "TWO": ["|SMOKE TWO                | 0000001110000000000000000",
            BLANK, BLANK, BLANK,
            "|LAST LINE 1234567890123 Z| 0000000000000000000000000"],
}


class Demo(unittest.TestCase):
    def test_panel_receives_the_emulated_pages(self):
        work = pathlib.Path(tempfile.mkdtemp(prefix="demo-smoke-"))
        prefix, pages, dump = work / "wineprefix", work / "pages.txt", work / "panel.txt"
        pages.write_text(PAGES)
        env = dict(os.environ, PANEL_RELAY_NATIVE_BUILD=NATIVE_BUILD,
                   PANEL_RELAY_WINDOWS_BUILD=WINDOWS_BUILD)
        demo = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "demo"), "--duration", "25", "--pages", pages,
             "--interval", "1.5", "--dump", dump, "--work-dir", work],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
            start_new_session=True)
        try:  # a build of the Windows programs may come first
            output, _ = demo.communicate(timeout=840)
        except subprocess.TimeoutExpired:
            os.killpg(demo.pid, signal.SIGINT)  # the demo's own orderly stop first
            try:
                output, _ = demo.communicate(timeout=40)
            except subprocess.TimeoutExpired:
                os.killpg(demo.pid, signal.SIGKILL)
                output, _ = demo.communicate()
        finally:
            # Every process of the run's prefix, and the panel emulator, which carries it too.
            left = end_leftovers(f"WINEPREFIX={prefix}".encode(),
                                 dict(os.environ, WINEPREFIX=str(prefix)))
        output = output.decode("utf-8", "replace")
        panel = dump.read_text(encoding="utf-8")
        shutil.rmtree(work, ignore_errors=True)

        self.assertEqual(left, [], "processes were left behind")
        self.assertEqual(demo.returncode, 0, output)
        for line in ("[relay] Connected...", "demo: relay ended with status 0",
                     "demo: ended cleanly: nothing left running"):
            self.assertIn(line, output)

        # The panel restarted when the relay configured the line, then showed the pages in
        # turn; every block is one of the two pages exactly.
        blocks = panel.split("pair ")
        self.assertEqual(blocks[0], "restart\n", panel)
        seen = []
        for block in blocks[1:]:
            rows = [line for line in block.rstrip("\n").split("\n")[1:] if line != "restart"]
            page = "ONE" if "SMOKE ONE" in block else "TWO"
            self.assertEqual(rows, EXPECTED[page], block)
            seen.append(page)
        self.assertGreaterEqual(len(seen), 3, panel)  # at least two changes of page
        self.assertEqual(set(seen), {"ONE", "TWO"})


if __name__ == "__main__":
    WINDOWS_BUILD = os.path.abspath(sys.argv.pop(2))
    NATIVE_BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
