#!/usr/bin/env bash
# Makes sure pcscd runs with the project's reader configuration
# (config/reader.conf.d: vpcd readers "Quessar vKessa Tavrel 00 00" and
# "... 00 01" on ports 35963 and 35964), which the card simulator connects to.
#
#   scripts/pcscd.sh start    start pcscd with our configuration; a pcscd that
#                             runs without it (e.g. Debian's default, whose vpcd
#                             readers are "Virtual PCD") is stopped first
#   scripts/pcscd.sh stop     stop the pcscd this script started
#   scripts/pcscd.sh status   exit 0 when our pcscd runs and its readers listen
#
# pcscd is one per machine and needs root (it writes /run/pcscd). A non-root
# user runs this script with sudo; see tools/cardsim/README.md.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
src_conf="$here/config/reader.conf.d"
state_dir=${TESSVIK_PCSCD_DIR:-/run/tessvik-pcscd}
conf_dir="$state_dir/reader.conf.d"
pid_file="$state_dir/pcscd.pid"
log_file="$state_dir/pcscd.log"
ports=(35963 35964)

die() { echo "pcscd.sh: $*" >&2; exit 1; }

# True when process $2 listens on TCP port $1. Read from /proc, so nothing
# connects: a connection to a vpcd port would insert a card.
listening() {
  local hex inodes inode
  hex=$(printf '%04X' "$1")
  inodes=$(awk -v p=":$hex" '$2 ~ p"$" && $4 == "0A" { print $10 }' /proc/net/tcp /proc/net/tcp6 2>/dev/null)
  [ -n "$inodes" ] || return 1
  # A non-root user cannot see root's descriptors: any listener will do.
  [ -r "/proc/$2/fd" ] || return 0
  for inode in $inodes; do
    if ls -l "/proc/$2/fd" 2>/dev/null | grep -q "socket:\[$inode\]"; then return 0; fi
  done
  return 1
}

our_pid() {
  [ -f "$pid_file" ] || return 1
  local pid
  pid=$(cat "$pid_file")
  [ -n "$pid" ] && [ -d "/proc/$pid" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- "-c $conf_dir" || return 1
  echo "$pid"
}

ready() {
  local p pid
  pid=$(our_pid) || return 1
  [ -S /run/pcscd/pcscd.comm ] || return 1
  for p in "${ports[@]}"; do listening "$p" "$pid" || return 1; done
}

wait_ready() {
  local i
  for i in $(seq 1 100); do
    if ready; then return 0; fi
    if ! our_pid >/dev/null; then break; fi
    sleep 0.1
  done
  [ -f "$log_file" ] && tail -20 "$log_file" >&2
  die "pcscd did not come up with the vpcd readers (log: $log_file)"
}

# The configuration pcscd reads: our file only, with the vpcd driver's path
# of this machine when it differs from the Debian one in the repository.
write_config() {
  mkdir -p "$conf_dir"
  rm -f "$conf_dir"/*
  local lib
  lib=$(sed -n 's/^LIBPATH[[:space:]]*//p' "$src_conf/tessvik-vpcd")
  if [ ! -e "$lib" ]; then
    lib=$(find /usr/lib /usr/local/lib /usr/lib64 -name 'libifdvpcd.so*' 2>/dev/null | head -1 || true)
    [ -n "$lib" ] || die "the vpcd driver (libifdvpcd.so, package vsmartcard-vpcd) is not installed"
  fi
  sed "s|^LIBPATH.*|LIBPATH      $lib|" "$src_conf/tessvik-vpcd" >"$conf_dir/tessvik-vpcd"
}

stop_foreign() {
  # A socket-activated system pcscd would come back on the next client.
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    systemctl stop pcscd.socket pcscd.service 2>/dev/null || true
  fi
  local pids pid
  pids=$(pgrep -x pcscd || true)
  [ -z "$pids" ] && return 0
  for pid in $pids; do
    echo "pcscd.sh: stopping pcscd $pid, which runs without the project's readers" >&2
    kill "$pid" 2>/dev/null || true
  done
  for pid in $pids; do
    for _ in $(seq 1 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
    [ -d "/proc/$pid" ] && kill -9 "$pid" 2>/dev/null || true
  done
  return 0
}

start() {
  local pid
  if pid=$(our_pid); then
    # Ours, unless another pcscd holds the vpcd ports or the socket.
    if [ "$(pgrep -x pcscd | grep -vx "$pid" | wc -l)" -eq 0 ]; then wait_ready; return 0; fi
    stop
  fi
  [ "$(id -u)" -eq 0 ] || die "pcscd needs root: run 'sudo bash scripts/pcscd.sh start' (see tools/cardsim/README.md)"
  command -v pcscd >/dev/null || die "pcscd is not installed (scripts/deps.sh installs it)"
  stop_foreign
  mkdir -p "$state_dir"
  write_config
  # A pid file left by a pcscd that died would stop the new one.
  rm -f /run/pcscd/pcscd.pid
  setsid pcscd -f -c "$conf_dir" </dev/null >"$log_file" 2>&1 9>&- &
  echo $! >"$pid_file"
  wait_ready
  echo "pcscd.sh: pcscd $(cat "$pid_file") runs with readers \"Quessar vKessa Tavrel 00 00\" and \"... 00 01\""
}

stop() {
  local pid
  if pid=$(our_pid); then
    kill "$pid"
    for _ in $(seq 1 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
    [ -d "/proc/$pid" ] && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$pid_file"
}

status() {
  local pid
  if pid=$(our_pid) && ready; then
    echo "pcscd $pid runs with the project's readers"
    if command -v pcsc_scan >/dev/null; then timeout 5 pcsc_scan -r 2>/dev/null || true; fi
    return 0
  fi
  echo "pcscd with the project's readers is not running"
  return 1
}

# One start or stop at a time (tests of several build trees may call start
# together).
# The lock's descriptor is closed for pcscd itself (9>&- below), so that the
# daemon never holds it.
if mkdir -p "$state_dir" 2>/dev/null && { exec 9>"$state_dir/script.lock"; } 2>/dev/null; then
  flock -w 120 9 || die "another scripts/pcscd.sh holds $state_dir/script.lock"
fi

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) echo "usage: $0 start|stop|status" >&2; exit 2 ;;
esac
