docs/releasing.md's commands, typed in a fresh clone as the vendor's release engineer types them,
with keys and a SoftHSM token made for the run (fixtures) and a time-stamping authority on
127.0.0.1 (tests/release/timestamp-authority). Each release is kept, in a folder whose name has a
space, for verifying.t.

  $ . "$TESTDIR/user-shell"
  $ keep() { mkdir -p "$FIXTURES/vendor release" && cp -r "$CLONE/dist" "$FIXTURES/vendor release/$1"; }

  $ typed make release
  $ ls "$CLONE/build/win32-release/FundTableRepair.exe"
  */clone/build/win32-release/FundTableRepair.exe (glob)

Unsigned: the end-to-end cases first, then the zip and its SHA-256; the sums check every file.

  $ typed make dist
  dist: running the end-to-end cases on build/win32-release/FundTableRepair.exe (about a minute)
  dist/FundTableRepair-*.zip (glob)
  [0-9a-f]{64} (re)
  $ typed 'cd dist && sha256sum -c SHA256SUMS'
  FundTableRepair-*.zip: OK (glob)
  FundTableRepair.exe: OK
  BUILDINFO: OK
  $ typed make verify-release EXE=dist/FundTableRepair.exe | tail -n 1
  matches: .* (re)
  $ keep unsigned

Signed with a key in a PKCS#12 file, then with a timestamp too.

  $ typed "make dist SIGN_PKCS12=$FIXTURES/vendor.p12 SIGN_PASSWORD_FILE=$FIXTURES/vendor.password"
  dist: running the end-to-end cases on build/win32-release/FundTableRepair.exe (about a minute)
  dist/FundTableRepair-*.zip (glob)
  [0-9a-f]{64} (re)
  dist/FundTableRepair.exe: signed, [0-9]+ bytes; SHA256SUMS signed by the same key (re)
  $ vendor=$(cat "$FIXTURES/vendor.fingerprint")
  $ typed "make verify-release EXE=dist/FundTableRepair.exe SIGNER=$vendor" | tail -n 1
  matches: .* (re)
  $ keep p12
  $ typed "make dist SIGN_PKCS12=$FIXTURES/vendor.p12 SIGN_PASSWORD_FILE=$FIXTURES/vendor.password SIGN_TIMESTAMP_URL=$TSA_URL" | tail -n 1
  dist/FundTableRepair.exe: signed, [0-9]+ bytes; SHA256SUMS signed by the same key (re)

Signed with a key that never leaves a token, then with a timestamp too.

  $ typed "SOFTHSM2_CONF=$FIXTURES/softhsm2.conf make dist SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so SIGN_KEY='pkcs11:token=vendor;object=signer;type=private' SIGN_CERT=$FIXTURES/token-chain.pem SIGN_PIN_FILE=$FIXTURES/pin" | tail -n 1
  dist/FundTableRepair.exe: signed, [0-9]+ bytes; SHA256SUMS signed by the same key (re)
  $ typed "SOFTHSM2_CONF=$FIXTURES/softhsm2.conf make dist SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so SIGN_KEY='pkcs11:token=vendor;object=signer;type=private' SIGN_CERT=$FIXTURES/token-chain.pem SIGN_PIN_FILE=$FIXTURES/pin SIGN_TIMESTAMP_URL=$TSA_URL" | tail -n 1
  dist/FundTableRepair.exe: signed, [0-9]+ bytes; SHA256SUMS signed by the same key (re)
  $ typed 'cd dist && sha256sum -c SHA256SUMS'
  FundTableRepair-*.zip: OK (glob)
  FundTableRepair.exe: OK
  BUILDINFO: OK
  $ keep token
