#!/usr/bin/env bash
# Runs a libFuzzer target for a bounded time, seeded with its corpus folder in the
# repository (which it only reads). New inputs and any crash reproducer land in WORK.
# Usage: fuzz_briefly.sh FUZZER CORPUS WORK [SECONDS]
set -euo pipefail
fuzzer=$1
corpus=$2
work=$3
seconds=${4:-30}
rm -rf "$work"
mkdir -p "$work/corpus"
cd "$work"
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$corpus"
