#!/usr/bin/env bash
# Makes a demo Windows environment at PREFIX (made afresh): a Wine-style prefix playing
# Windows 7 on which Orvanta, the main product, is registered, with an older Falcrest
# installed beside it. Used by the demo and by the roll-out test.
#
#   make-demo-prefix.sh PREFIX
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
prefix=$1

user=${USER:-$(id -un)}
rm -rf "$prefix"
mkdir -p "$prefix/dosdevices" "$prefix/drive_c/windows/system32" "$prefix/drive_c/users/$user/Temp" \
         "$prefix/drive_c/WDremlix/ORV/Programs" "$prefix/drive_c/WDremlix/Kestrin/Programs"
ln -s ../drive_c "$prefix/dosdevices/c:"
ln -s / "$prefix/dosdevices/z:"

# The hives in Wine's text format: a workstation playing Windows 7 on which Orvanta,
# the main product, is registered; Falcrest is found from Orvanta's folder.
now=$(date +%s)
cat > "$prefix/system.reg" <<REG
WINE REGISTRY Version 2
;; All keys relative to \\\\Machine

#arch=win32

[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] $now
#time=1da0b0c0d0e0f00
"CurrentBuildNumber"="7601"
"CurrentVersion"="6.1"
"ProductName"="Microsoft Windows 7"

[Software\\\\Wine\\\\Drives] $now
#time=1da0b0c0d0e0f00

REG
cat > "$prefix/user.reg" <<REG
WINE REGISTRY Version 2
;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000

#arch=win32

[Environment] $now
#time=1da0b0c0d0e0f00
"TEMP"="C:\\\\users\\\\$user\\\\Temp"
"TMP"="C:\\\\users\\\\$user\\\\Temp"

[Software\\\\DREMLIX S.A.\\\\Orvanta\\\\Program] $now
#time=1da0b0c0d0e0f00
"Filename"="C:\\\\WDremlix\\\\ORV\\\\Programs\\\\Orvanta.exe"

REG

# The older Falcrest the update replaces, as it was installed in spring 2021.
installed="$prefix/drive_c/WDremlix/Kestrin/Programs/Falcrest.exe"
cp "$top/demo/installed/Falcrest.exe" "$installed"
touch -d "2021-05-03 09:30:00 UTC" "$installed"
