#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Only packages that are missing are installed; nothing happens when all are there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  pcscd libpcsclite-dev vsmartcard-vpcd pcsc-tools
  libmbedtls-dev libssl-dev openssl opensc
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  softhsm2 procps psmisc binutils
  qt6-base-dev libcurl4-openssl-dev libudev-dev libxcb1-dev
  xvfb xauth trayer x11-apps libnss3-tools gnutls-bin
  dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
