# Token attacks on a running platform (sourced by hostile.sh after
# start_platform): a thief re-registering "Storage", and shutdowns without
# the right token. Prints one line per check and sets token_passed and
# token_checks.
token_passed=0 token_checks=0

token_check() {  # <what> <true|false>
    token_checks=$((token_checks + 1))
    if [ "$2" = true ]; then
        token_passed=$((token_passed + 1)); echo "[pass] $1"
    else
        echo "[FAIL] $1"
    fi
}

token_status() {  # <method> <url> [body] [curl options...]: prints the HTTP status
    local method="$1" url="$2" body="${3:-}"
    shift 3 || shift $#
    curl -s -o /dev/null -w '%{http_code}' -X "$method" --data-binary "$body" "$@" "$url"
}

storage_entry() {
    curl -s "http://127.0.0.1:$api_port/tarvolt/service?name=Storage"
}

token_attacks() {
    local before stolen thief status listener
    before="$(storage_entry)"
    listener="$(sed -n 's/.*"management_port" : \([0-9]*\).*/\1/p' <<<"$before")"

    # A token thief re-registering "Storage" on a port of its own.
    stolen="$(tr '\0' ' ' <"/proc/$storage_pid/cmdline")"
    token_check "thief: no token on the storage service's command line" \
        "$([[ "$stolen" != *token* ]] && echo true || echo false)"
    thief='{"name":"Storage","type":"Storage","address":"localhost","service_port":9,"management_port":9,"token":"'
    for guess in "" "0123456789abcdef0123456789abcdef"; do
        status="$(token_status POST "http://127.0.0.1:$management_port/tarvolt/service" "$thief$guess\"}")"
        token_check "thief: registration as Storage with token '${guess:-none}' refused ($status)" \
            "$([[ "$status" == 401 || "$status" == 409 ]] && echo true || echo false)"
    done
    token_check "thief: Storage still registered at its own ports" \
        "$([ "$(storage_entry)" = "$before" ] && echo true || echo false)"

    # Shutdowns without the right token.
    status="$(token_status PUT "http://127.0.0.1:$api_port/tarvolt/service/Storage/shutdown" "")"
    token_check "unauthenticated shutdown through the public API refused ($status)" \
        "$([ "$status" = 401 ] && echo true || echo false)"
    status="$(token_status PUT "http://127.0.0.1:$api_port/tarvolt/service/Storage/restart" "" \
        -H "Authorization: Bearer wrong")"
    token_check "restart through the public API with a wrong token refused ($status)" \
        "$([ "$status" = 403 ] && echo true || echo false)"
    status="$(token_status POST "http://127.0.0.1:$listener/tarvolt/service/shutdown" "")"
    token_check "shutdown through the storage service's listener without the core's token refused ($status)" \
        "$([ "$status" = 401 ] && echo true || echo false)"
    sleep 1
    token_check "the storage service still runs" \
        "$(kill -0 "$storage_pid" 2>/dev/null && echo true || echo false)"
}
