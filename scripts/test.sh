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
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"

# A file system of 256 KiB of its own lets the tests fill the logs' disk. Mounting
# it needs root; without it that one test is skipped. It goes away with the run.
full_disk="$root/build/full-disk"
full_disk_mounted=0
finish() {
  stop_wine_and_xvfb
  if [ "$full_disk_mounted" -eq 1 ]; then
    umount "$full_disk" 2>/dev/null || true
  fi
}
trap finish EXIT
mkdir -p "$full_disk"
if [ "$(id -u)" -eq 0 ] && ! mountpoint -q "$full_disk" &&
   mount -t tmpfs -o size=256k quorvel-full-disk "$full_disk" 2>/dev/null; then
  full_disk_mounted=1
fi
if mountpoint -q "$full_disk"; then
  export QUORVEL_FULL_DISK="Z:${full_disk//\//\\}"
fi

(cd "$root" && cmake --preset "$preset" >/dev/null)
(cd "$root" && cmake --build --preset "$preset")

start_xvfb
prepare_wine_prefix
install_simulated_server "$root/build/$preset/bin/netapi32.dll"
# One Wine server for the whole run: each test then starts in a fraction of a second.
wineserver -p 60
wine cmd /c exit 0 >/dev/null 2>&1 || true

cd "$root"
ctest --preset "$preset" "$@"
