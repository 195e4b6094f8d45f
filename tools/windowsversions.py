"""The Windows versions Wine 8 can report (the value Version under HKCU\\Software\\Wine), what
GetVersion then says, and the registry root the tool reads below on each: HKEY_CURRENT_USER on
NT 6.0 (Vista) and later, HKEY_LOCAL_MACHINE before. The one table the end-to-end cases and the
demo share.

    windowsversions.py root VERSION BITS    prints the root; exit 2 for a version Wine does not
                                            offer on a prefix of that bitness
    windowsversions.py names BITS           prints the versions a prefix of that bitness offers"""

import sys

HKCU, HKLM = "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"


class Version:
    def __init__(self, name, reports, root, bits=(32, 64)):
        self.name, self.reports, self.root, self.bits = name, reports, root, bits


VERSIONS = [
    Version("win31", "Win32s on Windows 3.1", HKLM),
    Version("win95", "Windows 95, 4.0", HKLM),
    Version("win98", "Windows 98, 4.10", HKLM),
    Version("winme", "Windows Me, 4.90", HKLM),
    Version("nt351", "NT 3.51", HKLM),
    Version("nt40", "NT 4.0", HKLM),
    Version("win2k", "NT 5.0, Windows 2000", HKLM),
    Version("winxp", "NT 5.1, Windows XP", HKLM),
    # 64-bit XP is NT 5.2, as Server 2003; Wine offers it on 64-bit prefixes only.
    Version("winxp64", "NT 5.2, Windows XP x64", HKLM, bits=(64,)),
    Version("win2003", "NT 5.2, Windows Server 2003", HKLM),
    Version("vista", "NT 6.0, Windows Vista", HKCU),
    Version("win2008", "NT 6.0, Windows Server 2008", HKCU),
    Version("win7", "NT 6.1, Windows 7", HKCU),
    Version("win2008r2", "NT 6.1, Windows Server 2008 R2", HKCU),
    Version("win8", "NT 6.2, Windows 8", HKCU),
    Version("win81", "NT 6.3, Windows 8.1", HKCU),
    Version("win10", "NT 10.0, Windows 10", HKCU),
]
BY_NAME = {version.name: version for version in VERSIONS}


def offered(bits):
    """The versions a prefix of this bitness offers, oldest first."""
    return [version for version in VERSIONS if bits in version.bits]


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "root":
        version = BY_NAME.get(sys.argv[2])
        if version is None or int(sys.argv[3]) not in version.bits:
            names = " ".join(v.name for v in offered(int(sys.argv[3])))
            print(f"not a Windows version Wine offers on a {sys.argv[3]}-bit prefix: {sys.argv[2]} (one of: {names})",
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
