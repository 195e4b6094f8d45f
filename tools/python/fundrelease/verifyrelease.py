"""verify-release [FILE] [--built EXE] [--signer FINGERPRINT] [--trust CAFILE] [--tsa CAFILE] [--buildinfo FILE]

Says whether FILE, signed or not, is exactly the exe this checkout builds, who signed it, and what
its release folder vouches for. Each setting may come from FUNDTABLE_EXE, FUNDTABLE_SIGNER, ...
as make hands them over; a setting that is set but empty is an error, never "not given".

  --built EXE           compare with EXE, not with this checkout's exe (built where the toolchain is)
  --signer FINGERPRINT  every signature's certificate has this SHA-256 fingerprint (colons or none)
  --trust CAFILE        every signature's certificate is for code signing and chains to CAFILE
  --tsa CAFILE          every signature has a timestamp by an authority chaining to CAFILE, over it,
                        within its certificate's validity
  --buildinfo FILE      the release's BUILDINFO, when not beside FILE

Each input is read once; a release may hold what fundrelease.policy allows and nothing else.
docs/verifying.md says what this proves, what it does not, and how to read the report.

Exit 0: every check passed. 1: one failed: do not ship the file. 2: a setting is wrong, or a check
could not be made (a program or the toolchain is missing)."""

import argparse
import os
import re
import sys

import pefile

from fundrelease import authenticode
from fundrelease import manifest
from fundrelease import policy
from fundrelease import releaseinfo
from fundrelease.certificates import Malformed, Missing, pem_certificates, printable, read_once, trusted

SETTINGS = {"file": "EXE", "signer": "SIGNER", "trust": "TRUST", "tsa": "TSA", "buildinfo": "BUILDINFO"}


class Usage(Exception):
    pass


def read_setting(path, what):
    try:
        return read_once(path, policy.MAX_BYTES["setting" if what != "EXE" else policy.EXE])
    except OSError as error:
        raise Usage(f"cannot read {what} {printable(path)}: {error.strerror or error}") from None


