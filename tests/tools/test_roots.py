"""The Debian roots everything runs in: how one is named, kept and entered, and Python isolated."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MACHINE = os.path.join(TOP, "tools", "machine")


def debian_root(*args, roots=None):
    env = dict(os.environ, FUNDTABLE_ROOTS=roots) if roots else None
    return subprocess.run([os.path.join(MACHINE, "debian-root"), *args], capture_output=True, text=True,
                          env=env, timeout=60)


def in_root(name, *command, **env):
    return subprocess.run([os.path.join(MACHINE, "in-root"), name, *command], capture_output=True, text=True,
                          env=dict(os.environ, **env), timeout=120)


class RootRecipeTest(unittest.TestCase):
    def setUp(self):
        self.roots = tempfile.mkdtemp(prefix="roots-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.roots])

    def path(self, name):
        return debian_root("path", name, roots=self.roots).stdout.strip()

    def test_each_root_is_named_by_its_recipe(self):
        toolchain, wow64 = self.path("toolchain"), self.path("wow64")
        self.assertRegex(toolchain, r"/toolchain-[0-9a-f]{12}$")
        self.assertRegex(wow64, r"/wow64-[0-9a-f]{12}$")
        self.assertEqual(os.path.dirname(toolchain), self.roots)

    def test_a_root_without_its_mark_is_not_made_and_a_failure_is_repeated(self):
        root = self.path("wow64")
        os.makedirs(root)
        said = debian_root("check", "wow64", roots=self.roots)
        self.assertEqual(said.returncode, 1)
        self.assertIn("is not made", said.stdout)
        with open(root + ".failed", "w") as f:
            f.write("the wow64 root could not be made: mmdebstrap could not make Debian's trixie\n")
        self.assertIn("mmdebstrap could not", debian_root("check", "wow64", roots=self.roots).stdout)

    def test_prune_removes_only_other_recipes_nothing_holds(self):
        current = self.path("toolchain")
        held, idle = f"{self.roots}/toolchain-aaaaaaaaaaaa", f"{self.roots}/toolchain-bbbbbbbbbbbb"
        other_name = f"{self.roots}/wow64-cccccccccccc"
        for root in (current, held, idle, other_name):
            os.makedirs(root)
            open(root + ".lock", "w").close()
            open(root + ".complete", "w").close()
        # As in-root holds the root it runs in: a shared lock, for as long as its command runs.
        holder = subprocess.Popen(["flock", "-s", held + ".lock", "sleep", "30"])
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        subprocess.run(["sleep", "0.3"])
        self.assertEqual(debian_root("prune", "toolchain", roots=self.roots).returncode, 0)
        self.assertTrue(os.path.isdir(current) and os.path.isdir(held) and os.path.isdir(other_name))
        self.assertFalse(os.path.exists(idle) or os.path.exists(idle + ".lock") or os.path.exists(idle + ".complete"))

    def test_a_root_prune_cannot_remove_fails_it_in_one_sentence(self):
        stale = f"{self.roots}/toolchain-aaaaaaaaaaaa"
        prune = [os.path.join(MACHINE, "debian-root"), "prune", "toolchain"]
        env = dict(os.environ, FUNDTABLE_ROOTS=self.roots, HOME=self.roots)
        for case in ("something is mounted in it", "a user prunes, inside a root, a root of other IDs"):
            with self.subTest(case):
                os.makedirs(f"{stale}/usr/bin", exist_ok=True)
                open(f"{stale}/usr/bin/sh", "w").close()
                open(stale + ".lock", "w").close()
                if case.startswith("something"):
                    command = ["bwrap", "--bind", "/", "/", "--dev", "/dev", "--tmpfs", f"{stale}/usr", *prune]
                    expected = "busy"
                else:
                    # As mmdebstrap leaves a user's root: every file its subordinate IDs'.
                    if os.getuid() != 0:
                        self.skipTest("only root can give files to another user ID")
                    subprocess.run(["chown", "-R", "100000:100000", stale], check=True)
                    os.chown(self.roots, 4242, 4242)
                    os.chown(stale + ".lock", 4242, 4242)
                    # A copy that user can run wherever the clone is (a root's clone is in /root).
                    shutil.copy(prune[0], self.roots)
                    command = ["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups",
                               os.path.join(self.roots, "debian-root"), *prune[1:]]
                    expected = "another user ID"
                said = subprocess.run(command, capture_output=True, text=True, env=env, cwd=self.roots, timeout=60)
                self.assertEqual(said.returncode, 1, said.stderr)
                self.assertEqual(len(said.stderr.splitlines()), 1, said.stderr)
                self.assertRegex(said.stderr, rf"^debian-root: {re.escape(stale)} was not removed: .*{expected}")
                # Kept, lock and all, for the next prune to find.
                self.assertTrue(os.path.isdir(stale) and os.path.isfile(stale + ".lock"))


class InRootTest(unittest.TestCase):
    """Against the machine's real roots, which make check has made before any test runs."""

    def test_the_wow64_root_lends_its_system_and_its_own_path(self):
        said = in_root("wow64", "sh", "-c", 'cat /etc/debian_version; echo "$PATH"; command -v python3 || true',
                       PATH="/nonexistent:" + os.environ["PATH"])
        self.assertEqual(said.returncode, 0, said.stderr)
        version, path, *python = said.stdout.splitlines()
        self.assertTrue(version.startswith("13"), version)
        self.assertNotIn("/nonexistent", path)
        self.assertEqual(python, [])  # the Debian 13 root has no Python: nothing leaks in from the machine

    def test_each_root_answers_for_its_own_packages(self):
        # BUILDINFO's toolchain versions come from dpkg: the machine's database would name the
        # machine's packages, or none on a machine that has only the roots.
        def installed(name, package):
            return in_root(name, "dpkg-query", "-W", "-f", "${db:Status-Abbrev}", package).stdout.startswith("ii")
        self.assertTrue(installed("toolchain", "g++-mingw-w64-i686-posix"))
        self.assertTrue(installed("wow64", "wine64"))
        self.assertFalse(installed("wow64", "g++-mingw-w64-i686-posix"))

    def test_the_work_tree_and_the_caches_are_one_mount(self):
        # A prefix is a hard-linked copy of a template in the cache: across two mounts it silently
        # becomes a broken prefix.
        cache = os.path.dirname(debian_root("path", "wow64").stdout.strip())
        if os.stat(cache).st_dev != os.stat(TOP).st_dev:
            self.skipTest("the cache and the work tree are on two file systems here")
        with tempfile.NamedTemporaryFile(dir=cache) as source:
            target = os.path.join(TOP, "build", f"hard-link-{os.getpid()}")
            said = in_root("wow64", "ln", source.name, target)
            self.addCleanup(lambda: os.path.exists(target) and os.remove(target))
            self.assertEqual(said.returncode, 0, said.stderr)
            self.assertEqual(os.stat(target).st_ino, os.stat(source.name).st_ino)


class IsolatedPythonTest(unittest.TestCase):
    def test_nothing_is_imported_from_where_it_is_started_nor_from_pythonpath(self):
        with tempfile.TemporaryDirectory() as folder:
            for module in ("argparse", "re", "subprocess"):  # what the module imports
                with open(os.path.join(folder, module + ".py"), "w") as f:
                    f.write("print('HIJACKED')\n")
            said = subprocess.run([os.path.join(TOP, "tools", "python", "run"), "fundtable.customerpc", "text", "caption"],
                                  cwd=folder, capture_output=True, timeout=60,
                                  env=dict(os.environ, PYTHONPATH=folder))
        self.assertEqual(said.returncode, 0, said.stderr)
        self.assertNotIn(b"HIJACKED", said.stdout + said.stderr)
        self.assertEqual(said.stdout.strip(), "提示".encode())


if __name__ == "__main__":
    unittest.main()
