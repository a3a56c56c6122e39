"""The check of each script's packages (scripts/lib/script_packages.py) on small trees of
scripts made here: it must see the commands a script runs however the shell puts them, find
their packages on this machine, and report a program no installed package of the script
brings, as a missing python3 was once missed by the release script."""

import os
import shutil
import sys
import tempfile
import textwrap
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "scripts", "lib"))
import script_packages  # noqa: E402

COMMON = """\
cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1
ensure_packages() { :; }
BASE=(cmake make)
JOBS=$(nproc 2>/dev/null || echo 2)
in_git_checkout() {
  command -v git >/dev/null 2>&1 && [ "$(git rev-parse --show-toplevel)" = "$(pwd -P)" ]
}
"""


class Tree:
    """A tree with scripts/lib/common.sh and the given scripts and files, which the check
    reads in place of this one."""

    def __init__(self, scripts, files=None):
        self.scratch = tempfile.mkdtemp()
        os.makedirs(os.path.join(self.scratch, "scripts", "lib"))
        self.write("scripts/lib/common.sh", COMMON)
        for name, text in scripts.items():
            self.write(f"scripts/{name}", "#!/usr/bin/env bash\n" + textwrap.dedent(text))
        for name, text in (files or {}).items():
            self.write(name, textwrap.dedent(text))

    def write(self, name, text):
        path = os.path.join(self.scratch, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)

    def __enter__(self):
        self.saved = script_packages.TOP
        script_packages.TOP = self.scratch
        script_packages.read_script.cache_clear()
        script_packages.python_modules.cache_clear()
        return self

    def __exit__(self, *_):
        script_packages.TOP = self.saved
        script_packages.read_script.cache_clear()
        script_packages.python_modules.cache_clear()
        shutil.rmtree(self.scratch)


def programs(name):
    return {program for program, _ in script_packages.uses(name)[0]}


class Commands(unittest.TestCase):
    def test_commands_wherever_the_shell_puts_them(self):
        script = """\
        source "$(dirname "$0")/lib/common.sh"   # sed in a comment is no command
        X=1 Y="$(hostname | tr a-z A-Z)" cmake --version >/dev/null 2>&1 && make -v || exit 1
        mapfile -t found < <(find . -name '*.txt')
        echo "grep and sed in a message are no commands" >&2
        case "${1:-}" in
          --wait|sleep) sleep 1 ;;
          "" | *[!0-9]*) tail -n 1 /dev/null ;;
        esac
        for word in cut paste; do echo "$word"; done
        run() {
          shift
          "$@"
        }
        run "a step" env -u HOME LC_ALL=C sort /dev/null
        fakeroot chmod 644 x
        inside=$(cat <<'EOF'
        mount --bind / /mnt
        EOF
        )
        cat <<EOF
        tee is in text written out
        EOF
        [ -e x ] && wc -l x
        """
        with Tree({"s": script}):
            found = programs("s")
        self.assertEqual(found, {"dirname", "hostname", "tr", "cmake", "make", "find", "sleep",
                                 "tail", "env", "sort", "fakeroot", "chmod", "cat", "mount",
                                 "wc", "nproc"})

    def test_programs_of_the_python_files_a_script_runs_and_the_modules_they_import(self):
        script = """\
        python3 tools/run.py --fast
        python3 -m unittest discover -s tests/more -p 'check_*.py'
        """
        files = {
            "tools/run.py": """\
                import subprocess
                from helpers.spawn import start
                subprocess.run(["strace", "-f", "true"])
                NAMES = {"key": ["not-a-program-at-all"]}
                """,
            "tools/helpers/__init__.py": "",
            "tools/helpers/spawn.py": """\
                def start(argv):
                    return ["nsenter", "--mount", *argv]
                """,
            "tests/more/check_this.py": 'COMMAND = ("dpkg-deb", "-f")\n'
                                        # run only where it is there: optional
                                        'if shutil.which("strace"):\n'
                                        '    subprocess.run(["strace"])\n'
                                        'if shutil.which("gzip"):\n'
                                        '    subprocess.run(["gzip"])\n',
            "tests/more/other.py": 'COMMAND = ["ldd"]\n',
        }
        with Tree({"s": script}, files):
            found = programs("s")
        self.assertEqual(found - {"nproc", "dirname"}, {"python3", "strace", "nsenter", "dpkg-deb"})


class Findings(unittest.TestCase):
    def test_a_program_its_packages_do_not_bring_is_found(self):
        # As the release script once was: python3 run, and never installed.
        script = """\
        source "$(dirname "$0")/lib/common.sh"
        ensure_packages "${BASE[@]}"
        build() {
          cmake --version
          python3 -c 'print(1)'
        }
        build
        """
        with Tree({"release": script}):
            problems = script_packages.findings("release")
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("python3 (scripts/release:6) comes from python3-minimal", problems[0])

        fixed = script.replace('"${BASE[@]}"', '"${BASE[@]}" python3')
        with Tree({"release": fixed}):
            self.assertEqual(script_packages.findings("release"), [])

    def test_where_the_packages_may_come_from(self):
        scripts = {
            # Installed only on a failure path, in a function: counts there alone.
            "scoped": """\
                ensure_packages cmake
                compare() {
                  ensure_packages python3
                  python3 -c 'print(1)'
                }
                python3 -c 'print(2)'
                """,
            # The lists of our own scripts it runs count: they install their own.
            "caller": """\
                scripts/callee
                python3 -c 'print(3)'
                """,
            "callee": "ensure_packages python3\n",
            # A program looked for first is not needed; awk comes with the Essential packages.
            "guarded": """\
                in_git_checkout && git log -1
                awk 'BEGIN { exit 0 }'
                """,
        }
        with Tree(scripts):
            self.assertEqual(len(script_packages.findings("scoped")), 1)
            self.assertIn("scripts/scoped:7", script_packages.findings("scoped")[0])
            self.assertEqual(script_packages.findings("caller"), [])
            self.assertEqual(script_packages.findings("guarded"), [])

    def test_a_program_not_installed_here_cannot_pass(self):
        with Tree({"s": "ensure_packages no-such-package\nno-such-program-here --x\n"}):
            problems = script_packages.findings("s")
        self.assertEqual(len(problems), 1)
        self.assertIn("no-such-program-here", problems[0])
        self.assertIn("not installed here", problems[0])

    def test_merged_usr_paths_are_asked_both_ways(self):
        self.assertEqual(script_packages.usrmerge_variants("/usr/bin/mount"),
                         ["/usr/bin/mount", "/bin/mount"])
        self.assertEqual(script_packages.usrmerge_variants("/sbin/ip"),
                         ["/sbin/ip", "/usr/sbin/ip"])
        # Whichever way dpkg lists it, a program found here has its package.
        self.assertEqual(script_packages.owners("ls"), ["coreutils"])
        self.assertIn("python3-minimal", script_packages.owners("python3"))


if __name__ == "__main__":
    unittest.main()
