"""verify-release [FILE] [--built EXE] [--signer FINGERPRINT] [--trust CAFILE] [--tsa CAFILE] [--buildinfo FILE]

Whether FILE, signed or not, is exactly the exe this checkout builds (or EXE), who signed it (by
SIGNER's fingerprint, or a chain reaching a certificate in TRUST's CAFILE), when (a timestamp by an
authority reaching one in TSA's CAFILE), and what its release folder (BUILDINFO's, or FILE's)
vouches for: fundrelease.verification's verdict, printed. Each setting may come from FUNDTABLE_EXE,
FUNDTABLE_SIGNER, ... as make hands them over; one set but empty is an error. docs/verifying.md
says what this proves and how to read the report. Exit 0: every check passed; 1: one failed: do
not ship the file; 2: a setting is wrong, or a check could not be made (a program is missing)."""

import argparse
import os
import sys

from fundrelease import policy, releaseinfo
from fundrelease.inputs import read_once
from fundrelease.verification import Settings, Unusable, printable, verify

OPTIONS = {"signer": "FINGERPRINT", "trust": "CAFILE", "tsa": "CAFILE", "buildinfo": "FILE"}


def read_setting(path, what):
    try:
        return read_once(path, policy.MAX_BYTES[policy.EXE if what == "EXE" else "setting"])
    except OSError as error:
        raise Unusable(f"cannot read {what} {printable(path)}: {error.strerror or error}") from None


def arguments():
    parser = argparse.ArgumentParser(prog="verify-release", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe", nargs="?", metavar="FILE")
    for name, value in {"built": "EXE", **OPTIONS}.items():
        parser.add_argument(f"--{name}", metavar=value)
    args = parser.parse_args()
    for name in ("exe", *OPTIONS):
        if getattr(args, name) is None:
            setattr(args, name, os.environ.get(f"FUNDTABLE_{name.upper()}"))
        if getattr(args, name) == "":
            raise Unusable(f"{name.upper()} is set but empty: give it a value, or leave it unset")
    if args.exe is None:
        raise Unusable("usage: make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE] [TSA=CAFILE] [BUILDINFO=FILE]")
    return args, Settings(args.signer, args.trust and read_setting(args.trust, "TRUST"),
                          args.tsa and read_setting(args.tsa, "TSA"), args.trust, args.tsa)


def main():
    try:
        args, settings = arguments()
        if args.built:  # whatever it is, this checkout's build it is not
            built, compared_with, unbuilt = read_setting(args.built, "EXE"), f"the exe {printable(args.built)}", ""
        else:
            compared_with = f"the exe this checkout ({releaseinfo.Source().version}) builds"
            built, unbuilt = releaseinfo.build, ""  # built once the settings and the file are found usable
    except Unusable as error:
        print(f"verify-release: {error}", file=sys.stderr)
        return 2
    verdict = verify(args.exe, built, settings, args.buildinfo, compared_with=compared_with, unbuilt=unbuilt)
    if not verdict.report:  # nothing was examined
        print("".join(f"verify-release: {reason}\n" for reason in verdict.reasons), end="", file=sys.stderr)
        return verdict.status
    print("\n".join(verdict.report))
    if verdict.status:
        print(f"but {'; '.join(verdict.reasons)}: do not ship this file" if verdict.status == 1 else
              f"not verified: {'; '.join(verdict.reasons)}")
    return verdict.status


if __name__ == "__main__":
    sys.exit(main())
