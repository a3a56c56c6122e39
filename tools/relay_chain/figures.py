"""Figures of a running process, read from /proc: CPU seconds, resident memory (peak or current),
open descriptors; and, for a Windows program under Wine, the process whose figures those are."""

import os
import time


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


def memory_kib(pid, field="VmHWM"):
    """A memory figure of /proc/PID/status in KiB: VmHWM (peak resident) or VmRSS (resident)."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def open_descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def windows_program_pid(popen, exe_name, timeout=20):
    """The process of a Windows program started with `wine`: the loader execs the preloader,
    which becomes the program's process, once its command line names the program."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{popen.pid}/cmdline", "rb") as cmdline:
                if exe_name.encode() in cmdline.read():
                    return popen.pid
        except FileNotFoundError:
            break
        time.sleep(0.05)
    raise RuntimeError(f"wine: cannot find the process of {exe_name}")
