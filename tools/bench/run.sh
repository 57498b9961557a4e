#!/usr/bin/env bash
# Builds and runs the benchmarks under Wine and prints their figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT
(cd "$root" && cmake --preset mingw >/dev/null)
(cd "$root" && cmake --build --preset mingw --target bench_block_tick bench_open_files bench_file_scan)
start_xvfb
prepare_wine_prefix
for bench in "$root"/build/mingw/bin/bench_*.exe; do
  wine "$bench" "$@"
done
