#!/usr/bin/env bash
# Prints the Debian mirror this machine's APT uses (the first "deb" source whose suites are
# not security updates), so that debootstrap goes where apt-get goes: a local mirror or a
# proxying one included. SFX_DEBIAN_MIRROR, when set, wins. Deb822 files under
# /etc/apt/sources.list.d/ come first, then the one-line sources.list files.
# Usage: apt-mirror.sh   (prints one URI; status 1 when none is configured)
set -euo pipefail

if [[ -n "${SFX_DEBIAN_MIRROR:-}" ]]; then
  echo "$SFX_DEBIAN_MIRROR"
  exit 0
fi
etc=${SFX_APT_ETC:-/etc/apt}

from_deb822() {
  # Stanzas are separated by blank lines; each has Types, URIs, Suites and may say Enabled: no.
  awk '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && enabled != "no" && suites !~ /-security/ && uris != "") {
        split(uris, u, " "); print u[1]; found = 1; exit
      }
      types = uris = suites = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, "")
      if (key == "types") types = $0; else if (key == "uris") uris = $0
      else if (key == "suites") suites = $0; else if (key == "enabled") enabled = tolower($0) }
    END { if (!found) flush() }
  ' "$@"
}

from_one_line() {
  # deb [options] URI SUITE COMPONENTS...
  awk '
    /^[ \t]*deb[ \t]/ {
      i = 2
      if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
      if ($(i + 1) !~ /-security/) { print $i; exit }
    }
  ' "$@"
}

shopt -s nullglob
mirror=""
deb822=("$etc"/sources.list.d/*.sources)
((${#deb822[@]})) && mirror=$(from_deb822 "${deb822[@]}")
if [[ -z "$mirror" ]]; then
  lists=("$etc"/sources.list "$etc"/sources.list.d/*.list)
  existing=()
  for f in "${lists[@]}"; do [[ -f "$f" ]] && existing+=("$f"); done
  ((${#existing[@]})) && mirror=$(from_one_line "${existing[@]}")
fi
if [[ -z "$mirror" ]]; then
  echo "apt-mirror: no Debian source in $etc/sources.list.d/*.sources or $etc/sources.list; set SFX_DEBIAN_MIRROR" >&2
  exit 1
fi
echo "$mirror"
