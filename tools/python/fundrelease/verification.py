"""The verdict on an exe and its release folder: verify() decides and says, in the report's lines,
what it established; it prints nothing and exits nothing. tools/release/verify-release prints it."""

import errno
import os
import re
from dataclasses import dataclass, field

import pefile

from fundrelease import authenticode, manifest, policy
from fundrelease.certificates import Malformed, Missing, pem_certificates, printable, read_once, trusted


class Unusable(Exception):
    """A setting that cannot be used: no verdict is made."""


@dataclass
class Settings:
    """Who is asked for: SIGNER's fingerprint, the PEM bytes of TRUST's and TSA's CAFILE. The names
    are those the report gives the files."""
    signer: str = None
    trust: bytes = None
    tsa: bytes = None
    trust_name: str = "TRUST's CAFILE"
    tsa_name: str = "TSA's CAFILE"

    def wrong(self):
        """Why these settings cannot be used, or ''."""
        if self.signer is not None and not re.fullmatch(r"[0-9a-f]{64}", normalised(self.signer)):
            return f"SIGNER is a SHA-256 fingerprint, 64 hex digits: not {printable(self.signer)}"
        for what, data, name in (("TRUST", self.trust, self.trust_name), ("TSA", self.tsa, self.tsa_name)):
            if data is not None and not pem_certificates(data):
                return f"{what} names {printable(name)}, which holds no PEM certificate"
        return ""


@dataclass
class Verdict:
    """status 0: every check passed; 1: refused, for REASONS; 2: not made, for REASONS (a setting
    or a program), never for what an input holds. REPORT: what was established, line by line;
    UNCHECKED: what was not checked, which the report says too."""
    status: int = 0
    reasons: list = field(default_factory=list)
    report: list = field(default_factory=list)
    unchecked: list = field(default_factory=list)


def normalised(fingerprint):
    return re.sub(r"[:\s]", "", fingerprint).lower()


def verify(exe_path, built=None, settings=None, buildinfo=None, *, compared_with="the exe given to compare with",
           unbuilt="no exe was given to compare with"):
    """The Verdict on EXE_PATH against BUILT (bytes: the exe it must be, less its signature; None:
    not compared, for UNBUILT), under SETTINGS, its release folder BUILDINFO's (a path) or its own."""
    run = Run(settings or Settings(), compared_with)
    try:
        run.examine(exe_path, built, unbuilt, buildinfo)
    except (Unusable, Missing) as error:
        run.not_made.append(str(error))
    except Exception as error:  # whatever an input holds is a refusal with its reason, never "not made"
        run.say(f"  NOT a release as dist makes it: {printable(error)}")
        run.failures.append(f"it cannot be read as a release holds it ({type(error).__name__}: {printable(error)})")
    verdict, reasons = run.verdict, list(dict.fromkeys(f for f in run.failures if f))
    verdict.status, verdict.reasons = (1, reasons) if reasons else (2, run.not_made) if run.not_made else (0, [])
    return verdict