def settings():
    parser = argparse.ArgumentParser(prog="verify-release", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?")
    parser.add_argument("--built", metavar="EXE")
    for name in ("signer", "trust", "tsa", "buildinfo"):
        parser.add_argument(f"--{name}")
    args = parser.parse_args()
    for name, variable in SETTINGS.items():
        if getattr(args, name) is None:
            setattr(args, name, os.environ.get(f"FUNDTABLE_{variable}"))
        if getattr(args, name) == "":
            raise Usage(f"{variable} is set but empty: give it a value, or leave it unset")
    # BUILDINFO= only says where the release folder is, whose BUILDINFO is read with the rest.
    if args.buildinfo is not None and (os.path.basename(args.buildinfo) != policy.BUILDINFO or not os.path.isfile(args.buildinfo)):
        raise Usage(f"BUILDINFO must name a release folder's file {policy.BUILDINFO}, not {printable(args.buildinfo)}")
    if args.file is None:
        raise Usage("usage: make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE] [TSA=CAFILE] "
                    "[BUILDINFO=FILE]")
    if args.signer and not re.fullmatch(r"[0-9a-f]{64}", normalised(args.signer)):
        raise Usage(f"SIGNER is a SHA-256 fingerprint, 64 hex digits: not {printable(args.signer)}")
    for name, path, what in (("anchors", args.trust, "TRUST"), ("authorities", args.tsa, "TSA"), ("built_image", args.built, "EXE")):
        setattr(args, name, read_setting(path, what) if path else None)
        if path and what != "EXE" and not pem_certificates(getattr(args, name)):
            raise Usage(f"{what} names {printable(path)}, which holds no PEM certificate")
    try:
        args.folder_fd = os.open(os.path.dirname(args.file) or ".", os.O_RDONLY | os.O_DIRECTORY)
        args.candidate = read_once(os.path.basename(args.file), policy.MAX_BYTES[policy.EXE], dir_fd=args.folder_fd)
    except OSError as error:
        raise Usage(f"cannot read {printable(args.file)}: {error.strerror or error}") from None
    return args


def normalised(fingerprint):
    return re.sub(r"[:\s]", "", fingerprint).lower()


def establish(signature, at, args):
    """Prints whether SIGNATURE's signer is the one asked for; returns why not, or ''."""
    if args.signer:
        if normalised(signature.signer.fingerprint) != normalised(args.signer):
            print("      signer:   NOT established: its SHA-256 fingerprint is not the one given "
                  f"({printable(args.signer)})")
            return "the signer is not the one asked for"
        print("      signer:   established: its SHA-256 fingerprint is the one given")
    if args.trust:
        why = trusted(signature.chain, args.anchors, args.trust, at)
        if why:
            print(f"      signer:   NOT established: {printable(why)}")
            return "the signer is not the one asked for"
        print(f"      signer:   established: it chains to a certificate in {printable(args.trust)} "
              "and is for code signing")
    return ""


def check_timestamps(signature, args):
    """Prints each timestamp; returns (the time a verified one gives, failures)."""
    if not signature.timestamps:
        print("    timestamp:  none: the signature stops verifying when its certificate expires")
        return None, ["a signature has no timestamp"] if args.tsa else []
    verified, failures, signer = None, [], signature.signer
    for timestamp in signature.timestamps:
        when, by = timestamp.time, timestamp.signer.subject if timestamp.signer else "no authority OpenSSL can prove"
        said = f"{when:%b} {when.day:2} {when:%H:%M:%S %Y} GMT, by {by}"
        if timestamp.refused:
            print(f"    tampered:   a timestamp: {printable(timestamp.refused)}")
            failures.append(f"a timestamp {timestamp.refused}")
        if not args.tsa:
            print(f"    timestamp:  {said}: not verified (TSA=CAFILE verifies it)")
            continue
        why = timestamp.verify(args.authorities, args.tsa) or timestamp.refused
        if not (signer and signer.not_before <= when <= signer.not_after):
            why = f"its time lies outside the certificate's validity ({signer.valid if signer else '?'})"
        print(f"    timestamp:  {said}: " + (f"NOT verified: {printable(why)}" if why else
                                            f"verified against {printable(args.tsa)}"))
        failures += [f"a timestamp does not verify: {printable(why)}"] if why else []
        verified = verified or (None if why else when)
    return verified, failures


def check_signatures(signatures, args):
    """Prints every signature; returns (the reasons it fails, the time the primary's verified timestamp gives)."""
    failures, timed, primary = [], None, signatures[0].signer
    if len(signatures) > 1:
        print(f"  signatures:   {len(signatures)}, the others nested in the first: each must be the signer's")
    for index, signature in enumerate(signatures):
        print(f"  signature {index + 1}{' (nested)' if index else ''}:")
        signer = signature.signer
        if signer:
            print(f"    signed by:  {signer.subject}\n      SHA-256:  {signer.fingerprint}\n"
                  f"      issuer:   {signer.issuer}\n      valid:    {signer.valid}")
        print("    carries:    " + "; ".join(f"{c.subject}, issued by {c.issuer}" for c in signature.carried))
        why = signature.refused or ("" if signature.digest_matches else
                                    "the file was changed after it was signed (its digest no longer matches)")
        if signer and primary and signer.der != primary.der:
            why = why or "it is not made by the primary signature's signer, where a release has one"
        at, wrong = check_timestamps(signature, args)
        failures += wrong
        timed = timed or (at if not index else None)
        print(f"    signature:  {'intact' if not why else 'NOT intact: ' + printable(why)}")
        if why:
            failures.append(f"a signature is not intact: {printable(why)}")
        elif args.signer or args.trust:
            failures.append(establish(signature, at, args))
    if not (args.signer or args.trust):
        print("  signer:       not established: anyone can make a certificate with any subject; give the vendor's\n"
              "                fingerprint (SIGNER=FINGERPRINT) or its CA or a public root (TRUST=CAFILE)")
    return failures, timed


def sums_established(signature, exe, timed, args):
    """Prints who signed SHA256SUMS; returns why that falls short, or ''."""
    if signature is None:
        return f"nothing signs {policy.SUMS}, so no signature covers BUILDINFO" if args.signer or args.trust else ""
    if signature.signer is None:
        print(f"    {policy.SUMS}: its signature does NOT verify ({printable(signature.refused)})")
        return f"the signature over {policy.SUMS} does not verify"
    print(f"    {policy.SUMS}: signed by {signature.signer.subject}, SHA-256 {signature.signer.fingerprint}")
    if signature.refused or not exe or exe.der != signature.signer.der:  # one signer for the whole release
        print(f"      signer:   NOT the exe's: {printable(signature.refused or 'another certificate made it')}")
        return f"{policy.SUMS} is not signed by the exe's own signer"
    # SHA256SUMS.p7s is made in the run that signs the exe, by the same key: the exe's verified
    # timestamp dates it too, so the certificate's expiry since then does not void the release.
    return establish(signature, timed, args) and f"{policy.SUMS} is not signed by the signer asked for"


def verify(args):
    """Prints the report; returns (failures, checks not made)."""
    candidate = args.candidate
    print(f"{printable(args.file)}: {len(candidate)} bytes")
    try:
        signatures, stripped = authenticode.read(candidate)
    except authenticode.NotAnImage:
        print("differs: not a Windows executable")
        return ["it is not a Windows executable"], []
    except Malformed as error:
        print(f"  signature:    NOT intact: {printable(error)}")
        return [printable(error)], []
    if not signatures:
        print("  not signed")
    failures, timed = check_signatures(signatures, args) if signatures else (
        ["it is not signed"] if args.signer or args.trust or args.tsa else [], None)
    exe = signatures[0].signer if signatures else None
    reasons, folder = [], os.path.dirname(args.buildinfo or args.file) or "."
    folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY) if args.buildinfo else args.folder_fd
    same = os.path.samestat(os.fstat(folder_fd), os.fstat(args.folder_fd))
    if args.buildinfo or manifest.is_release(os.listdir(folder_fd)):
        known = {os.path.basename(args.file): candidate} if same else {}
        reasons, wrong = manifest.check_folder(folder, folder_fd, known, candidate, stripped,
                                               lambda sums: sums_established(sums, exe, timed, args))
        failures += wrong
    built, why = (args.built_image, "") if args.built else releaseinfo.build()
    if built is None:
        print(f"not compared: {why}")
        return failures, ["the byte comparison was not made"]
    built = built if args.built else read_once(built, policy.MAX_BYTES[policy.EXE])
    if stripped != built:
        for reason in reasons:
            print(f"differs: {reason}")
        print(f"differs: the file{', less its signature,' if signatures else ''} is not the exe this checkout "
              f"builds: {difference(built, stripped)}")
        return failures + ["it is not the exe this checkout builds"], []
    print(f"matches: {'less its signature, ' if signatures else ''}byte for byte the exe this checkout "
          f"({releaseinfo.Source().version}) builds")
    return failures, []


