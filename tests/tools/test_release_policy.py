"""The release folder's readers and the DER check against what dist writes and what it never does.
Run under Debian's python3, whose asn1crypto and pefile the verifier uses."""

import datetime
import io
import os
import struct
import subprocess
import tempfile
import tracemalloc
import unittest
import zipfile
import zlib
from unittest import mock

from asn1crypto import cms, core, parser, pem, tsp, util, x509
from asn1crypto.algos import DSASignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID as Usage
from hypothesis import configuration, given, settings, strategies

from fundrelease import authenticode, certificates, der, dist, manifest, policy, releaseinfo, signing

from fundrelease.der import Malformed, strict
from fundrelease.inputs import read_once
from fundrelease.programs import Out, tool
from test_image import image

# Hypothesis keeps a folder where it runs: not in a checkout, where an untracked folder stops make dist.
configuration.set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "fundtable-hypothesis"))

SHA = "ab" * 32


def sums(*lines, end=b"\n"):
    return end.join(line.encode() for line in lines) + end


def buildinfo(extra=(), drop=()):
    """BUILDINFO as dist writes it, with lines EXTRA and without those starting with one of DROP."""
    lines = releaseinfo.buildinfo_text(version="1.0.0", commit="0123", exe=SHA, root="Debian GNU/Linux 12, 12.15",
                                       toolchain=dict.fromkeys(releaseinfo.TOOLCHAIN_PACKAGES, "1.0"),
                                       proof="not run").split("\n")[:-1] + list(extra)
    return ("\n".join(line for line in lines if not any(line.startswith(d) for d in drop)) + "\n").encode()


def archive(*entries, prefix=b""):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for name in entries:
            z.writestr(name, b"exe" if name == policy.EXE else b"note")
    return prefix + out.getvalue()


def bomb():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(policy.EXE, bytes(policy.MAX_BYTES[policy.EXE] + 1))
        z.writestr(policy.ZIP_ENTRIES[1], b"note")
    return out.getvalue()


class Sums(unittest.TestCase):
    def test_what_dist_writes_is_read(self):
        listed, zip_name = manifest.read_sums(sums(f"{SHA}  FundTableRepair-1.0.zip", f"{SHA}  {policy.EXE}",
                                                   f"{SHA}  BUILDINFO"))
        self.assertEqual((set(listed), zip_name), ({policy.EXE, "BUILDINFO", zip_name}, "FundTableRepair-1.0.zip"))

    def test_lines_sha256sum_reads_otherwise_are_refused(self):
        good = [f"{SHA}  FundTableRepair-1.0.zip", f"{SHA}  {policy.EXE}", f"{SHA}  BUILDINFO"]
        for data in (sums(*good, end="\u2028".encode()), sums(*good, end=b"\r\n"), sums(*good)[:-1], sums(*reversed(good)),
                     sums(*good, f"{SHA}  BUILDINFO"), sums(*good[1:]), sums(*good, f"{SHA}  ../x"),
                     sums(*good, f"{SHA}  FundTableRepair-2.0.zip")):
            with self.subTest(data=data), self.assertRaises(Malformed):
                manifest.read_sums(data)


class Buildinfo(unittest.TestCase):
    def test_what_dist_writes_is_read(self):
        fields, packages = manifest.read_buildinfo(buildinfo())
        self.assertEqual((fields["exe"], set(packages)), (SHA, set(releaseinfo.TOOLCHAIN_PACKAGES)))

    def test_a_key_twice_a_missing_toolchain_or_an_unknown_line_is_refused(self):
        packages = [f"  {p} 1.0" for p in releaseinfo.TOOLCHAIN_PACKAGES]
        for data in (buildinfo(extra=["version: 9.9.9"]), buildinfo(drop=["  "]), buildinfo(drop=["  cmake"]),
                     buildinfo(drop=[packages[0]], extra=[packages[0]]),  # one form: the packages in their order
                     buildinfo(extra=["  cmake 2.0"]), buildinfo(extra=["note: hello"]), buildinfo()[:-1],
                     b"\xff" + buildinfo()):
            with self.subTest(data=data[-40:]), self.assertRaises(Malformed):
                manifest.read_buildinfo(data)


