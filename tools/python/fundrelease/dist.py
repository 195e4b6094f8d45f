"""dist EXE OUTDIR [signing] [--sign-timestamp-url URL] [--prove BUILD | --proof FILE]

Makes the release in OUTDIR: FundTableRepair.exe, FundTableRepair-<version>.zip (the same exe and
the note for support staff), BUILDINFO (what built it) and SHA256SUMS over the three, so that
`sha256sum -c SHA256SUMS` passes in OUTDIR. Unsigned, the same sources and toolchain give the same
bytes. Signed, the exe is signed with Authenticode (SHA-256) before it is zipped and summed, and
must strip back to EXE byte for byte; SHA256SUMS.p7s, a detached CMS signature by the same key and
certificate, signs SHA256SUMS and so the release as a whole. Signing takes one kind of key:

  --sign-pkcs12 FILE --sign-password-file FILE
      a key exported with its certificate to a PKCS#12 file;
  --sign-pkcs11-module LIB --sign-key URI --sign-cert FILE --sign-pin-file FILE
      a key that never leaves its token (USB token, network HSM, cloud signing service), reached
      through the token's PKCS#11 library; URI is an RFC 7512 pkcs11: URI naming the private key,
      FILE the signing certificate in PEM followed by any intermediate certificates.

Each --sign-... option not given is read from FUNDTABLE_SIGN_... (FUNDTABLE_SIGN_PKCS12, say), as
make dist hands them over; empty is not given. A password or PIN is read by the signing tool from
its file; it never appears in a command line or in the output. --prove BUILD first runs the
end-to-end cases on BUILD's FundTableRepair.exe, which must be EXE, and records in BUILDINFO the
bytes, the cases passed and the Wine that ran them; a failure, or a machine where the shipped exe
cannot run, makes no release. --proof FILE takes the proof an earlier --prove left
(BUILD/dist-proof.json) instead of running the cases again: it must be for these very bytes, and
name every case the runner lists as passed and none failed.

A release is what its commit holds: while files git does not track sit in the checkout (ignored
ones too; build/ and dist/ aside), no release is made. The release is made in OUTDIR.partial and
renamed at the end: a failure, Ctrl-C or SIGTERM ends the signer and leaves no OUTDIR.partial and
no OUTDIR that looks like a release. The version comes from fundrelease.releaseinfo."""

import argparse
import contextlib
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys

from fundrelease import policy
from fundrelease import releaseinfo
from fundrelease.programs import Missing
from fundrelease.signing import ReleaseError, read, sign, sign_sums

TOP = releaseinfo.TOP
EXE_NAME = policy.EXE
NOTE_FILE = os.path.join(TOP, "docs", "support-note.txt")
E2E = os.path.join(TOP, "tests", "e2e", "e2e.py")
SIGN_SETTINGS = ["sign_pkcs12", "sign_password_file", "sign_pkcs11_module", "sign_key", "sign_cert",
                 "sign_pin_file", "sign_timestamp_url"]


class Interrupted(Exception):
    pass


def interrupted(number, frame):
    for each in (signal.SIGINT, signal.SIGTERM):
        signal.signal(each, signal.SIG_IGN)
    raise Interrupted(number)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def prove(build, shipped_sha256):
    """Runs every end-to-end case on BUILD's exe, which must be the bytes shipped, on a prefix of
    the release's own; returns what passed, as BUILDINFO says it."""
    exe = os.path.join(build, EXE_NAME)
    if sha256(read(exe)) != shipped_sha256:
        raise ReleaseError(f"{exe} is not the exe being released; the proof must run the shipped bytes")
    machine = subprocess.run([os.path.join(TOP, "tools", "wine", "runs-32bit-code")], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True)
    if machine.returncode != 0:
        raise ReleaseError(f"the end-to-end cases cannot run on the shipped exe: {machine.stdout.strip()}")
    log = os.path.join(build, "dist-proof.log")
    result = os.path.join(build, "dist-proof.json")
    with contextlib.suppress(FileNotFoundError):
        os.remove(result)
    print(f"dist: running the end-to-end cases on {os.path.relpath(exe, TOP)} (about a minute)", flush=True)
    with open(log, "wb") as out:
        try:
            subprocess.run([sys.executable, E2E, "--exe", exe, "--hold-file",
                            os.path.join(build, "tests", "e2e", "HoldFile.exe"),
                            "--prefix", os.path.join(build, "dist-prefix"), "--result", result],
                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=1200)
        except subprocess.TimeoutExpired:
            raise ReleaseError(f"the end-to-end cases did not finish within 20 minutes; see {log}") from None
    return proven(result, shipped_sha256, f"see {log}")


def proven(result, shipped_sha256, where):
    """The proof, as BUILDINFO says it, that RESULT (e2e.py's JSON) gives the bytes shipped: every
    case the runner lists passed on them, none failed. WHERE says where to look when it does not."""
    try:
        outcome = json.loads(read(result))
        listed = subprocess.run([sys.executable, E2E, "--list", "--bits", "32"], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=120, check=True).stdout.split()
        passed, failed, exe_sha256 = outcome["passed_cases"], outcome["failed"], outcome["exe_sha256"]
        route, wine = outcome["route"], outcome["wine"]
    except (OSError, ValueError, KeyError, TypeError, subprocess.SubprocessError):
        raise ReleaseError(f"the end-to-end cases reported nothing that can be read; {where}") from None
    if exe_sha256 != shipped_sha256:
        raise ReleaseError(f"the end-to-end cases ran on other bytes than the exe being released; {where}")
    if failed or sorted(passed) != sorted(listed):
        raise ReleaseError(f"the end-to-end cases did not all pass on the exe; {where}")
    mode = " in WoW64 mode, as a 32-bit program on 64-bit Windows" if route == "wow64" else ""
    return (f"these bytes (SHA-256 {shipped_sha256}) passed all {len(passed)} end-to-end cases on the "
            f"machine that built them, under Wine ({wine}){mode}")


