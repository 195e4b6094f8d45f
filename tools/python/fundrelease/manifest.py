"""The release folder's files as dist makes them, each read once and parsed as fundrelease.policy has
them: SHA256SUMS listing the exe, the zip and BUILDINFO; the zip; BUILDINFO."""

import bisect
import hashlib
import io
import os
import re
import zipfile
import zlib

from fundrelease import policy, releaseinfo
from fundrelease.der import Malformed
from fundrelease.inputs import read_once


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def is_release(names):
    """Whether NAMES hold a release's file, by a name Windows would take for one: case counts for nothing."""
    own = {n.casefold() for n in (policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE)}
    return any(n.casefold() in own or re.fullmatch(policy.ZIP.pattern, n, re.IGNORECASE) for n in names)


def listing(folder_fd, most=16, shown=5):
    """The folder's names that Windows would take for a release's (at most MOST+1), and of the others
    their number and the SHOWN least by name. A folder may hold millions: each name is seen once and
    none kept but these, so the cost is the listing's alone."""
    own, others, least = [], 0, []
    with os.scandir(folder_fd) as entries:
        for name in (entry.name for entry in entries):
            if is_release([name]) or name.casefold() == policy.EXE.casefold():
                if len(own) <= most:  # more than a release's five is refused in any case
                    own.append(name)
            else:
                others += 1
                bisect.insort(least, name)
                del least[shown:]
    return own, others, least


def read_folder(folder_fd, names, known):
    """The release's files among NAMES (KNOWN: those already read), and why the folder is no release's."""
    files, failures = dict(known), []
    zips = [name for name in names if policy.ZIP.fullmatch(name)]
    if len(zips) > 1:  # refused before any is read: each may be megabytes, and there may be thousands
        return files, [f"the release folder holds {len(zips)} zips, where a release has one"]
    for name in sorted(names):
        if (name in (policy.EXE, policy.BUILDINFO, policy.SUMS, policy.SUMS_SIGNATURE) or zips == [name]) and \
                name not in files:
            try:
                files[name] = read_once(name, policy.MAX_BYTES.get("zip" if name.endswith(".zip") else name,
                                                               policy.MAX_BYTES["other"]), dir_fd=folder_fd)
            except OSError as error:
                failures.append(f"{name} is no release file that can be read ({error.strerror or error})")
    return files, failures


def read_sums(data):
    found = policy.SUMS_FORM.fullmatch(data)
    if not found:
        raise Malformed(f"{policy.SUMS} is not the zip's, the exe's and BUILDINFO's lines, as dist writes them")
    digests, zip_name = [found[n].decode() for n in (1, 3, 4)], found[2].decode()
    return dict(zip((zip_name, policy.EXE, policy.BUILDINFO), digests)), zip_name


def zip_exe(data):
    """The exe in DATA, byte for byte the zip dist makes of what it holds, each entry read within the size it
    states and the cap (read whole, it inflates a gigabyte at a time, and other methods without any bound)."""
    try:
        archive, cap = zipfile.ZipFile(io.BytesIO(data)), policy.MAX_BYTES[policy.EXE]
        entries = archive.infolist()
        if [e.filename for e in entries] != policy.ZIP_ENTRIES or \
                any(e.compress_type not in policy.ZIP_METHODS or e.file_size > cap for e in entries):
            return None
        contents = []
        for entry in entries:
            with archive.open(entry) as f:
                contents.append(f.read(entry.file_size))
        return contents[0] if releaseinfo.zip_bytes(contents) == data else None
    except (zipfile.BadZipFile, ValueError, OSError, EOFError, zlib.error, RuntimeError):
        return None


def read_buildinfo(data):
    lines = [re.escape(policy.BUILDINFO_TITLE)]
    for key, title in policy.BUILDINFO_KEYS.items():
        lines += [re.escape(title) + ":"] + [f"  {re.escape(p)} (?P<p{i}>.*)" for i, p in enumerate(
            releaseinfo.TOOLCHAIN_PACKAGES)] if key == "toolchain" else [f"{re.escape(title)}: (?P<{key}>.*)"]
    try:
        found = re.fullmatch("\n".join(lines) + "\n", data.decode("utf-8"))
    except UnicodeDecodeError:
        found = None
    if not found:
        raise Malformed("BUILDINFO is not as dist writes it: UTF-8, each key and toolchain package once, in order")
    return ({key: found[key] for key in policy.BUILDINFO_KEYS if key != "toolchain"},
            {package: found[f"p{i}"] for i, package in enumerate(releaseinfo.TOOLCHAIN_PACKAGES)})
