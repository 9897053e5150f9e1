#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing (as
# root), then configures and builds. Usage: scripts/setup.sh BUILD_DIR [cmake args...]
set -euo pipefail
build=${1:-build}
shift || true
packages=(build-essential cmake pkg-config clang lld libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
          zlib1g-dev libzstd-dev liblz4-dev libinih-dev libspdlog-dev libfmt-dev libpng-dev libcli11-dev ccache
          pybind11-dev python3-dev python3-numpy python3-pytest
          libcivetweb-dev python3 chromium chromium-driver
          python3-venv python3-pip python3-setuptools python3-wheel python3-skbuild
          python3-opencv python3-open3d libopencv-dev python3-dask python3-distributed
          pcl-tools pngcheck sox)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || true
    apt-get install -y -qq "${missing[@]}"
  else
    echo "Missing packages (run as root to install them): ${missing[*]}" >&2
    exit 1
  fi
fi
cmake -S "$(dirname "$0")/.." -B "$build" "$@"
cmake --build "$build" -j"$(nproc)"
