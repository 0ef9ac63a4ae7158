#!/usr/bin/env bash
# The stub is copied to strangers' desktops: it may need only the C library, libm, its own
# dynamic loader and the X11 client libraries every desktop has. FLTK, Boost, zlib and the
# C++ runtime are inside. The loader is read from the stub's program header, and lists what
# the stub loads (as ldd does), under SFX_EMULATOR when the stub is of another machine.
# Usage: portable_stub_test.sh STUB [LIBRARY...]   (LIBRARY: a further one allowed)
set -u
stub=$1
shift
interpreter=$(readelf -l "$stub" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
[[ -n "$interpreter" ]] || { echo "no program interpreter read from $stub"; exit 1; }
extra="|$(basename "$interpreter")"
for library in "$@"; do extra+="|$library"; done
allowed='^(libc\.so\.6|libm\.so\.6|libX11\.so\.6|libXext\.so\.6|libXft\.so\.2|libfontconfig\.so\.1|libXrender\.so\.1|libXcursor\.so\.1|libXfixes\.so\.3|libXinerama\.so\.1'"${extra//./\.}"')$'
status=0
needed=$(readelf -d "$stub" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[[ -n "$needed" ]] || { echo "no NEEDED entries read from $stub"; exit 1; }
while read -r lib; do
  if [[ ! "$lib" =~ $allowed ]]; then
    echo "unexpected shared library: $lib"
    status=1
  fi
done <<<"$needed"
read -r -a emulator <<<"${SFX_EMULATOR:-}"
if ! loaded=$("${emulator[@]}" "$interpreter" --list "$stub" 2>&1); then
  echo "$interpreter --list $stub failed: $loaded"
  status=1
elif grep -E 'libstdc\+\+|libgcc_s|libfltk|libboost|not found' <<<"$loaded"; then
  echo "the loader lists a library that should be linked in, or a missing one"
  status=1
fi
[[ $status -eq 0 ]] && echo "needed: $(echo $needed)"
exit $status