class Zip(unittest.TestCase):
    def test_only_the_exe_and_its_note_end_to_end(self):
        self.assertEqual(manifest.zip_exe(releaseinfo.zip_bytes([b"exe", b"note"])), b"exe")
        for data in (archive(policy.EXE), archive(*policy.ZIP_ENTRIES, "fundtablerepair.EXE"),
                     archive(*reversed(policy.ZIP_ENTRIES)), archive(*policy.ZIP_ENTRIES, prefix=archive(policy.EXE)),
                     archive(*policy.ZIP_ENTRIES) + b"x", b"PK\x05\x06", bomb()):
            with self.subTest(data=data[:8]):
                self.assertTrue(manifest.zip_exe(data) is None, "the zip was taken as a release's")

    def test_only_what_dist_writes_each_entry_inflated_within_its_size(self):
        def made(method, local=None, central=None, content=None):
            """A zip of the release's entries by METHOD, its exe's LOCAL and CENTRAL header claiming
            another, or its exe CONTENT in place of b"exe" with sizes that claim 3 bytes."""
            out = io.BytesIO()
            with zipfile.ZipFile(out, "w", method) as z:
                for name, data in zip(policy.ZIP_ENTRIES, [content or b"exe", b"note"]):
                    entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
                    entry.compress_type, entry.create_system = method, 0
                    z.writestr(entry, data)
            data, at = bytearray(out.getvalue()), out.getvalue().index(b"PK\1\2")
            local = method if local is None else local
            data[8:10] = local.to_bytes(2, "little")
            data[at + 10:at + 12] = (local if central is None else central).to_bytes(2, "little")
            if content:  # the CRC and size of b"exe" in both headers, as a liar would write them
                for field in (14, at + 16):
                    data[field:field + 4] = zlib.crc32(b"exe").to_bytes(4, "little")
                    data[field + 8:field + 12] = (3).to_bytes(4, "little")
            return bytes(data)

        self.assertEqual(made(8), releaseinfo.zip_bytes([b"exe", b"note"]))  # as dist makes it, and taken
        self.assertEqual(manifest.zip_exe(made(8)), b"exe")
        for what, data in (("stored", made(0)), ("bzip2", made(12)), ("lzma", made(14)), ("stored bytes said to be deflated", made(0, local=8)),
                           ("an unknown method", made(0, local=99)), ("a local header saying stored", made(8, local=0, central=8)),
                           ("a directory saying stored", made(8, central=0)),
                           ("64 MB of zeros said to be 3 bytes", made(8, content=bytes(64 << 20)))):
            with self.subTest(what):
                tracemalloc.start()
                try:
                    self.assertIsNone(manifest.zip_exe(data))
                    self.assertLess(tracemalloc.get_traced_memory()[1], policy.MAX_BYTES[policy.EXE] + (4 << 20))
                finally:
                    tracemalloc.stop()


class Integers(core.SetOf):
    _child_spec = core.Integer


class Pair(core.Sequence):
    _fields = [("number", core.Integer), ("oid", core.ObjectIdentifier)]


class Holder(core.Sequence):
    _fields = [("integers", Integers, {"implicit": 0})]


def der_item(tag, contents):
    return bytes([tag, len(contents)]) + contents  # short lengths alone


