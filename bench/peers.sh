#!/usr/bin/env bash
# Times our installer against other self-extractors and plain unzip on the same payloads:
#   (a) 256 MiB in 8 files of mixed compressibility, (b) 10,000 small files in 100 directories.
# Each tool extracts into a fresh empty directory; only the extraction is timed. Prints the
# median wall time of PEERS_RUNS runs (default 5, after one checked warm-up run), its ratio
# to unzip, and the largest peak resident set size of one process (/usr/bin/time), then
# whether our installer meets its targets. Takes about 5 minutes on 2 cores.
# Usage: bench/peers.sh [BUILD_DIR]   (PEERS_WORK=DIR puts the scratch files elsewhere)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
runs=${PEERS_RUNS:-5}

# The installer needs a display: one private Xvfb serves the whole script.
if [[ -z "${PEERS_UNDER_XVFB:-}" ]]; then
  PEERS_UNDER_XVFB=1 exec "$here/../tests/support/with-xvfb.sh" "$0" "$build"
fi

fail() { echo "peers: $*" >&2; exit 1; }
have() { command -v "$1" >/dev/null; }

stub="$build/sfx-stub"
[[ -x "$stub" ]] || cmake --build "$build" --target sfx-stub -j2 >/dev/null
[[ -x "$stub" ]] || fail "no stub at $stub"
for tool in zip unzip /usr/bin/python3 /usr/bin/time; do have "$tool" || fail "$tool is not installed"; done
sfx7=""
for candidate in /usr/lib/p7zip/7zCon.sfx /usr/lib/7zip/7zCon.sfx; do
  [[ -f "$candidate" ]] && sfx7=$candidate && break
done

# The scratch area sits under the build directory, so archives and targets share one file
# system that is not a tmpfs.
work=$(mktemp -d "${PEERS_WORK:-$build}/peers.XXXXXX")
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

# Deterministic payloads: the same bytes on every machine and every run.
make_payloads() {
  /usr/bin/python3 - "$work" <<'PY'
import os, random, sys

root = sys.argv[1]
MiB = 1 << 20
rng = random.Random(20240611)
vocabulary = ["".join(rng.choice("etaoinshrdlucmfwypvbgkqjxz") for _ in range(rng.randint(2, 11)))
              for _ in range(6000)]

def text(n):
    out, size = [], 0
    while size < n:
        line = " ".join(rng.choices(vocabulary, k=rng.randint(4, 16))) + "\n"
        out.append(line)
        size += len(line)
    return "".join(out).encode()[:n]

def log_lines(n):
    out, size, t = [], 0, 1700000000
    while size < n:
        t += rng.randint(0, 3)
        line = "%d host-%02d %s[%d]: %s\n" % (t, rng.randint(1, 40), rng.choice(vocabulary),
                                             rng.randint(100, 99999),
                                             " ".join(rng.choices(vocabulary, k=rng.randint(3, 9))))
        out.append(line)
        size += len(line)
    return "".join(out).encode()[:n]

def sparse(n):
    # A disk image: zeros with a random 4 KiB block here and there.
    data = bytearray(n)
    for at in range(0, n - 4096, 256 * 1024):
        data[at:at + 4096] = rng.randbytes(4096)
    return bytes(data)

def skewed(n):
    # Few symbols, unevenly used: compresses about by half.
    table = bytes(min(15, (b * b) >> 12) * 17 for b in range(256))
    return rng.randbytes(n).translate(table)

def mixed(n):
    parts, size = [], 0
    while size < n:
        parts.append(rng.randbytes(64 * 1024) if rng.random() < 0.5 else text(64 * 1024))
        size += 64 * 1024
    return b"".join(parts)[:n]

top = os.path.join(root, "src-a", "payload-a")
os.makedirs(top)
files = [("random-1.bin", rng.randbytes, 48), ("random-2.bin", rng.randbytes, 16),
         ("text-1.txt", text, 48), ("log-1.txt", log_lines, 32), ("disk-1.img", sparse, 48),
         ("disk-2.img", sparse, 16), ("skewed.bin", skewed, 32), ("mixed.bin", mixed, 16)]
for name, make, mib in files:
    with open(os.path.join(top, name), "wb") as f:
        f.write(make(mib * MiB))

top = os.path.join(root, "src-b", "payload-b")
pool = text(4 * MiB) + rng.randbytes(MiB)
for d in range(100):
    directory = os.path.join(top, "dir-%03d" % d)
    os.makedirs(directory)
    for i in range(100):
        size = rng.randint(1024, 8192)
        at = rng.randrange(len(pool) - size)
        with open(os.path.join(directory, "file-%03d.dat" % i), "wb") as f:
            f.write(pool[at:at + size])
PY
}

