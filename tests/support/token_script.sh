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
#   stop_card         takes the card out (ends the simulator)
#   wait_for_token    waits, bounded, until the module lists a token
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

source "$src/tests/support/pcscd_lane.sh"

work=$(mktemp -d)
sim=
stop_card() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; fi
  sim=
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

# The module lists a token once pcscd has seen the card (pcscd polls the vpcd
# reader every 0.4 s); each try is a fresh client process, up to 10 s.
wait_for_token() {
  local deadline=$((SECONDS + 10))
  while [ "$SECONDS" -le "$deadline" ]; do
    "${preload[@]}" "$tool" --module "$module" --list-token-slots 2>/dev/null | grep -q 'token label' &&
      return 0
    sleep 0.05  # poll interval of the bounded wait
  done
  echo "FAIL: the card did not show up"
  exit 1
}

start_card() {
  "$cardsim" --port "$lane_port" "$@" --image "$work/token.img" >>"$work/cardsim.log" 2>&1 &
  sim=$!
  wait_for_token
}
