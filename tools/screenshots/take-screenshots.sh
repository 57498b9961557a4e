#!/usr/bin/env bash
# Remakes the screenshots in docs/: builds Quorvel and the simulated server, plays the
# office demo in a private Xvfb, and saves the main window (frame and caption, nothing
# of the desktop around it) as docs/main-window.png.
#
#   tools/screenshots/take-screenshots.sh [page|settings|tripwires|about|servers|notify|all]...
#
# Each page named (monitoring, blacklist, shares, log, history; or all) is also shown, by a
# click on its item in the navigation bar, and saved as docs/<page>-page.png.
# Also by name (or all):
#   settings   File > Settings..., the dialog alone: docs/settings-dialog.png
#   tripwires  File > Settings... > Tripwires..., the dialog alone: docs/tripwires-dialog.png
#   about      Help > About..., the box alone: docs/about-box.png
#   servers    other file servers watched (a second run, with the shots' own [servers]
#              section and servers.scenario beside this script): the Monitoring page
#              with \\FS1 chosen in its server box, docs/monitoring-remote.png, and
#              File > Settings... > Servers..., the dialog alone, docs/servers-dialog.png
#   notify     the notify window over the taskbar's right end while Quorvel runs hidden
#              (a run of its own, started with h): docs/notify-window.png
#
# Every window shown is also checked for cut texts: text_fit_check.exe (built with the
# project from text_fit_check.cpp and text_fit_probe.cpp beside this script) measures,
# from inside Quorvel's process and with each control's own font, the static texts,
# the texts beside check boxes and radio buttons and the group boxes' captions of the
# main window (its pages included) and of every dialog shot, and of two dialogs shown
# only for the check: Block (Monitoring page: a right click on the first session,
# Temporary block > More...) when the monitoring page is shot, and Add computer into
# blacklist (the Black list page's Add button) when the blacklist page is. Each is
# closed with Escape, so nothing is blocked or added. A text cut by its control
# (drawn past its right edge, or in more lines than its height holds) is printed with
# the window's title, the control's id and the text; the shots are all taken, and then
# the script fails.
#
# The demo is tools/netapi-sim/office.scenario followed by bait-read.scenario beside
# this script (a user opens a bait file a minute in), and the settings file of the
# shots' own prefix gets a [tripwires] section of two bait patterns and the default
# rules, so that the Black list page shows a computer cut off by a tripwire. Nothing of
# the office demo itself is changed. Only the servers run watches other servers: the
# other runs have no [servers] section, so their pages look as without servers.
#
# Settings, from the environment:
#   QUORVEL_SHOTS_SETTLE  seconds the demo plays before the first shot (default 18)
#   QUORVEL_SHOTS_SPEED   scenario seconds per real second (default 4)
#   QUORVEL_SHOTS_TMP     scratch folder: the Wine prefix, the journal, raw grabs
#                         (default /tmp/quorvel-screenshots-<uid>)
#   QUORVEL_SHOTS_BUILD   a build folder already configured for the mingw-w64 cross
#                         build, where quorvel and netapi_sim are built and run from
#                         (default: the mingw preset's, build/mingw)
#
# The program runs in a Wine prefix of its own, so a test run or a demo in
# build/wineprefix (same single-instance mutex, same wineserver) is not disturbed and
# stopping our wineserver stops only what this script started.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
docs="$root/docs"
settle=${QUORVEL_SHOTS_SETTLE:-18}
speed=${QUORVEL_SHOTS_SPEED:-4}
scratch=${QUORVEL_SHOTS_TMP:-/tmp/quorvel-screenshots-$(id -u)}
build=${QUORVEL_SHOTS_BUILD:-}
title='Quorvel 1.2'

