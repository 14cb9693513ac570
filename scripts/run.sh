#!/usr/bin/env bash
# Starts the platform in the background: the core, which launches the storage
# service and then the bucket service. Prints the public URL once the bucket
# service has registered. `make stop` (or `scripts/stop.sh`) stops it again.
set -euo pipefail

build_dir="${1:-build}"
root="$(cd "$(dirname "$0")/.." && pwd)"
data="${TARVOLT_DATA:-$root/data}"
mgmt_port="${TARVOLT_MANAGEMENT_PORT:-8083}"
api_port="${TARVOLT_API_PORT:-8081}"
core="$root/$build_dir/bin/tarvolt-core"

mkdir -p "$data/logs"
if [ -f "$data/core.pid" ] && kill -0 "$(cat "$data/core.pid")" 2>/dev/null; then
    echo "Tarvolt is already running (pid $(cat "$data/core.pid")); 'make stop' stops it."
    exit 0
fi
rm -f "$data/core.json"

# The core creates $data/admin.token (mode 0600) on its first start: the
# state-changing calls of its public API present it as
# "Authorization: Bearer $(cat data/admin.token)".

TARVOLT_DATA="$data" nohup "$core" --port="$mgmt_port" --api-port="$api_port" --data="$data" \
    >>"$data/logs/core.log" 2>&1 &
echo $! >"$data/core.pid"

echo -n "Starting Tarvolt (core pid $(cat "$data/core.pid"))"
for _ in $(seq 1 150); do
    if ! kill -0 "$(cat "$data/core.pid")" 2>/dev/null; then
        echo; echo "The core exited; see $data/logs/core.log" >&2
        exit 1
    fi
    if curl -sf "http://127.0.0.1:$api_port/tarvolt/service" 2>/dev/null | grep -q '"BucketStorage"'; then
        echo
        echo "Tarvolt is running."
        echo "  Bucket API (through the core): http://localhost:$api_port/tarvolt/bucket"
        echo "  Console (web page):            http://localhost:$api_port/tarvolt/bucket/console"
        echo "  Core public API:               http://localhost:$api_port/tarvolt/service"
        echo "  Administrator token (changes through the core's public API): $data/admin.token"
        echo "  Logs: $data/logs/   Data: $data/"
        echo "  Stop with: make stop"
        exit 0
    fi
    echo -n "."
    sleep 0.2
done
echo; echo "The bucket service did not register within 30 s; see $data/logs/" >&2
exit 1
