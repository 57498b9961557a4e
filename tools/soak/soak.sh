#!/usr/bin/env bash
# The soak run: builds, plays a generated heavy scenario against the real program
# under Wine in its own prefix and Xvfb, records the summary in docs/reliability/
# and rewrites the soak table of docs/reliability.md.
#
#   tools/soak/soak.sh            30 minutes (the long run)
#   tools/soak/soak.sh 45         45 minutes
#   tools/soak/soak.sh short      the 90-second scenario ctest plays
#
# QUORVEL_SOAK_SEED picks another scenario (default 1). The run's files (journal,
# samples, summary, driver output) stay in build/soak/<label>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
what="${1:-30}"

case "$what" in
  short) label=short ;;
  ''|*[!0-9]*) echo "usage: $0 [minutes|short]" >&2; exit 2 ;;
  *)
    [ "$what" -ge 30 ] || { echo "the long soak runs at least 30 minutes" >&2; exit 2; }
    label=long
    ;;
esac

# A prefix of its own: never the one the tests use, nor the other soak's, so all can run at once.
export QUORVEL_WINEPREFIX="${QUORVEL_WINEPREFIX:-$root/build/soak-prefix-$label}"
"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
source "$root/scripts/wine-env.sh"
trap stop_wine_and_xvfb EXIT

(cd "$root" && cmake --preset mingw >/dev/null)
(cd "$root" && cmake --build --preset mingw)

# Run from a copy, so that a build during the run changes nothing under it.
bin="$root/build/soak/bin-$label"
rm -rf "$bin"
mkdir -p "$bin"
for file in quorvel.exe netapi32.dll quorvel_soak.exe warning.wav help.chm soak-short.scenario; do
  cp "$root/build/mingw/bin/$file" "$bin/"
done
if [ $label = short ]; then
  scenario="$bin/soak-short.scenario"
else
  mkdir -p "$root/build/soak"
  scenario="$root/build/soak/long-$what.scenario"
  python3 "$root/tools/soak/make_scenario.py" --seconds $((what * 60)) --seed "${QUORVEL_SOAK_SEED:-1}" \
    --out "$scenario"
fi
out="$root/build/soak/$label"
rm -rf "$out"
mkdir -p "$out"

# Wine sees the Unix root as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

start_xvfb
prepare_wine_prefix
install_simulated_server "$bin/netapi32.dll"
wineserver -p 60
wine cmd /c exit 0 >/dev/null 2>&1 || true

echo "Soak ($label): $(head -1 "$scenario")"
status=0
QUORVEL_SOAK_SCENARIO=$(windows_path "$scenario") QUORVEL_SOAK_OUT=$(windows_path "$out") QUORVEL_SOAK_LABEL=$label \
  wine "$bin/quorvel_soak.exe" --gtest_filter='Soak.*' --gtest_color=no 2>&1 | tee "$out/driver.log" ||
  status=$?

if [ -f "$out/summary.json" ]; then
  mkdir -p "$root/docs/reliability"
  cp "$out/summary.json" "$root/docs/reliability/soak-$label.json"
  cp "$out/samples.csv" "$root/docs/reliability/soak-$label-samples.csv"
  python3 "$root/tools/soak/update_docs.py" "$root"
  echo "Recorded in docs/reliability/soak-$label.json and docs/reliability.md"
else
  echo "No summary: the driver stopped before the end (see $out/driver.log)" >&2
  status=1
fi
exit $status
