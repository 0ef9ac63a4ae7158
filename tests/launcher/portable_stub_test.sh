#!/usr/bin/env bash
# The stub is copied to strangers' desktops: it may need only the C library, libm and the
# X11 client libraries every desktop has. FLTK, Boost, zlib and the C++ runtime are inside.
# Usage: portable_stub_test.sh STUB [LIBRARY...]   (LIBRARY: a further one allowed)
set -u
stub=$1
shift
extra=""
for library in "$@"; do extra+="|${library//./\.}"; done
allowed='^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2|libX11\.so\.6|libXext\.so\.6|libXft\.so\.2|libfontconfig\.so\.1|libXrender\.so\.1|libXcursor\.so\.1|libXfixes\.so\.3|libXinerama\.so\.1'"$extra"')$'
status=0
needed=$(readelf -d "$stub" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[[ -n "$needed" ]] || { echo "no NEEDED entries read from $stub"; exit 1; }
while read -r lib; do
  if [[ ! "$lib" =~ $allowed ]]; then
    echo "unexpected shared library: $lib"
    status=1
  fi
done <<<"$needed"
if ldd "$stub" | grep -E 'libstdc\+\+|libgcc_s|libfltk|libboost|not found'; then
  echo "ldd lists a library that should be linked in, or a missing one"
  status=1
fi
[[ $status -eq 0 ]] && echo "needed: $(echo $needed)"
exit $status
