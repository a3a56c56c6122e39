"""Prints the picture of the panel that README.md shows: the block the panel emulator prints
(--dump) for the first pair the real relay sends it while the simulator emulator shows a page.

    panel_picture.py --relay PROGRAM --sim PROGRAM --panel PROGRAM [--pages FILE]
    panel_picture.py ... --check MARKDOWN    the picture block in MARKDOWN must be what it prints

The native relay runs in a private mount namespace (root, or unprivileged user namespaces) whose
/dev/COM4 leads to the panel emulator's pseudo-terminal, beside the simulator emulator playing
the first page of FILE (by default the example page file, packaging/pages.txt). Nothing of the
drawing is made here: the block is the emulator's own output, taken after its restart.

Exit status: 0 with the picture printed (or, with --check, the Markdown's block equal to it);
1 when the chain did not give a pair, or the block differs; 77 when no namespace can be made
(the reason on standard error), or 1 then where PANEL_RELAY_REQUIRE_NAMESPACES is set."""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools"))
from relay_chain import namespace  # noqa: E402
from relay_chain.processes import Process, stop  # noqa: E402

# Where the picture sits in a Markdown file: the fenced block right after this comment.
MARKER = "<!-- panel picture: scripts/panel-picture -->"
SKIPPED = 77

# The relay counts down 12 s after the restart, then the pair arrives within a cycle or two.
PAIR_TIMEOUT = 40


def take_picture(relay, sim, panel, pages):
    """The emulator's block for the first pair, or raises RuntimeError with what went wrong."""
    place = namespace.MountNamespace()
    emulator = relay_run = simulator = None
    try:
        # Outside the namespace: its /dev/pts is the machine's, so the slave's path holds there.
        emulator = subprocess.Popen([panel, "--dump", "--pairs", "1", "--restart-seconds", "0.5"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
        said = emulator.stderr.readline().decode(errors="replace")
        listening = re.match(r"panel-emulator: listening on (\S+)", said)
        if not listening:
            raise RuntimeError(f"the panel emulator said {said!r}")
        place.point_com4(listening.group(1))

        # The page is on show before the relay looks, so its first pair carries it.
        simulator = Process(place.command([sim, "--pages", pages, "--interval", "3600"]))
        if simulator.wait_for_output("publishing", 20) is None:
            raise RuntimeError(f"the simulator emulator did not publish: {simulator.output()!r}")
        relay_run = Process(place.command([relay]))
        try:
            shown, _ = emulator.communicate(timeout=PAIR_TIMEOUT)  # ends after one pair
        except subprocess.TimeoutExpired as timeout:
            raise RuntimeError("no pair reached the panel emulator; the relay said "
                               f"{relay_run.output()!r}") from timeout
        return picture_of(shown.decode("utf-8"))
    finally:
        if relay_run is not None:
            relay_run.interrupt()
            if relay_run.wait(15) is None:
                relay_run.kill()
        if simulator is not None:
            simulator.interrupt()
            if simulator.wait(15) is None:
                simulator.kill()
        if emulator is not None:
            stop(emulator, signal.SIGTERM, 10)
        place.close()


def picture_of(dump):
    """The first pair's block of the emulator's --dump output (after its 'restart' line)."""
    blocks = re.findall(r"^pair \d+\n(?:\|.*\n){5}", dump, re.MULTILINE)
    if not blocks:
        raise RuntimeError(f"the panel emulator printed no pair: {dump!r}")
    return blocks[0]


def picture_in(markdown_path):
    """The fenced block right after MARKER in the Markdown file, or None."""
    with open(markdown_path, encoding="utf-8") as markdown:
        text = markdown.read()
    found = re.search(re.escape(MARKER) + r"\n```[a-z]*\n(.*?)^```", text, re.DOTALL | re.MULTILINE)
    return found.group(1) if found else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("--relay", required=True, help="the native panel-relay")
    parser.add_argument("--sim", required=True, help="the native sim-emulator")
    parser.add_argument("--panel", required=True, help="the native panel-emulator")
    parser.add_argument("--pages", default=os.path.join(TOP, "packaging", "pages.txt"))
    parser.add_argument("--check", metavar="MARKDOWN",
                        help="compare with the picture in this file instead of printing")
    options = parser.parse_args()

    reason = namespace.unavailable_reason()
    if reason is not None:
        print(f"panel-picture: the relay needs a private mount namespace: {reason}",
              file=sys.stderr)
        return 1 if os.environ.get(namespace.REQUIRE_VARIABLE) else SKIPPED
    started = time.monotonic()
    try:
        picture = take_picture(*(os.path.abspath(getattr(options, name))
                                 for name in ("relay", "sim", "panel", "pages")))
    except RuntimeError as error:
        print(f"panel-picture: {error}", file=sys.stderr)
        return 1
    if options.check is None:
        sys.stdout.write(picture)
        return 0
    shown = picture_in(options.check)
    if shown == picture:
        print(f"panel-picture: {options.check} shows what the panel emulator drew "
              f"({time.monotonic() - started:.1f} s)")
        return 0
    print(f"panel-picture: the picture in {options.check} is not what the panel emulator drew "
          f"(scripts/panel-picture remakes it)\n--- in the file:\n{shown}"
          f"--- drawn:\n{picture}", end="", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