# Navigation bar items, in window coordinates (from the window's top-left corner,
# frame included): the centres of the 32x32 icons, one item every 75 pixels.
nav_x=40
nav_first_y=70
nav_step=75
# The File menu on the menu bar, in window coordinates.
file_menu_x=17
file_menu_y=34
# The Help menu, right of File on the menu bar.
help_menu_x=50
help_menu_y=34
# The Settings dialog's Tripwires... button, from the dialog's bottom-left corner
# (frame included): its centre.
tripwires_button_x=48
tripwires_button_up=21
# Its Servers... button, right of Tripwires...: its centre, the same way.
servers_button_x=124
servers_button_up=21
# The Monitoring page's first session (a point in its first row of the sessions list)
# and the Black list page's Add button, in window coordinates.
first_session_x=150
first_session_y=100
add_button_x=597
add_button_y=61
# The Monitoring page's server box (control 1120), in window coordinates: a point in
# the box, left of its arrow.
server_box_x=230
server_box_y=62
# The notify window's shot: the screen's bottom-right corner, the right end of the
# taskbar (its bottom 20 rows) included; the popup, up to ten lines, fits above it.
notify_width=420
notify_height=260
taskbar_height=20

usage() {
  echo "usage: $0 [monitoring|blacklist|shares|log|settings|tripwires|about|servers|notify|all]..." >&2
  exit 2
}

pages=()
want_settings=""
want_tripwires=""
want_about=""
want_servers=""
want_notify=""
for argument in "$@"; do
  case "$argument" in
    monitoring | blacklist | shares | log | history) pages+=("$argument") ;;
    settings) want_settings=1 ;;
    tripwires) want_tripwires=1 ;;
    about) want_about=1 ;;
    servers) want_servers=1 ;;
    notify) want_notify=1 ;;
    all)
      pages+=(monitoring blacklist shares log history)
      want_settings=1; want_tripwires=1; want_about=1; want_servers=1; want_notify=1
      ;;
    -h | --help) usage ;;
    *) echo "Unknown page: $argument" >&2; usage ;;
  esac
done

page_index() {
  case "$1" in
    monitoring) echo 0 ;;
    blacklist) echo 1 ;;
    shares) echo 2 ;;
    log) echo 3 ;;
    history) echo 4 ;;
  esac
}

"$root/scripts/install-deps.sh"
"$root/scripts/fetch-sqlite.sh"
for tool in Xvfb xdotool xwininfo import convert winepath; do
  command -v "$tool" >/dev/null 2>&1 || { echo "Missing $tool after installing the dependencies" >&2; exit 1; }
done

mkdir -p "$scratch" "$docs"
export QUORVEL_WINEPREFIX="$scratch/wineprefix"
source "$root/scripts/wine-env.sh"

quorvel_pid=""
finish() {
  stop_wine_and_xvfb
  if [ -n "$quorvel_pid" ]; then
    wait "$quorvel_pid" 2>/dev/null || true
  fi
}
trap finish EXIT

if [ -n "$build" ]; then
  build=$(cd "$build" && pwd)
  cmake --build "$build" --target quorvel netapi_sim text_fit_check
  bin="$build/bin"
  checker="$build/tools/screenshots"
else
  # Presets are read from the working folder, so build from the top of the tree.
  (cd "$root" && cmake --preset mingw >/dev/null &&
    cmake --build --preset mingw --target quorvel netapi_sim text_fit_check)
  bin="$root/build/mingw/bin"
  checker="$root/build/mingw/tools/screenshots"
fi

start_xvfb
prepare_wine_prefix
install_simulated_server "$bin/netapi32.dll"

# The shots' own settings: the tripwires on, with two bait patterns and the default
# rules, no computer left cut off by an earlier run, and no other server watched. The
# rest of quorvel.ini is kept as the last run left it.
documents="$WINEPREFIX/drive_c/users/$(id -un)/Documents"
if [ ! -d "$documents" ]; then
  echo "No Documents folder in the Wine prefix: $documents" >&2
  exit 1
