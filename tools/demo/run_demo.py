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
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import uuid

MARKER = "PANEL_RELAY_DEMO_RUN"
STEP = 0.1

# Run beside the chain: should this script die without its orderly stop (SIGKILL), its end of
# the pipe closes without "done", and the watchdog ends the prefix's Wine and every process
# that carries the run's marker.
WATCHDOG = r"""
import os, signal, subprocess, sys
if sys.stdin.read() == "done":
    sys.exit(0)
subprocess.run(["wineserver", "-k"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
needle = (sys.argv[1] + "=" + sys.argv[2]).encode()
for entry in os.listdir("/proc"):
    if entry.isdigit() and int(entry) != os.getpid():
        try:
            with open("/proc/" + entry + "/environ", "rb") as environ:
                if needle in environ.read().split(b"\0"):
                    os.kill(int(entry), signal.SIGKILL)
        except OSError:
            pass
"""


def processes_with(needle):
    """Other processes whose environment holds the entry needle (bytes, "NAME=value")."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                if needle in environ.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


class Demo:
    def __init__(self, options):
        self.options = options
        self.stop_reason = None
        self.children = []  # (name, Popen), each the leader of its own session
        self.failures = []
        self.lock = threading.Lock()
        self.console_text = {"relay": "", "sim": ""}
        self.open_line = None  # who wrote the last, unfinished line on our output
        self.token = uuid.uuid4().hex
        own_work_dir = options.work_dir is None
        self.work_dir = options.work_dir or tempfile.mkdtemp(prefix="panel-relay-demo-")
        self.remove_work_dir = own_work_dir
        self.prefix = os.path.join(self.work_dir, "wineprefix")
        env = dict(os.environ)
        env.pop("DISPLAY", None)  # no windows: Wine stays on the console
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            # No Mono or Gecko install prompts while the prefix is made.
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            MARKER: self.token,
        })
        self.env = env

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
        pending_cr = False
        while True:
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            if pending_cr:
                chunk = b"\r" + chunk
                pending_cr = False
            if chunk.endswith(b"\r"):
                chunk, pending_cr = chunk[:-1], True
            text = chunk.replace(b"\r\n", b"\n").decode("utf-8", "replace")
            self.console_text[name] += text
            # Only our children's own messages, but still: nothing unprintable to the terminal.
            self.emit(name, "".join(c if c.isprintable() or c == "\n" else "?" for c in text))
        stream.close()

    # -- processes ----------------------------------------------------------------------------

    def start(self, name, command, **arguments):
        arguments.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(command, env=self.env, start_new_session=True,
                                   preexec_fn=end_with_parent, **arguments)
        self.children.append((name, process))
        return process

    def run_quietly(self, command, timeout):
        process = self.start(command[0], command, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            if self.stop_reason or time.monotonic() > deadline:
                return False
            time.sleep(STEP)
        return process.returncode == 0

    def wait_until(self, condition, timeout, watched=()):
        deadline = time.monotonic() + timeout
        while not condition():
            if self.stop_reason or time.monotonic() > deadline:
                return False
            if any(process.poll() is not None for process in watched):
                return False
            time.sleep(STEP)
        return True

    def stop_child(self, process, signal_number, timeout):
        """Signals the process and waits; returns its status, or None if it had to be killed."""
        if process.poll() is None:
            try:
                process.send_signal(signal_number)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill_session(process)
                process.wait()
                return None
        return process.returncode

    @staticmethod
    def kill_session(process):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def marked_processes(self):
        """Processes that still carry this run's marker."""
        return processes_with(f"{MARKER}={self.token}".encode())

    # -- the chain ----------------------------------------------------------------------------

    def run(self):
        options = self.options
        com4 = os.path.join(self.prefix, "dosdevices", "com4")

        self.watchdog = subprocess.Popen(
            [sys.executable, "-c", WATCHDOG, MARKER, self.token], env=self.env,
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, start_new_session=True)
        self.say(f"preparing a Wine prefix in {self.prefix}")
        if not self.make_prefix():
            return self.fail_start("the Wine prefix could not be prepared")
        self.wineserver = self.start("wineserver", ["wineserver", "--foreground",
                                                    "--persistent"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Ours must be the prefix's server before any Wine program would start one of its own.
        if not self.wait_until(lambda: wineserver_listens(self.wineserver.pid), 20,
                               [self.wineserver]):
            return self.fail_start("the wineserver did not start")
        # A throw-away process first: Wine's background services start with it, and so do not
        # inherit the pipes of the programs below.
        if not self.run_quietly(["wine", "cmd", "/c", "exit"], 60):
            return self.fail_start("Wine does not run in the prefix")

        panel_command = [options.panel, "--link", com4] + (["--ascii"] if options.ascii else [])
        if options.dump:
            self.dump_file = open(options.dump, "wb")
            panel = self.start("panel", panel_command + ["--dump"], stdout=self.dump_file,
                               stderr=subprocess.DEVNULL)
        elif sys.stdout.isatty():
            panel = self.start("panel", panel_command)  # draws the panel on the terminal
        else:
            # No terminal: its plain blocks join the other consoles' lines.
            panel = self.start("panel", panel_command, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
            self.console_text["panel"] = ""
            threading.Thread(target=self.forward, args=("panel", panel.stdout),
                             daemon=True).start()
        self.panel = panel
        if not self.wait_until(lambda: os.path.islink(com4), 10, [panel]):
            return self.fail_start("the panel emulator did not make COM4")
        self.say(f"COM4 of the prefix is the panel emulator's line ({os.readlink(com4)})")

        # The simulator first, so the relay connects as soon as its countdown is over.
        sim_command = ["wine", options.sim]
        if options.pages:
            sim_command += ["--pages", windows_path(options.pages)]
        if options.interval:
            sim_command += ["--interval", str(options.interval)]
        self.sim = self.start("sim", sim_command, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        self.sim_forwarder = threading.Thread(target=self.forward, args=("sim", self.sim.stdout),
                                              daemon=True)
        self.sim_forwarder.start()
        if not self.wait_until(lambda: "publishing" in self.console_text["sim"], 60,
                               [self.sim]):
            return self.fail_start("the simulator emulator did not publish its area")

        self.relay = self.start("relay", ["wine", options.relay], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        self.relay_forwarder = threading.Thread(
            target=self.forward, args=("relay", self.relay.stdout), daemon=True)
        self.relay_forwarder.start()
        # The duration counts from here: preparing a first prefix or a slow Wine start must not
        # eat into the time the relay has to count down and relay.
        started = time.monotonic()
        self.say("the relay counts down 12 s while the panel restarts, then relays"
                 + ("" if options.duration else "; Ctrl+C ends the demo"))

        while not self.stop_reason:
            if options.duration and time.monotonic() - started >= options.duration:
                self.stop_reason = "duration"
            for name, process in (("relay", self.relay), ("simulator emulator", self.sim),
                                  ("panel emulator", panel)):
                if process.poll() is not None and not self.stop_reason:
                    self.stop_reason = f"{name} ended"
                    self.failures.append(f"the {name} ended by itself "
                                         f"(status {process.returncode})")
            time.sleep(STEP)
        return True

    def make_prefix(self):
        """A copy of the template prefix, which is made once (wineboot takes a while)."""
        template = self.options.template
        if template is None:
            os.makedirs(self.prefix, exist_ok=True)
            return self.run_quietly(["wineboot", "-i"], 180)
        if not os.path.isfile(os.path.join(template, "system.reg")):
            self.say(f"making the Wine prefix template {template} (once)")
            building = f"{template}.{os.getpid()}"
            shutil.rmtree(building, ignore_errors=True)
            os.makedirs(building)
            saved = self.env["WINEPREFIX"]
            self.env["WINEPREFIX"] = building
            # wineserver -w: the server writes the registry out when it ends.
            made = (self.run_quietly(["wineboot", "-i"], 180)
                    and self.run_quietly(["wineserver", "-w"], 60))
            self.env["WINEPREFIX"] = saved
            if not made:
                shutil.rmtree(building, ignore_errors=True)
                return False
            try:
                os.rename(building, template)
            except OSError:  # another run made it meanwhile
                shutil.rmtree(building, ignore_errors=True)
        return subprocess.run(["cp", "-a", template, self.prefix], check=False).returncode == 0

    def fail_start(self, message):
        if not self.stop_reason:
            self.failures.append(message)
        return False

    def shut_down(self):
        """The relay, the simulator emulator, the wineserver, the panel emulator: in order."""
        if self.stop_reason in ("interrupt", "duration"):
            self.say("stopping: relay first, then the simulator emulator, then Wine")
        relay = getattr(self, "relay", None)
        if relay is not None:
            status = self.stop_child(relay, signal.SIGINT, 15)
            self.relay_forwarder.join(5)
            if status is None:
                self.failures.append("the relay did not end on Ctrl+C and was killed")
            else:
                self.say(f"relay ended with status {status}")
                if "Connected..." not in self.console_text["relay"]:
                    # Before its stop handler exists Ctrl+C just ends it, and under Wine
                    # that too shows as status 0: say what happened.
                    self.say("(it was stopped before it connected, so it relayed nothing)")
                if status != 0:
                    self.failures.append(f"the relay ended with status {status}, not 0")
        sim = getattr(self, "sim", None)
        if sim is not None:
            status = self.stop_child(sim, signal.SIGINT, 15)
            self.sim_forwarder.join(5)
            if status is None:
                self.failures.append("the simulator emulator did not end on Ctrl+C")
            else:
                self.say(f"simulator emulator ended with status {status}")
                if status != 0:
                    self.failures.append(f"the simulator emulator ended with status {status}")
        if getattr(self, "wineserver", None) is not None:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30, check=False)
            if self.stop_child(self.wineserver, signal.SIGTERM, 15) is None:
                self.failures.append("the wineserver did not end and was killed")
            else:
                self.say("Wine stopped")
        panel = getattr(self, "panel", None)
        if panel is not None:
            self.stop_child(panel, signal.SIGTERM, 10)
            if getattr(self, "dump_file", None):
                self.dump_file.close()
        for _, process in self.children:
            self.kill_session(process)
            if process.poll() is None:
                process.wait()
        watchdog = getattr(self, "watchdog", None)
        if watchdog is not None:
            watchdog.stdin.write(b"done")
            watchdog.stdin.close()
            watchdog.wait()
        left = self.marked_processes()
        if left:
            self.failures.append(f"processes were left behind and killed: {left}")
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if self.remove_work_dir:
            shutil.rmtree(self.work_dir, ignore_errors=True)


def end_with_parent():
    """In a child, before exec: should this script be killed outright (no orderly stop), the
    child gets SIGTERM; a wineserver that ends takes its prefix's Wine processes with it."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wineserver_listens(pid):
    """A wineserver works in its server directory, where its socket appears once it listens."""
    try:
        return os.path.exists(f"/proc/{pid}/cwd/socket")
    except OSError:
        return False


def windows_path(path):
    """A POSIX path as Wine's Z: drive sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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
