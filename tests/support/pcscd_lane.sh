# Puts a test script into its pcscd lane (see cardsim_harness.h: the same
# lanes, paths and locks). Sourced with $src set to the source tree; it
#   - takes the lane from TESSVIK_TEST_LANE, else from CTest's allocation of
#     the resource "pcscd_lanes", else lane 0, and exports TESSVIK_TEST_LANE;
#   - for lane K > 0 exports PCSCLITE_CSOCK_NAME (the lane's pcscd) and a
#     TESSVIK_LOCK_DIR of the lane's own, which the clients inherit;
#   - sets lane_port, the vpcd port of the lane's first reader;
#   - takes the lane's machine-wide lock on descriptor 9, held until the
#     script ends, and starts the lane's pcscd.
lane=${TESSVIK_TEST_LANE:-}
if [ -z "$lane" ]; then
  allocation=${CTEST_RESOURCE_GROUP_0_PCSCD_LANES:-}  # "id:K,slots:1"
  allocation=${allocation#id:}
  lane=${allocation%%,*}
fi
[[ "$lane" =~ ^[0-9]{1,2}$ ]] || lane=0
export TESSVIK_TEST_LANE=$lane
lane_port=$((35963 + 2 * lane))
lane_lock=/tmp/tessvik-pcscd-tests.lock
if [ "$lane" != 0 ]; then
  export PCSCLITE_CSOCK_NAME=${TESSVIK_PCSCD_DIR:-/run/tessvik-pcscd}/lane-$lane/run/pcscd.comm
  lock_dir=${TESSVIK_LOCK_DIR:-/tmp/tessvik-locks}
  case "$lock_dir" in
    */lane-"$lane") ;;
    *)  # the module makes its lock directory, but not the one above it
      [ -d "$lock_dir" ] || { mkdir -p "$lock_dir" && chmod 1777 "$lock_dir"; }
      lock_dir=$lock_dir/lane-$lane ;;
  esac
  export TESSVIK_LOCK_DIR=$lock_dir
  lane_lock=/tmp/tessvik-pcscd-tests.lane-$lane.lock
fi

# The lock first, as cardsim_harness does: scripts/test.sh stops the lanes it
# started while holding their locks, so a lane running once the lock is held
# keeps running until the script ends.
exec 9>"$lane_lock"
flock -w 300 9 || { echo "pcscd test lock $lane_lock not taken"; exit 1; }
bash "$src/scripts/pcscd.sh" start --lane "$lane" >/dev/null || { echo "pcscd (lane $lane) could not be started"; exit 1; }