class Run:
    def __init__(self, settings, compared_with):
        self.settings, self.compared_with, self.verdict = settings, compared_with, Verdict()
        self.failures, self.not_made = [], []

    def say(self, text):
        self.verdict.report.extend(text.split("\n"))

    def unchecked(self, what):
        self.verdict.unchecked.append(what)

    def examine(self, path, built, unbuilt, buildinfo):
        wrong = self.settings.wrong()
        # BUILDINFO= only says where the release folder is, whose BUILDINFO is read with the rest.
        if buildinfo is not None and (os.path.basename(buildinfo) != policy.BUILDINFO or not os.path.isfile(buildinfo)):
            wrong = wrong or f"BUILDINFO must name a release folder's file {policy.BUILDINFO}, not {printable(buildinfo)}"
        if wrong:
            raise Unusable(wrong)
        folder_fd = opened(os.path.dirname(path) or ".", path)
        try:
            try:
                candidate = read_once(os.path.basename(path), policy.MAX_BYTES[policy.EXE], dir_fd=folder_fd)
            except OSError as error:
                if error.errno in (errno.ENOENT, errno.ENOTDIR, errno.EACCES, errno.EPERM):
                    raise Unusable(f"cannot read {printable(path)}: {error.strerror}") from None
                self.say(f"{printable(path)}: {error.strerror or error}")
                self.failures.append(f"it is no file a release holds ({error.strerror or error})")
                return
            self.say(f"{printable(path)}: {len(candidate)} bytes")
            stripped = self.signatures(candidate)
            if stripped is not None:
                self.folder(path, folder_fd, candidate, stripped, buildinfo)
                self.compare(built, unbuilt, stripped)
        finally:
            os.close(folder_fd)

    def signatures(self, candidate):
        """Says what the signatures establish; returns CANDIDATE less its signature, or None."""
        try:
            signatures, stripped = authenticode.read(candidate)
        except authenticode.NotAnImage:
            self.say("differs: not a Windows executable")
            self.failures.append("it is not a Windows executable")
            return None
        except Malformed as error:
            self.say(f"  signature:    NOT intact: {printable(error)}")
            self.failures.append(printable(error))
            return None
        self.signed, self.exe_signer, self.timed = bool(signatures), signatures[0].signer if signatures else None, None
        if signatures:
            self.check_signatures(signatures)
        else:
            self.say("  not signed")
            s = self.settings
            self.failures.append("it is not signed" if s.signer or s.trust or s.tsa else "")
        return stripped

    def folder(self, path, exe_fd, candidate, stripped, buildinfo):
        folder = os.path.dirname(buildinfo or path) or "."
        folder_fd = opened(folder, buildinfo) if buildinfo else exe_fd
        try:
            names = os.listdir(folder_fd)
            if not (buildinfo or manifest.is_release(names)):
                self.unchecked(f"its folder, which holds no release's {policy.SUMS}, {policy.BUILDINFO} or zip: "
                               "the exe was checked alone")
                self.reasons = []
                return
            same = os.path.samestat(os.fstat(folder_fd), os.fstat(exe_fd))
            known = {os.path.basename(path): candidate} if same else {}
            self.reasons = manifest.check_folder(folder, folder_fd, names, known, candidate, stripped,
                                                 self.sums_established, self.say, self.failures)
        finally:
            if folder_fd != exe_fd:
                os.close(folder_fd)

    def compare(self, built, unbuilt, stripped):
        if self.verdict.unchecked:
            self.say(f"not checked: {'; '.join(self.verdict.unchecked)}")
        if built is None:
            self.say(f"not compared: {unbuilt}")
            self.unchecked(f"whether it is byte for byte {self.compared_with}")
            self.not_made.append("the byte comparison was not made")
            return
        signature = ", less its signature," if self.signed else ""
        if stripped != built:
            for reason in self.reasons:
                self.say(f"differs: {reason}")
            self.say(f"differs: the file{signature} is not {self.compared_with}: {difference(built, stripped)}")
            self.failures.append(f"it is not {self.compared_with}")
        else:
            self.say(f"matches: {'less its signature, ' if self.signed else ''}byte for byte {self.compared_with}")

    def establish(self, signature, at):
        """Says whether SIGNATURE's signer is the one asked for; returns why not, or ''."""
        s = self.settings
        if s.signer:
            if normalised(signature.signer.fingerprint) != normalised(s.signer):
                self.say("      signer:   NOT established: its SHA-256 fingerprint is not the one given "
                         f"({printable(s.signer)})")
                return "the signer is not the one asked for"
            self.say("      signer:   established: its SHA-256 fingerprint is the one given")
        if s.trust:
            why = trusted(signature.chain, s.trust, s.trust_name, at)
            if why:
                self.say(f"      signer:   NOT established: {printable(why)}")
                return "the signer is not the one asked for"
            self.say(f"      signer:   established: it chains to a certificate in {printable(s.trust_name)} "
                     "and is for code signing")
        return ""

    def check_timestamps(self, signature):
        """Says what each timestamp establishes; returns the time a verified one gives."""
        s = self.settings
        if not signature.timestamps:
            self.say("    timestamp:  none: the signature stops verifying when its certificate expires")
            self.failures.append("a signature has no timestamp" if s.tsa else "")
            return None
        verified, signer = None, signature.signer
        for timestamp in signature.timestamps:
            when, by = timestamp.time, timestamp.signer.subject if timestamp.signer else "no authority OpenSSL can prove"
            said = f"{when:%b} {when.day:2} {when:%H:%M:%S %Y} GMT, by {by}"
            if timestamp.refused:
                self.say(f"    tampered:   a timestamp: {printable(timestamp.refused)}")
                self.failures.append(f"a timestamp {timestamp.refused}")
            if not s.tsa:
                self.say(f"    timestamp:  {said}: not verified (TSA=CAFILE verifies it)")
                continue
            why = timestamp.verify(s.tsa, s.tsa_name) or timestamp.refused
            if not (signer and signer.not_before <= when <= signer.not_after):
                why = f"its time lies outside the certificate's validity ({signer.valid if signer else '?'})"
            self.say(f"    timestamp:  {said}: " + (f"NOT verified: {printable(why)}" if why else
                                                    f"verified against {printable(s.tsa_name)}"))
            self.failures.append(f"a timestamp does not verify: {printable(why)}" if why else "")
            verified = verified or (None if why else when)
        return verified

    def check_signatures(self, signatures):
        """Says what every signature establishes."""
        s, primary = self.settings, signatures[0].signer
        if len(signatures) > 1:
            self.say(f"  signatures:   {len(signatures)}, the others nested in the first: each must be the signer's")
        for index, signature in enumerate(signatures):
            self.say(f"  signature {index + 1}{' (nested)' if index else ''}:")
            signer = signature.signer
            if signer:
                self.say(f"    signed by:  {signer.subject}\n      SHA-256:  {signer.fingerprint}\n"
                         f"      issuer:   {signer.issuer}\n      valid:    {signer.valid}")
            self.say("    carries:    " + "; ".join(f"{c.subject}, issued by {c.issuer}" for c in signature.carried))
            why = signature.refused or ("" if signature.digest_matches else
                                        "the file was changed after it was signed (its digest no longer matches)")
            if signer and primary and signer.der != primary.der:
                why = why or "it is not made by the primary signature's signer, where a release has one"
            at = self.check_timestamps(signature)
            self.timed = self.timed or (at if not index else None)
            self.say(f"    signature:  {'intact' if not why else 'NOT intact: ' + printable(why)}")
            if why:
                self.failures.append(f"a signature is not intact: {printable(why)}")
            elif s.signer or s.trust:
                self.failures.append(self.establish(signature, at))
        if not (s.signer or s.trust):
            self.say("  signer:       not established: anyone can make a certificate with any subject; give the vendor's\n"
                     "                fingerprint (SIGNER=FINGERPRINT) or its CA or a public root (TRUST=CAFILE)")
            self.unchecked("who signed it (SIGNER= or TRUST=)")
        if not s.tsa:
            self.unchecked("when it was signed (TSA=)")

    def sums_established(self, signature):
        """Says who signed SHA256SUMS; returns why that falls short, or ''."""
        s, exe = self.settings, self.exe_signer
        if signature is None:
            return f"nothing signs {policy.SUMS}, so no signature covers BUILDINFO" if s.signer or s.trust else ""
        if signature.signer is None:
            self.say(f"    {policy.SUMS}: its signature does NOT verify ({printable(signature.refused)})")
            return f"the signature over {policy.SUMS} does not verify"
        self.say(f"    {policy.SUMS}: signed by {signature.signer.subject}, SHA-256 {signature.signer.fingerprint}")
        if signature.refused or not exe or exe.der != signature.signer.der:  # one signer for the whole release
            self.say(f"      signer:   NOT the exe's: {printable(signature.refused or 'another certificate made it')}")
            return f"{policy.SUMS} is not signed by the exe's own signer"
        # SHA256SUMS.p7s is made in the run that signs the exe, by the same key: the exe's verified
        # timestamp dates it too, so the certificate's expiry since then does not void the release.
        return self.establish(signature, self.timed) and f"{policy.SUMS} is not signed by the signer asked for"


def opened(folder, named):
    try:
        return os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        raise Unusable(f"cannot read {printable(named)}: {error.strerror or error}") from None


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
