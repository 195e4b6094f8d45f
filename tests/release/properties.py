"""properties.py EXE WORK [--examples N | --seconds S | --seed N]: generated attacks on release verification.

A genuine release is made from EXE as dist makes it: signed with an ECDSA key under an intermediate
CA and timestamped by an authority on 127.0.0.1. Hypothesis then mutates it, over every file and
structure: bytes flipped, inserted and cut; DER elements of the signature, its timestamp and
SHA256SUMS.p7s dropped, repeated, swapped, re-encoded, re-tagged or grafted from elsewhere; PE and
certificate table header fields; the
signature nested in itself, less its timestamp, its ECDSA value in its other form; the signer's own
value in its other form; a file dropped; zip header fields
and compression methods, a bomb among them; SHA256SUMS and BUILDINFO lines. Each case is judged by
the verifier in a child process of its own, bounded in memory and time:

- with SIGNER, TRUST and TSA given, beside its release or alone: refused (status 1);
- a nested signature, under SIGNER alone, the exe alone: refused;
- with no setting (SHA256SUMS made again, its signature gone, where a file but it changed): never
  "could not be made"; accepted only where an independent reader agrees (sha256sum -c; the zip's
  local headers hold this exe);
- always: every reason one line, within MEMORY_BYTES more than this harness and SECONDS of
  processor time.

The cases in tests/release/regressions/ (one JSON mutation each; "refused": true holds it to status 1
whatever its scenario) run first, every time. A failing
case is written to WORK/failure.json, to be kept there. --examples N (default 250) runs N cases from
a fixed seed, as make check does; --seconds S runs batches from fresh seeds for S seconds (make fuzz),
each seed printed; --seed N replays one such batch."""

import argparse
import bz2
import io
import json
import os
import pickle
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import zipfile
import zlib

import pefile
from asn1crypto import algos, core, parser
from hypothesis import HealthCheck, configuration, given, seed, settings, strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import releases  # noqa: E402

# The bounds on one case: memory growth, and processor time (its own and its programs'), which a
# machine shared with other work stretches less than wall time; WALL is the backstop. The costliest
# of 1565 cases took 0.21 s on a 2-core machine: the bound is ten times that and more.
MEMORY_BYTES, SECONDS, WALL = 256 << 20, 3, 60
BOMB_MIB = 512  # twice the bound
EXE = releases.EXE
NOTE = "README-support.txt"
NESTED, TIMESTAMP = "1.3.6.1.4.1.311.2.4.1", "1.3.6.1.4.1.311.3.3.1"
SIGNER_INFO = [1, 0, 4, 0]  # ContentInfo, [0], SignedData's signer infos, the one signer
ORDERS = {"p256": 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551,
          "p384": int("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973", 16)}
KEY = "p256"
REGRESSIONS = os.path.join(releases.HERE, "regressions")


# DER, walked by offset: an item is its bytes; its children those of its contents, for a
# constructed item, or for an OCTET STRING whose contents are DER items end to end.
def split(contents):
    items, pointer = [], 0
    try:
        while pointer < len(contents):
            start = pointer
            _, pointer = parser._parse(contents, len(contents), pointer)
            items.append(contents[start:pointer])
    except ValueError:
        return None
    return items


def head(item):
    (class_, method, tag, header, contents, _), _ = parser._parse(item, len(item), 0)
    return class_, method, tag, header, contents


def kids(item):
    class_, method, tag, _, contents = head(item)
    if method or (class_, tag) == (0, 4):
        found = split(contents)
        if found and (method or all(len(k) > 2 for k in found)):
            return found
    return None


def encode(class_, method, tag, contents):
    return parser._dump_header(class_, method, tag, contents) + contents


def paths(item, path=()):
    """Every element's path (child indexes from ITEM), ITEM's own first."""
    found = [list(path)]
    for index, kid in enumerate(kids(item) or []):
        found += paths(kid, path + (index,))
    return found


def at(item, path):
    for index in path:
        item = kids(item)[index]
    return item


def edit(item, path, change):
    """ITEM with the children of the element at PATH passed through CHANGE(list) -> list."""
    class_, method, tag, _, _ = head(item)
    children = kids(item)
    if path:
        children[path[0]] = edit(children[path[0]], path[1:], change)
    else:
        children = change(children)
    return encode(class_, method, tag, b"".join(children))


