"""The end-to-end cases: each a customer's PC (a Windows version, the FilePath value below one
root or the other, the install directory and its neighbours) and what the tool must do on it.
Every case runs on a 64-bit prefix, as the Windows customers have: the 32-bit exe through Wine 10's
WoW64 route, the 64-bit test build through the host's Wine. For the 32-bit exe, the versions that
were only ever 32-bit (version_*) are that prefix with the version set and the machine-wide value
in the 32-bit view, which is all a 32-bit process sees of the machine; the versions that came in
64-bit editions (wow64_*) also hold a decoy in the 64-bit view that the tool must leave alone."""

import struct
from dataclasses import dataclass, field

from fundtable import windowsversions
from fundtable.customerpc import FAILED, HKCU, HKLM, SUCCEEDED, Value, sz

FILE_NAME = b"FundNameTable.txt"


def expand_sz(text):
    return sz(text, kind="2")


INSTALL = "C:\\e2e\\Quotes\\"
WRONG = "C:\\e2e\\Wrong\\"
CP936_TRAIL_5C = "乗"  # GBK 81 5C: its trail byte is a backslash


@dataclass
class Case:
    name: str
    why: str
    version: str = "win7"
    values: dict = field(default_factory=dict)  # root -> Value of FilePath; a None Value: key only
    # The 32-bit exe's cases: values are written in the 32-bit view it reads, these in the 64-bit
    # view it must not read.
    values_64bit_view: dict = field(default_factory=dict)
    files: dict = field(default_factory=dict)  # extra files: Windows path -> "file" | "dir" | "readonly"
    hold: str = None  # Windows path of a file another process holds open
    environment: dict = field(default_factory=dict)
    locale: str = "zh_CN.UTF-8"
    # expectations
    opens: bool = True  # the key opens
    expands: bool = False
    deletes: bytes = None  # the path DeleteFileA is given (ANSI bytes), None: no file-system call
    message: bytes = FAILED
    deleted: tuple = ()  # Windows paths that must be gone afterwards; everything else stays


def table(directory):
    return directory.encode("gbk") + FILE_NAME


def version_case(version):
    root = version.root
    other = HKCU if root == HKLM else HKLM
    return Case(
        f"version_{version.name}",
        f"{version.name} ({version.reports}) reads below {root} only; the value below the other root names another install",
        version=version.name,
        values={root: sz(INSTALL), other: sz(WRONG)},
        deletes=table(INSTALL), message=SUCCEEDED, deleted=(INSTALL + "FundNameTable.txt",))


def wow64_case(version):
    """The shipped exe on 64-bit Windows: a 32-bit process, it reads the 32-bit view (below
    HKEY_LOCAL_MACHINE, SOFTWARE\\WOW6432Node; HKEY_CURRENT_USER's Software is one key in both),
    and only below its version's root."""
    case = version_case(version)
    case.name = f"wow64_{version.name}"
    case.why = (f"on 64-bit {version.name} the 32-bit view's value below {version.root} is read; the 64-bit "
                "view's and the other root's name other installs")
    case.values_64bit_view = {HKLM: sz(WRONG)}
    return case


LONG_VALUE = INSTALL + "x" * 5000 + "\\"

