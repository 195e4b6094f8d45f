docs/verifying.md's commands, typed in a fresh clone as the customer's IT types them, on the
releases releasing.t made (in a folder whose name has a space): unsigned, signed with the key in a
file, and signed in a token with a timestamp.

  $ . "$TESTDIR/user-shell"
  $ release="$FIXTURES/vendor release"
  $ ca=$FIXTURES/ca.pem tsa=$FIXTURES/tsa/tsa.pem
  $ vendor=$(cat "$FIXTURES/vendor.fingerprint") token=$(cat "$FIXTURES/token.fingerprint")

Through make: the last line says the outcome.

  $ typed "make verify-release EXE='$release/unsigned/FundTableRepair.exe'" | tail -n 1
  matches: .* (re)
Who signed, and when, each said once (sorted here; the report says it per signature):

  $ typed "make verify-release EXE='$release/p12/FundTableRepair.exe' SIGNER=$vendor" | grep -E '^ +signer: |^matches' | sort -u
        signer:   established: its SHA-256 fingerprint is the one given
  matches: .* (re)
  $ typed "make verify-release EXE='$release/token/FundTableRepair.exe' TRUST=$ca" | grep -E '^ +(signer|timestamp): |^matches' | sort -u
        signer:   established: it chains to a certificate in */fixtures/ca.pem * (glob)
      timestamp:  .*: not verified .* (re)
  matches: .* (re)
  $ typed "make verify-release EXE='$release/token/FundTableRepair.exe' TRUST=$ca TSA=$tsa" | grep -E '^ +timestamp: '
      timestamp:  .*: verified against .* (re)

The exe alone, its release folder named by BUILDINFO:

  $ mkdir -p "$FIXTURES/exe alone" && cp "$release/p12/FundTableRepair.exe" "$FIXTURES/exe alone/"
  $ typed "make verify-release EXE='$FIXTURES/exe alone/FundTableRepair.exe' SIGNER=$vendor BUILDINFO='$release/p12/BUILDINFO'" | tail -n 1
  matches: .* (re)

A failed check: make's own status is 2, and its last line has the script's 1.

  $ typed "make verify-release EXE='$release/p12/FundTableRepair.exe' SIGNER=$token" | tail -n 2
  but .*: do not ship this file (re)
  make: \*\*\* \[Makefile:[0-9]+: verify-release\] Error 1 (re)
  [2]

The script itself: 0, every check passed; 1, one failed; 2, a setting is wrong.

  $ typed "tools/release/verify-release '$release/token/FundTableRepair.exe'" | tail -n 1
  matches: .* (re)
  $ typed "tools/release/verify-release '$release/token/FundTableRepair.exe' --signer $token --trust $ca --tsa $tsa" | tail -n 1
  matches: .* (re)
  $ typed "tools/release/verify-release '$FIXTURES/exe alone/FundTableRepair.exe' --buildinfo '$release/p12/BUILDINFO'" | tail -n 1
  matches: .* (re)
  $ typed "tools/release/verify-release '$release/token/FundTableRepair.exe' --signer $vendor" | tail -n 1
  but .*: do not ship this file (re)
  [1]
  $ typed "tools/release/verify-release '$release/token/FundTableRepair.exe' --trust ''"
  verify-release: .* (re)
  [2]
