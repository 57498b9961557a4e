#!/usr/bin/env bash
# Puts SQLite's amalgamation (sqlite3.c, sqlite3.h) in third_party/sqlite/, taken
# from the npm package better-sqlite3 at one exact version, which ships it in
# deps/sqlite3/ (SQLite 3.53.2, with the package's one small patch to the date
# functions' constant table). `npm pack` fetches the tarball without installing or
# running anything. The tarball and both files must have the SHA-256 written here;
# anything else stops the build. Quick when the files are already in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
folder="$root/third_party/sqlite"

package=better-sqlite3
version=12.11.1
tarball_sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
sqlite3_c_sha256=60d2f39a3726cd6b9021da6f4e868608d66fbb6528a9f513dc8ffcc640493422
sqlite3_h_sha256=9e69a1353a4288450b0d5239ede11fc7f1f4c8e5eb07491fc8317eacb5b7de7e

sha256_of() {
  sha256sum "$1" | cut -d' ' -f1
}

files_ok() {
  [ -f "$folder/sqlite3.c" ] && [ -f "$folder/sqlite3.h" ] &&
    [ "$(sha256_of "$folder/sqlite3.c")" = "$sqlite3_c_sha256" ] &&
    [ "$(sha256_of "$folder/sqlite3.h")" = "$sqlite3_h_sha256" ]
}

if files_ok; then
  exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
  echo "fetch-sqlite.sh: npm is needed to fetch $package@$version (Debian: apt-get install npm)" >&2
  exit 1
fi

tarball="$folder/$package-$version.tgz"
mkdir -p "$folder"
if [ ! -f "$tarball" ] || [ "$(sha256_of "$tarball")" != "$tarball_sha256" ]; then
  rm -f "$tarball"
  echo "Fetching $package@$version for SQLite's amalgamation"
  (cd "$folder" && npm pack --silent "$package@$version" >/dev/null)
fi
actual=$(sha256_of "$tarball")
if [ "$actual" != "$tarball_sha256" ]; then
  echo "fetch-sqlite.sh: $tarball has SHA-256 $actual, not the expected $tarball_sha256: refusing it" >&2
  rm -f "$tarball"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xzf "$tarball" -C "$work" package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h
for name in sqlite3.c sqlite3.h; do
  expected=$sqlite3_c_sha256
  [ "$name" = sqlite3.h ] && expected=$sqlite3_h_sha256
  actual=$(sha256_of "$work/package/deps/sqlite3/$name")
  if [ "$actual" != "$expected" ]; then
    echo "fetch-sqlite.sh: $name in $package@$version has SHA-256 $actual, not the expected $expected: refusing it" >&2
    exit 1
  fi
  cp "$work/package/deps/sqlite3/$name" "$folder/$name.part"
  mv "$folder/$name.part" "$folder/$name"
done
echo "SQLite's amalgamation is in $folder"