fi
ini="$documents/quorvel.ini"
touch "$ini"
# Copies quorvel.ini without the sections named (lower case, brackets included) to
# quorvel.ini.new.
ini_without() {
  awk -v drop=" $* " '{ line = $0; sub(/\r$/, "", line) }
     line ~ /^\[/ { section = tolower(line); skip = index(drop, " " section " ") > 0 }
     !skip' "$ini" >"$ini.new"
}
ini_without '[tripwires]' '[tripped]' '[servers]'
printf '%s\r\n' '[tripwires]' 'enabled=1' 'count=2' 'bait1=*\!000-archive\*' 'bait2=*\salaries*' \
  'burstfiles=20' 'burstseconds=10' 'blockminutes=60' >>"$ini.new"
mv "$ini.new" "$ini"

journal="$scratch/office.journal"
scenario="$scratch/shots.scenario"
rm -f "$journal"
cat "$root/tools/netapi-sim/office.scenario" "$root/tools/screenshots/bait-read.scenario" >"$scenario"
export QUORVEL_SIM_SCENARIO QUORVEL_SIM_JOURNAL QUORVEL_SIM_SPEED="$speed"
QUORVEL_SIM_SCENARIO=$(winepath -w "$scenario" 2>/dev/null)
QUORVEL_SIM_JOURNAL=$(winepath -w "$journal" 2>/dev/null)

echo "Starting Quorvel on $DISPLAY (journal: $journal)"
(cd "$bin" && exec wine ./quorvel.exe) >"$scratch/wine.log" 2>&1 &
quorvel_pid=$!

# In the virtual desktop each top-level window is a child X window of the desktop
# window, named by its caption and placed where the window is, frame included: its
# geometry is the main window's rectangle on the screen. Waits for the main window of
# the run just started (its Wine output in the file given) and sets window to its id.
wait_for_main_window() {
  window=""
  for _ in $(seq 600); do
    window=$(xdotool search --onlyvisible --name "^${title//./\\.}\$" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && return 0
    if ! kill -0 "$quorvel_pid" 2>/dev/null; then
      echo "Quorvel ended before showing its window; see $1" >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "No window titled \"$title\" appeared on $DISPLAY within 60 s" >&2
  exit 1
}
wait_for_main_window "$scratch/wine.log"

# Sets left, top, width, height to a window's rectangle on the screen (default: the
# main window's).
window_rectangle() {
  local info
  info=$(xwininfo -id "${1:-$window}")
  left=$(sed -n 's/^ *Absolute upper-left X: *\(-\{0,1\}[0-9]*\)$/\1/p' <<<"$info")
  top=$(sed -n 's/^ *Absolute upper-left Y: *\(-\{0,1\}[0-9]*\)$/\1/p' <<<"$info")
  width=$(sed -n 's/^ *Width: *\([0-9]*\)$/\1/p' <<<"$info")
  height=$(sed -n 's/^ *Height: *\([0-9]*\)$/\1/p' <<<"$info")
  if [ -z "$left" ] || [ -z "$top" ] || [ -z "$width" ] || [ -z "$height" ] ||
    [ "$left" -lt 0 ] || [ "$top" -lt 0 ] || [ $((left + width)) -gt 1280 ] || [ $((top + height)) -gt 800 ]; then
    echo "The window is not wholly on the screen: ${width}x${height} at $left,$top" >&2
    exit 1
  fi
}

# Moves the pointer onto the desktop, away from anything it could highlight.
park_pointer() {
  xdotool mousemove --sync 1 1
}

# Clicks at a point given in window coordinates.
click_in_window() {
  window_rectangle
  xdotool mousemove --sync $((left + $1)) $((top + $2)) click 1
}

# Grabs the screen and keeps a window's rectangle of it (default: the main window's).
shoot() {
  local output=$1
  park_pointer
  sleep 1
  window_rectangle "${2:-}"
  import -window root "$scratch/screen.png"
  convert "$scratch/screen.png" -crop "${width}x${height}+${left}+${top}" +repage -strip "$output"
  echo "Saved ${output#"$root"/} (${width}x${height}, taken at $left,$top on the screen)"
}

# Waits up to 10 s for a visible top-level window of that exact caption; prints its id.
find_window() {
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --name "^${1//./\\.}\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "No window titled \"$1\" appeared on $DISPLAY within 10 s" >&2
  return 1
}

# Closes the dialog of that caption with Escape and waits up to 5 s for it to go.
close_dialog() {
  local caption=$1
  xdotool key --clearmodifiers Escape
  for _ in $(seq 50); do
    xdotool search --onlyvisible --name "^${caption//./\\.}\$" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  echo "The \"$caption\" window did not close on Escape" >&2
  exit 1
}

# Opens a menu of the menu bar with a click and runs one of its items with the keys
# given (Down once selects the first item); prints the id of the dialog that opens,
# found by its caption.
open_dialog() {
  local menu_x=$1 menu_y=$2 keys=$3 caption=$4
  click_in_window "$menu_x" "$menu_y"
  sleep 0.5
  # shellcheck disable=SC2086
  xdotool key --clearmodifiers $keys
  find_window "$caption"
}

# Opens a dialog from the menu bar, shoots it alone, checks its texts and closes it
# with Escape.
shoot_dialog() {
  local caption=$4 output=$5 dialog
  dialog=$(open_dialog "$1" "$2" "$3" "$caption")
  shoot "$output" "$dialog"
  check_texts "$caption"
  close_dialog "$caption"
}

# The Block dialog, from the Monitoring page shown: a right click on the first session
# opens its menu, Up selects its last item (Temporary block), Right opens that and
# Up selects its last item (More...). Escape closes the dialog and blocks nothing.
check_block_dialog() {
  click_in_window "$first_session_x" "$first_session_y"
  xdotool click 3
  sleep 0.5
  xdotool key --clearmodifiers Up Right Up Return
  find_window "Block" >/dev/null
  check_texts "Block"
  close_dialog "Block"
}

# The Add computer dialog, from the Black list page shown (in its Blacklist mode, as the
# shots' settings leave it). Escape closes it and adds nothing.
check_add_computer_dialog() {
  local caption="Add computer into blacklist"
  click_in_window "$add_button_x" "$add_button_y"
  find_window "$caption" >/dev/null
  check_texts "$caption"
  close_dialog "$caption"
}

# The texts found cut, one line each (the checker's own words).
cut_texts=()

# Checks the texts of the shown window of that title (see the header) and keeps the
# lines of those cut. Stops the script if the window cannot be measured at all.
check_texts() {
  local caption=$1 output status=0
  output=$(cd "$checker" && wine ./text_fit_check.exe "$caption" 2>&1) || status=$?
  output=$(tr -d '\r' <<<"$output")
  echo "$output"
  case $status in
    0) ;;
    1) mapfile -t -O "${#cut_texts[@]}" cut_texts < <(grep '^Cut text in ' <<<"$output") ;;
    *) echo "Could not check the texts of \"$caption\"" >&2; exit 1 ;;
  esac
}

