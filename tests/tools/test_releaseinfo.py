"""The version rules of a release."""

import unittest

from fundrelease.releaseinfo import version

COMMIT = "0123456789abcdef0123456789abcdef01234567"


class VersionTest(unittest.TestCase):
    def test_a_tagged_clean_commit_is_its_tag(self):
        self.assertEqual(version("1.0.0", COMMIT, "v1.2.3", dirty=False), "1.2.3")

    def test_an_untagged_commit_is_the_base_plus_the_commit(self):
        self.assertEqual(version("1.0.0", COMMIT, None, dirty=False), "1.0.0+git.0123456789ab")

    def test_uncommitted_changes_are_marked_tagged_or_not(self):
        self.assertEqual(version("1.0.0", COMMIT, None, dirty=True), "1.0.0+git.0123456789ab.dirty")
        self.assertEqual(version("1.0.0", COMMIT, "v1.2.3", dirty=True), "1.2.3+git.0123456789ab.dirty")

    def test_without_git_the_base_alone(self):
        self.assertEqual(version("1.0.0", None, None, dirty=False), "1.0.0")


if __name__ == "__main__":
    unittest.main()
