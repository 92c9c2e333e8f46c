#!/usr/bin/env bash
# Runs every fuzzer of a fuzzing build in turn on a scratch copy of its seeds (new inputs stay out of the
# repository); fails on any crash, leak, broken invariant or time-out, keeping the input under fuzz-artifacts/.
# usage: fuzz/run_fuzzers.sh <build-dir> [seconds-per-fuzzer]
set -euo pipefail

build_dir=$(cd "${1:?usage: $0 <build-dir> [seconds]}" && pwd)
seconds=${2:-30}
corpora=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/corpus
list="$build_dir/fuzzers.txt"
[[ -s "$list" ]] || { echo "fuzz: no fuzzer list at $list (configure with -DKELVARA_BUILD_FUZZERS=ON)" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=()
while read -r name program; do
    [[ -n "$name" ]] || continue
    mkdir -p "$scratch/$name" "$build_dir/fuzz-artifacts/$name"
    [[ ! -d "$corpora/$name" ]] || cp -R "$corpora/$name/." "$scratch/$name/"
    log="$build_dir/fuzz-artifacts/$name.log"
    echo "fuzz: $name for ${seconds}s"
    if "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$build_dir/fuzz-artifacts/$name/" "$scratch/$name" </dev/null >"$log" 2>&1; then
        echo "fuzz: $name passed, $(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1) executions"
    else
        tail -n 40 "$log"
        echo "fuzz: $name FAILED (full log: $log, input kept in $build_dir/fuzz-artifacts/$name/)"
        failed+=("$name")
    fi
done <"$list"

((${#failed[@]} == 0)) || { echo "fuzz: failures in ${failed[*]}" >&2; exit 1; }
echo "fuzz: all fuzzers passed"
