#!/usr/bin/env bash
# `make reliability`: builds the Release executables into their own build
# directory and runs each reliability part (bench/reliability/<part>.sh).
# Every part starts the platforms it needs on free loopback ports under a
# temporary directory, prints what it tried and found, and ends with
# "N of M checks passed". The last line here is the sum:
# "reliability: N of M checks passed".
#
# Environment: RELIABILITY_BUILD_DIR (default build-reliability), JOBS,
# RELIABILITY_PARTS (space-separated part names; default all of them but
# "soak", the optional ten-minute memory soak of the load), and
# the parts' own settings (see each part's header).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${RELIABILITY_BUILD_DIR:-$root/build-reliability}"
jobs="${JOBS:-$(nproc)}"
parts="${RELIABILITY_PARTS:-hostile load crash disk power replication}"
say() { echo "[reliability] $*" >&2; }

say "building Release into $build_dir"
cmake -S "$root" -B "$build_dir/platform" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOLT_TESTS=OFF >/dev/null
cmake --build "$build_dir/platform" -j "$jobs" --target tarvolt-core tarvolt-storage tarvolt-bucket
cmake -S "$root/bench/reliability" -B "$build_dir/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1 ||
    { rm -rf "$build_dir/tools"; cmake -S "$root/bench/reliability" -B "$build_dir/tools" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null; }
cmake --build "$build_dir/tools" -j "$jobs"

export bin="$build_dir/platform/bin"
export tools="$build_dir/tools"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-reliability.XXXXXX")"
export work
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

passed=0
checks=0
for part in $parts; do
    script="$root/bench/reliability/$part.sh"
    if [ ! -x "$script" ]; then
        say "part $part: missing"
        checks=$((checks + 1))
        continue
    fi
    say "part $part"
    "$script" 2>&1 | tee "$work/$part.txt" || true
    line="$(tail -n 1 "$work/$part.txt")"
    if [[ "$line" =~ ([0-9]+)\ of\ ([0-9]+)\ checks ]]; then
        passed=$((passed + BASH_REMATCH[1])); checks=$((checks + BASH_REMATCH[2]))
    else
        say "part $part ended without its count"
        checks=$((checks + 1))
    fi
done

echo "reliability: $passed of $checks checks passed"
[ "$passed" = "$checks" ]