# Ends the script with the texts found cut, if any: every shot asked for is taken first.
report_cut_texts() {
  [ ${#cut_texts[@]} -gt 0 ] || return 0
  echo "Texts cut by their controls in the windows shown:" >&2
  printf '  %s\n' "${cut_texts[@]}" | sort -u >&2
  exit 1
}

echo "Letting the office demo play for $settle s"
sleep "$settle"
if ! grep -q ' event connect ' "$journal" 2>/dev/null; then
  echo "The simulated server reported no connections in $journal: is its netapi32.dll loaded?" >&2
  exit 1
fi

shoot "$docs/main-window.png"
check_texts "$title"

# The Black list page's shot shows the computer that the bait read cut off: wait for
# the server to have ended its session.
cut_off='call NetSessionDel server=null client="\\PC-EVE"'
if [[ " ${pages[*]-} " == *" blacklist "* ]]; then
  for _ in $(seq 300); do
    grep -qF "$cut_off" "$journal" && break
    sleep 0.1
  done
  if ! grep -qF "$cut_off" "$journal"; then
    echo "No tripwire cut PC-EVE off within 30 s of the first shot; see $journal" >&2
    exit 1
  fi
fi

for page in ${pages[@]+"${pages[@]}"}; do
  index=$(page_index "$page")
  click_in_window "$nav_x" $((nav_first_y + index * nav_step))
  shoot "$docs/$page-page.png"
  check_texts "$title"
  case "$page" in
    monitoring) check_block_dialog ;;
    blacklist) check_add_computer_dialog ;;
  esac
