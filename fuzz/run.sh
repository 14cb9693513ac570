#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for FUZZ_SECONDS (default 60) on a copy of its seed corpus, so
# the corpus under fuzz/corpus/ only changes when someone adds seeds by hand.
# Prints one line per target (runs, coverage at the start and the end,
# result). A crash leaves its input as build-fuzz/<target>-crash-* and fails
# the script. FUZZ_TARGETS picks targets (default: all).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"multipart bucket_attributes route_table storage_query core_category"}

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVOLT_FUZZ=ON -DTARVOLT_TESTS=OFF >/dev/null
build_targets=()
for target in $targets; do
    build_targets+=("${target}_fuzzer")
done
cmake --build "$build_dir" --target "${build_targets[@]}" -j "$(nproc)"

# Longest input and dictionary of each target.
max_len() {
    case $1 in
        multipart) echo 16384 ;;
        route_table) echo 9000 ;;
        *) echo 4096 ;;
    esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for target in $targets; do
    mkdir -p "$work/$target"
    cp fuzz/corpus/"$target"/* "$work/$target"/
    options=(-max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10
             -rss_limit_mb=4096 -artifact_prefix="$build_dir/$target-")
    if [ -f "fuzz/$target.dict" ]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    log="$work/$target.log"
    result=ok
    if ! "$build_dir/bin/${target}_fuzzer" "${options[@]}" "$work/$target" >"$log" 2>&1; then
        result="FAILED (see $build_dir/$target-crash-* or the log below)"
        failed=1
    fi
    start=$(grep -m1 -o 'INITED cov: [0-9]* ft: [0-9]*' "$log" | awk '{print $3 "/" $5}' || true)
    end=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 | awk '{print $2 "/" $4}' || true)
    runs=$(grep -o 'Done [0-9]* runs' "$log" | awk '{print $2}' || true)
    echo "$target: ${runs:-?} runs in ${seconds} s, edges/features ${start:-?} -> ${end:-?}, $result"
    if [ "$result" != ok ]; then
        tail -40 "$log"
    fi
done
exit $failed
