#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need
# and this machine lacks. Runs as root or through sudo.
set -euo pipefail

packages=(
  cmake ninja-build
  mingw-w64 gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix
  googletest
  wine wine64 fonts-wine
  xvfb xauth x11-utils imagemagick xdotool
  python3 fp-utils-3.2.2
  rsyslog rsyslog-relp
  nsis
)
# npm fetches SQLite's pinned amalgamation (scripts/fetch-sqlite.sh); any npm will do.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "Quorvel needs these Debian packages, and installing them needs root or sudo: ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
