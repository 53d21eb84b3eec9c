#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts Quillfeed on a virtual display with the desktop's accessibility bus on and
# prints what a screen reader reads of its main window over AT-SPI, then presses
# Force Transfer through AT-SPI and prints the status box's text changes it was told of.
#   bash scripts/atspi-dump.sh [build folder, default build]
# Needs Xvfb, at-spi2-core and pyatspi (installed with apt-get when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
need=()
command -v Xvfb >/dev/null || need+=(xvfb)
command -v dbus-run-session >/dev/null || need+=(dbus)
[ -x /usr/libexec/at-spi-bus-launcher ] || need+=(at-spi2-core)
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null || need+=(python3-pyatspi gir1.2-atspi-2.0 python3-gi)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prog" "$work/home/TAVScans"
cp "$build/bin/quillfeed" "$build/bin/tiff2pdf" "$work/prog/"
printf 'Front Office\r\nhttp://127.0.0.1:9/upload\r\n%s\r\n' "$work/home/TAVScans" > "$work/prog/settings.txt"

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"
dbus-run-session -- bash -c '
  set -euo pipefail
  Xvfb :97 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$!
  export DISPLAY=:97 QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 & bus=$!
  sleep 1
  "$0/prog/quillfeed" >/dev/null 2>&1 & app=$!
  sleep 3
  /usr/bin/python3 "$1" quillfeed || true
  kill $app $bus $xvfb 2>/dev/null || true
' "$work" "$PWD/scripts/atspi_dump.py"
