"""Genuine releases for the generated attacks and the matrix: keys and chains made here (none is ever
committed), a PKCS#12 file for dist, a timestamp authority on 127.0.0.1, dist run from a copy of the
checkout as make dist runs it, and the verifier's verdict on a file."""

import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import time

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(TOP, "tools", "python")]
EXE = "FundTableRepair.exe"
PASSWORD = b"throwaway test password"
KEYS = {"rsa2048": lambda: rsa.generate_private_key(65537, 2048), "rsa3072": lambda: rsa.generate_private_key(65537, 3072),
        "rsa4096": lambda: rsa.generate_private_key(65537, 4096), "p256": lambda: ec.generate_private_key(ec.SECP256R1()),
        "p384": lambda: ec.generate_private_key(ec.SECP384R1())}


class Party:
    """A key and its certificate, issued by ISSUER (a Party) or by itself."""

    def __init__(self, name, kind="p256", issuer=None, ca=False, purpose=ExtendedKeyUsageOID.CODE_SIGNING, digest="sha256"):
        self.key = KEYS[kind]()
        now = datetime.datetime.now(datetime.timezone.utc)
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
        signer = issuer or self
        builder = x509.CertificateBuilder().subject_name(subject).public_key(self.key.public_key()) \
            .issuer_name(issuer.cert.subject if issuer else subject).serial_number(x509.random_serial_number()) \
            .not_valid_before(now - datetime.timedelta(hours=1)).not_valid_after(now + datetime.timedelta(days=2)) \
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True) \
            .add_extension(x509.KeyUsage(digital_signature=not ca, key_cert_sign=ca, crl_sign=False,
                                         content_commitment=False, key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, encipher_only=False, decipher_only=False), critical=True)
        if not ca and purpose:
            builder = builder.add_extension(x509.ExtendedKeyUsage([purpose]), critical=False)
        self.cert = builder.sign(signer.key, {"sha256": hashes.SHA256(), "sha1": hashes.SHA1()}[digest])
        self.issuer = issuer
        self.pem = self.cert.public_bytes(serialization.Encoding.PEM)
        self.fingerprint = self.cert.fingerprint(hashes.SHA256()).hex()

    def chain(self):
        """Its certificate and every issuer's above it, as SIGN_CERT takes them."""
        return [self] + (self.issuer.chain() if self.issuer else [])

    def pkcs12(self, path, carried):
        """PATH: its key and certificate, with CARRIED's certificates, as dist's SIGN_PKCS12 takes them."""
        with open(path, "wb") as f:
            f.write(pkcs12.serialize_key_and_certificates(b"signer", self.key, self.cert, [c.cert for c in carried],
                                                          serialization.BestAvailableEncryption(PASSWORD)))


class Authority:
    """tests/release/timestamp-authority in DIR for as long as the with block lasts; with CHAINED its
    certificate is issued by a CA of its own (DIR/ca.pem)."""

    def __init__(self, directory, chained=False):
        self.directory, self.chained = directory, chained

    def __enter__(self):
        shutil.rmtree(self.directory, ignore_errors=True)  # an earlier run's port is no answer
        self.process = subprocess.Popen([os.path.join(HERE, "timestamp-authority"), self.directory, "900",
                                         *(["chained"] if self.chained else [])],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port = os.path.join(self.directory, "port")
        for _ in range(300):
            if os.path.exists(port) or self.process.poll() is not None:
                break
            time.sleep(0.1)
        with open(port) as f:
            self.url = f"http://127.0.0.1:{f.read().strip()}/"
        self.pem = read(os.path.join(self.directory, "tsa.pem"))
        self.ca = read(os.path.join(self.directory, "ca.pem")) if self.chained else self.pem
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run(*command, cwd=None, timeout=600):
    result = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
    return result.returncode, result.stdout + result.stderr


def checkout(work):
    """A clone of this checkout with every file git does not ignore added to it, as release-signing
    makes: a developer's new files are uncommitted changes there, never untracked ones dist refuses."""
    source = os.path.join(work, "src")
    shutil.rmtree(source, ignore_errors=True)
    run("git", "clone", "-q", TOP, source)
    listed = subprocess.run(["git", "-C", TOP, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, (n.decode() for n in listed)):
        if os.path.isfile(os.path.join(TOP, name)) and not os.path.islink(os.path.join(TOP, name)):
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            shutil.copy2(os.path.join(TOP, name), os.path.join(source, name))
    run("git", "-C", source, "add", "-A")
    # Unchanged files only touched by the copy are no change: what git add staged is the tree's state.
    git(source, "-c", "user.name=test", "-c", "user.email=test@invalid", "commit", "-q", "--allow-empty", "-m", "test")
    return source


def git(source, *args):
    status, said = run("git", "-C", source, *args)
    if status:
        raise RuntimeError(f"git {' '.join(args)}: {said.strip()}")
    return said.strip()


def dist(source, exe, out, signer=None, authority=None, proof=None, prove=None):
    """(status, what it said) of SOURCE's tools/release/dist making OUT from EXE."""
    command = [os.path.join(source, "tools", "release", "dist"), exe, out]
    if signer:
        command += ["--sign-pkcs12", signer[0], "--sign-password-file", signer[1]]
    if authority:
        command += ["--sign-timestamp-url", authority.url]
    command += ["--proof", proof] if proof else ["--prove", prove] if prove else []
    return run(*command, timeout=1500)


def verifier():
    """verify(exe, built, signer, trust, tsa) -> (status, reasons): the verdict, from the release
    package's own API, in this process."""
    from fundrelease.verification import Settings, verify

    def verdict(exe, built, signer=None, trust=None, tsa=None):
        found = verify(exe, built=built, settings=Settings(signer=signer, trust=trust, tsa=tsa), buildinfo=None)
        return found.status, list(found.reasons)
    return verdict
