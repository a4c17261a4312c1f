#!/usr/bin/env bash
# Installs what is missing, builds the native unit tests and the Windows
# executable with its fixtures, and runs every test: the unit tests (plain
# and under AddressSanitizer/UndefinedBehaviorSanitizer), the executable's
# metadata checks, the style check and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
