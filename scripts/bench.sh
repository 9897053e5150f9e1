#!/usr/bin/env bash
# Runs every benchmark of the Release build (one program, ovalith_bench, so
# each figure is measured beside its baseline in the same run) and prints one
# table: each figure, its baseline and the ratio of their times.
#
# Usage: scripts/bench.sh BUILD_DIR [benchmark flags...]
#   e.g. scripts/bench.sh build-release --benchmark_filter=Sensor
#
# How a benchmark names its baseline (bench/*.cpp follow this):
#   - A baseline is a run whose label (state.SetLabel) contains "(baseline)",
#     or whose name contains "Baseline".
#   - A run is compared with the labelled baseline of the same benchmark
#     function (its name before the first "/", e.g. BM_DeviceRead/1 with
#     BM_DeviceRead/0 labelled "... (baseline)"); failing that, with the named
#     baseline <Prefix>Baseline<What> whose <Prefix> begins the run's name,
#     the longest such prefix winning (BM_SensorDepthAndImageFrame with
#     BM_SensorBaselineMemcpy).
#   - Runs without a baseline are listed with "-" in its place.
# The ratio is the run's real time over the baseline's (1.05: 5% slower).
# With --benchmark_repetitions=N each figure and baseline is the median of
# its N runs. The table is headed by the processor features and the kernels
# the run used (the benchmark's context, bench/BenchContext.cpp).
set -euo pipefail
build=${1:-build-release}
shift || true
program="$build/bin/ovalith_bench"
[[ -x "$program" ]] || { echo "bench.sh: $program is not built" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "running $program (a few minutes)..." >&2
if ! "$program" --benchmark_min_time=0.2 --benchmark_out="$work/bench.json" --benchmark_out_format=json "$@" \
    >"$work/console.txt" 2>&1; then
  cat "$work/console.txt" >&2
  exit 1
fi
python3 - "$work/bench.json" <<'EOF'
import json
import sys

UNITS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

def load(path):
    report = json.load(open(path))
    runs = report["benchmarks"]
    # Repeated runs: one median per benchmark, named as a single run would be.
    medians = [r for r in runs if r.get("run_type") == "aggregate" and r.get("aggregate_name") == "median"]
    chosen = []
    for run in medians if medians else runs:
        if run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"]) if medians else run["name"]
        chosen.append(dict(name=name, label=run.get("label", ""),
                           ns=run["real_time"] * UNITS[run.get("time_unit", "ns")]))
    return report.get("context", {}), chosen, bool(medians)

def is_baseline(run):
    return "(baseline)" in run["label"] or "Baseline" in run["name"]

def baseline_of(run, runs):
    family = run["name"].split("/")[0]
    for other in runs:
        if "(baseline)" in other["label"] and other["name"].split("/")[0] == family:
            return other
    best = None
    for other in runs:
        if "Baseline" not in other["name"]:
            continue
        prefix = other["name"].split("Baseline")[0]
        if run["name"].startswith(prefix) and (best is None or len(prefix) > len(best[0])):
            best = (prefix, other)
    return best[1] if best else None

def show(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return "%.3g %s" % (ns / scale, unit)
    return "%.3g ns" % ns

context, runs, repeated = load(sys.argv[1])
for key in ("cpu_features", "translator_kernel", "crc32_kernel"):
    print("%s: %s" % (key, context.get(key, "?")))
print("host: %s, %s cpus at %s MHz%s" % (context.get("host_name", "?"), context.get("num_cpus", "?"),
                                        context.get("mhz_per_cpu", "?"),
                                        "; medians of repeated runs" if repeated else ""))
print()
rows = []
for run in runs:
    if is_baseline(run):
        continue
    base = baseline_of(run, runs)
    name = run["name"] + (" [%s]" % run["label"] if run["label"] else "")
    rows.append((name, show(run["ns"]), base["name"] if base else "-", show(base["ns"]) if base else "-",
                 "%.2f" % (run["ns"] / base["ns"]) if base and base["ns"] > 0 else "-"))
header = ("benchmark", "time", "baseline", "baseline time", "ratio")
widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(5)]
line = lambda row: "  ".join(str(cell).ljust(widths[i]) if i in (0, 2) else str(cell).rjust(widths[i])
                             for i, cell in enumerate(row))
print(line(header))
print("  ".join("-" * w for w in widths))
for row in rows:
    print(line(row))
EOF
# The Python package's figures, when the build made it.
if [[ -d "$build/python/ovalith" ]]; then
  echo
  /usr/bin/python3 "$(dirname "$0")/../bench/python_bench.py" "$build"
fi
