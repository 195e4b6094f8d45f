"""The release folder as dist makes it and verify-release reads it, each file read once and held to
fundrelease.policy: SHA256SUMS lists the exe, the zip and BUILDINFO; SHA256SUMS.p7s, a detached CMS
signature by the exe's own key and certificate, signs SHA256SUMS and so the release as a whole."""

import hashlib
import io
import os
import struct
import zipfile

from fundrelease import policy
from fundrelease import releaseinfo
from fundrelease.authenticode import Signed
from fundrelease.certificates import Malformed, printable, read_once


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sums_text(files):
    """SHA256SUMS for FILES, {name: bytes}, in their order."""
    return "".join(f"{sha256(data)}  {name}\n" for name, data in files.items())


def is_release(names):
    return any(n in (policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE) or policy.ZIP.fullmatch(n) for n in names)


def read_folder(folder_fd, names, known):
    """{name: bytes} of the release's files, each read once (KNOWN: those already read), and the
    reasons the folder holds what a release may not."""
    files, failures = dict(known), []
    zips = [name for name in names if policy.ZIP.fullmatch(name)]
    if len(zips) > 1:  # refused before any is read: each may be megabytes, and there may be thousands
        return files, [f"the release folder holds {len(zips)} zips, where a release has one"]
    for name in sorted(names):
        if not (name in (policy.EXE, policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE) or policy.ZIP.fullmatch(name)):
            failures.append(f"{printable(name)} is in the release folder and {policy.SUMS} does not list it")
        elif name not in files:
            try:
                files[name] = read_once(name, policy.MAX_BYTES.get("zip" if name.endswith(".zip") else name,
                                                               policy.MAX_BYTES["other"]), dir_fd=folder_fd)
            except OSError as error:
                failures.append(f"{printable(name)} is no release file that can be read ({error.strerror or error})")
    return files, failures


def read_sums(data):
    """{name: SHA-256} as SHA256SUMS lists them, in lines sha256sum -c reads the same way. Raises Malformed."""
    lines, listed = data.split(b"\n"), {}
    for line in lines[:-1]:
        found = policy.SUMS_LINE.fullmatch(line)
        name = found and found.group(2).decode()
        if not found or name in listed or not (name in policy.LISTED or policy.ZIP.fullmatch(name)):
            raise Malformed(f"{policy.SUMS} is not one 'SHA-256  file name' line for each release file")
        listed[name] = found.group(1).decode()
    zips = [n for n in listed if n.endswith(".zip")]
    if lines[-1] or set(listed) - set(zips) != policy.LISTED or len(zips) != 1:
        raise Malformed(f"{policy.SUMS} does not list the exe, the zip and BUILDINFO, each once")
    return listed, zips[0]


