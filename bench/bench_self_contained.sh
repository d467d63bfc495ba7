#!/usr/bin/env bash
# Sizes and start-up of a self-contained wizard against a plain one, in the same run.
#
#   bench/bench_self_contained.sh [runs] [build-dir]
#
# Packs the demo twice with build/bin/wizard-pack (plain, --self-contained), prints the
# plain wizard's own part (its size less its payload: where its resource block begins),
# both sizes, and the start-up to the first step painted (offscreen; the wizard ends there,
# DREMLIX_QUIT_AT_FIRST_STEP) of: the plain wizard, the self-contained one with its cache
# warm, and with its cache cold (emptied before each run). Runs are interleaved; medians.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-15}
build=$(cd "${2:-$top/build}" && pwd)
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

DREMLIX_DEMO_NO_START=1 DREMLIX_BUILD_DIR="$build" DREMLIX_DEMO_DIR="$work/demo" "$top/scripts/demo" >/dev/null
files=()
for f in AppInfo1.txt AppInfo2.txt Updates.txt FileNames.txt PrintLists.txt UpdateInfo.txt Falcrest.exe \
         Falcrest.chm FalcrestGro.lst FalcrestGrp.lst FalcrestPre.lst; do
  files+=("$top/demo/$f")
done
"$bin/wizard-pack" build --stub "$bin/dremlix-update" --out "$work/Plain" "${files[@]}"
pack_start=$(date +%s%N)
"$bin/wizard-pack" build --self-contained --stub "$bin/dremlix-update" --out "$work/Self" "${files[@]}" >/dev/null
pack_ms=$(( ($(date +%s%N) - pack_start) / 1000000 ))

# The block offset: the first 8 bytes of the 40-byte trailer, little-endian.
block_offset() { tail -c 40 "$1" | od -An -t u8 -N 8 | tr -d ' '; }
size() { stat -c %s "$1"; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f MB", b / 1048576 }'; }
echo "sizes:"
echo "  plain wizard: $(mb "$(size "$work/Plain")"), its own part $(mb "$(block_offset "$work/Plain")") (stub $(mb "$(size "$bin/dremlix-update")") unstripped)"
echo "  self-contained wizard: $(mb "$(size "$work/Self")"), launcher $(mb "$(block_offset "$work/Self")"), packed in ${pack_ms} ms"

export QT_QPA_PLATFORM=offscreen WINEPREFIX="$work/demo/prefix" DREMLIX_QUIT_AT_FIRST_STEP=1
export XDG_RUNTIME_DIR="$work/runtime" XDG_CACHE_HOME="$work/cache"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY

# Milliseconds of one start to the first step; the wizard closed there says 3, "not done".
once() {
  local start end rc=0
  start=$(date +%s%N)
  "$1" >/dev/null 2>&1 || rc=$?
  end=$(date +%s%N)
  [ "$rc" -eq 3 ] || { echo "bench: $1 ended with $rc" >&2; exit 1; }
  echo $(( (end - start) / 100000 ))
}
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 10 }'; }

once "$work/Plain" >/dev/null
once "$work/Self" >/dev/null
plain=() warm=() cold=()
for ((i = 0; i < runs; i++)); do
  plain+=("$(once "$work/Plain")")
  warm+=("$(once "$work/Self")")
  # Wait for the sync of the last unpacking, so that it does not slow the next run.
  sync
  rm -rf "$XDG_CACHE_HOME"
  cold+=("$(once "$work/Self")")
  sync
done
p=$(printf '%s\n' "${plain[@]}" | median)
w=$(printf '%s\n' "${warm[@]}" | median)
c=$(printf '%s\n' "${cold[@]}" | median)
echo "start-up to the first step painted, median of $runs runs each, interleaved:"
echo "  plain wizard: $p ms"
echo "  self-contained, cache warm: $w ms, ratio $(awk -v a="$w" -v b="$p" 'BEGIN { printf "%.2f", a / b }') (goal <= 1.2)"
echo "  self-contained, cache cold: $c ms (goal < 1000)"
echo "  load average: $(cut -d' ' -f1 /proc/loadavg)"
