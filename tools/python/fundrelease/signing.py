"""Signing a release with one key: the exe with Authenticode (osslsigncode), and SHA256SUMS with a
detached CMS signature by the same key and certificate (OpenSSL). The key is in a PKCS#12 file or
in a token reached through its PKCS#11 library; a password or PIN is read from its file by the
signing tool and never appears in a command line or in the output. tools/release/dist uses it."""

import os
import re
import struct

from asn1crypto import cms, core

from fundrelease import authenticode, policy
from fundrelease.certificates import Certificate
from fundrelease.der import Malformed
from fundrelease.programs import Out, reason, tool


class ReleaseError(Exception):
    pass


def read(path):
    with open(path, "rb") as f:
        return f.read()


def readable(path, what):
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        raise ReleaseError(f"cannot read the {what} {path}: {error.strerror}") from None


def pkcs11_engine():
    """OpenSSL's engine for PKCS#11 tokens, from libengine-pkcs11-openssl."""
    _, said, _ = tool("openssl", "version", "-e")
    found = re.search(r'"(.*)"', said)
    engine = os.path.join(found.group(1), "pkcs11.so") if found else ""
    if not os.path.exists(engine):
        raise ReleaseError("OpenSSL's PKCS#11 engine is not installed; make bootstrap installs it")
    return engine


def key_arguments(signing):
    """osslsigncode's arguments for the key, and what to say when it cannot use it."""
    if signing.sign_pkcs12:
        readable(signing.sign_pkcs12, "certificate")
        readable(signing.sign_password_file, "password file")
        return ["-pkcs12", signing.sign_pkcs12, "-readpass", signing.sign_password_file], [
            ("Wrong password", f"the password in {signing.sign_password_file} does not open the certificate "
                               f"{signing.sign_pkcs12}"),
            ("Failed to extract PKCS#12", f"{signing.sign_pkcs12} is not a PKCS#12 certificate with its private key"),
        ]
    readable(signing.sign_pkcs11_module, "PKCS#11 library")
    readable(signing.sign_cert, "certificate")
    readable(signing.sign_pin_file, "PIN file")
    if not signing.sign_key.startswith("pkcs11:"):
        raise ReleaseError(f"SIGN_KEY must be a pkcs11: URI naming the private key, not {signing.sign_key}")
    return ["-pkcs11engine", pkcs11_engine(), "-pkcs11module", signing.sign_pkcs11_module,
            "-certs", signing.sign_cert, "-key", signing.sign_key, "-readpass", signing.sign_pin_file], [
        ("PIN incorrect", f"the PIN in {signing.sign_pin_file} does not open the token"),
        ("PIN_LOCKED", "the token's PIN is locked"),
        ("key values mismatch", f"the certificate {signing.sign_cert} is not the one of the key {signing.sign_key}"),
        ("private key was not found", f"the token holds no private key {signing.sign_key}"),
        ("Failed to load PKCS#11 module", f"{signing.sign_pkcs11_module} is not a PKCS#11 library"),
        ("Failed to read certificate", f"{signing.sign_cert} holds no certificate in PEM"),
    ]


def in_der_order(signature):
    """SIGNATURE, CMS DER, with the certificates it and its timestamps carry in DER's order: the one
    form verification reads. No signature covers it, and an authority need not send it (openssl ts
    -reply -chain puts its own certificate first). Each set keeps its length, so all else its bytes."""
    data = cms.ContentInfo.load(signature, strict=False)["content"]
    unsigned = data["signer_infos"][0]["unsigned_attrs"]
    for token in [] if isinstance(unsigned, core.Void) else [value.dump() for attribute in unsigned if
                                                            attribute["type"].dotted == policy.TIMESTAMP
                                                            for value in attribute["values"]]:
        signature = signature.replace(token, in_der_order(token))
    if not isinstance(data["certificates"], core.Void):
        signature = signature.replace(data["certificates"].contents,
                                      b"".join(sorted(c.dump() for c in data["certificates"])))
    return signature