class Der(unittest.TestCase):
    def test_only_the_shortest_definite_forms(self):
        for asn1_type, hex_ in ((Pair, "3006020101060100"), (Integers, "3106020101020102"),
                                (Holder, "3008a006020101020102")):
            self.assertEqual(strict(asn1_type, bytes.fromhex(hex_), "it").dump(), bytes.fromhex(hex_))
        for asn1_type, hex_ in ((Pair, "30810602010106010 0"), (Pair, "3080020101060100 0000"), (Pair, "300602020001060100"),
                                (Pair, "3006020101060181"), (core.OctetString, "24030401 00"), (core.Boolean, "0101 01"),
                                (Pair, "3006020101060180"), (Pair, "3006020101"), (Integers, "3106020102020101")):
            with self.subTest(der=hex_), self.assertRaises(Malformed):
                strict(asn1_type, bytes.fromhex(hex_.replace(" ", "")), "it")

    def test_each_structure_is_its_types_own_encoding(self):
        info = cms.ContentInfo({"content_type": "data", "content": b"x"}).dump()
        for what, asn1_type, data in (
                ("a field its type lacks, after the last", cms.ContentInfo,
                 bytes([0x30, info[1] + 2]) + info[2:] + b"\4\0"),
                ("a default written out", x509.BasicConstraints, bytes.fromhex("3003010100")),
                ("an implicit SET OF out of order", Holder, bytes.fromhex("3008a006020102020101")),
                ("a time without its seconds", core.UTCTime, b"\x17\x0b2612101223Z")):
            with self.subTest(what):
                self.assertTrue(der.canonical(data))  # DER, yet not as its type writes it
                with self.assertRaises(Malformed):
                    strict(asn1_type, data, "it")


    def test_judged_from_the_bytes_read_never_encoded_again(self):
        # A default inside (a certificate named by hash alone) makes asn1crypto re-encode each level
        # above it at every access, twice per level: a timestamp's took a minute.
        def signing_certificate(*ids):
            return der_item(0x30, der_item(0x30, b"".join(der_item(0x30, i) for i in ids)))
        by_hash = [der_item(4, bytes([n]) * 32) for n in (1, 2)]
        sha256 = bytes.fromhex("300d06096086480165030402010500")  # the default, which DER leaves out
        def guarded(encode):
            def encode_unless_parsed(value, force=False):
                self.assertIsNone(value._header, "a value read was encoded again")
                return encode(value, force)
            return encode_unless_parsed
        with mock.patch.object(core.Sequence, "_set_contents", guarded(core.Sequence._set_contents)), \
                mock.patch.object(core.SequenceOf, "_set_contents", guarded(core.SequenceOf._set_contents)):
            for ids, encodes_back in ((by_hash, True), ([sha256 + by_hash[0], by_hash[1]], False)):
                with self.subTest(encodes_back=encodes_back):
                    value = tsp.SigningCertificateV2.load(signing_certificate(*ids), strict=True)
                    self.assertEqual(der.encodes_back(value), encodes_back)

    def test_an_object_identifiers_arc_is_no_longer_than_any_in_use(self):
        # Read as a number, an arc costs the square of its length: 400 KB of one took a minute.
        uuid_arc = b"\x2a" + b"\xff" * (policy.MAX_OID_ARC - 1) + b"\x7f"
        self.assertTrue(der.canonical(der_item(0x30, der_item(6, uuid_arc))))
        for tag in (6, 13):  # an OBJECT IDENTIFIER, a RELATIVE-OID
            with self.subTest(tag=tag):
                self.assertFalse(der.canonical(der_item(0x30, der_item(tag, b"\x2a\x80" + uuid_arc[1:]))))

    @settings(max_examples=400, derandomize=True, deadline=None, database=None)
    @given(strategies.sampled_from([core.BitString, x509.KeyUsage, x509.ReasonFlags, x509.NetscapeCertificateType]),
           strategies.integers(0, 8), strategies.binary(max_size=3), strategies.booleans())
    def test_a_bit_string_read_from_its_bytes_as_its_dump_would(self, kind, unused, bits, empty):
        contents = b"" if empty else bytes([unused]) + bits
        data = der_item(3, contents)
        try:
            dumped = kind.load(data, strict=True).copy().dump(force=True) == data
        except (ValueError, IndexError):  # asn1crypto's word for contents no BIT STRING has
            dumped = False
        self.assertEqual(bool(der.bits_in_der(contents, kind._map)), dumped)

    def test_a_long_bit_string_takes_no_memory_for_its_bits(self):
        # A certificate's unique identifier, in a signature's set, before any certificate's size is judged
        class Holder(core.Sequence):
            _fields = [("id", core.BitString)]
        bits = parser._dump_header(0, 0, 3, bytes(1 + (4 << 20))) + bytes(1 + (4 << 20))
        data = parser._dump_header(0, 1, 16, bits) + bits
        tracemalloc.start()
        try:
            strict(Holder, data, "it")
            self.assertLess(tracemalloc.get_traced_memory()[1], 8 * len(data))  # its bits as a tuple: 640 times
        finally:
            tracemalloc.stop()


