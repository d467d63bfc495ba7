#!/usr/bin/env bash
# Makes a Wine prefix in DIR the way Wine makes it on a workstation that runs the products
# (32-bit Windows programs): `wineboot -i` with Wine's 32-bit side installed, which writes
# the full hives (a system.reg of about 2.9 MB). Installs wine64, and wine32:i386 after
# enabling the i386 architecture, through apt-get when they are missing.
#   bench/wine-prefix.sh DIR
# Then: build/bin/oslayer_registry DIR
set -euo pipefail

dir=${1:?usage: bench/wine-prefix.sh DIR}
if [ -e "$dir/system.reg" ]; then
  echo "$dir already holds a prefix" >&2
  exit 1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo
missing=()
installed wine64 || missing+=(wine64)
if ! installed wine32:i386; then
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  missing+=(wine32:i386)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian's wine64 package keeps its programs in /usr/lib/wine; the `wine` package only adds
# wrappers in /usr/bin.
PATH="$PATH:/usr/lib/wine"
wine=$(command -v wine64 || command -v wine)
wineserver=$(command -v wineserver)

mkdir -p "$dir"
export WINEPREFIX
WINEPREFIX=$(cd "$dir" && pwd)
# No window, no Mono or Gecko installer: only what wineboot itself writes.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
"$wine" wineboot -i
# The server writes the hives when it lets the prefix go.
"$wineserver" -w
ls -l "$WINEPREFIX/system.reg" "$WINEPREFIX/user.reg"
