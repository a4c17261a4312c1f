#!/usr/bin/env bash
# Installs what is missing, builds the Windows executable, and shows it at
# work in a throwaway Wine prefix holding a demo Tovik install. The message
# box appears on your display when DISPLAY is set (close it yourself);
# otherwise on a virtual display, where a screenshot is saved and the box is
# closed for you. Set DEMO_VIRTUAL_DISPLAY=1 to force the virtual display.
# --update-docs-picture also saves that screenshot as docs/message-box.png,
# the README's picture of the box; without it the picture is left alone.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh

build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug >/dev/null
# The Windows build, and the tools a 64-bit Windows runs the demo with.
cmake --build "$build_dir" --target windows_build e2e_fixtures64 -j"$(nproc)" >/dev/null
exec python3 -B scripts/demo.py --build-dir "$build_dir" "$@"
