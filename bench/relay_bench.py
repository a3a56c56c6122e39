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
import os
import platform
import random
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import harness  # noqa: E402
import native_namespace  # noqa: E402

FRAME = 127
PAIR = 2 * FRAME
CELL_OFFSET = 236  # text line 0, column 0
CELL_IN_FRAME = 1
WAIT_SECONDS = 3.0
# Values of the changed cell: printable, none that the relay translates.
CELL_VALUES = [value for value in range(0x30, 0x7B) if value != 0x5E]


# --- What the kernel says about a process ----------------------------------------------------

def cpu_seconds(pid):
    """Run time of all the process's threads so far, in seconds (nanosecond resolution)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, round(fraction * (len(ordered) - 1))))
    return ordered[index]


# --- The line ----------------------------------------------------------------------------------

def timed_stream(panel):
    """All bytes read from the line, and for each chunk its first offset and its time."""
    with panel._lock:  # noqa: SLF001 (the recorder's own lock, for a consistent copy)
        chunks = list(panel.chunks)
    stream = b"".join(data for _, data in chunks)
    starts = []
    offset = 0
    for when, data in chunks:
        starts.append((offset, when))
        offset += len(data)
    return stream, starts


def time_of(starts, offset):
    """Time at which the byte at offset was read: that of the chunk holding it."""
    low, high = 0, len(starts) - 1
    while low < high:
        middle = (low + high + 1) // 2
        if starts[middle][0] <= offset:
            low = middle
        else:
            high = middle - 1
    return starts[low][1]


def check_pairs(stream):
    """Number of whole pairs, and how many of them are not well formed."""
    whole = len(stream) // PAIR
    malformed = 0
    for index in range(whole):
        text = stream[index * PAIR:index * PAIR + FRAME]
        attributes = stream[index * PAIR + FRAME:(index + 1) * PAIR]
        if (text[0] != 0x3C or text[-1] != 0x3E or attributes[0] != 0x3E or attributes[-1] != 0x3C
                or any(byte not in (0x30, 0x31) for byte in attributes[1:-1])):
            malformed += 1
    return whole, malformed


# --- One run -----------------------------------------------------------------------------------

class Run:
    """Platform hooks: start_relay(panel), start_standin(), pid(relay), close(), and
    helper_pids(): processes that work for the relay (Wine's server), measured beside it."""

    def helper_pids(self):
        return []

    def helper_cpu(self):
        return sum(cpu_seconds(pid) for pid in self.helper_pids())

    def measure(self, seconds):
        panel = harness.PtyPanel()
        relay = standin = None
        try:
            relay = self.start_relay(panel)
            pid = self.pid(relay)
            if relay.wait_for_output("Waiting for Falcon...", 40) is None:
                raise RuntimeError(f"{self.name}: the relay never waited for the simulator: "
                                   f"{relay.output()!r}")
            time.sleep(0.5)
            before, helper_before = cpu_seconds(pid), self.helper_cpu()
            started = time.monotonic()
            time.sleep(WAIT_SECONDS)
            elapsed = time.monotonic() - started
            waiting_cpu = (cpu_seconds(pid) - before) / elapsed
            waiting_helper = (self.helper_cpu() - helper_before) / elapsed

            standin = self.start_standin()
            if relay.wait_for_output("Connected...", 30) is None:
                raise RuntimeError(f"{self.name}: the relay never connected: {relay.output()!r}")
            if not panel.wait_for_bytes(2 * PAIR, 10):
                raise RuntimeError(f"{self.name}: no pairs on the line")

            changes = []  # (time the change was asked for, value)
            rng = random.Random(5)
            before, helper_before = cpu_seconds(pid), self.helper_cpu()
            started = time.monotonic()
            end = started + seconds
            value_index = 0
            while time.monotonic() < end:
                time.sleep(rng.uniform(0.15, 0.35))  # unrelated to the relay's cycle
                value = CELL_VALUES[value_index % len(CELL_VALUES)]
                value_index += 1
                asked = time.monotonic()
                standin.write(CELL_OFFSET, bytes([value]))
                changes.append((asked, value))
            elapsed = time.monotonic() - started
            relaying_cpu = (cpu_seconds(pid) - before) / elapsed
            relaying_helper = (self.helper_cpu() - helper_before) / elapsed
            rss = peak_rss_kib(pid)
            time.sleep(0.3)  # so the last change reaches the line too

            relay.interrupt()
            status = relay.wait(15)
            if status != 0:
                raise RuntimeError(f"{self.name}: the relay ended with status {status}")
            stream, starts = timed_stream(panel)
        finally:
            if relay is not None:
                relay.kill()
            if standin is not None:
                standin.quit()
            panel.close()
            self.close()

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
            "helper_relaying": relaying_helper * 100 if self.helper_pids_seen else None,
            "helper_waiting": waiting_helper * 100 if self.helper_pids_seen else None,
            "rss": rss,
            "pairs": pairs,
            "malformed": malformed,
            "window": seconds,
        }


