"""scripts/lint's choice of files does not depend on where the checkout sits: a copy of the
checkout under a path with directories named src and tools selects the same files, by their
place in the tree, as the build this test belongs to.

Usage: lint_sources_test.py BUILD_DIR"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "scripts", "lib"))
import lint_sources  # noqa: E402

BUILD = None


def relative(paths, top):
    return sorted(os.path.relpath(path, top) for path in paths)


def copy_checkout(target):
    """The files of the checkout, without its builds."""
    listed = None
    if shutil.which("git") and os.path.exists(os.path.join(TOP, ".git")):
        listed = subprocess.run(["git", "-C", TOP, "ls-files", "-z", "--cached", "--others",
                                 "--exclude-standard"], capture_output=True)
    if listed is not None and listed.returncode == 0:
        for name in filter(None, listed.stdout.decode().split("\0")):
            if os.path.isfile(os.path.join(TOP, name)):
                os.makedirs(os.path.join(target, os.path.dirname(name)), exist_ok=True)
                shutil.copy2(os.path.join(TOP, name), os.path.join(target, name))
    else:  # not a git checkout, or no git to ask
        shutil.copytree(TOP, target, ignore=shutil.ignore_patterns("build", "dist", ".git"))


class LintSources(unittest.TestCase):
    def test_a_checkout_under_src_and_tools_selects_the_same_files(self):
        here = relative(lint_sources.selected(BUILD), TOP)
        self.assertIn(os.path.join("src", "relay", "main.cpp"), here)
        self.assertIn(os.path.join("tools", "sim_emulator", "pages.cpp"), here)
        self.assertIn(os.path.join("firmware", "relay_panel", "src", "frame_reader.cpp"), here)

        with tempfile.TemporaryDirectory() as scratch:
            top = os.path.join(scratch, "src", "tools", "panel-relay")
            copy_checkout(top)
            build = os.path.join(top, "build", "lint")
            subprocess.run(["cmake", "--preset", "native", "-B", build,
                            "-DPANEL_RELAY_BUILD_FUZZERS=OFF"], cwd=top, check=True,
                           stdout=subprocess.DEVNULL)
            there = relative(lint_sources.selected(build), top)
            windows = relative(lint_sources.selected(build, "_win32.cpp"), top)
        self.assertEqual(there, here)
        self.assertEqual(windows, [])  # a Linux build has none of the Windows files
        for name in there:
            self.assertIn(name.split(os.sep)[0], ("src", "tools", "firmware"), name)


if __name__ == "__main__":
    BUILD = os.path.realpath(sys.argv.pop(1))
    unittest.main()