def make_release(exe, out, signing, proof_build, proof_file=None):
    source = releaseinfo.Source()
    if source.untracked:
        more = len(source.untracked) - 3
        listed = ", ".join(source.untracked[:3]) + (f" and {more} more" if more > 0 else "")
        raise ReleaseError(f"files git does not track sit among the sources ({listed}), and a release is what its "
                           "commit holds: commit or remove them")
    if not policy.VERSION.fullmatch(source.version):
        raise ReleaseError(f"the version {source.version!r}, from its tag or VERSION, is none a release may have: a digit, "
                           "then letters, digits and ._+- alone")
    unsigned_sha256 = sha256(read(exe))
    partial = out.rstrip("/") + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    shipped = os.path.join(partial, EXE_NAME)
    # Signing first: a wrong PIN is said at once, not after the end-to-end cases.
    if signing.signed:
        sign(exe, shipped, signing)
    else:
        shutil.copyfile(exe, shipped)
    if proof_build:
        proof = prove(proof_build, unsigned_sha256)
    elif proof_file:
        proof = proven(proof_file, unsigned_sha256, f"see {proof_file}")
    else:
        proof = "not run when this release was made"
    image = read(shipped)
    with open(NOTE_FILE, encoding="utf-8") as f:
        note = f.read().replace("{version}", source.version)
    name = policy.ZIP_NAME.format(source.version)
    with open(os.path.join(partial, name), "wb") as f:
        # Notepad on a Chinese Windows reads UTF-8 with a BOM; CRLF keeps its lines apart.
        f.write(releaseinfo.zip_bytes([image, note.replace("\n", "\r\n").encode("utf-8-sig")]))
    releaseinfo.write_buildinfo(os.path.join(partial, policy.BUILDINFO), source, unsigned_sha256, proof)
    sums = os.path.join(partial, policy.SUMS)
    with open(sums, "w") as f:
        f.write(releaseinfo.sums_text({n: read(os.path.join(partial, n)) for n in (name, EXE_NAME, policy.BUILDINFO)}))
    if signing.signed:
        sign_sums(sums, shipped, signing)
    shutil.rmtree(out, ignore_errors=True)
    os.rename(partial, out)
    print(f"{os.path.join(out, name)}\n{sha256(read(os.path.join(out, name)))}")
    if source.dirty:
        print(f"dist: made from a tree with uncommitted changes: version {source.version}, not reproducible "
              "from any commit")
    if signing.signed:
        print(f"{os.path.join(out, EXE_NAME)}: signed, {len(image)} bytes; {policy.SUMS} signed by the same key")


def main():
    parser = argparse.ArgumentParser(prog="dist", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("out")
    parser.add_argument("--sign-pkcs12", metavar="FILE")
    parser.add_argument("--sign-password-file", metavar="FILE")
    parser.add_argument("--sign-pkcs11-module", metavar="LIB")
    parser.add_argument("--sign-key", metavar="URI")
    parser.add_argument("--sign-cert", metavar="FILE")
    parser.add_argument("--sign-pin-file", metavar="FILE")
    parser.add_argument("--sign-timestamp-url", metavar="URL")
    parser.add_argument("--prove", metavar="BUILD")
    parser.add_argument("--proof", metavar="FILE")
    args = parser.parse_args()
    for name in SIGN_SETTINGS:
        if not getattr(args, name):
            setattr(args, name, os.environ.get("FUNDTABLE_" + name.upper()) or None)
    pkcs12 = [args.sign_pkcs12, args.sign_password_file]
    pkcs11 = [args.sign_pkcs11_module, args.sign_key, args.sign_cert, args.sign_pin_file]
    args.signed = any(pkcs12 + pkcs11)
    for each in (signal.SIGINT, signal.SIGTERM):
        signal.signal(each, interrupted)
    try:
        if any(pkcs12) and any(pkcs11):
            raise ReleaseError("give one key: SIGN_PKCS12 for a key in a file, or SIGN_PKCS11_MODULE for one in a token")
        if any(pkcs12) and not all(pkcs12):
            raise ReleaseError("signing with a PKCS#12 file needs both SIGN_PKCS12 and SIGN_PASSWORD_FILE")
        if any(pkcs11) and not all(pkcs11):
            raise ReleaseError("signing with a token needs SIGN_PKCS11_MODULE, SIGN_KEY, SIGN_CERT and SIGN_PIN_FILE")
        if args.sign_timestamp_url and not args.signed:
            raise ReleaseError("SIGN_TIMESTAMP_URL is for signing; give a key too")
        if args.prove and args.proof:
            raise ReleaseError("give --prove to run the end-to-end cases, or --proof for a proof they left; not both")
        make_release(args.exe, args.out, args, args.prove, args.proof)
    except (ReleaseError, OSError, Missing, Interrupted) as error:
        stopped = isinstance(error, Interrupted) or signal.getsignal(signal.SIGINT) == signal.SIG_IGN
        for each in (signal.SIGINT, signal.SIGTERM):
            signal.signal(each, signal.SIG_IGN)
        shutil.rmtree(args.out.rstrip("/") + ".partial", ignore_errors=True)
        print(f"dist: {'interrupted' if stopped else error}; no release was made", file=sys.stderr)
        return 130 if stopped else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
