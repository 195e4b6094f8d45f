"""forge.py: what the release test needs of Python, by command.

    forge.py zip-holds ZIP EXE      exit 0 where ZIP's FundTableRepair.exe is EXE, byte for byte
    forge.py zip-with ZIP EXE       replaces ZIP by one holding EXE as FundTableRepair.exe
    forge.py hide SIGNED OUT        OUT: SIGNED with 40 bytes hidden inside its signature's own
                                    entry, that entry's length and the header's table size grown
                                    to match (the padding Windows' optional check looks for)
    forge.py carry SIGNED OUT CERT  OUT: SIGNED with CERT (PEM) added to its signature's certificates
    forge.py header SIGNED OUT      OUT: SIGNED with the unsigned file's PE checksum
    forge.py digests SIGNED OUT HEX OUT: SIGNED with its list of digest algorithms holding the DER in HEX
    forge.py zip-entries ZIP NAME=FILE...
                                    ZIP: a zip holding each FILE as NAME, in that order
    forge.py audit LOG ARGS...      runs verify-release with ARGS, writing each file it opens to LOG
    forge.py silent-authority       listens on 127.0.0.1, prints the port, answers nothing, and
                                    ends by itself after 200 s"""

import base64
import socket
import struct
import sys
import time
import zipfile

from asn1crypto import parser

from fundrelease import authenticode

EXE = "FundTableRepair.exe"


def hide(signed, out):
    with open(signed, "rb") as f:
        image = bytearray(f.read())
    entry, _, offset, size = authenticode.table(bytes(image))
    struct.pack_into("<I", image, entry + 4, size + 40)
    struct.pack_into("<I", image, offset, struct.unpack_from("<I", image, offset)[0] + 40)
    with open(out, "wb") as f:
        f.write(image + b"hidden!!" * 5)


# The path, by index, down the DER to the signature's certificates.
CERTIFICATES = [1, 0, 3]


def items(data):
    found = []
    while data:
        found.append(parser.parse(data))
        data = data[len(found[-1][3]) + len(found[-1][4]):]
    return found


def encode(item, content):
    return parser._dump_header(*item[:3], content) + content


def edit(data, path, change):
    """DATA, one DER item, with the item at PATH's content passed through CHANGE, lengths made anew."""
    item = parser.parse(data)
    if not path:
        return encode(item, change(item[4]))
    children = [i[3] + i[4] for i in items(item[4])]
    children[path[0]] = edit(children[path[0]], path[1:], change)
    return encode(item, b"".join(children))


def primary(image):
    _, _, offset, size = authenticode.table(image)
    first = parser.parse(image[offset + 8:offset + size], strict=False)
    return first[3] + first[4]


def resign(signed, out, path, change, length=None):
    """OUT: SIGNED with its signature edited, the table and checksum made to fit, as a signer would."""
    with open(signed, "rb") as f:
        image = f.read()
    entry, checksum, offset, size = authenticode.table(image)
    signature = edit(primary(image), path, change)
    table = signature + bytes(-len(signature) % 8)
    image = bytearray(image[:offset] + struct.pack("<IHH", length or 8 + len(table), 0x200, 2) + table)
    struct.pack_into("<I", image, entry + 4, 8 + len(table))
    image[checksum:checksum + 4] = authenticode.checksum(bytes(image))
    with open(out, "wb") as f:
        f.write(image)


def main(command, *args):
    if command == "zip-holds":
        with open(args[1], "rb") as f:
            return 0 if zipfile.ZipFile(args[0]).read(EXE) == f.read() else 1
    if command == "zip-with":
        with open(args[1], "rb") as f, zipfile.ZipFile(args[0], "w") as archive:
            archive.writestr(EXE, f.read())
        return 0
    if command == "hide":
        hide(*args)
        return 0
    if command == "carry":
        with open(args[2]) as f:
            cert = base64.b64decode("".join(f.read().split("-----")[2].split()))
        resign(*args[:2], CERTIFICATES, lambda content: content + cert)
        return 0
    if command == "header":
        resign(*args[:2], [], lambda content: content)
        with open(args[1], "r+b") as f:
            image = f.read()
            entry, field, offset, _ = authenticode.table(image)
            f.seek(field)
            f.write(authenticode.checksum(image[:entry] + bytes(8) + image[entry + 8:offset]))
        return 0
    if command == "digests":
        resign(*args[:2], [1, 0, 1], lambda content: bytes.fromhex(args[2]))
        return 0
    if command == "zip-entries":
        with zipfile.ZipFile(args[0], "w") as archive:
            for entry in args[1:]:
                name, path = entry.split("=", 1)
                with open(path, "rb") as f:
                    archive.writestr(name, f.read())
        return 0
    if command == "audit":
        import runpy
        with open(args[0], "w") as log:
            sys.addaudithook(lambda event, what: print(what[0], file=log, flush=True)
                             if event == "open" and isinstance(what[0], str) else None)
            sys.argv = ["verify-release", *args[1:]]
            try:
                runpy.run_module("fundrelease.verifyrelease", run_name="__main__")
            except SystemExit as status:
                return status.code
    if command == "silent-authority":
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        print(listener.getsockname()[1], flush=True)
        time.sleep(200)
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
