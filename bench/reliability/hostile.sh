#!/usr/bin/env bash
# Reliability part: malformed and abusive HTTP against the bucket service's
# port and the core's public port of a running platform, token attacks
# (hostile_tokens.sh), many slow connections (tarvolt-hostile), then a
# pattern bomb and a fault inside the allocator (hostile_faults.sh). The last
# line is "N of M checks passed".
# Needs: $bin (platform executables), $tools (reliability executables),
# $work (a scratch directory of this run; a temporary one when unset).
# HOSTILE_ROUNDS (default 180, about 10,400 requests over both ports),
# HOSTILE_MIN_REQUESTS (the least number the run must send; default 10000),
# HOSTILE_IGNORED_PART_MIB (the size of each part of the kind "64 large
# ignored file parts"; default 16, so 4 forms of about 1 GiB),
# HOSTILE_SLOW_CONNECTIONS (default 2000; 0 skips that kind).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"
if [ -z "${work:-}" ]; then
    work="$(mktemp -d "${TMPDIR:-/tmp}/tarvolt-hostile.XXXXXX")"
    trap 'stop_platform; rm -rf "$work"' EXIT
else
    trap stop_platform EXIT
fi

source "$here/hostile_tokens.sh"
source "$here/hostile_faults.sh"

# Arms the bucket service's test fault (SIGUSR2 then faults inside the allocator).
export TARVOLT_TEST_FAULT=allocator
start_platform "$work/hostile"
token_attacks
"$tools/tarvolt-hostile" --bucket-port="$bucket_port" --core-port="$api_port" \
    --pids="$core_pid,$bucket_pid,$storage_pid" --rounds="${HOSTILE_ROUNDS:-180}" \
    --min-requests="${HOSTILE_MIN_REQUESTS:-10000}" --data-dir="$work/hostile" \
    --ignored-part-mib="${HOSTILE_IGNORED_PART_MIB:-16}" \
    --slow-connections="${HOSTILE_SLOW_CONNECTIONS:-2000}" | tee "$work/hostile-http.txt" || true
pattern_bomb
allocator_fault
# The closing line counts the token and fault checks too.
passed=$((token_passed + fault_passed)) checks=$((token_checks + fault_checks))
if [[ "$(tail -n 1 "$work/hostile-http.txt")" =~ ([0-9]+)\ of\ ([0-9]+)\ checks ]]; then
    echo "hostile: $((BASH_REMATCH[1] + passed)) of $((BASH_REMATCH[2] + checks))" \
        "checks passed (token kinds: $token_passed of $token_checks," \
        "pattern bomb and allocator fault: $fault_passed of $fault_checks)"
else
    echo "hostile: $passed of $((checks + 1)) checks passed (the HTTP kinds gave no count)"
fi
