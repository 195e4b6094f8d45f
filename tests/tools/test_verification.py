"""The verdict, held to its status and reasons rather than to printed text: what it did not check is
said, what the input holds is never "could not be made", and the package it lives in stands alone."""

import ast
import os
import tempfile
import unittest
from unittest import mock

from asn1crypto import pem

from fundrelease import authenticode, policy, verification
from fundrelease.verification import Settings, verify
from test_image import image

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python")


class VerdictTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.folder, self.exe = scratch.name, image(32)
        self.path = os.path.join(self.folder, policy.EXE)
        with open(self.path, "wb") as f:
            f.write(self.exe)

    def beside(self, name, data=b"x"):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)

    def test_what_was_not_checked_is_said_and_the_last_line_claims_only_what_was_compared(self):
        verdict = verify(self.path, built=self.exe)
        self.assertEqual((verdict.status, verdict.reasons), (0, []))
        self.assertIn("the exe was checked alone", verdict.unchecked[0])
        self.assertEqual(verdict.report[-2:], [f"not checked: {verdict.unchecked[0]}",
                                               "matches: byte for byte the exe given to compare with"])
        said = verify(self.path, built=self.exe, compared_with="the exe this checkout (1.0) builds").report[-1]
        self.assertEqual(said, "matches: byte for byte the exe this checkout (1.0) builds")

    def test_a_name_windows_takes_for_a_release_file_makes_the_folder_a_release_to_examine(self):
        for name in ("fundtablerepair-1.0.0.ZIP", "sha256sums", "BuildInfo"):
            with self.subTest(name=name):
                self.beside(name)
                verdict = verify(self.path, built=self.exe)
                os.remove(os.path.join(self.folder, name))
                self.assertEqual(verdict.status, 1, verdict.report)
                self.assertIn(f"the release folder has no {policy.SUMS}", verdict.reasons)

    def test_a_folder_of_many_files_costs_a_reason_for_each_of_a_few(self):
        self.beside(policy.SUMS, "".join(f"{'ab' * 32}  {name}\n" for name in (
            policy.ZIP_NAME.format("1.0"), policy.EXE, policy.BUILDINFO)).encode())
        for n in range(300):
            self.beside(f"decoy {n:03}")
        verdict = verify(self.path, built=self.exe)
        self.assertEqual(verdict.status, 1)
        unlisted = [r for r in verdict.reasons if "does not list it" in r or "lists none of them" in r]
        self.assertEqual(unlisted[0], f"decoy 000 is in the release folder and {policy.SUMS} does not list it")
        self.assertEqual(unlisted[5:], [f"295 more files are in the release folder and {policy.SUMS} lists none of them"])

    def test_only_a_setting_or_a_missing_program_leaves_the_verdict_unmade(self):
        os.symlink(self.path, os.path.join(self.folder, "link.exe"))
        fifo = os.path.join(self.folder, "release", policy.BUILDINFO)  # what BUILDINFO= names is an input
        os.mkdir(os.path.dirname(fifo))
        os.mkfifo(fifo)
        unreadable = pem.armor("CERTIFICATE", b"\x30\x03\x02\x01\x01")  # DER, yet no certificate
        cases = [  # (what, the call, status, a reason)
            ("no build", lambda: verify(self.path), 2, "the byte comparison was not made"),
            ("no such exe", lambda: verify(self.path + ".not"), 2, "cannot read"),
            ("a SIGNER of no fingerprint", lambda: verify(self.path, self.exe, Settings(signer="00")), 2, "SIGNER is"),
            ("a TRUST of no certificate", lambda: verify(self.path, self.exe, Settings(trust=b"x")), 2, "TRUST names"),
            ("a TSA of none that can be read", lambda: verify(self.path, self.exe, Settings(tsa=unreadable)), 2,
             "no certificate that can be read"),
            ("BUILDINFO= a FIFO", lambda: verify(self.path, self.exe, buildinfo=fifo), 1, "BUILDINFO is no release file that can be read"),
            ("the exe a link", lambda: verify(os.path.join(self.folder, "link.exe"), self.exe), 1, "no file a release"),
            ("another exe", lambda: verify(self.path, self.exe + b"!"), 1, "it is not the exe given"),
            ("no program", lambda: self.failing(verification.Missing("openssl")), 2, "openssl is not installed"),
            ("a parse that fails in a way no check foresaw", lambda: self.failing(TypeError("\x1b[2Kmatches")), 1,
             "cannot be read as a release holds it (TypeError: \\x1b[2Kmatches)"),
        ]
        for what, call, status, reason in cases:
            with self.subTest(what):
                verdict = call()
                self.assertEqual(verdict.status, status, verdict.reasons)
                self.assertTrue(any(reason in r for r in verdict.reasons), verdict.reasons)
                self.assertFalse(any("\x1b" in line for line in verdict.report + verdict.reasons))

    def failing(self, error):
        self.beside(policy.SUMS)
        with mock.patch.object(authenticode, "read", side_effect=error):
            return verify(self.path, built=self.exe)

    def test_no_descriptor_is_left_open(self):
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(5):
            verify(self.path, built=self.exe)
            verify(os.path.join(self.folder, "none.exe"), built=self.exe)
        self.assertEqual(len(os.listdir("/proc/self/fd")), before)


class PackageTest(unittest.TestCase):
    def test_the_release_package_imports_nothing_of_the_harness(self):
        folder = os.path.join(TOOLS, "fundrelease")
        for name in sorted(os.listdir(folder)):
            if name.endswith(".py"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    tree = ast.parse(f.read())
                imported = [a.name for n in ast.walk(tree) if isinstance(n, ast.Import) for a in n.names] + \
                    [n.module for n in ast.walk(tree) if isinstance(n, ast.ImportFrom) and n.module]
                with self.subTest(module=name):
                    self.assertFalse([m for m in imported if m.split(".")[0] == "fundtable"])


if __name__ == "__main__":
    unittest.main()
