"""The udev rule that docs/linux-native.md and the zip's README.txt give as text (an echo of two
quoted pieces, which the shell joins with a space) is the example file's rule by serial number,
the values of its ATTRS aside: so the pages say what udevadm verify checks in the file
(lint.udev_rule), and a user of the zip, which has no rule file, gets the same rule."""

import os
import re
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RULES = os.path.join(TOP, "packaging", "99-panel-relay.rules")
PAGES = [os.path.join(TOP, "docs", "linux-native.md"),
         os.path.join(TOP, "packaging", "README.txt.in")]
ECHO = re.compile(r"echo '([^']*)' \\\n\s*'([^']*)'")


def without_values(rule):
    return re.sub(r'(ATTRS\{\w+\}==)"[^"]*"', r'\1"..."', rule.strip())


class RuleText(unittest.TestCase):
    def test_each_page_gives_the_example_files_rule_by_serial_number(self):
        with open(RULES, encoding="utf-8") as rules:
            by_serial = [line[1:] for line in rules
                         if line.startswith("#SUBSYSTEM==") and "ATTRS{serial}" in line]
        self.assertEqual(len(by_serial), 1, "the example file's rule by serial number")
        for page in PAGES:
            with self.subTest(os.path.relpath(page, TOP)):
                with open(page, encoding="utf-8") as text:
                    echoed = ECHO.findall(text.read())
                self.assertEqual(len(echoed), 1, "one rule, echoed in two pieces")
                self.assertEqual(without_values(" ".join(echoed[0])),
                                 without_values(by_serial[0]))


if __name__ == "__main__":
    unittest.main()
