#!/usr/bin/env bash
# The whole-program benchmark: the real quorvel.exe under Wine, in a private Xvfb
# and Wine prefix (build/bench-prefix), against the simulated server, one start of
# the program per measurement. Prints a Markdown table: per case the figure, a floor
# measured the same way (the program with its delivery switched off, autorefresh=0,
# or tools/bench/enumerate_only.exe, which only reads the servers' tables at
# the program's rates), their ratio, and the longest time the program's GUI thread
# left a WM_NULL unanswered (tools/bench/whole_program_probe.exe, one every 20 ms) and
# the longest gap between its open-file scans in the server's journal.
#
#   tools/bench/whole-program.sh                 every case: 6 minutes, 30 for a slow program
#   tools/bench/whole-program.sh quick           8 s CPU windows, 60 s time-outs
#   tools/bench/whole-program.sh burst idle      only these cases (names below)
#   tools/bench/whole-program.sh --build-dir build/other quick first10k
#   tools/bench/whole-program.sh --build-dir build/other --no-build ...
#                                                the programs already built there
#   tools/bench/whole-program.sh --commit HEAD~3 a committed version, exported and built
#                                                apart (build/bench-whole-program/build-<commit>)
#   tools/bench/whole-program.sh --history-off first50k burst blacklist idle memory
#                                                the same cases without the history store
#   tools/bench/whole-program.sh --beside 1701fc3 first200k svc-window-200k
#                                                each case on that commit's quorvel.exe and
#                                                quorvelsvc.exe too, just before the same case
#                                                on this build, both in one table
#
# Cases: first10k, first50k, first200k, burst, blacklist, sessions, refresh, idle, memory,
# servers8slow, servers8busy (eight file servers watched besides this computer);
# with the engine as a Windows service (quorvelsvc.exe installed in the prefix, each
# beside the standalone figure): svc-blacklist, svc-burst, svc-first50k, svc-logline,
# svc-idle, svc-flood, svc-window-200k (the window beside the service with 200,000
# open files); forwarding to a real rsyslogd the run starts on 127.0.0.1:
# fwd-relp-burst, fwd-relp-outage (the collector stopped for 60 s), fwd-udp, fwd-tcp
# (2,000 events/s), fwd-unanswered (a port of 127.0.0.1 that takes connections and
# never answers), fwd-relp-hang (a RELP collector that answers the open and then
# nothing for 3 minutes, then rsyslogd on its port); the History page over a busy
# office's year (10,000,000 events, made once by bench_history and kept in
# build/bench-whole-program/history-cache):
# hist-open (the page's click to its first rows), hist-search (a user and a path part;
# one day's writes), hist-backfill (the year's daily logs read in, and the GUI meanwhile).
#   tools/bench/whole-program.sh --history-events 200000 quick hist-open hist-search
#                                                a smaller year, for a quick try
# Without --build-dir it configures and builds the mingw preset (build/mingw). The
# programs run from a copy (build/bench-whole-program/bin), so a build during the
# run changes nothing under it. Each run's scenario, journal and probe output stay
# in build/bench-whole-program/<run>/, the table in build/bench-whole-program/results.md.
# How each figure is read: tools/bench/README.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

build_dir=""
build=1
commit=""
beside=""
driver_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build_dir=$(cd "$2" && pwd); shift 2 ;;
    --no-build) build=0; shift ;;
    --commit) commit=$(git -C "$root" rev-parse --verify "$2^{commit}"); shift 2 ;;
    --beside) beside=$(git -C "$root" rev-parse --verify "$2^{commit}"); shift 2 ;;
    quick) driver_args+=(--quick); shift ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1' "$0"; exit 0 ;;
    *) driver_args+=("$1"); shift ;;
  esac
done

out="$root/build/bench-whole-program"
mkdir -p "$out"
# Runs share the prefix's Documents folder and this output: one at a time.
exec 9>"$out/.lock"
if ! flock -n 9; then
  echo "Another whole-program benchmark is running (lock: $out/.lock)" >&2
  exit 1
fi

export QUORVEL_WINEPREFIX="${QUORVEL_WINEPREFIX:-$root/build/bench-prefix}"
"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT

