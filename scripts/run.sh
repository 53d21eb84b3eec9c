#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up the machine, builds Quillfeed and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLFEED_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)" --target quillfeed tiff2pdf
exec build/bin/quillfeed "$@"
