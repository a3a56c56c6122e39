"""The Debian package and the Linux tarball: dpkg installs the package, its programs run from
/usr/bin (the relay in a private mount namespace, never on the machine's own /dev), its manual
pages render without a warning, lintian is clean, and dpkg -P leaves none of its files.

Installing needs root (CI runs as root); elsewhere these tests skip and say why."""

import os
import re
import signal
import subprocess
import tarfile
import tempfile
import unittest

import release_files
from release_files import DEB, ONE_PAGE_MARKS, ONE_PAGE_TEXT, TARBALL, VERSION
from relay_cases import BANNER, NO_PORT, model_pair
from relay_chain.namespace import MountNamespace, require
from relay_chain.processes import Process

PROGRAMS = ("panel-relay", "panel-emulator", "sim-emulator", "panel-relay-com4")
EXAMPLES = "/usr/share/doc/panel-relay/examples"


def run(argv, **options):
    return subprocess.run(argv, capture_output=True, text=True, **options)


def installed_version():
    """The installed panel-relay's version, or None."""
    status = run(["dpkg-query", "-W", "-f=${Status} ${Version}", "panel-relay"])
    words = status.stdout.split()
    return words[-1] if status.returncode == 0 and "installed" in words[:3] else None


def require_root(test):
    if os.geteuid() != 0:
        test.skipTest("installing a package needs root")


def setUpModule():
    release_files.require_release()


class Tarball(unittest.TestCase):
    def test_the_tarball_holds_the_programs_documents_and_examples(self):
        top = f"panel-relay-{VERSION}-linux-x86_64"
        with tarfile.open(TARBALL) as archive:
            members = {member.name: member for member in archive.getmembers()}
            rule = archive.extractfile(f"{top}/99-panel-relay.rules").read().decode()
        files = [name for name, member in members.items() if not member.isdir()]
        self.assertEqual(sorted(files), sorted(f"{top}/{name}" for name in [
            *PROGRAMS, "README", "LICENSE", "pages.txt", "99-panel-relay.rules",
            *release_files.firmware_files()]))
        for program in PROGRAMS:
            self.assertEqual(members[f"{top}/{program}"].mode, 0o755)
        for member in members.values():  # whoever built it
            self.assertEqual((member.uid, member.gid, member.uname, member.gname),
                             (0, 0, "root", "root"), member.name)
        self.assertIn('SYMLINK+="COM4"', rule)


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            return
        if installed_version() is not None:
            raise unittest.SkipTest("panel-relay is installed on this machine already; "
                                    "the test would replace it")
        result = run(["dpkg", "-i", DEB])
        if result.returncode != 0:
            raise AssertionError(f"dpkg -i failed: {result.stdout}{result.stderr}")

    @classmethod
    def tearDownClass(cls):
        if os.geteuid() == 0 and installed_version() is not None:
            run(["dpkg", "-P", "panel-relay"])

    def setUp(self):
        require_root(self)

    def test_installed_with_the_projects_version(self):
        self.assertEqual(installed_version(), f"{VERSION}-1")
        for tool in ("panel-emulator", "sim-emulator", "panel-relay-com4"):
            result = run([f"/usr/bin/{tool}", "--version"])
            self.assertEqual((result.returncode, result.stdout), (0, f"{tool} {VERSION}\n"))

    def test_com4_tool_sets_a_prefixs_com4(self):
        with tempfile.TemporaryDirectory() as prefix:
            registry = os.path.join(prefix, "system.reg")
            with open(registry, "w") as made:
                made.write("WINE REGISTRY Version 2\n")
            result = run(["/usr/bin/panel-relay-com4", prefix, "/dev/null"])
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(registry) as written:
                self.assertIn('"COM4"="/dev/null"\n', written.read())
            self.assertEqual(os.readlink(os.path.join(prefix, "dosdevices", "com4")), "/dev/null")

    def test_relay_without_a_port(self):
        require(self)
        namespace = MountNamespace()
        self.addCleanup(namespace.close)
        namespace.point_com4(None)
        relay = Process(namespace.command(["/usr/bin/panel-relay"]))
        self.addCleanup(relay.kill)
        self.assertEqual(relay.wait(15), 1)
        self.assertEqual(relay.output(), BANNER + NO_PORT)

    def test_simulator_emulator_plays_the_example_pages(self):
        require(self)
        namespace = MountNamespace()  # its area goes to a private /dev/shm
        self.addCleanup(namespace.close)
        simulator = Process(namespace.command(
            ["/usr/bin/sim-emulator", "--pages", f"{EXAMPLES}/pages.txt"]))
        self.addCleanup(simulator.kill)
        self.assertIsNotNone(simulator.wait_for_output("2 pages", 10), simulator.output())
        simulator.popen.send_signal(signal.SIGINT)
        self.assertEqual(simulator.wait(10), 0)
        self.assertIn("area released", simulator.output())

    def test_panel_emulator_shows_a_recorded_pair(self):
        with tempfile.NamedTemporaryFile(suffix=".bin") as recording:
            recording.write(model_pair(ONE_PAGE_TEXT, ONE_PAGE_MARKS) * 2)
            recording.flush()
            result = run(["/usr/bin/panel-emulator", "--dump", recording.name])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("pair 1\n|STPT \u2195 12   \u00b0 \\ AUTO     | 0000011111110000000000000\n",
                      result.stdout)

    def test_manual_pages_render_without_warnings(self):
        for program in PROGRAMS:
            page = f"/usr/share/man/man1/{program}.1.gz"
            result = run(["man", "--warnings", "-l", page],
                         env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stderr, "", f"{page}: {result.stderr}")
            text = re.sub(".\b", "", result.stdout)  # the overstrikes of bold and underline
            self.assertIn("EXIT STATUS", text)
            self.assertIn(f"panel-relay {VERSION}", text)

    def test_lintian_reports_no_error_and_no_warning(self):
        result = run(["lintian", "--display-info", DEB])
        findings = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(findings, [], result.stdout)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class PurgedPackage(unittest.TestCase):
    def test_purge_leaves_none_of_its_files(self):
        require_root(self)
        if installed_version() is not None:
            self.skipTest("panel-relay is installed on this machine already")
        self.assertEqual(run(["dpkg", "-i", DEB]).returncode, 0)
        listed = run(["dpkg", "-L", "panel-relay"]).stdout.split("\n")
        files = [path for path in listed if path and not os.path.isdir(path)]
        self.assertIn("/usr/bin/panel-relay", files)
        self.assertIn("/usr/share/doc/panel-relay/copyright", files)
        own = [path for path in listed if path.startswith("/usr/share/doc/panel-relay")]
        purge = run(["dpkg", "-P", "panel-relay"])
        self.assertEqual(purge.returncode, 0, purge.stdout + purge.stderr)
        self.assertIsNone(installed_version())
        self.assertEqual([path for path in files + own if os.path.lexists(path)], [])


if __name__ == "__main__":
    unittest.main()
