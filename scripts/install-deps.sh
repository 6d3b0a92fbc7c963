#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the utility.
# Idempotent: packages already present are skipped by apt.
set -euo pipefail

PACKAGES=(
  cmake g++ make ninja-build pkg-config git
  qt6-base-dev qt6-multimedia-dev libqt6svg6
  libhidapi-dev libudev-dev
  nlohmann-json3-dev libcli11-dev libssl-dev
  libgtest-dev libgmock-dev
  xvfb xauth fonts-liberation2
  clang clang-format
  desktop-file-utils appstream dpkg-dev file
  umockdev libumockdev-dev libxtst-dev dbus-daemon udev openbox
  lintian scdoc bash-completion
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
