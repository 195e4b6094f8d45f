"""forge.py: what the release test needs of Python, by command.

    forge.py zip-holds ZIP EXE      exit 0 where ZIP's FundTableRepair.exe is EXE, byte for byte
    forge.py zip-with ZIP EXE       replaces ZIP by one holding EXE as FundTableRepair.exe
    forge.py hide SIGNED OUT        OUT: SIGNED with 40 bytes hidden inside its signature's own
                                    entry, that entry's length and the header's table size grown
                                    to match (the padding Windows' optional check looks for)
    forge.py carry SIGNED OUT CERT WHERE
                                    OUT: SIGNED with CERT (PEM) added to the certificates of its
                                    signature (WHERE: signature) or of its timestamp (timestamp)
    forge.py attribute SIGNED OUT HEX
                                    OUT: SIGNED with the DER in HEX added to its unsigned attributes
    forge.py header SIGNED OUT FIELD
                                    OUT: SIGNED with its PE checksum 0xdeadbeef (FIELD: checksum),
                                    or its signature's length without the padding (length)
    forge.py silent-authority       listens on 127.0.0.1, prints the port, answers nothing, and
                                    ends by itself after 200 s"""

import base64
import socket
import struct
import sys
import time
import zipfile

from fundtable import der
from fundtable import pe

EXE = "FundTableRepair.exe"


def hide(signed, out):
    with open(signed, "rb") as f:
        image = bytearray(f.read())
    entry = pe.Headers(bytes(image)).directories + 8 * pe.CERTIFICATE
    offset, size = struct.unpack_from("<II", image, entry)
    struct.pack_into("<I", image, entry + 4, size + 40)
    struct.pack_into("<I", image, offset, struct.unpack_from("<I", image, offset)[0] + 40)
    with open(out, "wb") as f:
        f.write(image + b"hidden!!" * 5)


# Paths, by index, down the DER: to the signature's certificates, its unsigned attributes, and the
# certificates of the timestamp that is their first.
CERTIFICATES, UNSIGNED = [1, 0, 3], [1, 0, 4, 0, -1]
TIMESTAMP_CERTIFICATES = UNSIGNED + [0, 1, 0] + CERTIFICATES


def edit(data, path, change):
    """DATA, one DER item, with the item at PATH's content passed through CHANGE, lengths made anew."""
    tag, _, start, end = der.item(data, 0, len(data))
    if not path:
        return der.encode(tag, change(data[start:end]))
    children = [data[i[1]:i[3]] for i in der.items(data, start, end)]
    children[path[0]] = edit(children[path[0]], path[1:], change)
    return der.encode(tag, b"".join(children))


def resign(signed, out, path, change, length=None):
    """OUT: SIGNED with its signature edited, the table and checksum made to fit, as a signer would."""
    with open(signed, "rb") as f:
        image = f.read()
    headers = pe.Headers(image)
    offset, size = headers.directory(pe.CERTIFICATE)
    block = image[offset + 8:offset + size]
    signature = edit(block[:der.item(block, 0, len(block))[3]], path, change)
    table = signature + bytes(-len(signature) % 8)
    image = bytearray(image[:offset] + struct.pack("<IHH", length or 8 + len(table), 0x200, 2) + table)
    struct.pack_into("<I", image, headers.directories + 8 * pe.CERTIFICATE + 4, 8 + len(table))
    image[headers.checksum_offset:headers.checksum_offset + 4] = pe.checksum(bytes(image))
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
        resign(*args[:2], CERTIFICATES if args[3] == "signature" else TIMESTAMP_CERTIFICATES,
               lambda content: content + cert)
        return 0
    if command == "attribute":
        resign(*args[:2], UNSIGNED, lambda content: content + bytes.fromhex(args[2]))
        return 0
    if command == "header":
        if args[2] == "checksum":
            resign(*args[:2], [], lambda content: content)
            with open(args[1], "r+b") as f:
                f.seek(pe.Headers.of_file(args[1]).checksum_offset)
                f.write(struct.pack("<I", 0xDEADBEEF))
        else:
            with open(args[0], "rb") as f:
                image = f.read()
            offset, size = pe.Headers(image).directory(pe.CERTIFICATE)
            length = der.item(image, offset + 8, len(image))[3] - offset
            if length == size:
                print(f"{args[0]}: its signature needs no padding, so its length cannot shrink", file=sys.stderr)
                return 1
            resign(*args[:2], [], lambda content: content, length=length)
        return 0
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
