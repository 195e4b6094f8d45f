"""Authenticode and CMS signatures, parsed once and held to fundrelease.policy. The file's digest is
computed from its PE headers; OpenSSL proves which carried certificate's key signed it: the signer."""

import datetime
import hashlib
import os
import struct

import pefile
from asn1crypto import cms, core, parser, pem, tsp
from asn1crypto.algos import DigestInfo, DSASignature

from fundrelease import policy
from fundrelease.certificates import Certificate, chain, vouching
from fundrelease.der import Malformed, as_read, loaded, strict
from fundrelease.programs import Out, reason, tool


class NotAnImage(Exception):
    pass


class SpcAttribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectData(core.Sequence):
    _fields = [("data", SpcAttribute), ("message_digest", DigestInfo)]


class RawValues(core.SetOf):
    _child_spec = core.Any


class RawAttribute(core.Sequence):  # each value parsed later, as what the policy says it is
    _fields = [("type", core.ObjectIdentifier), ("values", RawValues)]


class RawAttributes(core.SetOf):
    _child_spec = RawAttribute


def strong(algorithm, what):
    name = algorithm["algorithm"].native
    if name not in policy.DIGESTS or algorithm["parameters"].native is not None:
        raise Malformed(f"{what} uses {name}{' with parameters' if name in policy.DIGESTS else ''}: "
                        "SHA-256 or stronger is required, as the algorithm alone")


def form(algorithm):
    parameters = algorithm["parameters"]
    return "absent" if isinstance(parameters, core.Void) else "NULL" if parameters.dump() == b"\5\0" else "other"


def meaning(algorithm, value):
    """What signature VALUE by ALGORITHM means, whatever its form: ECDSA's (r, s) verifies as (r, n - s)
    too, and no nonce makes two signatures, so r alone; RSA's is its integer, leading zeros or none."""
    ecdsa = "ecdsa" in algorithm
    return ecdsa, strict(DSASignature, value, "an ECDSA signature value")["r"].native if ecdsa else int.from_bytes(value, "big")


def low_form(value, certificate):
    """ECDSA VALUE, made by CERTIFICATE's key, in its low form: the one signing writes. None where the
    key is on no curve the policy names."""
    key = certificate.parsed.public_key
    order = policy.CURVE_ORDERS.get(key.curve[1]) if key.algorithm == "ec" and key.curve[0] == "named" else None
    pair = strict(DSASignature, value, "an ECDSA signature value").native
    return order and DSASignature({"r": pair["r"], "s": min(pair["s"], order - pair["s"])}).dump()


