#!/usr/bin/env bash
# Stops a platform started by scripts/run.sh: the core shuts its services down.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
data="${TARVOLT_DATA:-$root/data}"
if [ ! -f "$data/core.pid" ] || ! kill -0 "$(cat "$data/core.pid")" 2>/dev/null; then
    echo "Tarvolt is not running."
    exit 0
fi
pid="$(cat "$data/core.pid")"
kill -TERM "$pid"
for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { rm -f "$data/core.pid"; echo "Tarvolt stopped."; exit 0; }
    sleep 0.2
done
echo "The core did not stop within 20 s; killing it." >&2
kill -KILL "$pid" || true
rm -f "$data/core.pid"
