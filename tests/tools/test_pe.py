"""The PE reader on images made here, PE32 and PE32+: the fields that move between the two, and
the import directory with names and ordinals."""

import struct
import unittest

from fundtable import pe

SECTION_RVA, SECTION_OFFSET = 0x1000, 0x200


def image(bits):
    """An image with one section holding the import directory: KERNEL32.dll's DeleteFileA by name,
    and its ordinal 7."""
    wide = bits == 64
    thunk, ordinal_flag = ("<Q", 1 << 63) if wide else ("<I", 1 << 31)
    optional_size = 240 if wide else 224
    body = bytearray(0x200)
    # descriptors at 0, lookup table at 0x40, names at 0x80 and 0x90
    struct.pack_into("<IIIII", body, 0, SECTION_RVA + 0x40, 0, 0, SECTION_RVA + 0x90, SECTION_RVA + 0x40)
    struct.pack_into(thunk, body, 0x40, SECTION_RVA + 0x80)
    struct.pack_into(thunk, body, 0x40 + bits // 8, ordinal_flag | 7)
    body[0x82:0x82 + 12] = b"DeleteFileA\0"
    body[0x90:0x90 + 13] = b"KERNEL32.dll\0"
    headers = bytearray(SECTION_OFFSET)
    headers[:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x80)
    headers[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x84, pe.AMD64 if wide else pe.I386, 1, 0x5EED, 0, 0, optional_size, 0x102)
    optional = 0x98
    struct.pack_into("<H", headers, optional, pe.PE32_PLUS if wide else pe.PE32)
    struct.pack_into("<Q" if wide else "<I", headers, optional + (24 if wide else 28), 0x140000000 if wide else 0x400000)
    struct.pack_into("<HH", headers, optional + 40, 4, 0)
    struct.pack_into("<I", headers, optional + 56, 0x2000)
    struct.pack_into("<H", headers, optional + 68, 3)
    directories = optional + (112 if wide else 96)
    struct.pack_into("<II", headers, directories + 8 * pe.IMPORT, SECTION_RVA, 40)
    section = optional + optional_size
    headers[section:section + 8] = b".idata\0\0"
    struct.pack_into("<IIII", headers, section + 8, 0x200, SECTION_RVA, 0x200, SECTION_OFFSET)
    return bytes(headers + body)


class HeadersTest(unittest.TestCase):
    def test_both_widths(self):
        for bits, base in ((32, 0x400000), (64, 0x140000000)):
            with self.subTest(bits=bits):
                headers = pe.Headers(image(bits))
                self.assertEqual((headers.bits, headers.image_base, headers.size_of_image), (bits, base, 0x2000))
                self.assertEqual((headers.timestamp, headers.os_version, headers.subsystem), (0x5EED, (4, 0), 3))
                self.assertEqual(headers.imports(), {"kernel32.dll": ["DeleteFileA", "#7"]})
                self.assertEqual(headers.regions()[1], (SECTION_OFFSET, SECTION_OFFSET + 0x200, "section .idata"))

    def test_what_is_not_an_image(self):
        good = image(32)
        for broken in (b"ZM" + good[2:], good[:0x80] + b"NE" + good[0x82:], good[:0x98] + b"\x07\x01" + good[0x9A:],
                       good[:0x90]):
            with self.subTest(broken=broken[:4]):
                with self.assertRaises(pe.NotAnImage):
                    pe.Headers(broken)


if __name__ == "__main__":
    unittest.main()
