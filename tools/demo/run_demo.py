"""Runs the demo chain: panel-relay.exe under Wine between the two emulators.

    run_demo.py --relay EXE --sim EXE --panel PROGRAM [--duration SECONDS] [--pages FILE]
                [--interval SECONDS] [--dump FILE] [--ascii] [--work-dir DIR] [--template DIR]

In a private Wine prefix whose COM4 is the panel emulator's pseudo-terminal, the Windows
simulator emulator publishes its pages and the relay sends them to the panel emulator, which
draws the panel (or, with --dump, writes its plain blocks to FILE). The relay's and the
simulator emulator's console lines are shown prefixed with [relay] and [sim].

Ctrl+C, SIGTERM or the end of --duration stops the chain in order: the relay first (with Ctrl+C,
as a user would; it should end with status 0), then the simulator emulator, then the prefix's
wineserver, then the panel emulator. Every child runs in a session of its own, so a terminal's
Ctrl+C reaches only this script, and every child carries a marker in its environment, so that
whatever is left at the end is found and ended. The exit status is 0 when the relay ended with
status 0 and nothing was left behind."""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from relay_chain.processes import ProcessGroup, stop  # noqa: E402
from relay_chain.simulator import SimEmulator  # noqa: E402
from relay_chain.wine import WinePrefix, environment, windows_path  # noqa: E402

STEP = 0.1