def zip_exe(data):
    """The exe in the zip DATA, whose entries must be policy.ZIP_ENTRIES end to end and nothing else."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
        entries, position = archive.infolist(), 0
        if [e.filename for e in entries] != policy.ZIP_ENTRIES or archive.comment or \
                any(e.file_size > policy.MAX_BYTES[policy.EXE] for e in entries):
            return None
        for entry in entries:  # each entry where the last ended: no bytes the directory does not name
            names, extra = struct.unpack_from("<HH", data, position + 26)
            if entry.header_offset != position or entry.flag_bits & 8:
                return None
            position += 30 + names + extra + entry.compress_size
        directory = sum(46 + len(e.orig_filename.encode()) + len(e.extra) + len(e.comment) for e in entries)
        if archive.start_dir != position or position + directory + 22 != len(data):
            return None
        return archive.read(policy.EXE) if archive.testzip() is None else None
    except (zipfile.BadZipFile, struct.error, ValueError, OSError, EOFError):
        return None


def read_buildinfo(data):
    """(fields, toolchain): each key of policy.BUILDINFO_KEYS once, each toolchain package once. Raises Malformed."""
    try:
        lines = data.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        raise Malformed("BUILDINFO is not UTF-8 text") from None
    fields, packages = {}, {}
    if lines[0] != policy.BUILDINFO_TITLE or lines[-1]:
        raise Malformed("BUILDINFO is not as dist writes it")
    for line in lines[1:-1]:
        key, _, value = line.partition(": ") if not line.endswith(":") else (line[:-1], "", "")
        if line.startswith("  ") and list(fields)[-1:] == ["toolchain (Debian packages)"] and " " in line[2:]:
            package, version = line[2:].split(" ", 1)
            if package in packages or package not in releaseinfo.TOOLCHAIN_PACKAGES:
                raise Malformed(f"BUILDINFO names the package {printable(package)} twice or unasked")
            packages[package] = version
        elif key in fields or key not in policy.BUILDINFO_KEYS:
            raise Malformed(f"BUILDINFO holds {printable(line)!r}, twice or where it has no such line")
        else:
            fields[key] = value
    if list(fields) != policy.BUILDINFO_KEYS or set(packages) != set(releaseinfo.TOOLCHAIN_PACKAGES):
        raise Malformed("BUILDINFO lacks a line dist writes: each of its keys and each toolchain package")
    return fields, packages


def describe_buildinfo(fields, packages, stripped, say):
    """Says what BUILDINFO says; returns (what explains a difference, most likely first; failures)."""
    field = {key: printable(value) for key, value in fields.items()}.get
    say(f"    BUILDINFO:  version {field('version')}, commit {field('commit')}")
    here, reasons, failures = releaseinfo.toolchain(), [], []
    changed = [f"{printable(package)} {printable(version)} (here {here.get(package, releaseinfo.NOT_INSTALLED)})"
               for package, version in packages.items() if here.get(package) != version]
    say("      toolchain: " + (f"differs from this machine's: {'; '.join(changed)}" if changed else
                                "the same package versions as this machine's"))
    reasons += [f"built with another toolchain: {'; '.join(changed)}; rebuild with those versions to compare"] * bool(changed)
    say(f"      built in:  {field('toolchain root')}")
    source = releaseinfo.Source()
    if source.commit and fields["commit"].split(" ")[0] != source.commit:
        reasons.append(f"built from commit {field('commit')}, and this checkout is {source.describe()}; "
                       "check that commit out to compare")
    described = fields["exe SHA-256 before signing"] == sha256(stripped)
    say("      exe:       " + ("describes this exe (its SHA-256 before signing)" if described else
                                f"does NOT describe this exe: it names {field('exe SHA-256 before signing')}"))
    failures += [] if described else ["BUILDINFO describes another exe"]
    say(f"      proof:     {field('end-to-end proof')}")
    return reasons, failures


def check_folder(folder, folder_fd, names, known, candidate, stripped, establish, say, failures):
    """SAYs what the release folder (its file NAMES) says of the exe CANDIDATE (STRIPPED less its
    signature), adding to FAILURES as it finds them; ESTABLISH(signature of SHA256SUMS) says whether
    its signer is the exe's and the one asked for and returns why not. Returns what explains a difference."""
    say(f"  release:      {printable(folder)}")
    files, found = read_folder(folder_fd, names, known)
    failures += found
    reasons = []
    try:
        if policy.SUMS not in files:
            raise Malformed(f"the release folder has no {policy.SUMS}")
        listed, zip_name = read_sums(files[policy.SUMS])
        if policy.SUMS_SIGNATURE in files:
            try:
                signature = Signed(files[policy.SUMS_SIGNATURE], "sums", "code signing").prove(files[policy.SUMS])
            except (ValueError, TypeError, KeyError) as error:  # asn1crypto parses lazily: a field met late
                raise Malformed(f"{policy.SUMS_SIGNATURE} is malformed ({printable(str(error).splitlines()[0])})") from None
            failures.append(establish(signature))
        else:
            say(f"    {policy.SUMS}: not signed")
            failures.append(establish(None))
        wrong = [n for n, digest in listed.items() if n not in files or sha256(files[n]) != digest]
        unlisted = sorted(set(files) - set(listed) - {policy.SUMS, policy.SUMS_SIGNATURE})
        say("    files:      " + ("every file as it lists" if not wrong else "NOT as it lists: " + ", ".join(wrong)))
        failures += [f"{n} is not as {policy.SUMS} lists it" for n in wrong]
        failures += [f"{printable(n)} is in the release folder and {policy.SUMS} does not list it" for n in unlisted]
        if listed[policy.EXE] != sha256(candidate):
            failures.append(f"this file is not the {policy.EXE} that {policy.SUMS} lists")
        held = zip_exe(files[zip_name]) if zip_name in files else None
        say(f"    zip:        {'holds this exe' if held == candidate else 'does NOT hold this exe alone, as dist makes it'}")
        failures += [] if held == candidate else ["the zip does not hold this exe and its note alone"]
        reasons, wrong = describe_buildinfo(*read_buildinfo(files.get(policy.BUILDINFO, b"")), stripped, say)
        failures += wrong
    except Malformed as error:
        say(f"    NOT a release as dist makes it: {error}")
        failures.append(str(error))
    return reasons
