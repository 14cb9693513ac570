# A pattern bomb and a fault inside the allocator on a running platform
# (sourced by hostile.sh after start_platform, the platform started with
# TARVOLT_TEST_FAULT=allocator). Prints one line per check and sets
# fault_passed and fault_checks.
fault_passed=0 fault_checks=0

fault_check() {  # <what> <true|false>
    fault_checks=$((fault_checks + 1))
    if [ "$2" = true ]; then
        fault_passed=$((fault_passed + 1)); echo "[pass] $1"
    else
        echo "[FAIL] $1"
    fi
}

is_true() { "$@" && echo true || echo false; }

# The name the bucket service registered under.
bucket_name() {
    { curl -s "http://127.0.0.1:$api_port/tarvolt/service?type=BucketStorage" || true; } |
        sed -n 's/.*"name" *: *"\([^"]*\)".*/\1/p'
}

# Registers `pattern` (a public path) as the bucket service's only GET proxy
# path; prints "<status> <seconds>".
register_pattern() {  # <name> <token> <pattern>
    local body
    body='{"service_name":"'"$1"'","proxies":{"GET":[{"public":"'"$3"'","service":"'"${3#/tarvolt}"'"}]}}'
    curl -s -o /dev/null -w '%{http_code} %{time_total}' -X POST --data-binary "$body" \
        -H "Authorization: Bearer $2" -H 'Content-Type: application/json' \
        "http://127.0.0.1:$management_port/tarvolt/service/proxy"
}

# Proxy patterns that backtrack catastrophically in a backtracking engine, an
# oversized one and one whose program is too large, registered with the
# bucket service's own token. They replace its proxy paths until it
# registers again (the allocator fault below restarts it).
pattern_bomb() {
    local name token pattern answer status seconds long
    name="$(bucket_name)"
    token="$(tr '\0' '\n' <"/proc/$bucket_pid/environ" | sed -n 's/^TARVOLT_TOKEN=//p' || true)"
    fault_check "pattern bomb: the bucket service's name and token found" \
        "$(is_true [ -n "$name" -a -n "$token" ])"
    for pattern in '/tarvolt/(a*)*b' '/tarvolt/((a+)+)+c' '/tarvolt/(a|aa)*(a|aa)*d' \
        '/tarvolt/(.*a){20}'; do
        read -r status seconds <<<"$(register_pattern "$name" "$token" "$pattern")"
        fault_check "pattern bomb: $pattern answered $status in ${seconds} s (refused or harmless)" \
            "$(is_true awk -v s="$status" -v t="$seconds" 'BEGIN { exit !((s == 200 || s == 400) && t < 2) }')"
        long="/tarvolt/$(head -c 30000 /dev/zero | tr '\0' a)"
        for path in "${long}b" "${long}c" "${long}d"; do
            answer="$(curl -s -o /dev/null -w '%{http_code} %{time_total}' "http://127.0.0.1:$api_port$path" || true)"
            read -r status seconds <<<"$answer"
            if ! awk -v s="$status" -v t="$seconds" 'BEGIN { exit !(s >= 200 && t < 1) }'; then
                break
            fi
        done
        fault_check "pattern bomb: 30,000-character paths against $pattern answered in ${seconds} s ($status)" \
            "$(is_true awk -v s="$status" -v t="$seconds" 'BEGIN { exit !(s >= 200 && t < 1) }')"
    done
    read -r status seconds <<<"$(register_pattern "$name" "$token" "/tarvolt/$(head -c 2000 /dev/zero | tr '\0' a)")"
    fault_check "pattern bomb: a 2,000-byte pattern refused ($status)" "$(is_true [ "$status" = 400 ])"
    read -r status seconds <<<"$(register_pattern "$name" "$token" '/tarvolt/((((a{1,30}){1,30}){1,30}){1,30})')"
    fault_check "pattern bomb: a pattern of a huge program refused ($status)" "$(is_true [ "$status" = 400 ])"
}

# The process's state letter, empty once it is gone (reaped).
process_state() {
    { ps -o stat= -p "$1" 2>/dev/null || true; } | cut -c1
}

# SIGUSR2 makes a bucket service started with TARVOLT_TEST_FAULT=allocator
# fault while it holds the allocator's lock: it must still write its crash
# report and exit with status 1, and the supervisor must start it again.
allocator_fault() {
    local old_pid="$bucket_pid" name log began ended state
    name="$(bucket_name)"
    log="$platform_data/logs/$name.log"
    began=$(date +%s.%N)
    kill -USR2 "$old_pid" || true
    for _ in $(seq 1 100); do
        state="$(process_state "$old_pid")"
        [ -z "$state" ] || [ "$state" = Z ] && break
        sleep 0.1
    done
    ended=$(date +%s.%N)
    state="$(process_state "$old_pid")"
    fault_check "allocator fault: the bucket service ended within $(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%.1f", b - a }') s (no deadlock)" \
        "$(is_true [ -z "$state" -o "$state" = Z ])"
    for _ in $(seq 1 100); do
        grep -q "Service $name ended unexpectedly (exit status" "$platform_data/core.out" && break
        sleep 0.1
    done
    fault_check "allocator fault: the supervisor saw exit status 1" \
        "$(is_true grep -q "Service $name ended unexpectedly (exit status 1)" "$platform_data/core.out")"
    fault_check "allocator fault: the crash report is in $name.log" \
        "$(is_true grep -q 'FATAL: Signal 11 (Segmentation fault) trapped:' "$log")"
    for _ in $(seq 1 150); do
        refresh_pids && [ "$bucket_pid" != "$old_pid" ] && break
        sleep 0.2
    done
    local status=""
    for _ in $(seq 1 50); do
        status="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$api_port/tarvolt/bucket" || true)"
        [ "$status" = 200 ] && break
        sleep 0.2
    done
    fault_check "allocator fault: restarted as process $bucket_pid, serving through the core again ($status)" \
        "$(is_true [ "$bucket_pid" != "$old_pid" -a "$status" = 200 ])"
}
