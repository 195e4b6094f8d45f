"""The release folder as tools/release/dist makes it, and verify-release's reading of it: SHA256SUMS lists
the exe, the zip and BUILDINFO; SHA256SUMS.p7s, a detached CMS signature by the exe's own key and
certificate, signs SHA256SUMS and so the release as a whole."""

import hashlib
import os
import re
import zipfile

from fundtable import certificates
from fundtable import releaseinfo
from fundtable.certificates import printable

EXE_NAME = "FundTableRepair.exe"
SUMS, SUMS_SIGNATURE = "SHA256SUMS", "SHA256SUMS.p7s"


def is_release(folder):
    """Whether FOLDER holds any file of a release: then it is one, and must be one whole."""
    return any(n in ("BUILDINFO", SUMS, SUMS_SIGNATURE) or re.fullmatch(r"FundTableRepair-.*\.zip", n)
               for n in os.listdir(folder or "."))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sums_text(folder, names):
    lines = []
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            lines.append(f"{sha256(f.read())}  {name}\n")
    return "".join(lines)


def read_sums(path):
    """{name: SHA-256} from SHA256SUMS; None when a line is not 'SHA-256  file name'."""
    listed = {}
    with open(path, "rb") as f:
        for line in f.read().decode("utf-8", "replace").splitlines():
            found = re.fullmatch(r"([0-9a-f]{64})  ([\w.+-]+)", line)
            if not found or found.group(2) in listed or found.group(2) in (".", ".."):
                return None
            listed[found.group(2)] = found.group(1)
    return listed


def zip_exe(path):
    """The one FundTableRepair.exe in the zip at PATH, or None."""
    try:
        with zipfile.ZipFile(path) as archive:
            entries = [e for e in archive.infolist() if e.filename == EXE_NAME]
            return archive.read(entries[0]) if len(entries) == 1 else None
    except (OSError, zipfile.BadZipFile):
        return None


def check_signed(folder, args, work, establish):
    """Prints who signed SHA256SUMS; returns why that falls short of what was asked, or ''."""
    signature = os.path.join(folder, SUMS_SIGNATURE)
    asked = args.signer or args.trust
    if not os.path.exists(signature):
        print(f"    {SUMS}: not signed")
        return f"nothing signs {SUMS}, so no signature covers BUILDINFO" if asked else ""
    signers, why = certificates.proven_signers(work, signature, os.path.join(folder, SUMS))
    if not signers:
        print(f"    {SUMS}: its signature does NOT verify ({printable(why)})")
        return f"the signature over {SUMS} does not verify"
    carried, refused = certificates.carried(work, signature), False
    for signer in signers:
        print(f"    {SUMS}: signed by {signer.subject}, SHA-256 {signer.fingerprint}")
        refused = bool(establish(signer, carried)) or refused
    return f"{SUMS} is not signed by the signer asked for" if refused else ""


def check_folder(folder, buildinfo, candidate, stripped, args, work, establish):
    """Prints what the release folder says of FILE (CANDIDATE, and STRIPPED less its signature);
    returns the reasons it fails."""
    print(f"  release:      {printable(folder)}")
    sums = os.path.join(folder, SUMS)
    failures = []
    if os.path.exists(sums):
        failures.append(check_signed(folder, args, work, establish))
        listed = read_sums(sums)
        if listed is None:
            failures.append(f"{SUMS} is not a list of 'SHA-256  file name' lines")
            listed = {}
        wrong = []
        for name, digest in listed.items():
            try:
                with open(os.path.join(folder, name), "rb") as f:
                    wrong += [] if sha256(f.read()) == digest else [name]
            except OSError:
                wrong.append(name)
        zips = [n for n in listed if n.endswith(".zip")]
        unlisted = sorted(set(os.listdir(folder)) - set(listed) - {SUMS, SUMS_SIGNATURE})
        said = "every file as it lists" if not wrong else "NOT as it lists: " + ", ".join(map(printable, wrong))
        print(f"    files:      {said}" + (f"; NOT listed: {', '.join(map(printable, unlisted))}" if unlisted else ""))
        failures += [f"{printable(n)} is not as {SUMS} lists it" for n in wrong]
        failures += [f"{printable(n)} is in the release folder and {SUMS} does not list it" for n in unlisted]
        for name, what in ((EXE_NAME, "the exe"), (os.path.basename(buildinfo), "BUILDINFO")):
            if name not in listed:
                failures.append(f"{SUMS} does not list {what}")
        if listed.get(EXE_NAME, sha256(candidate)) != sha256(candidate):
            failures.append(f"this file is not the {EXE_NAME} that {SUMS} lists")
        held = zip_exe(os.path.join(folder, zips[0])) if len(zips) == 1 else None
        print(f"    zip:        {'holds this exe' if held == candidate else 'does NOT hold this exe'}")
        if held != candidate:
            failures.append("the zip does not hold this exe")
    else:
        print(f"    {SUMS}: NONE, so nothing vouches for the folder's files")
        failures.append(f"the release folder has no {SUMS}")
    reasons = []
    if os.path.exists(buildinfo):
        reasons, wrong = describe_buildinfo(buildinfo, stripped)
        failures += wrong
    else:
        print("    BUILDINFO:  NONE")
        failures.append("the release folder has no BUILDINFO")
    return [f for f in failures if f], reasons


def describe_buildinfo(path, stripped):
    """Prints what BUILDINFO says; returns (what explains a difference, most likely first; failures)."""
    fields, packages = releaseinfo.read_buildinfo(path)
    field = {key: printable(value) for key, value in fields.items()}.get
    print(f"    BUILDINFO:  version {field('version', '?')}, commit {field('commit', '?')}")
    reasons, failures = [], []
    here = releaseinfo.toolchain()
    changed = [f"{printable(package)} {printable(version)} (here {here.get(package, releaseinfo.NOT_INSTALLED)})"
               for package, version in packages.items() if here.get(package) != version]
    if changed:
        print(f"      toolchain: differs from this machine's: {'; '.join(changed)}")
        reasons.append(f"built with another toolchain: {'; '.join(changed)}; rebuild with those versions to compare")
    else:
        print("      toolchain: the same package versions as this machine's")
    source = releaseinfo.Source()
    if source.commit and fields.get("commit", "").split(" ")[0] != source.commit:
        reasons.append(f"built from commit {field('commit', '?')}, and this checkout is {source.describe()}; "
                       "check that commit out to compare")
    if fields.get("exe SHA-256 before signing") == sha256(stripped):
        print("      exe:       describes this exe (its SHA-256 before signing)")
    else:
        print(f"      exe:       does NOT describe this exe: it names {field('exe SHA-256 before signing', 'none')}")
        failures.append("BUILDINFO describes another exe")
    print(f"      proof:     {field('end-to-end proof', 'not recorded')}")
    return reasons, failures