done

if [ -n "$want_settings" ]; then
  shoot_dialog "$file_menu_x" "$file_menu_y" "Down Return" "Settings" "$docs/settings-dialog.png"
fi
if [ -n "$want_tripwires" ]; then
  # The Tripwires dialog opens over the Settings dialog, from its button; Escape
  # cancels both, so the settings file keeps the shots' own [tripwires] section.
  settings_dialog=$(open_dialog "$file_menu_x" "$file_menu_y" "Down Return" "Settings")
  window_rectangle "$settings_dialog"
  xdotool mousemove --sync $((left + tripwires_button_x)) $((top + height - tripwires_button_up)) click 1
  tripwires_dialog=$(find_window "Tripwires")
  shoot "$docs/tripwires-dialog.png" "$tripwires_dialog"
  check_texts "Tripwires"
  close_dialog "Tripwires"
  close_dialog "Settings"
fi
if [ -n "$want_about" ]; then
  shoot_dialog "$help_menu_x" "$help_menu_y" "Down Down Return" "About Quorvel" "$docs/about-box.png"
fi

# File > Exit: open the menu with a click, Up selects its last item (Exit), Enter runs it.
exit_quorvel() {
  click_in_window "$file_menu_x" "$file_menu_y"
  sleep 0.5
  xdotool key --clearmodifiers Up Return
  for _ in $(seq 100); do
    kill -0 "$quorvel_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$quorvel_pid" 2>/dev/null; then
    echo "Quorvel did not end after File > Exit; stopping its Wine server" >&2
  else
    wait "$quorvel_pid" 2>/dev/null || true
    quorvel_pid=""
    echo "Quorvel ended through File > Exit"
  fi
}
exit_quorvel