class NativeRun(Run):
    name = "native"
    helper_pids_seen = False

    def __init__(self, relay, standin):
        # Absolute: a program started in the namespace does not keep this directory.
        self.relay_path, self.standin_path = os.path.abspath(relay), os.path.abspath(standin)
        self.size = os.path.getsize(relay)
        self.namespace = native_namespace.MountNamespace()

    def start_relay(self, panel):
        self.namespace.point_com4(panel.slave_path)
        # The panel must have noted its first state before the relay's first open and close.
        deadline = time.monotonic() + 5
        while not panel.state_changes() and time.monotonic() < deadline:
            time.sleep(0.005)
        return harness.Process(self.namespace.command([self.relay_path]))

    def pid(self, relay):
        return relay.popen.pid  # nsenter execs the relay

    def start_standin(self):
        return harness.Standin(self.namespace.command([self.standin_path]), size=4096)

    def close(self):
        self.namespace.close()


class WineRun(Run):
    name = "wine"

    def __init__(self, exe, standin_exe, template):
        self.exe, self.standin_exe = os.path.abspath(exe), os.path.abspath(standin_exe)
        self.size = os.path.getsize(exe)
        template = os.path.abspath(template)  # Wine takes absolute prefixes only
        harness.prepare_wine_template(template)
        self.prefix = harness.WinePrefix(template)

    def start_relay(self, panel):
        self.prefix.set_com4(panel.slave_path)
        return harness.Process(self.prefix.command(self.exe), env=self.prefix.env)

    def pid(self, relay):
        # The wine loader execs the preloader, which becomes the program's process.
        pid = relay.popen.pid
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    if b"panel-relay.exe" in cmdline.read():
                        return pid
            except FileNotFoundError:
                break
            time.sleep(0.05)
        raise RuntimeError("wine: cannot find the relay's process")

    def start_standin(self):
        return harness.Standin(self.prefix.command(self.standin_exe), env=self.prefix.env,
                               size=4096)

    helper_pids_seen = True

    def helper_pids(self):
        """The prefix's wineserver, which serves the relay's waits, opens and console."""
        wanted = f"WINEPREFIX={self.prefix.path}".encode()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/comm") as comm:
                    if not comm.read().startswith("wineserver"):
                        continue
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if wanted in environ.read().split(b"\0"):
                        found.append(int(entry))
            except OSError:
                pass
        return found

    def close(self):
        self.prefix.close()


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
        reason = native_namespace.unavailable_reason()
        if reason:
            sys.exit(f"native run needs a private mount namespace: {reason}")
        run = NativeRun(*arguments.native)
        sizes["native"] = run.size
        print("native: measuring ...", file=sys.stderr, flush=True)
        results["native"] = run.measure(arguments.seconds)
    if arguments.wine:
        run = WineRun(*arguments.wine)
        sizes["wine"] = run.size
        print("wine: measuring ...", file=sys.stderr, flush=True)
        results["wine"] = run.measure(arguments.seconds)

    print(f"Measured {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on {machine()}.")
    print()
    print(table(results, sizes, micro))


if __name__ == "__main__":
    main()
