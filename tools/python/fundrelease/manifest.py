"""The release folder as dist makes it and verification reads it, each file read once and held to
fundrelease.policy: SHA256SUMS lists the exe, the zip and BUILDINFO; SHA256SUMS.p7s, a detached CMS
signature by the exe's own key and certificate, signs SHA256SUMS and so the release as a whole."""

import hashlib
import io
import re
import struct
import zipfile
import zlib

from fundrelease import policy, releaseinfo
from fundrelease.authenticode import Signed, loaded
from fundrelease.der import Malformed
from fundrelease.inputs import read_once


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def sums_text(files):
    """SHA256SUMS for FILES, {name: bytes}, in their order."""
    return "".join(f"{sha256(data)}  {name}\n" for name, data in files.items())


def is_release(names):
    """Whether NAMES hold a release's file, by a name Windows would take for one: case counts for nothing."""
    own = {n.casefold() for n in (policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE)}
    return any(n.casefold() in own or re.fullmatch(policy.ZIP.pattern, n, re.IGNORECASE) for n in names)


def read_folder(folder_fd, names, known):
    """{name: bytes} of the release's files, each read once (KNOWN: those already read), and the
    reasons the folder holds what a release may not."""
    files, failures = dict(known), []
    zips = [name for name in names if policy.ZIP.fullmatch(name)]
    if len(zips) > 1:  # refused before any is read: each may be megabytes, and there may be thousands
        return files, [f"the release folder holds {len(zips)} zips, where a release has one"]
    for name in sorted(names):
        if not (name in (policy.EXE, policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE) or policy.ZIP.fullmatch(name)):
            failures.append(f"{name} is in the release folder and {policy.SUMS} does not list it")
        elif name not in files:
            try:
                files[name] = read_once(name, policy.MAX_BYTES.get("zip" if name.endswith(".zip") else name,
                                                               policy.MAX_BYTES["other"]), dir_fd=folder_fd)
            except OSError as error:
                failures.append(f"{name} is no release file that can be read ({error.strerror or error})")
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
    """The exe in the zip DATA: policy.ZIP_ENTRIES end to end and nothing else, each stored or deflated
    as its local header says too, inflated no further than its size (within the cap). zipfile reads the directory
    alone: its own reading inflates a gigabyte at a time, and other methods without any bound."""
    try:
        archive, position, held, cap = zipfile.ZipFile(io.BytesIO(data)), 0, [], policy.MAX_BYTES[policy.EXE]
        entries = archive.infolist()
        if [e.filename for e in entries] != policy.ZIP_ENTRIES or archive.comment:
            return None
        for entry in entries:  # each entry where the last ended, its local header the directory's
            local = struct.unpack_from("<4s2x2H4x3I2H", data, position)
            start = position + 30 + local[6] + local[7]
            raw, inflate = data[start:start + entry.compress_size], zlib.decompressobj(-15)
            content = inflate.decompress(raw, min(entry.file_size, cap) + 1) if local[2] == 8 else raw
            if local[:6] != (b"PK\3\4", 0, entry.compress_type, entry.CRC, entry.compress_size, entry.file_size) or \
                    local[2] not in policy.ZIP_METHODS or entry.header_offset != position or not len(content) == entry.file_size <= cap or \
                    zlib.crc32(content) != entry.CRC or local[2] == 8 and not (inflate.eof and not inflate.unused_data):
                return None
            held, position = held + [content], start + entry.compress_size
        directory = sum(46 + len(e.orig_filename.encode()) + len(e.extra) + len(e.comment) for e in entries)
        return held[0] if archive.start_dir == position and position + directory + 22 == len(data) else None
    except (zipfile.BadZipFile, struct.error, ValueError, OSError, EOFError, zlib.error):
        return None