class Signed:
    """One CMS SignedData of KIND (policy.SIGNATURES), holding nothing the policy does not allow."""

    def __init__(self, der, kind, role):
        rule, self.der, self.role = policy.SIGNATURES[kind], der, role
        info = strict(cms.ContentInfo, der, "the signature")
        if info["content_type"].native != "signed_data":
            raise Malformed("the signature is malformed (not a CMS signature)")
        self.data = data = info["content"]
        if not isinstance(data["crls"], core.Void):  # even an empty list
            raise Malformed("a signature carries certificate revocation lists, which no signature covers")
        if len(data["signer_infos"]) != 1:
            raise Malformed(f"a signature has {len(data['signer_infos'])} signers, where one is allowed")
        self.info = signer = data["signer_infos"][0]
        strong(signer["digest_algorithm"], "a timestamp" if kind == "timestamp" else "a signature")
        if form(signer["digest_algorithm"]) != rule["digest_parameters"] or data["version"].native != rule["version"] \
                or (signer["sid"].name, signer["version"].native) != policy.SIGNER_ID:
            raise Malformed("a signature's version or digest parameters are not as its kind is written")
        if [a.dump() for a in data["digest_algorithms"]] != [signer["digest_algorithm"].dump()]:
            raise Malformed("a signature lists digest algorithms other than its signer's one")
        algorithm, digest = signer["signature_algorithm"], signer["digest_algorithm"]["algorithm"].native
        if {k.format(digest=digest): v for k, v in policy.SIGNATURE_ALGORITHMS.items()}.get(
                algorithm["algorithm"].native) != form(algorithm):
            raise Malformed(f"a signature is made with {algorithm['algorithm'].native}, which is not allowed")
        encapsulated = data["encap_content_info"]
        if encapsulated["content_type"].dotted != rule["content"] or \
                isinstance(encapsulated["content"], core.Void) != rule["detached"]:
            raise Malformed(f"a signature signs {encapsulated['content_type'].native}, not what it is for")
        signed = [(a["type"].dotted, len(a["values"])) for a in signer["signed_attrs"]]
        kinds = [k for k, _ in signed]
        if len(set(kinds)) != len(kinds) or not rule["needs"] <= set(kinds) <= rule["needs"] | rule["signed"] \
                or any(count != 1 for _, count in signed):
            raise Malformed(f"a signature's signed attributes are not those allowed ({', '.join(kinds)})")
        self.unsigned, unsigned = {}, signer["unsigned_attrs"]
        unsigned = b"" if isinstance(unsigned, core.Void) else as_read(unsigned)
        if unsigned and not parser.parse(unsigned)[4]:
            raise Malformed("a signature carries an empty set of unsigned attributes, which DER has no place for")
        unsigned = RawAttributes.load(unsigned, implicit=1) if unsigned else []
        for attribute in unsigned:  # each kind once, of one to as many values as the policy allows
            kind_, values = attribute["type"].dotted, [v.dump() for v in attribute["values"]]
            if kind_ in self.unsigned or not 0 < len(values) <= rule["unsigned"].get(kind_, 0):
                raise Malformed(f"the signature carries data no signature covers (attribute {kind_})")
            self.unsigned[kind_] = values
        certificates = [] if isinstance(data["certificates"], core.Void) else data["certificates"]
        if len(certificates) > policy.MAX_CHAIN or any(c.name != "certificate" for c in certificates):  # counted first
            raise Malformed(f"a signature carries {len(certificates)} certificates or other items, where a chain of at "
                            f"most {policy.MAX_CHAIN} certificates is allowed")
        self.carried = [Certificate(as_read(c.chosen)) for c in certificates]
        self.value = signer["signature"].native
        self.ecdsa, self.meaning = meaning(algorithm["algorithm"].native, self.value)
        self.signer, self.chain, self.refused = None, [], ""

    def prove(self, content=None):
        """OpenSSL finds the carried certificate whose key signed this (over CONTENT, where not inside)."""
        der = self.der
        if content is not None:
            encapsulated = parser.emit(0, 1, 16, as_read(self.data["encap_content_info"]["content_type"]))
            fields = b"".join(encapsulated if name == "encap_content_info" else b"" if isinstance(self.data[name], core.Void)
                              else as_read(self.data[name]) for name, *_ in cms.SignedData._fields)
            der = parser.emit(0, 1, 16, cms.ContentType("signed_data").dump() + parser.emit(2, 1, 0, parser.emit(0, 1, 16, fields)))
        status, said, written = tool("openssl", "cms", "-verify", "-inform", "DER", "-in", der, "-binary",
                                     "-noverify", "-signer", Out("signer"), "-out", os.devnull,
                                     *(["-content", content] if content is not None else []))
        proven = [d for text in written.values() for _, _, d in pem.unarmor(text, multiple=True)]
        sid = self.info["sid"].chosen
        match = [c for c in self.carried if [c.der] == proven and as_read(sid["issuer"]) == as_read(c.parsed.issuer)
                 and sid["serial_number"].native == c.parsed.serial_number]
        if status != 0 or not match:
            why = reason(said) if status else "its signer identifier is not its certificate's issuer and serial number"
            self.refused = f"it names no signer OpenSSL can prove ({why})"
        else:
            self.signer = match[0]
            self.chain, self.refused = chain(self.signer, self.carried, self.role)
            if self.ecdsa != (self.signer.parsed.public_key.algorithm == "ec"):  # OpenSSL reads an EC key's value whatever the label
                self.refused = self.refused or "its signature algorithm is not its key's"
            elif self.ecdsa and low_form(self.value, self.signer) != self.value:
                self.refused = self.refused or "its ECDSA value is not in the low form signing writes, or its curve is not allowed"
        return self


