"""Decoding Wine's relay trace: only the tool's own calls count, and strings come back byte for byte."""

import unittest

from fundtable import customerpc, relaytrace

TRACE = r"""0024:trace:loaddll:build_module Loaded L"C:\\windows\\system32\\regedit.exe" at 00400000: builtin
0028:Call KERNEL32.DeleteFileA(0061fe2c "C:\\other\\FundNameTable.txt") ret=00401a2b
0030:trace:loaddll:build_module Loaded L"Z:\\build\\FundTableRepair.exe" at 00400000: native
0030:Call KERNEL32.DeleteFileA(0061fe2c "C:\\Quotes\\FundNameTable.txt") ret=00401a2b
0030:Call KERNEL32.GetFileAttributesA(77001000 "x") ret=77001234
0030:Ret  KERNEL32.DeleteFileA() retval=00000001 ret=00401a2b
0030:Call user32.MessageBoxA(00010020,0061fd00 "\xc4\xfa\\\"\t",0061fc00 "\xcc\xe1\xca\xbe",00000040) ret=00401b00
"""


class OwnCallsTest(unittest.TestCase):
    def test_only_the_tools_thread_and_image_with_results(self):
        calls = relaytrace.own_calls(TRACE, "build/FundTableRepair.exe", (0x400000, 0x410000))
        self.assertEqual([(c.name, c.arguments, c.result) for c in calls], [
            ("DeleteFileA", ['"C:\\\\Quotes\\\\FundNameTable.txt"'], "00000001"),
            ("MessageBoxA", ["00010020", '"\\xc4\\xfa\\\\\\"\\t"', '"\\xcc\\xe1\\xca\\xbe"', "00000040"], None)])

    def test_a_trace_without_the_tool_says_so(self):
        self.assertIsNone(relaytrace.own_calls(TRACE, "Other.exe", (0x400000, 0x410000)))


class StringsTest(unittest.TestCase):
    def test_quote_and_unquote_are_inverses_over_every_byte(self):
        data = bytes(range(256))
        self.assertEqual(relaytrace.unquote(relaytrace.quote(data)), data)
        self.assertEqual(relaytrace.quote(b'C:\\"x"\n'), '"C:\\\\\\"x\\"\\n"')

    def test_the_message_box_text_as_gbk_bytes(self):
        self.assertEqual(customerpc.message(TRACE), b'\xc4\xfa\\"\t')
        self.assertIsNone(customerpc.message("0030:Call KERNEL32.GetVersion() ret=00401000\n"))


if __name__ == "__main__":
    unittest.main()
