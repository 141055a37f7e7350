#!/usr/bin/env bash
# Installs the Debian 12 packages Pelorin needs to build, run and test.
# Only what is missing is installed; nothing comes from outside Debian.
# Arguments name further packages a stage of the test command needs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libsecret-1-dev
  zlib1g-dev
  libvncserver-dev
  clang libclang-rt-14-dev
  tigervnc-standalone-server tigervnc-tools
  xvfb openbox xdotool x11-xserver-utils x11-utils
  dbus dbus-x11 gnome-keyring libsecret-tools
  fonts-dejavu-core
  openssl
  file desktop-file-utils appstream lintian
  python3-pyatspi at-spi2-core imagemagick
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
