"""Soak: the whole chain for a while, watched from outside the relay.

The simulator emulator plays its pages, changing them every 0.2 s; the relay relays them to a
pseudo-terminal held here. Every byte read from the line is checked frame by frame and passed on
to the panel emulator (reading its standard input), whose own decoder counts the pairs it takes
and the frames it drops. The relay's resident memory and open descriptors are read when relaying
has settled and again at the end; Ctrl+C must then end it with status 0.

Fails (status 1) on any malformed or dropped frame, on growth of the relay's memory or
descriptors, on a relay that does not keep its pace, or on a wrong exit status.

  soak.py --seconds N --relay BIN --sim-emulator BIN --panel-emulator BIN   (native relay)
  soak.py --seconds N --wine TEMPLATE --relay EXE --sim-emulator EXE --panel-emulator BIN
"""

import argparse
import os
import re
import select
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402
import native_namespace  # noqa: E402

FRAME = 127
PAIR = 2 * FRAME
SETTLE_SECONDS = 3
PAGE_INTERVAL = "0.2"


def is_attribute_frame(frame):
    return (len(frame) == FRAME and frame[0] == 0x3E and frame[-1] == 0x3C
            and all(byte in (0x30, 0x31) for byte in frame[1:-1]))


def is_pair(pair):
    return pair[0] == 0x3C and pair[FRAME - 1] == 0x3E and is_attribute_frame(pair[FRAME:])


class LineTap:
    """The panel's side of the line: a pseudo-terminal master. Checks every pair in place and
    passes every byte on to a sink (the panel emulator's standard input)."""

    def __init__(self):
        self.master, self.slave_path = harness.open_pty_master()
        self.sink = None
        self.bytes = 0
        self.pairs = 0
        self.malformed = 0  # pieces thrown away while finding the frames again
        self.distinct = set()  # hashes of the pairs seen, to show the pages changed
        self.first_pair_time = None
        self.last_pair_time = None
        self._pending = bytearray()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        poller = select.poll()
        poller.register(self.master, select.POLLIN)
        while not self._stop.is_set():
            events = poller.poll(50)
            mask = events[0][1] if events else 0
            data = b""
            if mask & select.POLLIN:
                try:
                    data = os.read(self.master, 65536)
                except OSError:
                    data = b""
            if not data:
                if mask & select.POLLHUP:
                    time.sleep(0.05)  # no slave open (the relay's restart): look again later
                continue
            with self._lock:
                self._take(data, time.monotonic())
            if self.sink is not None:
                try:
                    self.sink.write(data)
                    self.sink.flush()
                except (BrokenPipeError, ValueError):
                    self.sink = None

    def _take(self, data, now):
        self.bytes += len(data)
        pending = self._pending
        pending += data
        start = 0
        while len(pending) - start >= PAIR:
            pair = bytes(pending[start:start + PAIR])
            if is_pair(pair):
                self.pairs += 1
                self.distinct.add(hash(pair))
                if self.first_pair_time is None:
                    self.first_pair_time = now
                self.last_pair_time = now
                start += PAIR
                continue
            # Lost: the next pair starts right after the next attribute frame.
            self.malformed += 1
            found = None
            for at in range(start + 1, len(pending) - FRAME + 1):
                if pending[at] == 0x3E and is_attribute_frame(pending[at:at + FRAME]):
                    found = at
                    break
            if found is None:
                start = max(start + 1, len(pending) - FRAME + 1)
                break
            start = found + FRAME
        del pending[:start]

    def counts(self):
        with self._lock:
            return dict(bytes=self.bytes, pairs=self.pairs, malformed=self.malformed,
                        distinct=len(self.distinct), held=len(self._pending),
                        first=self.first_pair_time, last=self.last_pair_time)

    def close(self):
        self._stop.set()
        self._thread.join()
        os.close(self.master)


def process_figures(pid):
    rss = None
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


