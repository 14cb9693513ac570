#!/usr/bin/env bash
# Reliability part: malformed and abusive HTTP against the bucket service's
# port and the core's public port of a running platform. The last line is
# "N of M checks passed".
# Needs: $bin (platform executables), $tools (reliability executables),
# $work (a scratch directory of this run). HOSTILE_ROUNDS (default 180,
# about 10,000 requests over both ports).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"
trap stop_platform EXIT

start_platform "$work/hostile"
"$tools/tarvolt-hostile" --bucket-port="$bucket_port" --core-port="$api_port" \
    --pids="$core_pid,$bucket_pid,$storage_pid" --rounds="${HOSTILE_ROUNDS:-180}"
