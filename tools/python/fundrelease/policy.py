"""What a release may hold, said once: every check of verify-release reads it, and anything it does
not allow is refused, whether or not a signature covers it. dist makes nothing else."""

import re

EXE, BUILDINFO, SUMS, SUMS_SIGNATURE = "FundTableRepair.exe", "BUILDINFO", "SHA256SUMS", "SHA256SUMS.p7s"
# A version, from its tag or VERSION: a digit, then letters, digits and ._+- (v1.0.0_rc1 gives 1.0.0_rc1).
# dist makes a release of no other, so each release dist makes names only files verification reads.
VERSION = re.compile(r"[0-9][0-9A-Za-z._+-]*")
ZIP_NAME = "FundTableRepair-{}.zip"
ZIP = re.compile(re.escape(ZIP_NAME).replace(r"\{\}", VERSION.pattern))
ZIP_ENTRIES = [EXE, "README-support.txt"]  # exactly these, in this order, each once, nothing between
ZIP_METHODS = (0, 8)  # stored or deflated, the only ones read; dist deflates, and its zip alone is taken
# SHA256SUMS in its one form: the zip's line, the exe's and BUILDINFO's, as dist writes them.
SUMS_FORM = re.compile(rb"([0-9a-f]{64})  (%s)\n([0-9a-f]{64})  %s\n([0-9a-f]{64})  %s\n" % (
    ZIP.pattern.encode(), re.escape(EXE).encode(), re.escape(BUILDINFO).encode()))
# BUILDINFO: its title, then a "title: value" line for each key in this order; the toolchain's
# "  package version" lines follow its title. releaseinfo writes it so and manifest reads it so.
BUILDINFO_TITLE = "FundTableRepair release: what built it"
BUILDINFO_KEYS = {"version": "version", "commit": "commit", "exe": "exe SHA-256 before signing", "root": "toolchain root",
                  "toolchain": "toolchain (Debian packages)", "proof": "end-to-end proof"}

MAX_BYTES = {EXE: 8 << 20, "zip": 8 << 20, "setting": 1 << 20, "other": 64 << 10}  # read whole, zip entries too
MAX_CERTIFICATE, MAX_CHAIN = 16 << 10, 6
MAX_DEPTH = 64  # of DER nesting: a signature with a timestamp and a nested signature needs under 40
MAX_ITEMS = 8192  # DER items in one structure, each parsed later: a genuine signature holds some 250
MAX_OID_ARC = 20  # bytes of one object identifier's arc: a UUID's, the longest in use, takes 19

# SHA-256 or stronger, everywhere: file digests, signers, timestamps' imprints, certificates.
DIGESTS = {"sha256", "sha384", "sha512"}
# No signature covers a signer's algorithm, its identifier or its version, so each has the one form
# signing writes: RSA's own algorithm with NULL, or ECDSA with the signer's digest and no parameters
# (OpenSSL takes any for the key); the signer named by issuer and serial number, version 1.
SIGNATURE_ALGORITHMS = {"rsassa_pkcs1v15": "NULL", "{digest}_ecdsa": "absent"}
# The curves an ECDSA key may be on, with each one's order n. A value (r, s) verifies as (r, n - s)
# too, and no signature covers which is written: signing writes the low one, s <= n / 2, alone.
CURVE_ORDERS = {"secp256r1": 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551,
                "secp384r1": int("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973", 16),
                "secp521r1": int("1" + "F" * 130 + "A51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E91386409", 16)}
SIGNER_ID = ("issuer_and_serial_number", "v1")

# Each kind of signature: what it signs, the signed attributes it may have (those in "needs" once
# each, the others at most once), the unsigned ones (at most so many of each), and the forms of
# what no signature covers that its maker writes: its version and its digest's parameters.
SIGNATURES = {
    "exe": {"content": "1.3.6.1.4.1.311.2.1.4", "needs": {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"},
            "signed": {"1.2.840.113549.1.9.5", "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12",
                       "1.2.840.113549.1.9.25.4"},  # a nested signature's sequence number
            "unsigned": {"1.3.6.1.4.1.311.3.3.1": 1, "1.3.6.1.4.1.311.2.4.1": 4}, "detached": False,
            "version": "v1", "digest_parameters": "NULL"},
    # ESS's certificate hash (SHA-1 in its first version) only names the authority's certificate,
    # which OpenSSL's verification proves by its key in any case.
    "timestamp": {"content": "1.2.840.113549.1.9.16.1.4", "needs": {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"},
                  "signed": {"1.2.840.113549.1.9.5", "1.2.840.113549.1.9.16.2.12", "1.2.840.113549.1.9.16.2.47",
                             "1.2.840.113549.1.9.52"},  # algorithm protection, which OpenSSL 3.2 and later write
                  "unsigned": {}, "detached": False, "version": "v3", "digest_parameters": "NULL"},
    "sums": {"content": "1.2.840.113549.1.7.1", "needs": {"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"},
             "signed": {"1.2.840.113549.1.9.5", "1.2.840.113549.1.9.52"}, "unsigned": {}, "detached": True,
             "version": "v1", "digest_parameters": "absent"},
}
NESTED, TIMESTAMP = "1.3.6.1.4.1.311.2.4.1", "1.3.6.1.4.1.311.3.3.1"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"

# Along each chain: the signer's certificate (ROLE) and every one above it (ROLE CA). An extended
# key usage, where a CA states one, must name the purpose too: a CA for e-mail vouches for no code.
USAGES = {
    "code signing": {"ca": False, "key_usage": ["digital_signature"], "purpose": "code_signing"},
    "code signing CA": {"ca": True, "key_usage": ["key_cert_sign"], "purpose": "code_signing"},
    "time stamping": {"ca": False, "key_usage": ["digital_signature"], "purpose": "time_stamping"},
    "time stamping CA": {"ca": True, "key_usage": ["key_cert_sign"], "purpose": "time_stamping"},
}