def difference(built, candidate):
    """Where CANDIDATE's bytes differ from BUILT's, in words: how many, and the first few places."""
    image = pefile.PE(data=built, fast_load=True)
    checksum = image.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")

    def where(offset):
        section = image.get_section_by_offset(offset)
        if section:
            return f"section {section.Name.rstrip(bytes(1)).decode('ascii', 'replace')}, " \
                   f"{offset - section.PointerToRawData:#x} bytes in"
        if offset >= image.OPTIONAL_HEADER.SizeOfHeaders:
            return "outside every section"
        return "the headers: PE checksum" if 0 <= offset - checksum < 4 else f"the headers, {offset:#x} bytes in"

    differing = [i for i in range(min(len(built), len(candidate))) if built[i] != candidate[i]]
    places = ", ".join(f"{i:#x} ({where(i)})" for i in differing[:3])
    more = f" and {len(differing) - 3} more" if len(differing) > 3 else ""
    said = f"{len(differing)} byte(s) differ" + (f", at {places}{more}" if differing else "")
    if len(built) != len(candidate):
        said = f"{len(candidate)} bytes where the build has {len(built)}; in the common part {said}"
    return said


def main():
    try:
        args = settings()
        failures, unchecked = verify(args)
    except (Usage, Missing) as error:
        print(f"verify-release: {error}", file=sys.stderr)
        return 2
    except Exception as error:  # a last resort: whatever the file holds, one line and no traceback
        print(f"verify-release: the check could not be made ({type(error).__name__}: {printable(error)})",
              file=sys.stderr)
        return 2
    failures = list(dict.fromkeys(f for f in failures if f))
    if failures:
        print(f"but {'; '.join(failures)}: do not ship this file")
        return 1
    if unchecked:
        print(f"not verified: {'; '.join(unchecked)}")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