# A commit exported and configured apart: a source and a build folder per commit (an
# export carries the commit's file times, which an incremental build of another
# commit's objects would take for up to date). $1: the commit; $2: 1 to take today's
# probes into it (for a commit from before they existed). Prints the build folder.
configure_commit() {
  local commit=$1 source_dir="$out/source-${1:0:12}" dir="$out/build-${1:0:12}"
  if [ ! -d "$source_dir" ]; then
    mkdir -p "$source_dir"
    git -C "$root" archive "$commit" | tar -x -C "$source_dir"
  fi
  if [ "$2" = 1 ]; then
    cp -rp "$root/tools/bench/." "$source_dir/tools/bench/"
  fi
  # SQLite's amalgamation, for a commit that builds it.
  if [ -d "$source_dir/third_party/sqlite" ]; then
    cp "$root/third_party/sqlite/sqlite3.c" "$root/third_party/sqlite/sqlite3.h" "$source_dir/third_party/sqlite/"
  fi
  cmake -S "$source_dir" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
  echo "$dir"
}

# Other commits' folders go; those of the commits asked for stay for the next run.
for folder in "$out"/source-* "$out"/build-*; do
  [ -e "$folder" ] || continue
  name=${folder##*-}
  [ -n "$commit" ] && [ "$name" = "${commit:0:12}" ] && continue
  [ -n "$beside" ] && [ "$name" = "${beside:0:12}" ] && continue
  rm -rf "$folder"
done

# The build's source: the working tree, or an export of the commit asked for.
if [ -n "$commit" ]; then
  build_dir=$(configure_commit "$commit" 1)
elif [ -z "$build_dir" ]; then
  build_dir="$root/build/mingw"
  if [ $build -eq 1 ]; then
    (cd "$root" && cmake --preset mingw >/dev/null)
  fi
fi
if [ $build -eq 1 ]; then
  cmake --build "$build_dir" --target quorvel quorvelsvc netapi_sim whole_program_probe enumerate_only bench_history
fi

# The program as a release ships it: stripped. Wine copies a section it cannot map
# from the file into memory, and where the debug information lands decides whether
# some megabytes of it count in the resident memory.
strip_programs() {
  if command -v x86_64-w64-mingw32-strip >/dev/null 2>&1; then
    for file in "$1/quorvel.exe" "$1/quorvelsvc.exe"; do
      if [ -f "$file" ]; then x86_64-w64-mingw32-strip "$file"; fi
    done
  fi
}

bin="$out/bin"
rm -rf "$bin"
mkdir -p "$bin"
for file in quorvel.exe quorvelsvc.exe netapi32.dll help.chm warning.wav whole_program_probe.exe enumerate_only.exe \
    bench_history.exe; do
  [ -f "$build_dir/bin/$file" ] && cp -p "$build_dir/bin/$file" "$bin/"
done
strip_programs "$bin"

# The commit set beside: its programs only; the simulated server and the probes are
# this build's, so that both are measured the same way.
beside_args=()
if [ -n "$beside" ]; then
  beside_build=$(configure_commit "$beside" 0)
  cmake --build "$beside_build" --target quorvel quorvelsvc
  beside_bin="$out/bin-beside"
  rm -rf "$beside_bin"
  cp -rp "$bin" "$beside_bin"
  for file in quorvel.exe quorvelsvc.exe help.chm warning.wav; do
    [ -f "$beside_build/bin/$file" ] && cp -p "$beside_build/bin/$file" "$beside_bin/"
  done
  strip_programs "$beside_bin"
  beside_args=(--beside-bin "$beside_bin" --beside-label "${beside:0:7}")
fi

built="quorvel.exe of $(date -r "$bin/quorvel.exe" '+%Y-%m-%d %H:%M')"
if [ -n "$commit" ]; then
  built+=", commit ${commit:0:7}"
elif grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$build_dir/CMakeCache.txt" 2>/dev/null; then
  changed=$(git -C "$root" status --porcelain -- core rules engine windows app resources CMakeLists.txt | wc -l)
  built+=", working tree at commit $(git -C "$root" rev-parse --short HEAD)"
  if [ "$changed" -gt 0 ]; then
    built+=" with $changed uncommitted product files"
  fi
else
  built+=" from $build_dir"
fi

# A Wine server left by an interrupted run would refuse the start below: it goes first.
wineserver -k >/dev/null 2>&1 || true
start_xvfb
prepare_wine_prefix
install_simulated_server "$bin/netapi32.dll"
# One Wine server for all runs, started before them, so no run pays for its start.
wineserver -p 60
wine cmd /c exit 0 >/dev/null 2>&1 || true

machine="$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
python3 "$root/tools/bench/whole_program.py" --bin "$bin" --out "$out" \
  --header "Whole-program benchmark, $(date '+%Y-%m-%d %H:%M'): $built; $machine." \
  ${beside:+--header "Each case first on commit ${beside:0:7} (its quorvel.exe and quorvelsvc.exe, this build's simulated server and probes), then on this build."} \
  "${beside_args[@]}" "${driver_args[@]}"
