# Sourced by disk.sh: a full storage root recovering by retention. With a
# watermark rule (`minFree` RETENTION_MARK_KIB, default 2048 KiB) that
# evicts only captures (`evictWhere` kind = "capture"), the tmpfs is filled
# several times over with 128 KiB captures, beside held captures (attribute
# "hold") and logs that no rule selects. Every addition must be answered
# 202 while retention makes room; at the end no log and no held capture is
# gone or changed, every bucket that went was a capture and has its "BUCDL"
# audit entry with "rule" : "minFree", and the free space is back above the
# mark (after the next periodic run at the latest). Uses disk.sh's check,
# upload, make_file and $root, $data, $work, $api_port, $bucket_port.

mark_kib="${RETENTION_MARK_KIB:-2048}"
# One check per line below that calls `check`.
retention_checks=9

bucket_url() { echo "http://127.0.0.1:$bucket_port/bucket${1:-}"; }
id_of() { echo "$1" | sed -n 's/.*"bucket" : \([0-9]*\).*/\1/p'; }
free_kib() { df -k --output=avail "$root" | tail -n 1 | tr -d ' '; }

# set_rule <item> <value>: through the core, with the administrator's token.
set_rule() {
    local value
    value="$(python3 -c 'import json,sys; print(json.dumps({"value": sys.argv[1]}))' "$2")"
    curl -sf --max-time 30 -X PUT -H "Authorization: Bearer $(cat "$data/admin.token")" \
        -d "$value" "http://127.0.0.1:$api_port/tarvolt/category/Bucket%20Storage%20Retention/$1" \
        >/dev/null
}

rules_in_force() {
    curl -sf --max-time 30 "$(bucket_url /retention)" |
        grep -q "\"minFreeBytes\" : $((mark_kib * 1024))"
}

# add_kept <kind> <file> <attributes>: an upload that must stay; records
# "<id> <file>" in $work/kept.
add_kept() {
    upload "$2" "$3"
    statuses+=("$status")
    [ "$status" = 202 ] && echo "$(id_of "$body") $2" >>"$work/kept"
}

# The kept buckets that are missing or differ from their file.
kept_damaged() {
    local id file damaged=0
    while read -r id file; do
        curl -sf --max-time 30 -o "$work/kept.out" "$(bucket_url "/$id")" &&
            cmp -s "$file" "$work/kept.out" || damaged=$((damaged + 1))
    done <"$work/kept"
    echo "$damaged"
}

# Compares the captures that went with the "BUCDL" entries of the audit
# log: prints "<gone> <audited by minFree> <audited without a capture>".
audit_summary() {
    curl -sf --max-time 60 "$(bucket_url)" >"$work/listing.json"
    python3 - "$data/audit.jsonl" "$work/listing.json" "$work/captures" "$work/kept" <<'EOF'
import json, re, sys
audit, listing, captures, kept = sys.argv[1:5]
listed = set(int(i) for i in re.findall(r'"bucket" : (\d+)', open(listing).read()))
captured = set(int(line.split()[0]) for line in open(captures) if line.strip())
kept_ids = set(int(line.split()[0]) for line in open(kept) if line.strip())
by_rule, stray = set(), 0
for line in open(audit):
    entry = json.loads(line)
    details = entry.get("details", {})
    if entry.get("source") != "BUCDL" or details.get("rule") is None:
        continue
    if details.get("rule") == "minFree" and details.get("id") in captured:
        by_rule.add(details["id"])
    else:
        stray += 1
gone = captured - listed
print(len(gone), len(gone & by_rule), stray + len(by_rule - gone) + len(kept_ids - listed))
EOF
}

run_retention_checks() {
    local id ids
    # The buckets of the earlier checks go first: the disk is the rules'.
    ids="$(curl -sf --max-time 30 "$(bucket_url)" | grep -o '"bucket" : [0-9]*' | grep -o '[0-9]*$')"
    for id in $ids; do curl -sf --max-time 30 -X DELETE "$(bucket_url "/$id")" >/dev/null; done
    set_rule evictWhere '{ "name" : "kind", "op" : "eq", "value" : "capture" }'
    set_rule minFree "$((mark_kib * 1024))"
    for _ in $(seq 1 100); do rules_in_force && break; sleep 0.2; done
    check "the watermark rule is in force ($mark_kib KiB)" rules_in_force

    : >"$work/kept"
    : >"$work/captures"
    statuses=()
    make_file "$work/capture" 128
    local fills=$((size_mib * 1024 * 3 / 128)) i
    for i in $(seq 1 4); do
        make_file "$work/held$i" 128
        add_kept held "$work/held$i" "{\"kind\":\"capture\",\"hold\":\"yes\",\"n\":\"h$i\"}"
    done
    for i in $(seq 1 "$fills"); do
        if [ $((i % 25)) = 0 ]; then
            make_file "$work/log$i" 128
            add_kept log "$work/log$i" "{\"kind\":\"log\",\"n\":\"l$i\"}"
        fi
        upload "$work/capture" "{\"kind\":\"capture\",\"n\":\"c$i\"}"
        statuses+=("$status")
        [ "$status" = 202 ] && echo "$(id_of "$body")" >>"$work/captures"
    done
    local answered refused
    answered="$(printf '%s\n' "${statuses[@]}" | grep -c '^202$')"
    refused="$(printf '%s\n' "${statuses[@]}" | grep -vc '^202$')"
    check "filling the disk $((fills * 128 / 1024 / size_mib))x over: $answered additions answered 202, $refused otherwise" \
        test "$refused" = 0
    check "retention made room: $(wc -l <"$work/captures") captures stored on ${size_mib} MiB" \
        test "$(wc -l <"$work/captures")" -gt "$((size_mib * 1024 / 128))"
    check "no held capture and no log is lost or changed ($(kept_damaged) damaged of $(wc -l <"$work/kept"))" \
        test "$(kept_damaged)" = 0
    local summary gone audited stray
    for _ in $(seq 1 50); do
        summary="$(audit_summary)"
        read -r gone audited stray <<<"$summary"
        [ "$gone" = "$audited" ] && break
        sleep 0.2
    done
    check "every capture that went ($gone) has its BUCDL entry with rule minFree ($audited)" \
        test "$gone" -gt 0 -a "$gone" = "$audited"
    check "no rule deleted a held capture, a log or a bucket that is still there ($stray)" \
        test "$stray" = 0
    for _ in $(seq 1 75); do [ "$(free_kib)" -ge "$mark_kib" ] && break; sleep 1; done
    check "the free space is back above the mark ($(free_kib) KiB free, mark $mark_kib KiB)" \
        test "$(free_kib)" -ge "$mark_kib"
    check "no .upload-* is left" test "$(leftovers)" = 0
    check "the bucket service is still up" kill -0 "$bucket_pid"
}
