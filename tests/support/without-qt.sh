#!/bin/sh
# without-qt.sh COMMAND [ARG...]
# Runs COMMAND in a mount namespace of its own where the Qt libraries, the Qt plugins, ICU,
# the Firebird client and the X11 helper libraries a bare desktop may lack cannot be
# loaded: each library file is covered by an empty file, each plugin folder by an empty
# one. Nothing outside the namespace changes. Exits 77 when this machine cannot make the
# namespace (no user namespaces for an ordinary user, no unshare).
#
# DREMLIX_READONLY_FOLDERS (colon-separated) are made read-only in the namespace as well,
# as a read-only home would be, even for root.
set -eu
if [ "${DREMLIX_IN_NAMESPACE:-}" != 1 ]; then
  command -v unshare >/dev/null 2>&1 || { echo "without-qt: unshare is not installed" >&2; exit 77; }
  if [ "$(id -u)" -eq 0 ]; then
    set -- unshare --mount --propagation private "$0" "$@"
  else
    set -- unshare --mount --map-root-user --propagation private "$0" "$@"
  fi
  unshare_probe=$( (unshare --mount --propagation private true || unshare --mount --map-root-user --propagation private true) 2>&1) \
    || { echo "without-qt: this machine cannot make a mount namespace: $unshare_probe" >&2; exit 77; }
  DREMLIX_IN_NAMESPACE=1 exec "$@"
fi
unset DREMLIX_IN_NAMESPACE

empty=$(mktemp)
trap 'rm -f "$empty"' EXIT
for dir in /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/lib64 /usr/local/lib; do
  [ -d "$dir" ] || continue
  for f in "$dir"/libQt6* "$dir"/libfbclient* "$dir"/libicu* "$dir"/libtommath* \
           "$dir"/libxcb-icccm* "$dir"/libxcb-image* "$dir"/libxcb-keysyms* "$dir"/libxcb-render-util* \
           "$dir"/libxkbcommon* "$dir"/libdouble-conversion* "$dir"/libmd4c* "$dir"/libb2.* "$dir"/libpcre2-16*; do
    [ -f "$f" ] && [ ! -L "$f" ] && mount --bind "$empty" "$f"
  done
  for sub in qt6 firebird; do
    [ -d "$dir/$sub" ] && mount -t tmpfs -o size=1m,mode=0755 none "$dir/$sub"
  done
done
old_ifs=$IFS
IFS=:
for folder in ${DREMLIX_READONLY_FOLDERS:-}; do
  [ -n "$folder" ] && mount --bind "$folder" "$folder" && mount -o remount,bind,ro "$folder"
done
IFS=$old_ifs
unset DREMLIX_READONLY_FOLDERS
exec "$@"