def reencoded(item, how, value):
    """ITEM in another encoding of the same or a nearby meaning, as HOW says."""
    class_, method, tag, header, contents = head(item)
    if how == "long-length":  # one more length byte than DER's shortest
        length = len(contents).to_bytes(max(1, (len(contents).bit_length() + 7) // 8) + 1, "big")
        return header[:1] + bytes([0x80 | len(length)]) + length + contents
    if how == "indefinite":  # BER's end-of-contents form; a primitive becomes one constructed chunk
        inner = contents if method else item
        return bytes([header[0] | 0x20, 0x80]) + inner + b"\0\0"
    if how == "retag":
        return encode(class_, method, tag ^ (value % 31 or 1), contents) if value % 2 else \
            encode((class_ + 1 + value % 3) % 4, method, tag, contents)
    if how == "flip":
        if not contents:
            return encode(class_, method, tag, bytes([value % 256]))
        where = value % len(contents)
        return header + contents[:where] + bytes([contents[where] ^ (value // 256 % 255 + 1)]) + contents[where + 1:]
    if how == "pad":  # a leading zero: an INTEGER no longer minimal, other contents one byte longer
        return encode(class_, method, tag, b"\0" + contents)
    raise ValueError(how)


def der_mutation(document, step, documents):
    """DOCUMENT (one DER item) with STEP applied: {op, path, value, donor}; a donor is DER in hex, or
    [document, path] of an element of DOCUMENTS."""
    path, op, value = step["path"], step["op"], step.get("value", 0)
    donor = step.get("donor")
    donor = bytes.fromhex(donor) if isinstance(donor, str) else at(documents[donor[0]], donor[1]) if donor else None
    parent, index = path[:-1], path[-1]

    def change(children):
        children = list(children)
        if op == "drop":
            del children[index]
        elif op == "repeat":
            children.insert(index, children[index])
        elif op == "swap":
            other = (index + 1 + value % max(1, len(children) - 1)) % len(children)
            children[index], children[other] = children[other], children[index]
        elif op == "replace":
            children[index] = donor
        elif op == "graft":
            children.insert((index + value) % (len(children) + 1), donor)
        elif op == "insert":  # among a SET's items in DER's order, where a signer would put it
            children = sorted(children + [donor])
        else:
            children[index] = reencoded(children[index], op, value)
        return children
    return edit(document, parent, change)


class Genuine:
    """The release every case mutates, and what the verifier is told of it."""

    def __init__(self, exe, work):
        self.work = work
        root = releases.Party("Props root CA", KEY, ca=True)
        intermediate = releases.Party("Props intermediate CA", KEY, root, ca=True)
        self.signer = releases.Party("FundTableRepair vendor", KEY, intermediate)
        p12, password = os.path.join(work, "signer.p12"), os.path.join(work, "password")
        self.signer.pkcs12(p12, [intermediate])
        releases.write(password, releases.PASSWORD + b"\n")
        source = releases.checkout(work)
        out = os.path.join(work, "genuine")
        with releases.Authority(os.path.join(work, "tsa"), chained=True) as authority:
            status, said = releases.dist(source, exe, out, (p12, password), authority)
        if status:
            raise SystemExit(f"properties: dist made no genuine release: {said.strip()[-500:]}")
        self.files = {name: releases.read(os.path.join(out, name)) for name in os.listdir(out)}
        self.zip = next(n for n in self.files if n.endswith(".zip"))
        self.built = releases.read(exe)
        self.pinned = {"signer": self.signer.fingerprint, "trust": root.pem, "tsa": authority.ca}
        image = self.files[EXE]
        self.table = table(image)
        offset = self.table[2]
        self.documents = {"signature": image[offset + 8:offset + 8 + len_of(image[offset + 8:])],
                          "p7s": self.files["SHA256SUMS.p7s"]}
        self.paths = {name: paths(der) for name, der in self.documents.items()}
        self.donors = [[n, p] for n in self.documents for p in self.paths[n] if p]
        self.copies = {(strip, malleate): variant(self.documents["signature"], strip, malleate)
                       for strip in (False, True) for malleate in (False, True)}
        self.copy_paths = {key: paths(copy) for key, copy in self.copies.items()}
        self.records = zip_records(self.files[self.zip])
        self.bombs = {}

    def bomb(self, method):
        """A stream of METHOD that inflates to BOMB_MIB of zeros."""
        if method not in self.bombs:
            self.bombs[method] = deflate_bomb() if method == zipfile.ZIP_DEFLATED else bzip2_bomb()
        return self.bombs[method]


def deflate_bomb():
    # After a full flush a compressor starts afresh: each MiB's blocks are the same bytes.
    maker = zlib.compressobj(9, zlib.DEFLATED, -15)
    maker.compress(bytes(1 << 20))
    first = maker.flush(zlib.Z_FULL_FLUSH)
    return first * BOMB_MIB + maker.flush()


def bzip2_bomb():
    # bzip2's blocks stand alone and need not end on a byte: one block of zeros, repeated bit by
    # bit, under the stream's combined CRC of their CRCs.
    one = bz2.compress(bytes(4_500_000), 9)
    bits, length, end = int.from_bytes(one, "big"), 8 * len(one), 0x177245385090
    block_end = next(length - 80 - pad for pad in range(8) if (bits >> (32 + pad)) & ((1 << 48) - 1) == end)
    block_bits = block_end - 32
    block = (bits >> (length - block_end)) & ((1 << block_bits) - 1)
    crc, combined, blocks = (block >> (block_bits - 80)) & 0xFFFFFFFF, 0, 0
    count = (BOMB_MIB << 20) // 4_500_000 + 1
    for _ in range(count):
        blocks = blocks << block_bits | block
        combined = ((combined << 1 | combined >> 31) & 0xFFFFFFFF) ^ crc
    total = 32 + count * block_bits + 80
    whole = (int.from_bytes(b"BZh9", "big") << (total - 32)) | (blocks << 80) | (end << 32) | combined
    return (whole << (-total % 8)).to_bytes((total + 7) // 8, "big")


def len_of(data):
    _, end = parser._parse(data, len(data), 0)
    return end


def table(image):
    headers = pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER
    entry = headers.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return entry.get_file_offset(), headers.get_field_absolute_offset("CheckSum"), entry.VirtualAddress, entry.Size


def rewrapped(image, signature, where):
    """IMAGE with SIGNATURE for its certificate table, sizes and PE checksum as a signer writes them."""
    entry, checksum, offset, _ = where
    padded = signature + bytes(-len(signature) % 8)
    image = bytearray(image[:offset] + struct.pack("<IHH", 8 + len(padded), 0x200, 2) + padded)
    struct.pack_into("<I", image, entry + 4, 8 + len(padded))
    struct.pack_into("<I", image, checksum, pefile.PE(data=bytes(image), fast_load=True).generate_checksum())
    return bytes(image)


def variant(signature, strip, malleate):
    """SIGNATURE (CMS, of one signer) less its timestamp (STRIP), its ECDSA value in the other of its
    two valid forms (MALLEATE): all else as it was."""
    def signer(children):
        children = list(children)
        if strip and head(children[-1])[:3] == (2, 1, 1):
            children.pop()
        if malleate:
            value = algos.DSASignature.load(head(children[5])[4])
            other = algos.DSASignature({"r": value["r"].native, "s": ORDERS[KEY] - value["s"].native}).dump()
            children[5] = encode(0, 0, 4, other)
        return children
    return edit(signature, SIGNER_INFO, signer)


def nested(signature, copy):
    """SIGNATURE with COPY among its unsigned attributes as a nested signature, in DER's order."""
    attribute = encode(0, 1, 16, core.ObjectIdentifier(NESTED).dump() + encode(0, 1, 17, copy))

    def signer(children):
        children = list(children)
        if head(children[-1])[:3] != (2, 1, 1):
            children.append(encode(2, 1, 1, b""))
        attributes = split(head(children[-1])[4]) + [attribute]
        children[-1] = encode(2, 1, 1, b"".join(sorted(attributes)))
        return children
    return edit(signature, SIGNER_INFO, signer)


ZIP_FIELDS = {  # (offset, width) of each field a zip's records have, by record
    "local": {"signature": (0, 4), "version": (4, 2), "flags": (6, 2), "method": (8, 2), "time": (10, 2),
              "date": (12, 2), "crc": (14, 4), "compressed": (18, 4), "size": (22, 4), "name length": (26, 2),
              "extra length": (28, 2)},
    "central": {"signature": (0, 4), "made by": (4, 2), "version": (6, 2), "flags": (8, 2), "method": (10, 2),
                "time": (12, 2), "date": (14, 2), "crc": (16, 4), "compressed": (20, 4), "size": (24, 4),
                "name length": (28, 2), "extra length": (30, 2), "comment length": (32, 2), "disk": (34, 2),
                "internal": (36, 2), "external": (38, 4), "offset": (42, 4)},
    "end": {"signature": (0, 4), "disk": (4, 2), "directory disk": (6, 2), "entries here": (8, 2),
            "entries": (10, 2), "directory size": (12, 4), "directory offset": (16, 4), "comment length": (20, 2)},
}


def zip_records(data):
    """[(record, its offset)] of the zip as dist writes it: local headers, central entries, the end."""
    found, archive = [], zipfile.ZipFile(io.BytesIO(data))
    found += [("local", e.header_offset) for e in archive.infolist()]
    found += [("central", m.start()) for m in re.finditer(rb"PK\x01\x02", data)]
    found.append(("end", data.rindex(b"PK\x05\x06")))
    return found


def stream(method, chunks):
    """CHUNKS compressed as a zip entry of METHOD holds them."""
    if method == zipfile.ZIP_STORED:
        return b"".join(chunks)
    maker = zipfile._get_compressor(method)  # zipfile's own, LZMA's header as a zip has it
    return b"".join(maker.compress(chunk) for chunk in chunks) + maker.flush()


def zip_made(entries):
    """A zip as dist lays one out, of ENTRIES [(name, method, stream, CRC, size)], each size and CRC
    as given: a bomb's are those of the exe it claims to be."""
    local, central = b"", b""
    for name, method, data, crc, size in entries:
        fields = struct.pack("<HHHHHIIIHH", 20, 0, method, 0, 0x21, crc, len(data), size, len(name.encode()), 0)
        central += b"PK\x01\x02" + struct.pack("<H", 20) + fields + struct.pack("<HHHII", 0, 0, 0, 0, len(local)) \
            + name.encode()
        local += b"PK\x03\x04" + fields + name.encode() + data
    return local + central + b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries), len(central),
                                                           len(local), 0)


LINES = ["", "\r", "BUILDINFO", "end-to-end proof: passed on every Windows there is", "version: 9.9.9",
         "  cmake 1.0", "toolchain (Debian packages):", "exe SHA-256 before signing: " + "0" * 64,
         "0" * 64 + "  FundTableRepair.exe", "0" * 64 + "  FundTableRepair-9.9.9.zip", "0" * 64 + " *BUILDINFO",
         "0" * 64 + "  fundtablerepair.EXE", "0" * 64 + "  ../BUILDINFO", "\u2028", "\x1b[2K"]
CHARS = ["\r", "\t", " ", "\u2028", "\u00e9", "A", "a", "0", "*", ":", "/", "\0", "\x1b"]


def lines_mutation(text, step):
    lines = text.split("\n")
    index, op = step["line"] % len(lines), step["op"]
    if op == "drop":
        del lines[index]
    elif op == "repeat":
        lines.insert(index, lines[index])
    elif op == "swap":
        lines[index], lines[index - 1] = lines[index - 1], lines[index]
    elif op == "insert":
        lines.insert(index, step["text"])
    elif op == "join" and index + 1 < len(lines):
        lines[index:index + 2] = [lines[index] + step["text"] + lines[index + 1]]
    else:
        line = lines[index]
        where = step["value"] % (len(line) + 1)
        lines[index] = line[:where] + step["text"] + line[where + 1:]
    return "\n".join(lines)


def mutated(genuine, mutation):
    """The release's files after MUTATION (a JSON-able dict), by name."""
    files, kind = dict(genuine.files), mutation["kind"]
    name = {"signature": EXE, "p7s": "SHA256SUMS.p7s", "zip": genuine.zip}.get(mutation.get("file"), mutation.get("file"))
    if kind == "bytes":  # at: from the start, or from the certificate table's (region "signature")
        data = files[name]
        at_ = (mutation["at"] + (genuine.table[2] if mutation.get("region") == "signature" else 0)) % (len(data) + 1)
        if mutation["op"] == "flip":
            at_ = min(at_, len(data) - 1)
            data = data[:at_] + bytes([data[at_] ^ mutation["value"]]) + data[at_ + 1:]
        elif mutation["op"] == "insert":
            data = data[:at_] + bytes.fromhex(mutation["data"]) + data[at_:]
        else:
            data = data[:at_] + data[at_ + mutation["length"]:]
        files[name] = data
    elif kind == "der":
        document = der_mutation(genuine.documents[mutation["file"]], mutation, genuine.documents)
        files[name] = rewrapped(files[EXE], document, genuine.table) if name == EXE else document
    elif kind == "nest":
        copy = genuine.copies[(mutation["strip"], mutation["malleate"])]
        if mutation.get("inner"):
            copy = der_mutation(copy, mutation["inner"], genuine.documents)
        files[EXE] = rewrapped(files[EXE], nested(genuine.documents["signature"], copy), genuine.table)
    elif kind == "form":  # the signer's own value in its other form, which verifies as well
        document = variant(genuine.documents[mutation["file"]], mutation["strip"], True)
        files[name] = rewrapped(files[EXE], document, genuine.table) if name == EXE else document
    elif kind == "drop":  # a file of the signed release gone: dist makes no such folder
        files.pop(name)
    elif kind == "header":
        entry, checksum, offset, _ = genuine.table
        where = {"checksum": checksum, "table offset": entry, "table size": entry + 4, "length": offset,
                 "revision": offset + 4, "type": offset + 6}[mutation["field"]]
        width = 2 if mutation["field"] in ("revision", "type") else 4
        data = bytearray(files[EXE])
        old_value = int.from_bytes(data[where:where + width], "little")
        data[where:where + width] = ((old_value + mutation["delta"]) % (1 << 8 * width)).to_bytes(width, "little")
        files[EXE] = bytes(data)
    elif kind == "zip-field":
        record, entry_offset = genuine.records[mutation["record"] % len(genuine.records)]
        offset, width = ZIP_FIELDS[record][mutation["field"]]
        data = bytearray(files[name])
        data[entry_offset + offset:entry_offset + offset + width] = (mutation["value"] % (1 << 8 * width)).to_bytes(width, "little")
        files[name] = bytes(data)
    elif kind == "zip-method":
        archive = zipfile.ZipFile(io.BytesIO(files[name]))
        exe, note, method = archive.read(EXE), archive.read(NOTE), mutation["method"]
        # A bomb's CRC is that of the exe's length of what it inflates to: a reader that stops there agrees.
        first = (genuine.bomb(method), zlib.crc32(bytes(len(exe)))) if mutation["bomb"] else (stream(method, [exe]), zlib.crc32(exe))
        files[name] = zip_made([(EXE, method, *first, len(exe)),
                                (NOTE, zipfile.ZIP_DEFLATED, stream(zipfile.ZIP_DEFLATED, [note]), zlib.crc32(note), len(note))])
    elif kind == "lines":
        files[name] = lines_mutation(files[name].decode("utf-8"), mutation).encode("utf-8")
    return files


def resummed(files):
    """FILES with SHA256SUMS made again over what they hold and its signature gone, as anyone can."""
    files = dict(files)
    files.pop("SHA256SUMS.p7s", None)
    listed = [n for n in files if n.endswith(".zip")] + [EXE, "BUILDINFO"]
    files["SHA256SUMS"] = "".join(f"{releases.sha256(files[n])}  {n}\n" for n in listed).encode()
    return files


def local_entries(data):
    """[(name, contents)] read from the zip's local headers in order, as a streaming reader does;
    None where they cannot be read so."""
    found, pointer = [], 0
    try:
        while data[pointer:pointer + 4] == b"PK\x03\x04":
            flags, method, _, _, _, size, _, names, extra = struct.unpack_from("<HHHHIIIHH", data, pointer + 6)
            if flags & 8 or method not in (0, 8):
                return None
            name = data[pointer + 30:pointer + 30 + names].decode("utf-8", "replace")
            start = pointer + 30 + names + extra
            raw = data[start:start + size]
            found.append((name, raw if method == 0 else zlib.decompressobj(-15).decompress(raw, 16 << 20)))
            pointer = start + size
    except (struct.error, zlib.error):
        return None
    return found


def case_folder(genuine, case, folder):
    """Writes CASE's folder; returns (the exe's path, the settings it is judged under, whether any
    file differs from the genuine one, the files)."""
    files = mutated(genuine, case["mutation"])
    scenario = case["scenario"]
    if scenario == "resummed" and case["mutation"].get("file") != "SHA256SUMS":
        files = resummed(files)
    elif scenario == "resummed":
        files.pop("SHA256SUMS.p7s", None)
    if scenario.startswith("alone"):
        files = {EXE: files[EXE]}
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in files.items():
        releases.write(os.path.join(folder, name), data)
    pinned = scenario in ("release", "alone")
    given_ = genuine.pinned if pinned else {"signer": genuine.pinned["signer"]} if scenario == "alone-signer" else {}
    changed = any(genuine.files.get(n) != d for n, d in files.items())
    return os.path.join(folder, EXE), given_, changed, files


def judged(genuine, case, folder, verify):
    """Why CASE breaks a promise, or ''; and (seconds, bytes grown) it took."""
    exe, given_, changed, files = case_folder(genuine, case, folder)
    outcome, seconds, grown = bounded(lambda: verify(exe, genuine.built, **given_))
    if isinstance(outcome, str):
        return outcome, seconds, grown
    status, reasons = outcome
    if grown > MEMORY_BYTES or any("MemoryError" in r for r in reasons):
        return f"took more than its {MEMORY_BYTES >> 20} MiB (grew {grown >> 20} MiB): {reasons}", seconds, grown
    if status == 2:
        return f"could not be made: {reasons}", seconds, grown
    if status == 1 and (not reasons or any("\n" in r or not r.strip() for r in reasons)):
        return f"refused without one line for each reason: {reasons!r}", seconds, grown
    if status != 1 and case.get("refused"):
        return "not refused, where the case says it must be", seconds, grown
    if status == 0 and changed and case["scenario"] in ("release", "alone", "alone-signer"):
        return "accepted, its bytes differing from the genuine release's", seconds, grown
    if status == 0 and case["scenario"] == "resummed":
        entries = local_entries(files[genuine.zip])
        if not entries or [n for n, _ in entries] != [EXE, NOTE] or entries[0][1] != files[EXE]:
            return "accepted a zip whose local headers do not hold this exe and the note", seconds, grown
        check = subprocess.run(["sha256sum", "-c", "--strict", "--quiet", "SHA256SUMS"], cwd=folder,
                               capture_output=True, timeout=30)
        if check.returncode:
            return "accepted a SHA256SUMS that sha256sum -c refuses", seconds, grown
    if status not in (0, 1):
        return f"status {status}", seconds, grown
    return "", seconds, grown


def resident():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS:"))


def address_space():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))


def bounded(work):
    """(WORK's result, or why it broke a bound; its processor seconds; bytes its resident memory
    grew), run in a child of its own process group, with WALL seconds and twice MEMORY_BYTES more
    address space than this process: what grows past MEMORY_BYTES is seen, and cannot take the machine's."""
    baseline, limit = resident(), address_space() + 2 * MEMORY_BYTES
    reader, writer = os.pipe()
    started = time.monotonic()
    pid = os.fork()
    if pid == 0:
        try:
            os.setpgid(0, 0)
            os.close(reader)
            devnull = os.open(os.devnull, os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            resource.setrlimit(resource.RLIMIT_CPU, (WALL, WALL))
            try:
                result = work()
            except MemoryError:
                result = f"ran out of twice its {MEMORY_BYTES >> 20} MiB"
            except BaseException as error:  # noqa: B902 - whatever it raised is the finding
                result = f"raised {type(error).__name__}: {str(error)[:300]}"
            data = pickle.dumps(result)
            with os.fdopen(writer, "wb") as out:
                out.write(data)
        finally:
            os._exit(0)
    os.close(writer)
    chunks, deadline, late = [], started + WALL, False
    with os.fdopen(reader, "rb") as incoming:
        while True:
            ready, _, _ = select.select([incoming], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                late = True
                break
            chunk = os.read(incoming.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    if late:
        os.killpg(pid, signal.SIGKILL)
    _, status, usage = os.wait4(pid, 0)
    seconds = usage.ru_utime + usage.ru_stime
    grown = max(0, (usage.ru_maxrss << 10) - baseline)
    try:  # whatever it started ends with it
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    if late:
        return f"took more than {WALL} s of wall time", seconds, grown
    if seconds > SECONDS:
        return f"took {seconds:.1f} s of processor time, more than {SECONDS} s", seconds, grown
    if not chunks:
        return f"ended without a verdict (status {status:#x})", seconds, grown
    return pickle.loads(b"".join(chunks)), seconds, grown


def strategy(genuine):
    """Cases: a mutation and the scenario it is judged in."""
    files = [EXE, "zip", "BUILDINFO", "SHA256SUMS", "SHA256SUMS.p7s"]
    exe_scenarios = st.sampled_from(["release", "alone", "alone-unset"])

    @st.composite
    def byte_case(draw):
        name = draw(st.sampled_from(files))
        data = genuine.files[genuine.zip if name == "zip" else name]
        mutation = {"kind": "bytes", "file": name, "op": draw(st.sampled_from(["flip", "insert", "cut"]))}
        if name == EXE and draw(st.booleans()):  # the signature, where a flip is not merely another build
            mutation.update(region="signature", at=draw(st.integers(0, len(data) - genuine.table[2])))
        else:  # the headers first
            mutation["at"] = draw(st.one_of(st.integers(0, 0x3FF), st.integers(0, len(data))))
        if mutation["op"] == "flip":
            mutation["value"] = draw(st.integers(1, 255))
        elif mutation["op"] == "insert":
            mutation["data"] = draw(st.binary(min_size=1, max_size=16)).hex()
        else:
            mutation["length"] = draw(st.integers(1, 64))
        return {"mutation": mutation, "scenario": draw(scenarios_for(name))}

    def scenarios_for(name):
        if name == EXE:
            return exe_scenarios
        if name == "SHA256SUMS.p7s":
            return st.sampled_from(["release", "unset"])
        return st.sampled_from(["release", "resummed"])

    def der_step(draw, document, found):
        step = {"path": draw(st.sampled_from(found[1:])),
                "op": draw(st.sampled_from(["drop", "repeat", "swap", "long-length", "indefinite", "retag", "flip",
                                            "pad", "replace", "graft", "insert"])),
                "value": draw(st.integers(0, 1 << 16))}
        if step["op"] in ("replace", "graft", "insert"):
            step["donor"] = draw(st.sampled_from(genuine.donors))
        return step

    @st.composite
    def der_case(draw):
        document = draw(st.sampled_from(["signature", "p7s"]))
        mutation = {"kind": "der", "file": document, **der_step(draw, document, genuine.paths[document])}
        return {"mutation": mutation, "scenario": draw(exe_scenarios if document == "signature" else scenarios_for("SHA256SUMS.p7s"))}

    @st.composite
    def nest_case(draw):
        key = (draw(st.booleans()), draw(st.booleans()))
        inner = der_step(draw, None, genuine.copy_paths[key]) if draw(st.booleans()) else None
        mutation = {"kind": "nest", "strip": key[0], "malleate": key[1], "inner": inner}
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["alone-signer", "release", "alone"]))}

    @st.composite
    def form_case(draw):
        document = draw(st.sampled_from(["signature", "p7s"]))
        mutation = {"kind": "form", "file": document, "strip": document == "signature" and draw(st.booleans())}
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["alone-signer", "release", "alone"])
                                                       if document == "signature" else st.just("release"))}

    @st.composite
    def drop_case(draw):
        mutation = {"kind": "drop", "file": draw(st.sampled_from(files[1:]))}
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["release", "unset"])), "refused": True}

    @st.composite
    def header_case(draw):
        mutation = {"kind": "header", "field": draw(st.sampled_from(["checksum", "table offset", "table size", "length",
                                                                       "revision", "type"])),
                    "delta": draw(st.one_of(st.sampled_from([1, -1, 8, -8]), st.integers(-(1 << 31), 1 << 31)))}
        return {"mutation": mutation, "scenario": draw(exe_scenarios)}

    @st.composite
    def zip_case(draw):
        record = draw(st.integers(0, len(genuine.records) - 1))
        fields = ZIP_FIELDS[genuine.records[record][0]]
        field = draw(st.sampled_from(sorted(fields)))
        width = fields[field][1]
        value = draw(st.one_of(st.sampled_from([0, 1, 8, 9, 12, 14, 93, 95, 98, 99, 0x0800, 0xFFFF, 0xFFFFFFFF]),
                               st.integers(0, (1 << 8 * width) - 1)))
        mutation = {"kind": "zip-field", "file": "zip", "record": record, "field": field, "value": value}
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["release", "resummed"]))}

    @st.composite
    def method_case(draw):
        mutation = {"kind": "zip-method", "file": "zip", "method": draw(st.sampled_from([0, 8, 12, 14])),
                    "bomb": False}
        mutation["bomb"] = mutation["method"] in (8, 12) and draw(st.booleans())
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["resummed", "release"]))}

    @st.composite
    def lines_case(draw):
        name = draw(st.sampled_from(["SHA256SUMS", "BUILDINFO"]))
        mutation = {"kind": "lines", "file": name, "op": draw(st.sampled_from(["drop", "repeat", "swap", "insert", "edit", "join"])),
                    "line": draw(st.integers(0, 20)), "value": draw(st.integers(0, 100)),
                    "text": draw(st.one_of(st.sampled_from(LINES + CHARS), st.text(max_size=8)))}
        return {"mutation": mutation, "scenario": draw(st.sampled_from(["resummed", "release"]))}

    return st.one_of(byte_case(), der_case(), nest_case(), form_case(), drop_case(), header_case(), zip_case(), method_case(), lines_case())


