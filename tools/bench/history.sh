#!/usr/bin/env bash
# The history's benchmark under Wine: a busy office's year as daily logs (10,000,000
# events over 365 days unless told otherwise), read in by the back-fill, searched, then
# the live writer's rate; and the same year stored straight into a database of its own.
#   tools/bench/history.sh [events]
# The work folder, build/bench-history, holds some gigabytes while it runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
events=${1:-10000000}
"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT
(cd "$root" && cmake --preset mingw >/dev/null)
(cd "$root" && cmake --build --preset mingw --target bench_history)
prepare_wine_prefix
wineserver -p 60
bench="$root/build/mingw/bin/bench_history.exe"
work="$root/build/bench-history"
rm -rf "$work"
mkdir -p "$work"
logs="$(winepath -w "$work")\\logs"
direct="$(winepath -w "$work")\\direct"
wine "$bench" make-logs "$logs" "$events" 365
du -sh "$work/logs"
wine "$bench" backfill "$logs"
wine "$bench" queries "$logs"
wine "$bench" writer "$logs" 500000
wine "$bench" make-db "$direct" "$events" 365
wine "$bench" queries "$direct"
