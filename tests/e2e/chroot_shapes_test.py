"""The native end-to-end tests in the two shapes of chroot that distribution build tools give a
test suite: a root that is a plain directory, where no private mount namespace can be made, so
the tests skip with one reason (and fail when the namespaces are required); and a root
bind-mounted onto itself, where the tests run, and what they start runs inside the chroot.

Each shape is a chroot made of binds of this machine's own directories, inside a mount
namespace of the test's, so nothing of it reaches the machine. Needs root."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from relay_chain import namespace  # noqa: E402

# One test of each file that needs a namespace: the relay's, and the simulator emulator's.
RELAY_CASE = [os.path.join(HERE, "test_relay_native.py"), "-v", "NativeRelay.test_no_port"]
EMULATOR_CASE = [os.path.join(HERE, "..", "tools", "sim_emulator_test.py"),
                 os.environ.get("SIM_EMULATOR_BIN", ""), "-v",
                 "SimEmulator.test_malformed_page_file_publishes_nothing"]
NOT_TRIED = "chroot shapes not tried: "  # how a skip of this test shows
FRESH = {"proc": "proc", "tmp": "tmpfs", "run": "tmpfs"}  # made new, not bound
BOUND_WHOLE = ("dev", "sys")  # bound with what is mounted below them


def build_and_enter(root, shape, argv):
    """(In a namespace of its own.) Lays out the chroot at root in the given shape and runs argv
    in it; returns its exit status."""
    if shape == "bound":
        subprocess.run(["mount", "--bind", root, root], check=True)
    for name in os.listdir("/"):
        source, target = os.path.join("/", name), os.path.join(root, name)
        if os.path.islink(source):
            os.symlink(os.readlink(source), target)
        elif os.path.isdir(source) and name != "lost+found":
            os.mkdir(target)
            if name in FRESH:
                subprocess.run(["mount", "-t", FRESH[name], FRESH[name], target], check=True)
            else:
                recursive = "--rbind" if name in BOUND_WHOLE else "--bind"
                subprocess.run(["mount", recursive, source, target], check=True)
    # A checkout or a build under a directory made fresh here (/tmp, say) is bound back in at
    # its place.
    programs = [os.environ[name] for name in ("PANEL_RELAY_BIN", "AREA_STANDIN_BIN",
                                              "SIM_EMULATOR_BIN") if os.environ.get(name)]
    for place in [os.path.join(HERE, "..", ".."), *map(os.path.dirname, programs)]:
        place = os.path.realpath(place)
        inside = os.path.join(root, os.path.relpath(place, "/"))
        if not os.path.isdir(inside) or not os.listdir(inside):
            os.makedirs(inside, exist_ok=True)
            subprocess.run(["mount", "--bind", place, inside], check=True)
    # The relay runs from where only the chroot has it (its own /tmp), as a package build's
    # programs do: started anywhere else, it is not found.
    only_here = tempfile.mkdtemp(dir=os.path.join(root, "tmp"))
    relay = shutil.copy2(os.environ["PANEL_RELAY_BIN"], only_here)
    os.environ["PANEL_RELAY_BIN"] = "/" + os.path.relpath(relay, root)
    return subprocess.run(["chroot", root, *argv]).returncode


class ChrootShapes(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest(NOT_TRIED + "making a chroot needs root")
        namespace.require(self, NOT_TRIED)

    def run_case(self, shape, require, case):
        scratch = tempfile.mkdtemp(prefix="panel-relay-chroot-", dir="/tmp")
        root = os.path.join(scratch, "root")
        os.mkdir(root)
        environment = dict(os.environ)
        environment.pop(namespace.REQUIRE_VARIABLE, None)
        if require:
            environment[namespace.REQUIRE_VARIABLE] = "1"
        try:
            result = subprocess.run(
                ["unshare", "--mount", "--propagation", "private", "--", sys.executable,
                 os.path.abspath(__file__), "--inside", root, shape, sys.executable, *case],
                env=environment, capture_output=True, timeout=120)
        finally:
            # The binds lived in the namespace only; here these are empty directories.
            for name in os.listdir(root):
                path = os.path.join(root, name)
                if not os.path.islink(path) and os.listdir(path):
                    raise AssertionError(f"{path} is not empty outside the namespace")
            shutil.rmtree(scratch)
        return result.returncode, result.stderr.decode(errors="replace")

    def test_root_bound_onto_itself_runs_the_tests(self):
        for case in (RELAY_CASE, EMULATOR_CASE):
            with self.subTest(case=case[-1]):
                status, report = self.run_case("bound", True, case)
                self.assertEqual(status, 0, report)
                self.assertIn("\nOK\n", report)  # ran, not skipped

    def test_plain_directory_root_skips_with_one_reason(self):
        for case in (RELAY_CASE, EMULATOR_CASE):
            with self.subTest(case=case[-1]):
                status, report = self.run_case("plain", False, case)
                self.assertEqual(status, 0, report)
                self.assertIn("OK (skipped=1)", report)
                self.assertIn("the root directory is not a mount point", report)
                status, report = self.run_case("plain", True, case)
                self.assertNotEqual(status, 0, "a required namespace that cannot be had must fail")
                self.assertIn("the root directory is not a mount point", report)

if __name__ == "__main__":
    if sys.argv[1:2] == ["--inside"]:
        sys.exit(build_and_enter(sys.argv[2], sys.argv[3], sys.argv[4:]))
    unittest.main()
