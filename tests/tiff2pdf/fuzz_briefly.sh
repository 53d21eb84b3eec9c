#!/usr/bin/env bash
# Runs the converter's fuzz target for a short while, seeded with the test fixtures.
# Usage: fuzz_briefly.sh FUZZER FIXTURE_MAKER WORK_FOLDER [SECONDS]
set -euo pipefail
fuzzer=$1
maker=$2
work=$3
seconds=${4:-30}
rm -rf "$work"
mkdir -p "$work/seeds" "$work/corpus"
"$maker" "$work/seeds"
cd "$work" # crash reproducers land here
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
  -print_final_stats=1 "$work/corpus" "$work/seeds"