# Builds every tool's archive of "$work/src-X/payload-X" in "$work/arc-X".
make_archives() {
  local p=$1 src="$work/src-$1" arc="$work/arc-$1"
  mkdir -p "$arc"
  (cd "$src" && zip -q -r "$arc/plain.zip" "payload-$p")
  "$here/../tools/pack-installer" --stub "$stub" -c 'true' -o "$arc/installer" \
    "$src/payload-$p" >/dev/null
  cat /usr/bin/unzipsfx "$arc/plain.zip" >"$arc/unzipsfx"
  zip -q -A "$arc/unzipsfx"
  chmod +x "$arc/unzipsfx"
  if have makeself; then
    makeself --gzip --nox11 --quiet "$src" "$arc/makeself.run" "payload-$p" true >/dev/null
  fi
  if [[ -n "$sfx7" ]]; then
    # -mx=1: the default level takes minutes on 256 MiB here; decoding speed hardly changes.
    (cd "$src" && 7z a -bd -mx=1 -sfx"$sfx7" "$arc/7z.sfx" "payload-$p" >/dev/null)
    chmod +x "$arc/7z.sfx"
  fi
}

tools_for() {
  local arc="$work/arc-$1"
  echo installer unzip unzipsfx
  [[ -f "$arc/makeself.run" ]] && echo makeself
  [[ -f "$arc/7z.sfx" ]] && echo 7z-sfx
  return 0
}

# Sets `command` to the tool's extraction of payload $1 into the current directory, and
# `archive` to the file it reads.
extraction() {
  local arc="$work/arc-$1"
  case "$2" in
    installer) archive="$arc/installer"; command=("$archive") ;;
    unzip) archive="$arc/plain.zip"; command=(unzip -q -o "$archive") ;;
    unzipsfx) archive="$arc/unzipsfx"; command=("$archive" -q -o) ;;
    makeself) archive="$arc/makeself.run"; command=("$archive" --quiet --noexec --target .) ;;
    7z-sfx) archive="$arc/7z.sfx"; command=("$archive" -y) ;;
  esac
}

