#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs the
# example application against it, once with find_package and once with
# pkg-config, and the first application of docs/getting-started.md, which
# must make a recording. Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The exact room: the pixel the guide prints is never a no-sample speckle.
printf '[Tollan]\nScene=clean\n' >"$work/Tollan.ini"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples/hello" -B "$work/hello" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/hello" >/dev/null
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/hello/hello") | grep -q "sensor: "
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
c++ -std=c++17 "$source/examples/hello/main.cpp" -o "$work/hello-pc" $(pkg-config --cflags --libs ovalith)
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/hello-pc") | grep -q "sensor: "
# The program shown in the guide is the one built here.
diff <(sed -n '/^```cpp$/,/^```$/p' "$source/docs/getting-started.md" | sed '1d;$d') \
  "$source/examples/getting-started/main.cpp"
cmake -S "$source/examples/getting-started" -B "$work/first" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/first" >/dev/null
output=$(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/first/first")
grep -q "^pixel (240, 60): [1-9][0-9]* mm away" <<<"$output"
grep -q "^recorded first.rec" <<<"$output"
test -s "$work/first.rec"
echo "installed package builds and runs"