class ReadOnce(unittest.TestCase):
    def test_links_fifos_and_large_files_are_not_read(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "file")
            with open(path, "wb") as f:
                f.write(b"12345")
            os.symlink(path, os.path.join(folder, "link"))
            os.mkfifo(os.path.join(folder, "fifo"))
            self.assertEqual(read_once(path, 5), b"12345")
            os.link(path, os.path.join(folder, "hard"))
            for name, cap in (("file", 4), ("link", 5), ("fifo", 5), ("hard", 5)):
                with self.subTest(name=name), self.assertRaises(OSError):
                    read_once(os.path.join(folder, name), cap)


class AttackedShapesTest(unittest.TestCase):
    def test_der_nested_deeper_than_a_release_needs_is_refused(self):
        def sequence(depth):
            item = b"\x05\x00"
            for _ in range(depth):
                n = len(item)
                header = b"\x30" + (bytes([n]) if n < 128 else bytes([0x81, n]) if n < 256 else b"\x82" + n.to_bytes(2, "big"))
                item = header + item
            return item
        self.assertTrue(der.canonical(sequence(policy.MAX_DEPTH)))
        self.assertFalse(der.canonical(sequence(policy.MAX_DEPTH + 2)))
        self.assertFalse(der.canonical(sequence(3000)))  # deep enough to exhaust Python's recursion

    def test_der_of_more_items_than_a_signature_holds_is_refused_before_it_is_parsed(self):
        nulls = b"\5\0" * policy.MAX_ITEMS
        self.assertTrue(der.canonical(b"\x30\x82" + len(nulls[2:]).to_bytes(2, "big") + nulls[2:]))
        self.assertFalse(der.canonical(b"\x30\x82" + len(nulls).to_bytes(2, "big") + nulls))

    def test_the_certificate_table_ends_the_file_where_its_length_words_say(self):
        signature = cms.ContentInfo({"content_type": "data", "content": b"x"}).dump()
        for what, longer, said in (("as signing writes it", 0, "not a CMS signature"), ("said longer", 100000, "block")):
            with self.subTest(what):
                exe = image(32)
                slot, field, _, _ = authenticode.table(exe)
                size = 8 + len(signature) + -len(signature) % 8
                block = struct.pack("<IHH", size + longer, 0x200, 2) + signature + bytes(size - 8 - len(signature))
                data = bytearray(exe + block)
                data[slot:slot + 8] = struct.pack("<II", len(exe), size + longer)
                data[field:field + 4] = authenticode.checksum(bytes(data))
                with self.assertRaisesRegex(Malformed, said):
                    authenticode.read(bytes(data))

    def test_a_folder_of_many_zips_is_refused_before_any_is_read(self):
        with tempfile.TemporaryDirectory() as folder:
            names = [f"FundTableRepair-1.{i}.zip" for i in range(3)]
            for name in names:
                os.mkfifo(os.path.join(folder, name))  # read_once would refuse each; none must be opened
            fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                files, failures = manifest.read_folder(fd, names, {})
            finally:
                os.close(fd)
        self.assertEqual(files, {})
        self.assertEqual(failures, ["the release folder holds 3 zips, where a release has one"])

    def test_a_tagged_pre_release_names_a_zip_the_policy_allows(self):
        self.assertTrue(policy.ZIP.fullmatch(f"FundTableRepair-{releaseinfo.version('1.0.0', '0' * 40, 'v1.0.0-rc1', False)}.zip"))



def issued(subject, issuer=None, ca=False, purpose=None, key=None):
    """(a certificate's PEM, its key): ISSUER's (PEM, key), or self-signed; KEY's, or a new one's."""
    from cryptography import x509
    from cryptography.x509.oid import NameOID
    key, now = key or ec.generate_private_key(ec.SECP256R1()), datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    issuer_name, issuer_key = (x509.load_pem_x509_certificate(issuer[0]).subject, issuer[1]) if issuer else (name, key)
    builder = x509.CertificateBuilder().subject_name(name).issuer_name(issuer_name).public_key(key.public_key()) \
        .serial_number(x509.random_serial_number()).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=1)) \
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True) \
        .add_extension(x509.KeyUsage(not ca, False, False, False, False, ca, False, False, False), critical=True)
    if purpose:
        builder = builder.add_extension(x509.ExtendedKeyUsage([purpose]), critical=purpose == Usage.TIME_STAMPING)
    return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM), key


