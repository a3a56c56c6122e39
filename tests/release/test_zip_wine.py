"""The Windows zip as a user gets it: extracted into an empty directory, its programs and its
launcher run in fresh Wine prefixes, COM4 a pseudo-terminal held by the test."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import release_files
from release_files import ONE_PAGE, ONE_PAGE_MARKS, ONE_PAGE_TEXT, VERSION, ZIP
from relay_cases import (BANNER, CONNECTED, COUNTDOWN, NO_PORT, ORDINARY_RUN, PAIR, RESTART,
                         model_pair)
from relay_chain.processes import fold, processes_with
from relay_chain.rig import Rig
from relay_chain.wine import WinePrefix, windows_path

TOP = f"panel-relay-{VERSION}-windows-x64"
LAUNCHER = "Start panel-relay.cmd"
PAUSE_PROMPT = "Press any key to continue"
SERIALCOMM = r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"
# What the launcher adds after a failing run, before its pause.
PORTS = "\nSerial ports Windows knows now: {}\n"
HOW_TO_GIVE_COM4 = (
    "panel-relay uses COM4 only. To give the panel's adapter COM4: Device Manager >\n"
    "Ports (COM & LPT) > the adapter > Properties > Port Settings > Advanced >\n"
    "COM Port Number > COM4. Then start panel-relay again.\n")
NO_SERIAL_PORT = (
    "\nWindows knows no serial port now: the panel's USB-serial adapter is not plugged\n"
    "in, or its driver is not installed.\n")


def wine_processes_of(prefix, program):
    """Process ids of the Windows program running in prefix."""
    found = []
    for pid in processes_with(f"WINEPREFIX={prefix.path}".encode()):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if program.encode() in cmdline.read():
                    found.append(pid)
        except OSError:
            pass
    return found


def setUpModule():
    release_files.require_release()


class ZipUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.mkdtemp(prefix="panel-relay-zip-")
        with zipfile.ZipFile(ZIP) as archive:
            archive.extractall(cls.directory)
        cls.unpacked = os.path.join(cls.directory, TOP)
        cls.template = os.environ.get("PANEL_RELAY_WINE_TEMPLATE") or os.path.join(
            release_files.ROOT, "build", "release-tests", "wine-template")
        os.makedirs(os.path.dirname(cls.template), exist_ok=True)  # made by the first prefix

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.directory, ignore_errors=True)

    def setUp(self):
        self.rig = Rig(WinePrefix(self.template), self.program("panel-relay.exe"))
        self.addCleanup(self.rig.close)
        self.prefix, self.panel = self.rig.place, self.rig.panel

    def program(self, name):
        return os.path.join(self.unpacked, name)

    def start_simulator(self):
        """The zip's sim-emulator.exe publishing ONE_PAGE in this prefix."""
        pages = os.path.join(self.prefix.directory, "one-page.txt")
        with open(pages, "w") as page_file:
            page_file.write(ONE_PAGE)
        simulator = self.rig.start([self.program("sim-emulator.exe"), "--pages",
                                    windows_path(pages)])
        self.assertIsNotNone(simulator.wait_for_output("1 page", 60), simulator.output())
        return simulator

    def stop(self, process, status=0):
        process.interrupt()
        self.assertEqual(process.wait(20), status)

    def test_the_zip_holds_what_a_user_needs(self):
        with zipfile.ZipFile(ZIP) as archive:
            names = sorted(name for name in archive.namelist() if not name.endswith("/"))
            firmware_hex = archive.read(f"{TOP}/firmware/relay_panel.hex")
            readme = archive.read(f"{TOP}/README.txt")
            launcher = archive.read(f"{TOP}/{LAUNCHER}")
        self.assertEqual(names, sorted(f"{TOP}/{name}" for name in [
            "panel-relay.exe", "sim-emulator.exe", "panel-emulator.exe", LAUNCHER,
            "README.txt", "LICENSE.txt", "pages.txt", *release_files.firmware_files()]))
        self.assertTrue(firmware_hex.startswith(b":"), "the firmware is no Intel hex file")
        for text in (readme, launcher):
            self.assertNotIn(b"\n", text.replace(b"\r\n", b""), "a line end is not CRLF")
        self.assertIn(f"panel-relay {VERSION}".encode(), readme)

    def test_programs_import_only_system_dlls(self):
        check = os.path.join(release_files.ROOT, "tests", "win32", "check_imports.py")
        for name in ("panel-relay.exe", "sim-emulator.exe", "panel-emulator.exe"):
            result = subprocess.run([sys.executable, check, self.program(name)],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, f"{name}: {result.stdout}")

    def test_emulators_print_the_projects_version(self):
        for emulator in ("sim-emulator", "panel-emulator"):
            result = subprocess.run(["wine", self.program(f"{emulator}.exe"), "--version"],
                                    env=self.prefix.env, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=60)
            self.assertEqual((result.returncode, fold(result.stdout)),
                             (0, f"{emulator} {VERSION}\n"))

    def test_no_port(self):
        relay = self.rig.start_relay()
        self.assertEqual(relay.wait(30), 1)
        self.assertEqual(relay.output(), BANNER + NO_PORT)

    def test_relays_the_simulator_emulators_page_and_ends_with_0_on_ctrl_c(self):
        simulator = self.start_simulator()
        self.prefix.point_com4(self.panel.slave_path)
        relay = self.rig.start_relay()
        self.assertIsNotNone(relay.wait_for_output(CONNECTED, 40), relay.output())
        self.assertTrue(self.panel.wait_for_bytes(3 * PAIR, 10))
        self.stop(relay, 0)
        stream = self.panel.data()
        pairs = len(stream) // PAIR
        self.assertGreaterEqual(pairs, 3)
        self.assertEqual(stream, model_pair(ONE_PAGE_TEXT, ONE_PAGE_MARKS) * pairs)
        self.stop(simulator, 0)

    def launcher(self):
        """The launcher as a double click runs it: cmd given its full path."""
        launcher = self.rig.start(["cmd", "/c", windows_path(self.program(LAUNCHER))],
                                  stdin=subprocess.PIPE)
        self.addCleanup(launcher.popen.stdin.close)
        return launcher

    def test_launcher_waits_at_pause_after_a_failing_run(self):
        launcher = self.launcher()
        self.assertIsNotNone(launcher.wait_for_output(PAUSE_PROMPT, 30), launcher.output())
        self.assertTrue(launcher.output().startswith(BANNER + NO_PORT), launcher.output())
        time.sleep(2)
        self.assertIsNone(launcher.popen.poll(), "the window closed without waiting for a key")
        launcher.popen.stdin.write(b"\r\n")
        launcher.popen.stdin.close()
        self.assertEqual(launcher.wait(20), 1, "the launcher does not pass the status on")

    def test_launcher_ends_without_pause_after_a_run_that_ends_with_0(self):
        simulator = self.start_simulator()
        self.prefix.point_com4(self.panel.slave_path)
        launcher = self.launcher()
        self.assertIsNotNone(launcher.wait_for_output(CONNECTED, 40), launcher.output())
        relays = wine_processes_of(self.prefix, "panel-relay.exe")
        self.assertEqual(len(relays), 1, "the relay the launcher started is not to be found")
        os.kill(relays[0], signal.SIGINT)  # Ctrl+C to the relay alone
        self.assertEqual(launcher.wait(20), 0, launcher.output())
        self.assertEqual(launcher.output(), ORDINARY_RUN)  # no ports, no pause
        self.stop(simulator, 0)

    def serial_ports(self, entries):
        """Makes SERIALCOMM hold just entries, (device, port) pairs, in place of the ports Wine
        entered from the machine's own serial devices; with entries None, removes the key."""
        commands = [["reg", "delete", SERIALCOMM, "/f", *([] if entries is None else ["/va"])]]
        commands += [["reg", "add", SERIALCOMM, "/v", device, "/d", port, "/f"]
                     for device, port in entries or []]
        for command in commands:
            result = subprocess.run(self.prefix.command(command), env=self.prefix.env,
                                    stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 0, fold(result.stdout))

    def until_pause(self, launcher, timeout=30):
        """What the launcher printed before its pause, and its status once a key is pressed."""
        self.assertIsNotNone(launcher.wait_for_output(PAUSE_PROMPT, timeout), launcher.output())
        printed = launcher.output().split(PAUSE_PROMPT)[0]
        launcher.popen.stdin.write(b"\r\n")
        launcher.popen.stdin.close()
        return printed, launcher.wait(20)

    def test_launcher_without_com4_lists_the_ports_and_how_to_give_the_adapter_com4(self):
        # COM40 is not COM4; a driver's device name may hold spaces.
        self.serial_ports([("\\Device\\BthModem0", "COM40"), ("\\Device\\Serial0", "COM1"),
                           ("\\Device\\USB Serial 2", "COM7")])
        self.assertEqual(self.until_pause(self.launcher()), (
            BANNER + NO_PORT + PORTS.format("COM40 COM1 COM7") + HOW_TO_GIVE_COM4, 1))

    def test_launcher_without_any_serial_port_says_so(self):
        for entries in ([], None):  # the key empty, or not there at all
            self.serial_ports(entries)
            self.assertEqual(self.until_pause(self.launcher()),
                             (BANNER + NO_PORT + NO_SERIAL_PORT, 1), entries)

    def test_launcher_lists_the_ports_alone_when_com4_is_known(self):
        # Known to Windows, but gone when the relay opens it again after the countdown.
        self.serial_ports([("\\Device\\Serial0", "COM1"), ("\\Device\\VCP0", "COM4")])
        self.prefix.point_com4(self.panel.slave_path)
        launcher = self.launcher()
        self.assertIsNotNone(launcher.wait_for_output(RESTART, 30), launcher.output())
        self.prefix.point_com4(None)
        self.assertEqual(self.until_pause(launcher, 40), (
            BANNER + RESTART + COUNTDOWN + NO_PORT + PORTS.format("COM1 COM4"), 1))


if __name__ == "__main__":
    unittest.main()
