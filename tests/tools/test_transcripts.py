"""What counts as a documented command, and when a transcript has typed it."""

import pathlib
import tempfile
import unittest

from fundtable import transcripts
from fundtable.transcripts import Template, page_commands, typed_commands

VERIFY = "make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE]"
# template, the words a transcript typed, the groups it typed them with (none: not this command)
MATCHES = [
    ("make demo", "make demo", {()}),
    ("make demo", "make demo SCENARIO=locked", set()),
    ("make demo SCENARIO=locked", "make demo SCENARIO=absent", set()),
    ("make test-PRESET", "make test-host", {()}),
    ("make test-PRESET", "make test-", set()),
    ("make dist", "make dist SIGN_PKCS12=/k/v.p12 SIGN_PASSWORD_FILE=/k/p", set()),
    ("make dist SIGN_PKCS12=FILE SIGN_PASSWORD_FILE=FILE", "make dist SIGN_PKCS12=/k/v.p12 SIGN_PASSWORD_FILE=/k/p",
     {()}),
    # a setting's name is no metavariable, even where it ends in one
    ("make dist SIGN_PIN_FILE=FILE", "make dist SIGN_PIN_X=/k/pin", set()),
    ("make dist SIGN_KEY=pkcs11:URI", "make dist SIGN_KEY=pkcs11:token=v;object=s", {()}),
    ("make dist SIGN_KEY=pkcs11:URI", "make dist SIGN_KEY=token=v", set()),
    (VERIFY, "make verify-release EXE=/r/a.exe", {()}),
    (VERIFY, "make verify-release EXE=/r/a.exe TRUST=/ca.pem", {(1,)}),
    (VERIFY, "make verify-release EXE=/r/a.exe SIGNER=AB TRUST=/ca.pem", {(0, 1)}),
    # in the page's order, each group once
    (VERIFY, "make verify-release EXE=/r/a.exe TRUST=/ca.pem SIGNER=AB", set()),
    (VERIFY, "make verify-release EXE=/r/a.exe SIGNER=AB SIGNER=AB", set()),
    (VERIFY, "make verify-release", set()),
    ("tools/release/verify-release FILE [--signer FINGERPRINT]", "tools/release/verify-release /r/a.exe --signer AB",
     {(0,)}),
    ("tools/release/verify-release FILE [--signer FINGERPRINT]", "tools/release/verify-release /r/a.exe --signer",
     set()),
    ("cd dist && sha256sum -c SHA256SUMS", "cd dist && sha256sum -c SHA256SUMS", {()}),
    ("cd dist && sha256sum -c SHA256SUMS", "cd dist && sha256sum -c OTHER", set()),
]


class TemplateTest(unittest.TestCase):
    def test_the_table(self):
        for template, words, groups in MATCHES:
            with self.subTest(template=template, typed=words):
                found = Template(template, "here").match(transcripts._words(words))
                self.assertEqual({tuple(sorted(g)) for g in found}, groups)

    def test_ci_may_add_settings_at_the_end_and_nothing_else(self):
        check = Template("make check", "here")
        self.assertEqual(check.match(["make", "check", "REQUIRE_32BIT=1"], ci=True), {frozenset()})
        self.assertEqual(check.match(["make", "check", "REQUIRE_32BIT=1"]), set())
        self.assertEqual(check.match(["make", "check", "lint"], ci=True), set())

    def test_an_unclosed_group_is_an_error(self):
        with self.assertRaises(ValueError):
            Template("make dist [SIGN_TIMESTAMP_URL=URL", "here")


PAGE = """# A page

    make demo           # the demo
    make dist SIGN_PKCS12=FILE

Text with `make check` inline, which is no command.
    make lint

```
cd dist && sha256sum -c SHA256SUMS
```

    output: not a command

- a list item
  - nested, whose lines run on
    deeper, as a list's do: no code
    and no command

    make demo "unclosed
"""


class PageTest(unittest.TestCase):
    def test_code_lines_are_commands_and_must_be(self):
        commands, errors = page_commands("page.md", PAGE)
        self.assertEqual(commands, [(3, "make demo"), (4, "make dist SIGN_PKCS12=FILE"),
                                    (10, "cd dist && sha256sum -c SHA256SUMS")])
        self.assertEqual(len(errors), 2)
        self.assertIn("page.md:13", errors[0])
        self.assertIn("page.md:20", errors[1])  # an unclosed quote is said, not raised

    def test_a_transcript_types_with_typed_alone(self):
        text = ('  $ typed make demo | tail -n 3\n  $ make clean\n'
                '  $ typed "make dist SIGN_KEY=\'pkcs11:token=v;type=private\' SIGN_PIN_FILE=$F/pin"\n')
        self.assertEqual(typed_commands(text), [
            (1, ["make", "demo"]),
            (3, ["make", "dist", "SIGN_KEY=pkcs11:token=v;type=private", "SIGN_PIN_FILE=$F/pin"])])


