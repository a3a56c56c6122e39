"""Runs the real relay against the area stand-in and a pseudo-terminal panel, natively and under
Wine, and prints one Markdown table of what it measured in this run.

For each build: the relay starts with no simulator; after its countdown it waits for the area,
and its CPU is measured over a few seconds of that wait; then the stand-in starts and the relay
connects. While it relays for the measuring time, the stand-in changes one text cell at random
moments; every byte on the line is timed as the panel's side of the pseudo-terminal reads it.
From that come the cycle period (between the starts of successive pairs), the latency from each
change of the area to the first text frame that carries it, and a check of every frame. CPU is
read from the scheduler's per-thread run time, peak memory from VmHWM, both of the relay's own
process. Ctrl+C ends the relay; it must end with status 0.

  relay_bench.py --native BIN STANDIN --wine EXE STANDIN_EXE TEMPLATE [--seconds N]
"""

import argparse
import bisect
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
WAIT_SECONDS = 3.0
# Values of the changed cell: printable, none that the relay translates.
CELL_VALUES = [value for value in range(0x30, 0x7B) if value != 0x5E]


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


def time_of(starts, offset):
    """Time at which the byte at offset was read: that of the chunk holding it."""
    return starts[bisect.bisect_right(starts, (offset, math.inf)) - 1][1]


def measure(name, rig, seconds):
    """One build's figures: rig's relay waits for the simulator, then relays."""
    place, panel = rig.place, rig.panel

    def helper_cpu():  # Wine's server, which serves the relay's waits, opens and console
        return sum(cpu_seconds(pid) for pid in place.helper_pids())

    try:
        rig.point_com4(panel.slave_path)
        relay = rig.start_relay()
        pid = rig.relay_pid(relay)
        if relay.wait_for_output("Waiting for Falcon...", 40) is None:
            raise RuntimeError(f"{name}: the relay never waited for the simulator: "
                               f"{relay.output()!r}")
        time.sleep(0.5)
        before, helper_before = cpu_seconds(pid), helper_cpu()
        started = time.monotonic()
        time.sleep(WAIT_SECONDS)
        elapsed = time.monotonic() - started
        waiting_cpu = (cpu_seconds(pid) - before) / elapsed
        waiting_helper = (helper_cpu() - helper_before) / elapsed

        standin = rig.start_standin()
        if relay.wait_for_output("Connected...", 30) is None:
            raise RuntimeError(f"{name}: the relay never connected: {relay.output()!r}")
        if not panel.wait_for_bytes(2 * PAIR, 10):
            raise RuntimeError(f"{name}: no pairs on the line")

        changes = []  # (time the change was asked for, value)
        rng = random.Random(5)
        before, helper_before = cpu_seconds(pid), helper_cpu()
        started = time.monotonic()
        end = started + seconds
        value_index = 0
        while time.monotonic() < end:
            time.sleep(rng.uniform(0.15, 0.35))  # unrelated to the relay's cycle
            value = CELL_VALUES[value_index % len(CELL_VALUES)]
            value_index += 1
            asked = time.monotonic()
            standin.write(TEXT_BLOCK, bytes([value]))
            changes.append((asked, value))
        elapsed = time.monotonic() - started
        relaying_cpu = (cpu_seconds(pid) - before) / elapsed
        relaying_helper = (helper_cpu() - helper_before) / elapsed
        rss = memory_kib(pid, "VmHWM")
        time.sleep(0.3)  # so the last change reaches the line too

        relay.interrupt()
        status = relay.wait(15)
        if status != 0:
            raise RuntimeError(f"{name}: the relay ended with status {status}")
        stream, starts = panel.timed_stream()
    finally:
        rig.close()

    pairs, malformed = check_pairs(stream)
    pair_times = [time_of(starts, index * PAIR) for index in range(pairs)]
    in_window = [t for t in pair_times if started <= t <= end]
    periods = [b - a for a, b in zip(in_window, in_window[1:])]
    latencies = []
    for (asked, value), (next_asked, _) in zip(changes, changes[1:] + [(float("inf"), 0)]):
        for index, when in enumerate(pair_times):
            if when < asked:
                continue
            if when >= next_asked:
                break  # overtaken by the next change before a pair carried it
            if stream[index * PAIR + CELL_IN_FRAME] == value:
                latencies.append(when - asked)
                break
    helpers = bool(place.helper_pids())
    return {
        "period_mean": statistics.mean(periods) * 1000,
        "period_p99": percentile(periods, 0.99) * 1000,
        "latency_median": statistics.median(latencies) * 1000,
        "latency_p99": percentile(latencies, 0.99) * 1000,
        "latency_max": max(latencies) * 1000,
        "changes": len(changes),
        "carried": len(latencies),
        "cpu_relaying": relaying_cpu * 100,
        "cpu_waiting": waiting_cpu * 100,
        "helper_relaying": relaying_helper * 100 if helpers else None,
        "helper_waiting": waiting_helper * 100 if helpers else None,
        "rss": rss,
        "pairs": pairs,
        "malformed": malformed,
        "window": seconds,
    }


