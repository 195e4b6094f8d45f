"""Certificates as parsed DER, the signer's chain proven by keys, and what vouches for it: only the
certificates in CAFILE, as OpenSSL verifies them."""

import datetime
import hashlib

from asn1crypto import pem, x509
from cryptography import x509 as loaded
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from fundrelease import policy
from fundrelease.der import Malformed, as_read, strict
from fundrelease.programs import reason, tool


class Certificate:
    def __init__(self, der):
        if len(der) > policy.MAX_CERTIFICATE:
            raise Malformed(f"a certificate of {len(der)} bytes is carried, where {policy.MAX_CERTIFICATE} are allowed")
        self.der, self.parsed = der, strict(x509.Certificate, der, "a certificate")
        self.fingerprint = ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())
        self.subject, self.issuer = self.parsed.subject.human_friendly, self.parsed.issuer.human_friendly
        self.not_before, self.not_after = self.parsed.not_valid_before, self.parsed.not_valid_after
        if not isinstance(self.not_before, datetime.datetime) or not isinstance(self.not_after, datetime.datetime):
            raise Malformed("a certificate's validity lies outside the years a date can hold")  # year 0, say
        self.valid = f"{self.not_before:%b %d %H:%M:%S %Y} GMT to {self.not_after:%b %d %H:%M:%S %Y} GMT"
        self.pem = pem.armor("CERTIFICATE", der).decode()

    def signs(self, child):
        """Whether this certificate's key made CHILD's signature; names count for nothing here."""
        algorithm = child.parsed["signature_algorithm"]
        try:
            digest = getattr(hashes, algorithm.hash_algo.upper())()
            key = loaded.load_der_x509_certificate(self.der).public_key()
            tbs, signature = as_read(child.parsed["tbs_certificate"]), child.parsed["signature_value"].native
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
    if len({c.der for c in carried}) != len(carried):  # at most policy.MAX_CHAIN, as Signed counts them
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
    try:
        return [der for kind, _, der in pem.unarmor(data, multiple=True) if kind == "CERTIFICATE"]
    except ValueError:
        return []


def anchors(data):
    found = []
    for der in pem_certificates(data):
        try:
            found.append(Certificate(der))
        except Exception:  # whatever its fault, a bundle's certificate no chain here can use
            pass
    return found


def vouching(found, anchors, role):
    """(the PEM of the ANCHORS on the chain FOUND or above one on it, fit to vouch for ROLE; why none
    is). One above is held to the chain's rules, as the chain's own are: OpenSSL, handed the whole
    CAFILE, would take a CA for e-mail as readily as one for code."""
    fit, why = [], f"no certificate in it is or signed one on the chain of {found[0].subject}" if found else \
        "no chain was proven"
    for anchor in anchors if found else []:
        if anchor.der in {c.der for c in found}:
            fit.append(anchor)
        elif any(anchor.signs(c) for c in found):
            refused = anchor.usage_refused(role + " CA", anchor=True)
            why, fit = refused or why, fit + ([] if refused else [anchor])
    return "".join(a.pem for a in fit).encode(), "" if fit else why


def trusted(found, anchors, cafile, at=None):
    fit, why = vouching(found, anchors, "code signing")
    untrusted = ["-untrusted", "".join(c.pem for c in found[1:]).encode()] if found[1:] else []
    # Only the fit anchors: OpenSSL's default store (SSL_CERT_DIR, the system's roots) vouches for nothing.
    if not why:
        status, said, _ = tool("openssl", "verify", "-no-CApath", "-no-CAstore", "-partial_chain", "-CAfile", fit,
                               *untrusted, *(["-attime", str(int(at.timestamp()))] if at else []), found[0].pem.encode())
        why = "" if status == 0 else reason(said)
    return why and f"it does not chain to a certificate in {cafile} ({why})"
