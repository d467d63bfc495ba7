#!/usr/bin/env bash
# Configures and builds into build/ (executables in build/bin/).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# Lets ccache reuse objects across checkouts of the project in other folders.
export CCACHE_BASEDIR="$top"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
[ -f build/CMakeCache.txt ] || cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)"
