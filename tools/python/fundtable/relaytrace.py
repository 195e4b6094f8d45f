"""Wine's +relay trace of one program: the Win32 calls its own image made, on its own thread,
with their arguments and results. Wine's helper processes log to the same file and may load at the
same base, so a call counts only when it comes from the program's thread and returns into its image.

Lines look like (addresses have 8 hex digits in a 32-bit process, as many as needed in a 64-bit one):
    0024:trace:loaddll:build_module Loaded L"C:\\\\x\\\\Tool.exe" at 00400000: native
    0024:Call KERNEL32.DeleteFileA(0061fe2c "C:\\\\Quotes\\\\FundNameTable.txt") ret=00401a2b
    0024:Ret  KERNEL32.DeleteFileA() retval=00000001 ret=00401a2b"""

import os
import re
from dataclasses import dataclass

CALL = re.compile(r"^([0-9a-f]+):Call (?:[\w.]+\.)?(\w+)\((.*)\) ret=([0-9a-f]+)$")
RET = re.compile(r"^([0-9a-f]+):Ret  (?:[\w.]+\.)?(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")
ARGUMENT = re.compile(r'([0-9a-f]+)(?: ("(?:[^"\\]|\\.)*"))?(?:,|$)')
LOADED = re.compile(r'^([0-9a-f]+):trace:loaddll:\w+ Loaded L"[^"]*\\\\([^"\\]+\.exe)" at ')


@dataclass
class Call:
    name: str
    arguments: list  # each as logged: a string argument as its quoted text, else its hex value
    result: str = None  # hex, None where the call never returned


def own_calls(log_text, exe_name, image):
    """The calls made from IMAGE (low, high) by the thread that loaded EXE_NAME, in order; None
    where the trace shows no such program loaded."""
    low, high = image
    thread, calls, pending = None, [], {}
    for line in log_text.splitlines():
        m = LOADED.match(line)
        if m and thread is None and m.group(2).lower() == os.path.basename(exe_name).lower():
            thread = m.group(1)
        m = CALL.match(line)
        if m and m.group(1) == thread and low <= int(m.group(4), 16) < high:
            calls.append(Call(m.group(2), [s if s else h for h, s in ARGUMENT.findall(m.group(3))]))
            pending[(m.group(2), m.group(4))] = calls[-1]
            continue
        m = RET.match(line)
        if m and m.group(1) == thread and (m.group(2), m.group(4)) in pending:
            pending.pop((m.group(2), m.group(4))).result = m.group(3)
    return calls if thread is not None else None


ESCAPES = {"\\\\": "\\", '\\"': '"', "\\n": "\n", "\\r": "\r", "\\t": "\t"}


def quote(data):
    """Bytes as Wine's relay log prints a narrow string: quoted, with C escapes and \\xNN."""
    out = []
    for byte in data:
        c = chr(byte)
        if c in '\\"':
            out.append("\\" + c)
        elif c in "\n\r\t":
            out.append({"\n": "\\n", "\r": "\\r", "\t": "\\t"}[c])
        elif byte < 0x20 or byte >= 0x7F:
            out.append("\\x%02x" % byte)
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def unquote(text):
    """The bytes of a narrow string as the relay log prints it: the inverse of quote."""
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise ValueError(f"not a quoted string: {text!r}")
    out, i, body = bytearray(), 0, text[1:-1]
    while i < len(body):
        if body[i] != "\\":
            out.append(ord(body[i]))
            i += 1
        elif body[i + 1] == "x":
            out.append(int(body[i + 2:i + 4], 16))
            i += 4
        else:
            out.extend(ESCAPES[body[i:i + 2]].encode("latin-1"))
            i += 2
    return bytes(out)
