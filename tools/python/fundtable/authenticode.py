"""Authenticode signatures read so that nothing outside what a signature covers can speak for it:
tools/release/verify-release and tools/release/dist share it.

- The certificate table must hold one PKCS#7 signature and at most the zero bytes that align it;
  its length word and the PE checksum, which no signature covers, must be what signing writes.
- Each signature, the primary and any nested in it, counts. Its signer is the certificate that
  OpenSSL's CMS verification finds by the issuer and serial number the signature names and proves
  by its key; the other certificates a file carries are never taken for it.
- osslsigncode verifies each signature's digest over the file; `openssl ts -verify` a timestamp,
  given its authority's CA."""

import os
import re
import struct

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


# DER, as far as signatures need it: (tag, start, value start, end) for each item.
def _item(data, pos, end):
    if pos + 2 > end or data[pos] & 0x1F == 0x1F:
        raise Refused("the signature is not well-formed DER")
    length, value = data[pos + 1], pos + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4:
            raise Refused("the signature is not well-formed DER")
        length, value = int.from_bytes(data[value:value + count], "big"), value + count
    if value + length > end:
        raise Refused("the signature is not well-formed DER")
    return data[pos], pos, value, value + length


def _items(data, start, end):
    found = []
    while start < end:
        found.append(_item(data, start, end))
        start = found[-1][3]
    return found


def _one(data, item, tag):
    inside = _items(data, item[2], item[3])
    if len(inside) != 1 or inside[0][0] != tag:
        raise Refused("the signature is not the PKCS#7 structure Authenticode uses")
    return inside[0]


def _oid(data, item):
    if item[0] != 0x06 or item[2] == item[3]:
        raise Refused("the signature is not the PKCS#7 structure Authenticode uses")
    raw, numbers, value = data[item[2]:item[3]], [], 0
    for byte in raw:
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(value)
            value = 0
    first = min(numbers[0] // 40, 2)
    return ".".join(map(str, [first, numbers[0] - 40 * first] + numbers[1:]))


def _der(tag, content):
    size = len(content)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | (size.bit_length() + 7) // 8]) + \
        size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + content


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
    end = _item(block, 0, len(block))[3]
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


class Timestamp:
    def __init__(self, kind, der):
        self.kind, self.der = kind, der

    def claimed(self, work):
        """(time, authority) as the timestamp says them, unverified."""
        if self.kind != RFC3161_TIMESTAMP:
            return None, "a countersignature, a kind never verified here"
        token = write(work, "token.der", self.der)
        _, said = run("openssl", "ts", "-reply", "-in", token, "-token_in", "-token_out", "-text")
        found = re.search(r"^Time stamp: (.*)$", said, re.M)
        authorities, _ = proven_signers(work, token)
        return parse_time(found.group(1)) if found else None, authorities[0].subject if authorities else "?"

    def verify(self, signature_value, cafile, work):
        """'' when it is signed by an authority chaining to CAFILE and covers SIGNATURE_VALUE."""
        if self.kind != RFC3161_TIMESTAMP:
            return "it is a countersignature, which only RFC 3161 timestamps replace here"
        status, said = run("openssl", "ts", "-verify", "-in", write(work, "token.der", self.der), "-token_in",
                           "-data", write(work, "signed.bin", signature_value), "-CAfile", cafile)
        return "" if status == 0 and re.search(r"^Verification: OK$", said, re.M) else reason(said)


class Signature:
    """One signature (SignedData) of the file: the primary, or one nested in it."""

    def __init__(self, der):
        self.der = der
        outer = _item(der, 0, len(der))
        top = _items(der, outer[2], outer[3])
        if len(top) != 2 or _oid(der, top[0]) != SIGNED_DATA or top[1][0] != 0xA0:
            raise Refused("the signature is not the PKCS#7 structure Authenticode uses")
        self._top = top
        self._parts = parts = _items(der, *_one(der, top[1], 0x30)[2:])
        if len(parts) < 4 or parts[2][0] != 0x30 or parts[-1][0] != 0x31:
            raise Refused("the signature is not the PKCS#7 structure Authenticode uses")
        content_type, content = (_items(der, *parts[2][2:]) + [None])[:2]
        if _oid(der, content_type) != SPC_INDIRECT_DATA or content is None or content[0] != 0xA0:
            raise Refused("the signature does not sign a file's digest")
        self._content_type = der[content_type[1]:content_type[3]]
        inner = _one(der, content, 0x30)
        self.content = der[inner[2]:inner[3]]
        held = next((p for p in parts[3:-1] if p[0] == 0xA0), None)
        self.carried = [pem(der[i[1]:i[3]]) for i in (_items(der, *held[2:]) if held else [])]
        infos = _items(der, *parts[-1][2:])
        if len(infos) != 1:
            raise Refused(f"a signature has {len(infos)} signers, where Authenticode has one")
        fields = _items(der, *infos[0][2:])
        value = next((f for f in fields if f[0] == 0x04), None)
        self.value = der[value[2]:value[3]] if value else b""
        self.timestamps, self.nested = [], []
        for field in (f for f in fields if f[0] == 0xA1):
            for attribute in _items(der, *field[2:]):
                kind, values = (_items(der, *attribute[2:]) + [None])[:2]
                oid = _oid(der, kind)
                for item in _items(der, *values[2:]) if values else []:
                    if oid == NESTED_SIGNATURE:
                        self.nested.append(der[item[1]:item[3]])
                    elif oid in (RFC3161_TIMESTAMP, COUNTERSIGNATURE):
                        self.timestamps.append(Timestamp(oid, der[item[1]:item[3]]))
                    else:
                        raise Refused(f"the signature carries data no signature covers (attribute {oid})")

    def prove(self, work):
        """(the certificate whose key made this signature, '') or (None, why none)."""
        der, parts = self.der, self._parts
        body = b"".join(der[p[1]:p[3]] for p in parts[:2]) + _der(0x30, self._content_type) + \
            b"".join(der[p[1]:p[3]] for p in parts[3:])
        top = self._top[0]
        detached = _der(0x30, der[top[1]:top[3]] + _der(0xA0, _der(0x30, body)))
        signers, why = proven_signers(work, write(work, "detached.der", detached), write(work, "content", self.content))
        return (signers[0], "") if len(signers) == 1 else (None, why or "it names no single signer")


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
    block = signature_block(image)
    if block is None:
        return []
    found = [Signature(block)]
    found += [Signature(nested) for nested in found[0].nested]
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
