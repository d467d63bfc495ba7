#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
# Wine is the reference the tests check the environment against (registry written by
# `wine reg`, programs held open under Wine); ansible-core runs the roll-out playbook,
# ansible-lint checks it.
# The products are 32-bit Windows programs: a prefix made by wineboot holds the keys they
# read (HKLM\Software\Wow6432Node) only when Wine's 32-bit side, wine32:i386, is there.
set -euo pipefail

PACKAGES=(
  cmake g++ ninja-build ccache pkg-config
  qt6-base-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
  zlib1g-dev
  libgtest-dev
  firebird3.0-server firebird3.0-utils firebird-dev libfbclient2
  poppler-utils
  iproute2
  wine wine64
  ansible-core ansible-lint minisign
  wine32:i386
  xvfb
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# The Firebird server package must not start a system-wide server: the tests run
# a private instance of their own.
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
