"""A customer's PC under Wine, as the end-to-end cases and the demo lay it out and read it back: a
64-bit Wine prefix on one route of tools/wine/wine-run ("wow64" runs the shipped 32-bit exe under
Wine 10, "64" the 64-bit test build under the host's Wine), the Windows version it reports, the
quotes application's FilePath value in the registry view the tool reads, the install directory,
and the quotes program holding the table file open. It reads back what the tool did: its Win32
calls (fundtable.relaytrace), its message box, and what changed on the disk.

The tool's texts are written here on their own, as a customer reads them, not taken from the
product's source: a wrong byte there must fail the cases, not be copied into them.

    tools/python/run fundtable.customerpc text caption|succeeded|failed     prints a text, as UTF-8
    tools/python/run fundtable.customerpc bits EXE      prints 32 or 64; exit 1 when EXE is no Windows program
    tools/python/run fundtable.customerpc demo PREFIX ROUTE VERSION ROOT SCENARIO [--desktop WxH]
        lays out the demo's PC for SCENARIO (installed, locked, absent, unregistered)
    tools/python/run fundtable.customerpc hold PREFIX ROUTE HOLDER WINDOWS_PATH
        starts the quotes program's stand-in holding WINDOWS_PATH and returns once it holds it;
        the stand-in lets go after a minute, or when the prefix's server ends
    tools/python/run fundtable.customerpc message TRACE     prints the message box's text, as UTF-8"""

import argparse
import contextlib
import os
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

import pefile

from fundtable import relaytrace

HKCU, HKLM = "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"
SUBKEY = "SoftWare\\Morvantis"
TEXTS = {"caption": "提示", "succeeded": "您的程序已经成功修复，请重新启动行情程序。",
         "failed": "抱歉，修复失败，请拨打客服热线:4870-2316。"}
CAPTION, SUCCEEDED, FAILED = (TEXTS[name].encode("gbk") for name in ("caption", "succeeded", "failed"))
WINE_TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "wine")


@dataclass
class Value:
    """A registry value as stored: its type and raw data."""
    kind: str  # hex(N) type number as Wine's .reg files spell it
    data: bytes


def sz(text, terminated=True, kind="1"):
    return Value(kind, text.encode("utf-16-le") + (b"\0\0" if terminated else b""))


def reg_file(version, values, values_64bit_view=None, wow64=False, relay=(), desktop=None):
    """The registry as a case wants it, for the prefix's own (64-bit) regedit: Wine's settings, and
    FilePath as given below each root (a None value: the key alone), in the view the tool reads;
    for the 32-bit tool (wow64) HKEY_LOCAL_MACHINE's values go to the 32-bit view's own key,
    SOFTWARE\\Wow6432Node, and values_64bit_view to the 64-bit view's. Every other FilePath of
    either view is removed."""
    node = "Wow6432Node\\" if wow64 else ""
    own_view = {HKCU: f"{HKCU}\\{SUBKEY}", HKLM: f"{HKLM}\\SoftWare\\{node}Morvantis"}
    other_view = {HKLM: f"{HKLM}\\{SUBKEY}"} if wow64 else {}
    lines = ["Windows Registry Editor Version 5.00", "",
             "[HKEY_CURRENT_USER\\Software\\Wine]", f'"Version"="{version}"', "",
             "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]", '"RelayInclude"="' + ";".join(relay) + '"', "",
             "[-HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", ""]
    if desktop:
        lines += ["[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="Customer"', "",
                  "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]", f'"Customer"="{desktop}"', ""]
    lines += [f"[-{key}]" for key in [*own_view.values(), *other_view.values()]] + [""]
    for keys, wanted in ((own_view, values), (other_view, values_64bit_view or {})):
        for root, value in wanted.items():
            lines.append(f"[{keys[root]}]")
            if value is not None:
                lines.append(f'"FilePath"=hex({value.kind}):' + ",".join("%02x" % b for b in value.data))
            lines.append("")
    return ("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def executable(path):
    """(bits, (low, high)) of the Windows program at PATH: 32 or 64, and where its image lies once
    loaded at its preferred base, as Wine loads the tool. Raises Failure for anything else."""
    with open(path, "rb") as f:
        headers = f.read(4096)
    try:
        optional = pefile.PE(data=headers, fast_load=True).OPTIONAL_HEADER
    except pefile.PEFormatError as error:
        raise Failure(f"{path}: not a Windows program ({error})") from None
    bits = 64 if optional.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else 32
    return bits, (optional.ImageBase, optional.ImageBase + optional.SizeOfImage)


class CustomerPC:
    """One prefix. tools/wine/wine-run sets up the rest of Wine's environment: no display unless
    asked, no debug output unless asked, no .NET or browser engine."""

    def __init__(self, path, route):
        self.path = os.path.abspath(path)
        self.route = route
        self.drive_c = os.path.join(self.path, "drive_c")

    def wine(self, command, *args):
        return [os.path.join(WINE_TOOLS, "wine-run"), self.route, command, *args]

    def environment(self, locale="zh_CN.UTF-8", extra=None, debug="-all"):
        env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG=debug, LC_ALL=locale, LANG=locale)
        env.update(extra or {})
        return env

    def run(self, args, log, timeout=90, **env):
        """Runs ARGS with its output in LOG.out and LOG.err (Wine's helpers would hold a pipe open)."""
        with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
            return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  env=self.environment(**env), timeout=timeout).returncode

    def ensure(self, persist=60):
        """Makes the prefix where it is not complete, and keeps its server PERSIST seconds."""
        made = subprocess.run([os.path.join(WINE_TOOLS, "wine-exec"), "--persist", str(persist), self.route, self.path],
                              env=self.environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=600)
        check(made.returncode == 0, made.stderr.decode(errors="replace").strip() or "Wine could not make the prefix")

    def set_registry(self, reg_bytes, log):
        with open(log + ".reg", "wb") as f:
            f.write(reg_bytes)
        check(self.run(self.wine("wine", "regedit", "/s", log + ".reg"), log) == 0, "regedit failed")

    def unix_path(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.drive_c, *[p for p in windows_path[3:].split("\\") if p])

    def lay_out(self, files, fresh):
        """Empties the directory FRESH, then makes FILES: {Windows path: "file" | "dir" | "readonly"}."""
        shutil.rmtree(self.unix_path(fresh), ignore_errors=True)
        for windows_path, kind in files.items():
            path = self.unix_path(windows_path)
            if kind == "dir":
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write("fund names of " + windows_path + "\n")
            if kind == "readonly":
                os.chmod(path, 0o444)

    def snapshot(self):
        """{path below drive_c: (mode, size, mtime)} of everything on the disk."""
        files = {}
        for directory, dirs, names in os.walk(self.drive_c):
            for name in dirs + names:
                path = os.path.join(directory, name)
                st = os.lstat(path)
                files[os.path.relpath(path, self.drive_c)] = (st.st_mode, st.st_size, st.st_mtime_ns)
        return files

    def hold(self, holder_exe, windows_path, log):
        """Starts the quotes program's stand-in holding WINDOWS_PATH open, without
        FILE_SHARE_DELETE, and returns it, and the marker whose removal lets go (or a minute), once
        it holds the file."""
        marker = os.path.join(os.path.dirname(self.unix_path(windows_path)), "held.marker")
        windows_marker = windows_path.rsplit("\\", 1)[0] + "\\held.marker"
        with contextlib.suppress(FileNotFoundError):
            os.remove(marker)
        with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
            holder = subprocess.Popen(self.wine("wine", holder_exe, windows_path, windows_marker),
                                      stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=self.environment())
        deadline = time.time() + 60
        while not os.path.exists(marker):
            if holder.poll() is not None or time.time() > deadline:
                holder.kill()
                raise Failure("the stand-in quotes program did not open the table file within 60 s")
            time.sleep(0.05)
        return holder, marker

    @contextlib.contextmanager
    def holding(self, holder_exe, windows_path, log):
        """The stand-in holds WINDOWS_PATH until the block ends."""
        holder, marker = self.hold(holder_exe, windows_path, log)
        try:
            yield holder
        finally:
            with contextlib.suppress(FileNotFoundError):
                os.remove(marker)
            try:
                holder.wait(60)
            except subprocess.TimeoutExpired:
                holder.kill()


