"""The release's SOURCE_DATE_EPOCH (source_date_epoch in scripts/lib/common.sh) in trees made
here: a copy without git takes the environment's, and without one it refuses and says how to
set it; a git archive tree's stamp and a checkout's commit time win over the environment.
Run by CTest (release.source_date_epoch)."""

import os
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
UNFILLED = "$Format:%ct$\n"  # as packaging/source-date-epoch is before git archive fills it


class SourceDateEpoch(unittest.TestCase):
    def setUp(self):
        self.tree = tempfile.mkdtemp()
        os.makedirs(os.path.join(self.tree, "scripts", "lib"))
        os.makedirs(os.path.join(self.tree, "packaging"))
        shutil.copy(os.path.join(TOP, "scripts", "lib", "common.sh"),
                    os.path.join(self.tree, "scripts", "lib"))
        self.addCleanup(shutil.rmtree, self.tree)

    def stamp(self, text):
        with open(os.path.join(self.tree, "packaging", "source-date-epoch"), "w") as file:
            file.write(text)

    def epoch(self, environment_value=None):
        environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        if environment_value is not None:
            environment["SOURCE_DATE_EPOCH"] = environment_value
        # From elsewhere, as common.sh finds the tree's top by its own place.
        return subprocess.run(["bash", "-c", 'source "$0" && source_date_epoch',
                               os.path.join(self.tree, "scripts", "lib", "common.sh")],
                              cwd="/", env=environment, capture_output=True, text=True)

    def test_a_tree_without_git_or_stamp(self):
        self.stamp(UNFILLED)
        result = self.epoch("1700000123")
        self.assertEqual((result.returncode, result.stdout), (0, "1700000123\n"))

        refused = self.epoch()
        self.assertNotEqual(refused.returncode, 0)
        self.assertEqual(refused.stdout, "")
        self.assertIn("SOURCE_DATE_EPOCH=$(date +%s) scripts/release", refused.stderr)
        self.assertIn("git log -1 --format=%ct", refused.stderr)

        for bad in ("", "yesterday", "-5"):
            self.assertNotEqual(self.epoch(bad).returncode, 0, bad)

        os.remove(os.path.join(self.tree, "packaging", "source-date-epoch"))
        self.assertEqual(self.epoch("1700000456").stdout, "1700000456\n")

    def test_a_stamp_or_a_commit_wins_over_the_environment(self):
        self.stamp("1650000000\n")
        self.assertEqual(self.epoch("1700000123").stdout, "1650000000\n")

        if not shutil.which("git"):
            self.skipTest("no git here to make a checkout with")
        self.stamp(UNFILLED)
        git = ["git", "-C", self.tree, "-c", "user.name=t", "-c", "user.email=t@example.org"]
        subprocess.run(git[:3] + ["init", "-q"], check=True)
        subprocess.run(git + ["add", "."], check=True)
        subprocess.run(git + ["commit", "-q", "-m", "c"], check=True,
                       env=dict(os.environ, GIT_COMMITTER_DATE="@1600000000 +0000"))
        self.assertEqual(self.epoch("1700000123").stdout, "1600000000\n")


if __name__ == "__main__":
    unittest.main()
