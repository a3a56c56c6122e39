"""panel-relay-com4 on prefixes made here: what its show form says in each state, what it
writes (and, in its system calls, how), and its refusals, after each of which the prefix is as it
was, byte for byte. Wine itself reading what it wrote is tested under Wine
(tests/e2e/test_com4_wine.py).

Usage: com4_tool_test.py EXE"""

import contextlib
import fcntl
import grp
import os
import pty
import pwd
import re
import resource
import shutil
import signal
import stat
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

    @contextlib.contextmanager
    def server_running(self):
        """A wineserver's lock on the prefix, as upstream Wine and Proton keep it (Debian's Wine:
        under Wine); its directory while held."""
        prefix_stat = os.stat(self.prefix)
        server = (f"/tmp/.wine-{prefix_stat.st_uid}/"
                  f"server-{prefix_stat.st_dev:x}-{prefix_stat.st_ino:x}")
        os.makedirs(server, mode=0o700)
        self.addCleanup(shutil.rmtree, server)
        with open(os.path.join(server, "lock"), "w") as lock:
            fcntl.lockf(lock, fcntl.LOCK_EX)
            yield server

    def set_value(self, device):
        """The registry value COM4 = device, as the tool writes it, without the tool."""
        with open(self.registry_path(), "w") as registry:
            registry.write(REGISTRY.replace("#time=1dd88200ab50eb4\n", "#time=1dd88200ab50eb4\n"
                                            f'"COM4"="{device}"\n'))

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

    def test_show_form_when_value_and_link_disagree_or_lead_to_nothing(self):
        usable = "            a character device; this user may read and write it\n"
        other_master, other_slave = pty.openpty()
        self.addCleanup(os.close, other_master)
        self.addCleanup(os.close, other_slave)
        other = os.ttyname(other_slave)
        self.set_value(self.device)
        os.symlink(other, self.link)
        self.assertEqual(self.tool(self.prefix).stdout,
                         f"COM4 in the Wine prefix {self.prefix}\n"
                         f"  registry: {KEY} \"COM4\" = {self.device}\n" + usable +
                         f"  link:     {self.link} -> {other}\n" + usable +
                         f"At the prefix's next start Wine makes the link lead to {self.device}.\n")

        gone = "/dev/serial/by-id/usb-Maker_Text_Panel_0001-if00"
        group = next((name for name in ("dialout", "uucp") if self.has_group(name)), None)
        nothing = ("            leads to nothing: no such device now (is the panel plugged in?)\n"
                   + (f"            serial devices here belong to the group '{group}'\n"
                      if group else ""))
        self.set_value(gone)
        os.unlink(self.link)
        os.symlink(gone, self.link)
        self.assertEqual(self.tool(self.prefix).stdout,
                         f"COM4 in the Wine prefix {self.prefix}\n"
                         f"  registry: {KEY} \"COM4\" = {gone}\n" + nothing +
                         f"  link:     {self.link} -> {gone}\n" + nothing +
                         "While it leads to nothing, panel-relay.exe still opens COM4 under Wine "
                         "(and\nrelays to nothing): plug the panel in before starting it.\n"
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
        # A dosdevices Wine has not made yet is made the prefix owner's, as Wine's would be.
        shutil.rmtree(os.path.dirname(self.link))
        self.assertEqual(self.tool(self.prefix, self.device).returncode, 0)
        made = os.stat(os.path.dirname(self.link))
        self.assertEqual((made.st_uid, made.st_gid), (nobody.pw_uid, nobody.pw_gid))
        self.assertEqual(os.lstat(self.link).st_uid, nobody.pw_uid)

    def test_help_is_an_answer_and_a_wrong_command_line_an_error(self):
        result = self.tool("--help")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(result.stdout.startswith("usage: panel-relay-com4 PREFIX"), result.stdout)
        for wrong in ([], ["--bogus"], ["--help", self.prefix], [self.prefix, self.device, "x"]):
            result = self.tool(*wrong)
            self.assertEqual((result.returncode, result.stdout), (2, ""), wrong)
            self.assertTrue(result.stderr.startswith("usage: panel-relay-com4 PREFIX"), wrong)
        self.assertEqual(self.registry(), REGISTRY.encode())

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
        with self.server_running() as server:
            held = self.tool(self.prefix, self.device)
            shown = self.tool(self.prefix)
        self.assert_refused(held, f"a wineserver runs for {self.prefix} \\({server}\\)")
        self.assertIn(f"A wineserver runs for this prefix now ({server})", shown.stdout)
        self.assertEqual(self.registry(), before)
        self.assertFalse(os.path.lexists(self.link))
        # Unlocked (a server that was killed leaves its directory): not refused.
        self.assertEqual(self.tool(self.prefix, self.device).returncode, 0)

    def test_a_write_that_fails_midway_leaves_the_registry_and_no_temporary_file(self):
        """A full file system, played by a file-size limit below the new registry's size: the
        write fails after the file is opened and part of it written."""
        before = self.registry()
        os.symlink("/dev/ttyS0", self.link)

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of the signal
            resource.setrlimit(resource.RLIMIT_FSIZE, (len(before), len(before)))

        result = run([TOOL, self.prefix, self.device], preexec_fn=limited)
        self.assert_refused(result, f"cannot write {self.prefix}/system.reg "
                                    f"\\({self.prefix}/system.reg.panel-relay-com4.\\w{{6}}: "
                                    "File too large\\); nothing was changed\n$")
        self.assertEqual(self.registry(), before)
        self.assertEqual(sorted(os.listdir(self.prefix)), ["dosdevices", "system.reg"])
        self.assertEqual(os.readlink(self.link), "/dev/ttyS0")

    def test_a_prefix_given_through_a_link_is_still_seen_served(self):
        before = self.registry()
        through = os.path.join(self.directory, "through")
        os.symlink(self.prefix, through)
        with self.server_running() as server:
            held = self.tool(through, self.device)
            shown = self.tool(through)
        self.assert_refused(held, f"a wineserver runs for {through} \\({server}\\)")
        self.assertIn(f"A wineserver runs for this prefix now ({server})", shown.stdout)
        self.assertEqual(self.registry(), before)
        self.assertFalse(os.path.lexists(self.link))

    def test_replacements_seen_in_system_calls(self):
        """The registry's new file reaches the disk before it is renamed over the old; the link
        is made under another name and renamed over the old one, so COM4 is never missing."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        trace = os.path.join(self.directory, "trace")
        os.symlink("/dev/ttyS0", self.link)
        environment = dict(os.environ)  # LeakSanitizer refuses to run under a tracer
        environment["ASAN_OPTIONS"] = environment.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        result = run(["strace", "-qq", "-o", trace, "-e",
                      "trace=openat,write,fsync,fdatasync,close,rename,renameat,renameat2,"
                      "unlink,unlinkat,symlink,symlinkat", TOOL, self.prefix, self.device],
                     env=environment)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.readlink(self.link), self.device)
        with open(trace) as lines:
            calls = [line.strip() for line in lines]

        def index(pattern, after=0):
            """The first call at or after `after` that matches pattern."""
            found = [i for i, call in enumerate(calls) if i >= after and re.search(pattern, call)]
            self.assertTrue(found, f"no call {pattern} in\n" + "\n".join(calls))
            return found[0]

        created = index(r'"system\.reg\.panel-relay-com4\.\w+", .*O_CREAT.*= \d+$')
        fd = calls[created].rsplit("=", 1)[1].strip()
        temporary = re.search(r'"(system\.reg\.panel-relay-com4\.\w+)"', calls[created]).group(1)
        written = index(rf"^write\({fd}, ", created)
        closed = index(rf"^close\({fd}\)", written)
        renamed = index(rf'^rename(at2?)?\(.*"{temporary}", .*"system\.reg"', created)
        synced = [i for i in range(written, closed)
                  if re.search(rf"^f(data)?sync\({fd}\)", calls[i])]
        self.assertTrue(synced, "the new registry was not synced to the disk before its close")
        self.assertLess(closed, renamed)

        made = index(r'^symlink(at)?\(".*", .*"com4\.panel-relay-com4\.\d+"\) = 0')
        moved = index(r'^rename(at2?)?\(.*"com4\.panel-relay-com4\.\d+", .*"com4"')
        self.assertLess(made, moved)
        self.assertEqual([call for call in calls
                          if re.search(r'^(unlink|symlink)(at)?\(.*"com4"[,)]', call)],
                         [], "the link COM4 was removed before its replacement was in place")

    def test_what_leads_out_of_a_prefix_of_another_user_is_refused(self):
        """Root, on a prefix of nobody: a system.reg that is a link (to a file only root may
        read), that is another's file linked in, or no regular file at all; a dosdevices that is
        a link to another directory, or a file. Each is refused, and nothing changes anywhere."""
        if os.geteuid() != 0:
            self.skipTest("a prefix of another user needs root")
        nobody = pwd.getpwnam("nobody")
        secret = os.path.join(self.directory, "root-only")
        with open(secret, "w") as registry:
            registry.write(REGISTRY)
        os.chmod(secret, 0o600)
        elsewhere = os.path.join(self.directory, "elsewhere")
        os.mkdir(elsewhere)
        registry = self.registry_path()
        dosdevices = os.path.dirname(self.link)

        def fifo(path):
            os.mkfifo(path)
            os.chown(path, nobody.pw_uid, nobody.pw_gid)

        cases = [
            (registry, lambda: os.symlink(secret, registry),
             f"{registry} is a symbolic link: only the prefix's own file is read and written, "
             "not what a link leads to", True),
            (registry, lambda: os.link(secret, registry),
             f"{registry} belongs to root, the prefix to nobody: it is not the registry of the "
             "prefix's Wine", True),
            (registry, lambda: fifo(registry), f"{registry} is not a regular file", True),
            (dosdevices, lambda: os.symlink(elsewhere, dosdevices),
             f"{dosdevices} is a symbolic link, not a directory of the prefix: the link com4 "
             "would be made where it leads", False),
            (dosdevices, lambda: open(dosdevices, "w").close(),
             f"{dosdevices} is not a directory", False),
        ]
        for replaced, shape, message, show_refused in cases:
            with self.subTest(message=message):
                # A fresh prefix of nobody's, whose system.reg or dosdevices is then replaced.
                shutil.rmtree(self.prefix)
                os.makedirs(dosdevices)
                with open(registry, "w") as written:
                    written.write(REGISTRY)
                for path in (self.prefix, registry, dosdevices):
                    os.chown(path, nobody.pw_uid, nobody.pw_gid)
                (shutil.rmtree if replaced == dosdevices else os.unlink)(replaced)
                shape()
                before = snapshot(self.directory)
                expected = re.escape(message + "; nothing was changed") + "\n$"
                self.assert_refused(self.tool(self.prefix, self.device), expected)
                if show_refused:
                    self.assert_refused(self.tool(self.prefix), expected)
                self.assertEqual(snapshot(self.directory), before)

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

    def test_the_group_named_is_this_systems(self):
        """Where serial devices belong to 'uucp' and there is no 'dialout' (Arch, SteamOS), the
        advice for a device and the note for a missing one name 'uucp'. The group file is this
        test's own, bound over /etc/group in a mount namespace."""
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("running it as another user needs root and setpriv")
        namespace.require(self)
        groups = os.path.join(self.directory, "group")
        with open(groups, "w") as group_file:
            group_file.write("root:x:0:\nuucp:x:987:\nnogroup:x:65534:\n")
        os.chown(self.device, 0, 987)
        os.chmod(self.device, 0o660)
        os.chmod(self.directory, 0o755)
        os.symlink(self.device, self.link)
        gone = "/dev/serial/by-id/usb-Maker_Text_Panel_0001-if00"
        self.set_value(gone)
        result = run(["unshare", "--mount", "--propagation", "private", "--",
                      "sh", "-c", 'mount --bind "$1" /etc/group && shift && exec "$@"', "sh",
                      groups, "setpriv", "--reuid=nobody", "--regid=65534", "--clear-groups",
                      TOOL, self.prefix])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"  registry: {KEY} \"COM4\" = {gone}\n"
                      "            leads to nothing: no such device now (is the panel plugged "
                      "in?)\n            serial devices here belong to the group 'uucp'\n"
                      f"  link:     {self.link} -> {self.device}\n"
                      "            a character device; this user may not read and write it\n"
                      "            join the group 'uucp' (sudo usermod -aG uucp \"$USER\"), then "
                      "log out and in again\n", result.stdout)

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


def snapshot(top):
    """Everything under top as it is: each entry's type, mode, owner and content or target."""
    entries = {}
    for directory, names, files in os.walk(top):
        for name in names + files:
            path = os.path.join(directory, name)
            status = os.lstat(path)
            if stat.S_ISLNK(status.st_mode):
                content = os.readlink(path)
            elif stat.S_ISREG(status.st_mode):
                with open(path, "rb") as opened:
                    content = opened.read()
            else:
                content = None
            entries[os.path.relpath(path, top)] = (status.st_mode, status.st_uid, status.st_gid,
                                                   content)
    return entries


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
