"""matrix.py EXE RESULTS WORK: genuine releases, each made by dist as make dist makes it and each
accepted by verification; and versions dist can make, each accepted, where it makes one at all.

The end-to-end proof is the one CTest's end-to-end cases made of EXE, once: each left e2e.py's JSON
in RESULTS; they are joined into one proof that dist takes with --proof, as it would take the one
--prove leaves, and checks against the exe's SHA-256 and the cases the runner lists.

The cells cover every value of each dimension at least once, not their cross product (CELLS)."""

import json
import os
import shutil
import subprocess
import sys

from hypothesis import HealthCheck, configuration, given, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import releases  # noqa: E402

# key, the CA above the leaf (root: the leaf under a root; intermediate: under an intermediate under
# the root), what TRUST= names (None: not given), SIGNER= given, TSA= the authority's CA or its own
# certificate, and the version's source.
CELLS = [
    ("rsa2048", "root", "root", True, "ca", "commit"),
    ("rsa3072", "intermediate", "intermediate", False, "own", "commit"),
    ("rsa4096", "intermediate", "root", True, "ca", "tag"),
    ("p256", "root", "leaf", False, "own", "tag"),
    ("p384", "intermediate", "leaf", True, "ca", "dirty"),
    ("p256", "intermediate", None, True, "own", "dirty"),
]
TAGS = ["v1.2.3", "v1.0.0_rc1", "v1.0.0-rc.1", "v2.0.0+build.7", "v1.0'$(id)", "v1.0.0\u00e9", "v1/2", "v1.0.0;x"]
# What git takes in a tag's name after the v and a digit (git check-ref-format): no space, ~ ^ : ? * [ \,
# no control character, no "..", "@{" or "//", nothing ending in "." or ".lock".
TAG_CHARACTERS = st.sampled_from(list("0123456789.-+_abzAZ") + list("!#$%&'()\",;<=>`|{}") + ["\u00e9", "\u4e2d", "/"])


def proof(exe, results, out):
    """OUT: the end-to-end cases' results in RESULTS (one JSON per case) as one, as --prove writes it."""
    listed = subprocess.run([sys.executable, os.path.join(releases.TOP, "tests", "e2e", "e2e.py"), "--list", "--bits",
                             "32"], capture_output=True, text=True, check=True, timeout=120).stdout.split()
    joined = {"exe_sha256": releases.sha256(releases.read(exe)), "passed": 0, "passed_cases": [], "failed": 0}
    for case in listed:
        with open(os.path.join(results, f"{case}.json")) as f:
            each = json.load(f)
        if each["exe_sha256"] != joined["exe_sha256"] or joined.get("wine", each["wine"]) != each["wine"]:
            raise SystemExit(f"matrix: {case}'s end-to-end result is for other bytes or another Wine")
        joined.update(route=each["route"], wine=each["wine"], failed=joined["failed"] + each["failed"])
        joined["passed_cases"] += each["passed_cases"]
    joined["passed"] = len(joined["passed_cases"])
    with open(out, "w") as f:
        json.dump(joined, f, indent=1)


class Matrix:
    def __init__(self, exe, work):
        self.exe, self.work, self.built = exe, work, releases.read(exe)
        self.verify, self.failed, self.passed = releases.verifier(), 0, 0
        self.source = releases.checkout(work)

    def check(self, what, ok, said=""):
        if ok:
            self.passed += 1
            print(f"PASS {what}", flush=True)
        else:
            self.failed += 1
            print(f"FAIL {what}" + "".join(f"\n     {line}" for line in said.strip().splitlines()[-6:]), flush=True)
        return ok

    def version(self, how):
        """Puts the copy of the checkout in the state HOW says; returns the version dist must give."""
        commit = releases.git(self.source, "rev-parse", "HEAD")
        with open(os.path.join(self.source, "VERSION")) as f:
            base = f.read().strip()
        if how == "tag":
            releases.git(self.source, "tag", "v1.2.3")
            return "1.2.3"
        if how == "dirty":
            with open(os.path.join(self.source, "README.md"), "a") as f:
                f.write("\nA change not committed.\n")
            return f"1.2.3+git.{commit[:12]}.dirty"
        return f"{base}+git.{commit[:12]}"

    def cell(self, index, key, above, trust, signer, tsa, authority, proven):
        what = f"{key}, leaf under {'an intermediate' if above == 'intermediate' else 'a root'}, TRUST={trust or '-'}, " \
               f"SIGNER={'yes' if signer else '-'}, TSA={'its CA' if tsa == 'ca' else 'its own certificate'}"
        root = releases.Party(f"Matrix root {index}", key, ca=True)
        middle = releases.Party(f"Matrix intermediate {index}", key, root, ca=True) if above == "intermediate" else None
        leaf = releases.Party("FundTableRepair vendor", key, middle or root)
        p12, password = os.path.join(self.work, f"cell{index}.p12"), os.path.join(self.work, "password")
        leaf.pkcs12(p12, [middle] if middle else [])
        releases.write(password, releases.PASSWORD + b"\n")
        out = os.path.join(self.work, f"cell{index}")
        status, said = releases.dist(self.source, self.exe, out, (p12, password), authority, proof=proven)
        if not self.check(f"{what}: dist makes it", status == 0, said):
            return None
        anchors = {"root": root, "intermediate": middle, "leaf": leaf}
        verdict = self.verify(os.path.join(out, releases.EXE), self.built, signer=leaf.fingerprint if signer else None,
                              trust=anchors[trust].pem if trust else None, tsa=authority.pem if tsa == "own" else authority.ca)
        self.check(f"{what}: verification accepts it", verdict[0] == 0, "; ".join(verdict[1]))
        return out

    def buildinfo(self, out, version):
        text = releases.read(os.path.join(out, "BUILDINFO")).decode()
        return f"version: {version}\n" in text and "end-to-end proof: these bytes (SHA-256 " in text


