The README's commands, typed in a fresh clone as a newcomer and a developer type them (user-shell
says how). make check itself, and make demo on a machine new to it, are .ci/run's: it runs both on
its machine and on a plain Debian 12 and 13, and make transcripts after them.

  $ . "$TESTDIR/user-shell"

The demo runs the shipped exe once on a customer's PC it makes, and says what happened (less the
lines it prints while it waits, as many as the machine is slow). Where the shipped exe cannot run
(SHIPPED_EXE_RUNS=no, from tools/wine/runs-32bit-code) it first says so in two lines, and shows the
64-bit build; which of the two it showed must be the machine's answer:

  $ typed make demo | grep -v '^demo: \.\.\. ' | tee demo.out | sed '/^demo: this machine cannot run the shipped/,+1d'
  demo: creating the customer's PC, a fresh Windows in */clone/build/demo/prefix* (glob)
        (the first time only; usually under a minute)
  demo: running FundTableRepair.exe (scenario 'installed', Windows 'win10')
  
    program              build/win(32-release/FundTableRepair.exe, the shipped 32-bit exe|64-release/FundTableRepair.exe, the same source built for 64-bit Windows \(a test build, never shipped\)) (re)
    shown by             wine-(10.* in WoW64 mode, on 64-bit Windows|8.*) (re)
    Windows version      win10 (the tool reads below HKEY_CURRENT_USER)
    looked in            HKEY_CURRENT_USER\SoftWare\Morvantis, value FilePath
    C:\Quotes\FundNameTable.txt   before: present   after: absent
    message              您的程序已经成功修复，请重新启动行情程序。
    screenshot           build/demo/message.png
  $ shipped=$(grep -c -e '/build/demo/prefix$' -e '^  program .*, the shipped 32-bit exe$' -e '^  shown by .* in WoW64 mode, on 64-bit Windows$' demo.out || :)
  $ fallback=$(grep -c -e '^demo: this machine cannot run the shipped' -e '/build/demo/prefix64$' -e '^  program .*64-release.*never shipped)$' -e '^  shown by  *wine-8' demo.out || :)
  $ case $SHIPPED_EXE_RUNS in yes) want="3 0" ;; *) want="0 4" ;; esac
  $ [ "$shipped $fallback" = "$want" ] || echo "lines of the shipped route, of the 64-bit one: $shipped $fallback; this machine's: $want"

  $ typed make demo SCENARIO=locked | tail -n 3
    C:\Quotes\FundNameTable.txt   before: present   after: present
    message              抱歉，修复失败，请拨打客服热线:4870-2316。
    screenshot           build/demo/message.png

  $ typed make demo SCENARIO=absent | tail -n 3
    C:\Quotes\FundNameTable.txt   before: absent   after: absent
    message              您的程序已经成功修复，请重新启动行情程序。
    screenshot           build/demo/message.png

  $ typed make demo SCENARIO=unregistered | tail -n 4
    looked in            HKEY_CURRENT_USER\SoftWare\Morvantis, value FilePath (not there)
    C:\Quotes\FundNameTable.txt   before: present   after: present
    message              抱歉，修复失败，请拨打客服热线:4870-2316。
    screenshot           build/demo/message.png

  $ typed make demo WINDOWS=winxp | tail -n 5
    Windows version      winxp (the tool reads below HKEY_LOCAL_MACHINE)
    looked in            HKEY_LOCAL_MACHINE\SoftWare\Morvantis, value FilePath
    C:\Quotes\FundNameTable.txt   before: present   after: absent
    message              您的程序已经成功修复，请重新启动行情程序。
    screenshot           build/demo/message.png

A developer's commands. make help lists every command:

  $ typed make help | grep '^make '
  make check     install mmdebstrap, bubblewrap and uidmap where missing and make, once per machine,
  make test-PRESET
  make lint      clang-format in check mode, clang-tidy and cppcheck over every C++ source git
  make release   build build/win32-release/FundTableRepair.exe
  make dist      run the end-to-end cases on the exe it ships, then make dist/FundTableRepair.exe,
  make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE] [TSA=CAFILE] [BUILDINFO=FILE]
  make demo      run the shipped tool once on a simulated customer PC (64-bit Windows, Wine 10),
  make bench     the benchmarks on the host and under Wine (32-bit under Wine 10, or 64-bit where
  make fuzz      run each libFuzzer target for FUZZ_SECONDS (default 60), then the generated attacks on
  make transcripts
  make clean     remove build/ and dist/

  $ typed make test-host | grep 'tests passed'
  100% tests passed, 0 tests failed out of [0-9]+ (re)

  $ typed make lint
  lint: clang-format
  lint: clang-tidy
  lint: clang-tidy read [0-9]+ sources (re)
  lint: cppcheck
  lint: clean

The fuzz targets, then the generated attacks on a release:

  $ typed make fuzz | grep 'tests passed'
  100% tests passed, 0 tests failed out of 2
  100% tests passed, 0 tests failed out of 1

  $ typed make bench | grep -E '^(Machine: |\| (benchmark|target) )'
  Machine: .* (re)
  | benchmark | host g++ (ns) | Wine * (ns) | (glob)
  | target | host | Wine | met under Wine |

make clean removes what every command above made.

  $ typed make clean
  rm -rf build dist
  $ ls "$CLONE/build" "$CLONE/dist"
  ls: cannot access '*/clone/build': No such file or directory (glob)
  ls: cannot access '*/clone/dist': No such file or directory (glob)
  [2]
