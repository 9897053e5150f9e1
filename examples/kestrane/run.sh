#!/usr/bin/env bash
# Updates the example's simulated sensor with Kestrane and shows its flash
# before and after. Usage: run.sh <install prefix>   (from cmake --install)
# Works on a copy of the example in a temporary folder; the copy is removed
# at the end, so every run starts from the configured flash.
set -euo pipefail
prefix=$(cd "${1:?usage: run.sh <install prefix>}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LD_LIBRARY_PATH="$prefix/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

cmake -S "$here" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
cp -r "$here/work" "$here/DB" "$work/"
cd "$work/work"

echo "=== flash before the update ==="
"$work/build/flash_list"
echo
echo "=== Kestrane (serial number SIM0001 typed at the prompt) ==="
status=0
echo SIM0001 | "$prefix/bin/Kestrane" || status=$?
echo
echo "=== flash after the update (Kestrane's exit status: $status) ==="
"$work/build/flash_list"
exit "$status"
