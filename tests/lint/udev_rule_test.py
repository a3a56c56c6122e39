"""The example udev rule, packaging/99-panel-relay.rules, in both its forms (by the adapter's IDs,
and the commented one by its serial number), as udevadm verify reads it: with the placeholders
as shipped and with hex values put in as the file says. And udevadm verify does refuse a rule
that is broken, so that its passing means something.

udevadm verify came with systemd 253 (Debian 13 has it, Debian 12 does not). Where it is
missing the test skips, with exit status 77 when run as a script."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RULES = os.path.join(TOP, "packaging", "99-panel-relay.rules")
MISSING = 77


def udevadm():
    """(path to a udevadm that has verify, None), or (None, why not)."""
    found = shutil.which("udevadm") or next(
        (path for path in ("/usr/bin/udevadm", "/bin/udevadm", "/sbin/udevadm")
         if os.access(path, os.X_OK)), None)
    if found is None:
        return None, "no udevadm on this machine (Debian's package udev has it)"
    probe = subprocess.run([found, "verify", "--help"], capture_output=True, text=True,
                           timeout=30)
    if probe.returncode != 0:
        version = subprocess.run([found, "--version"], capture_output=True, text=True,
                                 timeout=30)
        return None, (f"{found} (systemd {version.stdout.strip()}) has no verify; "
                      "it came with systemd 253 (Debian 13)")
    return found, ""


UDEVADM, WHY_NOT = udevadm()


def the_other_form(text):
    """The file as a user makes it to use the rule by serial number: the active rule commented
    out, the commented one taken in."""
    lines = []
    for line in text.splitlines(keepends=True):
        if line.startswith("SUBSYSTEM=="):
            line = "#" + line
        elif line.startswith("#SUBSYSTEM=="):
            line = line[1:]
        lines.append(line)
    return "".join(lines)


@unittest.skipIf(UDEVADM is None, WHY_NOT)
class ExampleUdevRule(unittest.TestCase):
    def verify(self, text):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "99-panel-relay.rules")
            with open(path, "w", encoding="utf-8") as rules:
                rules.write(text)
            result = subprocess.run([UDEVADM, "verify", "--resolve-names=never", path],
                                    capture_output=True, text=True, timeout=30)
        return result.returncode, result.stdout + result.stderr

    def test_both_forms_pass_as_shipped_and_filled_in(self):
        with open(RULES, encoding="utf-8") as rules:
            shipped = rules.read()
        filled_in = (shipped.replace("VVVV", "1a86").replace("PPPP", "7523")
                     .replace("SSSS", "A1B2C3"))
        for name, text in (("as shipped", shipped), ("filled in", filled_in)):
            for form, rule in (("by IDs", text), ("by serial number", the_other_form(text))):
                with self.subTest(name=name, form=form):
                    active = [line for line in rule.splitlines()
                              if line.startswith("SUBSYSTEM==")]
                    self.assertEqual(len(active), 1, rule)
                    self.assertEqual(form == "by serial number", "ATTRS{serial}" in active[0])
                    status, output = self.verify(rule)
                    self.assertEqual(status, 0, output)

    def test_a_broken_rule_is_refused(self):
        status, output = self.verify(
            'SUBSYSTEM=="tty", ATTRS{idVendor}=="1a86", SYMLINK+="COM4, ENV{X}="1"\n')
        self.assertNotEqual(status, 0, output)


if __name__ == "__main__":
    if UDEVADM is None:
        print(f"skipped: {WHY_NOT}")
        sys.exit(MISSING)
    unittest.main()
