"""The Windows versions Wine can report (the value Version under HKCU\\Software\\Wine), what
GetVersion then says, and the registry root the tool reads below on each: HKEY_CURRENT_USER on
NT 6.0 (Vista) and later, HKEY_LOCAL_MACHINE before. The one table the end-to-end cases and the
demo share.

The shipped 32-bit exe runs under Wine 10, which offers every version here; the 64-bit test build
under the host's Wine 8, which offers all but Windows 11. Both run on a 64-bit prefix, whatever the
version reports: the versions that were only ever 32-bit are that prefix with the version set and
the machine-wide values in the 32-bit view, which is what a 32-bit process reads there.

    windowsversions.py root VERSION BITS    prints the root; exit 2 for a version Wine does not
                                            offer the exe of that bitness
    windowsversions.py names BITS           prints the versions Wine offers the exe of that bitness"""

import sys

HKCU, HKLM = "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"


class Version:
    """windows_bits: the Windows this version was, 32-bit, 64-bit or both; wine: the oldest Wine
    that offers it (8: the host's, 10: the WoW64 route's)."""

    def __init__(self, name, reports, root, windows_bits=(32, 64), wine=8):
        self.name, self.reports, self.root = name, reports, root
        self.windows_bits, self.wine = windows_bits, wine


VERSIONS = [
    Version("win31", "Win32s on Windows 3.1", HKLM, (32,)),
    Version("win95", "Windows 95, 4.0", HKLM, (32,)),
    Version("win98", "Windows 98, 4.10", HKLM, (32,)),
    Version("winme", "Windows Me, 4.90", HKLM, (32,)),
    Version("nt351", "NT 3.51", HKLM, (32,)),
    Version("nt40", "NT 4.0", HKLM, (32,)),
    Version("win2k", "NT 5.0, Windows 2000", HKLM, (32,)),
    Version("winxp", "NT 5.1, Windows XP", HKLM, (32,)),
    # 64-bit XP is NT 5.2, as Server 2003.
    Version("winxp64", "NT 5.2, Windows XP x64", HKLM, (64,)),
    Version("win2003", "NT 5.2, Windows Server 2003", HKLM),
    Version("vista", "NT 6.0, Windows Vista", HKCU),
    Version("win2008", "NT 6.0, Windows Server 2008", HKCU),
    Version("win7", "NT 6.1, Windows 7", HKCU),
    Version("win2008r2", "NT 6.1, Windows Server 2008 R2", HKCU, (64,)),
    Version("win8", "NT 6.2, Windows 8", HKCU),
    Version("win81", "NT 6.3, Windows 8.1", HKCU),
    Version("win10", "NT 10.0, Windows 10", HKCU),
    Version("win11", "NT 10.0, Windows 11", HKCU, (64,), wine=10),
]
BY_NAME = {version.name: version for version in VERSIONS}


def offered(bits):
    """The versions Wine offers the exe of this bitness, oldest first: a 32-bit exe runs under the
    WoW64 route's Wine 10, a 64-bit one under the host's Wine 8."""
    wine = 10 if bits == 32 else 8
    return [version for version in VERSIONS if version.wine <= wine]


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "root":
        version = BY_NAME.get(sys.argv[2])
        if version is None or version not in offered(int(sys.argv[3])):
            names = " ".join(v.name for v in offered(int(sys.argv[3])))
            print(f"not a Windows version Wine offers a {sys.argv[3]}-bit exe: {sys.argv[2]} (one of: {names})",
                  file=sys.stderr)
            return 2
        print(version.root)
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "names":
        print(" ".join(v.name for v in offered(int(sys.argv[2]))))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
