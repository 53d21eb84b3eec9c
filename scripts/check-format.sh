#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that the C++ sources are laid out as .clang-format says, and that every
# source file names its licence in its first lines.
#   bash scripts/check-format.sh          every C++ file of the tree
#   bash scripts/check-format.sh REV      only the files changed since the git revision REV
# The whole tree was formatted once, so checking every file costs a few seconds
# and cannot miss a file whose change came in through a merge.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null || { echo "check-format: clang-format is missing (bash scripts/setup.sh)" >&2; exit 2; }

if [ $# -gt 0 ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h')
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t files < <(find src tools tests bench fuzz -name '*.cpp' -o -name '*.h')
fi

[ "${#files[@]}" -eq 0 ] && { echo "check-format: no C++ file to check"; exit 0; }
if clang-format --dry-run --Werror "${files[@]}"; then
  echo "check-format: ${#files[@]} files as .clang-format lays them out"
else
  echo "check-format: run clang-format -i on the files named above" >&2
  exit 1
fi

# The licence line: the first line, or the second after a "#!" line.
mapfile -t sources < <(git ls-files -- '*.cpp' '*.h' '*.py' '*.sh' '*.cmake' '*.in' 'CMakeLists.txt' '*/CMakeLists.txt' .ci/run 2>/dev/null)
unlicensed=()
for f in "${sources[@]}"; do
  head -n 2 "$f" | grep -q 'SPDX-License-Identifier: GPL-3.0-or-later' || unlicensed+=("$f")
done
if [ "${#unlicensed[@]}" -gt 0 ]; then
  printf 'check-format: no SPDX-License-Identifier line at the head of %s\n' "${unlicensed[@]}" >&2
  exit 1
fi
echo "check-format: ${#sources[@]} source files name their licence"
