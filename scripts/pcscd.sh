#!/usr/bin/env bash
# Makes sure pcscd runs with the project's reader configuration
# (config/reader.conf.d: vpcd readers "Quessar vKessa Tavrel 00 00" and
# "... 00 01" on ports 35963 and 35964), which the card simulator connects to.
#
#   scripts/pcscd.sh start [--lane K]   start pcscd with our configuration; a
#                                       pcscd that runs without it (e.g.
#                                       Debian's default, whose vpcd readers are
#                                       "Virtual PCD") is stopped first
#   scripts/pcscd.sh stop [--lane K]    stop the pcscd this script started
#   scripts/pcscd.sh status [--lane K]  exit 0 when our pcscd runs and its
#                                       readers listen
#   scripts/pcscd.sh lanes              the lanes K > 0 whose pcscd runs, one
#                                       a line
#
# Lanes let end-to-end tests run side by side. Lane 0 is the machine's pcscd
# (socket /run/pcscd/pcscd.comm, ports 35963/35964): what applications and the
# demo use. Lane K > 0 is a pcscd of its own with the same two readers on ports
# 35963+2K and 35964+2K; it runs in a mount namespace of its own whose
# /run/pcscd is $state_dir/lane-K/run, so its clients reach it with
# PCSCLITE_CSOCK_NAME=$state_dir/lane-K/run/pcscd.comm. Without --lane, start
# means lane 0 and stop means every lane.
#
# pcscd is one per machine and needs root (it writes /run/pcscd). A non-root
# user runs this script with sudo; see tools/cardsim/README.md.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
src_conf="$here/config/reader.conf.d"
state_dir=${TESSVIK_PCSCD_DIR:-/run/tessvik-pcscd}

# Where lane $1 keeps its configuration, pid and log, and the ports it listens on.
set_lane() {
  lane=$1
  if [ "$lane" -eq 0 ]; then
    lane_dir=$state_dir
    socket=/run/pcscd/pcscd.comm
  else
    lane_dir=$state_dir/lane-$lane
    socket=$lane_dir/run/pcscd.comm
  fi
  conf_dir="$lane_dir/reader.conf.d"
  pid_file="$lane_dir/pcscd.pid"
  log_file="$lane_dir/pcscd.log"
  ports=($((35963 + 2 * lane)) $((35964 + 2 * lane)))
}
set_lane 0

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
  [ -S "$socket" ] || return 1
  for p in "${ports[@]}"; do listening "$p" "$pid" || return 1; done
}

# Waits up to 10 s until the lane's pcscd is ready; 1 when it is not.
wait_ready() {
  local i
  for i in $(seq 1 100); do
    if ready; then return 0; fi
    # Still starting (a lane's pcscd execs after its mount) or gone.
    [ -d "/proc/$(cat "$pid_file" 2>/dev/null)" ] || return 1
    sleep 0.1
  done
  return 1
}

# True while a socket other than one in TIME_WAIT has local port $1: a
# client's outgoing connection may hold it, since the vpcd ports lie in the
# kernel's range of ephemeral ports, and vpcd then cannot listen there.
port_taken() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$2 ~ p"$" && $4 != "06" { found = 1 } END { exit !found }' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# Keeps the kernel from handing the lane's ports to outgoing connections
# (where it lets us: a container may have a read-only /proc/sys).
reserve_ports() {
  local file=/proc/sys/net/ipv4/ip_local_reserved_ports current
  [ -w "$file" ] || return 0
  current=$(cat "$file" 2>/dev/null) || return 0
  echo "${current:+$current,}${ports[0]}-${ports[1]}" >"$file" 2>/dev/null || true
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
  local channel
  channel=$(printf '0x%X' "${ports[0]}")
  sed -e "s|^LIBPATH.*|LIBPATH      $lib|" -e "s|^DEVICENAME.*|DEVICENAME   /dev/null:$channel|" \
    -e "s|^CHANNELID.*|CHANNELID    $channel|" "$src_conf/tessvik-vpcd" >"$conf_dir/tessvik-vpcd"
}