# One timed run; appends "SECONDS RSS_KIB" to $work/times/PAYLOAD-TOOL.
timed_run() {
  local p=$1 tool=$2 check=$3
  local out="$work/out" log="$work/run.log"
  rm -rf "$out"
  mkdir "$out"
  sync
  local start end archive command
  extraction "$p" "$tool"
  start=$EPOCHREALTIME
  # A window left waiting for "Fechar" would hang the run: ten minutes end it.
  (cd "$out" && timeout 600 /usr/bin/time -f '%M' -o "$work/rss" "${command[@]}" \
      </dev/null >"$log" 2>&1) ||
    { cat "$log" >&2; fail "$tool failed on payload $p"; }
  end=$EPOCHREALTIME
  if [[ $check == check ]]; then
    diff -r "$work/src-$p/payload-$p" "$out/payload-$p" >/dev/null ||
      fail "$tool did not reproduce payload $p"
    stat -c %s "$archive" >"$work/times/$p-$tool.size"
    return 0
  fi
  awk -v s="$start" -v e="$end" -v r="$(tail -n 1 "$work/rss")" \
    'BEGIN { printf "%.4f %d\n", e - s, r }' >>"$work/times/$p-$tool"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

report() {
  local p=$1 base
  base=$(cut -d' ' -f1 "$work/times/$p-unzip" | median)
  printf '%-10s %10s %8s %12s %12s\n' tool "median s" "x unzip" "peak RSS MiB" "archive MiB"
  local tool seconds rss size
  for tool in $(tools_for "$p"); do
    seconds=$(cut -d' ' -f1 "$work/times/$p-$tool" | median)
    rss=$(cut -d' ' -f2 "$work/times/$p-$tool" | sort -n | tail -n 1)
    size=$(cat "$work/times/$p-$tool.size")
    awk -v t="$tool" -v s="$seconds" -v b="$base" -v r="$rss" -v z="$size" \
      'BEGIN { printf "%-10s %10.3f %8.2f %12.1f %12.1f\n", t, s, s / b, r / 1024, z / 1048576 }'
  done
}

# Our targets: (a) at most 0.8 times unzip, memory within the archive plus its largest
# entry plus 40 MiB; (b) no slower than unzip, the window drawn for every entry.
verdicts() {
  local a_ours a_unzip b_ours b_unzip rss archive largest
  a_ours=$(cut -d' ' -f1 "$work/times/a-installer" | median)
  a_unzip=$(cut -d' ' -f1 "$work/times/a-unzip" | median)
  b_ours=$(cut -d' ' -f1 "$work/times/b-installer" | median)
  b_unzip=$(cut -d' ' -f1 "$work/times/b-unzip" | median)
  rss=$(cut -d' ' -f2 "$work/times/a-installer" | sort -n | tail -n 1)
  archive=$(cat "$work/times/a-unzip.size")
  largest=$(find "$work/src-a" -type f -printf '%s\n' | sort -n | tail -n 1)
  awk -v o="$a_ours" -v u="$a_unzip" 'BEGIN {
    printf "target (a) time <= 0.8 x unzip:      %.3f s vs %.3f s: %s\n", o, 0.8 * u, (o <= 0.8 * u) ? "met" : "MISSED" }'
  awk -v o="$b_ours" -v u="$b_unzip" 'BEGIN {
    printf "target (b) time <= unzip:            %.3f s vs %.3f s: %s\n", o, u, (o <= u) ? "met" : "MISSED" }'
  awk -v r="$rss" -v a="$archive" -v l="$largest" 'BEGIN {
    limit = (a + l) / 1024 + 40 * 1024
    printf "target (a) peak RSS <= %.1f MiB:    %.1f MiB: %s\n", limit / 1024, r / 1024, (r <= limit) ? "met" : "MISSED" }'
}

echo "peers: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')," \
  "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
make_payloads
mkdir -p "$work/times"
for p in a b; do
  make_archives "$p"
  for tool in $(tools_for "$p"); do timed_run "$p" "$tool" check; done
  # Rounds go through every tool in turn, so a busy spell on the machine hits all alike.
  for ((i = 0; i < runs; i++)); do
    for tool in $(tools_for "$p"); do timed_run "$p" "$tool" time; done
  done
  case $p in
    a) echo "-- (a) 256 MiB in 8 files of mixed compressibility, median of $runs runs" ;;
    b) echo "-- (b) 10,000 files of 1-8 KiB in 100 directories, median of $runs runs" ;;
  esac
  report "$p"
  rm -rf "$work/arc-$p" "$work/out"
done
echo "peak RSS is that of the largest single process (makeself runs sh, tar and gzip apart);"
echo "the 7-Zip archives are packed with -mx=1"
verdicts
echo "peers: load $(cut -d' ' -f1-3 /proc/loadavg) at the end (other work on the machine slows every tool)"
