#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/ and
# runs each for FUZZ_SECONDS (default 120) on a copy of its seed corpus, so
# the corpus under fuzz/corpus/ only changes when someone adds seeds by hand.
# A crash leaves its input as build-fuzz/crash-* and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-120}

CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARVOLT_FUZZ=ON -DTARVOLT_TESTS=OFF
cmake --build "$build_dir" --target multipart_fuzzer -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp fuzz/corpus/multipart/* "$work"/
"$build_dir/bin/multipart_fuzzer" -max_total_time="$seconds" -max_len=16384 \
    -dict=fuzz/multipart.dict -artifact_prefix="$build_dir/" "$work"
