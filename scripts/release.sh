#!/usr/bin/env bash
# Builds the release of UninstallTovikComponents.exe from a clean build
# folder and writes it, with its SHA256SUMS, to dist/ (or --out DIR).
#
# The build is reproducible: the same commit gives the same bytes wherever
# and whenever it is built, so anyone can rebuild and compare checksums.
#
# Signing (Authenticode, SHA-256, with osslsigncode) happens when a PKCS#12
# file is given; without one the release is unsigned, which is said in one
# line and is not an error. The password is read from the environment or a
# file, handed to the signing tools through pipes, and never written to disk
# or echoed. When SOURCE_DATE_EPOCH is set it is the signing time, so that a
# signed release is reproducible too (a time-stamp server's answer is not).
#
# The script checks its own output before it replaces dist/: the checksum
# file with sha256sum -c, the signature with osslsigncode verify against the
# certificates of the PKCS#12 file (or --ca-file), and the executable's
# header, imports and resources with the metadata checker. Everything is
# written to a temporary folder first, so a failed run leaves the previous
# dist/ (or none) as it was.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/release.sh [options]

  --out DIR             where the release goes (default: dist); replaced
                        as a whole once the new release is complete
  --build-dir DIR       build there, emptied first (default: a temporary
                        folder, removed afterwards)
  --pkcs12 FILE         sign with this PKCS#12 file          [RELEASE_PKCS12]
  --password-file FILE  read its password from the first line of FILE
                        (default: the variable RELEASE_PKCS12_PASSWORD)
  --ca-file FILE        verify the signature against these certificates
                        (default: the certificates in the PKCS#12 file)
                                                            [RELEASE_CA_FILE]
  --timestamp-url URL   have the signature time-stamped there (RFC 3161)
                                                     [RELEASE_TIMESTAMP_URL]
  -h, --help            this text

SOURCE_DATE_EPOCH, when set, is the signing time (seconds since 1970).
EOF
}

log() { printf 'release: %s\n' "$*"; }
die() { printf 'release: ERROR: %s\n' "$*" >&2; exit 1; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
exe_name=UninstallTovikComponents.exe

out=dist
build_dir=
pkcs12=${RELEASE_PKCS12:-}
password_file=
ca_file=${RELEASE_CA_FILE:-}
timestamp_url=${RELEASE_TIMESTAMP_URL:-}
while (($#)); do
  case $1 in
    --out | --build-dir | --pkcs12 | --password-file | --ca-file | --timestamp-url)
      (($# >= 2)) || die "$1 needs a value"
      case $1 in
        --out) out=$2 ;;
        --build-dir) build_dir=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --password-file) password_file=$2 ;;
        --ca-file) ca_file=$2 ;;
        --timestamp-url) timestamp_url=$2 ;;
      esac
      shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done

# The password stays in this shell's memory only: out of the environment
# that the compiler and every other child would inherit.
password=
have_password=0
if [[ -n $password_file ]]; then
  [[ -r $password_file ]] || die "cannot read the password file $password_file"
  IFS= read -r password <"$password_file" || true  # no line end is fine
  have_password=1
elif [[ -n ${RELEASE_PKCS12_PASSWORD+set} ]]; then
  password=$RELEASE_PKCS12_PASSWORD
  have_password=1
fi
unset RELEASE_PKCS12_PASSWORD

# Feeds the password to a tool as a file name (/dev/fd/N) or on a
# descriptor; printf is a shell builtin, so it appears on no command line.
password_pipe() { printf '%s\n' "$password"; }

for tool in cmake i686-w64-mingw32-g++ sha256sum; do
  command -v "$tool" >/dev/null ||
    die "$tool not found; run scripts/setup.sh as root to install it"
done
# The metadata checker reads the file with pefile, which Debian installs
# for its own python3; another python3 may come first on PATH.
python=
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import pefile' >/dev/null 2>&1; then
    python=$candidate
    break
  fi
done
[[ -n $python ]] ||
  die "no python3 with pefile found; run scripts/setup.sh as root to install it"
if [[ -n $pkcs12 ]]; then
  for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null ||
      die "$tool not found (needed to sign); run scripts/setup.sh as root"
  done
fi
if [[ -n ${SOURCE_DATE_EPOCH:-} && ! $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]]; then
  die "SOURCE_DATE_EPOCH must be a number of seconds, not '$SOURCE_DATE_EPOCH'"
fi

# --- Temporary folders, removed whatever happens ----------------------------

out=$(realpath -m "$out")
mkdir -p "$(dirname "$out")"
work=$(mktemp -d "${TMPDIR:-/tmp}/tovik-release.XXXXXX")
# The new release is assembled beside its final place, so that moving it
# there is a rename on the same file system.
stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").partial.XXXXXX")
old=
own_build_dir=0
cleanup() {
  rm -rf "$work" "$stage"
  [[ -z $old ]] || rm -rf "$old"
  ((own_build_dir == 0)) || rm -rf "$build_dir"
}
trap cleanup EXIT

