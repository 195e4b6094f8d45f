"""The verdict on an exe and its release folder: verify() decides and says, in the report's lines,
what it established; it prints nothing and exits nothing. tools/release/verify-release prints it."""

import contextlib
import errno
import os
import re
import unicodedata
from dataclasses import dataclass, field

import pefile

from fundrelease import authenticode, manifest, policy, releaseinfo
from fundrelease.authenticode import Signed
from fundrelease.certificates import anchors, pem_certificates, trusted
from fundrelease.der import Malformed, loaded
from fundrelease.inputs import read_once
from fundrelease.programs import Missing


class Unusable(Exception):
    """A setting that cannot be used: no verdict is made."""


@dataclass
class Settings:
    """Who is asked for: SIGNER's fingerprint, the PEM of TRUST's and TSA's CAFILE, their names."""
    signer: str = None
    trust: bytes = None
    tsa: bytes = None
    trust_name: str = "TRUST's CAFILE"
    tsa_name: str = "TSA's CAFILE"

    def wrong(self, found):
        """Why the settings cannot be used, FOUND being the anchors read from each CAFILE; or ''."""
        if self.signer is not None and not re.fullmatch(r"[0-9a-f]{64}", fingerprint(self.signer)):
            return f"SIGNER is a SHA-256 fingerprint, 64 hex digits: not {printable(self.signer)}"
        return next((f"{what} names {printable(name)}, which holds " + (
            "no certificate that can be read: each must be DER that encodes back to its own bytes"
            if pem_certificates(data) else "no PEM certificate") for what, data, name in
                     (("TRUST", self.trust, self.trust_name), ("TSA", self.tsa, self.tsa_name))
                     if data is not None and not found[what.lower()]), "")


@dataclass
class Verdict:
    """STATUS 0: every check passed; 1: refused, for REASONS; 2: not made, for REASONS (a setting or a
    program), never for what an input holds. REPORT: what was found, line by line; UNCHECKED: what not."""
    status: int = 0
    reasons: list = field(default_factory=list)
    report: list = field(default_factory=list)
    unchecked: list = field(default_factory=list)


def fingerprint(text):
    return re.sub(r"[:\s]", "", text).lower()


def printable(text):
    """TEXT with control characters (terminal escapes, bidirectional overrides, line breaks) as escapes."""
    return "".join(c.encode("unicode_escape").decode("ascii")
                   if unicodedata.category(c)[0] == "C" or unicodedata.category(c) in ("Zl", "Zp") else c
                   for c in str(text))


def verify(exe_path, built=None, settings=None, buildinfo=None, *, compared_with="the exe given to compare with",
           unbuilt="no exe was given to compare with"):
    """The Verdict on EXE_PATH against BUILT (bytes: the exe it must be, less its signature; None:
    not compared, for UNBUILT; or what gives them), under SETTINGS, its release folder BUILDINFO's or its own."""
    run = Run(settings or Settings(), compared_with)
    try:
        run.examine(exe_path, built, unbuilt, buildinfo)
    except (Unusable, Missing) as error:
        run.not_made.append(str(error))
    except Exception as error:  # whatever an input holds is a refusal with its reason, never "not made"
        run.say(f"  NOT a release as dist makes it: {error}",
                f"it cannot be read as a release holds it ({type(error).__name__}: {error})")
    verdict, reasons = run.verdict, [printable(f) for f in dict.fromkeys(run.failures) if f]
    verdict.status, verdict.reasons = (1, reasons) if reasons else (2, run.not_made) if run.not_made else (0, [])
    return verdict


