"""The bench of docs/linux-native.md, run as the page writes it: each of its recipes (the
package's and the tarball's), one command a terminal, started in the page's order in a private
mount namespace by a user who is not root. A command that starts with sudo runs as sudo runs it:
as root, with SUDO_UID, SUDO_GID and SUDO_USER naming that user. The relay must run as that user,
reach "Connected..." and relay the example pages to the panel emulator.

Here the package's programs are on PATH and its example page file in
/usr/share/doc/panel-relay/examples/ (a tmpfs over /usr/share/doc, in the namespace only); the
tarball's directory holds the programs and pages.txt, and is not on PATH. Both recipes run side
by side, so the whole takes one countdown of the relay.

Usage: docs_bench_test.py, with PANEL_RELAY_BIN, SIM_EMULATOR_BIN and PANEL_EMULATOR_BIN set."""

import grp
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools"))
from relay_chain import namespace  # noqa: E402
from relay_chain.processes import Process  # noqa: E402

PAGE = os.path.join(TOP, "docs", "linux-native.md")
PAGES = os.path.join(TOP, "packaging", "pages.txt")
PROGRAMS = {"panel-relay": "PANEL_RELAY_BIN", "sim-emulator": "SIM_EMULATOR_BIN",
            "panel-emulator": "PANEL_EMULATOR_BIN"}
TERMINAL = re.compile(r"^(\S.*?)\s+# terminal (\d+)$")
BLOCK = re.compile(r"^pair \d+\n((?:\|.*\| [01]{25}\n){5})", re.MULTILINE)
PATH = "/usr/local/bin:/usr/bin:/bin"
# The relay's 12 s countdown, then a pair within a cycle or two; generous for a loaded machine.
CONNECT_TIMEOUT = 60


def bench_recipes():
    """The code blocks of the page's bench section whose lines are terminals: lists of commands,
    each block's in the page's order, with the terminal numbers the page gives them."""
    with open(PAGE, encoding="utf-8") as page:
        text = page.read()
    section = re.search(r"^## A bench.*?(?=^## )", text, re.DOTALL | re.MULTILINE).group(0)
    recipes = []
    for block in re.findall(r"^```sh\n(.*?)^```", section, re.DOTALL | re.MULTILINE):
        lines = [TERMINAL.match(line) for line in block.splitlines()]
        if lines and all(lines):
            recipes.append([(int(line.group(2)), line.group(1)) for line in lines])
    return recipes


def shown_rows(dump):
    """The text rows of each pair the panel emulator printed, as a page file types them."""
    rows = []
    for block in BLOCK.findall(dump):
        for line in block.splitlines():
            rows.append(line[1:26].replace("↕", "\\1").replace("°", "^").rstrip())
    return rows


class BenchRecipe(unittest.TestCase):
    def setUp(self):
        namespace.require(self)
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("running the recipe as a user who is not root needs root and setpriv")
        self.user = pwd.getpwnam("nobody")
        try:
            self.group = grp.getgrnam("nogroup").gr_gid
        except KeyError:
            self.group = self.user.pw_gid
        # The tarball's directory; the package's /usr/bin is its programs on PATH.
        # In /tmp whatever TMPDIR says: the user must reach it.
        self.directory = self.enterContext(tempfile.TemporaryDirectory(dir="/tmp"))
        os.chmod(self.directory, 0o755)
        for name, variable in PROGRAMS.items():
            shutil.copy(os.environ[variable], os.path.join(self.directory, name))
        shutil.copy(PAGES, self.directory)

    def terminal(self, place, command, package):
        """Starts one terminal's command in the namespace, as the user or, after sudo, as root
        for that user; returns (the process, the program it runs)."""
        environment = dict(os.environ, PATH=(self.directory + ":" if package else "") + PATH)
        run_there = ["sh", "-c", 'cd "$1" && eval "exec $2"', "sh",
                     "/" if package else self.directory]
        if command.startswith("sudo "):
            command = command[len("sudo "):]
            environment.update(SUDO_UID=str(self.user.pw_uid), SUDO_GID=str(self.group),
                               SUDO_USER=self.user.pw_name, SUDO_COMMAND=command)
            argv = run_there + [command]
        else:
            argv = ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.group}",
                    "--clear-groups", "--"] + run_there + [command]
        process = Process(place.command(argv), env=environment)
        self.addCleanup(process.kill)
        return process, os.path.basename(command.split()[0])

    def start_recipe(self, recipe, package):
        """The terminals in the page's order, each once it has done what the next one needs;
        returns the namespace and the processes by program."""
        place = namespace.MountNamespace()
        self.addCleanup(place.close)
        examples = "/usr/share/doc/panel-relay/examples"
        subprocess.run(place.command(["sh", "-c", f"mount -t tmpfs doc /usr/share/doc && "
                                      f"mkdir -p {examples} && cp \"$1\" {examples}/",
                                      "sh", PAGES]), check=True)
        os.chmod(place.root + examples + "/pages.txt", 0o644)
        started = {}
        for _, command in recipe:
            process, program = self.terminal(place, command, package)
            started[program] = process
            deadline = time.monotonic() + 20
            if program == "panel-emulator":
                while not os.path.lexists(place.root + "/dev/COM4"):
                    self.assertIsNone(process.popen.poll(), f"{command!r} ended")
                    self.assertLess(time.monotonic(), deadline, f"{command!r} made no /dev/COM4")
                    time.sleep(0.02)
            elif program == "sim-emulator":
                self.assertIsNotNone(process.wait_for_output("publishing", 20),
                                     f"{command!r} said {process.output()!r}")
        self.assertEqual(sorted(started), sorted(PROGRAMS), recipe)
        return place, started

    def test_each_recipe_as_written_relays_the_example_pages(self):
        recipes = bench_recipes()
        self.assertEqual(len(recipes), 2, "the package's recipe and the tarball's")
        for recipe in recipes:
            self.assertEqual([number for number, _ in recipe], [1, 2, 3], recipe)
        runs = [self.start_recipe(recipe, package) for recipe, package in zip(recipes, (1, 0))]
        with open(PAGES, encoding="utf-8") as pages:
            page_rows = [line[len("text |"):] for line in pages if line.startswith("text |")]
        for (place, started), form in zip(runs, ("package", "tarball")):
            with self.subTest(form):
                relay, panel = started["panel-relay"], started["panel-emulator"]
                self.assertIsNotNone(relay.wait_for_output("Connected...\n", CONNECT_TIMEOUT),
                                     f"the relay said {relay.output()!r}")
                self.assertEqual(os.stat(f"/proc/{relay.popen.pid}").st_uid, self.user.pw_uid,
                                 "the relay does not run as the user")
                self.assertEqual(os.stat(place.root + "/dev/COM4").st_uid, self.user.pw_uid)
                self.assertIsNotNone(panel.wait_for_output("pair ", 10),
                                     f"no pair reached the panel emulator: {panel.output()!r}")
                shown = panel.output().encode("latin-1").decode("utf-8")  # Process reads bytes
                rows = shown_rows(shown)
                self.assertTrue(rows, shown)
                for row in rows:
                    self.assertTrue(any(typed.startswith(row) for typed in page_rows),
                                    f"{row!r} is on no page of the example file")
                # Stopped as the page says, the relay first.
                relay.interrupt()
                self.assertEqual(relay.wait(15), 0, relay.output())
                for program in ("sim-emulator", "panel-emulator"):
                    started[program].interrupt()
                    self.assertEqual(started[program].wait(15), 0, program)
                self.assertFalse(os.path.lexists(place.root + "/dev/COM4"))


if __name__ == "__main__":
    unittest.main()