# True when pcscd $1 is one this script started (any lane).
ours() {
  [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "-c $state_dir/"
}

stop_foreign() {
  # A socket-activated system pcscd would come back on the next client.
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    systemctl stop pcscd.socket pcscd.service 2>/dev/null || true
  fi
  local pids="" pid
  for pid in $(pgrep -x pcscd || true); do ours "$pid" || pids="$pids $pid"; done
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

foreign_running() {
  local pid
  for pid in $(pgrep -x pcscd || true); do ours "$pid" || return 0; done
  return 1
}

launch() {
  if [ "$lane" -eq 0 ]; then
    # A pid file left by a pcscd that died would stop the new one.
    rm -f /run/pcscd/pcscd.pid
    setsid pcscd -f -c "$conf_dir" </dev/null >"$log_file" 2>&1 9>&- &
  else
    # pcscd's socket and pid file paths are built in: this lane's pcscd sees
    # its own directory at /run/pcscd.
    command -v unshare >/dev/null || die "lane $lane needs unshare (package util-linux)"
    mkdir -p /run/pcscd "$lane_dir/run"
    rm -f "$lane_dir/run/pcscd.pid"
    setsid unshare --mount --propagation private \
      sh -c 'mount --bind "$1" /run/pcscd && exec pcscd -f -c "$2"' sh "$lane_dir/run" "$conf_dir" \
      </dev/null >"$log_file" 2>&1 9>&- &
  fi
  echo $! >"$pid_file"
}

start() {
  reserve_ports
  if our_pid >/dev/null; then
    # Ours, unless another pcscd holds the vpcd ports or the socket, or it
    # came up without its readers.
    if ! foreign_running && wait_ready; then return 0; fi
    stop_lane
  fi
  [ "$(id -u)" -eq 0 ] || die "pcscd needs root: run 'sudo bash scripts/pcscd.sh start' (see tools/cardsim/README.md)"
  command -v pcscd >/dev/null || die "pcscd is not installed (scripts/deps.sh installs it)"
  stop_foreign
  mkdir -p "$lane_dir"
  write_config
  local attempt p i
  for attempt in 1 2 3; do
    for p in "${ports[@]}"; do
      for i in $(seq 1 300); do port_taken "$p" || break; sleep 0.1; done
    done
    launch
    if wait_ready; then
      echo "pcscd.sh: pcscd $(cat "$pid_file") (lane $lane) runs with readers \"Quessar vKessa Tavrel 00 00\" and \"... 00 01\" on ports ${ports[0]} and ${ports[1]}"
      return 0
    fi
    stop_lane
  done
  [ -f "$log_file" ] && tail -20 "$log_file" >&2
  die "pcscd did not come up with the vpcd readers (log: $log_file)"
}

stop_lane() {
  local pid
  if pid=$(our_pid); then
    kill "$pid"
    for _ in $(seq 1 50); do [ -d "/proc/$pid" ] || break; sleep 0.1; done
    [ -d "/proc/$pid" ] && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$pid_file"
}

# Without a lane: every lane this script started.
stop() {
  if [ -n "$only_lane" ]; then stop_lane; return; fi
  local dir
  stop_lane
  for dir in "$state_dir"/lane-*; do
    [ -d "$dir" ] || continue
    set_lane "${dir##*/lane-}"
    stop_lane
  done
}

status() {
  local pid
  if pid=$(our_pid) && ready; then
    echo "pcscd $pid runs with the project's readers"
    if command -v pcsc_scan >/dev/null; then
      PCSCLITE_CSOCK_NAME=$socket timeout 5 pcsc_scan -r 2>/dev/null || true
    fi
    return 0
  fi
  echo "pcscd with the project's readers is not running"
  return 1
}

lanes() {
  local dir
  for dir in "$state_dir"/lane-*; do
    [[ -d "$dir" && "${dir##*/lane-}" =~ ^[0-9]+$ ]] || continue
    set_lane "${dir##*/lane-}"
    if our_pid >/dev/null; then echo "$lane"; fi
  done
}

# One start or stop at a time (tests of several build trees may call start
# together).
# The lock's descriptor is closed for pcscd itself (9>&- below), so that the
# daemon never holds it.
if mkdir -p "$state_dir" 2>/dev/null && { exec 9>"$state_dir/script.lock"; } 2>/dev/null; then
  flock -w 120 9 || die "another scripts/pcscd.sh holds $state_dir/script.lock"
fi

command=${1:-}
only_lane=
if [ "${2:-}" = --lane ]; then
  [[ "${3:-}" =~ ^[0-9]+$ ]] || die "--lane needs a number"
  only_lane=$3
  set_lane "$only_lane"
fi

case "$command" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  lanes) lanes ;;
  *) echo "usage: $0 start|stop|status [--lane K] | lanes" >&2; exit 2 ;;
esac