def message(trace_text):
    """The text of the first MessageBoxA in a relay trace, as bytes; None where there is none."""
    found = re.search(r'^[0-9a-f]+:Call user32\.MessageBoxA\([0-9a-f]+,[0-9a-f]+ ("(?:[^"\\]|\\.)*")', trace_text, re.M)
    return relaytrace.unquote(found.group(1)) if found else None


DEMO_SCENARIOS = ("installed", "locked", "absent", "unregistered")


def lay_out_demo(pc, version, root, scenario, desktop):
    """The demo's PC: the quotes application installed in C:\\Quotes\\ and, but for
    "unregistered", registered below ROOT; its table file there but for "absent"."""
    files = {"C:\\Quotes\\Quotes.ini": "file"}
    if scenario != "absent":
        files["C:\\Quotes\\FundNameTable.txt"] = "file"
    pc.lay_out(files, fresh="C:\\Quotes\\")
    values = {} if scenario == "unregistered" else {root: sz("C:\\Quotes\\")}
    pc.set_registry(reg_file(version, values, wow64=pc.route == "wow64", relay=["MessageBoxA"], desktop=desktop),
                    os.path.join(os.path.dirname(pc.path), "customer"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    text = commands.add_parser("text")
    text.add_argument("name", choices=sorted(TEXTS))
    commands.add_parser("bits").add_argument("exe")
    demo = commands.add_parser("demo")
    for name in ("prefix", "route", "version", "root"):
        demo.add_argument(name)
    demo.add_argument("scenario", choices=DEMO_SCENARIOS)
    demo.add_argument("--desktop")
    hold = commands.add_parser("hold")
    for name in ("prefix", "route", "holder", "path"):
        hold.add_argument(name)
    said = commands.add_parser("message")
    said.add_argument("trace")
    args = parser.parse_args()
    try:
        if args.command == "text":
            print(TEXTS[args.name])
        elif args.command == "bits":
            print(executable(args.exe)[0])
        elif args.command == "demo":
            lay_out_demo(CustomerPC(args.prefix, args.route), args.version, args.root, args.scenario, args.desktop)
        elif args.command == "hold":
            pc = CustomerPC(args.prefix, args.route)
            pc.hold(args.holder, args.path, os.path.join(os.path.dirname(pc.path), "holder"))
        else:
            with open(args.trace, encoding="latin-1") as f:
                found = message(f.read())
            if found is None:
                return 1
            print(found.decode("gbk", errors="replace"))
    except Failure as failure:
        print(f"customerpc: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