def read_buildinfo(data):
    """({key: value}, {package: version}) of BUILDINFO as releaseinfo writes it from policy.BUILDINFO_KEYS:
    each key once and in order, each toolchain package once. Raises Malformed."""
    try:
        lines = data.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        raise Malformed("BUILDINFO is not UTF-8 text") from None
    keys, fields, packages = {title: key for key, title in policy.BUILDINFO_KEYS.items()}, {}, {}
    if lines[0] != policy.BUILDINFO_TITLE or lines[-1]:
        raise Malformed("BUILDINFO is not as dist writes it")
    for line in lines[1:-1]:
        title, _, value = line.partition(": ") if not line.endswith(":") else (line[:-1], "", "")
        if line.startswith("  ") and list(fields)[-1:] == ["toolchain"] and " " in line[2:]:
            package, version = line[2:].split(" ", 1)
            if package in packages or package not in releaseinfo.TOOLCHAIN_PACKAGES:
                raise Malformed(f"BUILDINFO names the package {package} twice or unasked")
            packages[package] = version
        elif title not in keys or keys[title] in fields:
            raise Malformed(f"BUILDINFO holds {line!r}, twice or where it has no such line")
        else:
            fields[keys[title]] = value
    if list(fields) != list(policy.BUILDINFO_KEYS) or set(packages) != set(releaseinfo.TOOLCHAIN_PACKAGES):
        raise Malformed("BUILDINFO lacks a line dist writes: each of its keys and each toolchain package")
    return fields, packages


def describe_buildinfo(fields, packages, stripped, say):
    """Says what BUILDINFO says; returns (what explains a difference, most likely first; failures)."""
    say(f"    BUILDINFO:  version {fields['version']}, commit {fields['commit']}")
    here, reasons = releaseinfo.toolchain(), []
    changed = [f"{package} {version} (here {here.get(package, releaseinfo.NOT_INSTALLED)})"
               for package, version in packages.items() if here.get(package) != version]
    say("      toolchain: " + (f"differs from this machine's: {'; '.join(changed)}" if changed else
                               "the same package versions as this machine's"))
    reasons += [f"built with another toolchain: {'; '.join(changed)}; rebuild with those versions to compare"] * bool(changed)
    say(f"      built in:  {fields['root']}")
    source = releaseinfo.Source()
    if source.commit and fields["commit"].split(" ")[0] != source.commit:
        reasons.append(f"built from commit {fields['commit']}, and this checkout is {source.describe()}; "
                       "check that commit out to compare")
    described = fields["exe"] == sha256(stripped)
    say("      exe:       " + ("describes this exe (its SHA-256 before signing)" if described else
                               f"does NOT describe this exe: it names {fields['exe']}"))
    say(f"      proof:     {fields['proof']}")
    return reasons, [] if described else ["BUILDINFO describes another exe"]


def check_folder(folder, folder_fd, names, known, candidate, stripped, establish, say, failures):
    """SAYs what the release folder (its file NAMES) says of the exe CANDIDATE (STRIPPED less its
    signature), adding to FAILURES as it finds them; ESTABLISH(signature of SHA256SUMS) says whether
    its signer is the exe's and the one asked for and returns why not. Returns what explains a difference."""
    say(f"  release:      {folder}")
    files, found = read_folder(folder_fd, names, known)
    failures += found
    try:
        if policy.SUMS not in files:
            raise Malformed(f"the release folder has no {policy.SUMS}")
        listed, zip_name = read_sums(files[policy.SUMS])
        if policy.SUMS_SIGNATURE in files:
            failures.append(establish(loaded(lambda: Signed(files[policy.SUMS_SIGNATURE], "sums", "code signing")
                                             .prove(files[policy.SUMS]), policy.SUMS_SIGNATURE)))
        else:
            say(f"    {policy.SUMS}: not signed")
            failures.append(establish(None))
        wrong = [n for n, digest in listed.items() if n not in files or sha256(files[n]) != digest]
        say("    files:      " + ("every file as it lists" if not wrong else "NOT as it lists: " + ", ".join(wrong)))
        failures += [f"{n} is not as {policy.SUMS} lists it" for n in wrong]
        failures += [f"{n} is in the release folder and {policy.SUMS} does not list it"
                     for n in sorted(set(files) - set(listed) - {policy.SUMS, policy.SUMS_SIGNATURE})]
        if listed[policy.EXE] != sha256(candidate):
            failures.append(f"this file is not the {policy.EXE} that {policy.SUMS} lists")
        held = zip_exe(files[zip_name]) if zip_name in files else None
        say(f"    zip:        {'holds this exe' if held == candidate else 'does NOT hold this exe alone, as dist makes it'}")
        failures += [] if held == candidate else ["the zip does not hold this exe and its note alone"]
        fields, packages = read_buildinfo(files.get(policy.BUILDINFO, b""))
        reasons, wrong = describe_buildinfo(fields, packages, stripped, say)
        failures += wrong + ["the zip is not named for BUILDINFO's version"] * (zip_name != policy.ZIP_NAME.format(fields["version"]))
        return reasons
    except Malformed as error:
        say(f"    NOT a release as dist makes it: {error}")
        failures.append(str(error))
        return []
