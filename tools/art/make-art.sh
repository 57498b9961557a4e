#!/usr/bin/env bash
# Regenerates Quorvel's icons, navigation bitmaps and warning sound from the
# sources in resources/art/.
#
# Needs these Debian packages (installed with apt-get if missing):
#   imagemagick librsvg2-bin icoutils python3
#
# Usage: bash tools/art/make-art.sh   (from any directory)
set -euo pipefail

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$script_dir/../.." && pwd)"
art="$root/resources/art"
icons="$root/resources/icons"
bitmaps="$root/resources/bitmaps"

# --- tools -----------------------------------------------------------------
need_pkgs=()
command -v convert      >/dev/null 2>&1 || need_pkgs+=(imagemagick)
command -v rsvg-convert >/dev/null 2>&1 || need_pkgs+=(librsvg2-bin)
command -v icotool      >/dev/null 2>&1 || need_pkgs+=(icoutils)
command -v python3      >/dev/null 2>&1 || need_pkgs+=(python3)
if ((${#need_pkgs[@]})); then
    echo "make-art: installing ${need_pkgs[*]}" >&2
    if [[ $(id -u) -eq 0 ]]; then
        sudo_cmd=()
    elif command -v sudo >/dev/null 2>&1; then
        sudo_cmd=(sudo)
    else
        echo "make-art: missing ${need_pkgs[*]} and not root (no sudo)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq >/dev/null
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${need_pkgs[@]}" >/dev/null
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$icons" "$bitmaps"

# --- tray icons: 16, 24, 32 and 48 px, 32-bit with alpha ----------------------
make_ico() {
    local svg="$1" ico="$2" s pngs=()
    for s in 16 24 32 48; do
        rsvg-convert -w "$s" -h "$s" -f png -o "$tmp/ico-$s.png" "$svg"
        pngs+=("$tmp/ico-$s.png")
    done
    rm -f "$ico"
    icotool -c -b 32 -o "$ico" "${pngs[@]}"
}
make_ico "$art/tray-normal.svg" "$icons/quorvel.ico"
make_ico "$art/tray-alert.svg"  "$icons/quorvel-alert.ico"

# --- navigation bitmaps: 24-bit colour + 1-bit mask, 32x32 ---------------------
# Colour: shape pixels keep their colour, everything else is black (0,0,0).
# Mask: shape black, background white, as ImageList_Add(image, mask) expects.
# The shape is where the SVG's alpha is at least 50%.
for name in monitoring blacklist shares log history; do
    png="$tmp/nav-$name.png"
    rsvg-convert -w 32 -h 32 -f png -o "$png" "$art/nav-$name.svg"
    convert "$png" -channel A -threshold 50% +channel \
        -background black -alpha remove -alpha off \
        -type TrueColor "BMP3:$bitmaps/nav-$name.bmp"
    convert "$png" -alpha extract -threshold 50% -negate \
        -type Bilevel -colors 2 "BMP3:$bitmaps/nav-$name-mask.bmp"
done

# --- warning sound -------------------------------------------------------------
python3 "$script_dir/make-warning-wav.py" "$root/resources/warning.wav"

# --- checks --------------------------------------------------------------------
for ico in "$icons/quorvel.ico" "$icons/quorvel-alert.ico"; do
    listing="$(icotool -l "$ico")"
    for s in 16 24 32 48; do
        grep -q -- "--width=$s --height=$s --bit-depth=32" <<<"$listing" || {
            echo "make-art: $ico lacks a 32-bit ${s}x${s} image" >&2
            echo "$listing" >&2
            exit 1
        }
    done
done

python3 - "$bitmaps" <<'PY'
import struct, sys, os

folder = sys.argv[1]

def read_bmp(path):
    data = open(path, "rb").read()
    if data[:2] != b"BM":
        sys.exit(f"{path}: not a BMP")
    offset, = struct.unpack_from("<I", data, 10)
    (size, width, height, planes, bits, compression,
     _, _, _, used, _) = struct.unpack_from("<IiiHHIIiiII", data, 14)
    if size != 40:
        sys.exit(f"{path}: header is {size} bytes, want BITMAPINFOHEADER (40)")
    if (width, height) != (32, 32):
        sys.exit(f"{path}: {width}x{height}, want 32x32 bottom-up")
    if planes != 1 or compression != 0:
        sys.exit(f"{path}: planes {planes}, compression {compression}")
    palette = []
    if bits <= 8:
        count = used or (1 << bits)
        for i in range(count):
            b, g, r, _ = data[54 + 4 * i:58 + 4 * i]
            palette.append((r, g, b))
    if bits == 1 and palette != [(0, 0, 0), (255, 255, 255)]:
        sys.exit(f"{path}: palette {palette}, want black then white")
    stride = ((width * bits + 31) // 32) * 4
    rows = []
    for y in range(height):          # bottom-up: first stored row is the last
        row = data[offset + (height - 1 - y) * stride:][:stride]
        if bits == 24:
            rows.append([tuple(row[3 * x:3 * x + 3][::-1]) for x in range(width)])
        elif bits == 1:
            rows.append([palette[(row[x // 8] >> (7 - x % 8)) & 1]
                         for x in range(width)])
        else:
            sys.exit(f"{path}: unexpected bit count {bits}")
    return bits, rows

for name in ("monitoring", "blacklist", "shares", "log", "history"):
    cbits, colour = read_bmp(os.path.join(folder, f"nav-{name}.bmp"))
    mbits, mask = read_bmp(os.path.join(folder, f"nav-{name}-mask.bmp"))
    if cbits != 24 or mbits != 1:
        sys.exit(f"nav-{name}: bit counts {cbits}/{mbits}, want 24/1")
    shape = 0
    for y in range(32):
        for x in range(32):
            m = mask[y][x]
            if m not in ((0, 0, 0), (255, 255, 255)):
                sys.exit(f"nav-{name}-mask: pixel {x},{y} is {m}")
            if m == (255, 255, 255) and colour[y][x] != (0, 0, 0):
                sys.exit(f"nav-{name}: pixel {x},{y} outside the mask is not black")
            shape += m == (0, 0, 0)
    if not 100 < shape < 1024:
        sys.exit(f"nav-{name}: mask covers {shape} pixels, looks wrong")
print("make-art: bitmaps ok")
PY

echo "make-art: done"
