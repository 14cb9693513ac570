#!/usr/bin/env bash
# Reliability part: concurrent clients (half through the core's proxy, half
# on the service's port) add, download, update, match, list and delete
# buckets; then the store must hold exactly what they were told, with no 5xx
# answer, no dropped connection, and the bucket service's memory level: the
# medians of its resident size sampled every second after a warm-up, second
# half within 10% of the first, last quarter within 5% of the third (see
# load_memory.h). The last line is "load: N of M checks passed".
# Needs: $bin, $tools, $work (see bench/reliability.sh). LOAD_CLIENTS
# (default 32), LOAD_SECONDS (default 60). The soak part runs this script
# with PART=soak and its own duration.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"
trap stop_platform EXIT
part="${PART:-load}"
seconds="${PART_SECONDS:-${LOAD_SECONDS:-60}}"

if ! start_platform "$work/$part"; then
    echo "[FAIL] the platform did not start"
    echo "$part: 0 of 1 checks passed"
    exit 1
fi
"$tools/tarvolt-load" --core-port="$api_port" --core-pid="$core_pid" \
    --storage-root="$work/$part/buckets" --clients="${LOAD_CLIENTS:-32}" \
    --seconds="$seconds" --part="$part"
