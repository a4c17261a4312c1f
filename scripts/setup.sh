#!/usr/bin/env bash
# Installs whatever this project needs that the machine does not have yet:
# the i686 mingw-w64 cross compiler (and the x86-64 one for 64-bit fixture
# programs), Wine with its 32-bit and 64-bit halves and its own fonts (the
# demo's message box draws its close button with Marlett), Xvfb, wixl,
# NSIS, the release tools (osslsigncode, openssl), the native build and
# test tools (GoogleTest, RapidCheck, pefile), and the ru_RU.UTF-8 locale
# that the code-page tests run under. Safe to run again; it installs nothing
# twice.
set -euo pipefail

log() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: ERROR: %s\n' "$*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "run as root (apt-get and localedef need it)"
export DEBIAN_FRONTEND=noninteractive

# Debian packages, with the command that shows each is already there.
declare -A need=(
  [cmake]="command -v cmake"
  [g++]="command -v g++"
  [make]="command -v make"
  [python3]="command -v python3"
  [libgtest-dev]="test -f /usr/include/gtest/gtest.h"
  [libgmock-dev]="test -f /usr/include/gmock/gmock.h"
  [clang-format]="command -v clang-format"
  [clang-tidy]="command -v clang-tidy"
  [cppcheck]="command -v cppcheck"
  [g++-mingw-w64-i686]="command -v i686-w64-mingw32-g++"
  [binutils-mingw-w64-i686]="command -v i686-w64-mingw32-windres"
  [wine]="command -v wine"
  [wine32:i386]="dpkg -s wine32:i386"
  [xvfb]="command -v xvfb-run"
  [xauth]="command -v xauth"
  [wixl]="command -v wixl"
  [locales]="command -v localedef"
  [x11-apps]="command -v xwd"
  [x11-utils]="command -v xwininfo"
  [netpbm]="command -v xwdtopnm"
  [wine64]="test -x /usr/lib/wine/wine64"
  [g++-mingw-w64-x86-64]="command -v x86_64-w64-mingw32-g++"
  [nsis]="command -v makensis"
  [osslsigncode]="command -v osslsigncode"
  [openssl]="command -v openssl"
  [librapidcheck-dev]="test -f /usr/include/rapidcheck.h"
  [python3-pefile]="/usr/bin/python3 -c 'import pefile'"
  [fonts-wine]="test -f /usr/share/wine/fonts/marlett.ttf"
)

missing=()
for pkg in "${!need[@]}"; do
  eval "${need[$pkg]}" >/dev/null 2>&1 || missing+=("$pkg")
done

# A temporary folder for apt: the caller fills its sources/ subfolder, which
# apt_install_from reads instead of the system's sources (left untouched).
new_apt_folder() {
  local folder
  folder=$(mktemp -d)
  chmod 755 "$folder"  # apt downloads as the _apt user
  mkdir -p "$folder/sources" "$folder/lists/partial"
  echo "$folder"
}

# apt-get update and install ($2...) from the sources in folder $1 alone.
apt_install_from() {
  local folder=$1
  shift
  local opts=(-o "Dir::Etc::SourceParts=$folder/sources"
              -o "Dir::Etc::SourceList=/dev/null"
              -o "Dir::State::Lists=$folder/lists")
  apt-get "${opts[@]}" update &&
    apt-get "${opts[@]}" install -y --no-install-recommends "$@"
}

# Installs the given Debian packages, adding the i386 architecture first.
apt_install() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  if apt-get update && apt-get install -y --no-install-recommends "$@"; then
    return 0
  fi
  # The security suite's i386 index can be served stale, and its amd64
  # libraries then have no i386 twins at the same version. Leave that
  # suite out, through apt's own options, without touching the system's
  # sources.
  log "plain apt failed; retrying without the security suite"
  local tmp src
  tmp=$(new_apt_folder)
  for src in /etc/apt/sources.list.d/*.sources; do
    [[ -e $src ]] || continue
    # Keep every stanza whose Suites line does not name a -security suite.
    awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$src" \
      >"$tmp/sources/$(basename "$src")"
  done
  apt_install_from "$tmp" "$@" ||
    die "could not install even without the security suite: $*"
  rm -rf "$tmp"
}

if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  apt_install "${missing[@]}"
  for pkg in "${missing[@]}"; do
    eval "${need[$pkg]}" >/dev/null 2>&1 || die "$pkg is still missing after install"
  done
else
  log "all packages present"
fi

# Wine runs 32-bit Windows programs in 32-bit Linux processes. Some virtual
# machines run a kernel that cannot execute 32-bit x86 code at all ("Exec
# format error"); there, the kernel hands such programs to qemu's user-mode
# emulator, registered through binfmt_misc. The emulator must be a recent
# one: Debian 12's own (7.2) spends about a minute of processor time
# starting every 32-bit Wine process, the backports one (10.x) about a
# second.
binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386
qemu_min_major=9
wine32_runs() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
emulated() { [[ -e $binfmt/qemu-i386 ]]; }
qemu_major() { { "$qemu" --version 2>/dev/null || true; } | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p'; }

# Installs qemu-user from the release's backports suite, which apt reaches
# through the same mirror as the release itself. The suite is given to apt
# for this one install and never added to the system's sources.
install_backports_qemu() {
  local codename tmp src
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  [[ -n $codename ]] || die "cannot tell this Debian release's code name"
  tmp=$(new_apt_folder)
  for src in /etc/apt/sources.list.d/*.sources; do
    [[ -e $src ]] || continue
    cp "$src" "$tmp/sources/"
    # The stanza of the release's own suite, renamed to its backports suite.
    awk -v suite="$codename" 'BEGIN { RS = ""; ORS = "\n\n" }
      $0 ~ "Suites:[^\n]*[ \t]" suite "([ \t\n]|$)" {
        sub("Suites:[^\n]*", "Suites: " suite "-backports"); print }' \
      "$src" >>"$tmp/sources/backports.sources"
  done
  [[ -s $tmp/sources/backports.sources ]] ||
    die "no apt source for $codename to take $codename-backports from"
  apt_install_from "$tmp" -t "$codename-backports" qemu-user ||
    die "could not install qemu-user from $codename-backports"
  rm -rf "$tmp"
}

if emulated || ! wine32_runs; then
  log "this kernel cannot run 32-bit programs; running them through qemu"
  major=$(qemu_major)
  if [[ -z $major || $major -lt $qemu_min_major ]]; then
    install_backports_qemu
    major=$(qemu_major)
    [[ -n $major && $major -ge $qemu_min_major ]] ||
      die "$qemu is not version $qemu_min_major or later"
  fi
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" ||
      die "could not mount $binfmt"
  fi
  # An entry for another emulator (an older one, say) is replaced.
  if emulated && ! grep -qx "interpreter $qemu" "$binfmt/qemu-i386"; then
    echo -1 >"$binfmt/qemu-i386" || die "could not remove the old qemu-i386 entry"
  fi
  if ! emulated; then
    # An i386 ELF executable or shared object; "F" opens the emulator now,
    # so it is found from any mount namespace.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" ||
      die "could not register qemu-i386 with binfmt_misc"
  fi
  wine32_runs || die "Wine's 32-bit loader still does not run"
fi

# Wine maps Cyrillic file names under code page 1251 only if the locale exists.
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  log "generating locale ru_RU.UTF-8"
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8 || die "could not generate ru_RU.UTF-8"
fi

log "ready"
