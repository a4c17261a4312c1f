#!/usr/bin/env bash
# Static checks on the program's own sources (src/), run as the
# static.clang_tidy and static.cppcheck tests:
#
#   scripts/check-static.sh clang-tidy BUILD_DIR
#   scripts/check-static.sh cppcheck
#
# Natively, src/ compiles against the stand-in Windows headers in
# tests/fake_win32/include; clang-tidy takes the exact flags from the native
# build's compile_commands.json, cppcheck gets the same include folders and
# the Windows build's defines. Any finding fails the check, and so does a
# missing tool: a check that cannot run must not pass.
set -euo pipefail

die() { printf 'check-static: %s\n' "$*" >&2; exit 1; }
need_tool() {
  command -v "$1" >/dev/null ||
    die "$1 not found; run scripts/setup.sh as root to install it"
}

check=${1:-}
if [[ $check == clang-tidy ]]; then
  [[ -n ${2:-} ]] || die "usage: $0 clang-tidy BUILD_DIR"
  # Named from where the script was called, used from the checkout's root.
  build_dir=$(cd "$2" 2>/dev/null && pwd) ||
    die "build folder $2 not found; configure the native build first"
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

mapfile -t sources < <(find src -name '*.cpp' | sort)
((${#sources[@]})) || die "no C++ sources under $root/src"
fake_headers=tests/fake_win32/include
[[ -f $fake_headers/windows.h ]] ||
  die "$fake_headers/windows.h is missing: src/ cannot be analysed natively"

case $check in
  clang-tidy)
    [[ -f $build_dir/compile_commands.json ]] ||
      die "$build_dir/compile_commands.json not found; configure the native build first"
    need_tool clang-tidy
    # Only this checkout's own headers, wherever it lives.
    src_regex=$(printf '%s' "$root/src/" | sed 's/[][\.*^$+?(){}|]/\\&/g')
    # .clang-tidy holds the checks and turns every warning into an error.
    # It counts the warnings it hid in other people's headers on stderr; only
    # that count is dropped.
    clang-tidy -p "$build_dir" --quiet --header-filter="^$src_regex" \
      "${sources[@]}" 2> >(grep -Ev '^[0-9]+ warnings? generated\.$' >&2)
    echo "clang-tidy: ${#sources[@]} files clean"
    ;;
  cppcheck)
    need_tool cppcheck
    suppressions=(
      # The system's own headers are not on cppcheck's path, and need not be.
      --suppress=missingIncludeSystem
      # launchAndWait and uninstallComponent take their texts by value so
      # that each call owns its copies (CreateProcessA may write into the
      # command line it is given).
      --suppress=passedByValue:src/removal/launch_and_wait.cpp
      --suppress=passedByValue:src/removal/component_removal.cpp
    )
    # With --quiet a clean run prints nothing. "information" adds an include
    # of ours that cannot be found and a suppression that no longer matches;
    # cppcheck does not count those in its exit code, so any output fails.
    status=0
    report=$(cppcheck --quiet --error-exitcode=1 --inline-suppr \
      --enable=warning,performance,portability,style,information \
      "${suppressions[@]}" \
      --language=c++ --std=c++17 --library=windows \
      -I src -I "$fake_headers" \
      -DWINVER=0x0601 -D_WIN32_WINNT=0x0601 -DNOMINMAX \
      "${sources[@]}" 2>&1) || status=$?
    if ((status != 0)) || [[ -n $report ]]; then
      printf '%s\n' "$report" >&2
      die "cppcheck found problems (exit code $status)"
    fi
    echo "cppcheck: ${#sources[@]} files clean"
    ;;
  *)
    die "usage: $0 clang-tidy BUILD_DIR | cppcheck"
    ;;
esac
