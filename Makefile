SHELL := /bin/bash
# The front door: a thin layer over the CMake presets.
PRESETS := host fuzz win32 win64 win32-release win64-release
FUZZ_SECONDS ?= 60
REQUIRE_32BIT ?= 0
SCENARIO ?= installed

# Settings reach the tools through the environment as they were typed (FUNDTABLE_EXE, say): make
# expands nothing in them and no shell parses them, so quotes, backquotes, $(...) and spaces are
# only characters. A setting given empty stays told apart from one not given.
SETTINGS := EXE SIGNER TRUST TSA BUILDINFO SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERT \
            SIGN_PIN_FILE SIGN_TIMESTAMP_URL
$(foreach v,$(SETTINGS),$(if $(filter undefined,$(origin $v)),,\
  $(eval override $v := $$(value $v))$(eval export FUNDTABLE_$v := $$(value $v))))

# Everything but bootstrap runs in the Debian 12 toolchain root (tools/machine/in-root), whatever
# Debian the machine runs.
in-root := tools/machine/in-root toolchain

.PHONY: help check lint bench bootstrap $(PRESETS:%=test-%) release dist verify-release demo fuzz transcripts clean

help:
	@echo "make check     install mmdebstrap, bubblewrap and uidmap where missing and make, once per machine,"
	@echo "               the two Debian roots everything runs in (Debian 12: the toolchain and Wine 8;"
	@echo "               Debian 13: Wine 10, which runs 32-bit programs in WoW64 mode), then build and"
	@echo "               test every preset:"
	@echo "                 host (g++ with AddressSanitizer + UBSan), fuzz (libFuzzer, a few seconds each),"
	@echo "                 win32 (unit tests under Wine 10, WoW64),"
	@echo "                 win32-release (the shipped FundTableRepair.exe and its end-to-end tests under"
	@echo "                   Wine 10, WoW64: a 32-bit process on 64-bit Windows, as customers run it),"
	@echo "                 win64, win64-release (the same, built for 64-bit Windows, under Wine 8)"
	@echo "               then builds the benchmark presets and runs the lint. Where the WoW64 route"
	@echo "               cannot run, the 32-bit build's tests are reported skipped, with the reason. One"
	@echo "               at a time per tree: a second make check waits"
	@echo "REQUIRE_32BIT=1"
	@echo "               make check fails, at once and saying why, where the shipped 32-bit exe cannot"
	@echo "               run, and if any of its tests was skipped; make transcripts, if a transcript was"
	@echo "               skipped for it: CI sets it unless tools/wine/runs-32bit-code --machine finds"
	@echo "               a machine that runs no 32-bit code at all"
	@echo "make test-PRESET"
	@echo "               build and test one preset, holding its tree's lock: $(PRESETS)"
	@echo "FUNDTABLE_NO_32BIT=1"
	@echo "               take this machine as one where the shipped exe cannot run (make check, make demo,"
	@echo "               make bench): rehearses the 64-bit fallback anywhere. tools/wine/runs-32bit-code says"
	@echo "               whether and under which Wine the shipped exe runs here"
	@echo "make lint      clang-format in check mode, clang-tidy and cppcheck over every C++ source git"
	@echo "               tracks (the Win32-only ones as the MinGW-w64 target); fails on any finding"
	@echo "make release   build build/win32-release/FundTableRepair.exe"
	@echo "make dist      run the end-to-end cases on the exe it ships, then make dist/FundTableRepair.exe,"
	@echo "               dist/FundTableRepair-<version>.zip (the exe and a note for support staff),"
	@echo "               dist/BUILDINFO (version, commit, toolchain, proof) and dist/SHA256SUMS; unsigned,"
	@echo "               the same bytes from any clean clone of a commit with the same toolchain. Refuses"
	@echo "               while files git does not track sit in the checkout (build/ and dist/ aside). Signs"
	@echo "               the exe (Authenticode, SHA-256), and SHA256SUMS (SHA256SUMS.p7s) with the same key,"
	@echo "               in a token:"
	@echo "                 SIGN_PKCS11_MODULE=LIB SIGN_KEY=pkcs11:URI SIGN_CERT=PEM SIGN_PIN_FILE=FILE"
	@echo "               or in a file: SIGN_PKCS12=FILE SIGN_PASSWORD_FILE=FILE;"
	@echo "               SIGN_TIMESTAMP_URL=URL adds an RFC 3161 timestamp"
	@echo "make verify-release EXE=FILE [SIGNER=FINGERPRINT] [TRUST=CAFILE] [TSA=CAFILE] [BUILDINFO=FILE]"
	@echo "               whether FILE, signed or not, is byte for byte the exe this checkout builds, in"
	@echo "               the toolchain root (it installs nothing). Every input read once; the signature,"
	@echo "               certificates, PE headers and zip parsed with Debian's parsers and held to one"
	@echo "               allowlist (tools/python/fundrelease/policy.py). Who signed is established only by"
	@echo "               the signer certificate's SHA-256 fingerprint (SIGNER) or its chain to a CA"
	@echo "               (TRUST), timestamps only against TSA; the release folder (BUILDINFO's, default"
	@echo "               beside FILE) must be exactly what dist makes, SHA256SUMS.p7s by the same signer."
	@echo "               An empty SIGNER=, TRUST= or TSA= is an error. docs/verifying.md says more"
	@echo "make demo      run the shipped tool once on a simulated customer PC (64-bit Windows, Wine 10),"
	@echo "               in Chinese; with no DISPLAY the box is saved to build/demo/message.png. Where the"
	@echo "               shipped exe cannot run, the same source built for 64-bit Windows, and it says so."
	@echo "               SCENARIO= one of:"
	@echo "                 installed     (default) the table file is removed: the success message"
	@echo "                 locked        the quotes program holds the file open: the failure message"
	@echo "                 absent        the file is already gone: the success message"
	@echo "                 unregistered  no install directory in the registry: the failure message"
	@echo "               WINDOWS= the Windows version Wine reports: $$($(in-root) tools/python/run fundtable.windowsversions names 32 2>/dev/null || echo "(make bootstrap, then make help lists them)")"
	@echo "                 (all but win11 where the demo shows the 64-bit build); default win10"
	@echo "               DEMO_BOX_SECONDS= how long to wait for the box (default 240)"
	@echo "make bench     the benchmarks on the host and under Wine (32-bit under Wine 10, or 64-bit where"
	@echo "               the shipped exe cannot run), as a table; BENCH_MIN_TIME= seconds of each of a"
	@echo "               benchmark's five runs (default 0.2)"
	@echo "make fuzz      run each libFuzzer target for FUZZ_SECONDS (default 60), then the generated attacks on"
	@echo "               a genuine release (tests/release/properties.py) for as long, from fresh seeds"
	@echo "make transcripts"
	@echo "               every command README.md, docs/ and this help give, typed as a reader types it"
	@echo "               (tests/docs, Debian's cram), each in your login shell in a fresh clone of HEAD"
	@echo "               under build/transcripts: its exit status and the lines it is said to print."
	@echo "               First fails if a page gives a command that no transcript types. Where the"
	@echo "               shipped exe cannot run, the release pages' transcripts are skipped, saying why"
	@echo "               (make dist refuses there). 11-30 minutes"
	@echo "make clean     remove build/ and dist/"
	@echo "The scripts behind these, by job: tools/machine (what the machine needs), tools/wine (Wine,"
	@echo "the customer's PC, the demo), tools/checks (builds, tests, lint, benchmarks), tools/release;"
	@echo "the Python they run is two packages in tools/python: fundtable (the harness) and fundrelease"
	@echo "(dist, signing, verification), which uses nothing of the harness. README's Layout says more."