def main():
    exe, results, work = (os.path.abspath(a) for a in sys.argv[1:4])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    configuration.set_hypothesis_home_dir(os.path.join(work, ".hypothesis"))  # its caches stay here
    matrix = Matrix(exe, work)
    proven = os.path.join(work, "proof.json")
    proof(exe, results, proven)
    # One authority, its certificate issued by a CA of its own: TSA= names that CA, or the authority alone.
    with releases.Authority(os.path.join(work, "tsa"), chained=True) as authority:
        state = None
        for index, (key, above, trust, signer, tsa, how) in enumerate(CELLS):
            if how != state:
                version, state = matrix.version(how), how
            out = matrix.cell(index, key, above, trust, signer, tsa, authority, proven)
            if out:
                matrix.check(f"  version {version} ({how}), and the proof the end-to-end cases left, in BUILDINFO",
                             matrix.buildinfo(out, version))
    refused(matrix, proven)
    tags(matrix, proven)
    print(f"{matrix.passed} passed, {matrix.failed} failed")
    return 1 if matrix.failed else 0


def refused(matrix, proven):
    """What verification refuses, dist refuses to make: a certificate signed with SHA-1, one not for
    code signing; and no proof but the one for these bytes."""
    root = releases.Party("Matrix refusing root", "p256", ca=True)
    for what, leaf in (("signed with SHA-1", releases.Party("FundTableRepair vendor", "p256", root, digest="sha1")),
                       ("not for code signing", releases.Party("FundTableRepair vendor", "p256", root, purpose=None))):
        p12, out = os.path.join(matrix.work, "refused.p12"), os.path.join(matrix.work, "refused")
        leaf.pkcs12(p12, [])
        status, said = releases.dist(matrix.source, matrix.exe, out, (p12, os.path.join(matrix.work, "password")),
                                     proof=proven)
        matrix.check(f"a certificate {what}: dist makes no release", status != 0 and not os.path.exists(out), said)
    # A proof is taken only for these bytes, with every case passed.
    with open(proven) as f:
        genuine = json.load(f)
    for what, change in (("for other bytes", {"exe_sha256": "0" * 64}), ("a case short", {"passed_cases": genuine["passed_cases"][1:]}),
                         ("with a case failed", {"failed": 1})):
        forged, out = os.path.join(matrix.work, "forged-proof.json"), os.path.join(matrix.work, "refused")
        with open(forged, "w") as f:
            json.dump({**genuine, **change}, f)
        status, said = releases.dist(matrix.source, matrix.exe, out, proof=forged)
        matrix.check(f"a proof {what}: dist makes no release", status != 0 and not os.path.exists(out), said)


def tags(matrix, proven):
    """What dist can make, verification accepts: each tag git takes, on a clean commit."""
    source = matrix.source
    releases.run("git", "-C", source, "checkout", "-q", "--", ".")
    seen = []

    def tagged(name):
        for old in releases.git(source, "tag", "--list").split():
            releases.git(source, "tag", "-d", old)
        if releases.run("git", "check-ref-format", f"refs/tags/{name}")[0] or name in seen:
            return
        seen.append(name)
        releases.git(source, "tag", name)
        out = os.path.join(matrix.work, "tagged")
        shutil.rmtree(out, ignore_errors=True)
        status, said = releases.dist(source, matrix.exe, out, proof=proven)
        if status:
            matrix.check(f"tag {name!r}: dist refuses it ({said.strip().splitlines()[-1]})", True)
            return
        status, reasons = matrix.verify(os.path.join(out, releases.EXE), matrix.built)
        matrix.check(f"tag {name!r}: dist makes a release, and verification accepts it", status == 0, "; ".join(reasons))

    for name in TAGS:
        tagged(name)

    @settings(max_examples=5, derandomize=True, database=None, deadline=None, suppress_health_check=list(HealthCheck))
    @given(st.builds(lambda digit, rest: f"v{digit}{rest}", st.integers(0, 9), st.text(TAG_CHARACTERS, min_size=1, max_size=10)))
    def generated(name):
        tagged(name)
    generated()


if __name__ == "__main__":
    sys.exit(main())
