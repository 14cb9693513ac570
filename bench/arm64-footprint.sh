#!/usr/bin/env bash
# The footprint of the arm64 build under qemu-aarch64: seconds from start to
# READY=1 and the idle resident memory of the core and its two services,
# measured by the arm64 tarvolt-bench (its footprint rows). Figures to
# report, not targets: every process runs inside qemu's translator, which
# adds its own memory and slows the start several times over.
#   bench/arm64-footprint.sh [RUNS]   (after `make cross-arm64`)
#
# Without binfmt_misc the core (itself under qemu) cannot spawn an arm64
# executable, so the core runs from a copy in a temporary bin directory
# (it launches the services from the directory of its own executable) next
# to two small scripts that start the real services under qemu-aarch64.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
bin="$root/build-arm64/bin"
runs="${1:-5}"
for program in tarvolt-core tarvolt-storage tarvolt-bucket tarvolt-bench; do
    [ -x "$bin/$program" ] || { echo "arm64-footprint: no $bin/$program; run make cross-arm64" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-arm64-footprint.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cp "$bin/tarvolt-core" "$work/bin/tarvolt-core"
for service in tarvolt-storage tarvolt-bucket; do
    printf '#!/bin/sh\nexec qemu-aarch64 %q "$@"\n' "$bin/$service" >"$work/bin/$service"
    chmod +x "$work/bin/$service"
done
printf '#!/bin/sh\nexec qemu-aarch64 %q "$@"\n' "$work/bin/tarvolt-core" >"$work/core"
chmod +x "$work/core"

echo "arm64 under qemu-aarch64 ($(qemu-aarch64 --version | head -n 1)), $runs starts:"
qemu-aarch64 "$bin/tarvolt-bench" footprint --core-bin="$work/core" --work="$work" --runs="$runs"
echo "arm64-footprint: figures under emulation, reported only; the limits above are the x86-64 targets"
