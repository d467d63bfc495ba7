#!/usr/bin/env bash
# The unattended wizard against an NSIS installer that installs the same files silently,
# both as whole processes on the same prefix made by wineboot: a Falcrest update of a
# 50 MB program and 200 files of 100 KB. Prints the median wall time of each over RUNS
# runs (interleaved, the installed files put back to their old state before every run).
#
#   bench/bench_unattended_vs_nsis.sh [RUNS] [BUILD_DIR]
#
# Needs makensis (package nsis) and Wine with its 32-bit side (NSIS installers are 32-bit
# programs): dpkg --add-architecture i386, then wine64 and wine32:i386. The NSIS runs find
# a wineserver already running for the prefix, as on a workstation where the products
# run; the wizard needs none.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-7}
build=$(cd "${2:-$top/build}" && pwd)
for tool in makensis wine wineboot wineserver python3; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing" >&2; exit 2; }
done
[ -x "$build/bin/wizard-pack" ] || { echo "bench: build the project first ($build/bin/wizard-pack)" >&2; exit 2; }

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { wineserver -k 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

echo "bench: making the prefix with wineboot" >&2
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\DREMLIX S.A.\Orvanta\Program' /v Filename \
  /d 'C:\WDremlix\ORV\Programs\Orvanta.exe' /f >/dev/null 2>&1
wineserver -w
programs="$WINEPREFIX/drive_c/WDremlix/Kestrin/Programs"
mkdir -p "$WINEPREFIX/drive_c/WDremlix/ORV/Programs" "$programs"

# The same files for both: the new program (the demo's with 50 MB of program-like bytes
# after it) and 200 listed files of 100 KB.
files="$work/files"
mkdir -p "$files"
python3 - "$top/demo/Falcrest.exe" "$files" <<'PY'
import random, sys, os
src, out = sys.argv[1], sys.argv[2]
rnd = random.Random(7)
def program_like(size):
    b = bytearray(size)
    for i in range(0, size, 64):
        if (i // 64) % 3 == 0:
            b[i:i+64] = rnd.randbytes(min(64, size - i))
        else:
            b[i:i+64] = bytes(((j * 7) & 0x3F) for j in range(i, min(size, i + 64)))
    return bytes(b)
with open(src, 'rb') as f:
    head = f.read()
with open(os.path.join(out, 'Falcrest.exe'), 'wb') as f:
    f.write(head + program_like(50 * 1024 * 1024 - len(head)))
names = []
for n in range(200):
    name = 'Data%03d.dat' % n
    names.append(name)
    with open(os.path.join(out, name), 'wb') as f:
        f.write(program_like(100 * 1024))
with open(os.path.join(out, 'FileNames.txt'), 'w', newline='\r\n') as f:
    f.write('\n'.join(names) + '\n')
PY
printf 'Falcrest\r\n' >"$files/Updates.txt"
printf 'Falcrest\r\n' >"$files/AppInfo1.txt"
printf '{\\rtf1\\ansi Falcrest 2.0\\par}' >"$files/UpdateInfo.txt"

echo "bench: packing the wizard and the NSIS installer" >&2
wizard="$work/FalcrestUpdate"
(cd "$files" && "$build/bin/wizard-pack" build --stub "$build/bin/dremlix-update" --out "$wizard" \
  --file-version 1.2.27.0 AppInfo1.txt Updates.txt FileNames.txt UpdateInfo.txt Falcrest.exe Data*.dat) >/dev/null
cat >"$work/installer.nsi" <<NSI
Name "Falcrest"
OutFile "$work/FalcrestSetup.exe"
SetCompressor zlib
RequestExecutionLevel user
InstallDir "C:\\WDremlix\\Kestrin\\Programs"
Section
  SetOutPath "\$INSTDIR"
  SetOverwrite on
  File "$files/Falcrest.exe"
  File "$files/Data*.dat"
SectionEnd
NSI
makensis -V1 "$work/installer.nsi" >/dev/null

reset_installed() {
  rm -f "$programs"/*
  cp "$top/demo/installed/Falcrest.exe" "$programs/Falcrest.exe"
  touch -d "2021-05-03 09:30:00 UTC" "$programs/Falcrest.exe"
  sync
}
now_ms() { date +%s%N | cut -c1-13; }
check_installed() {
  cmp -s "$files/Falcrest.exe" "$programs/Falcrest.exe" && cmp -s "$files/Data199.dat" "$programs/Data199.dat" \
    || { echo "bench: $1 did not install the files" >&2; exit 1; }
}

wineserver -p
wine cmd /c exit >/dev/null 2>&1 || true
nsis=() ; ours=()
for i in $(seq 0 "$runs"); do
  reset_installed
  t0=$(now_ms); wine "$work/FalcrestSetup.exe" /S >/dev/null 2>&1; t1=$(now_ms)
  check_installed NSIS
  reset_installed
  t2=$(now_ms); "$wizard" --unattended --prefix="$WINEPREFIX" >/dev/null 2>&1 || { echo "bench: the wizard failed" >&2; exit 1; }; t3=$(now_ms)
  check_installed "the wizard"
  # The first round warms the caches of both.
  [ "$i" -eq 0 ] && continue
  nsis+=($((t1 - t0))); ours+=($((t3 - t2)))
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mn=$(median "${nsis[@]}"); mw=$(median "${ours[@]}")
echo "unattended Falcrest update (50 MB program + 200 files of 100 KB), median of $runs runs each, whole processes:"
echo "  NSIS installer /S under Wine: $mn ms (runs: ${nsis[*]})"
echo "  wizard --unattended:          $mw ms (runs: ${ours[*]})"
awk -v w="$mw" -v n="$mn" 'BEGIN { printf "  ratio wizard / NSIS: %.2f\n", w / n }'
