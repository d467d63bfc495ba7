#!/usr/bin/env bash
# Needs binutils-mingw-w64-i686 and the host cpp (windres preprocesses with it).
# Remakes the two Falcrest programs of the demo from their sources (run once; the
# results are committed): demo/Falcrest.exe (5.3.0.12, the update's) and
# demo/installed/Falcrest.exe (5.2.4.7, the one the demo workstation has).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
i686-w64-mingw32-as --32 -o "$work/falcrest.o" "$here/falcrest.s"
for v in "Falcrest:$here/../Falcrest.exe" "Falcrest-installed:$here/../installed/Falcrest.exe"; do
  rc=${v%%:*}; out=${v#*:}
  i686-w64-mingw32-windres --preprocessor=cpp -i "$here/$rc.rc" -o "$work/$rc.res.o"
  i686-w64-mingw32-ld -m i386pe --subsystem windows -e _start -o "$out" "$work/falcrest.o" "$work/$rc.res.o"
  i686-w64-mingw32-strip "$out"
done
