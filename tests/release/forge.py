"""forge.py: what the release test needs of Python, by command.

    forge.py zip-holds ZIP EXE      exit 0 where ZIP's FundTableRepair.exe is EXE, byte for byte
    forge.py zip-with ZIP EXE       replaces ZIP by one holding EXE as FundTableRepair.exe
    forge.py hide SIGNED OUT        OUT: SIGNED with 40 bytes hidden inside its signature's own
                                    entry, that entry's length and the header's table size grown
                                    to match (the padding Windows' optional check looks for)
    forge.py silent-authority       listens on 127.0.0.1, prints the port, answers nothing, and
                                    ends by itself after 200 s"""

import socket
import struct
import sys
import time
import zipfile

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