class Timestamp(Signed):
    """An RFC 3161 token over one signature's value."""

    def __init__(self, der, signature_value):
        super().__init__(der, "timestamp", "time stamping")
        self.tst = strict(tsp.TSTInfo, self.data["encap_content_info"]["content"].contents, "a timestamp")
        imprint = self.tst["message_imprint"]
        strong(imprint["hash_algorithm"], "a timestamp's imprint")
        for attribute in self.info["signed_attrs"]:
            for certificate in attribute["values"][0]["certs"] if attribute["type"].native == "signing_certificate_v2" else []:
                strong(certificate["hash_algorithm"], "a timestamp's certificate identifier")
        covers = hashlib.new(imprint["hash_algorithm"]["algorithm"].native,
                             signature_value).digest() == imprint["hashed_message"].native
        self.time, self.signature_value = self.tst["gen_time"].native, signature_value
        if not isinstance(self.time, datetime.datetime):  # year 0 is asn1crypto's own type, which no date compares with
            raise Malformed("a timestamp's time lies outside the years a date can hold")
        self.prove()
        if not covers:  # tampered, whoever it names and whatever is asked of it
            self.refused = "was made over other data than this signature"

    def verify(self, anchors, cafile):
        fit, why = vouching(self.chain, anchors, "time stamping")
        if why:
            return f"no authority in {cafile} vouches for it ({why})"
        # Judged when it was made, as the signature it vouches for is: an authority's certificate
        # that has expired since leaves its tokens good.
        status, said, _ = tool("openssl", "ts", "-verify", "-in", self.der, "-token_in", "-data",
                               self.signature_value, "-partial_chain", "-CAfile", fit,
                               "-attime", str(int(self.time.timestamp())))
        return "" if status == 0 and "Verification: OK" in said else reason(said)


class Signature(Signed):
    """One Authenticode signature of IMAGE: the primary, or one nested in it (which holds none)."""

    def __init__(self, der, image, signed_range, nested=True):
        super().__init__(der, "exe", "code signing")
        # The signed content is the [0]'s one item; asn1crypto knows it as no type of its own.
        inner = parser.parse(self.data["encap_content_info"]["content"].dump(), strict=True)[4]
        content = strict(SpcIndirectData, inner, "the signature")
        if content["data"]["type"].dotted != policy.PE_IMAGE_DATA:
            raise Malformed("the signature does not sign a Windows program's digest")
        strong(content["message_digest"]["digest_algorithm"], "the file's digest")
        digest = hashlib.new(content["message_digest"]["digest_algorithm"]["algorithm"].native)
        for start, end in signed_range:
            digest.update(image[start:end])
        self.digest_matches = digest.digest() == content["message_digest"]["digest"].native
        self.prove(content.contents)
        self.timestamps = [Timestamp(t, self.value) for t in self.unsigned.get(policy.TIMESTAMP, [])]
        if self.unsigned.get(policy.NESTED) and not nested:
            raise Malformed("a nested signature holds another, which no verifier here checks")
        self.nested = [Signature(n, image, signed_range, False) for n in self.unsigned.get(policy.NESTED, [])]
        # A copy re-encoded, or its value in another form, is other bytes that mean the same.
        values = [self.meaning] + [n.meaning for n in self.nested]
        if len(set(values)) != len(values):
            raise Malformed("a nested signature is a copy of another signature in the file")


def checksum(image):
    return struct.pack("<I", pefile.PE(data=image, fast_load=True).generate_checksum())


def table(image):
    """(file offsets of the certificate table's directory entry and of the checksum; the table's
    offset and size): what signing writes in the headers. Raises NotAnImage."""
    try:
        headers = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER
        entry = headers.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    except (pefile.PEFormatError, IndexError) as error:
        raise NotAnImage(str(error)) from None
    return entry.get_file_offset(), headers.get_field_absolute_offset("CheckSum"), entry.VirtualAddress, entry.Size


def read(image):
    """(IMAGE's signatures, the primary first; IMAGE less its signature: cut at the table, its entry
    zeroed, a signed checksum made anew). Raises NotAnImage, or Malformed for more than signing writes."""
    slot, field, offset, size = table(image)
    if size == 0:
        return [], image
    try:
        end = len(core.Asn1Value.load(image[offset + 8:offset + size], strict=False).dump())
    except ValueError:
        raise Malformed("the signature is malformed (not well-formed DER)") from None
    # The one form signing writes: the table ends the file, and holds its own length, revision 2.0,
    # type PKCS#7, the signature and the zeros that align it to 8 bytes.
    der = image[offset + 8:offset + 8 + end]
    if len(image) - offset != size or image[offset:] != struct.pack("<IHH", size, 0x200, 2) + der + bytes(-end % 8) \
            or offset < slot + 8:
        raise Malformed(f"the signature block is not as signing writes it ({len(image) - offset} bytes where its "
                        f"entry says {size}, for a signature of {end} and {-end % 8} zeros)")
    stripped = bytearray(image[:offset])
    stripped[slot:slot + 8] = bytes(8)
    if image[field:field + 4] != checksum(image):  # signing writes the signed file's, and only that
        raise Malformed("the PE checksum is not the signed file's")
    stripped[field:field + 4] = checksum(bytes(stripped))
    primary = loaded(lambda: Signature(der, image, [(0, field), (field + 4, slot), (slot + 8, offset)]), "the signature")
    return [primary] + primary.nested, bytes(stripped)