class Vouching(unittest.TestCase):
    def test_a_ca_in_cafile_is_held_to_the_purpose_as_one_carried(self):
        root = issued("Root", ca=True)
        mail, stamps = issued("Mail CA", root, ca=True, purpose=Usage.EMAIL_PROTECTION), issued("Stamp CA", root, ca=True)
        for ca, why in ((mail, "Common Name: Mail CA is not for time stamping"), (stamps, "")):
            leaf = certificates.Certificate(pem.unarmor(issued("Authority", ca, purpose=Usage.TIME_STAMPING)[0])[2])
            with self.subTest(ca=why or "fit"):
                fit, said = certificates.vouching([leaf], certificates.anchors(root[0] + mail[0] + stamps[0]), "time stamping")
                self.assertEqual((said, bool(fit)), (why, not why))

    def test_any_certificate_of_cafile_the_chain_reaches_vouches_for_it(self):
        root = issued("Root", ca=True)
        inter = issued("Intermediate", root, ca=True)
        leaf = issued("Vendor", inter, purpose=Usage.CODE_SIGNING)
        carried = [certificate(pem_) for pem_, _ in (leaf, inter, root)]
        found, why = certificates.chain(carried[0], carried, "code signing")
        self.assertEqual((len(found), why), (3, ""))
        cross = issued("Intermediate", issued("Another root", ca=True), ca=True, key=inter[1])  # its key, another's issue
        for level, (cafile, _) in (("the root", root), ("the intermediate", inter), ("the leaf itself", leaf),
                                   ("the intermediate's key, certified by another", cross)):
            for chain in (found, found[:2]):  # the root carried, or not
                with self.subTest(level, carried=len(chain)):
                    self.assertEqual(certificates.trusted(chain, certificates.anchors(cafile), level), "")
        self.assertIn("no certificate in it is or signed",
                      certificates.trusted(found, certificates.anchors(issued("Root", ca=True)[0]), "another root"))

    def test_a_timestamp_verifies_under_its_authority_itself_or_the_authority_above_it(self):
        # OpenSSL carries the authority's certificate first, and its chain after it, in no DER order:
        # the root's shorter certificate comes first in DER's, where signing puts it.
        root = issued("Stamp root", ca=True)
        authority = issued("Authority", root, purpose=Usage.TIME_STAMPING)
        value = b"a signature value"
        with tempfile.TemporaryDirectory() as work:
            for name, data in (("tsa.pem", authority[0]), ("root.pem", root[0]), ("value", value), ("tsa.key", authority[
                    1].private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))):
                with open(os.path.join(work, name), "wb") as f:
                    f.write(data)
            with open(os.path.join(work, "tsa.cnf"), "w") as f:
                f.write(f"[tsa]\ndefault_tsa = a\n[a]\nserial = {work}/serial\nsigner_cert = {work}/tsa.pem\n"
                        f"signer_key = {work}/tsa.key\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                        "digests = sha256\ness_cert_id_alg = sha256\n")
            run = lambda *args: subprocess.run(["openssl", "ts", *args], cwd=work, check=True, capture_output=True)
            run("-query", "-data", "value", "-sha256", "-cert", "-out", "query")
            run("-reply", "-config", "tsa.cnf", "-queryfile", "query", "-chain", "root.pem", "-token_out", "-out", "token")
            with open(os.path.join(work, "token"), "rb") as f:
                sent = f.read()
        with self.assertRaises(Malformed):
            authenticode.Timestamp(sent, value)
        token = authenticode.Timestamp(signing.in_der_order(sent), value)
        self.assertIn("other data", authenticode.Timestamp(signing.in_der_order(sent), value + b"!").refused)  # whatever is asked
        self.assertEqual([c.subject for c in token.chain][0], "Common Name: Authority")
        self.assertEqual(len(token.chain), 2)
        for level, cafile in (("the authority itself", authority[0]), ("the root above it", root[0])):
            with self.subTest(level):
                self.assertEqual(token.verify(certificates.anchors(cafile), level), "")
        self.assertIn("vouches for it", token.verify(certificates.anchors(issued("Root", ca=True)[0]), "another"))


def certificate(pem_bytes):
    return certificates.Certificate(pem.unarmor(pem_bytes)[2])


class InputsOfNoForm(unittest.TestCase):
    """What parses as no release holds it is Malformed, a refusal, never an error of another kind."""

    def test_a_certificate_valid_from_year_0(self):
        parsed = x509.Certificate.load(pem.unarmor(issued("Vendor")[0])[2])
        parsed["tbs_certificate"]["validity"]["not_before"] = x509.Time(
            name="general_time", value=util.extended_datetime(0, 1, 1, tzinfo=datetime.timezone.utc))
        with self.assertRaises(Malformed):
            certificates.Certificate(parsed.dump(force=True))

    def test_one_signature_value_in_another_form_means_the_same(self):
        data, key = b"signed attributes", ec.generate_private_key(ec.SECP256R1())
        n = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551  # P-256's order
        value = key.sign(data, ec.ECDSA(hashes.SHA256()))
        parsed = DSASignature.load(value)
        twin = DSASignature({"r": parsed["r"].native, "s": n - parsed["s"].native}).dump()
        key.public_key().verify(twin, data, ec.ECDSA(hashes.SHA256()))  # the other form verifies too
        self.assertNotEqual(twin, value)
        self.assertEqual(authenticode.meaning("sha256_ecdsa", twin), authenticode.meaning("sha256_ecdsa", value))
        self.assertNotEqual(authenticode.meaning("sha256_ecdsa", key.sign(data, ec.ECDSA(hashes.SHA256()))),
                            authenticode.meaning("sha256_ecdsa", value))
        signature = b"\0" * 3 + rsa.generate_private_key(65537, 2048).sign(data, padding.PKCS1v15(), hashes.SHA256())
        self.assertEqual(authenticode.meaning("sha256_rsa", signature), authenticode.meaning("sha256_rsa", signature[3:]))


class SignatureForm(unittest.TestCase):
    def test_an_ecdsa_value_is_read_in_its_low_form_alone_which_signing_writes(self):
        certificate_pem, key = issued("Vendor", purpose=Usage.CODE_SIGNING)
        key_pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption())
        n = policy.CURVE_ORDERS["secp256r1"]
        for _ in range(64):  # OpenSSL writes either form, as chance falls: until it writes the high one
            _, _, written = tool("openssl", "cms", "-sign", "-binary", "-md", "sha256", "-nosmimecap", "-in", b"sums\n",
                                 "-signer", certificate_pem, "-inkey", key_pem, "-outform", "DER", "-out", Out("p7s"))
            high = written["p7s"]
            if DSASignature.load(cms.ContentInfo.load(high)["content"]["signer_infos"][0]["signature"].native)["s"].native > n // 2:
                break
        low = signing.in_low_form(high)
        self.assertEqual(signing.in_low_form(low), low)
        for what, der, refused in (("high", high, "not in the low form"), ("low", low, "")):
            with self.subTest(what):
                signature = authenticode.Signed(der, "sums", "code signing").prove(b"sums\n")
                self.assertIsNotNone(signature.signer)  # it verifies, whichever form
                self.assertIn(refused, signature.refused)
                self.assertEqual(bool(signature.refused), bool(refused))

