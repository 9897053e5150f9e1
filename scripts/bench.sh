#!/usr/bin/env bash
# Runs every benchmark of the Release build. Each figure is measured beside
# its baseline (memcpy, raw file I/O, the kit alone) in the same run.
# Usage: scripts/bench.sh BUILD_DIR [benchmark flags...]
set -euo pipefail
build=${1:-build-release}
shift || true
exec "$build/bin/ovalith_bench" --benchmark_min_time=0.2 "$@"
