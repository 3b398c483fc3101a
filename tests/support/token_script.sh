# Shared start of the script tests that drive the module with client programs
# (pkcs11-tool, NSS, GnuTLS) on a simulated token in the first reader of
# their lane.
# Sourced after the script has set
#   tool       the client that lists tokens (pkcs11-tool)
#   module     the module to load (the test build, libTessvik_testing.so)
#   cardsim    the simulator
#   sanitized  1 when the module is built with AddressSanitizer
# It puts the script into its pcscd lane (pcscd_lane.sh: the lane's pcscd,
# its machine-wide lock held until the script ends), makes the scratch
# directory $work (removed at exit together with a running simulator) and
# provides:
#   preload           command prefix that loads the ASan runtime into a client
#                     of the sanitized module (empty otherwise); the simulator
#                     and openssl run without it
#   start_card ARGS   starts the simulator in the lane's first reader
#                     (cardsim --port P ARGS --image $work/token.img)
#                     and waits until the module lists its token
#   stop_card         takes the card out (ends the simulator) and waits until
#                     pcscd shows the reader empty
#   wait_for_token    waits, bounded, until pcscd shows the card, and checks
#                     that the module lists its token
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

source "$src/tests/support/pcscd_lane.sh"

work=$(mktemp -d)
sim=
stop_card() {
  if [ -n "$sim" ]; then
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    sim=
    "$wait_reader" empty 10 || { echo "FAIL: the card did not go"; exit 1; }
  fi
}
cleanup() {
  stop_card
  rm -rf "$work"
}
trap cleanup EXIT

preload=()
if [ "$sanitized" = 1 ]; then
  # The sanitized module needs the ASan runtime loaded first into the client.
  preload=(env "LD_PRELOAD=$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0)
fi

# Card insertion and removal wait, bounded, until pcscd shows the lane's first
# reader with the card or empty (wait_reader blocks on PC/SC: no polling); a
# fresh client then lists the token at once.
wait_reader=$(dirname "$module")/wait_reader
wait_for_token() {
  "$wait_reader" present 10 || { echo "FAIL: the card did not show up"; exit 1; }
  "${preload[@]}" "$tool" --module "$module" --list-token-slots 2>/dev/null | grep -q 'token label' ||
    { echo "FAIL: the module does not list the card's token"; exit 1; }
}

start_card() {
  "$cardsim" --port "$lane_port" "$@" --image "$work/token.img" >>"$work/cardsim.log" 2>&1 &
  sim=$!
  wait_for_token
}
