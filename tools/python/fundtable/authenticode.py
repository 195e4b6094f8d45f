"""Authenticode signatures read so that nothing outside what a signature covers can speak for it:
tools/release/verify-release and tools/release/dist share it.

- The certificate table must hold one PKCS#7 signature and at most the zero bytes that align it;
  its length word and the PE checksum, which no signature covers, must be what signing writes.
- Each SignedData, timestamps too, holds only what a verifier checks: certificates (which must be
  its signer's chain), no revocation lists, unsigned attributes only for timestamps and nesting.
- Each signature, the primary and any nested in it, counts. Its signer is the certificate that
  OpenSSL's CMS verification finds by the issuer and serial number the signature names and proves
  by its key; the other certificates a file carries are never taken for it.
- osslsigncode verifies each signature's digest over the file; `openssl ts -verify` a timestamp,
  given its authority's CA."""

import os
import re
import struct

from fundtable import der as der_
from fundtable import pe
from fundtable.certificates import parse_time, pem, proven_signers, reason, run, write

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
SYSTEM_CERTIFICATES = "/etc/ssl/certs/ca-certificates.crt"


class Refused(Exception):
    """The signature block is not one well-formed signature: it was tampered with."""


TSTINFO = "1.2.840.113549.1.9.16.1.4"
# Digests no one can collide today: SHA-256, SHA-384, SHA-512.
STRONG_DIGESTS = {"2.16.840.1.101.3.4.2.1", "2.16.840.1.101.3.4.2.2", "2.16.840.1.101.3.4.2.3"}
WEAK_NAMES = {"1.2.840.113549.2.5": "MD5", "1.3.14.3.2.26": "SHA-1"}


def _digest(der, algorithm):
    """Refuses ALGORITHM (an AlgorithmIdentifier item) unless its digest is strong."""
    found = der_.items(der, *algorithm[2:])
    name = der_.oid(der, found[0]) if found else "no digest"
    if name not in STRONG_DIGESTS:
        raise Refused(f"a signature uses {WEAK_NAMES.get(name, name)}, a digest too weak: "
                      "SHA-256 or stronger is required")


class SignedData:
    """A PKCS#7 SignedData holding CONTENT_TYPE and one signer, with only what a verifier here checks:
    certificates, no revocation lists, unsigned attributes of the kinds in UNSIGNED only."""

    def __init__(self, der, content_type, unsigned=()):
        self.der = der
        outer = der_.item(der, 0, len(der))
        if outer[3] != len(der):
            raise Refused("the signature is malformed (bytes follow it)")
        self._top = der_.inside(der, outer, 0x06, 0xA0)
        if der_.oid(der, self._top[0]) != SIGNED_DATA:
            raise Refused("the signature is not the PKCS#7 structure Authenticode uses")
        self._parts = parts = der_.items(der, *der_.inside(der, self._top[1], 0x30)[0][2:])
        tags = [p[0] for p in parts]
        if 0xA1 in tags:
            raise Refused("a signature carries certificate revocation lists, which no signature covers")
        if tags not in ([0x02, 0x31, 0x30, 0xA0, 0x31], [0x02, 0x31, 0x30, 0x31]):
            raise Refused("the signature is malformed (not the PKCS#7 structure Authenticode uses)")
        kind, content = der_.inside(der, parts[2], 0x06, 0xA0)
        if der_.oid(der, kind) != content_type:
            raise Refused("the signature does not sign a file's digest" if content_type == SPC_INDIRECT_DATA
                          else "a timestamp does not hold a time")
        self._content_type = der[kind[1]:kind[3]]
        self.inner = der_.inside(der, content, None)[0]
        self.content = der[self.inner[2]:self.inner[3]]
        self.carried = [pem(der[i[1]:i[3]]) for i in (der_.items(der, *parts[3][2:]) if len(parts) == 5 else [])]
        infos = der_.items(der, *parts[-1][2:])
        if len(infos) != 1:
            raise Refused(f"a signature has {len(infos)} signers, where Authenticode has one")
        self.fields = fields = der_.items(der, *infos[0][2:])
        tags = [f[0] for f in fields]
        if [t for t in tags if t not in (0xA0, 0xA1)] != [0x02, 0x30, 0x30, 0x30, 0x04] or tags.count(0xA0) > 1 \
                or tags.count(0xA1) > (1 if unsigned else 0):
            raise Refused("a signature's signer carries data no signature covers" if 0xA1 in tags
                          else "the signature is malformed (its signer is not as PKCS#7 has it)")
        self.digest_algorithm = fields[2]
        self.value = next(der[f[2]:f[3]] for f in fields if f[0] == 0x04)
        self.attributes = []  # (OID, the DER of each value) of the unsigned attributes
        for field in (f for f in fields if f[0] == 0xA1):
            for attribute in der_.items(der, *field[2:]):
                kind, values = der_.inside(der, attribute, 0x06, 0x31)
                oid = der_.oid(der, kind)
                if oid not in unsigned:
                    raise Refused(f"the signature carries data no signature covers (attribute {oid})")
                self.attributes += [(oid, der[v[1]:v[3]]) for v in der_.items(der, *values[2:])]