# --- The key, checked before spending time on the build ---------------------

if [[ -n $pkcs12 ]]; then
  [[ -f $pkcs12 ]] || die "no PKCS#12 file at $pkcs12"
  ((have_password)) ||
    die "a PKCS#12 file was given but no password: set RELEASE_PKCS12_PASSWORD or use --password-file"
  # Its certificates (public) are what the signature is verified against
  # unless --ca-file names others.
  if ! openssl pkcs12 -in "$pkcs12" -nokeys -passin fd:3 -out "$work/certificates.pem" \
      3< <(password_pipe) 2>"$work/openssl.log"; then
    reason=$(grep -m1 -iE 'invalid password|mac verify|unsupported|error' "$work/openssl.log" || true)
    die "cannot open the PKCS#12 file $pkcs12 with the given password (${reason:-openssl failed}); nothing was written"
  fi
  if [[ -n $ca_file ]]; then
    [[ -r $ca_file ]] || die "cannot read the CA file $ca_file"
    ca_name=$ca_file
  else
    ca_file=$work/certificates.pem
    ca_name="the certificates in $pkcs12"
  fi
else
  log "no signing key given (RELEASE_PKCS12 or --pkcs12): the release is NOT signed"
fi

# --- Build ------------------------------------------------------------------

if [[ -z $build_dir ]]; then
  build_dir=$(mktemp -d "${TMPDIR:-/tmp}/tovik-release-build.XXXXXX")
  own_build_dir=1
else
  rm -rf "$build_dir"
  mkdir -p "$build_dir"
fi
log "building the Release executable in $build_dir"
if ! { cmake -S "$root" -B "$build_dir" \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
         -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build_dir" --target UninstallTovikComponents -j"$(nproc)"; } \
     >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  die "the build failed"
fi
built=$build_dir/$exe_name

# --- Sign -------------------------------------------------------------------

if [[ -n $pkcs12 ]]; then
  sign_args=(-pkcs12 "$pkcs12" -h sha256 -n "Tovik Components Uninstaller")
  if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
    sign_args+=(-time "$SOURCE_DATE_EPOCH")
    when="signing time $SOURCE_DATE_EPOCH from SOURCE_DATE_EPOCH"
  else
    when="signing time now (set SOURCE_DATE_EPOCH for a reproducible signature)"
  fi
  [[ -z $timestamp_url ]] || sign_args+=(-ts "$timestamp_url")
  log "signing with $pkcs12 ($when${timestamp_url:+, time-stamped by $timestamp_url})"
  if ! osslsigncode sign "${sign_args[@]}" -readpass <(password_pipe) \
      -in "$built" -out "$stage/$exe_name" >"$work/sign.log" 2>&1; then
    cat "$work/sign.log" >&2
    die "signing failed; nothing was written"
  fi
else
  cp "$built" "$stage/$exe_name"
fi

# --- Check what will be shipped ---------------------------------------------

(cd "$stage" && sha256sum "$exe_name" >SHA256SUMS && sha256sum --check --strict SHA256SUMS) \
  >"$work/sums.log" 2>&1 || { cat "$work/sums.log" >&2; die "the checksum does not check"; }
if [[ -n $pkcs12 ]]; then
  verify_args=(-CAfile "$ca_file")
  if [[ -n $timestamp_url && -r /etc/ssl/certs/ca-certificates.crt ]]; then
    verify_args+=(-TSA-CAfile /etc/ssl/certs/ca-certificates.crt)
  fi
  if ! osslsigncode verify "${verify_args[@]}" -in "$stage/$exe_name" >"$work/verify.log" 2>&1; then
    cat "$work/verify.log" >&2
    die "the signature does not verify against $ca_name"
  fi
  log "signature verified against $ca_name"
fi
"$python" -B "$root/tests/metadata/check_executable.py" "$stage/$exe_name" >"$work/metadata.log" 2>&1 ||
  { cat "$work/metadata.log" >&2; die "the executable fails its metadata checks"; }

# --- Into place -------------------------------------------------------------

if [[ -e $out ]]; then
  old=$(mktemp -u "$(dirname "$out")/.$(basename "$out").old.XXXXXX")
  mv "$out" "$old"
fi
mv "$stage" "$out"
chmod 755 "$out"
if [[ -n $old ]]; then
  rm -rf "$old"
  old=
fi

commit=$(git -C "$root" rev-parse HEAD 2>/dev/null || echo "unknown (not a git checkout)")
if [[ -n $(git -C "$root" status --porcelain 2>/dev/null) ]]; then
  commit+=" with uncommitted changes"
fi
log "commit $commit"
log "wrote $out:"
sed 's/^/  /' "$out/SHA256SUMS"
