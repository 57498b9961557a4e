# Sourced by the scripts: a private Wine prefix, a quiet Wine, and a display.
# shellcheck shell=bash

quorvel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export WINEARCH=win64
export WINEDEBUG=-all
export WINEPREFIX="${QUORVEL_WINEPREFIX:-$quorvel_root/build/wineprefix}"
# No Mono or Gecko installers on a fresh prefix; nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

quorvel_xvfb_pid=""

# A fresh prefix when none is there: no crash dialog (it would hang an unattended
# run), no sound device (its absence only makes noise on a server), a virtual
# desktop, and the fonts the dialogs ask for.
prepare_wine_prefix() {
  if [ -f "$WINEPREFIX/.quorvel-ready-5" ]; then
    private_documents
    return 0
  fi
  echo "Making a Wine prefix in $WINEPREFIX (once, about 20 s)"
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d '' /f >/dev/null 2>&1
  # Every program in a virtual desktop: a taskbar with a notification area, window
  # captions, and none of the stalls a bare X server gives the tray and dialogs.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1280x800 /f >/dev/null 2>&1
  # quorvel.exe and the service, quorvelsvc.exe, take the system folder's netapi32.dll,
  # the simulated server once install_simulated_server put it there, before Wine's own.
  # The service manager starts the service without the environment of whoever started
  # it: the registry reaches it, WINEDLLOVERRIDES not.
  wine reg add 'HKCU\Software\Wine\AppDefaults\quorvel.exe\DllOverrides' /v netapi32 /t REG_SZ /d native,builtin /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\AppDefaults\quorvelsvc.exe\DllOverrides' /v netapi32 /t REG_SZ /d native,builtin /f >/dev/null 2>&1
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  wineserver -w
  private_documents
  touch "$WINEPREFIX/.quorvel-ready-5"
}

# The simulated server where the program and the service take netapi32 from: the
# prefix's system folder (they never take one beside them). Programs without the
# override above keep Wine's own.
install_simulated_server() {
  local dll=$1
  local system32="$WINEPREFIX/drive_c/windows/system32"
  cmp -s "$dll" "$system32/netapi32.dll" || cp "$dll" "$system32/netapi32.dll"
}

# Wine links a new prefix's Documents to $HOME, which every prefix of the user shares:
# one run's settings file and logs would be another's to read and delete. A folder of its own.
private_documents() {
  local documents
  for documents in "$WINEPREFIX"/drive_c/users/*/Documents; do
    if [ -L "$documents" ]; then
      rm -f "$documents"
      mkdir -p "$documents"
    fi
  done
}

# Starts a private Xvfb and points DISPLAY at it.
start_xvfb() {
  local number=90
  while [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; do
    number=$((number + 1))
  done
  Xvfb ":$number" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
  quorvel_xvfb_pid=$!
  export DISPLAY=":$number"
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$number" ] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on $DISPLAY" >&2
  return 1
}

# Stops the Wine server of our prefix and our Xvfb, leaving nothing running.
stop_wine_and_xvfb() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$quorvel_xvfb_pid" ]; then
    kill "$quorvel_xvfb_pid" >/dev/null 2>&1 || true
    wait "$quorvel_xvfb_pid" 2>/dev/null || true
    quorvel_xvfb_pid=""
  fi
}
