#!/usr/bin/env bash
# One power cut of the power part: kills the core and every service at once
# with SIGKILL, drops what the power-cut file system had not made durable,
# starts the platform again over what survived (same public API port) and
# prints the new core's process id.
# Usage: power_cut.sh BIN_DIR MOUNT_POINT API_PORT PID_FILE
set -uo pipefail
bin="$1" mnt="$2" api_port="$3" pid_file="$4"

core_pid="$(cat "$pid_file")"
victims="$core_pid $(ps -o pid= --ppid "$core_pid" | tr '\n' ' ')"
# shellcheck disable=SC2086
kill -KILL $victims 2>/dev/null
alive() { [ -e "/proc/$1" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
for victim in $victims; do
    for _ in $(seq 1 200); do alive "$victim" || break; sleep 0.05; done
done
echo cut >"$mnt/.powercut"

rm -f "$mnt/core.json"
TARVOLT_DATA="$mnt" setsid "$bin/tarvolt-core" --port=0 --api-port="$api_port" --data="$mnt" \
    --launch=storage,bucket </dev/null >>"$mnt/../core.out" 2>&1 &
echo $! >"$pid_file"
echo $!