# Other file servers: a run of its own, with a [servers] section naming FS1 and FS2 and
# only servers.scenario played, so that no other shot shows the server box. FS1 has
# people at work, FS2 is down. The Monitoring page's server box is opened with a click
# and \\FS1 (the item after This computer) chosen with the keys; the page is saved once
# FS1's sessions and files are in its lists. Then File > Settings... > Servers...
if [ -n "$want_servers" ]; then
  if [ -n "$quorvel_pid" ]; then
    echo "The first run is still going; no servers shots" >&2
    exit 1
  fi
  ini_without '[servers]'
  printf '%s\r\n' '[servers]' 'count=2' 'server1=FS1' 'server2=FS2' >>"$ini.new"
  mv "$ini.new" "$ini"
  servers_journal="$scratch/servers.journal"
  rm -f "$servers_journal"
  QUORVEL_SIM_SCENARIO=$(winepath -w "$root/tools/screenshots/servers.scenario" 2>/dev/null)
  QUORVEL_SIM_JOURNAL=$(winepath -w "$servers_journal" 2>/dev/null)
  echo "Starting Quorvel watching FS1 and FS2 (journal: $servers_journal)"
  (cd "$bin" && exec wine ./quorvel.exe) >"$scratch/wine-servers.log" 2>&1 &
  quorvel_pid=$!
  wait_for_main_window "$scratch/wine-servers.log"
  # FS1's last file opens at 16 s of the scenario; the worker reads its files once a
  # second, and the page shows FS1's lists as they are read.
  last_open='event open server="FS1" .* computer="LAPTOP-IVO" '
  for _ in $(seq 300); do
    grep -q "$last_open" "$servers_journal" 2>/dev/null && break
    sleep 0.1
  done
  if ! grep -q "$last_open" "$servers_journal" 2>/dev/null; then
    echo "FS1 did not play its scenario within 30 s; see $servers_journal" >&2
    exit 1
  fi
  if ! grep -q 'call NetSessionEnum server="\\\\FS1" .* status=0 ' "$servers_journal"; then
    echo "Quorvel did not read FS1's sessions; see $servers_journal" >&2
    exit 1
  fi
  sleep 3
  click_in_window "$server_box_x" "$server_box_y"
  sleep 0.5
  xdotool key --clearmodifiers Down Return
  sleep 3
  shoot "$docs/monitoring-remote.png"
  check_texts "$title"
  # The Servers dialog opens over the Settings dialog, from its button; Escape cancels
  # both, so the [servers] section stays as written above.
  settings_dialog=$(open_dialog "$file_menu_x" "$file_menu_y" "Down Return" "Settings")
  window_rectangle "$settings_dialog"
  xdotool mousemove --sync $((left + servers_button_x)) $((top + height - servers_button_up)) click 1
  servers_dialog=$(find_window "Servers")
  shoot "$docs/servers-dialog.png" "$servers_dialog"
  check_texts "Servers"
  close_dialog "Servers"
  close_dialog "Settings"
  exit_quorvel
  ini_without '[servers]'
  mv "$ini.new" "$ini"
  QUORVEL_SIM_SCENARIO=$(winepath -w "$scenario" 2>/dev/null)
  QUORVEL_SIM_JOURNAL=$(winepath -w "$journal" 2>/dev/null)
fi

if [ -z "$want_notify" ]; then
  report_cut_texts
  exit 0
fi

# The notify window: a run of its own, hidden from the start (argument h), so the popup
# shows the scenario's first connections and opened files above the taskbar's right
# end. It stays up 4 s after its last line, so the screen is grabbed every half second
# for 20 s and the grab with the most popup is kept: the most pixels above the taskbar
# that are not the desktop's colour (taken from the grab's top-left corner).
if [ -n "$quorvel_pid" ]; then
  echo "The first run is still going; no notify window shot" >&2
  exit 1
fi
notify_crop="${notify_width}x${notify_height}+$((1280 - notify_width))+$((800 - notify_height))"
above_taskbar="${notify_width}x$((notify_height - taskbar_height))+0+0"
rm -f "$journal" "$scratch"/notify-*.png
park_pointer
echo "Starting Quorvel hidden for the notify window"
(cd "$bin" && exec wine ./quorvel.exe h) >"$scratch/wine-hidden.log" 2>&1 &
quorvel_pid=$!
best=""
best_pixels=0
for shot in $(seq 40); do
  sleep 0.5
  import -window root "$scratch/screen.png"
  convert "$scratch/screen.png" -crop "$notify_crop" +repage "$scratch/notify-$shot.png"
  desktop=$(convert "$scratch/notify-$shot.png" -format '%[pixel:p{0,0}]' info:)
  pixels=$(convert "$scratch/notify-$shot.png" -crop "$above_taskbar" +repage \
    -fill black -opaque "$desktop" -fill white +opaque black -format '%[fx:int(mean*w*h+0.5)]' info:)
  if [ "$pixels" -gt "$best_pixels" ]; then
    best_pixels=$pixels
    best=$shot
  fi
done
if [ -z "$best" ] || [ "$best_pixels" -lt 3000 ]; then
  echo "No notify window seen in the bottom-right corner (at most $best_pixels pixels of it)" >&2
  exit 1
fi
convert "$scratch/notify-$best.png" -strip "$docs/notify-window.png"
echo "Saved docs/notify-window.png (${notify_width}x${notify_height}, grab $best of 40, $best_pixels pixels of popup)"
report_cut_texts
