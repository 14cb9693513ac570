#!/usr/bin/env bash
# The fast slice of the crash part, run by CTest: 8 clients for 8 s against
# a platform of its own sending every kind of change (patches, content
# replacements and bulk deletions too), the bucket service and the storage
# service killed once each with SIGKILL, then the consistency check and the
# check of the change feed.
# Usage: crash_slice.sh BIN_DIR TOOLS_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export bin="$1" tools="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-crash-slice.XXXXXX")"
source "$here/platform.sh"
trap 'stop_platform; rm -rf "$work"' EXIT

start_platform "$work/platform"
"$tools/tarvolt-load" --core-port="$api_port" --core-pid="$core_pid" \
    --storage-root="$work/platform/buckets" --clients=8 --seconds=8 --kill-bucket=1 \
    --kill-storage=1 --part=crash-slice --all-kinds || { show_platform_logs; exit 1; }
