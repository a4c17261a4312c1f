#!/usr/bin/env bash
# Fails when any C or C++ file of the project is not clang-formatted.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
command -v clang-format >/dev/null || { echo "clang-format not found" >&2; exit 1; }
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.c' '*.cpp' '*.h' 2>/dev/null || true)
if ((${#files[@]} == 0)); then
  mapfile -t files < <(find src tests -name '*.c' -o -name '*.cpp' -o -name '*.h')
fi
clang-format --dry-run -Werror "${files[@]}"
echo "clang-format: ${#files[@]} files clean"
