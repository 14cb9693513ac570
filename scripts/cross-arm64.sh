#!/usr/bin/env bash
# `make cross-arm64`: builds everything for arm64 with Debian's cross
# toolchain in build-arm64/ (through debian/rules, so the arm64 .deb comes
# from the same build), then runs the unit and handler suites under
# qemu-aarch64. Prints the counts on its last line.
#   scripts/cross-arm64.sh [DIR]   (the .deb goes to DIR, default dist/)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/dist}"
# The suites that start no executable of this build (without binfmt_misc a
# program under qemu cannot start another arm64 executable): the libraries'
# unit tests, the HTTP server and client, the form parser (whose delimiter
# search takes its portable path on arm64), the SQLite backend, the core's
# parts, the bucket handlers and the replicator (through its interfaces,
# and with libcurl into a real radosgw, which runs as a host program).
suites=(${ARM64_SUITES:-tarvolt_common_tests formdata_test http_server_test http_client_test
    storage_backend_tests storage_client_unit_tests tarvolt_management_tests
    tarvolt_core_unit_tests tarvolt_bucket_unit_tests tarvolt_bucket_handler_tests
    tarvolt_replicator_tests tarvolt_replication_s3_tests})

export DEB_HOST_ARCH=arm64
# The tests ignore the results of a few calls (system(), write()) that the
# fortified build marks: warnings, not errors, for the test code's sake.
export DEB_CXXFLAGS_MAINT_APPEND="-Wno-error=unused-result"
export TARVOLT_BUILD_DIR=build-arm64
export TARVOLT_WITH_TESTS=ON
export TARVOLT_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-arm64.cmake"
# The compiler flags come from the environment at the first configuration
# only: a fresh cache takes today's (the objects stay).
rm -f "$root/build-arm64/CMakeCache.txt"
deb="$("$root/scripts/build-deb.sh" "$out" | tail -n 1)"
file "$root/build-arm64/bin/tarvolt-core" | grep -q "ARM aarch64" || {
    echo "cross-arm64: tarvolt-core is not an arm64 executable" >&2
    exit 1
}
echo "cross-arm64: package $deb"

cd "$root/build-arm64"
passed=0
failed=0
for suite in "${suites[@]}"; do
    log="arm64-$suite.log"
    started=$(date +%s)
    qemu-aarch64 "bin/$suite" --gtest_color=no >"$log" 2>&1 || true
    ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log")
    bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below.*/\1/p' "$log")
    [ -z "$ok" ] && [ -z "$bad" ] && bad=1  # crashed before its summary
    echo "arm64: $suite: ${ok:-0} passed, ${bad:-0} failed ($(($(date +%s) - started)) s)"
    grep '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u || true
    passed=$((passed + ${ok:-0}))
    failed=$((failed + ${bad:-0}))
done
echo "arm64: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
