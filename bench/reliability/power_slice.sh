#!/usr/bin/env bash
# The fast slice of the power part, run by CTest: 6 clients for 10 s over
# powercut-fs, two power cuts, then the consistency check. Prints why it was
# skipped where FUSE cannot be mounted.
# Usage: power_slice.sh BIN_DIR TOOLS_DIR
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export bin="$1" tools="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-power-slice.XXXXXX")"
export work
trap 'rm -rf "$work"' EXIT
POWER_CLIENTS=6 POWER_SECONDS=10 POWER_CUTS=2 POWER_PART=power-slice "$here/power.sh"
