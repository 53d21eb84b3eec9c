#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a libFuzzer target for a bounded time. SEEDS is either a corpus folder in
# the repository (only read) or a program that writes seed inputs into the folder
# it is given. New inputs and any crash reproducer land in WORK.
# Usage: run_briefly.sh FUZZER SEEDS WORK [SECONDS] [MAX_LEN]
set -euo pipefail
fuzzer=$1
seeds=$2
work=$3
seconds=${4:-30}
max_len=${5:-4096}
rm -rf "$work"
mkdir -p "$work/corpus"
if [ ! -d "$seeds" ]; then
  mkdir -p "$work/seeds"
  "$seeds" "$work/seeds"
  seeds="$work/seeds"
fi
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds"
