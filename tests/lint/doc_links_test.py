"""Every relative link of README.md and docs/ leads to a file of the tree, and every anchor to a
heading of its page; and the check itself finds the broken ones in a tree made to have them."""

import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
CHECKER = os.path.join(TOP, "scripts", "lib", "doc_links.py")
sys.path.insert(0, os.path.dirname(CHECKER))
import doc_links  # noqa: E402

README = """# A page

See [the guide](docs/guide.md), [its setup](docs/guide.md#setting-up-com4), [a gone
page](docs/gone.md), [a missing part](docs/guide.md#no-such-part), [here](#a-page),
[the tree](docs/) and [the site](https://example.org/missing.md).

`[not a link](docs/code-span.md)`

```
[nor this](docs/fenced.md)
```

[ref]: docs/also-gone.md
"""

GUIDE = """# Guide

## Setting up `COM4`!

## When `/dev/COM4` is not available

## Steps

### Steps

Back to [the front](../README.md#a-page), [the second steps](#steps-1),
[the first](#when-devcom4-is-not-available) and [the third](#steps-2).
"""


class DocLinks(unittest.TestCase):
    def test_the_trees_pages_have_no_broken_link(self):
        pages = doc_links.pages(TOP)
        self.assertIn("README.md", pages)
        self.assertTrue(any(page.startswith("docs" + os.sep) for page in pages), pages)
        self.assertEqual(doc_links.broken_links(TOP), [])

    def test_broken_files_and_anchors_are_found_and_fail_the_check(self):
        with tempfile.TemporaryDirectory() as top:
            os.makedirs(os.path.join(top, "docs"))
            with open(os.path.join(top, "README.md"), "w", encoding="utf-8") as readme:
                readme.write(README)
            with open(os.path.join(top, "docs", "guide.md"), "w", encoding="utf-8") as guide:
                guide.write(GUIDE)
            found = [(page, line, target) for page, line, target, _ in
                     doc_links.broken_links(top)]
            self.assertEqual(found, [
                ("README.md", 4, "docs/gone.md"),
                ("README.md", 4, "docs/guide.md#no-such-part"),
                ("README.md", 13, "docs/also-gone.md"),
                (os.path.join("docs", "guide.md"), 12, "#steps-2"),
            ])
            result = subprocess.run([sys.executable, CHECKER, top], capture_output=True,
                                    text=True)
        self.assertEqual(result.returncode, 1)
        self.assertIn("README.md:4: docs/gone.md: no such file", result.stdout)
        self.assertIn("no heading with the anchor #no-such-part", result.stdout)


if __name__ == "__main__":
    unittest.main()
