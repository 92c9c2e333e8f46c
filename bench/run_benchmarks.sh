#!/usr/bin/env bash
# Runs every benchmark program of a build one after another (they would disturb each other in parallel),
# then the measurements that need a process of their own.
set -euo pipefail
build_dir=${1:?usage: run_benchmarks.sh <build dir>}
status=0
for program in "$build_dir"/bench/*_bench; do
    [[ -x "$program" ]] || continue
    echo "== $(basename "$program")"
    if [[ "$program" == *_host_bench ]]; then
        xvfb-run -a "$program" || status=1 # a libobs host needs an X display
    else
        "$program" --benchmark_color=false || status=1
    fi
done
for script in "$(dirname "$0")"/measure_*.sh; do
    [[ -x "$script" ]] || continue
    echo "== $(basename "$script")"
    "$script" "$build_dir" || status=1
done
exit $status
