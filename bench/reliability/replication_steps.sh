#!/usr/bin/env bash
# The steps of the replication part (replication.sh), sourced by it. They
# use its variables: part, api_port, mnt, ceph (the Ceph cluster's
# directory), RGW_URL, ACCESS_KEY, SECRET_KEY, root and verdicts (the file
# collecting every "[pass]"/"[FAIL]" line of the part).

# verdict pass|FAIL WHAT [DETAIL]: prints a check line and keeps it.
verdict() {
    local line="[$1] $2${3:+: $3}"
    echo "$line"
    echo "$line" >>"$verdicts"
}

# Prints the closing line from every kept check; non-zero unless all passed.
finish_part() {
    local passed checks
    passed=$(grep -c '^\[pass\]' "$verdicts")
    checks=$(grep -cE '^\[(pass|FAIL)\]' "$verdicts")
    echo "$part: $passed of $checks checks passed"
    [ "$passed" = "$checks" ]
}

replication_status() {
    curl -s -m 5 "http://127.0.0.1:$api_port/tarvolt/bucket/replication" || true
}

# json_field NAME < JSON: the value of the top-level member NAME (quotes
# dropped), empty when it is not there.
json_field() {
    sed -n "s/.*\"$1\" : \"\{0,1\}\([^,\"}]*\).*/\1/p"
}

# point_at_store CREDENTIALS BUCKET PREFIX: fills in the category
# "Bucket Storage Replication" (the endpoint last) and waits until the
# replicator follows the feed; non-zero after 60 s.
point_at_store() {
    local credentials=$1 token item state=""
    (umask 077 && printf 'access_key = %s\nsecret_key = %s\n' "$ACCESS_KEY" "$SECRET_KEY" \
        >"$credentials")
    token="$(cat "$mnt/admin.token")"
    for item in "bucket=$2" "keyPrefix=$3" "credentialsFile=$credentials" "endpoint=$RGW_URL"; do
        curl -sf -o /dev/null -X PUT -H "Authorization: Bearer $token" \
            -d "{ \"value\" : \"${item#*=}\" }" \
            "http://127.0.0.1:$api_port/tarvolt/category/Bucket%20Storage%20Replication/${item%%=*}" ||
            return 1
    done
    for _ in $(seq 1 300); do
        state="$(replication_status | json_field state)"
        [ "$state" = following ] && return 0
        sleep 0.2
    done
    return 1
}

# monitor_lag FILE: every second, one line "TIME LAG_CHANGES LAG_SECONDS
# STATE CURSOR FAULTS" of the replicator's status (nothing while the
# platform does not answer). Runs until killed.
monitor_lag() {
    local status
    while true; do
        status="$(replication_status)"
        if [[ "$status" == *lagChanges* ]]; then
            echo "$(date +%s.%N) $(echo "$status" | json_field lagChanges)" \
                "$(echo "$status" | json_field lagSeconds) $(echo "$status" | json_field state)" \
                "$(echo "$status" | json_field cursor) $(echo "$status" | json_field faults)" >>"$1"
        fi
        sleep 1
    done
}

gateway_pid_file() { echo "$ceph/run/client.admin.pid"; }

