#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs the
# example application against it, once with find_package and once with
# pkg-config, and the first application of docs/getting-started.md both
# ways. Nothing sets LD_LIBRARY_PATH: a program built as the guide says must
# find the libraries of the prefix by itself. The first application runs in
# the simulated sensor's default room (no Tollan.ini), as a newcomer's does,
# and must print exactly what the guide shows.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
guide="$source/docs/getting-started.md"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples/hello" -B "$work/hello" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/hello" >/dev/null
(cd "$work" && "$work/hello/hello") | grep -q "sensor: "
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
c++ -std=c++17 "$source/examples/hello/main.cpp" -o "$work/hello-pc" $(pkg-config --cflags --libs ovalith)
(cd "$work" && "$work/hello-pc") | grep -q "sensor: "
# The program shown in the guide is the one built here.
diff <(sed -n '/^```cpp$/,/^```$/p' "$guide" | sed '1d;$d') "$source/examples/getting-started/main.cpp"
# What the guide says it prints: the indented lines after "the program prints".
expected=$(awk '/the program prints$/ {on = 1; next} on && /^    / {print substr($0, 5); seen = 1; next}
                on && seen {exit}' "$guide")
[ -n "$expected" ] || { echo "the guide shows no output of the first program" >&2; exit 1; }
cmake -S "$source/examples/getting-started" -B "$work/first" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/first" >/dev/null
c++ -std=c++17 "$source/examples/getting-started/main.cpp" -o "$work/first-pc" $(pkg-config --cflags --libs ovalith)
for program in "$work/first/first" "$work/first-pc"; do
  rm -f "$work/first.rec"
  output=$(cd "$work" && "$program")
  diff <(echo "$expected") <(echo "$output")
  test -s "$work/first.rec"
done
echo "installed package builds and runs"
