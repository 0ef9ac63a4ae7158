#!/usr/bin/env bash
# make dist: one archive for packagers, dist/sambrel-ivox-sfx-VERSION.tar.gz, holding both
# portable stubs (build-portable/sfx-stub for x86-64, build-portable-arm64/sfx-stub for
# aarch64), tools/pack-installer with its helper, the x86-64 sfx-list it checks installers
# with, the README (and its picture), and SHA256SUMS of them all. Laid out as in the source
# tree, so that tools/pack-installer finds the stub and the lister where it looks.
#
# The same stubs and sources give the same bytes: names sorted, owners and modes fixed, every
# time SOURCE_DATE_EPOCH (default: the last commit's time), gzip without name or time.
# VERSION is `git describe --always --dirty`, or SFX_VERSION.
# Usage: dist.sh   (after make portable and make portable ARCH=arm64; make dist runs both)
set -euo pipefail

fail() { echo "dist: $*" >&2; exit 1; }

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null)} ||
  fail "set SOURCE_DATE_EPOCH: $top is not a git checkout"
version=${SFX_VERSION:-$(git -C "$top" describe --always --dirty 2>/dev/null)} ||
  fail "set SFX_VERSION: $top is not a git checkout"
name=sambrel-ivox-sfx-$version

# ELF machine numbers: 62 is x86-64, 183 aarch64.
machine() { od -An -t u2 -j 18 -N 2 "$1" | tr -d ' '; }
expect() {
  local path=$top/$1 want=$2 what=$3
  [[ -f "$path" ]] || fail "$path is missing (make portable$4)"
  [[ "$(machine "$path")" == "$want" ]] || fail "$path is not an $what program"
  "$here/check-glibc-floor.sh" "$path" >/dev/null || fail "$path fails the glibc floor check"
}
expect build-portable/sfx-stub 62 x86-64 ""
expect build-portable/sfx-list 62 x86-64 ""
expect build-portable-arm64/sfx-stub 183 aarch64 " ARCH=arm64"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
files=(README.md docs/installer-window.png tools/pack-installer tools/pack_archive.py
       build-portable/sfx-stub build-portable/sfx-list build-portable-arm64/sfx-stub)
for file in "${files[@]}"; do
  mkdir -p "$stage/$(dirname "$file")"
  cp "$top/$file" "$stage/$file" || fail "cannot copy $top/$file"
  if [[ -x "$top/$file" ]]; then chmod 755 "$stage/$file"; else chmod 644 "$stage/$file"; fi
done
(cd "$stage" && sha256sum "${files[@]}" >SHA256SUMS && chmod 644 SHA256SUMS)
find "$stage" -type d -exec chmod 755 {} +

mkdir -p "$top/dist"
archive=$top/dist/$name.tar.gz
tar -C "$work" --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
  -cf - "$name" | gzip -9 -n >"$archive.new"
mv "$archive.new" "$archive"
echo "dist: $archive ($(wc -c <"$archive") bytes, SHA-256 $(sha256sum "$archive" | cut -d' ' -f1))"
