#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package that building, running and testing Quillfeed needs.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libvulkan-dev libxkbcommon-dev
  libsane-dev libtiff-dev libqpdf-dev zlib1g-dev libdeflate-dev libjpeg-dev libssl-dev libcurl4-openssl-dev
  libzbar-dev
  # run
  libqt6widgets6 libqt6network6 libcurl4 qt6-qpa-plugins libsane1 sane-utils xdg-utils libzbar0
  # Liberation Sans has the metrics of the fonts the windows were laid out with
  fonts-liberation2
  # tests and their peers
  clang libclang-rt-14-dev clang-format
  dbus-daemon python3 python3-werkzeug python3-h2 tinyproxy openssl poppler-utils qpdf curl
  # the page judgement's tests print QR codes on their pages
  libqrencode-dev
  # benchmarks and packaging
  nginx-light img2pdf dpkg-dev file desktop-file-utils time lintian groff-base
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The packaged services must not run on their own: tests and benchmarks start
# their own instances on loopback ports.
for svc in nginx tinyproxy; do
  if command -v systemctl >/dev/null 2>&1; then
    $SUDO systemctl disable --now "$svc" >/dev/null 2>&1 || true
  fi
  $SUDO service "$svc" stop >/dev/null 2>&1 || true
done
