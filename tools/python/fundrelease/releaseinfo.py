"""What a release says of itself, and where that comes from: the version, the commit, the
toolchain that built the exe, and BUILDINFO, the file that carries them beside the release.
tools/release/dist writes it; tools/release/verify-release reads it back and compares it with
this machine.

The version has this one source:
- the commit's own tag vX.Y.Z gives X.Y.Z;
- otherwise VERSION plus the commit: 1.0.0+git.0123456789ab;
- uncommitted changes to tracked files add ".dirty": such a release is made, and marked;
- files git does not track (ignored ones too; build/, dist/ and Python's caches aside) could change
  the build unseen (an untracked app/cstring is found before the system's <cstring>): dist
  refuses them, so no release is ever made of a tree that differs from its commit unmarked;
- no git at all (a source archive): VERSION alone, the commit unknown.
git is asked with safe.directory=*, so that a checkout owned by another user gives the same
answer as one's own: it only reads here."""

import hashlib
import io
import os
import subprocess
import zipfile

from fundrelease import policy
from fundrelease.inputs import read_once

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

# The Debian packages whose files make the shipped exe: the compiler and its runtime libraries
# (the win32 thread model), binutils, the MinGW-w64 headers and import libraries, and CMake.
TOOLCHAIN_PACKAGES = ["g++-mingw-w64-i686-win32", "gcc-mingw-w64-i686-win32", "gcc-mingw-w64-base",
                      "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "mingw-w64-common", "cmake"]
NOT_INSTALLED = "not installed"


def git(*args):
    """git's output in the checkout, or None where there is no git or no repository."""
    try:
        result = subprocess.run(["git", "-c", "safe.directory=*", "-C", TOP, *args], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=60)
    except OSError:
        return None
    return result.stdout.strip() if result.returncode == 0 else None


def version(base, commit, tag, dirty):
    """The version rules above: BASE is VERSION's text, TAG the commit's own vX.Y.Z tag or None."""
    if commit is None:
        return base
    if tag and not dirty:
        return tag[1:]
    return f"{tag[1:] if tag else base}+git.{commit[:12]}" + (".dirty" if dirty else "")


class Source:
    """The checkout a release is made from."""

    def __init__(self):
        self.commit = git("rev-parse", "--verify", "HEAD^{commit}")
        self.dirty = self.commit is not None and git("status", "--porcelain", "--untracked-files=no") != ""
        others = git("ls-files", "-z", "--others", "--", ":(exclude)build/", ":(exclude)dist/",
                     ":(exclude,glob)**/__pycache__/**") if self.commit else None
        self.untracked = [name for name in (others or "").split("\0") if name]
        tag = git("describe", "--tags", "--exact-match", "--match", "v[0-9]*", "HEAD") if self.commit else None
        with open(os.path.join(TOP, "VERSION")) as f:
            base = f.read().strip()
        self.version = version(base, self.commit, tag, self.dirty)

    def describe(self):
        if self.commit is None:
            return "unknown (no git repository)"
        return self.commit + (" with uncommitted changes" if self.dirty else "")


def toolchain():
    """{package: version} of TOOLCHAIN_PACKAGES on this machine."""
    versions = dict.fromkeys(TOOLCHAIN_PACKAGES, NOT_INSTALLED)
    result = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${db:Status-Abbrev} ${Version}\n",
                             *TOOLCHAIN_PACKAGES], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    for line in result.stdout.splitlines():
        words = line.split()
        if len(words) == 3 and words[1].startswith("ii"):
            versions[words[0]] = words[2]
    return versions


def toolchain_root():
    """The Debian the toolchain comes from: the project's own Debian 12 root, whatever the host runs."""
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            name = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line).get("PRETTY_NAME", "").strip('"')
        with open("/etc/debian_version", encoding="utf-8") as f:
            point = f.read().strip()
    except OSError:
        return "unknown"
    inside = "the project's own root (tools/machine/debian-root)" if os.environ.get("FUNDTABLE_IN_ROOT") == "toolchain" \
        else "this machine's own system"
    return f"{name}, {point}, {inside}"


def buildinfo_text(**values):
    """BUILDINFO with VALUES, one for each of policy.BUILDINFO_KEYS, the toolchain's {package: version}:
    plain text, so that a person reads it as easily as verification does."""
    lines = [policy.BUILDINFO_TITLE]
    for key, title in policy.BUILDINFO_KEYS.items():
        value = values.pop(key)
        lines += [f"{title}:"] + [f"  {p} {v}" for p, v in value.items()] if isinstance(value, dict) else [f"{title}: {value}"]
    assert not values, f"BUILDINFO has no key {values}"
    return "\n".join(lines) + "\n"


def zip_bytes(contents):
    """The zip dist ships: policy.ZIP_ENTRIES holding CONTENTS, deflated, dated 1980, of no system and
    no attributes, so that one checkout's release is the same bytes on any machine. Verification
    makes it again of what it read, so that this is the one form a release's zip has."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        for name, data in zip(policy.ZIP_ENTRIES, contents, strict=True):
            entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            entry.compress_type, entry.create_system, entry.external_attr = zipfile.ZIP_DEFLATED, 0, 0
            archive.writestr(entry, data)
    return out.getvalue()


def sums_text(files):
    """SHA256SUMS for FILES, {name: bytes}: the zip, the exe and BUILDINFO, as policy.SUMS_FORM has them."""
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files.items())


def write_buildinfo(path, source, exe_sha256, proof):
    with open(path, "w", encoding="utf-8") as f:
        f.write(buildinfo_text(version=source.version, commit=source.describe(), exe=exe_sha256, root=toolchain_root(),
                               toolchain=toolchain(), proof=proof))


def build():
    """This checkout's exe, built quietly: (its bytes, '') or (None, why the comparison cannot be made)."""
    missing = [p for p, v in toolchain().items() if v == NOT_INSTALLED]
    if missing:
        return None, f"the toolchain is not installed ({', '.join(missing)}; make bootstrap installs it)"
    try:
        result = subprocess.run([os.path.join(TOP, "tools", "checks", "build-preset"), "win32-release"],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=1800)
        if result.returncode != 0:
            return None, "this checkout's exe did not build: " + (result.stdout + result.stderr).strip()[-300:]
        return read_once(os.path.join(TOP, "build", "win32-release", policy.EXE), policy.MAX_BYTES[policy.EXE]), ""
    except (OSError, subprocess.TimeoutExpired) as error:  # a build that fails in any way is one not compared with
        return None, f"this checkout's exe could not be built ({error})"


def differences(commit, packages):
    """(BUILDINFO's toolchain PACKAGES that differ here, what would explain its exe differing from this checkout's)."""
    here, source = toolchain(), Source()
    changed = "; ".join(f"{package} {version} (here {here.get(package, NOT_INSTALLED)})"
                        for package, version in packages.items() if here.get(package) != version)
    said = [f"built with another toolchain: {changed}; rebuild with those versions to compare"] if changed else []
    if source.commit and commit.split(" ")[0] != source.commit:
        said.append(f"built from commit {commit}, and this checkout is {source.describe()}; check that commit out to compare")
    return changed, said