bootstrap:
	@tools/machine/bootstrap

# Every preset, the benchmarks' builds and the lint (tools/checks/check says how).
check:
	@REQUIRE_32BIT=$(REQUIRE_32BIT) tools/checks/check $(PRESETS)

lint: bootstrap
	@$(in-root) tools/checks/lint

$(PRESETS:%=test-%): test-%: bootstrap
	@$(in-root) tools/checks/build-preset --test $*

release: bootstrap
	@$(in-root) tools/checks/build-preset win32-release

# Each fuzz target for FUZZ_SECONDS, then the release's generated attacks for as long from fresh
# seeds; make check runs the targets for the fuzz preset's few seconds each, and the attacks from one seed.
fuzz: bootstrap
	@$(in-root) tools/checks/build-preset --test fuzz -DFUZZ_SECONDS=$(FUZZ_SECONDS) -- -V | \
	 grep -E 'Test +#|^[0-9]+: (Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb))|% tests passed'; \
	 status=$${PIPESTATUS[0]}; \
	 $(in-root) tools/checks/build-preset --test win32-release -DRELEASE_FUZZ_SECONDS=$(FUZZ_SECONDS) -- \
	   -R '^release\.properties$$' -V | grep -E 'Test +#|^[0-9]+: (seed|FAIL|[0-9]+ generated)|% tests passed'; \
	 attacks=$${PIPESTATUS[0]}; [ $$status = 0 ] && [ $$attacks = 0 ]

# Google Benchmark on the host and, cross-built from Debian's source package, under Wine: 32-bit,
# or 64-bit where the shipped exe cannot run. BENCH_MIN_TIME: seconds of each of a benchmark's five
# runs (default 0.2).
bench: bootstrap
	@$(in-root) bash -c 'tools/checks/fetch-benchmark-source build/third_party/benchmark && \
	bits=$$(tools/wine/runs-32bit-code >/dev/null && echo 32 || echo 64) && \
	for preset in bench-host bench-win$$bits; do tools/checks/build-preset $$preset >/dev/null || exit 1; done && \
	tools/checks/bench $$bits'

# Signed when given a key: SIGN_PKCS12 and SIGN_PASSWORD_FILE for a key in a file, or
# SIGN_PKCS11_MODULE, SIGN_KEY, SIGN_CERT and SIGN_PIN_FILE for one in a token; a password or PIN
# stays in its file. tools/release/dist reads them from the environment. The end-to-end cases run first, on
# the shipped exe, and BUILDINFO records them.
dist: release
	@rm -rf dist && tools/release/dist build/win32-release/FundTableRepair.exe dist --prove build/win32-release

# Installs nothing: tools/release/verify-release builds the exe itself, in the toolchain root. make's
# own status is 2 for a failed check and for a wrong setting alike; its last line has the script's.
verify-release:
	@tools/release/verify-release

# The shipped exe, or where it cannot run the 64-bit build of the same source.
# DEMO_BOX_SECONDS: how long the demo waits for the box (default 240).
demo: bootstrap
	@$(in-root) tools/wine/demo $(SCENARIO)

# The documented commands, typed as a reader types them (tools/checks/transcripts says how).
transcripts: bootstrap
	@REQUIRE_32BIT=$(REQUIRE_32BIT) tools/checks/transcripts

clean:
	rm -rf build dist
