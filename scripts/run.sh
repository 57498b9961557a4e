#!/usr/bin/env bash
# Builds Quorvel and runs it under Wine against the simulated file server, which
# plays a small office (tools/netapi-sim/office.scenario, about six minutes).
# With a display (DISPLAY set), the program opens in a Wine desktop window and runs
# until you choose File > Exit. Without one, it runs for a while in a private Xvfb
# and leaves a screenshot behind. Extra arguments go to quorvel.exe (h starts hidden).
# QUORVEL_SCENARIO picks another scenario file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${QUORVEL_RUN_SECONDS:-20}

"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT

(cd "$root" && cmake --preset mingw >/dev/null)
(cd "$root" && cmake --build --preset mingw --target quorvel netapi_sim quorvel_help)

bin="$root/build/mingw/bin"
headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  start_xvfb
fi
prepare_wine_prefix
install_simulated_server "$bin/netapi32.dll"

scenario=${QUORVEL_SCENARIO:-$root/tools/netapi-sim/office.scenario}
journal="$root/build/demo.journal"
rm -f "$journal"
export QUORVEL_SIM_SCENARIO QUORVEL_SIM_JOURNAL
QUORVEL_SIM_SCENARIO=$(winepath -w "$scenario" 2>/dev/null)
QUORVEL_SIM_JOURNAL=$(winepath -w "$journal" 2>/dev/null)
echo "Simulated server: $scenario; its journal: $journal"

cd "$bin"
if [ "$headless" -eq 0 ]; then
  echo "Quorvel runs in a Wine desktop window; File > Exit ends it."
  wine explorer /desktop=Quorvel,1280x800 quorvel.exe "$@"
  exit 0
fi

shot="$root/build/quorvel-screenshot.png"
echo "No display here: running Quorvel for ${seconds} s in a private Xvfb ($DISPLAY)."
echo "To watch it live, run this command from a desktop session (or ssh -X), where DISPLAY is set."
wine explorer /desktop=Quorvel,1280x800 quorvel.exe "$@" &
sleep "$seconds"
import -window root "$shot" 2>/dev/null && echo "Screenshot of the running program: $shot"
