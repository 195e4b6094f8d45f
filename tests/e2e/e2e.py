#!/usr/bin/env python3
"""End-to-end cases for FundTableRepair.exe under Wine.

Each case sets one Wine prefix up as a customer's PC (a Windows version, the registry value under
one root or the other, an install directory with the table file and its neighbours), runs the real
executable once and checks what a customer and a support engineer would: exit status 0, nothing
printed, the one message box (its bytes, caption, owner and style), the Win32 calls the program's
own image made, in order and with their arguments, and that no file but the table file changed.

    e2e.py --list [--bits 32|64]
    e2e.py --exe FundTableRepair.exe --hold-file HoldFile.exe --prefix DIR [--result FILE] CASE...

--result writes what ran as JSON for other tools (a release's proof): the exe's SHA-256, the Wine
that ran it, and the cases passed and failed.

Every case runs on a 64-bit prefix, as the Windows customers have: the 32-bit exe through Wine 10's
WoW64 route, the 64-bit test build through the host's Wine. For the 32-bit exe, the versions that
were only ever 32-bit (version_*) are that prefix with the version set and the machine-wide value
in the 32-bit view, which is all a 32-bit process sees of the machine; the versions that came in
64-bit editions (wow64_*) also hold a decoy in the 64-bit view that the tool must leave alone.
"""

import argparse
import contextlib
import hashlib
import json
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import time
from dataclasses import dataclass, field

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools")
sys.path.insert(0, TOOLS)
import pe  # noqa: E402
import windowsversions  # noqa: E402
from windowsversions import HKCU, HKLM  # noqa: E402

# The predefined keys are the handles 0x80000001 and 0x80000002 sign-extended to a pointer, so a
# 64-bit process passes them with their upper half set.
ROOT_HANDLE = {32: {HKCU: "80000001", HKLM: "80000002"},
               64: {HKCU: "ffffffff80000001", HKLM: "ffffffff80000002"}}
KEY_QUERY_VALUE = "00000001"
MB_OK_ICONINFORMATION = "00000040"
ERROR_SUCCESS = 0

SUBKEY = b"SoftWare\\Morvantis"
VALUE_NAME = b"FilePath"
FILE_NAME = b"FundNameTable.txt"
CAPTION = "提示".encode("gbk")
SUCCEEDED = "您的程序已经成功修复，请重新启动行情程序。".encode("gbk")
FAILED = "抱歉，修复失败，请拨打客服热线:4870-2316。".encode("gbk")

# Every function the tool may call, and the wide twins it must never call.
OWN_CALLS = ["GetVersion", "GetVersionExA", "RegOpenKeyExA", "RegCreateKeyExA", "RegQueryValueExA",
             "RegCloseKey", "ExpandEnvironmentStringsA", "DeleteFileA", "GetFileAttributesA",
             "GetDesktopWindow", "MessageBoxA"]
WIDE_CALLS = ["GetVersionExW", "RegOpenKeyExW", "RegCreateKeyExW", "RegQueryValueExW",
              "ExpandEnvironmentStringsW", "DeleteFileW", "GetFileAttributesW", "MessageBoxW",
              "RemoveDirectoryA", "RemoveDirectoryW", "MoveFileA", "MoveFileW", "MoveFileExA",
              "MoveFileExW", "CreateFileA", "CreateFileW", "RegSetValueExA", "RegDeleteKeyA",
              "RegDeleteValueA"]
LOCK_CALLS = ["RtlInitializeCriticalSection", "RtlDeleteCriticalSection"]

INSTALL = "C:\\e2e\\Quotes\\"
WRONG = "C:\\e2e\\Wrong\\"
CP936_TRAIL_5C = "乗"  # GBK 81 5C: its trail byte is a backslash


@dataclass
class Value:
    """A registry value as stored: its type and raw data."""
    kind: str  # hex(N) type number as Wine's .reg files spell it
    data: bytes


def sz(text, terminated=True, kind="1"):
    raw = text.encode("utf-16-le")
    return Value(kind, raw + (b"\0\0" if terminated else b""))


