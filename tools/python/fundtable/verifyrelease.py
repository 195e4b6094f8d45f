"""verify-release [FILE] [--built EXE] [--signer FINGERPRINT] [--trust CAFILE] [--tsa CAFILE] [--buildinfo FILE]

Says whether FILE, signed or not, is exactly the exe this checkout builds, who signed it, and what
its release folder vouches for. Each setting may come from the environment instead, as make
verify-release hands them over: FUNDTABLE_EXE, FUNDTABLE_SIGNER, FUNDTABLE_TRUST, FUNDTABLE_TSA,
FUNDTABLE_BUILDINFO. A setting that is set but empty is an error, never "not given".

  --built EXE           compare with EXE; else this checkout's exe is built, where the toolchain is
                        installed (nothing is installed: where it is not, the comparison is not made)
  --signer FINGERPRINT  every signature was made by the key of the certificate with this SHA-256
                        fingerprint (colons or none, any case)
  --trust CAFILE        every signature was made by a code-signing certificate that chains to CAFILE
  --tsa CAFILE          every signature has a timestamp signed by an authority that chains to
                        CAFILE, made over that signature, at a time within its certificate's validity
  --buildinfo FILE      the release's BUILDINFO, when not beside FILE

Every signature, nested ones too, is shown with the certificate whose key made it, which OpenSSL
proves; intact means osslsigncode finds its digest of the file right and it verifies against the
certificates the file carries. The signature block must hold the signature and nothing else: no
certificate off its signer's chain, no revocation list, no unsigned data but timestamps and nested
signatures, no digest weaker than SHA-256. A folder holding any release file is a release: there,
SHA256SUMS must list every other file as it is, the exe among them and in the zip, and BUILDINFO
must describe this exe; under --signer or --trust, SHA256SUMS.p7s must sign SHA256SUMS by the same
signer, judged at the exe's verified timestamp when that signer made it.

Exit 0: every check passed. 1: one failed: do not ship the file. 2: a setting is wrong, or a check
could not be made (a program or the toolchain is missing)."""

import argparse
import os
import re
import sys
import tempfile

from fundtable import authenticode
from fundtable import certificates
from fundtable import manifest
from fundtable import pe
from fundtable import releaseinfo
from fundtable.certificates import printable

SETTINGS = {"file": "EXE", "signer": "SIGNER", "trust": "TRUST", "tsa": "TSA", "buildinfo": "BUILDINFO"}


class Usage(Exception):
    pass


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
    if args.file is None:
        raise Usage("usage: make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE] [TSA=CAFILE] "
                    "[BUILDINFO=FILE]")
    if args.signer and not re.fullmatch(r"[0-9a-f]{64}", normalised(args.signer)):
        raise Usage(f"SIGNER is a SHA-256 fingerprint, 64 hex digits: not {printable(args.signer)}")
    for path in (args.file, args.trust, args.tsa, args.buildinfo, args.built):
        try:
            if path:
                open(path, "rb").close()
        except OSError as error:
            raise Usage(f"cannot read {printable(path)}: {error.strerror}") from None
    return args


def normalised(fingerprint):
    return re.sub(r"[:\s]", "", fingerprint).lower()


def establish(signer, carried, at, args, work):
    """Prints whether SIGNER is the one asked for; returns why not, or ''."""
    if args.signer:
        if normalised(signer.fingerprint) != normalised(args.signer):
            print("      signer:   NOT established: its SHA-256 fingerprint is not the one given "
                  f"({printable(args.signer)})")
            return "the signer is not the one asked for"
        print("      signer:   established: its SHA-256 fingerprint is the one given")
    if args.trust:
        why = certificates.chains_to(signer, carried, args.trust, work, at)
        if why:
            print(f"      signer:   NOT established: {printable(why)}")
            return "the signer is not the one asked for"
        print(f"      signer:   established: it chains to a certificate in {printable(args.trust)} "
              "and is for code signing")
    return ""


def check_timestamps(signature, signer, args, work):
    """Prints each timestamp; returns (the time a verified one gives, failures)."""
    if not signature.timestamps:
        print("    timestamp:  none: the signature stops verifying when its certificate expires")
        return None, ["a signature has no timestamp"] if args.tsa else []
    verified, failures = None, []
    for timestamp in signature.timestamps:
        when, by = timestamp.claimed(work)
        said = f"{when:%b} {when.day:2} {when:%H:%M:%S %Y} GMT, by {by}" if when else f"by {by}"
        if not args.tsa:
            print(f"    timestamp:  {said}: not verified (TSA=CAFILE verifies it)")
            continue
        why = timestamp.verify(signature.value, args.tsa, work)
        if not why and not (when and signer and signer.not_before <= when <= signer.not_after):
            why = f"its time lies outside the certificate's validity ({signer.valid if signer else '?'})"
        print(f"    timestamp:  {said}: " + (f"NOT verified: {printable(why)}" if why else
                                            f"verified against {printable(args.tsa)}"))
        failures += [f"a timestamp does not verify: {printable(why)}"] if why else []
        verified = verified or (None if why else when)
    return verified, failures


