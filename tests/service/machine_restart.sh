#!/usr/bin/env bash
# The machine restarted: the Wine server ended with the service running, then a new one
# started, as Windows starts after a restart. The service must start by itself and cut
# off a blacklisted computer before anyone starts the window.
# Usage: machine_restart.sh QUORVELSVC_EXE NETAPI_SIM_DLL (under scripts/test.sh's Wine).
set -euo pipefail
service_exe=$1
sim_dll=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"

folder=$(winepath -u 'C:\quorvel-restart' 2>/dev/null)
settings=$(winepath -u 'C:\ProgramData\Quorvel' 2>/dev/null)
journal="$folder/netapi-sim.journal"
finish() {
  wine "$folder/quorvelsvc.exe" uninstall >/dev/null 2>&1 || true
  rm -rf "$folder" "$settings"
  # The run's other tests keep a server of their own; it holds no pipe of ctest's open.
  wineserver -p 60 </dev/null >/dev/null 2>&1 || true
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}
trap finish EXIT

fail() { echo "FAILED: $*"; exit 1; }
# Waits up to $1 tenths of a second for the journal to hold a line matching $2.
wait_for_line() {
  for _ in $(seq 1 "$1"); do
    grep -q "$2" "$journal" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

rm -rf "$folder" "$settings"
mkdir -p "$folder" "$settings"
cp "$service_exe" "$folder/quorvelsvc.exe"
install_simulated_server "$sim_dll"
printf '1 connect PC-ONE bob\n2 connect PC-BAD eve\n' >"$folder/netapi-sim.scenario"
printf '[blacklist]\r\ncount=1\r\ncomp0=PC-BAD\r\n' >"$settings/quorvel.ini"

wine "$folder/quorvelsvc.exe" install || fail "the service did not install"
wait_for_line 200 'call NetSessionDel .*PC-BAD' || fail "the installed service did not cut PC-BAD off"

echo "ending the Wine server with the service running"
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w </dev/null >/dev/null 2>&1
rm -f "$journal"
started=$(date +%s%N)
wineserver -p 60 </dev/null >/dev/null 2>&1
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || true  # the machine comes up; nobody logs on

wait_for_line 300 'call NetSessionDel .*PC-BAD' || fail "after the restart the service did not cut PC-BAD off"
echo "after the restart: PC-BAD cut off $(( ($(date +%s%N) - started) / 1000000 )) ms after the server started"
connect=$(grep -m1 'event connect computer="PC-BAD"' "$journal" | sed -E 's/.* t=([0-9]+) .*/\1/')
cut=$(grep -m1 'call NetSessionDel .*PC-BAD' "$journal" | sed -E 's/.* t=([0-9]+) .*/\1/')
echo "connected at t=$connect ms, cut off at t=$cut ms"
[ $((cut - connect)) -le 300 ] || fail "the cut took $((cut - connect)) ms"
state=$(wine sc query Quorvel | tr -d '\r' | grep STATE || true)
echo "$state" | grep -q RUNNING || fail "the service manager says: $state"
echo "PASSED"
