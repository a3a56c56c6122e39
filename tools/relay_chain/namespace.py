"""The native side of the chain: a private mount namespace for one run of the native relay.

Inside it /dev is a fresh tmpfs with only null, the machine's /dev/pts (so the test's
pseudo-terminals are the same there), ptmx, COM4 (a symlink the test points where it likes) and
a fresh /dev/shm for the area; nothing made there reaches the machine, and it all goes with the
namespace. Shaped like a usual PC, it also has the serial ports /dev/ttyS0 up, which the kernel
makes whether the hardware is there or not (and Wine maps as COM ports at a prefix's start).

A holder (this file run under `unshare --mount`) builds it and keeps it alive until its standard
input closes; the test reaches its files through /proc/PID/root, and runs programs in it with
`nsenter`, which execs them, so each keeps its process id and gets signals first-hand.
"""

import ctypes
import os
import shutil
import stat
import subprocess
import sys

# Set (to anything) where the tests must run: a missing namespace then fails instead of skipping.
REQUIRE_VARIABLE = "PANEL_RELAY_REQUIRE_NAMESPACES"


def _unshare_command():
    command = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        command.append("--map-root-user")  # a private namespace of one's own, where permitted
    return command


_reason = None  # why namespaces cannot be had, once asked


def unavailable_reason():
    """None where private mount namespaces with tmpfs mounts can be made, else why not."""
    global _reason
    if _reason is None:
        _reason = _probe() or ""
    return _reason or None


def _probe():
    if shutil.which("unshare") is None or shutil.which("nsenter") is None:
        return "unshare or nsenter is not installed"
    with open("/proc/self/mountinfo") as mounts:  # a chroot on a plain directory is not one
        if not any(line.split()[4] == "/" for line in mounts):
            return ("the root directory is not a mount point (a chroot on a plain directory), "
                    "so no private mount namespace can be made here")
    probe = subprocess.run(_unshare_command() + ["--", "mount", "-t", "tmpfs", "probe", "/dev"],
                           stdin=subprocess.DEVNULL, capture_output=True)
    if probe.returncode != 0:
        return ("private mount namespaces are not permitted here: "
                + probe.stderr.decode(errors="replace").strip())
    return None


def require(test, skip_prefix=""):
    """The one rule for a test that needs a namespace: where none can be made it skips with the
    reason (after skip_prefix), or fails where REQUIRE_VARIABLE says they must be there."""
    reason = unavailable_reason()
    if reason is not None:
        if os.environ.get(REQUIRE_VARIABLE):
            test.fail(reason)
        test.skipTest(skip_prefix + reason)


class MountNamespace:
    """The holder of one namespace; command() gives the argv that runs a program inside it."""

    env = None  # programs run in here with this process's environment

    def __init__(self, serial_ports=0):
        self._holder = subprocess.Popen(
            _unshare_command() + ["--", sys.executable, os.path.abspath(__file__),
                                  str(serial_ports)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        said = self._holder.stdout.readline()
        if said != b"ok\n":
            self.close()
            raise RuntimeError(f"namespace holder said {said!r} {self._holder.stderr.read()!r}")
        self.pid = self._holder.pid  # unshare execs the holder: same process
        self.root = f"/proc/{self.pid}/root"  # the namespace's files, seen from here

    def command(self, argv):
        # Entering a mount namespace puts a process at that namespace's own root; inside a
        # chroot that root is outside it. The holder's root and directory are where it stands.
        entered = [f"--mount=/proc/{self.pid}/ns/mnt", f"--root={self.root}",
                   f"--wd=/proc/{self.pid}/cwd"]
        if os.geteuid() != 0:
            # The namespace belongs to the holder's user namespace, so that is entered too.
            entered[:0] = [f"--user=/proc/{self.pid}/ns/user", "--preserve-credentials"]
        return ["nsenter", *entered, "--", *argv]

    def point_com4(self, device):
        """/dev/COM4 becomes a symlink to device, or goes away when device is None."""
        link = self.root + "/dev/COM4"
        if os.path.lexists(link):
            os.unlink(link)
        if device is not None:
            os.symlink(device, link)

    def program_pid(self, popen, _exe):
        return popen.pid  # nsenter execs the program

    def helper_pids(self):
        return []

    def sparse_file(self, path, size):
        """A file of size bytes in the namespace, none of them stored."""
        with open(self.root + path, "wb") as sparse:
            sparse.truncate(size)

    def close(self):
        self._holder.stdin.close()
        try:
            self._holder.wait(10)
        except subprocess.TimeoutExpired:
            self._holder.kill()
            self._holder.wait()
        self._holder.stdout.close()
        self._holder.stderr.close()


def _mount(source, target, fstype=None, flags=0, options=None):
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mount(source.encode(), target.encode(), fstype and fstype.encode(),
                  ctypes.c_ulong(flags), options and options.encode()) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"mount {source} on {target}: {os.strerror(error)}")


def _build_dev(serial_ports):
    # Held open across the tmpfs mount, which hides the originals; bound back from these.
    pts = os.open("/dev/pts", os.O_RDONLY | os.O_DIRECTORY)
    null = os.open("/dev/null", os.O_RDWR)
    _mount("panel-relay-dev", "/dev", "tmpfs", 0, "mode=755,size=1m")
    os.mkdir("/dev/pts")
    _mount(f"/proc/self/fd/{pts}", "/dev/pts", flags=4096)  # MS_BIND
    os.close(os.open("/dev/null", os.O_CREAT | os.O_WRONLY, 0o666))
    _mount(f"/proc/self/fd/{null}", "/dev/null", flags=4096)
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.mkdir("/dev/shm")
    _mount("panel-relay-shm", "/dev/shm", "tmpfs", 0, "mode=1777")
    for number in range(serial_ports):
        path = f"/dev/ttyS{number}"
        try:  # the 8250 driver's node: major 4, minors from 64
            os.mknod(path, 0o660 | stat.S_IFCHR, os.makedev(4, 64 + number))
        except PermissionError:  # no mknod in a user namespace: a device all may open
            os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o666))
            _mount(f"/proc/self/fd/{null}", path, flags=4096)


if __name__ == "__main__":  # the holder
    try:
        _build_dev(int(sys.argv[1]))
    except OSError as error:
        sys.exit(f"error {error}")
    print("ok", flush=True)
    sys.stdin.read()  # until the test closes the namespace
