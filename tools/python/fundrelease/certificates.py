"""What verify-release and dist share below the signatures: the one way to run OpenSSL and
osslsigncode, the one way to read an input, certificates as parsed DER, and text made safe to print."""

import hashlib
import os
import stat
import subprocess
import tempfile
import unicodedata

from asn1crypto import parser, pem, x509
from cryptography import x509 as loaded
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from fundrelease import policy

# The programs that do the cryptography; another build of either is named here alone.
PROGRAMS = {"openssl": "openssl", "osslsigncode": "osslsigncode"}


class Missing(Exception):
    """A program the check needs is not installed."""

    def __init__(self, program):
        super().__init__(f"{program} is not installed (Debian package {program}; make bootstrap installs it)")


class Malformed(Exception):
    """Bytes that are not what the release allows; the message says how."""


class Out(str):
    """An argument naming a file the program writes, read back into memory."""


def tool(program, *args, env=None, timeout=120):
    """(status, what it said, {Out: bytes}) of one bounded run; bytes reach it as a private file."""
    with tempfile.TemporaryDirectory() as work:
        argv, outs = [PROGRAMS[program]], {}
        for index, arg in enumerate(args):
            path = os.path.join(work, str(index))
            if isinstance(arg, bytes):
                with open(path, "wb") as f:
                    f.write(arg)
            elif isinstance(arg, Out):
                outs[arg] = path
            argv.append(path if isinstance(arg, (bytes, Out)) else arg)
        # Where OpenSSL looks for trusted certificates is the caller's to say, never the environment's.
        env = env or {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_DIR", "SSL_CERT_FILE")}
        try:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout, env=env)
        except FileNotFoundError:
            raise Missing(program) from None
        except subprocess.TimeoutExpired:
            return 124, f"Error: {program} did not finish within {timeout} s", {}
        written = {name: read_once(path, 1 << 24) for name, path in outs.items() if os.path.exists(path)}
        return result.returncode, (result.stdout + result.stderr).decode("utf-8", "replace"), written


def reason(said):
    """A tool's own words for a refusal: its last line that says error, else its last line."""
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    found = [line.split("lookup:", 1)[1].strip() for line in lines if "lookup:" in line]
    return (found or [line for line in lines if "rror" in line] or lines or ["no reason given"])[-1]


def read_once(path, cap, dir_fd=None):
    """PATH's bytes, read whole from one open: a regular file, no link, at most CAP bytes. Raises OSError."""
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise OSError(0, "not a regular file")
        if status.st_nlink != 1:
            raise OSError(0, "a hard link, another name of a file that may lie elsewhere")
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read(cap + 1)
        if len(data) > cap:
            raise OSError(0, f"larger than the {cap} bytes allowed")
        return data
    finally:
        os.close(fd)


def printable(text):
    """TEXT with control characters (terminal escapes, bidirectional overrides) as escapes."""
    return "".join(c.encode("unicode_escape").decode("ascii")
                   if unicodedata.category(c)[0] == "C" or unicodedata.category(c) in ("Zl", "Zp") else c
                   for c in str(text))


def canonical(data):
    """Whether DATA is DER items end to end: shortest definite lengths, primitives whole, integers,
    booleans and OIDs as DER has them, a SET's items in order, nested no deeper than policy.MAX_DEPTH.
    Linear: items are walked by offset in views of DATA, copied only to order a SET's (asn1crypto's
    dump(force=True) is exponential in depth, and copying what follows each item quadratic in its count)."""
    stack = [(memoryview(data), 0, False)]
    while stack:
        items, depth, is_set = stack.pop()
        if depth > policy.MAX_DEPTH:
            return False
        pointer, previous = 0, b""
        while pointer < len(items):
            start = pointer
            (class_, method, tag, header, contents, trailer), pointer = parser._parse(items, len(items), pointer)
            if trailer or bytes(header) != parser._dump_header(class_, method, tag, contents):
                return False
            encoded = bytes(items[start:pointer]) if is_set else b""
            if encoded < previous:
                return False
            previous = encoded
            if class_ == 0 and (method and tag not in (16, 17) or tag == 1 and contents not in (b"\0", b"\xff")
                                or tag in (2, 10) and len(contents) > 1 and contents[0] in ((contents[1] >> 7) * 255,)
                                or tag == 6 and (not contents or contents[-1] > 127 or any(
                                    b == 0x80 and (i == 0 or contents[i - 1] < 128) for i, b in enumerate(contents)))):
                return False
            if method:
                stack.append((contents, depth + 1, class_ == 0 and tag == 17))
    return True


def strict(asn1_type, data, what):
    """DATA parsed as ASN1_TYPE, which must be DER through and through and nothing more."""
    try:
        if canonical(data):
            return asn1_type.load(data, strict=True)
    except (ValueError, TypeError, KeyError, IndexError, OverflowError, RecursionError):
        pass
    raise Malformed(f"{what} is malformed (not DER that encodes back to its own bytes)")