def expand_sz(text):
    return sz(text, kind="2")


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


def unix_path(prefix, windows_path):
    assert windows_path[:3].upper() == "C:\\"
    return os.path.join(prefix, "drive_c", *[p for p in windows_path[3:].split("\\") if p])


def dbgstr(data):
    """A narrow string as Wine's relay log prints it."""
    out = []
    for byte in data:
        c = chr(byte)
        if c == "\\":
            out.append("\\\\")
        elif c == '"':
            out.append('\\"')
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif c == "\t":
            out.append("\\t")
        elif byte < 0x20 or byte >= 0x7F:
            out.append("\\x%02x" % byte)
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Prefix:
    """A 64-bit Wine prefix on one route of tools/wine-run: "wow64" for the 32-bit tool, "64" for
    the 64-bit one. wine-run sets up the rest of Wine's environment: no display, no debug output
    unless asked, no .NET or browser engine."""

    def __init__(self, path, route):
        self.path = os.path.abspath(path)
        self.route = route

    def wine(self, command, *args):
        return [os.path.join(TOOLS, "wine-run"), self.route, command, *args]

    def environment(self, locale="zh_CN.UTF-8", extra=None, debug="-all"):
        env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG=debug, LC_ALL=locale, LANG=locale)
        env.update(extra or {})
        return env

    def run(self, args, log, **env):
        with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
            return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=self.environment(**env), timeout=90).returncode

    def ensure(self):
        """Creates the prefix on first use and keeps its server between the cases."""
        subprocess.run([os.path.join(TOOLS, "wine-exec"), self.route, self.path], env=self.environment(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=600)

    def regedit(self, reg_file, log):
        check(self.run(self.wine("wine", "regedit", "/s", reg_file), log) == 0, "regedit failed")


def reg_file(values, version, wow64=False, values_64bit_view=None):
    """The registry as a case wants it: FilePath as given below each root (none elsewhere), and
    Wine's settings for the run. It is imported by the prefix's 64-bit regedit: for the 32-bit tool
    (wow64) HKEY_LOCAL_MACHINE's values go to the 32-bit view's own key, SOFTWARE\\Wow6432Node, and
    values_64bit_view to the 64-bit view's."""
    node = "Wow6432Node\\" if wow64 else ""
    own_view = {HKCU: f"{HKCU}\\SoftWare\\Morvantis", HKLM: f"{HKLM}\\SoftWare\\{node}Morvantis"}
    other_view = {HKLM: f"{HKLM}\\SoftWare\\Morvantis"} if wow64 else {}
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_CURRENT_USER\\Software\\Wine]", f'"Version"="{version}"', "",
             "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]",
             '"RelayInclude"="' + ";".join(OWN_CALLS + WIDE_CALLS + LOCK_CALLS) + '"', ""]
    lines += [f"[-{key}]" for key in [*own_view.values(), *other_view.values()]] + [""]
    for keys, wanted in ((own_view, values), (other_view, values_64bit_view or {})):
        for root, value in wanted.items():
            lines.append(f"[{keys[root]}]")
            if value is not None:
                lines.append(f'"FilePath"=hex({value.kind}):' + ",".join("%02x" % b for b in value.data))
            lines.append("")
    return ("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le")


def lay_out_disk(prefix, case):
    shutil.rmtree(os.path.join(prefix.path, "drive_c", "e2e"), ignore_errors=True)
    for windows_path, kind in {**STANDARD_FILES, **case.files}.items():
        path = unix_path(prefix.path, windows_path)
        if kind == "dir":
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("fund names of " + windows_path + "\n")
        if kind == "readonly":
            os.chmod(path, 0o444)


def snapshot(root):
    files = {}
    for directory, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            files[os.path.relpath(path, root)] = (st.st_mode, st.st_size, st.st_mtime_ns)
    return files


def image_bits(exe):
    return pe.Headers.of_file(exe, 4096).bits


def image_range(exe):
    headers = pe.Headers.of_file(exe, 4096)
    return headers.image_base, headers.image_base + headers.size_of_image


