"""The native side of the chain: a private mount namespace for one run of the native relay.

Inside it, /dev is a fresh tmpfs holding only what the relay and its stand-in need: null, a bind
of the machine's /dev/pts (so the test's pseudo-terminals are the same there), ptmx, COM4 as a
symlink the test points where it likes, and a fresh tmpfs on /dev/shm for the area. Nothing made
in there reaches the machine's /dev or /dev/shm, and it all goes when the namespace's last
process ends.

A holder process (this file run as a program under `unshare --mount`) builds the namespace and
keeps it alive; the test runs programs in it with `nsenter`, which execs them, so each keeps the
process id the test started and sees its signals first-hand. The holder takes commands on its
standard input, one a line, and answers "ok" or "error ...":
  com4 PATH        /dev/COM4 becomes a symlink to PATH
  com4 -           /dev/COM4 goes away
  sparse PATH SIZE  a file of SIZE bytes, none of them stored (for an area too large to map)
"""

import ctypes
import os
import shutil
import subprocess
import sys

MS_BIND = 4096

# Set (to anything) where the tests must run: a missing namespace then fails instead of skipping.
REQUIRE_VARIABLE = "PANEL_RELAY_REQUIRE_NAMESPACES"


def _unshare_command():
    command = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        command.append("--map-root-user")  # a private namespace of one's own, where permitted
    return command


def _root_is_mount_point():
    """Whether this process's root directory is a mount point. A chroot on a plain directory is
    not, and no mount namespace can be made private there."""
    with open("/proc/self/mountinfo") as mounts:
        return any(line.split()[4] == "/" for line in mounts)


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
    if not _root_is_mount_point():
        return ("the root directory is not a mount point (a chroot on a plain directory), so no "
                "private mount namespace can be made here")
    probe = subprocess.run(_unshare_command() + ["--", "mount", "-t", "tmpfs", "probe", "/dev"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
    if probe.returncode != 0:
        return ("private mount namespaces are not permitted here: "
                + probe.stderr.decode(errors="replace").strip())
    return None


def require(test, skip_prefix=""):
    """The one rule for a test that needs a namespace: where none can be made it skips with the
    reason (after skip_prefix), or fails where REQUIRE_VARIABLE says the namespaces must be
    there."""
    reason = unavailable_reason()
    if reason is None:
        return
    if os.environ.get(REQUIRE_VARIABLE):
        test.fail(reason)
    test.skipTest(skip_prefix + reason)


def private_shm_command(argv):
    """The argv that runs argv in a namespace of its own with an empty /dev/shm."""
    return _unshare_command() + ["--", "sh", "-c", 'mount -t tmpfs tmpfs /dev/shm && exec "$@"',
                                 "sh", *argv]


class MountNamespace:
    """The holder of one namespace; command() gives the argv that runs a program inside it."""

    def __init__(self):
        self._holder = subprocess.Popen(
            _unshare_command() + ["--", sys.executable, os.path.abspath(__file__)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._expect_ok()
        self.pid = self._holder.pid  # unshare execs the holder: same process

    def _expect_ok(self):
        line = self._holder.stdout.readline().decode(errors="replace").strip()
        if line != "ok":
            error = self._holder.stderr.read().decode(errors="replace") if not line else ""
            raise RuntimeError(f"namespace holder said {line!r} {error}")

    def _command(self, line):
        self._holder.stdin.write(line.encode() + b"\n")
        self._holder.stdin.flush()
        self._expect_ok()

    def command(self, argv):
        # Entering a mount namespace puts a process at that namespace's own root; inside a
        # chroot that root is outside it. The holder's root and directory are where it stands.
        entered = [f"--mount=/proc/{self.pid}/ns/mnt", f"--root=/proc/{self.pid}/root",
                   f"--wd=/proc/{self.pid}/cwd"]
        if os.geteuid() != 0:
            # The namespace belongs to the holder's user namespace, so that is entered too.
            entered[:0] = [f"--user=/proc/{self.pid}/ns/user", "--preserve-credentials"]
        return ["nsenter", *entered, "--", *argv]

    def point_com4(self, device):
        self._command(f"com4 {device if device is not None else '-'}")

    env = None  # programs run in here with this process's environment

    def program_pid(self, popen, _exe):
        return popen.pid  # nsenter execs the program

    def helper_pids(self):
        return []

    def sparse_file(self, path, size):
        self._command(f"sparse {path} {size}")

    def close(self):
        if self._holder.poll() is None:
            self._holder.stdin.close()
            try:
                self._holder.wait(10)
            except subprocess.TimeoutExpired:
                self._holder.kill()
                self._holder.wait()
        self._holder.stdout.close()
        self._holder.stderr.close()


# --- The holder, inside the new namespace ---------------------------------------------------------

def _mount(source, target, fstype, flags, options):
    libc = ctypes.CDLL(None, use_errno=True)
    result = libc.mount(source.encode(), target.encode(), fstype.encode() if fstype else None,
                        ctypes.c_ulong(flags), options.encode() if options else None)
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"mount {source} on {target}: {os.strerror(error)}")


def _build_dev():
    # Held open across the tmpfs mount, which hides the originals; bound back from these.
    pts = os.open("/dev/pts", os.O_RDONLY | os.O_DIRECTORY)
    null = os.open("/dev/null", os.O_RDWR)
    _mount("panel-relay-dev", "/dev", "tmpfs", 0, "mode=755,size=1m")
    os.mkdir("/dev/pts")
    _mount(f"/proc/self/fd/{pts}", "/dev/pts", None, MS_BIND, None)
    os.close(os.open("/dev/null", os.O_CREAT | os.O_WRONLY, 0o666))
    _mount(f"/proc/self/fd/{null}", "/dev/null", None, MS_BIND, None)
    os.close(pts)
    os.close(null)
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.mkdir("/dev/shm")
    _mount("panel-relay-shm", "/dev/shm", "tmpfs", 0, "mode=1777")


def _serve():
    for line in sys.stdin:
        words = line.split()
        try:
            if len(words) == 2 and words[0] == "com4":
                if os.path.lexists("/dev/COM4"):
                    os.unlink("/dev/COM4")
                if words[1] != "-":
                    os.symlink(words[1], "/dev/COM4")
            elif len(words) == 3 and words[0] == "sparse":
                with open(words[1], "wb") as sparse:
                    sparse.truncate(int(words[2]))
            else:
                raise ValueError(f"unknown command {line.strip()!r}")
            print("ok", flush=True)
        except (OSError, ValueError) as error:
            print(f"error {error}", flush=True)


if __name__ == "__main__":
    try:
        _build_dev()
    except OSError as error:
        print(f"error {error}", flush=True)
        sys.exit(1)
    print("ok", flush=True)
    _serve()