# store_faults SECONDS OUTAGE FILE: during a load of SECONDS, kills radosgw
# with SIGKILL at a fifth of it and starts it again, then stops it at two
# fifths for OUTAGE seconds and starts it again. Writes "kill ok|failed S"
# and "outage ok|failed S" (how long the gateway was away) to FILE.
store_faults() {
    local seconds=$1 outage=$2 file=$3 started pid at
    started=$(date +%s.%N)
    sleep "$(awk -v s="$seconds" 'BEGIN { print s * 0.2 }')"
    pid="$(cat "$(gateway_pid_file)")"
    at=$(date +%s.%N)
    if kill -KILL "$pid" 2>/dev/null; then
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
        rm -f "$(gateway_pid_file)"
        sleep 2
        "$root/testing/ceph/ceph-cluster.sh" start-gateway "$ceph" >/dev/null 2>&1 &&
            echo "kill ok $(awk -v a="$at" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')" >>"$file"
    fi
    grep -q '^kill ok' "$file" 2>/dev/null || echo "kill failed" >>"$file"
    sleep "$(awk -v s="$seconds" -v a="$started" -v b="$(date +%s.%N)" \
        'BEGIN { d = a + s * 0.4 - b; print (d > 0 ? d : 0) }')"
    at=$(date +%s.%N)
    "$root/testing/ceph/ceph-cluster.sh" stop-gateway "$ceph" >/dev/null 2>&1
    sleep "$outage"
    if "$root/testing/ceph/ceph-cluster.sh" start-gateway "$ceph" >/dev/null 2>&1; then
        echo "outage ok $(awk -v a="$at" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')" >>"$file"
    else
        echo "outage failed" >>"$file"
    fi
}

# store_fault_verdicts FILE OUTAGE: the checks that both faults of the
# store happened and that radosgw answered again after each.
store_fault_verdicts() {
    local kill outage
    kill="$(sed -n 's/^kill ok //p' "$1")"
    outage="$(sed -n 's/^outage ok //p' "$1")"
    verdict "$([ -n "$kill" ] && echo pass || echo FAIL)" \
        "radosgw killed with SIGKILL during the load was started again" \
        "${kill:+answering after $kill s}"
    verdict "$([ -n "$outage" ] && echo pass || echo FAIL)" \
        "radosgw stopped for $2 s during the load was started again" \
        "${outage:+away for $outage s}"
}

# catch_up LIMIT: waits until the replicator follows with no change left
# beyond its cursor; the check line says how long it took. Sets caught_up.
catch_up() {
    local started=$SECONDS status="" lag state
    caught_up=""
    while [ $((SECONDS - started)) -lt "$1" ]; do
        status="$(replication_status)"
        lag="$(echo "$status" | json_field lagChanges)"
        state="$(echo "$status" | json_field state)"
        if [ "$state" = following ] && [ "$lag" = 0 ]; then
            caught_up=$((SECONDS - started))
            verdict pass "the replicator caught up after the load" \
                "in $caught_up s, cursor $(echo "$status" | json_field cursor)"
            return 0
        fi
        sleep 1
    done
    verdict FAIL "the replicator caught up after the load" "not within $1 s: $status"
    return 1
}

# closing_figures LOAD_TXT LAG_TXT LOAD_START LOAD_END END_STATUS: the
# closing lines on changes, faults and lag.
closing_figures() {
    local load=$1 lag=$2 end=$5 kills cuts
    echo "[figures] changes: $(sed -n 's/^\[figures\] changes answered: //p' "$load"); the" \
        "feed's last change is seq $(replication_status | json_field cursor)"
    kills=$(grep -c 'tarvolt-bucket killed with SIGKILL' "$load")
    cuts=$(grep -c 'after a power cut' "$load")
    echo "[figures] faults injected: $kills SIGKILLs of the bucket service (and its replicator)," \
        "$cuts power cuts of the source, radosgw killed once with SIGKILL and stopped for" \
        "${REPLICATION_OUTAGE_S:-60} s; the replicator met $(echo "$end" | json_field faults)" \
        "faults since its last start"
    awk -v a="$3" -v b="$4" '$1 >= a && $1 <= b {
            if ($2 > changes) changes = $2
            if ($3 > seconds) seconds = $3
        }
        END { printf "[figures] lag during the load: at most %d changes and %.1f s\n",
              changes, seconds }' "$lag"
    echo "[figures] lag at the end of the load: $(echo "$end" | json_field lagChanges) changes," \
        "$(echo "$end" | json_field lagSeconds) s; caught up ${caught_up:-never} s after the load"
}
