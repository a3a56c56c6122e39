"""panel-relay-com4 on prefixes made here: what its show form says in each state, what it
writes, and its refusals, after each of which the prefix is as it was, byte for byte. Wine itself
reading what it wrote is tested under Wine (tests/e2e/test_com4_wine.py).

Usage: com4_tool_test.py EXE"""

import fcntl
import grp
import os
import pty
import pwd
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from relay_chain import namespace  # noqa: E402

TOOL = None
KEY = "HKLM\\Software\\Wine\\Ports"
# The start of a prefix's system.reg as Wine writes it, with the Ports key it makes.
REGISTRY = ("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n"
            "#arch=win64\n\n[Software\\\\Wine\\\\Ports] 1796849909\n#time=1dd88200ab50eb4\n\n"
            "[Software\\\\Wine\\\\Other] 1796849909\n\"A\"=\"1\"\n")


def run(argv, **options):
    return subprocess.run(argv, capture_output=True, text=True, timeout=30, **options)


class Com4Tool(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="panel-relay-com4-test-")
        self.addCleanup(shutil.rmtree, self.directory)
        self.prefix = os.path.join(self.directory, "pfx")
        os.makedirs(os.path.join(self.prefix, "dosdevices"))
        with open(self.registry_path(), "w") as registry:
            registry.write(REGISTRY)
        master, slave = pty.openpty()  # the panel's line: a character device
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        self.device = os.ttyname(slave)
        self.link = os.path.join(self.prefix, "dosdevices", "com4")

    def registry_path(self):
        return os.path.join(self.prefix, "system.reg")

    def registry(self):
        with open(self.registry_path(), "rb") as registry:
            return registry.read()

    def tool(self, *arguments, argv_prefix=()):
        return run([*argv_prefix, TOOL, *arguments])

    def assert_refused(self, result, message):
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(result.stdout, "")
        self.assertRegex(result.stderr, "^panel-relay-com4: " + message)

    def test_show_form_in_each_state(self):
        usable = "            a character device; this user may read and write it\n"
        self.assertEqual(self.tool(self.prefix).stdout,
                         f"COM4 in the Wine prefix {self.prefix}\n"
                         f"  registry: no value \"COM4\" under {KEY}\n"
                         f"  link:     no {self.link}\n"
                         f"To give the prefix a COM4: panel-relay-com4 {self.prefix} DEVICE\n")
        os.symlink(self.device, self.link)
        self.assertEqual(self.tool(self.prefix + "/").stdout,
                         f"COM4 in the Wine prefix {self.prefix}\n"
                         f"  registry: no value \"COM4\" under {KEY}\n"
                         f"  link:     {self.link} -> {self.device}\n" + usable +
                         "Without the registry value Wine replaces this link at the prefix's "
                         "next start\nwhen it finds four serial devices (most PCs have "
                         "/dev/ttyS0 to /dev/ttyS3).\n"
                         f"To keep COM4: panel-relay-com4 {self.prefix} DEVICE\n")
        self.assertEqual(self.tool(self.prefix, self.device).returncode, 0)
        self.assertEqual(self.tool(self.prefix).stdout,
                         f"COM4 in the Wine prefix {self.prefix}\n"
                         f"  registry: {KEY} \"COM4\" = {self.device}\n" + usable +
                         f"  link:     {self.link} -> {self.device}\n" + usable +
                         "Wine keeps this COM4 at every start of the prefix.\n")

    def test_set_writes_the_value_and_the_link_and_keeps_the_rest(self):
        result = self.tool(self.prefix, self.device)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith(
            f"COM4 of the Wine prefix {self.prefix} is now {self.device}:\n"), result.stdout)
        value = f'"COM4"="{self.device}"\n'
        expected = REGISTRY.replace("#time=1dd88200ab50eb4\n", "#time=1dd88200ab50eb4\n" + value)
        self.assertEqual(self.registry(), expected.encode())
        self.assertEqual(os.readlink(self.link), self.device)
        # No temporary file or link is left beside them.
        self.assertEqual(sorted(os.listdir(self.prefix)), ["dosdevices", "system.reg"])
        self.assertEqual(os.listdir(os.path.dirname(self.link)), ["com4"])

    def test_a_prefix_of_another_user_keeps_its_owner_and_modes(self):
        if os.geteuid() != 0:
            self.skipTest("giving files to another user needs root")
        nobody = pwd.getpwnam("nobody")
        for path in (self.prefix, self.registry_path(), os.path.dirname(self.link)):
            os.chown(path, nobody.pw_uid, nobody.pw_gid)
        os.chmod(self.registry_path(), 0o640)
        self.assertEqual(self.tool(self.prefix, self.device).returncode, 0)
        written = os.stat(self.registry_path())
        self.assertEqual((written.st_uid, written.st_gid, written.st_mode & 0o7777),
                         (nobody.pw_uid, nobody.pw_gid, 0o640))
        self.assertEqual(os.lstat(self.link).st_uid, nobody.pw_uid)

    def test_refusals_leave_the_prefix_as_it_was(self):
        before = self.registry()
        not_a_device = os.path.join(self.directory, "file")
        open(not_a_device, "w").close()
        self.assert_refused(self.tool(self.directory, self.device),
                            f"{self.directory} is not a Wine prefix \\(it has no system.reg\\)")
        self.assertFalse(os.path.exists(os.path.join(self.directory, "dosdevices")))
        self.assert_refused(self.tool(self.prefix, "/dev/serial/by-id/usb-none"),
                            "/dev/serial/by-id/usb-none does not exist")
        self.assert_refused(self.tool(self.prefix, "dev/ttyUSB0"), "DEVICE must be an absolute")
        self.assert_refused(self.tool(self.prefix, not_a_device), ".* is not a serial device")
        # A wineserver's lock, as upstream Wine and Proton keep it (Debian's Wine: under Wine).
        prefix_stat = os.stat(self.prefix)
        server = (f"/tmp/.wine-{prefix_stat.st_uid}/"
                  f"server-{prefix_stat.st_dev:x}-{prefix_stat.st_ino:x}")
        os.makedirs(server, mode=0o700)
        self.addCleanup(shutil.rmtree, server)
        with open(os.path.join(server, "lock"), "w") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            held = self.tool(self.prefix, self.device)
            shown = self.tool(self.prefix)
        self.assert_refused(held, f"a wineserver runs for {self.prefix} \\({server}\\)")
        self.assertIn(f"A wineserver runs for this prefix now ({server})", shown.stdout)
        self.assertEqual(self.registry(), before)
        self.assertFalse(os.path.lexists(self.link))
        # Unlocked (a server that was killed leaves its directory): not refused.
        self.assertEqual(self.tool(self.prefix, self.device).returncode, 0)

    def test_a_file_it_cannot_write_is_refused_with_nothing_changed(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("running it as another user needs root and setpriv")
        before = self.registry()
        os.chmod(self.directory, 0o755)  # nobody may reach the prefix, not write in it
        result = self.tool(self.prefix, self.device, argv_prefix=[
            "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"])
        self.assert_refused(result, f"cannot write {self.prefix}/system.reg .*nothing was changed")
        self.assertEqual(self.registry(), before)
        self.assertFalse(os.path.lexists(self.link))

    def test_a_user_without_the_devices_group_is_told_which_to_join(self):
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("running it as another user needs root and setpriv")
        group = next((name for name in ("dialout", "uucp") if self.has_group(name)), None)
        if group is None:
            self.skipTest("no dialout or uucp group here")
        os.chown(self.device, 0, grp.getgrnam(group).gr_gid)
        os.chmod(self.device, 0o660)
        os.chmod(self.directory, 0o755)
        os.symlink(self.device, self.link)
        result = self.tool(self.prefix, argv_prefix=[
            "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"])
        self.assertIn(f"  link:     {self.link} -> {self.device}\n"
                      "            a character device; this user may not read and write it\n"
                      f"            join the group '{group}' (sudo usermod -aG {group} "
                      "\"$USER\"), then log out and in again\n", result.stdout)

    @staticmethod
    def has_group(name):
        try:
            grp.getgrnam(name)
            return True
        except KeyError:
            return False

    def test_a_bare_node_is_told_its_stable_name(self):
        namespace.require(self)
        machine = namespace.MountNamespace()
        self.addCleanup(machine.close)
        stable = "/dev/serial/by-id/usb-Maker_Text_Panel_0001-if00"
        os.makedirs(machine.root + "/dev/serial/by-id")
        os.symlink(self.device, machine.root + "/dev/ttyACM0")  # the node, as the kernel names it
        os.symlink("../../ttyACM0", machine.root + stable)  # and udev's link to it
        result = run(machine.command([TOOL, self.prefix, "/dev/ttyACM0"]))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Note: /dev/ttyACM0 is a name the kernel gives in turn; should the panel "
                      "come back as\nanother node, COM4 would miss it. Its stable name follows "
                      f"it:\n  panel-relay-com4 {self.prefix} {stable}\n", result.stdout)
        self.assertEqual(os.readlink(self.link), "/dev/ttyACM0")  # used exactly as given
        shown = run(machine.command([TOOL, self.prefix]))
        self.assertIn(f"  link:     {self.link} -> /dev/ttyACM0\n"
                      f"            leads to {self.device}, a character device; this user may "
                      "read and write it\n"
                      "            its stable name, which follows the adapter to another node, "
                      f"is\n            {stable}\n", shown.stdout)
        result = run(machine.command([TOOL, self.prefix, stable]))
        self.assertNotIn("Note:", result.stdout)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