def off_chain(signer, carried, what, work):
    """Prints and returns the failure of WHAT carrying a certificate off its SIGNER's chain, or []."""
    if signer is None:
        print(f"    tampered:   {what} names no signer OpenSSL can prove")
        return [f"{what} names no signer OpenSSL can prove"]
    stray = certificates.off_chain(signer, carried, work)
    for certificate in stray:
        print(f"    tampered:   {what} carries a certificate on no chain of its signer: {certificate.subject}, "
              f"SHA-256 {certificate.fingerprint}")
    return [f"{what} carries a certificate no signature vouches for"] if stray else []


def check_signatures(path, image, args, work):
    """Prints every signature of the signed IMAGE; returns (the reasons it fails, and the fingerprint of
    the primary signer with the time its timestamp verified under TSA gives, or None)."""
    try:
        signatures = authenticode.read(image)
    except authenticode.Refused as error:
        print(f"  signature:    NOT intact: {error}")
        return [str(error)], None
    anchors, failures, timed = authenticode.anchors_for(signatures, work), [], None
    if len(signatures) > 1:
        print(f"  signatures:   {len(signatures)}, the others nested in the first: each must be the signer's")
    for index, signature in enumerate(signatures):
        print(f"  signature {index + 1}{' (nested)' if index else ''}:")
        signer, why = signature.prove(work)
        if signer is None:
            print(f"    signed by:  no certificate the file carries: {printable(why)}")
        else:
            print(f"    signed by:  {signer.subject}\n      SHA-256:  {signer.fingerprint}")
            print(f"      issuer:   {signer.issuer}\n      valid:    {signer.valid}")
        carried = certificates.certificates("".join(signature.carried))
        print("    carries:    " + "; ".join(f"{c.subject}, issued by {c.issuer}" for c in carried))
        failures += off_chain(signer, carried, "the signature", work) if signer else []
        for timestamp in signature.timestamps:
            authority = timestamp.authority(work)
            failures += off_chain(authority, certificates.certificates("".join(timestamp.carried)), "a timestamp", work)
        at, wrong = check_timestamps(signature, signer, args, work)
        failures += wrong
        timed = timed or ((signer.fingerprint, at) if signer and at and not index else None)
        why = why or authenticode.digest_verifies(path, index, anchors, at)
        print(f"    signature:  {'intact' if not why else 'NOT intact: ' + printable(why)}")
        if why:
            failures.append("a signature is not intact")
            continue
        if args.signer or args.trust:
            failures.append(establish(signer, "".join(signature.carried), at, args, work))
    if not (args.signer or args.trust):
        print("  signer:       not established: an intact signature fits the certificates it carries, and anyone can")
        print("                make a certificate with any subject. Compare the fingerprint with the vendor's")
        print("                (SIGNER=FINGERPRINT), or check the chain against the vendor's CA or a public root")
        print("                (TRUST=CAFILE)")
    return failures, timed


def verify(args, work):
    """Prints the report; returns (failures, checks not made)."""
    with open(args.file, "rb") as f:
        candidate = f.read()
    print(f"{printable(args.file)}: {len(candidate)} bytes")
    try:
        _, size = pe.Headers(candidate).directory(pe.CERTIFICATE)
    except pe.NotAnImage:
        print("differs: not a Windows executable")
        return ["it is not a Windows executable"], []
    failures, stripped, timed = [], candidate, None
    if size == 0:
        print("  not signed")
        failures += ["it is not signed"] if args.signer or args.trust or args.tsa else []
    else:
        wrong, timed = check_signatures(args.file, candidate, args, work)
        failures += wrong
        stripped = authenticode.strip(candidate)
    buildinfo = args.buildinfo or os.path.join(os.path.dirname(args.file), "BUILDINFO")
    folder = os.path.dirname(buildinfo) or "."
    reasons = []

    def when(signer):
        # SHA256SUMS.p7s is made in the run that signs the exe, by the same key: the exe's verified
        # timestamp dates it too, so the certificate's expiry since then does not void the release.
        return timed[1] if timed and timed[0] == signer.fingerprint else None

    if args.buildinfo or manifest.is_release(folder):
        wrong, reasons = manifest.check_folder(folder, buildinfo, candidate, stripped, args, work,
                                               lambda signer, carried: establish(signer, carried, when(signer),
                                                                                 args, work))
        failures += wrong
    built, why = (args.built, "") if args.built else releaseinfo.build()
    if built is None:
        print(f"not compared: {why}")
        return failures, ["the byte comparison was not made"]
    with open(built, "rb") as f:
        built = f.read()
    if stripped != built:
        for reason in reasons:
            print(f"differs: {reason}")
        print(f"differs: the file{', less its signature,' if size else ''} is not the exe this checkout builds: "
              f"{pe.describe_difference(built, stripped)}")
        return failures + ["it is not the exe this checkout builds"], []
    print(f"matches: {'less its signature, ' if size else ''}byte for byte the exe this checkout "
          f"({releaseinfo.Source().version}) builds")
    return failures, []


def main():
    try:
        args = settings()
    except Usage as error:
        print(f"verify-release: {error}", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as work:
        try:
            failures, unchecked = verify(args, work)
        except certificates.Missing as error:
            print(f"verify-release: {error}, so the signatures were not checked", file=sys.stderr)
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
