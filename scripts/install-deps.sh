#!/usr/bin/env bash
# Installs every Debian package the build, the stub and the tests need.
# Quick when nothing is missing: it asks dpkg first and only calls apt-get for what is absent.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libfltk1.3-dev libxcursor-dev libxinerama-dev libxft-dev libxfixes-dev libxrender-dev libxext-dev
  libfontconfig-dev libx11-dev
  libboost-filesystem-dev zlib1g-dev libgtest-dev libgmock-dev
  xvfb xdotool x11-utils x11-apps imagemagick
  zip unzip python3 time
  clang libclang-rt-14-dev
  makeself p7zip-full
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
