#!/usr/bin/env bash
# Builds Quorvel and its tests and runs every test under Wine in a private Xvfb.
# --hardened first builds and tests the checked build instead (build/mingw-hardened:
# stack protector, fortify, library assertions and debug containers, undefined
# behaviour traps). Extra arguments go to ctest (for instance -L unit, or -R program).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=mingw
if [ "${1:-}" = "--hardened" ]; then
  preset=mingw-hardened
  shift
fi

"$root/scripts/install-deps.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT

(cd "$root" && cmake --preset "$preset" >/dev/null)
(cd "$root" && cmake --build --preset "$preset")

start_xvfb
prepare_wine_prefix
# One Wine server for the whole run: each test then starts in a fraction of a second.
wineserver -p 60
wine cmd /c exit 0 >/dev/null 2>&1 || true

cd "$root"
ctest --preset "$preset" "$@"
