#!/usr/bin/env python3
"""End-to-end cases for FundTableRepair.exe under Wine (tests/e2e/cases.py lists them).

Each case lays out one customer's PC (fundtable.customerpc), runs the real executable once and
checks what a customer and a support engineer would: exit status 0, nothing printed, the one
message box (its bytes, caption, owner and style), the Win32 calls the program's own image made, in
order and with their arguments, and that no file but the table file changed.

    e2e.py --list --bits 32|64
    e2e.py --exe FundTableRepair.exe --hold-file HoldFile.exe --prefix DIR [--result FILE] CASE...

--result writes what ran as JSON for other tools (a release's proof): the exe's SHA-256, the Wine
that ran it, the cases passed (their number and names) and how many failed."""

import argparse
import contextlib
import hashlib
import json
import os
import stat
import sys

# Found beside this file, as for anyone who runs it (dist does, with no PYTHONPATH).
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "tools", "python")]

import cases as e2e_cases  # noqa: E402
from fundtable import relaytrace, windowsversions
from fundtable.customerpc import CAPTION, HKCU, HKLM, CustomerPC, Failure, check, executable, reg_file

# The predefined keys are the handles 0x80000001 and 0x80000002 sign-extended to a pointer, so a
# 64-bit process passes them with their upper half set.
ROOT_HANDLE = {32: {HKCU: "80000001", HKLM: "80000002"},
               64: {HKCU: "ffffffff80000001", HKLM: "ffffffff80000002"}}
KEY_QUERY_VALUE = "00000001"
MB_OK_ICONINFORMATION = "00000040"
ERROR_SUCCESS = 0
SUBKEY = b"SoftWare\\Morvantis"
VALUE_NAME = b"FilePath"

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
dbgstr = relaytrace.quote
# Lines Wine and the sandbox write of their own, which say why a program did not start.
OWN_WORDS = ("wine:", "wine client error", "err:", "bwrap:", "in-root:", "wine-run:")


class NotStarted(Failure):
    """Wine failed before the tool was loaded, so nothing of the tool's ran and the case may run
    again. On a loaded machine Wine now and then ends a start with status 1 (twice in some dozen CI
    runs, under the 64-bit Wine); the tool's own faults fail the first time."""


def wines_words(log_text, most=3):
    """The last lines of LOG_TEXT that Wine or the sandbox wrote, not the trace; at most MOST."""
    said = [line[:300] for line in log_text.splitlines()
            if any(word in line for word in OWN_WORDS) and not relaytrace.CALL.match(line)]
    return "; ".join(said[-most:]) or "nothing on its standard error"


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
    bits, image = executable(args.exe)
    pc = CustomerPC(args.prefix, "wow64" if bits == 32 else "64")
    work = os.path.join(os.path.dirname(pc.path), "e2e-logs", case.name)
    os.makedirs(work, exist_ok=True)
    try:
        pc.ensure()
        pc.set_registry(reg_file(case.version, case.values, case.values_64bit_view, wow64=bits == 32,
                                 relay=OWN_CALLS + WIDE_CALLS + LOCK_CALLS), os.path.join(work, "setup"))
    except Failure as failure:
        raise NotStarted(f"Wine could not set the PC up ({failure})") from None
    pc.lay_out({**e2e_cases.STANDARD_FILES, **case.files}, fresh="C:\\e2e\\")
    with contextlib.ExitStack() as held:
        if case.hold:
            held.enter_context(pc.holding(args.hold_file, case.hold, os.path.join(work, "hold")))
        before = pc.snapshot()
        status = pc.run(pc.wine("wine", os.path.abspath(args.exe)), os.path.join(work, "run"),
                        locale=case.locale, extra=case.environment, debug="+relay,+loaddll")
        after = pc.snapshot()

    with open(os.path.join(work, "run.err"), encoding="latin-1") as f:
        log_text = f.read()
    calls = relaytrace.own_calls(log_text, args.exe, image)
    if calls is None:
        raise NotStarted(f"the tool was not loaded (exit status {status}; Wine said: {wines_words(log_text)})")
    check(status == 0, f"exit status {status}; Wine said: {wines_words(log_text)}")
    with open(os.path.join(work, "run.out"), "rb") as f:
        printed = f.read()
    check(printed == b"", f"the tool printed {printed[:200]!r}")
    check_calls(case, bits, [(c.name, c.arguments, c.result) for c in calls])

    gone = {os.path.relpath(pc.unix_path(p.rstrip("\\")), pc.drive_c) for p in case.deleted}
    # Wine keeps its own temporary files below windows\; everything else is the customer's.
    vanished = {p for p in before if p not in after and not p.startswith("windows")}
    appeared = {p for p in after if p not in before and not p.startswith("windows")}
    # A directory's time changes with its entries; a file's must not.
    e2e_changed = {p for p in before if p in after and before[p] != after[p] and p.startswith("e2e")
                   and not stat.S_ISDIR(after[p][0])}
    check(vanished == gone, f"files gone: {sorted(vanished)}, expected {sorted(gone)}")
    check(not appeared, f"files appeared: {sorted(appeared)}")
    check(not e2e_changed, f"files changed: {sorted(e2e_changed)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", action="store_true", help="print the case names")
    parser.add_argument("--bits", type=int, choices=(32, 64), help="the exe's bitness, for --list")
    parser.add_argument("--exe")
    parser.add_argument("--hold-file")
    parser.add_argument("--prefix")
    parser.add_argument("--result", help="write the outcome here as JSON")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()
    if args.list:
        print("\n".join(e2e_cases.cases(args.bits)))
        return 0
    passed, failed = [], 0
    by_name = e2e_cases.cases(executable(args.exe)[0])
    for name in args.cases or list(by_name):
        case = by_name[name]
        try:
            try:
                run_case(case, args)
            except NotStarted as failure:
                print(f"RETRY {name}: {failure}")
                run_case(case, args)
            passed.append(name)
            print(f"PASS {name}: {case.why}")
        except Failure as failure:
            failed += 1
            print(f"FAIL {name}: {case.why}\n     {failure}")
    print(f"{len(passed)} passed, {failed} failed")
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
    os.makedirs(os.path.dirname(os.path.abspath(args.result)), exist_ok=True)
    with open(args.result, "w") as f:
        json.dump({"exe_sha256": exe_sha256, "route": route, "wine": wine, "passed": len(passed),
                   "passed_cases": passed, "failed": failed}, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