def in_low_form(signature):
    """SIGNATURE, CMS DER, with its signer's ECDSA value and its timestamps' in their low form: the one
    verification reads, of the two that verify. No signature covers which is written, nor need a
    token's authority write it so."""
    info = cms.ContentInfo.load(signature)
    data, changed = info["content"], False
    signer, unsigned = data["signer_infos"][0], data["signer_infos"][0]["unsigned_attrs"]
    for attribute in [] if isinstance(unsigned, core.Void) else unsigned:
        for index, token in enumerate(attribute["values"] if attribute["type"].dotted == policy.TIMESTAMP else []):
            if (low_token := in_low_form(token.dump())) != token.dump():
                attribute["values"][index], changed = cms.ContentInfo.load(low_token), True
    sid = signer["sid"].chosen
    certificates = [] if isinstance(data["certificates"], core.Void) else data["certificates"]
    key = next((Certificate(c.chosen.dump()) for c in certificates if c.name == "certificate" and
                c.chosen.issuer.dump() == sid["issuer"].dump() and c.chosen.serial_number == sid["serial_number"].native), None)
    value = signer["signature"].native
    low = key and "ecdsa" in signer["signature_algorithm"]["algorithm"].native and authenticode.low_form(value, key)
    if low and low != value:
        signer["signature"], changed = low, True
    return info.dump() if changed else signature


def in_read_form(path):
    """Rewrites the signed exe at PATH in the one form verification reads: ECDSA values low,
    certificates in DER's order, its certificate table and PE checksum made for it as signing makes them."""
    image = read(path)
    slot, field, offset, size = authenticode.table(image)
    end = len(core.Asn1Value.load(image[offset + 8:offset + size], strict=False).dump())
    signature = in_der_order(in_low_form(image[offset + 8:offset + 8 + end]))
    padded = signature + bytes(-len(signature) % 8)
    image = bytearray(image[:offset] + struct.pack("<IHH", 8 + len(padded), 0x200, 2) + padded)
    struct.pack_into("<I", image, slot + 4, 8 + len(padded))
    image[field:field + 4] = authenticode.checksum(bytes(image))
    with open(path, "wb") as f:
        f.write(image)


def osslsigncode(command, reasons, signing):
    status, said, _ = tool("osslsigncode", *command)
    if status == 124:
        waited = f"; is the timestamp server {signing.sign_timestamp_url} answering?" if signing.sign_timestamp_url else ""
        raise ReleaseError(f"signing did not finish within 120 s{waited}")
    if status != 0 or not os.path.exists(command[-1]):
        for clue, sentence in reasons + [("timestamping failed", f"the timestamp server {signing.sign_timestamp_url} "
                                                                 "gave no timestamp")]:
            if clue in said:
                raise ReleaseError(sentence)
        first = next((line.strip() for line in said.splitlines() if line.strip()
                      and not line.startswith("Engine ")), "no reason given")
        raise ReleaseError(f"signing failed: {first}")


def sign(unsigned, signed, signing):
    arguments, reasons = key_arguments(signing)
    osslsigncode(["sign", *arguments, "-h", "sha256", "-in", unsigned, "-out", signed], reasons, signing)
    # Signing appends a certificate table and nothing else; prove it before anything is shipped.
    try:
        in_read_form(signed)
        if signing.sign_timestamp_url:  # the token's imprint covers the value's bytes: asked for once it is low
            osslsigncode(["add", "-ts", signing.sign_timestamp_url, "-h", "sha256", "-in", signed, "-out",
                          signed + ".timestamped"], [], signing)
            os.replace(signed + ".timestamped", signed)
            in_read_form(signed)
        _, stripped = authenticode.read(read(signed))
    except (Malformed, authenticode.NotAnImage, ValueError) as error:
        raise ReleaseError(f"the signed exe's signature is not as a release holds it: {error}") from None
    if stripped != read(unsigned):
        raise ReleaseError("the signed exe does not strip back to the unsigned build")


def sign_sums(sums, signed_exe, signing):
    """Signs SUMS, beside it as SUMS.p7s, with the key and the certificate (and chain) that signed
    SIGNED_EXE."""
    signature = authenticode.read(read(signed_exe))[0][0]
    if signature.signer is None or signature.refused:
        raise ReleaseError(f"the signed exe's signer cannot be proven ({signature.refused})")
    others = "".join(c.pem for c in signature.chain[1:]).encode()
    environment = dict(os.environ)
    if signing.sign_pkcs12:
        key = ["-inkey", signing.sign_pkcs12, "-passin", f"file:{signing.sign_password_file}"]
    else:
        key = ["-engine", "pkcs11", "-keyform", "engine", "-inkey", signing.sign_key,
               "-passin", f"file:{signing.sign_pin_file}"]
        environment["PKCS11_MODULE_PATH"] = signing.sign_pkcs11_module
    status, said, written = tool("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-in", read(sums),
                                 "-signer", signature.signer.pem.encode(), *(["-certfile", others] if others else []),
                                 *key, "-outform", "DER", "-out", Out("p7s"), env=environment)
    if status != 0 or not written:
        raise ReleaseError(f"signing {os.path.basename(sums)} failed: {reason(said)}")
    with open(sums + ".p7s", "wb") as f:
        f.write(in_der_order(in_low_form(written["p7s"])))
