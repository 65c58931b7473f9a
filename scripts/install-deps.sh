#!/usr/bin/env bash
# Installs what the build and the tests need, and only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev
  libusb-1.0-0-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core fonts-dejavu-extra
  clang-format
  lighttpd curl libssl-dev
  libsqlite3-dev
)

# `install-deps.sh fuzz`: also clang with its libFuzzer and sanitizer runtimes (make fuzz).
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq || true
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
