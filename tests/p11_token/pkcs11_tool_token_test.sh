#!/usr/bin/env bash
# pkcs11-tool against the module with a simulated token in the first reader:
#   pkcs11_tool_token_test.sh PKCS11_TOOL MODULE CARDSIM SOURCE_DIR SANITIZED(0/1)
# Needs pcscd with the project's readers (started here when none runs). Takes
# the machine-wide lock of the pcscd tests while the card is in the reader,
# and leaves the reader empty.
set -u
tool=$1 module=$2 cardsim=$3 src=$4 sanitized=$5

source "$(dirname "$0")/../support/token_script.sh"

fail=0
out=
# run EXPECTED_EXIT ARGS...: pkcs11-tool with the module; its output in $out.
run() {
  local want=$1
  shift
  out=$("${preload[@]}" "$tool" --module "$module" "$@" 2>&1)
  local rc=$?
  printf '$ pkcs11-tool %s\n%s\n(exit %s)\n' "$*" "$out" "$rc"
  [ "$rc" = "$want" ] || { echo "FAIL: exit $rc, expected $want"; fail=1; }
}
check() { grep -qE "$1" <<<"$out" || { echo "FAIL: missing: $1"; fail=1; }; }

# Without --oem: the simulator's own default is a token the module lists.
start_card

run 0 --list-slots
check '^Slot 0 \(0x0\): Tavrel Token PKCS11 Module V1 0$'
check 'token label +: Oskarvel$'
check 'token manufacturer +: Quessar$'
check 'token model +: OskarvelA$'
check 'token flags +:.*token initialized'
check 'pin min/max +: 4/16$'

run 0 --list-token-slots
check '^Slot 0 \(0x0\)'
check 'user PIN to be changed'
[ "$(grep -c '^Slot ' <<<"$out")" = 1 ] || { echo "FAIL: one token slot expected"; fail=1; }

# A fresh token has no user PIN yet: the SO sets one.
run 1 --login --pin 58204716 --list-objects
check 'CKR_USER_PIN_NOT_INITIALIZED'
run 0 --login --login-type so --so-pin pevot --init-pin --new-pin 11112222
check 'User PIN successfully initialized'
run 0 --login --pin 11112222 --list-objects
run 0 --list-token-slots
check 'PIN initialized'

run 0 --change-pin --pin 11112222 --new-pin 33334444
check 'PIN successfully changed'
run 1 --login --pin 11112222 --list-objects
check 'CKR_PIN_INCORRECT'
run 0 --login --pin 33334444 --list-objects

run 0 --list-mechanisms
check '^Supported mechanisms:$'
check 'RSA-PKCS, keySize=\{1024,2048\}'

# The user PIN locked after its tries; the SO unlocks it.
for _ in $(seq 9); do "${preload[@]}" "$tool" --module "$module" --login --pin 00000000 --list-objects >/dev/null 2>&1; done
run 1 --login --pin 00000000 --list-objects
check 'CKR_PIN_LOCKED'
run 0 --list-token-slots
check 'user PIN locked'
# pkcs11-tool unblocks with C_SetPIN(unblocking code, new PIN) while nobody is
# logged in: the SO PIN is the unblocking code.
run 0 --unlock-pin --puk pevot --new-pin 55556666
run 0 --login --pin 55556666 --list-objects
run 0 --list-token-slots
if grep -q 'user PIN locked' <<<"$out"; then echo "FAIL: still locked"; fail=1; fi

run 0 --init-token --label 'demo token' --so-pin pevot
check 'Token successfully initialized'
run 0 --list-token-slots
check 'token label +: demo token$'
run 1 --login --pin 55556666 --list-objects
check 'CKR_USER_PIN_NOT_INITIALIZED'
run 0 --login --login-type so --so-pin pevot --session-rw --list-objects

exit $fail