class Demo:
    def __init__(self, options):
        self.options = options
        self.stop_reason = None
        self.failures = []
        self.lock = threading.Lock()
        self.console_text = {"relay": "", "sim": ""}
        self.open_line = None  # who wrote the last, unfinished line on our output
        self.work_dir = options.work_dir or tempfile.mkdtemp(prefix="panel-relay-demo-")
        self.remove_work_dir = options.work_dir is None
        self.prefix_path = os.path.join(self.work_dir, "wineprefix")
        self.group = ProcessGroup(marked=True, stopping=lambda: self.stop_reason)
        self.prefix = self.relay = self.sim = self.panel = self.dump_file = None
        self.forwarders = {}

    # -- output -------------------------------------------------------------------------------

    def say(self, text):
        self.emit("demo", text + "\n")

    def emit(self, name, text):
        """Writes a piece of a child's console (or ours) with a prefix at every line start; a
        line left open by another writer is ended first, so lines never run together."""
        out = []
        with self.lock:
            for character in text:
                if self.open_line != name:
                    if self.open_line is not None:
                        out.append("\n")
                    out.append("demo: " if name == "demo" else f"[{name}] ")
                    self.open_line = name
                out.append(character)
                if character == "\n":
                    self.open_line = None
            sys.stdout.buffer.write("".join(out).encode())
            sys.stdout.flush()

    def forward(self, name, stream):
        """Copies a child's console to ours, CRLF folded, and keeps its text."""
        held = b""  # a CR that may start a CRLF
        while chunk := os.read(stream.fileno(), 4096):
            chunk, held = (held + chunk).replace(b"\r\n", b"\n"), b""
            if chunk.endswith(b"\r"):
                chunk, held = chunk[:-1], b"\r"
            text = chunk.decode("utf-8", "replace")
            self.console_text[name] += text
            # Only our children's own messages, but still: nothing unprintable to the terminal.
            self.emit(name, "".join(c if c.isprintable() or c == "\n" else "?" for c in text))
        stream.close()

    # -- the chain ----------------------------------------------------------------------------

    def run(self):
        options = self.options
        group = self.group
        group.watch(environment(self.prefix_path, group.env))
        self.say(f"preparing a Wine prefix in {self.prefix_path}")
        try:
            self.prefix = WinePrefix(options.template, self.prefix_path, group, self.say)
        except RuntimeError as error:
            return self.fail_start(str(error))
        com4 = os.path.join(self.prefix_path, "dosdevices", "com4")

        panel_command = [options.panel, "--link", com4] + (["--ascii"] if options.ascii else [])
        if options.dump:
            self.dump_file = open(options.dump, "wb")
            panel = self.start(panel_command + ["--dump"], stdout=self.dump_file,
                               stderr=subprocess.DEVNULL)
        elif sys.stdout.isatty():
            panel = self.start(panel_command)  # draws the panel on the terminal
        else:  # no terminal: its plain blocks join the other consoles' lines
            panel = self.start(panel_command, forward="panel")
        self.panel = panel
        if not group.wait_until(lambda: os.path.islink(com4), 10, [panel]):
            return self.fail_start("the panel emulator did not make COM4")
        self.say(f"COM4 of the prefix is the panel emulator's line ({os.readlink(com4)})")

        # The simulator first, so the relay connects as soon as its countdown is over.
        sim_command = [options.sim]
        if options.pages:
            sim_command += ["--pages", windows_path(options.pages)]
        if options.interval:
            sim_command += ["--interval", str(options.interval)]
        self.sim = SimEmulator(self.prefix.command(sim_command), start=self.start, forward="sim")
        if not group.wait_until(lambda: "publishing" in self.console_text["sim"], 60,
                                [self.sim.popen]):
            return self.fail_start("the simulator emulator did not publish its area")

        self.relay = self.start(self.prefix.command([options.relay]), forward="relay")
        # The duration counts from here: preparing a first prefix or a slow Wine start must not
        # eat into the time the relay has to count down and relay.
        started = time.monotonic()
        self.say("the relay counts down 12 s while the panel restarts, then relays"
                 + ("" if options.duration else "; Ctrl+C ends the demo"))

        while not self.stop_reason:
            if options.duration and time.monotonic() - started >= options.duration:
                self.stop_reason = "duration"
            for name, process in (("relay", self.relay), ("simulator emulator", self.sim.popen),
                                  ("panel emulator", panel)):
                if process.poll() is not None and not self.stop_reason:
                    self.stop_reason = f"{name} ended"
                    self.failures.append(f"the {name} ended by itself "
                                         f"(status {process.returncode})")
            time.sleep(STEP)
        return True

    def start(self, argv, forward=None, **arguments):
        """A child of the group; with forward (a name), a thread copies its console to ours."""
        if forward:
            arguments.update(stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        process = self.group.start(argv, env=self.prefix.env, **arguments)
        if forward:
            self.console_text[forward] = ""
            self.forwarders[forward] = threading.Thread(
                target=self.forward, args=(forward, process.stdout), daemon=True)
            self.forwarders[forward].start()
        return process

    def fail_start(self, message):
        if not self.stop_reason:
            self.failures.append(message)
        return False

    def stop_forwarded(self, name, title, process):
        """Ctrl+C to a forwarded child: its status, or None (and a failure) when it was killed."""
        status = stop(process, signal.SIGINT, 15)
        self.forwarders[name].join(5)
        if status is None:
            killed = " and was killed" if name == "relay" else ""
            self.failures.append(f"the {title} did not end on Ctrl+C{killed}")
        else:
            self.say(f"{title} ended with status {status}")
        return status

    def shut_down(self):
        """The relay, the simulator emulator, Wine, the panel emulator: in order."""
        if self.stop_reason in ("interrupt", "duration"):
            self.say("stopping: relay first, then the simulator emulator, then Wine")
        if self.relay is not None:
            status = self.stop_forwarded("relay", "relay", self.relay)
            if status is not None and "Connected..." not in self.console_text["relay"]:
                # Before its stop handler exists Ctrl+C just ends it, and under Wine that too
                # shows as status 0: say what happened.
                self.say("(it was stopped before it connected, so it relayed nothing)")
            if status not in (None, 0):
                self.failures.append(f"the relay ended with status {status}, not 0")
        if self.sim is not None:
            status = self.stop_forwarded("sim", "simulator emulator", self.sim.popen)
            if status not in (None, 0):
                self.failures.append(f"the simulator emulator ended with status {status}")
        if self.prefix is not None:
            if self.prefix.close():
                self.say("Wine stopped")
            else:
                self.failures.append("the wineserver did not end and was killed")
        if self.panel is not None:
            stop(self.panel, signal.SIGTERM, 10)
        if self.dump_file:
            self.dump_file.close()
        left = self.group.end()
        if left:
            self.failures.append(f"processes were left behind and killed: {left}")
        if self.remove_work_dir:
            shutil.rmtree(self.work_dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--relay", required=True, help="panel-relay.exe")
    parser.add_argument("--sim", required=True, help="sim-emulator.exe")
    parser.add_argument("--panel", required=True, help="the POSIX panel-emulator")
    parser.add_argument("--duration", type=float, help="end by itself after this many seconds")
    parser.add_argument("--pages", help="page file for the simulator emulator")
    parser.add_argument("--interval", type=float, help="seconds each page is shown")
    parser.add_argument("--dump", help="panel emulator's --dump output goes to this file")
    parser.add_argument("--ascii", action="store_true",
                        help="panel drawn in ASCII only, for terminals without UTF-8")
    parser.add_argument("--work-dir", help="for the Wine prefix (default: a temporary one)")
    parser.add_argument("--template", help="prepared Wine prefix to copy (made when missing)")
    options = parser.parse_args()
    for name in ("relay", "sim", "panel", "pages", "dump", "work_dir", "template"):
        if getattr(options, name):  # Wine wants an absolute WINEPREFIX, for one
            setattr(options, name, os.path.abspath(getattr(options, name)))

    demo = Demo(options)

    def on_stop(signal_number, _frame):
        demo.stop_reason = demo.stop_reason or "interrupt"

    for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signal_number, on_stop)
    try:
        demo.run()
    finally:
        demo.shut_down()
    for failure in demo.failures:
        demo.say(f"FAILED: {failure}")
    if not demo.failures:
        demo.say("ended cleanly: nothing left running")
    return 1 if demo.failures else 0


if __name__ == "__main__":
    sys.exit(main())