class Run:
    def __init__(self, settings, compared_with):
        self.settings, self.compared_with, self.verdict = settings, compared_with, Verdict()
        self.failures, self.not_made, self.reasons, self.exe = [], [], [], None

    def say(self, line, failure=""):
        self.verdict.report.append(printable(line))
        self.failures.append(failure)

    def examine(self, path, built, unbuilt, buildinfo):
        # BUILDINFO= only says where the release folder is, whose BUILDINFO is read with the rest.
        self.anchors = {"trust": anchors(self.settings.trust or b""), "tsa": anchors(self.settings.tsa or b"")}
        wrong = self.settings.wrong(self.anchors) or (
            "" if buildinfo is None or os.path.basename(buildinfo) == policy.BUILDINFO else
            f"BUILDINFO must name a release folder's file {policy.BUILDINFO}, not {buildinfo}")
        if wrong:
            raise Unusable(printable(wrong))
        with opened(os.path.dirname(path) or ".", path) as folder_fd:
            try:
                candidate = read_once(os.path.basename(path), policy.MAX_BYTES[policy.EXE], dir_fd=folder_fd)
            except OSError as error:
                if error.errno in (errno.ENOENT, errno.ENOTDIR, errno.EACCES, errno.EPERM):
                    raise Unusable(f"cannot read {printable(path)}: {error.strerror}") from None
                return self.say(f"{path}: {error.strerror or error}", f"it is no file a release holds ({error.strerror or error})")
            self.say(f"{path}: {len(candidate)} bytes")
            try:
                signatures, stripped = authenticode.read(candidate)
            except authenticode.NotAnImage:
                return self.say("differs: not a Windows executable", "it is not a Windows executable")
            except Malformed as error:
                return self.say(f"  signature:    NOT intact: {error}", str(error))
            self.signed, s = bool(signatures), self.settings
            if signatures:
                self.exe = signatures[0]
                self.check_signatures(signatures)
            else:
                self.say("  not signed", "it is not signed" if s.signer or s.trust or s.tsa else "")
            self.folder(path, folder_fd, candidate, stripped, buildinfo)
            self.compare(*built() if callable(built) else (built, unbuilt), stripped)

    def folder(self, path, exe_fd, candidate, stripped, buildinfo):
        folder = os.path.dirname(buildinfo or path) or "."
        with opened(folder, buildinfo) if buildinfo else contextlib.nullcontext(exe_fd) as folder_fd:
            names, others, least = manifest.listing(folder_fd)
            if not (buildinfo or manifest.is_release(names)):
                return self.verdict.unchecked.append(f"its folder, which holds no {policy.SUMS}, {policy.BUILDINFO} or "
                                                     "zip of a release: the exe was checked alone")
            known = {os.path.basename(path): candidate} if os.path.samestat(os.fstat(folder_fd), os.fstat(exe_fd)) else {}
            files, found = manifest.read_folder(folder_fd, names, known)
        self.say(f"  release:      {folder}")
        self.failures += found
        try:
            if policy.SUMS not in files:
                raise Malformed(f"the release folder has no {policy.SUMS}")
            listed, zip_name = manifest.read_sums(files[policy.SUMS])
            sums = files.get(policy.SUMS_SIGNATURE)
            self.sums_signed(None if sums is None else loaded(
                lambda: Signed(sums, "sums", "code signing").prove(files[policy.SUMS]), policy.SUMS_SIGNATURE))
            wrong = [n for n, digest in listed.items() if n not in files or manifest.sha256(files[n]) != digest]
            self.say("    files:      " + ("every file as it lists" if not wrong else "NOT as it lists: " + ", ".join(wrong)))
            self.failures += [f"{n} is not as {policy.SUMS} lists it" for n in wrong]
            unlisted = sorted(set(names) - set(listed) - {policy.SUMS, policy.SUMS_SIGNATURE}) + least
            self.failures += [f"{n} is in the release folder and {policy.SUMS} does not list it" for n in unlisted]
            if others > len(least):
                self.failures.append(f"{others - len(least)} more files are in the release folder and {policy.SUMS} "
                                     "lists none of them")
            if listed[policy.EXE] != manifest.sha256(candidate):
                self.failures.append(f"this file is not the {policy.EXE} that {policy.SUMS} lists")
            held = manifest.zip_exe(files[zip_name]) if zip_name in files else None
            self.say("    zip:        holds this exe" if held == candidate else "    zip:        does NOT hold this exe alone, "
                     "as dist makes it", "" if held == candidate else "the zip does not hold this exe and its note alone")
            self.describe(*manifest.read_buildinfo(files.get(policy.BUILDINFO, b"")), zip_name, stripped)
        except Malformed as error:
            self.say(f"    NOT a release as dist makes it: {error}", str(error))

    def describe(self, fields, packages, zip_name, stripped):
        """Says what BUILDINFO says; keeps what would explain a difference, most likely first."""
        (changed, said), described = releaseinfo.differences(fields["commit"], packages), fields["exe"] == manifest.sha256(stripped)
        self.say(f"    BUILDINFO:  version {fields['version']}, commit {fields['commit']}")
        self.say(f"      toolchain: differs from this machine's: {changed}" if changed else
                 "      toolchain: the same package versions as this machine's")
        self.say(f"      built in:  {fields['root']}")
        self.say("      exe:       describes this exe (its SHA-256 before signing)" if described else
                 f"      exe:       does NOT describe this exe: it names {fields['exe']}",
                 "" if described else "BUILDINFO describes another exe")
        self.say(f"      proof:     {fields['proof']}")
        self.reasons += said
        self.failures.append("" if zip_name == policy.ZIP_NAME.format(fields["version"]) else
                             "the zip is not named for BUILDINFO's version")

    def compare(self, built, unbuilt, stripped):
        if self.verdict.unchecked:
            self.say(f"not checked: {'; '.join(self.verdict.unchecked)}")
        if built is None:
            self.say(f"not compared: {unbuilt}")
            self.verdict.unchecked.append(f"whether it is byte for byte {self.compared_with}")
            return self.not_made.append("the byte comparison was not made")
        if stripped == built:
            return self.say(f"matches: {'less its signature, ' if self.signed else ''}byte for byte {self.compared_with}")
        for reason in self.reasons:
            self.say(f"differs: {reason}")
        self.say(f"differs: the file{', less its signature,' if self.signed else ''} is not {self.compared_with}: "
                 f"{difference(built, stripped)}", f"it is not {self.compared_with}")

    def establish(self, signature, at):
        s, why = self.settings, ""
        for asked, check, established in (
                (s.signer, lambda: "" if fingerprint(signature.signer.fingerprint) == fingerprint(s.signer) else
                 f"its SHA-256 fingerprint is not the one given ({s.signer})", "its SHA-256 fingerprint is the one given"),
                (s.trust, lambda: trusted(signature.chain, self.anchors["trust"], s.trust_name, at),
                 f"it chains to a certificate in {s.trust_name} and is for code signing")):
            if asked and not why:
                why = check()
                self.say(f"      signer:   {'NOT established: ' + why if why else 'established: ' + established}")
        return why and "the signer is not the one asked for"

    def check_timestamps(self, signature):
        """The time a verified timestamp gives, if any."""
        s, verified, signer = self.settings, None, signature.signer
        if not signature.timestamps:
            self.say("    timestamp:  none: the signature stops verifying when its certificate expires",
                     "a signature has no timestamp" if s.tsa else "")
        for timestamp in signature.timestamps:
            when, by = timestamp.time, timestamp.signer.subject if timestamp.signer else "no authority OpenSSL can prove"
            said = f"{when:%b} {when.day:2} {when:%H:%M:%S %Y} GMT, by {by}"
            if timestamp.refused:
                self.say(f"    tampered:   a timestamp: {timestamp.refused}", f"a timestamp {timestamp.refused}")
            if not s.tsa:
                self.say(f"    timestamp:  {said}: not verified (TSA=CAFILE verifies it)")
                continue
            why = timestamp.verify(self.anchors["tsa"], s.tsa_name) or timestamp.refused
            if not (signer and signer.not_before <= when <= signer.not_after):
                why = f"its time lies outside the certificate's validity ({signer.valid if signer else '?'})"
            self.say(f"    timestamp:  {said}: " + (f"NOT verified: {why}" if why else f"verified against {s.tsa_name}"),
                     f"a timestamp does not verify: {why}" if why else "")
            verified = verified or (None if why else when)
        return verified

    def check_signatures(self, signatures):
        s, primary = self.settings, signatures[0].signer
        if len(signatures) > 1:
            self.say(f"  signatures:   {len(signatures)}, the others nested in the first: each must be the signer's")
        for index, signature in enumerate(signatures):
            self.say(f"  signature {index + 1}{' (nested)' if index else ''}:")
            signer = signature.signer
            for line in [f"    signed by:  {signer.subject}", f"      SHA-256:  {signer.fingerprint}",
                         f"      issuer:   {signer.issuer}", f"      valid:    {signer.valid}"] if signer else []:
                self.say(line)
            self.say("    carries:    " + "; ".join(f"{c.subject}, issued by {c.issuer}" for c in signature.carried))
            why = signature.refused or ("" if signature.digest_matches else
                                        "the file was changed after it was signed (its digest no longer matches)")
            if signer and primary and signer.der != primary.der:
                why = why or "it is not made by the primary signature's signer, where a release has one"
            at = self.check_timestamps(signature)
            self.say(f"    signature:  {'intact' if not why else 'NOT intact: ' + why}", f"a signature is not intact: {why}"
                     if why else self.establish(signature, at) if s.signer or s.trust else "")
        if not (s.signer or s.trust):
            self.say("  signer:       not established: anyone can make a certificate with any subject; give the vendor's")
            self.say("                fingerprint (SIGNER=FINGERPRINT) or its CA or a public root (TRUST=CAFILE)")
            self.verdict.unchecked.append("who signed it (SIGNER= or TRUST=)")
        if not s.tsa:
            self.verdict.unchecked.append("when it was signed (TSA=)")

    def sums_signed(self, signature):
        """SHA256SUMS.p7s is made in the run that signs the exe, by the same key: its very certificate and
        chain, which the exe's signature established as far as asked."""
        s, exe = self.settings, self.exe
        if signature is None:
            return self.say(f"    {policy.SUMS}: not signed", f"nothing signs {policy.SUMS}, so no signature covers "
                            "BUILDINFO" if s.signer or s.trust or exe else "")  # dist signs both, or neither
        if signature.signer is None:
            return self.say(f"    {policy.SUMS}: its signature does NOT verify ({signature.refused})",
                            f"the signature over {policy.SUMS} does not verify")
        self.say(f"    {policy.SUMS}: signed by {signature.signer.subject}, SHA-256 {signature.signer.fingerprint}")
        if signature.refused or not exe or not exe.signer or exe.signer.der != signature.signer.der \
                or {c.der for c in signature.carried} != {c.der for c in exe.carried}:
            self.say(f"      signer:   NOT the exe's: {signature.refused or 'another certificate or chain'}",
                     f"{policy.SUMS} is not signed by the exe's own signer")


@contextlib.contextmanager
def opened(folder, named):
    """A folder that cannot be opened is a setting of no use (NAMED)."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as error:
        raise Unusable(f"cannot read {printable(named)}: {error.strerror or error}") from None
    try:
        yield fd
    finally:
        os.close(fd)


def difference(built, candidate):
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