class Certificate:
    def __init__(self, der):
        if len(der) > policy.MAX_CERTIFICATE:
            raise Malformed(f"a certificate of {len(der)} bytes is carried, where {policy.MAX_CERTIFICATE} are allowed")
        self.der, self.parsed = der, strict(x509.Certificate, der, "a certificate")
        self.fingerprint = ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())
        self.subject = printable(self.parsed.subject.human_friendly)
        self.issuer = printable(self.parsed.issuer.human_friendly)
        self.not_before, self.not_after = self.parsed.not_valid_before, self.parsed.not_valid_after
        self.valid = f"{self.not_before:%b %d %H:%M:%S %Y} GMT to {self.not_after:%b %d %H:%M:%S %Y} GMT"
        self.pem = pem.armor("CERTIFICATE", der).decode()

    def signs(self, child):
        """Whether this certificate's key made CHILD's signature; names count for nothing here."""
        algorithm = child.parsed["signature_algorithm"]
        try:
            digest = getattr(hashes, algorithm.hash_algo.upper())()
            key = loaded.load_der_x509_certificate(self.der).public_key()
            tbs, signature = child.parsed["tbs_certificate"].dump(), child.parsed["signature_value"].native
            if isinstance(key, rsa.RSAPublicKey) and algorithm.signature_algo == "rsassa_pkcs1v15":
                return key.verify(signature, tbs, padding.PKCS1v15(), digest) or True
            if isinstance(key, ec.EllipticCurvePublicKey) and algorithm.signature_algo == "ecdsa":
                return key.verify(signature, tbs, ec.ECDSA(digest)) or True
            return False
        except Exception:  # any failure to verify, whatever the key or algorithm, is "did not sign"
            return False

    def usage_refused(self, role, anchor=False):
        """Why the certificate may not serve ROLE (policy.USAGES), or ''. An ANCHOR's own signature
        proves nothing, so its digest is not judged."""
        parsed, rule = self.parsed, policy.USAGES[role]
        if not anchor and parsed["signature_algorithm"].hash_algo not in policy.DIGESTS:
            return f"{self.subject} is signed with {parsed['signature_algorithm'].hash_algo}, a digest too weak"
        if rule["ca"] and not parsed.ca:
            return f"{self.subject} signs another certificate on the chain and is no CA"
        usage, extended = parsed.key_usage_value, parsed.extended_key_usage_value
        if usage is not None and not set(rule["key_usage"]) <= usage.native:
            return f"{self.subject}'s key usage ({', '.join(sorted(usage.native))}) does not allow {role}"
        if (extended is not None or not rule["ca"]) and rule["purpose"] not in (extended.native if extended else []):
            return f"{self.subject} is not for {rule['purpose'].replace('_', ' ')}"
        return ""


def chain(signer, carried, role):
    """SIGNER's chain up through CARRIED, each link proven by its key; (chain, '') when CARRIED is
    that chain and nothing else, each certificate fit for its place under ROLE, else ([], why)."""
    if len(carried) > policy.MAX_CHAIN:
        return [], f"it carries {len(carried)} certificates, where a chain of at most {policy.MAX_CHAIN} is allowed"
    if len({c.der for c in carried}) != len(carried):
        return [], "it carries a certificate twice"
    found, rest = [signer], [c for c in carried if c.der != signer.der]
    if len(rest) == len(carried):
        return [], "it does not carry its signer's certificate"
    while rest:  # at most MAX_CHAIN rounds of at most MAX_CHAIN checks
        issuers = [c for c in rest if c.signs(found[-1])]
        if len(issuers) != 1:
            stray = ", ".join(f"{c.subject}, SHA-256 {c.fingerprint}" for c in rest)
            return [], ("two certificates it carries signed the same one" if issuers else
                        f"it carries a certificate on no chain of its signer: {stray}")
        found.append(issuers[0])
        rest.remove(issuers[0])
    for index, certificate in enumerate(found):
        why = certificate.usage_refused(role if index == 0 else role + " CA")
        if why:
            return [], why
    return found, ""


def pem_certificates(data):
    """The DER of each PEM certificate in DATA, a setting's file."""
    try:
        return [der for kind, _, der in pem.unarmor(data, multiple=True) if kind == "CERTIFICATE"]
    except ValueError:
        return []


def vouching(found, anchors, role):
    """(the PEM of ANCHORS' certificates that are the top of the chain FOUND, or signed it, and may
    vouch for ROLE; why none may). A CA in CAFILE is held to the chain's rules: OpenSSL, handed the
    whole file, would take one for e-mail as readily as one for code."""
    fit, why = [], f"no certificate in it is or signed {found[-1].subject}" if found else "no chain was proven"
    for der in pem_certificates(anchors) if found else []:
        try:
            anchor = Certificate(der)
        except Malformed:
            continue  # a bundle's certificate no chain here can use
        if anchor.der == found[-1].der or anchor.signs(found[-1]):
            refused = "" if anchor.der == found[-1].der else anchor.usage_refused(role + " CA", anchor=True)
            if refused:
                why = refused
            else:
                fit.append(anchor)
    return "".join(a.pem for a in fit).encode(), "" if fit else why


def trusted(found, anchors, cafile, at=None):
    """'' when the chain FOUND leads to a certificate in ANCHORS (CAFILE's bytes) at AT, else why not."""
    fit, why = vouching(found, anchors, "code signing")
    untrusted = ["-untrusted", "".join(c.pem for c in found[1:]).encode()] if found[1:] else []
    # Only the fit anchors: OpenSSL's default store (SSL_CERT_DIR, the system's roots) vouches for nothing.
    if not why:
        status, said, _ = tool("openssl", "verify", "-no-CApath", "-no-CAstore", "-partial_chain", "-CAfile", fit,
                               *untrusted, *(["-attime", str(int(at.timestamp()))] if at else []), found[0].pem.encode())
        why = "" if status == 0 else reason(said)
    return why and f"it does not chain to a certificate in {printable(cafile)} ({why})"