class Timestamp:
    """An RFC 3161 timestamp token: its authority's certificates only, and nothing unsigned."""

    def __init__(self, der):
        self.der = der
        self.carried = SignedData(der, TSTINFO).carried

    def authority(self, work):
        """The certificate whose key made the timestamp, as OpenSSL proves it, or None."""
        authorities, _ = proven_signers(work, write(work, "token.der", self.der))
        return authorities[0] if len(authorities) == 1 else None

    def claimed(self, work):
        """(time, authority) as the timestamp says them, unverified."""
        _, said = run("openssl", "ts", "-reply", "-in", write(work, "token.der", self.der), "-token_in",
                      "-token_out", "-text")
        found = re.search(r"^Time stamp: (.*)$", said, re.M)
        authority = self.authority(work)
        return parse_time(found.group(1)) if found else None, authority.subject if authority else "?"

    def verify(self, signature_value, cafile, work):
        """'' when it is signed by an authority chaining to CAFILE and covers SIGNATURE_VALUE."""
        status, said = run("openssl", "ts", "-verify", "-in", write(work, "token.der", self.der), "-token_in",
                           "-data", write(work, "signed.bin", signature_value), "-CAfile", cafile)
        return "" if status == 0 and re.search(r"^Verification: OK$", said, re.M) else reason(said)


class Signature(SignedData):
    """One signature of the file: the primary, or one nested in it."""

    def __init__(self, der):
        super().__init__(der, SPC_INDIRECT_DATA, (NESTED_SIGNATURE, RFC3161_TIMESTAMP))
        _digest(der, self.digest_algorithm)
        digest_info = der_.inside(der, self.inner, 0x30, 0x30)[1]
        _digest(der, der_.inside(der, digest_info, 0x30, 0x04)[0])
        self.nested = [v for oid, v in self.attributes if oid == NESTED_SIGNATURE]
        self.timestamps = [Timestamp(v) for oid, v in self.attributes if oid == RFC3161_TIMESTAMP]

    def prove(self, work):
        """(the certificate whose key made this signature, '') or (None, why none)."""
        der, parts = self.der, self._parts
        body = b"".join(der[p[1]:p[3]] for p in parts[:2]) + der_.encode(0x30, self._content_type) + \
            b"".join(der[p[1]:p[3]] for p in parts[3:])
        top = self._top[0]
        detached = der_.encode(0x30, der[top[1]:top[3]] + der_.encode(0xA0, der_.encode(0x30, body)))
        signers, why = proven_signers(work, write(work, "detached.der", detached), write(work, "content", self.content))
        return (signers[0], "") if len(signers) == 1 else (None, why or "it names no single signer")


def signature_block(image):
    """The PKCS#7 signature in IMAGE's certificate table, or None when unsigned."""
    offset, size = pe.Headers(image).directory(pe.CERTIFICATE)
    if size == 0:
        return None
    if offset + size != len(image):
        said = f"{len(image) - offset - size} bytes follow it" if offset + size < len(image) else "it runs past the end"
        raise Refused(f"the signature block does not end the file: {said}")
    length, revision, kind = struct.unpack_from("<IHH", image, offset) if size >= 8 else (0, 0, 0)
    if (revision, kind) != (0x200, 2):
        raise Refused("the signature block does not hold a PKCS#7 signature")
    block = image[offset + 8:offset + size]
    end = der_.item(block, 0, len(block))[3]
    aligned = (8 + end + 7) // 8 * 8
    if size != aligned or any(block[end:]):
        raise Refused(f"the signature block holds {size - 8 - end} bytes after the signature, where only "
                      f"{aligned - 8 - end} zeros may align it")
    if length != size:
        raise Refused(f"the signature block says it is {length} bytes long, where the table is {size}")
    headers = pe.Headers(image)
    field = image[headers.checksum_offset:headers.checksum_offset + 4]
    if field not in (pe.checksum(image), pe.checksum(strip(image))):
        raise Refused("the PE checksum is neither the signed file's nor the unsigned one's")
    return block[:end]


def strip(image):
    """IMAGE less its signature as the format defines it: cut at the certificate table, its directory
    entry zeroed, and a checksum made for the signed file made again for the unsigned one."""
    headers = pe.Headers(image)
    offset, size = headers.directory(pe.CERTIFICATE)
    stripped = bytearray(image[:offset] if size else image)
    entry = headers.directories + 8 * pe.CERTIFICATE
    stripped[entry:entry + 8] = bytes(8)
    field = slice(headers.checksum_offset, headers.checksum_offset + 4)
    if size and image[field] == pe.checksum(image):
        stripped[field] = pe.checksum(bytes(stripped))
    return bytes(stripped)


def read(image):
    """The file's signatures, the primary first; [] when unsigned. Raises Refused."""
    try:
        block = signature_block(image)
        if block is None:
            return []
        found = [Signature(block)]
        found += [Signature(nested) for nested in found[0].nested]
    except der_.Malformed as error:
        raise Refused(str(error)) from None
    if any(s.nested for s in found[1:]):
        raise Refused("a nested signature holds another, which no verifier here checks")
    return found


def digest_verifies(path, index, anchors, at=None):
    """'' when osslsigncode finds signature INDEX's digest of the file right and the signature good
    against ANCHORS at AT (else now)."""
    status, said = run("osslsigncode", "verify", "-in", path, "-index", str(index), "-CAfile", anchors,
                       "-ignore-timestamp", "-ignore-cdp", *(["-time", str(int(at.timestamp()))] if at else []))
    if "MISMATCH" in said:
        return "the file was changed after it was signed (its digest no longer matches)"
    if status != 0 or not re.search(r"^Signature verification: ok$", said, re.M):
        return f"the signature does not verify ({reason(said)})"
    return ""


def anchors_for(signatures, work):
    """Every certificate the file carries, and the system's roots: intact means consistent with them."""
    text = "".join(c for s in signatures for c in s.carried)
    if os.path.exists(SYSTEM_CERTIFICATES):
        with open(SYSTEM_CERTIFICATES) as f:
            text += f.read()
    return write(work, "anchors.pem", text)
