#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmark: Quillfeed's tiff2pdf side by side with img2pdf and with a bare copy of each file (cp, the
# floor) on generated 300 dpi A4 pages, all run in turn within each round. Prints a table per set (the
# inputs tuned on, the held-out ones): time against img2pdf (min, median, max over rounds), CPU time,
# peak memory, output size, qpdf --check and a lossless check of every output, then the targets.
#
# Usage: bench/tiff2pdf/run.sh [RUNS]      (RUNS: timed runs per tool and input, default 7)
# QUILLFEED_BIN_DIR  folder with a built tiff2pdf to measure (default: a Release build made here)
# QUILLFEED_BENCH_BEFORE  another tiff2pdf (an earlier build) to measure in the same rounds, optional
# BENCH_WORK         scratch folder (default: ${TMPDIR:-/tmp}/quillfeed-bench-tiff2pdf)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
runs=${1:-7}
work=${BENCH_WORK:-${TMPDIR:-/tmp}/quillfeed-bench-tiff2pdf}
mkdir -p "$work/inputs"

for tool in img2pdf cp qpdf pdfimages /usr/bin/time taskset c++ pkg-config python3; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

if [ -z "${QUILLFEED_BIN_DIR:-}" ]; then
  build="$work/build"
  # A build folder left by another checkout would make cmake refuse this source tree.
  if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build/CMakeCache.txt"; then
    rm -rf "$build"
  fi
  echo "building tiff2pdf (Release) in $build ..." >&2
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLFEED_BUILD_TESTS=OFF >/dev/null
  # Quiet unless it fails: a failed build shows its compiler output, not just a non-zero exit.
  log="$work/build.log"
  cmake --build "$build" --target tiff2pdf >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  QUILLFEED_BIN_DIR="$build/bin"
fi
ours="$QUILLFEED_BIN_DIR/tiff2pdf"
[ -x "$ours" ] || { echo "run.sh: $ours is not built" >&2; exit 1; }

# The inputs are made here with libtiff, never downloaded.
c++ -O2 -std=c++20 -Wall -Wextra -Werror "$here/gen_pages.cpp" $(pkg-config --cflags --libs libtiff-4) \
  -o "$work/gen_pages"
echo "generating 300 dpi A4 inputs ..." >&2
"$work/gen_pages" make "$work/inputs"

before=()
[ -n "${QUILLFEED_BENCH_BEFORE:-}" ] && before=(--before "$QUILLFEED_BENCH_BEFORE")
exec python3 "$here/bench.py" --ours "$ours" "${before[@]}" --gen "$work/gen_pages" --inputs "$work/inputs" \
  --work "$work" --runs "$runs"
