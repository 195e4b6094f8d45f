"""The PE header fields this project reads, for PE32 (32-bit) and PE32+ (64-bit) images: the one
reader the end-to-end cases, the release tools and the demo share.

    pe.py bits EXE     prints 32 or 64; exit 1 when EXE is no Windows program

Offsets are as Microsoft documents the PE/COFF format. PE32+ widens the image base to 8 bytes
and drops BaseOfData before it, so the fields after it stay where they are; the data directories
move by the four wider stack and heap sizes."""

import struct
import sys

I386, AMD64 = 0x14C, 0x8664
PE32, PE32_PLUS = 0x10B, 0x20B
EXPORT, IMPORT, RESOURCE, EXCEPTION, CERTIFICATE = range(5)


class NotAnImage(Exception):
    pass


class Headers:
    def __init__(self, image):
        try:
            if image[:2] != b"MZ":
                raise NotAnImage("no MZ header")
            self.pe = struct.unpack_from("<I", image, 0x3C)[0]
            if image[self.pe:self.pe + 4] != b"PE\0\0":
                raise NotAnImage("no PE signature")
            self.machine, self.section_count, self.timestamp = struct.unpack_from("<HHI", image, self.pe + 4)
            self.optional_size = struct.unpack_from("<H", image, self.pe + 20)[0]
            self.optional = self.pe + 24
            self.magic = struct.unpack_from("<H", image, self.optional)[0]
            if self.magic not in (PE32, PE32_PLUS):
                raise NotAnImage(f"optional header magic {self.magic:#x}")
            wide = self.magic == PE32_PLUS
            self.bits = 64 if wide else 32
            self.image_base = struct.unpack_from("<Q" if wide else "<I", image, self.optional + (24 if wide else 28))[0]
            self.os_version = struct.unpack_from("<HH", image, self.optional + 40)
            self.subsystem_version = struct.unpack_from("<HH", image, self.optional + 48)
            self.size_of_image = struct.unpack_from("<I", image, self.optional + 56)[0]
            self.checksum_offset = self.optional + 64
            self.subsystem = struct.unpack_from("<H", image, self.optional + 68)[0]
            self.directories = self.optional + (112 if wide else 96)
            self.sections = []  # (name, virtual address, virtual size, raw offset, raw size)
            for index in range(self.section_count):
                header = self.optional + self.optional_size + 40 * index
                name = image[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
                virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", image, header + 8)
                self.sections.append((name, virtual_address, virtual_size, raw_offset, raw_size))
            self.image = image
            self.directory(CERTIFICATE)
        except struct.error:
            raise NotAnImage("truncated headers") from None

    @classmethod
    def of_file(cls, path, size=None):
        with open(path, "rb") as f:
            return cls(f.read(size) if size else f.read())

    def directory(self, index):
        """(address, size) of a data directory; for the certificate table the address is a file offset."""
        return struct.unpack_from("<II", self.image, self.directories + 8 * index)

    def offset(self, rva):
        for _, virtual_address, virtual_size, raw_offset, _ in self.sections:
            if virtual_address <= rva < virtual_address + virtual_size:
                return raw_offset + rva - virtual_address
        raise NotAnImage(f"RVA {rva:#x} lies in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.image[start:self.image.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll (lower case): [function names, or #ordinal]} as the import directory lists them."""
        found = {}
        address, _ = self.directory(IMPORT)
        descriptor = self.offset(address)
        thunk_format, ordinal_flag = ("<Q", 1 << 63) if self.bits == 64 else ("<I", 1 << 31)
        thunk_size = self.bits // 8
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from("<IIIII", self.image, descriptor)
            if name == 0:
                return found
            functions = found.setdefault(self.string(name).lower(), [])
            entry = self.offset(lookup or first_thunk)
            while True:
                thunk = struct.unpack_from(thunk_format, self.image, entry)[0]
                if thunk == 0:
                    break
                # A hint-name entry: a 2-byte hint, then the name.
                functions.append(f"#{thunk & 0xFFFF}" if thunk & ordinal_flag else self.string((thunk & 0x7FFFFFFF) + 2))
                entry += thunk_size
            descriptor += 20

    def regions(self):
        """(start, end, name) of the headers and each section's raw data in the file."""
        found = [(raw_offset, raw_offset + raw_size, f"section {name}")
                 for name, _, _, raw_offset, raw_size in self.sections]
        first = min((start for start, _, _ in found if start), default=len(self.image))
        return [(0, first, "the headers")] + found


def describe_difference(built, candidate):
    """Where CANDIDATE's bytes differ from BUILT's, in words: how many, and the first few places."""
    headers = Headers(built)
    differing = [i for i in range(min(len(built), len(candidate))) if built[i] != candidate[i]]

    def where(offset):
        if offset in range(headers.checksum_offset, headers.checksum_offset + 4):
            return "the headers: PE checksum"
        return next((f"{name}, {offset - start:#x} bytes in" for start, end, name in headers.regions()
                     if start <= offset < end), "past the last section")

    places = ", ".join(f"{i:#x} ({where(i)})" for i in differing[:3])
    more = f" and {len(differing) - 3} more" if len(differing) > 3 else ""
    said = f"{len(differing)} byte(s) differ" + (f", at {places}{more}" if differing else "")
    if len(built) != len(candidate):
        said = f"{len(candidate)} bytes where the build has {len(built)}; in the common part {said}"
    return said


def main():
    if len(sys.argv) != 3 or sys.argv[1] != "bits":
        print(__doc__, file=sys.stderr)
        return 2
    try:
        print(Headers.of_file(sys.argv[2], 4096).bits)
    except (OSError, NotAnImage) as error:
        print(f"{sys.argv[2]}: not a Windows program ({error})", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
