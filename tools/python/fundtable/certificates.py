"""Certificates and CMS signatures as OpenSSL reads and verifies them, and text from files made
safe to print: what fundtable.authenticode, tools/release/verify-release and tools/release/dist share."""

import base64
import datetime
import os
import re
import subprocess
import unicodedata


class Missing(Exception):
    """A program the check needs is not installed."""

    def __init__(self, program):
        super().__init__(f"{program} is not installed (Debian package {program}; make bootstrap installs it)")


def run(program, *args, data=None, env=None):
    """(exit status, what it said) of one bounded run."""
    try:
        result = subprocess.run([program, *args], input=data, stdin=subprocess.DEVNULL if data is None else None,
                                capture_output=True, timeout=120, env=env)
    except FileNotFoundError:
        raise Missing(program) from None
    except subprocess.TimeoutExpired:
        return 124, f"Error: {program} did not finish within 120 s"
    return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace")


def reason(said):
    """OpenSSL's or osslsigncode's own words for a refusal."""
    found = re.findall(r"error \d+ at \d+ depth lookup: (.+)|Verify error: ?(.+)|\tError: (.+)"
                       r"|:error:[0-9A-F]+:[^:]*:[^:]*:([^:]+):", said)
    words = ["".join(groups).strip() for groups in found]
    return next((w for w in words if "verify error" not in w), words[-1]) if words else "no reason given"


def printable(text):
    """TEXT with control characters (terminal escapes, bidirectional overrides) as escapes."""
    return "".join(c.encode("unicode_escape").decode("ascii")
                   if unicodedata.category(c)[0] == "C" or unicodedata.category(c) in ("Zl", "Zp") else c
                   for c in str(text))


class Certificate:
    def __init__(self, pem):
        self.pem = pem
        _, said = run("openssl", "x509", "-noout", "-subject", "-issuer", "-startdate", "-enddate",
                      "-fingerprint", "-sha256", "-ext", "extendedKeyUsage", data=pem.encode())
        lines = said.splitlines()

        def field(name):
            return next((line.split("=", 1)[1].strip() for line in lines if line.startswith(name + "=")), "?")

        self.subject, self.issuer = printable(field("subject")), printable(field("issuer"))
        self.not_before, self.not_after = parse_time(field("notBefore")), parse_time(field("notAfter"))
        self.valid = f"{field('notBefore')} to {field('notAfter')}"
        self.fingerprint = field("sha256 Fingerprint")
        usage = [i for i, line in enumerate(lines) if re.fullmatch(r"X509v3 Extended Key Usage: ?(critical)?", line)]
        self.code_signing = bool(usage) and "Code Signing" in lines[usage[0] + 1].strip().split(", ")


PEM = re.compile(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n", re.S)


def certificates(pem_text):
    return [Certificate(c) for c in PEM.findall(pem_text)]


def carried(work, cms):
    """The certificates the CMS signature in file CMS carries, in PEM."""
    _, said = run("openssl", "pkcs7", "-inform", "DER", "-in", cms, "-print_certs")
    return "".join(PEM.findall(said))


def pem(der):
    body = base64.b64encode(der).decode()
    return "-----BEGIN CERTIFICATE-----\n" + "\n".join(body[i:i + 64] for i in range(0, len(body), 64)) + \
        "\n-----END CERTIFICATE-----\n"


def parse_time(text):
    """OpenSSL's 'Dec  9 13:43:23 2026 GMT' (fractions of a second too) as UTC."""
    found = re.match(r"(\w{3}) +(\d+) (\d+:\d+:\d+)(?:\.\d+)? (\d{4}) GMT", text)
    return datetime.datetime.strptime(" ".join(found.groups()), "%b %d %H:%M:%S %Y").replace(
        tzinfo=datetime.timezone.utc) if found else None


def write(work, name, data):
    path = os.path.join(work, name)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    return path


def proven_signers(work, cms, content=None):
    """The certificates whose keys made every signer's signature in CMS (over CONTENT, when detached),
    as OpenSSL finds and verifies them; (certificates, '') or ([], why not)."""
    signers = os.path.join(work, "signers.pem")
    if os.path.exists(signers):
        os.remove(signers)
    status, said = run("openssl", "cms", "-verify", "-inform", "DER", "-in", cms, "-binary", "-noverify",
                       "-signer", signers, "-out", os.devnull, *(["-content", content] if content else []))
    if status != 0:
        return [], reason(said)
    with open(signers) as f:
        return certificates(f.read()), ""


def chains_to(certificate, carried, cafile, work, at=None):
    """'' when CERTIFICATE chains to CAFILE through CARRIED at AT (else now) and is for code signing."""
    status, said = run("openssl", "verify", "-CAfile", cafile, "-untrusted", write(work, "carried.pem", carried),
                       *(["-attime", str(int(at.timestamp()))] if at else []), write(work, "leaf.pem", certificate.pem))
    if status != 0:
        return f"it does not chain to a certificate in {printable(cafile)} ({reason(said)})"
    return "" if certificate.code_signing else "its certificate is not for code signing"


def signs(issuer, child, work):
    """Whether ISSUER's key made CHILD's signature, as OpenSSL verifies it (its names count for nothing)."""
    # -check_ss_sig: a self-signed issuer's own bytes count only where its own key signed them.
    status, said = run("openssl", "verify", "-partial_chain", "-no_check_time", "-check_ss_sig", "-CAfile",
                       write(work, "issuer.pem", issuer.pem), write(work, "child.pem", child.pem))
    return status == 0 and said.rstrip().endswith(": OK")


def off_chain(signer, carried, work):
    """Of CARRIED, the certificates on no chain up from SIGNER: neither it nor one whose key signed
    one of the chain. Only the chain is there to be carried; anything else is bytes no one vouches for."""
    chain = [signer]
    rest = [c for c in carried if c.fingerprint != signer.fingerprint]
    while True:
        found = [c for c in rest if any(signs(c, child, work) for child in chain)]
        if not found:
            return rest
        chain += found
        rest = [c for c in rest if c not in found]