class Run:
    def __init__(self, genuine, verify, folder, failure):
        self.genuine, self.verify, self.folder, self.failure = genuine, verify, folder, failure
        self.cases, self.slowest, self.longest, self.largest, self.started = 0, 0.0, 0.0, 0, time.monotonic()

    def check(self, case):
        started = time.monotonic()
        why, seconds, grown = judged(self.genuine, case, self.folder, self.verify)
        self.cases, self.longest = self.cases + 1, max(self.longest, time.monotonic() - started)
        self.slowest, self.largest = max(self.slowest, seconds), max(self.largest, grown)
        if why:
            with open(self.failure, "w") as f:
                json.dump({"what": why, **case}, f, indent=1)
                f.write("\n")
        assert not why, f"{why}\n  case: {json.dumps(case)}"


def main():
    arguments = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    arguments.add_argument("exe")
    arguments.add_argument("work")
    arguments.add_argument("--examples", type=int, default=250)
    arguments.add_argument("--seconds", type=float, default=0)
    arguments.add_argument("--seed", type=int, help="replay the 25 cases a --seconds run printed for this seed")
    args = arguments.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    configuration.set_hypothesis_home_dir(os.path.join(work, ".hypothesis"))  # its caches stay here
    genuine = Genuine(os.path.abspath(args.exe), work)
    run = Run(genuine, releases.verifier(), os.path.join(work, "case", "release"), os.path.join(work, "failure.json"))
    failed = []
    for name in sorted(os.listdir(REGRESSIONS)):
        with open(os.path.join(REGRESSIONS, name)) as f:
            kept = json.load(f)
        try:
            run.check({key: kept[key] for key in ("mutation", "scenario", "refused") if key in kept})
            print(f"PASS regression {name}: {kept['what']}")
        except AssertionError as error:
            failed.append(name)
            print(f"FAIL regression {name}: {kept['what']}\n     {str(error).splitlines()[0]}")
    regressions = run.cases
    common = dict(deadline=None, database=None, print_blob=False, suppress_health_check=list(HealthCheck))

    def generated(examples, at_seed=None):
        test = given(strategy(genuine))(run.check)
        if at_seed is None:
            test = settings(max_examples=examples, derandomize=True, **common)(test)
        else:
            test = seed(at_seed)(settings(max_examples=examples, **common)(test))
        test()

    try:
        if args.seed is not None:
            generated(25, args.seed)
        elif args.seconds:
            while time.monotonic() - run.started < args.seconds:
                at_seed = int.from_bytes(os.urandom(4), "big")
                print(f"seed {at_seed}: 25 cases", flush=True)
                generated(25, at_seed)
        else:
            generated(args.examples)
    except AssertionError as error:
        print(f"FAIL generated: {error}\n     kept in {run.failure}: copy it to {REGRESSIONS}/ to replay it every run")
        failed.append("generated")
    took = time.monotonic() - run.started
    print(f"{run.cases - regressions} generated and {regressions} kept cases in {took:.0f} s; the costliest took "
          f"{run.slowest:.2f} s of processor time (bound {SECONDS} s), memory grew at most {run.largest >> 20} MiB "
          f"(bound {MEMORY_BYTES >> 20} MiB); the longest case {run.longest:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
