#!/usr/bin/env bash
# Installs every Debian package the build, the stub and the tests need.
# Quick when nothing is missing: it asks dpkg first and only calls apt-get for what is absent.
#
# Usage: install-deps.sh              install every group below
#        install-deps.sh --list GROUP...  print the packages of those groups, one a line
#        install-deps.sh --check GROUP... say which of them are missing, installing nothing
# The portable build's Debian 11 root is made from `--list build test`.
set -euo pipefail

# Compiling the stub and the tests.
build=(
  cmake g++ make pkg-config
  libfltk1.3-dev libxcursor-dev libxinerama-dev libxft-dev libxfixes-dev libxrender-dev libxext-dev
  libfontconfig-dev libx11-dev
  libboost-filesystem-dev zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev
)
# Running the tests: X server and tools, archivers, the Python they are written in,
# strace to hold installers still where a test acts and, with exFAT through FUSE, to kill
# the extraction at every step on every file system, Unicode's data for the case fold
# table's check, and window managers (and a Wayland compositor with XWayland) to show the
# window in.
test=(
  xvfb xdotool x11-utils x11-apps imagemagick
  zip unzip python3 time
  strace exfat-fuse exfatprogs unicode-data
  openbox icewm weston xwayland
)
# The removal of a previous installation run as on kernels before 5.8 (statx without mount
# ids), by emulation. Not in the Debian 11 root, where that test is skipped.
emulation=(qemu-user-static)
# make fuzz.
fuzz=(clang libclang-rt-14-dev)
# make bench: the peers the installer is measured against.
bench=(makeself p7zip-full)
# make portable: the Debian 11 root it builds in.
portable=(debootstrap)

list() {
  for group in "$@"; do
    case "$group" in
      build) printf '%s\n' "${build[@]}" ;;
      test) printf '%s\n' "${test[@]}" ;;
      emulation) printf '%s\n' "${emulation[@]}" ;;
      fuzz) printf '%s\n' "${fuzz[@]}" ;;
      bench) printf '%s\n' "${bench[@]}" ;;
      portable) printf '%s\n' "${portable[@]}" ;;
      *) echo "install-deps: no package group $group" >&2; return 1 ;;
    esac
  done
}

if [[ "${1:-}" == "--list" ]]; then
  shift
  list "$@"
  exit
fi

missing_of() {
  for p in $(list "$@"); do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || echo "$p"
  done
}

# Only the README's two commands install anything; other targets tell what is missing.
if [[ "${1:-}" == "--check" ]]; then
  shift
  missing=$(missing_of "$@" | tr '\n' ' ')
  [[ -z "$missing" ]] && exit 0
  echo "missing Debian packages: $missing" >&2
  echo "install them with scripts/install-deps.sh (make check and make demo run it)" >&2
  exit 1
fi

mapfile -t missing < <(missing_of build test emulation fuzz bench portable)
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
