#!/usr/bin/env bash
# Installs every Debian package the project needs to build, run and test.
# Idempotent: apt-get skips what is already there. Must run as root.
set -euo pipefail

packages=(
  # toolchain
  cmake g++ ninja-build pkg-config clang libclang-rt-14-dev
  # libraries
  qtbase5-dev qtbase5-dev-tools libpugixml-dev libboost-dev libboost-locale-dev
  libpcsclite-dev libp11-kit-dev libssl-dev libcurl4-openssl-dev
  # test frameworks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the demo drives the real window; the report benchmark's peer module
  xdotool opensc-pkcs11
  # runtime peers used by the tests
  pcscd vsmartcard-vpcd pcsc-tools opensc softhsm2
  python3 libplist-utils libplist-dev libccid locales
  xvfb xauth imagemagick fonts-dejavu-core
  iproute2 procps util-linux openssl
  # the save tests mount a small, full ext2 disk from an image
  e2fsprogs mount
  # zone data: dates are tested under named zones, not UTC alone
  tzdata
  # holds the PC/SC socket and starts the daemon on demand, as desktops do
  systemd
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: must run as root (apt-get install)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -o DPkg::Lock::Timeout=300
apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}"