COMMON_CASES = [
    # What the repair does with the install directory it finds.
    Case("vista_value_only_below_hklm", "an XP-era value is not read on Vista and later",
         version="vista", values={HKLM: sz(INSTALL)}, opens=False),
    Case("key_missing", "no key: nothing is read or deleted", values={}, opens=False),
    Case("value_missing", "the key without the value", values={HKCU: None}),
    Case("value_empty", "an empty directory text deletes nothing", values={HKCU: sz("")}),
    Case("file_already_absent", "a file that is not there counts as removed",
         values={HKCU: sz("C:\\e2e\\Empty\\")}, files={"C:\\e2e\\Empty\\": "dir"},
         deletes=table("C:\\e2e\\Empty\\"), message=SUCCEEDED),
    Case("install_directory_missing", "a directory that is gone holds no table file",
         values={HKCU: sz("C:\\e2e\\Gone\\")}, deletes=table("C:\\e2e\\Gone\\"), message=SUCCEEDED),
    Case("file_read_only", "a read-only file survives the deletion: failure",
         values={HKCU: sz(INSTALL)}, files={INSTALL + "FundNameTable.txt": "readonly"},
         deletes=table(INSTALL)),
    Case("file_held_open", "the quotes program still holds the file: failure",
         values={HKCU: sz(INSTALL)}, hold=INSTALL + "FundNameTable.txt", deletes=table(INSTALL)),
    Case("table_is_a_directory", "a directory of that name is not deleted and is still there",
         values={HKCU: sz("C:\\e2e\\Odd\\")}, files={"C:\\e2e\\Odd\\FundNameTable.txt\\": "dir"},
         deletes=table("C:\\e2e\\Odd\\")),
    Case("ansi_code_page_1252", "the texts go to MessageBoxA as GBK bytes whatever the code page",
         values={HKCU: sz(INSTALL)}, locale="C.UTF-8", deletes=table(INSTALL), message=SUCCEEDED,
         deleted=(INSTALL + "FundNameTable.txt",)),
    # A directory without its separator gets one: the file beside it is never the target.
    Case("separator_missing", "C:\\e2e\\Quotes names the directory, not C:\\e2e\\QuotesFundNameTable.txt",
         values={HKCU: sz(INSTALL.rstrip("\\"))}, deletes=table(INSTALL), message=SUCCEEDED,
         deleted=(INSTALL + "FundNameTable.txt",)),
    Case("separator_forward_slash", "a forward slash already separates",
         values={HKCU: sz("C:/e2e/Quotes/")}, deletes=table("C:/e2e/Quotes/"), message=SUCCEEDED,
         deleted=(INSTALL + "FundNameTable.txt",)),
    Case("separator_after_double_byte_5c", "a trail byte 0x5C is part of a character, not a separator",
         values={HKCU: sz("C:\\e2e\\行情" + CP936_TRAIL_5C)},
         files={"C:\\e2e\\行情" + CP936_TRAIL_5C + "\\FundNameTable.txt": "file",
                "C:\\e2e\\行情" + CP936_TRAIL_5C + "FundNameTable.txt": "file"},
         deletes=table("C:\\e2e\\行情" + CP936_TRAIL_5C + "\\"), message=SUCCEEDED,
         deleted=("C:\\e2e\\行情" + CP936_TRAIL_5C + "\\FundNameTable.txt",)),
    Case("double_byte_directory_with_separator", "no second separator after a real one",
         values={HKCU: sz("C:\\e2e\\行情" + CP936_TRAIL_5C + "\\")},
         files={"C:\\e2e\\行情" + CP936_TRAIL_5C + "\\FundNameTable.txt": "file"},
         deletes=table("C:\\e2e\\行情" + CP936_TRAIL_5C + "\\"), message=SUCCEEDED,
         deleted=("C:\\e2e\\行情" + CP936_TRAIL_5C + "\\FundNameTable.txt",)),
    # A failed read is no directory.
    Case("value_over_4096_bytes", "a truncated path is not taken as the directory",
         values={HKCU: sz(LONG_VALUE)}),
    # The registry does not promise a terminator.
    Case("value_without_terminator", "the text ends where the stored bytes end",
         values={HKCU: sz(INSTALL, terminated=False)}, deletes=table(INSTALL), message=SUCCEEDED,
         deleted=(INSTALL + "FundNameTable.txt",)),
    Case("value_with_embedded_nul", "the text ends at the first NUL",
         values={HKCU: sz(INSTALL + "\0C:\\e2e\\Wrong\\")}, deletes=table(INSTALL), message=SUCCEEDED,
         deleted=(INSTALL + "FundNameTable.txt",)),
    # Only string values are directories.
    Case("value_expandable", "environment references are expanded",
         values={HKCU: expand_sz("%SystemDrive%\\e2e\\Quotes\\")}, expands=True,
         deletes=table(INSTALL), message=SUCCEEDED, deleted=(INSTALL + "FundNameTable.txt",)),
    Case("value_expands_past_4096", "an expansion that does not fit is a failed read",
         values={HKCU: expand_sz("C:\\e2e\\Quotes\\%E2E_LONG%\\")}, expands=True,
         environment={"E2E_LONG": "y" * 5000}),
    Case("value_binary", "a binary value holding a path is no directory",
         values={HKCU: Value("3", INSTALL.encode() + b"\0")}),
    Case("value_multi_string", "a multi-string value is no directory",
         values={HKCU: Value("7", sz(INSTALL).data + b"\0\0")}),
    Case("value_dword", "a number is no directory", values={HKCU: Value("4", struct.pack("<I", 0x5C3A43))}),
    # Absence must be confirmed.
    Case("absence_unconfirmed_bad_name", "an invalid name proves nothing about the file",
         values={HKCU: sz("C:\\e2e\\Quo|tes\\")}, deletes=table("C:\\e2e\\Quo|tes\\")),
]


def cases(bits):
    """{name: case} for an exe of this bitness: every Windows version Wine offers it, the common
    cases, and for the shipped 32-bit exe the same on 64-bit Windows."""
    versions = windowsversions.offered(bits)
    if bits == 64:
        found = [version_case(v) for v in versions]
    else:
        found = ([version_case(v) for v in versions if 64 not in v.windows_bits] +
                 [wow64_case(v) for v in versions if 64 in v.windows_bits])
    return {case.name: case for case in found + COMMON_CASES}

# The customer's disk: the install directory with the table file and its neighbours, and files
# a faulty tool might hit instead.
STANDARD_FILES = {
    INSTALL + "FundNameTable.txt": "file",
    INSTALL + "FundNameTable.txt.bak": "file",
    INSTALL + "fundnametable.dat": "file",
    INSTALL + "Quotes.exe": "file",
    "C:\\e2e\\QuotesFundNameTable.txt": "file",
    "C:\\e2e\\FundNameTable.txt": "file",
    "C:\\e2e\\Wrong\\FundNameTable.txt": "file",
}
