"""What the tools read of a Windows program through pefile, on images made here, PE32 and PE32+:
the width and load range the end-to-end cases trace the tool by, and where a release's bytes
differ from the build's, in the words verify-release prints."""

import os
import struct
import tempfile
import unittest

from fundrelease import verification
from fundtable import customerpc

SECTION_RVA, SECTION_OFFSET = 0x1000, 0x200


def image(bits):
    """An image of one section, .idata, at file offset 0x200, loaded at the usual base of its width."""
    wide = bits == 64
    optional_size = 240 if wide else 224
    headers = bytearray(SECTION_OFFSET)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x80)
    headers[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x84, 0x8664 if wide else 0x14C, 1, 0, 0, 0, optional_size, 0x102)
    optional = 0x98
    struct.pack_into("<H", headers, optional, 0x20B if wide else 0x10B)
    struct.pack_into("<Q" if wide else "<I", headers, optional + (24 if wide else 28), 0x140000000 if wide else 0x400000)
    struct.pack_into("<II", headers, optional + 32, 0x1000, 0x200)  # section and file alignment
    struct.pack_into("<II", headers, optional + 56, 0x2000, SECTION_OFFSET)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<I", headers, optional + (108 if wide else 92), 16)  # data directories
    section = optional + optional_size
    headers[section:section + 8] = b".idata\0\0"
    struct.pack_into("<IIII", headers, section + 8, 0x200, SECTION_RVA, 0x200, SECTION_OFFSET)
    return bytes(headers + bytes(0x200))


class ExecutableTest(unittest.TestCase):
    def test_width_and_load_range_of_both_kinds(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "tool.exe")
            for bits, base in ((32, 0x400000), (64, 0x140000000)):
                with self.subTest(bits=bits):
                    with open(path, "wb") as f:
                        f.write(image(bits))
                    self.assertEqual(customerpc.executable(path), (bits, (base, base + 0x2000)))
            for broken in (b"ZM" + image(32)[2:], image(32)[:0x80] + b"NE" + image(32)[0x82:]):
                with self.subTest(broken=broken[:2]), self.assertRaises(customerpc.Failure):
                    with open(path, "wb") as f:
                        f.write(broken)
                    customerpc.executable(path)


class DifferenceTest(unittest.TestCase):
    def test_each_place_is_named_by_what_lies_there(self):
        built = image(32)
        checksum = 0x98 + 64

        def changed(*offsets, tail=b""):
            out = bytearray(built)
            for offset in offsets:
                out[offset] ^= 0xFF
            return bytes(out) + tail

        self.assertEqual(verification.difference(built, built), "0 byte(s) differ")
        self.assertEqual(verification.difference(built, changed(SECTION_OFFSET + 0x10)),
                         "1 byte(s) differ, at 0x210 (section .idata, 0x10 bytes in)")
        self.assertEqual(verification.difference(built, changed(checksum + 3, 0x3C)),
                         "2 byte(s) differ, at 0x3c (the headers, 0x3c bytes in), 0xdb (the headers: PE checksum)")
        self.assertEqual(verification.difference(built, changed(1, 2, 3, 4, tail=b"!")),
                         f"{len(built) + 1} bytes where the build has {len(built)}; in the common part 4 byte(s) "
                         "differ, at 0x1 (the headers, 0x1 bytes in), 0x2 (the headers, 0x2 bytes in), 0x3 (the "
                         "headers, 0x3 bytes in) and 1 more")


if __name__ == "__main__":
    unittest.main()
