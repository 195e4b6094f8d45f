"""The release folder's readers and the DER check against what dist writes and what it never does.
Run under Debian's python3, whose asn1crypto and pefile the verifier uses."""

import io
import os
import tempfile
import unittest
import zipfile

from fundrelease import certificates, manifest, policy, releaseinfo
from asn1crypto import core, pem

from fundrelease.certificates import Malformed, read_once, strict

SHA = "ab" * 32


def sums(*lines, end=b"\n"):
    return end.join(line.encode() for line in lines) + end


def buildinfo(extra=(), drop=()):
    lines = [policy.BUILDINFO_TITLE, "version: 1.0.0", "commit: 0123", f"exe SHA-256 before signing: {SHA}",
             "toolchain root: Debian GNU/Linux 12 (bookworm), 12.15, the project's own root",
             "toolchain (Debian packages):"] + [f"  {p} 1.0" for p in releaseinfo.TOOLCHAIN_PACKAGES] + \
        ["end-to-end proof: not run"] + list(extra)
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
        for data in (sums(*good, end="\u2028".encode()), sums(*good, end=b"\r\n"), sums(*good)[:-1],
                     sums(*good, f"{SHA}  BUILDINFO"), sums(*good[1:]), sums(*good, f"{SHA}  ../x"),
                     sums(*good, f"{SHA}  FundTableRepair-2.0.zip")):
            with self.subTest(data=data), self.assertRaises(Malformed):
                manifest.read_sums(data)


class Buildinfo(unittest.TestCase):
    def test_what_dist_writes_is_read(self):
        fields, packages = manifest.read_buildinfo(buildinfo())
        self.assertEqual((fields["exe SHA-256 before signing"], set(packages)), (SHA, set(releaseinfo.TOOLCHAIN_PACKAGES)))

    def test_a_key_twice_a_missing_toolchain_or_an_unknown_line_is_refused(self):
        for data in (buildinfo(extra=["version: 9.9.9"]), buildinfo(drop=["  "]), buildinfo(drop=["  cmake"]),
                     buildinfo(extra=["  cmake 2.0"]), buildinfo(extra=["note: hello"]), buildinfo()[:-1],
                     b"\xff" + buildinfo()):
            with self.subTest(data=data[-40:]), self.assertRaises(Malformed):
                manifest.read_buildinfo(data)


class Zip(unittest.TestCase):
    def test_only_the_exe_and_its_note_end_to_end(self):
        self.assertEqual(manifest.zip_exe(archive(*policy.ZIP_ENTRIES)), b"exe")
        for data in (archive(policy.EXE), archive(*policy.ZIP_ENTRIES, "fundtablerepair.EXE"),
                     archive(*reversed(policy.ZIP_ENTRIES)), archive(*policy.ZIP_ENTRIES, prefix=archive(policy.EXE)),
                     archive(*policy.ZIP_ENTRIES) + b"x", b"PK\x05\x06", bomb()):
            with self.subTest(data=data[:8]):
                self.assertTrue(manifest.zip_exe(data) is None, "the zip was taken as a release's")


class Der(unittest.TestCase):
    def test_only_the_shortest_definite_forms(self):
        self.assertEqual(strict(core.Any, bytes.fromhex("3006020101060100"), "it").dump(), bytes.fromhex("3006020101060100"))
        self.assertTrue(certificates.canonical(bytes.fromhex("3106020101020102")))
        for hex_ in ("30810602010106010 0", "3080020101060100 0000", "300602020001060100", "3006020101060181",
                     "24030401 00", "0101 01", "3006020101060180", "3006020101", "3106020102020101"):
            with self.subTest(der=hex_), self.assertRaises(Malformed):
                strict(core.Any, bytes.fromhex(hex_.replace(" ", "")), "it")


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
        self.assertTrue(certificates.canonical(sequence(policy.MAX_DEPTH)))
        self.assertFalse(certificates.canonical(sequence(policy.MAX_DEPTH + 2)))
        self.assertFalse(certificates.canonical(sequence(3000)))  # deep enough to exhaust Python's recursion

    def test_a_folder_of_many_zips_is_refused_before_any_is_read(self):
        with tempfile.TemporaryDirectory() as folder:
            names = [f"FundTableRepair-x{i}.zip" for i in range(3)]
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


if __name__ == "__main__":
    unittest.main()


def issued(subject, issuer=None, ca=False, purpose=None):
    """(a certificate's PEM, its key): ISSUER's (PEM, key), or self-signed."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    import datetime
    key, now = ec.generate_private_key(ec.SECP256R1()), datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    issuer_name, issuer_key = (x509.load_pem_x509_certificate(issuer[0]).subject, issuer[1]) if issuer else (name, key)
    builder = x509.CertificateBuilder().subject_name(name).issuer_name(issuer_name).public_key(key.public_key()) \
        .serial_number(x509.random_serial_number()).not_valid_before(now).not_valid_after(now + datetime.timedelta(days=1)) \
        .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True) \
        .add_extension(x509.KeyUsage(not ca, False, False, False, False, ca, False, False, False), critical=True)
    if purpose:
        builder = builder.add_extension(x509.ExtendedKeyUsage([purpose]), critical=False)
    return builder.sign(issuer_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM), key


class Vouching(unittest.TestCase):
    def test_a_ca_in_cafile_is_held_to_the_purpose_as_one_carried(self):
        from cryptography.x509.oid import ExtendedKeyUsageOID as Usage
        root = issued("Root", ca=True)
        mail, stamps = issued("Mail CA", root, ca=True, purpose=Usage.EMAIL_PROTECTION), issued("Stamp CA", root, ca=True)
        for ca, why in ((mail, "Common Name: Mail CA is not for time stamping"), (stamps, "")):
            leaf = certificates.Certificate(pem.unarmor(issued("Authority", ca, purpose=Usage.TIME_STAMPING)[0])[2])
            with self.subTest(ca=why or "fit"):
                fit, said = certificates.vouching([leaf], root[0] + mail[0] + stamps[0], "time stamping")
                self.assertEqual((said, bool(fit)), (why, not why))
