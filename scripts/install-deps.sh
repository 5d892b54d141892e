#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test the server.
# Only missing packages are installed; root or sudo is needed for that.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  qt6-remoteobjects-dev libqt6remoteobjects6-bin
  libqt6svg6
  libsqlite3-dev libsqlitecpp-dev sqlite3
  libgtest-dev
  fonts-noto-cjk
  xvfb x11-apps imagemagick
  util-linux bsdutils
  dbus-daemon
  python3
  openssl libssl3
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "All build and run dependencies are installed."
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
