"""The Wine side of the chain: a template prefix prepared once (wineboot takes a while) and copied
for every run; in the copy its own wineserver, started before any Wine program would start one,
and stopped with `wineserver -k` at the end; COM4; and the command that starts a Windows program
in it (SIGINT to that `wine` is the program's Ctrl+C).

COM4 is a link in the prefix's dosdevices, made after the prefix has started: at each start
Wine gives COM1, COM2, ... to the serial devices it finds, replacing links of those names."""

import os
import shutil
import signal
import subprocess
import tempfile

from .figures import windows_program_pid
from .processes import ProcessGroup, stop


def environment(prefix, base):
    env = dict(base, WINEPREFIX=prefix, WINEDEBUG="-all")
    env.pop("DISPLAY", None)  # no windows: Wine stays on the console
    env["WINEDLLOVERRIDES"] = "mscoree=;mshtml="  # no Mono or Gecko prompts while a prefix is made
    return env


def windows_path(path):
    """A POSIX path as Wine's Z: drive sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prepare_template(template, group=None, announce=None):
    """Makes the template prefix unless it is there; whether it is there afterwards. It is built
    beside its place and moved there whole, so a run stopped halfway, or another preparing it at
    the same time, never leaves a half-made template."""
    def prepared():
        return os.path.isfile(os.path.join(template, "system.reg"))

    if prepared():
        return True
    group = group or ProcessGroup()
    if announce:
        announce(f"making the Wine prefix template {template} (once)")
    building = f"{template}.{os.getpid()}"
    shutil.rmtree(building, ignore_errors=True)
    os.makedirs(building)
    env = environment(building, group.env)
    # wineserver -w: the server writes the registry out when it ends.
    made = group.run(["wineboot", "-i"], 180, env=env) and group.run(["wineserver", "-w"], 60,
                                                                     env=env)
    if made and not prepared():
        shutil.rmtree(template, ignore_errors=True)  # what an older, stopped run left there
        try:
            os.rename(building, template)
        except OSError:
            pass  # another run made it meanwhile
    shutil.rmtree(building, ignore_errors=True)
    return made and prepared()


class WinePrefix:
    """A private prefix with its own wineserver: a copy of the template (prepared first where
    missing), or with template None a new prefix made in place; at path (default: a temporary
    directory, removed at the end). Its programs are started by `group` (default: a plain
    ProcessGroup); with a namespace (a MountNamespace), the server and every program run inside
    it, so that Wine sees that namespace's /dev. Raises RuntimeError when Wine cannot be brought
    up."""

    def __init__(self, template, path=None, group=None, announce=None, namespace=None):
        self.group = group or ProcessGroup()
        self.namespace = namespace
        self.directory = None if path else tempfile.mkdtemp(prefix="panel-relay-wine-")
        self.path = path or os.path.join(self.directory, "prefix")
        self.env = environment(self.path, self.group.env)
        self.server = None
        try:
            self._bring_up(template, announce)
        except BaseException:
            self.close()
            raise

    def _bring_up(self, template, announce):
        if template is None:
            os.makedirs(self.path, exist_ok=True)
        elif (not prepare_template(template, self.group, announce)
              or subprocess.run(["cp", "-a", template, self.path]).returncode != 0):
            raise RuntimeError("the Wine prefix could not be prepared")
        self.point_com4(None)
        self.start(["wineboot", "-i"] if template is None else ["wine", "cmd", "/c", "exit"])

    def start(self, first=("wine", "cmd", "/c", "exit")):
        """Starts the prefix's Wine, as the first program started in it does: its wineserver,
        then, with the Wine tool `first`, its background services (among them the one that maps
        the serial ports it finds as COM ports, replacing links of those names in dosdevices)."""
        # Ours must be the prefix's server before any Wine program would start one of its own;
        # it works in its server directory, where its socket appears once it listens.
        self.server = self.group.start(self.command(["wineserver", "--foreground", "--persistent"],
                                                    program=False),
                                       env=self.env, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        socket = f"/proc/{self.server.pid}/cwd/socket"
        if not self.group.wait_until(lambda: os.path.exists(socket), 20, [self.server]):
            raise RuntimeError("the wineserver did not start")
        # A throw-away process first: Wine's background services start with it, and so do not
        # hold the pipes of the programs started later open after those have ended.
        if not self.group.run(self.command(first, program=False), 180, env=self.env):
            raise RuntimeError("Wine does not run in the prefix")

    def stop(self):
        """Ends the prefix's Wine (its server writes the registry out): whether its wineserver
        ended by itself (else it was killed)."""
        if self.server is None:
            return True
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30, check=False)
        ended = stop(self.server, signal.SIGTERM, 15) is not None
        self.server = None
        return ended

    def point_com4(self, device):
        """Points COM4 at device, or leaves the prefix without a COM4 when device is None."""
        link = os.path.join(self.path, "dosdevices", "com4")
        if os.path.lexists(link):
            os.unlink(link)
        if device is not None:
            os.symlink(device, link)

    def command(self, argv, program=True):
        """The argv that runs a Windows program (or, with program False, a Wine tool) here."""
        argv = ["wine", *argv] if program else list(argv)
        return self.namespace.command(argv) if self.namespace else argv

    def program_pid(self, popen, exe):
        return windows_program_pid(popen, os.path.basename(exe))

    def helper_pids(self):
        """The prefix's wineserver, which serves the programs' waits, opens and consoles."""
        return [self.server.pid]

    def close(self):
        """Ends the prefix's Wine: whether its wineserver ended by itself (else it was killed)."""
        ended = self.stop()
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)
        return ended
