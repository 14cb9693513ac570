#!/usr/bin/env bash
# Reliability part: a full disk. The bucket storage root (the default
# location "buckets" under the platform's data directory) is a tmpfs of
# DISK_MIB (default 8) MiB. Uploads that do not fit, and an upload during
# which another writer fills the disk, must be refused with a JSON error and
# leave nothing behind (no file, no rows, no ".upload-*"); the service goes
# on serving, and uploads work again once space is freed. The tmpfs is always
# unmounted on exit. Then the same tmpfs recovers by retention
# (disk_retention.sh): filled several times over under a watermark rule,
# every addition is answered 202, and only the buckets the rule selects go.
# Without the right to mount, every check counts failed.
# Needs: $bin, $work (see bench/reliability.sh); curl and python3.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/platform.sh"
source "$here/disk_retention.sh"

data="$work/disk"
root="$data/buckets"
size_mib="${DISK_MIB:-8}"
passed=0
checks=0
mounted=""

check() {  # check <description> <command...>
    local what="$1"
    shift
    checks=$((checks + 1))
    if "$@"; then
        passed=$((passed + 1))
        echo "[pass] $what"
    else
        echo "[FAIL] $what"
    fi
}

cleanup() {
    stop_platform
    if [ -n "$mounted" ]; then
        umount "$root" 2>/dev/null || umount -l "$root" 2>/dev/null || true
        mounted=""
    fi
}
trap cleanup EXIT

# upload <file> <attributes JSON>: sets $status and $body.
upload() {
    local out="$work/disk-answer"
    status="$(curl -s -o "$out" -w '%{http_code}' --max-time 120 -F "bucket=@$1" \
        -F "attributes=$2" "http://127.0.0.1:$bucket_port/bucket")" || status="000"
    body="$(cat "$out" 2>/dev/null)"
}
json_object() { python3 -c 'import json,sys; assert isinstance(json.loads(sys.argv[1]), dict)' "$1" 2>/dev/null; }
refused_with_json() { [ "${status:0:1}" = 4 ] || [ "${status:0:1}" = 5 ] && json_object "$body"; }
listing() { curl -sf --max-time 30 "http://127.0.0.1:$bucket_port/bucket"; }
stored_files() { find "$root" -type f ! -name '.upload-*' | wc -l; }
leftovers() { find "$root" -name '.upload-*' | wc -l; }
used_kib() { df -k --output=used "$root" | tail -n 1 | tr -d ' '; }
same() { [ "$1" = "$2" ]; }
make_file() { head -c "$(($2 * 1024))" /dev/urandom >"$1"; }

# The state a refusal must leave unchanged: the listing, the files, no
# temporary files.
snapshot() { echo "$(listing)|$(stored_files)|$(leftovers)"; }

mkdir -p "$root"
if ! mount -t tmpfs -o "size=${size_mib}m" tarvolt-disk "$root" 2>"$work/disk-mount.err"; then
    echo "[FAIL] mount a ${size_mib} MiB tmpfs: $(cat "$work/disk-mount.err"); part skipped"
    echo "disk: 0 of $((14 + retention_checks)) checks passed"
    exit 1
fi
mounted=1
start_platform "$data" || { echo "disk: 0 of $((14 + retention_checks)) checks passed"; exit 1; }

make_file "$work/small" 64
make_file "$work/big" $((size_mib * 1024 + 2048))
make_file "$work/chunk" 1536
upload "$work/small" '{"disk":"first"}'
check "a small upload fits ($status)" same "$status" 202
first="$(echo "$body" | sed -n 's/.*"bucket" : \([0-9]*\).*/\1/p')"
before="$(snapshot)"
used="$(used_kib)"

upload "$work/big" '{"disk":"big"}'
check "an upload larger than the disk is refused with JSON ($status $body)" refused_with_json
check "it left no file, no row, no .upload-*" same "$(snapshot)" "$before"
check "its space is free again ($(used_kib) kB used, $used before)" \
    test "$(used_kib)" -le "$((used + 64))"

# The service goes on serving.
curl -sf --max-time 30 -o "$work/first.out" "http://127.0.0.1:$bucket_port/bucket/$first"
check "the first bucket downloads unchanged" cmp -s "$work/small" "$work/first.out"
matched="$(curl -sf --max-time 30 -X PUT -d '{"attributes":{"disk":"first"}}' \
    "http://127.0.0.1:$bucket_port/bucket/match")"
check "a match finds it" grep -q "\"bucket\" : $first," <<<"$matched"

# Fill the disk with uploads until one is refused.
ids=()
for i in $(seq 1 $((size_mib + 2))); do
    full="$(snapshot)"
    upload "$work/chunk" "{\"fill\":\"$i\"}"
    [ "$status" = 202 ] || break
    ids+=("$(echo "$body" | sed -n 's/.*"bucket" : \([0-9]*\).*/\1/p')")
done
check "filling the disk: ${#ids[@]} uploads stored, then refused with JSON ($status)" refused_with_json
check "the refused one left nothing behind" same "$(snapshot)" "$full"
upload "$work/small" '{"disk":"when full"}'
[ "$status" = 202 ] && ids+=("$(echo "$body" | sed -n 's/.*"bucket" : \([0-9]*\).*/\1/p')")
check "a small upload on the full disk is stored or refused with JSON ($status)" \
    test "$status" = 202 -o -n "$(refused_with_json && echo yes)"
for id in "${ids[@]:0:3}"; do
    curl -sf --max-time 30 -X DELETE "http://127.0.0.1:$bucket_port/bucket/$id" >/dev/null
done
upload "$work/chunk" '{"disk":"after freeing"}'
check "after deleting three buckets an upload works again ($status)" same "$status" 202
for id in "${ids[@]:3}"; do
    curl -sf --max-time 30 -X DELETE "http://127.0.0.1:$bucket_port/bucket/$id" >/dev/null
done

# The disk fills while an upload streams: another writer takes the space.
before="$(snapshot)"
make_file "$work/half" $((size_mib * 1024 / 2))
curl -s -o "$work/disk-answer" -w '%{http_code}' --max-time 120 --limit-rate 1M \
    -F "bucket=@$work/half" -F 'attributes={"disk":"streaming"}' \
    "http://127.0.0.1:$bucket_port/bucket" >"$work/disk-status" &
uploader=$!
sleep 1
head -c "$((size_mib * 1024 * 1024))" /dev/zero >"$root/filler" 2>/dev/null
wait "$uploader"
status="$(cat "$work/disk-status")"
body="$(cat "$work/disk-answer")"
rm -f "$root/filler"
check "an upload during which the disk fills is refused with JSON ($status $body)" refused_with_json
check "it left no file, no row, no .upload-*" same "$(snapshot)" "$before"
upload "$work/chunk" '{"disk":"after the filler"}'
check "then uploads work again ($status)" same "$status" 202
check "the bucket service is still up" kill -0 "$bucket_pid"

run_retention_checks

echo "disk: $passed of $checks checks passed"
[ "$passed" = "$checks" ]