# Addresses and values have 8 hex digits in a 32-bit process, as many as they need in a 64-bit one.
CALL = re.compile(r"^([0-9a-f]+):Call (?:[\w.]+\.)?(\w+)\((.*)\) ret=([0-9a-f]+)$")
RET = re.compile(r"^([0-9a-f]+):Ret  (?:[\w.]+\.)?(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
ARGUMENT = re.compile(r'([0-9a-f]+)(?: ("(?:[^"\\]|\\.)*"))?(?:,|$)')


LOADED = re.compile(r'^([0-9a-f]+):trace:loaddll:\w+ Loaded L"[^"]*\\\\(\w+\.exe)" at ')


def own_calls(log, exe, image):
    """(name, [arguments], result) of every logged call made from the tool's own image, on its
    own (only) thread: Wine's helper processes log to the same file and load at the same base."""
    low, high = image
    thread, calls, pending = None, [], {}
    with open(log, "r", encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            m = LOADED.match(line)
            if m and thread is None and m.group(2).lower() == os.path.basename(exe).lower():
                thread = m.group(1)
            m = CALL.match(line)
            if m and m.group(1) == thread and low <= int(m.group(4), 16) < high:
                arguments = [s if s else h for h, s in ARGUMENT.findall(m.group(3))]
                calls.append([m.group(2), arguments, None])
                pending[(m.group(2), m.group(4))] = calls[-1]
                continue
            m = RET.match(line)
            if m and m.group(1) == thread and (m.group(2), m.group(4)) in pending:
                pending.pop((m.group(2), m.group(4)))[2] = m.group(3)
    check(thread is not None, "the tool was not loaded")
    return calls


def expected_calls(case, bits):
    """The calls, with the arguments that matter ('*': any), in order."""
    root = windowsversions.BY_NAME[case.version].root
    expected = [("GetVersion", [])]
    if case.version != "win31":  # Win32s: classified from GetVersion alone
        expected.append(("GetVersionExA", ["*"]))
    expected.append(("RegOpenKeyExA", [ROOT_HANDLE[bits][root], dbgstr(SUBKEY), "00000000", KEY_QUERY_VALUE, "*"]))
    if case.opens:
        expected.append(("RegQueryValueExA", ["key", dbgstr(VALUE_NAME), "00000000", "*", "*", "*"]))
        expected.append(("RegCloseKey", ["key"]))
        if case.expands:
            expected.append(("ExpandEnvironmentStringsA", ["*", "*", "*"]))
    if case.deletes is not None:
        expected.append(("DeleteFileA", [dbgstr(case.deletes)]))
        expected.append(("GetFileAttributesA", [dbgstr(case.deletes)]))
    expected.append(("GetDesktopWindow", []))
    expected.append(("MessageBoxA", ["desktop", dbgstr(case.message), dbgstr(CAPTION), MB_OK_ICONINFORMATION]))
    return expected


def check_calls(case, bits, calls):
    locks = [c for c in calls if c[0] in LOCK_CALLS]
    wide = [c[0] for c in calls if c[0] in WIDE_CALLS]
    check(not wide, f"the tool's own code called {wide}")
    seen = [c for c in calls if c[0] in OWN_CALLS]
    expected = expected_calls(case, bits)
    names = [c[0] for c in seen]
    check(names == [e[0] for e in expected], f"calls {names}, expected {[e[0] for e in expected]}")
    bound = {}  # the key handle read and closed, the desktop window that owns the box
    for (name, arguments, result), (_, wanted) in zip(seen, expected):
        check(len(arguments) == len(wanted), f"{name} had {len(arguments)} arguments: {arguments}")
        for index, (got, want) in enumerate(zip(arguments, wanted)):
            if want in ("key", "desktop"):
                want = bound.setdefault(want, got)
            check(want == "*" or got == want, f"{name} argument {index + 1} was {got}, expected {want}")
        if name == "RegOpenKeyExA":
            # A LONG: a 64-bit register's upper half is not part of it.
            check((int(result, 16) & 0xFFFFFFFF == ERROR_SUCCESS) == case.opens, f"RegOpenKeyExA returned {result}")
        if name == "RegQueryValueExA":
            check(arguments[3] != "00000000", "RegQueryValueExA was not asked for the value's type")
        if name == "GetDesktopWindow":
            bound["desktop"] = result

    # The four string pools: created before anything else, torn down after the box in reverse.
    first_own = calls.index(seen[0])
    last_own = calls.index(seen[-1])
    created = [c[1][0] for c in calls[:first_own] if c[0] == "RtlInitializeCriticalSection"]
    deleted = [c[1][0] for c in calls[last_own:] if c[0] == "RtlDeleteCriticalSection"]
    pools = [lock for lock in created if lock in deleted]
    check(len(pools) == 4, f"expected 4 pool locks created before main and deleted at exit: {locks}")
    check(deleted[-4:] == pools[::-1], f"pools created {pools}, torn down {deleted}")


def run_case(case, args):
    bits = image_bits(args.exe)
    prefix = Prefix(args.prefix, "wow64" if bits == 32 else "64")
    prefix.ensure()
    work = os.path.join(os.path.dirname(prefix.path), "e2e-logs", case.name)
    os.makedirs(work, exist_ok=True)
    with open(os.path.join(work, "setup.reg"), "wb") as f:
        f.write(reg_file(case.values, case.version, bits == 32, case.values_64bit_view))
    prefix.regedit(os.path.join(work, "setup.reg"), os.path.join(work, "regedit"))
    lay_out_disk(prefix, case)
    drive_c = os.path.join(prefix.path, "drive_c")
    with contextlib.ExitStack() as cleanup:
        if case.hold:
            marker = unix_path(prefix.path, "C:\\e2e\\held.marker")
            holder = subprocess.Popen(
                prefix.wine("wine", args.hold_file, case.hold, "C:\\e2e\\held.marker"),
                stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, "hold.out"), "wb"),
                stderr=open(os.path.join(work, "hold.err"), "wb"), env=prefix.environment())
            cleanup.callback(holder.wait, 60)
            cleanup.callback(lambda: os.path.exists(marker) and os.remove(marker))
            deadline = time.time() + 60
            while not os.path.exists(marker):
                check(holder.poll() is None and time.time() < deadline, "the holding process did not start")
                time.sleep(0.05)
        before = snapshot(drive_c)
        status = prefix.run(prefix.wine("wine", os.path.abspath(args.exe)), os.path.join(work, "run"),
                            locale=case.locale, extra=case.environment, debug="+relay,+loaddll")
        after = snapshot(drive_c)

    check(status == 0, f"exit status {status}")
    with open(os.path.join(work, "run.out"), "rb") as f:
        printed = f.read()
    check(printed == b"", f"the tool printed {printed[:200]!r}")
    check_calls(case, bits, own_calls(os.path.join(work, "run.err"), args.exe, image_range(args.exe)))

    gone = {os.path.relpath(unix_path(prefix.path, p.rstrip("\\")), drive_c) for p in case.deleted}
    # Wine keeps its own temporary files below windows\; everything else is the customer's.
    vanished = {p for p in before if p not in after and not p.startswith("windows")}
    appeared = {p for p in after if p not in before and not p.startswith("windows")}
    # A directory's time changes with its entries; a file's must not.
    e2e_changed = {p for p in before if p in after and before[p] != after[p] and p.startswith("e2e")
                   and not stat.S_ISDIR(after[p][0])}
    check(vanished == gone, f"files gone: {sorted(vanished)}, expected {sorted(gone)}")
    check(not appeared, f"files appeared: {sorted(appeared)}")
    check(not e2e_changed, f"files changed: {sorted(e2e_changed)}")


