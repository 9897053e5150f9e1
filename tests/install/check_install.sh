#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs the
# example application against it, once with find_package and once with
# pkg-config. Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source/examples/hello" -B "$work/hello" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/hello" >/dev/null
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/hello/hello") | grep -q "sensor: "
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
c++ -std=c++17 "$source/examples/hello/main.cpp" -o "$work/hello-pc" $(pkg-config --cflags --libs ovalith)
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/hello-pc") | grep -q "sensor: "
echo "installed package builds and runs"
