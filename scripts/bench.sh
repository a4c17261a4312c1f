#!/usr/bin/env bash
# Installs what is missing, builds the Windows executable and the
# benchmark's do-nothing program, and runs the benchmark (bench/bench.py)
# under Wine with no display. Not a test: it prints figures and goals, and
# fails only when a run did not do its job. Arguments go to bench.py, e.g.
#   bash scripts/bench.sh --runs 30 --verbose
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build_dir=${BUILD_DIR:-build}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug &&
       cmake --build "$build_dir" --target windows_build e2e_fixtures64 -j"$(nproc)"; } \
     >"$log" 2>&1; then
  cat "$log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi
python3 -B bench/bench.py --build-dir "$build_dir" "$@"