class FailureTest(unittest.TestCase):
    def test_each_command_cram_found_differing_is_named_with_what_it_printed(self):
        source = "  $ echo a\n  a\n  $ echo b; echo c\n  b\n  $ false\n  $ echo 27\n  [0-9]+ (re)\n"
        actual = "  $ echo a\n  a\n  $ echo b; echo c\n  b\n  c\n  $ false\n  [1]\n  $ echo 27\n  27\n"
        diff = ("--- t\n+++ t.err\n@@ -3,4 +3,6 @@\n   $ echo b; echo c\n   b\n+  c\n   $ false\n+  [1]\n"
                "   $ echo 27\n")
        self.assertEqual(transcripts._failures(source, actual, diff),
                         [("echo b; echo c", ["b", "c"], 0), ("false", ["[1]"], 0)])

    def test_a_filtered_command_is_shown_unfiltered_from_the_log_of_its_own_run(self):
        # What a filter drops (a failing make bench's reason, on stderr) is in typed's log.
        source = ("  $ typed make bench | grep T\n  T\n  $ typed make bench | grep T\n  T\n"
                  "  $ typed make help\n")
        actual = "  $ typed make bench | grep T\n  T\n  $ typed make bench | grep T\n  [1]\n  $ typed make help\n"
        diff = "--- t\n+++ t.err\n@@ -3,2 +3,2 @@\n   $ typed make bench | grep T\n-  T\n+  [1]\n"
        failing = transcripts._failures(source, actual, diff)
        self.assertEqual(failing, [("typed make bench | grep T", ["[1]"], 1)])
        command, _, before = failing[0]
        with tempfile.TemporaryDirectory() as logs:
            names = ["000-make_bench.log", "001-make_bench.log", "002-make_help.log", "003-make_bench_SCENARIO=x.log"]
            for name in names:
                pathlib.Path(logs, name).write_text(name)
            found = sorted(pathlib.Path(logs).iterdir())
            self.assertEqual(transcripts._unfiltered(command, before, found).name, "001-make_bench.log")
            self.assertIsNone(transcripts._unfiltered("typed make bench | grep T", 2, found))
            self.assertIsNone(transcripts._unfiltered("typed make help", 0, found))  # nothing was filtered


class VerdictTest(unittest.TestCase):
    WHY = "the shipped 32-bit exe cannot run here: the kernel starts no 32-bit Linux program"

    def test_a_transcript_skipped_for_the_shipped_exe_is_said_and_fails_only_where_required(self):
        ran, skipped = ["readme.t"], ["releasing.t", "verifying.t"]
        status, said = transcripts.verdict(ran, [], skipped, self.WHY, require_32bit=False)
        self.assertEqual(status, 0)
        self.assertEqual(said, "== all transcripts passed: readme.t; skipped: releasing.t, verifying.t, "
                               f"which need the shipped exe to run ({self.WHY})")
        status, said = transcripts.verdict(ran, [], skipped, self.WHY, require_32bit=True)
        self.assertEqual((status, said), (1, "== failed: transcripts releasing.t, verifying.t skipped, "
                                             f"and REQUIRE_32BIT=1 ({self.WHY})"))
        # A failure is never hidden behind a skip, nor a skip behind a failure.
        status, said = transcripts.verdict(ran, ["readme.t (first: `typed make demo`)"], skipped, self.WHY, True)
        self.assertEqual(status, 1)
        self.assertIn("readme.t (first", said)
        self.assertIn("skipped, and REQUIRE_32BIT=1", said)
        self.assertEqual(transcripts.verdict(ran + skipped, [], [], "", True),
                         (0, "== all transcripts passed: readme.t, releasing.t, verifying.t"))


class CheckTest(unittest.TestCase):
    """check() over a tree of pages: each problem is found, and a tree without one passes."""

    def tree(self, readme_code, readme_t, ci="make demo && make check REQUIRE_32BIT=1\n"):
        top = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        (top / "docs").mkdir()
        (top / "tests" / "docs").mkdir(parents=True)
        (top / ".ci").mkdir()
        (top / "README.md").write_text(f"# R\n\n{readme_code}\n")
        (top / "docs" / "releasing.md").write_text("# R\n\n    make dist\n")
        (top / "docs" / "verifying.md").write_text("# V\n")
        (top / "tests" / "docs" / "readme.t").write_text(readme_t)
        (top / "tests" / "docs" / "releasing.t").write_text("  $ typed make dist\n")
        (top / ".ci" / "run").write_text(ci)
        (top / "Makefile").write_text('help:\n\t@echo "make lint      lint"\n\nlint:\n\t@echo "make x"\n')
        return top

    def test_a_clean_tree_passes(self):
        self.assertEqual(transcripts.check(self.tree("    make demo\n    make check", "  $ typed make lint\n")), [])

    def test_each_untyped_command_is_named(self):
        problems = transcripts.check(self.tree("    make fuzz", "  $ typed make lint | tail -n 1\n", ci=""))
        self.assertEqual(len(problems), 1)
        self.assertIn("README.md:3: `make fuzz`", problems[0])
        problems = transcripts.check(self.tree("    make check", "", ci="make check REQUIRE_32BIT=1\n"))
        self.assertEqual(len(problems), 1)
        self.assertIn("make help (Makefile:2): `make lint`", problems[0])

    def test_a_variable_a_user_lacks_is_refused(self):
        problems = transcripts.check(self.tree("", "  $ typed PYTHONPATH=/x make lint\n"))
        self.assertTrue(any("sets PYTHONPATH" in p for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