def reviewed_imports(bits):
    """{(dll, function)} from the reviewed list of what the image may import."""
    entries = set()
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), f"imports-win{bits}.txt")) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                entries.add((words[0].lower(), words[1]))
    return entries


def check_executable(exe, bits, build_paths):
    """What support staff ship: a small static 32-bit console PE for Windows 4.0 and later, with
    nothing of the machine that built it. The 64-bit test build, made with the same options, is
    held to the same, but for its machine."""
    with open(exe, "rb") as f:
        image = f.read()
    for path in build_paths:
        check(path.encode() not in image, f"the image contains the build path {path}")
    check(len(image) <= 64 * 1024, f"{len(image)} bytes, more than 64 KiB")
    try:
        headers = pe.Headers(image)
    except pe.NotAnImage as error:
        raise Failure(f"not a Windows program: {error}") from None
    machine, magic = (pe.I386, pe.PE32) if bits == 32 else (pe.AMD64, pe.PE32_PLUS)
    check(headers.machine == machine, f"machine {headers.machine:#x}, not {machine:#x}")
    check(headers.magic == magic, f"optional header magic {headers.magic:#x}, not {magic:#x}")
    check(headers.timestamp == 0, f"link timestamp {headers.timestamp:#x}")
    check(headers.os_version == (4, 0), f"lowest system version {headers.os_version}")
    check(headers.subsystem_version == (4, 0), f"subsystem version {headers.subsystem_version}")
    check(headers.subsystem == 3, f"subsystem {headers.subsystem}, not the console")
    # No manifest, on purpose: without one the exe runs under the same UAC virtualisation of the
    # registry and files as the quotes application, which has none either, so both see the same
    # FilePath and the same install directory on Vista and later. An asInvoker manifest would end
    # that virtualisation for the tool alone.
    check(headers.directory(pe.RESOURCE)[1] == 0, "the image carries resources (a manifest among them?)")
    imported = {(dll, function) for dll, functions in headers.imports().items() for function in functions}
    reviewed = reviewed_imports(bits)
    added = sorted(f"{dll} {function}" for dll, function in imported - reviewed)
    dropped = sorted(f"{dll} {function}" for dll, function in reviewed - imported)
    check(not added, f"imports {', '.join(added)}, which tests/e2e/imports-win{bits}.txt does not list: "
                     "check that Windows 95 OSR2 and NT 4.0 have it, and list it with where it comes from")
    check(not dropped, f"no longer imports {', '.join(dropped)}: take it off tests/e2e/imports-win{bits}.txt")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", action="store_true", help="print the case names")
    parser.add_argument("--executable", action="store_true", help="check the shipped image itself")
    parser.add_argument("--build-path", action="append", default=[], help="a path the image must not contain")
    parser.add_argument("--exe")
    parser.add_argument("--bits", type=int, choices=(32, 64), default=32,
                        help="the exe's bitness, for --list and --executable")
    parser.add_argument("--hold-file")
    parser.add_argument("--prefix")
    parser.add_argument("--result", help="write the outcome here as JSON")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    if args.list:
        print("\n".join(cases(args.bits)))
        return 0
    if args.executable:
        try:
            check_executable(args.exe, args.bits, args.build_path)
        except Failure as failure:
            print(f"FAIL executable: {failure}")
            return 1
        kind = "PE32 i386" if args.bits == 32 else "PE32+ x86_64"
        print(f"PASS executable: {os.path.getsize(args.exe)} bytes, {kind} console 4.0, static")
        return 0
    passed = failed = 0
    by_name = cases(image_bits(args.exe))
    for name in args.cases or list(by_name):
        case = by_name[name]
        try:
            run_case(case, args)
            passed += 1
            print(f"PASS {name}: {case.why}")
        except Failure as failure:
            failed += 1
            print(f"FAIL {name}: {case.why}\n     {failure}")
    print(f"{passed} passed, {failed} failed")
    if args.result:
        write_result(args, passed, failed)
    return 1 if failed else 0


def write_result(args, passed, failed):
    try:
        with open(os.path.join(args.prefix, ".complete")) as f:
            route, wine = (f.read().splitlines() + ["", ""])[:2]
    except FileNotFoundError:  # no prefix was made: no case ran
        route = wine = ""
    with open(args.exe, "rb") as f:
        exe_sha256 = hashlib.sha256(f.read()).hexdigest()
    with open(args.result, "w") as f:
        json.dump({"exe_sha256": exe_sha256, "route": route, "wine": wine, "passed": passed, "failed": failed},
                  f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
