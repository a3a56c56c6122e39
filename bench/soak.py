"""Soak: the whole chain for a while, watched from outside the relay. Every byte on the line is
cut into pairs here and passed on to the panel emulator, whose decoder counts the pairs it takes
and the frames it drops. Fails (status 1) on any malformed or dropped frame, on growth of the
relay's memory or descriptors, on a relay that does not keep its pace, or on a wrong exit status."""

import argparse
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from relay_chain import namespace  # noqa: E402
from relay_chain.figures import memory_kib, open_descriptors  # noqa: E402
from relay_chain.line import PAIR, Cutter  # noqa: E402
from relay_chain.processes import stop  # noqa: E402
from relay_chain.rig import Rig  # noqa: E402
from relay_chain.wine import WinePrefix  # noqa: E402

PAGE_INTERVAL = "0.2"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, required=True)
    for program in ("--relay", "--sim-emulator", "--panel-emulator"):
        parser.add_argument(program, required=True)
    parser.add_argument("--wine", metavar="TEMPLATE")
    arguments = parser.parse_args()

    reason = None if arguments.wine else namespace.unavailable_reason()
    if reason and os.environ.get(namespace.REQUIRE_VARIABLE):
        sys.exit(f"soak: the native relay needs a private mount namespace: {reason}")
    if reason:  # skipped where namespaces are refused, as the native tests are
        print(f"soak skipped: the native relay needs a private mount namespace: {reason}")
        sys.exit(0)
    place = (WinePrefix(os.path.abspath(arguments.wine)) if arguments.wine
             else namespace.MountNamespace())
    rig = Rig(place, os.path.abspath(arguments.relay))
    cutter = Cutter()
    panel = subprocess.Popen([os.path.abspath(arguments.panel_emulator), "--dump", "-"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)

    def tap(data, now):
        cutter.feed(data, now)
        try:
            panel.stdin.write(data)
            panel.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # the emulator ended early (its summary shows what it took), or input is closed

    def figures():  # the relay's resident memory and descriptors, and the line so far
        return memory_kib(pid, "VmRSS"), open_descriptors(pid), cutter.counts()

    rig.panel.listener = tap
    try:
        rig.point_com4(rig.panel.slave_path)
        sim = rig.start([os.path.abspath(arguments.sim_emulator), "--interval", PAGE_INTERVAL])
        relay = rig.start_relay()
        pid = rig.relay_pid(relay)
        if relay.wait_for_output("Connected...", 60) is None:
            raise RuntimeError(f"the relay never connected: {relay.output()!r}")
        time.sleep(3)  # relaying settles
        rss_start, fds_start, at_start = figures()
        started = time.monotonic()
        next_report = started + 60
        while time.monotonic() < started + arguments.seconds:
            time.sleep(1)
            if relay.popen.poll() is not None:
                raise RuntimeError(f"the relay ended by itself, status {relay.popen.returncode}")
            if time.monotonic() >= next_report:
                rss, fds, counts = figures()
                print(f"  {time.monotonic() - started:5.0f} s: {counts['pairs']} pairs, "
                      f"{counts['malformed']} malformed, relay RSS {rss} KiB, {fds} fds",
                      flush=True)
                next_report += 60
        elapsed = time.monotonic() - started
        rss_end, fds_end, at_end = figures()
        relay.interrupt()
        status = relay.wait(15)
        time.sleep(0.3)  # the last bytes reach the tap
        final = cutter.counts()
        stop(sim.popen, timeout=10)
    finally:
        try:  # the emulator's input closes (the tap's later pieces go nowhere): it sums up, ends
            summary = panel.communicate(timeout=10)[1]
        except subprocess.TimeoutExpired:
            panel.kill()
            summary = panel.communicate()[1]
        summary = summary.decode(errors="replace").strip()
        rig.close()

    window_pairs = at_end["pairs"] - at_start["pairs"]
    rate = window_pairs / elapsed
    emulator_pairs = re.search(r"\bpairs (\d+)", summary)
    emulator_dropped = re.search(r"\bdropped (\d+)", summary)
    print(f"Soak of {elapsed:.0f} s ({'Windows build under Wine' if arguments.wine else 'native'}"
          f" relay, pages changing every {PAGE_INTERVAL} s):")
    print(f"  on the line (whole run): {final['bytes']} bytes, {final['pairs']} pairs, "
          f"{final['distinct']} different pairs, {final['malformed']} malformed pieces, "
          f"{final['held']} bytes of an unfinished pair")
    print(f"  in the window: {window_pairs} pairs, {rate:.2f} pairs/s")
    print(f"  panel emulator: {summary}")
    print(f"  relay RSS: {rss_start} KiB at start, {rss_end} KiB at end; "
          f"open descriptors: {fds_start} at start, {fds_end} at end")
    print(f"  relay exit status after Ctrl+C: {status}")

    checks = [
        (final["malformed"], f"{final['malformed']} malformed pieces on the line"),
        (final["bytes"] != PAIR * final["pairs"] + final["held"],
         "bytes on the line do not add up to whole pairs"),
        (emulator_dropped is None or int(emulator_dropped[1]) != 0,
         f"the panel emulator dropped frames: {summary!r}"),
        (emulator_pairs is None or int(emulator_pairs[1]) != final["pairs"],
         "the panel emulator took another number of pairs than the line carried"),
        (final["distinct"] < 2, "the pages never changed on the line"),
        (not 9.0 <= rate <= 10.1, f"the relay's pace was {rate:.2f} pairs/s, not about 10"),
        (rss_end > rss_start, f"the relay's memory grew from {rss_start} to {rss_end} KiB"),
        (fds_end > fds_start, f"the relay's descriptors grew from {fds_start} to {fds_end}"),
        (status != 0, f"the relay ended with status {status}"),
    ]
    failures = [failure for failed, failure in checks if failed]
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