class Version(unittest.TestCase):
    @settings(max_examples=200, derandomize=True, deadline=None, database=None)
    @given(strategies.from_regex(policy.VERSION, fullmatch=True))
    def test_each_version_dist_may_make_names_files_verification_reads(self, version):
        name = policy.ZIP_NAME.format(version)
        self.assertEqual(releaseinfo.version("1.0.0", "0" * 40, "v" + version, False), version)
        self.assertEqual(manifest.read_sums(sums(f"{SHA}  {name}", f"{SHA}  {policy.EXE}", f"{SHA}  BUILDINFO"))[1], name)
        self.assertTrue(manifest.is_release([name]))

    def test_a_tag_git_takes_gives_a_release_or_none(self):
        for tag in ("v1.0.0", "v1.0.0-rc1", "v1.0.0_rc1", "v2.0+build.7"):
            self.assertTrue(policy.VERSION.fullmatch(releaseinfo.version("1.0.0", "0" * 40, tag, False)), tag)
        for tag in ("v1.0/beta", "v1.0#1", "v1.0\u00e9", "v1.0,1", "v.1"):
            with self.subTest(tag=tag), mock.patch.object(releaseinfo, "Source") as source, \
                    self.assertRaisesRegex(dist.ReleaseError, "is none a release may have"):
                source.return_value.untracked, source.return_value.version = [], tag[1:]
                dist.make_release("no such exe", "no such folder", None, None)