# --- The table ---------------------------------------------------------------------------------

def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout.strip()
    return (f"{model}, {os.cpu_count()} cores shown, Linux {platform.release()}, "
            f"{wine or 'no Wine'}")


def table(results, sizes, micro):
    columns = list(results)
    rows = [
        ("Cycle period, mean", lambda r: f"{r['period_mean']:.1f} ms"),
        ("Cycle period, 99th percentile", lambda r: f"{r['period_p99']:.1f} ms"),
        ("Latency area change → frame on the line, median",
         lambda r: f"{r['latency_median']:.1f} ms"),
        ("Latency, 99th percentile", lambda r: f"{r['latency_p99']:.1f} ms"),
        ("Latency, max", lambda r: f"{r['latency_max']:.1f} ms"),
        ("Changes carried / made", lambda r: f"{r['carried']} / {r['changes']}"),
        ("CPU while relaying (% of one core)",
         lambda r: f"{r['cpu_relaying']:.3f} % over {r['window']:.0f} s"),
        ("CPU while waiting for the simulator (% of one core)",
         lambda r: f"{r['cpu_waiting']:.0f} %"),
        ("wineserver CPU, relaying / waiting (% of one core)",
         lambda r: "—" if r["helper_relaying"] is None else
         f"{r['helper_relaying']:.3f} % / {r['helper_waiting']:.0f} %"),
        ("Peak resident memory", lambda r: f"{r['rss'] / 1024:.1f} MiB"),
        ("Pairs on the line / malformed", lambda r: f"{r['pairs']} / {r['malformed']}"),
    ]
    header = {"native": "Linux (native)", "wine": "Windows build under Wine"}
    lines = ["| | " + " | ".join(header[c] for c in columns) + " |",
             "|---|" + "---|" * len(columns)]
    for title, cell in rows:
        lines.append(f"| {title} | " + " | ".join(cell(results[c]) for c in columns) + " |")
    lines.append("| Executable size | " +
                 " | ".join(f"{sizes[c] / 1024:.0f} KiB" for c in columns) + " |")
    for name, value in micro:
        lines.append(f"| {name} | {value} |" + " — |" * (len(columns) - 1))
    return "\n".join(lines)


def micro_benchmarks(binary):
    """ns per pair from the Google Benchmark binary (native build only)."""
    if not binary:
        return []
    import json
    output = subprocess.run([binary, "--benchmark_format=json", "--benchmark_repetitions=5",
                             "--benchmark_report_aggregates_only=true",
                             "--benchmark_filter=BM_BuildPanelFrames$|BM_UpdatePanel$"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    found = []
    for entry in json.loads(output)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            name = entry["run_name"].replace("BM_", "")
            found.append((f"{name}, ns per pair (median of 5)",
                          f"{entry['cpu_time']:.1f} ns"))
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native", nargs=2, metavar=("BIN", "STANDIN"))
    parser.add_argument("--wine", nargs=3, metavar=("EXE", "STANDIN_EXE", "TEMPLATE"))
    parser.add_argument("--micro", metavar="BENCH_BIN")
    parser.add_argument("--seconds", type=float, default=30)
    arguments = parser.parse_args()

    results, sizes = {}, {}
    micro = micro_benchmarks(arguments.micro)
    if arguments.native:
        reason = namespace.unavailable_reason()
        if reason:
            sys.exit(f"native run needs a private mount namespace: {reason}")
        # Absolute: a program started in the namespace does not keep this directory.
        relay, standin = (os.path.abspath(path) for path in arguments.native)
        sizes["native"] = os.path.getsize(relay)
        rig = Rig(namespace.MountNamespace(), relay, standin)
        print("native: measuring ...", file=sys.stderr, flush=True)
        results["native"] = measure("native", rig, arguments.seconds)
    if arguments.wine:
        # Wine takes absolute prefixes only.
        exe, standin, template = (os.path.abspath(path) for path in arguments.wine)
        sizes["wine"] = os.path.getsize(exe)
        rig = Rig(WinePrefix(template), exe, standin)
        print("wine: measuring ...", file=sys.stderr, flush=True)
        results["wine"] = measure("wine", rig, arguments.seconds)

    print(f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {machine()}.")
    print()
    print(table(results, sizes, micro))


if __name__ == "__main__":
    main()
