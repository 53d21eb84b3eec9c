#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Tries Quillfeed end to end on this machine, with nothing real at stake: the
# bundled receiving page on 127.0.0.1, SANE's test scanner, and a program folder,
# read-from folder and per-user settings of its own in a temporary folder.
# Press Scan All (ten test pages) or drop files into the folder and press Force
# Transfer; close the window to end, and the script shows what the page received.
set -euo pipefail
cd "$(dirname "$0")/.."
src="$PWD"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target quillfeed tiff2pdf

demo="$(mktemp -d /tmp/quillfeed-demo.XXXXXX)"
mkdir -p "$demo/program" "$demo/scans" "$demo/inbox" "$demo/home/config" "$demo/home/data"
cp build/bin/quillfeed build/bin/tiff2pdf "$demo/program/"

/usr/bin/python3 tests/peers/receiver.py --port 0 --inbox "$demo/inbox" --quiet > "$demo/receiver.out" 2>&1 &
receiver=$!
trap 'kill "$receiver" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^LISTENING ' "$demo/receiver.out" && break
  sleep 0.1
done
port="$(sed -n 's/^LISTENING //p' "$demo/receiver.out" | head -n 1)"
[ -n "$port" ] || { echo "demo: the receiving page did not start:"; cat "$demo/receiver.out"; exit 1; }

printf 'Demo\r\nhttp://127.0.0.1:%s/district/saveTAVscan.asp\r\n%s\r\n' "$port" "$demo/scans" > "$demo/program/settings.txt"
# The test scanner is chosen in the demo's own per-user settings, not the user's.
printf '[Scanner]\ndevice=test:0\n' > "$demo/home/config/quillStore.conf"
printf 'A first document, to be filed.\n' > "$demo/scans/welcome.txt"
touch -d '1 minute ago' "$demo/scans/welcome.txt"

cat <<MSG
Quillfeed demo
  receiving page: http://127.0.0.1:$port/district/saveTAVscan.asp  (files go to $demo/inbox)
  read-from folder: $demo/scans
Press Force Transfer to send welcome.txt, or Scan All for ten pages from SANE's test scanner.
Close the window to end the demo.
MSG

XDG_CONFIG_HOME="$demo/home/config" XDG_DATA_HOME="$demo/home/data" SANE_CONFIG_DIR="$src/tests/sane" \
  "$demo/program/quillfeed" || true

echo "The receiving page filed:"
(cd "$demo/inbox" && find . -type f | sort | sed 's|^\./|  |')
echo "Everything of the demo is in $demo"
