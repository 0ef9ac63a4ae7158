#!/usr/bin/env bash
# Checks that an x86-64 or aarch64 program starts on every Linux desktop whose glibc is FLOOR (default
# 2.28: RHEL 8, Debian 10, Ubuntu 20.04) or newer: no versioned symbol newer than FLOOR, and
# shared libraries only from glibc and the X11 client libraries every desktop has. libdl and
# libpthread are allowed: glibc before 2.34 keeps dlopen and the threads there.
# Prints each symbol above the floor with its version and each library outside the list,
# and exits 1 if there is any; otherwise prints the highest glibc version the program needs.
# Usage: check-glibc-floor.sh [--floor X.Y] PROGRAM
set -euo pipefail

fail() { echo "check-glibc-floor: $*" >&2; exit 1; }

floor=2.28
if [[ "${1:-}" == "--floor" ]]; then
  [[ $# -ge 2 ]] || fail "--floor needs a version such as 2.28"
  floor=$2
  shift 2
fi
[[ $# -eq 1 ]] || fail "usage: check-glibc-floor.sh [--floor X.Y] PROGRAM"
program=$1
[[ -f "$program" ]] || fail "no such file: $program"
command -v objdump >/dev/null || fail "objdump is not installed (binutils)"
symbols=$(objdump -T "$program" 2>&1) || fail "cannot read the dynamic symbols of $program: $symbols"
headers=$(objdump -p "$program" 2>&1) || fail "cannot read the headers of $program: $headers"

allowed='^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1|libX11\.so\.6|libXext\.so\.6|libXft\.so\.2|libfontconfig\.so\.1|libXrender\.so\.1|libXcursor\.so\.1|libXfixes\.so\.3|libXinerama\.so\.1)$'

# Lines such as: 0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.34) pthread_create
pairs=$(sed -n 's/.*[ (]\(GLIBC_[A-Za-z0-9_.]*\))\{0,1\}[[:space:]]\{1,\}\([^[:space:]]\{1,\}\)$/\1 \2/p' \
  <<<"$symbols")
versions=$(sed -n 's/^GLIBC_\([0-9][0-9.]*\) .*/\1/p' <<<"$pairs" | sort -uV)
highest=$(tail -n 1 <<<"$versions")
# Sorted together with the floor, the versions after it are the ones too new.
declare -A too_new=()
for number in $(printf '%s\n%s\n' "$floor" "$versions" | sort -uV | awk -v floor="$floor" 'after; $0 == floor { after = 1 }'); do
  too_new[$number]=1
done

status=0
while read -r version name; do
  [[ -n "$version" ]] || continue
  case "$version" in
    GLIBC_[0-9]*) ;;
    *) echo "$program: $name@$version is glibc-internal"; status=1; continue ;;
  esac
  if [[ -n "${too_new[${version#GLIBC_}]:-}" ]]; then
    echo "$program: $name@$version is newer than glibc $floor"
    status=1
  fi
done <<<"$pairs"

needed=$(sed -n 's/^ *NEEDED *//p' <<<"$headers")
[[ -n "$needed" ]] || fail "$program lists no shared libraries: not a dynamically linked program"
while read -r library; do
  if [[ ! "$library" =~ $allowed ]]; then
    echo "$program: needs $library, which not every desktop has"
    status=1
  fi
done <<<"$needed"

if [[ $status -eq 0 ]]; then
  echo "$program: newest glibc version needed ${highest:-(none)}, floor $floor; libraries: $(echo $needed)"
fi
exit $status
