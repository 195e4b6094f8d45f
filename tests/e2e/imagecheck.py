#!/usr/bin/env python3
"""The shipped image, read and not run: what support staff ship is a small static 32-bit console PE
for Windows 4.0 and later, with nothing of the machine that built it, importing only the reviewed
functions. The 64-bit test build, made with the same options, is held to the same, but for its
machine.

    imagecheck.py EXE --bits 32|64 [--build-path PATH]..."""

import argparse
import os
import sys

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "python"))
from fundtable.customerpc import Failure, check  # noqa: E402


def reviewed_imports(bits):
    """{(dll, function)} from the reviewed list of what the image may import."""
    entries = set()
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), f"imports-win{bits}.txt")) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                entries.add((words[0].lower(), words[1]))
    return entries


def check_executable(exe, bits, build_paths):
    with open(exe, "rb") as f:
        image = f.read()
    for path in build_paths:
        check(path.encode() not in image, f"the image contains the build path {path}")
    check(len(image) <= 64 * 1024, f"{len(image)} bytes, more than 64 KiB")
    try:
        parsed = pefile.PE(data=image)
    except pefile.PEFormatError as error:
        raise Failure(f"not a Windows program: {error}") from None
    header, optional = parsed.FILE_HEADER, parsed.OPTIONAL_HEADER
    machine, magic = (("IMAGE_FILE_MACHINE_I386", pefile.OPTIONAL_HEADER_MAGIC_PE) if bits == 32 else
                      ("IMAGE_FILE_MACHINE_AMD64", pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS))
    check(header.Machine == pefile.MACHINE_TYPE[machine], f"machine {header.Machine:#x}, not {machine}")
    check(optional.Magic == magic, f"optional header magic {optional.Magic:#x}, not {magic:#x}")
    check(header.TimeDateStamp == 0, f"link timestamp {header.TimeDateStamp:#x}")
    os_version = (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
    check(os_version == (4, 0), f"lowest system version {os_version}")
    subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    check(subsystem_version == (4, 0), f"subsystem version {subsystem_version}")
    check(optional.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
          f"subsystem {optional.Subsystem}, not the console")
    # No manifest, on purpose: without one the exe runs under the same UAC virtualisation of the
    # registry and files as the quotes application, which has none either, so both see the same
    # FilePath and the same install directory on Vista and later. An asInvoker manifest would end
    # that virtualisation for the tool alone.
    resources = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    check(resources.Size == 0, "the image carries resources (a manifest among them?)")
    imported = {(dll.dll.decode().lower(), function.name.decode() if function.name else f"#{function.ordinal}")
                for dll in getattr(parsed, "DIRECTORY_ENTRY_IMPORT", []) for function in dll.imports}
    reviewed = reviewed_imports(bits)
    added = sorted(f"{dll} {function}" for dll, function in imported - reviewed)
    dropped = sorted(f"{dll} {function}" for dll, function in reviewed - imported)
    check(not added, f"imports {', '.join(added)}, which tests/e2e/imports-win{bits}.txt does not list: "
                     "check that Windows 95 OSR2 and NT 4.0 have it, and list it with where it comes from")
    check(not dropped, f"no longer imports {', '.join(dropped)}: take it off tests/e2e/imports-win{bits}.txt")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--build-path", action="append", default=[], help="a path the image must not contain")
    args = parser.parse_args()
    try:
        check_executable(args.exe, args.bits, args.build_path)
    except Failure as failure:
        print(f"FAIL executable: {failure}")
        return 1
    kind = "PE32 i386" if args.bits == 32 else "PE32+ x86_64"
    print(f"PASS executable: {os.path.getsize(args.exe)} bytes, {kind} console 4.0, static")
    return 0


if __name__ == "__main__":
    sys.exit(main())