def wine_relay_pid(popen):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        with open(f"/proc/{popen.pid}/cmdline", "rb") as cmdline:
            if b"panel-relay.exe" in cmdline.read():
                return popen.pid
        time.sleep(0.05)
    raise RuntimeError("wine: cannot find the relay's process")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--relay", required=True)
    parser.add_argument("--sim-emulator", required=True)
    parser.add_argument("--panel-emulator", required=True)
    parser.add_argument("--wine", metavar="TEMPLATE")
    arguments = parser.parse_args()
    relay_path = os.path.abspath(arguments.relay)
    sim_path = os.path.abspath(arguments.sim_emulator)

    tap = LineTap()
    panel = subprocess.Popen([os.path.abspath(arguments.panel_emulator), "--dump", "-"],
                             stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE)
    tap.sink = panel.stdin
    namespace = prefix = relay = sim = None
    failures = []
    try:
        if arguments.wine:
            template = os.path.abspath(arguments.wine)
            harness.prepare_wine_template(template)
            prefix = harness.WinePrefix(template)
            prefix.set_com4(tap.slave_path)
            run = lambda argv: subprocess.Popen(  # noqa: E731
                prefix.command(*argv), env=prefix.env, stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            relay_command = prefix.command(relay_path)
            relay_env = prefix.env
        else:
            reason = native_namespace.unavailable_reason()
            if reason:
                # As the native end-to-end tests do: skip where namespaces are refused, unless
                # they are required (CI).
                if os.environ.get(native_namespace.REQUIRE_VARIABLE):
                    sys.exit(f"soak: the native relay needs a private mount namespace: {reason}")
                print(f"soak skipped: the native relay needs a private mount namespace: {reason}")
                sys.exit(0)
            namespace = native_namespace.MountNamespace()
            namespace.point_com4(tap.slave_path)
            run = lambda argv: subprocess.Popen(  # noqa: E731
                namespace.command(argv), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            relay_command = namespace.command([relay_path])
            relay_env = None

        sim = run([sim_path, "--interval", PAGE_INTERVAL])
        relay = harness.Process(relay_command, env=relay_env)
        pid = wine_relay_pid(relay.popen) if arguments.wine else relay.popen.pid
        if relay.wait_for_output("Connected...", 60) is None:
            raise RuntimeError(f"the relay never connected: {relay.output()!r}")
        time.sleep(SETTLE_SECONDS)
        rss_start, fds_start = process_figures(pid)
        at_start = tap.counts()
        started = time.monotonic()
        next_report = started + 60
        while time.monotonic() < started + arguments.seconds:
            time.sleep(1)
            if relay.popen.poll() is not None:
                raise RuntimeError(f"the relay ended by itself, status {relay.popen.returncode}")
            if time.monotonic() >= next_report:
                counts = tap.counts()
                rss, fds = process_figures(pid)
                print(f"  {time.monotonic() - started:5.0f} s: {counts['pairs']} pairs, "
                      f"{counts['malformed']} malformed, relay RSS {rss} KiB, {fds} fds",
                      flush=True)
                next_report += 60
        elapsed = time.monotonic() - started
        rss_end, fds_end = process_figures(pid)
        at_end = tap.counts()
        relay.interrupt()
        status = relay.wait(15)
        time.sleep(0.3)  # the last bytes reach the tap
        final = tap.counts()
    finally:
        if relay is not None:
            relay.kill()
        if sim is not None:
            if sim.poll() is None:
                sim.send_signal(2)
                try:
                    sim.wait(10)
                except subprocess.TimeoutExpired:
                    sim.kill()
                    sim.wait()
        tap.sink = None
        panel.stdin.close()
        try:
            panel.wait(10)
        except subprocess.TimeoutExpired:
            panel.kill()
            panel.wait()
        summary = panel.stderr.read().decode(errors="replace").strip()
        panel.stderr.close()
        tap.close()
        if namespace is not None:
            namespace.close()
        if prefix is not None:
            prefix.close()

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

    if final["malformed"]:
        failures.append(f"{final['malformed']} malformed pieces on the line")
    if final["bytes"] != PAIR * final["pairs"] + final["held"]:
        failures.append("bytes on the line do not add up to whole pairs")
    if emulator_dropped is None or int(emulator_dropped.group(1)) != 0:
        failures.append(f"the panel emulator dropped frames: {summary!r}")
    if emulator_pairs is None or int(emulator_pairs.group(1)) != final["pairs"]:
        failures.append("the panel emulator took another number of pairs than the line carried")
    if final["distinct"] < 2:
        failures.append("the pages never changed on the line")
    if not 9.0 <= rate <= 10.1:
        failures.append(f"the relay's pace was {rate:.2f} pairs/s, not about 10")
    if rss_end > rss_start:
        failures.append(f"the relay's memory grew from {rss_start} to {rss_end} KiB")
    if fds_end > fds_start:
        failures.append(f"the relay's descriptors grew from {fds_start} to {fds_end}")
    if status != 0:
        failures.append(f"the relay ended with status {status}")
    for failure in failures:
        print(f"FAILED: {failure}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
