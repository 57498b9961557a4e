#!/usr/bin/env bash
# Runs every test in the normal and the checked build, then rewrites the table of
# what was tried and what held in docs/reliability.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
status=0
"$root/scripts/test.sh" || status=$?
"$root/scripts/test.sh" --hardened || status=$?
python3 "$root/tools/reliability/make-table.py"
exit "$status"
