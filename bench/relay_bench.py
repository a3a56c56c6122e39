"""Runs the real relay natively and under Wine against the area stand-in and a pseudo-terminal
panel, and prints one Markdown table: its CPU while it waits for the area and while it relays, and,
as one text cell changes at random moments, the cycle period and each change's latency."""

import argparse
import bisect
import json
import math
import os
import platform
import random
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from relay_chain import namespace  # noqa: E402
from relay_chain.figures import cpu_seconds, memory_kib  # noqa: E402
from relay_chain.line import PAIR, TEXT_BLOCK, check_pairs  # noqa: E402
from relay_chain.rig import Rig  # noqa: E402
from relay_chain.wine import WinePrefix  # noqa: E402

CELL_IN_FRAME = 1  # text line 0, column 0, at TEXT_BLOCK in the area
# Values of the changed cell: printable, none that the relay translates.
CELL_VALUES = [value for value in range(0x30, 0x7B) if value != 0x5E]
HEADER = {"native": "Linux (native)", "wine": "Windows build under Wine"}


def percentile(values, fraction):
    return sorted(values)[round(fraction * (len(values) - 1))]


def measure(name, rig, seconds):
    """One build's rows of the table: rig's relay waits for the simulator, then relays."""
    def cpu():  # the relay's, and that of Wine's server, which serves its waits, opens, console
        return time.monotonic(), cpu_seconds(pid), sum(map(cpu_seconds, rig.place.helper_pids()))

    def percent_since(before):  # of one core, for the relay and for the helpers
        now = cpu()
        return [(b - a) / (now[0] - before[0]) * 100 for a, b in zip(before[1:], now[1:])]

    def ms(duration):
        return f"{duration * 1000:.1f} ms"

    try:
        rig.point_com4(rig.panel.slave_path)
        relay = rig.start_relay()
        pid = rig.relay_pid(relay)
        if relay.wait_for_output("Waiting for Falcon...", 40) is None:
            raise RuntimeError(f"{name}: the relay never waited for the simulator: "
                               f"{relay.output()!r}")
        time.sleep(0.5)
        before = cpu()
        time.sleep(3)  # the window for the waiting relay's CPU
        waiting = percent_since(before)

        standin = rig.start_standin()
        if relay.wait_for_output("Connected...", 30) is None:
            raise RuntimeError(f"{name}: the relay never connected: {relay.output()!r}")
        if not rig.panel.wait_for_bytes(2 * PAIR, 10):
            raise RuntimeError(f"{name}: no pairs on the line")

        changes = []  # (time the change was asked for, value)
        rng = random.Random(5)
        before = cpu()
        started, end = before[0], before[0] + seconds
        while time.monotonic() < end:
            time.sleep(rng.uniform(0.15, 0.35))  # unrelated to the relay's cycle
            value = CELL_VALUES[len(changes) % len(CELL_VALUES)]
            changes.append((time.monotonic(), value))
            standin.write(TEXT_BLOCK, bytes([value]))
        relaying = percent_since(before)
        rss = memory_kib(pid, "VmHWM")
        time.sleep(0.3)  # so the last change reaches the line too

        relay.interrupt()
        if (status := relay.wait(15)) != 0:
            raise RuntimeError(f"{name}: the relay ended with status {status}")
        stream, starts = rig.panel.timed_stream()
    finally:
        rig.close()

    pairs, malformed = check_pairs(stream)
    # Each pair's time is that of the chunk holding its first byte.
    pair_times = [starts[bisect.bisect_right(starts, (index * PAIR, math.inf)) - 1][1]
                  for index in range(pairs)]
    in_window = [t for t in pair_times if started <= t <= end]
    periods = [b - a for a, b in zip(in_window, in_window[1:])]
    latencies = []
    # A change counts as carried by the first pair that shows it before the next change.
    for (asked, value), (next_asked, _) in zip(changes, changes[1:] + [(math.inf, 0)]):
        latencies += [when - asked for index, when in enumerate(pair_times)
                      if asked <= when < next_asked
                      and stream[index * PAIR + CELL_IN_FRAME] == value][:1]
    return {
        "Cycle period, mean": ms(statistics.mean(periods)),
        "Cycle period, 99th percentile": ms(percentile(periods, 0.99)),
        "Latency area change → frame on the line, median": ms(statistics.median(latencies)),
        "Latency, 99th percentile": ms(percentile(latencies, 0.99)),
        "Latency, max": ms(max(latencies)),
        "Changes carried / made": f"{len(latencies)} / {len(changes)}",
        "CPU while relaying (% of one core)": f"{relaying[0]:.3f} % over {seconds:.0f} s",
        "CPU while waiting for the simulator (% of one core)": f"{waiting[0]:.0f} %",
        "wineserver CPU, relaying / waiting (% of one core)":
            f"{relaying[1]:.3f} % / {waiting[1]:.0f} %" if rig.place.helper_pids() else "—",
        "Peak resident memory": f"{rss / 1024:.1f} MiB",
        "Pairs on the line / malformed": f"{pairs} / {malformed}",
    }


def machine():
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo
                      if line.startswith("model name")), "")
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return (f"{model}, {os.cpu_count()} cores shown, Linux {platform.release()}, "
            f"{wine or 'no Wine'}")


def micro_benchmarks(binary):
    """Rows of ns per pair from the micro-benchmark binary (native build only)."""
    output = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                             "--benchmark_report_aggregates_only=true",
                             "--benchmark_filter=BM_BuildPanelFrames$|BM_UpdatePanel$"],
                            capture_output=True, check=True).stdout
    return [(f"{entry['run_name'].replace('BM_', '')}, ns per pair (median of 5)",
             f"{entry['cpu_time']:.1f} ns")
            for entry in json.loads(output)["benchmarks"]
            if entry.get("aggregate_name") == "median"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", nargs=2, metavar=("BIN", "STANDIN"))
    parser.add_argument("--wine", nargs=3, metavar=("EXE", "STANDIN_EXE", "TEMPLATE"))
    parser.add_argument("--micro", metavar="BENCH_BIN")
    parser.add_argument("--seconds", type=float, default=30)
    arguments = parser.parse_args()

    micro = micro_benchmarks(arguments.micro) if arguments.micro else []
    if arguments.native and (reason := namespace.unavailable_reason()):
        sys.exit(f"native run needs a private mount namespace: {reason}")
    results = {}
    for build, paths in (("native", arguments.native), ("wine", arguments.wine)):
        if not paths:
            continue
        # Absolute: Wine takes absolute prefixes only; the namespace's programs start elsewhere.
        relay, standin, *template = (os.path.abspath(path) for path in paths)
        place = WinePrefix(*template) if template else namespace.MountNamespace()
        print(f"{build}: measuring ...", file=sys.stderr, flush=True)
        results[build] = measure(build, Rig(place, relay, standin), arguments.seconds)
        results[build]["Executable size"] = f"{os.path.getsize(relay) / 1024:.0f} KiB"

    columns = list(results)
    print(f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {machine()}.\n")
    print("| | " + " | ".join(HEADER[column] for column in columns) + " |")
    print("|---|" + "---|" * len(columns))
    for title in next(iter(results.values()), {}):
        print(f"| {title} | " + " | ".join(results[column][title] for column in columns) + " |")
    for name, value in micro:
        print(f"| {name} | {value} |" + " — |" * (len(columns) - 1))


if __name__ == "__main__":
    main()
