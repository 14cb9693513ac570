#!/usr/bin/env bash
# A throwaway single-node Ceph cluster with an S3 gateway on loopback, for
# tests and benchmarks: one monitor, one OSD on memstore (nothing on disk
# but the configuration and logs), and radosgw with the beast frontend.
#
#   ceph-cluster.sh start DIR   creates DIR, starts the daemons, makes a user
#                               and writes DIR/env (RGW_URL, ACCESS_KEY,
#                               SECRET_KEY); prints the gateway URL
#   ceph-cluster.sh stop DIR    stops the daemons (by their pid files) and
#                               removes DIR
#   ceph-cluster.sh stop-gateway DIR / start-gateway DIR
#                               stops or restarts the gateway alone
#   ceph-cluster.sh reap        stops and removes the clusters under /tmp
#                               whose owner (the pid in DIR/owner) has died
#
# OWNER_PID, when set at start, names the process the cluster belongs to.
#
# The cluster is for throwaway data only: no replication, no fsync that
# matters, all objects in memory.
set -euo pipefail

die() { echo "ceph-cluster: $*" >&2; exit 1; }

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_for() {  # seconds, command...
    local limit=$1; shift
    local end=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}

write_conf() {
    local dir=$1 fsid=$2 monport=$3 rgwport=$4
    cat > "$dir/ceph.conf" <<CONF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$monport
mon initial members = a
public addr = 127.0.0.1
ms bind ipv6 = false
ms bind msgr1 = false
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
keyring = $dir/keyring
run dir = $dir/run
admin socket = $dir/run/\$name.asok
pid file = $dir/run/\$name.pid
log file = $dir/log/\$name.log
mon data = $dir/mon/\$cluster-\$id
osd data = $dir/osd/\$cluster-\$id
osd objectstore = memstore
memstore device bytes = 4294967296
osd pool default size = 1
osd pool default min size = 1
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
mon warn on pool no redundancy = false
mon max pg per osd = 1000
osd max object size = 134217728
CONF
}

start() {
    local dir=$1
    [ ! -e "$dir" ] || die "$dir already exists"
    mkdir -p "$dir"/{run,log,mon,osd}
    local fsid monport rgwport osduuid
    fsid=$(uuidgen); osduuid=$(uuidgen)
    monport=$(free_port); rgwport=$(free_port)
    write_conf "$dir" "$fsid" "$monport" "$rgwport"
    local conf="$dir/ceph.conf"
    local ceph=(ceph -c "$conf" --connect-timeout 30)

    ceph-authtool --create-keyring "$dir/keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
    ceph-authtool "$dir/keyring" --gen-key -n client.admin \
        --cap mon 'allow *' --cap osd 'allow *' --cap mgr 'allow *' >/dev/null
    monmaptool --create --addv a "[v2:127.0.0.1:$monport]" --fsid "$fsid" "$dir/monmap" >/dev/null
    ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$dir/keyring"
    ceph-mon -c "$conf" -i a
    wait_for 30 "${ceph[@]}" mon stat || die "monitor did not come up"

    # The OSD's key is made in the monitor first, then its store.
    local osdkey
    osdkey=$(ceph-authtool --gen-print-key)
    echo "{\"cephx_secret\": \"$osdkey\"}" > "$dir/osd-secret.json"
    local id
    id=$("${ceph[@]}" osd new "$osduuid" -i "$dir/osd-secret.json")
    mkdir -p "$dir/osd/ceph-$id"
    ceph-authtool --create-keyring "$dir/osd/ceph-$id/keyring" --name "osd.$id" --add-key "$osdkey" >/dev/null
    ceph-osd -c "$conf" -i "$id" --mkfs --osd-uuid "$osduuid" \
        --keyring "$dir/osd/ceph-$id/keyring" >"$dir/log/osd-mkfs.log" 2>&1
    ceph-osd -c "$conf" -i "$id" --keyring "$dir/osd/ceph-$id/keyring"
    wait_for 60 bash -c "${ceph[*]} osd stat | grep -q '1 up'" || die "OSD did not come up"

    echo "${OWNER_PID:-$$}" > "$dir/owner"
    echo "$rgwport" > "$dir/rgw-port"
    start_gateway "$dir"

    local access secret
    access=$(python3 -c 'import secrets; print(secrets.token_hex(10).upper())')
    secret=$(python3 -c 'import secrets; print(secrets.token_urlsafe(30))')
    radosgw-admin -c "$conf" user create --uid=tester --display-name=tester \
        --access-key="$access" --secret-key="$secret" >/dev/null
    cat > "$dir/env" <<ENV
RGW_URL=http://127.0.0.1:$rgwport
RGW_PORT=$rgwport
ACCESS_KEY=$access
SECRET_KEY=$secret
ENV
    echo "http://127.0.0.1:$rgwport"
}

start_gateway() {
    local dir=$1 port
    port=$(cat "$dir/rgw-port")
    radosgw -c "$dir/ceph.conf" -n client.admin --rgw-dns-name localhost \
        --rgw-frontends "beast endpoint=127.0.0.1:$port"
    wait_for 90 curl -sf "http://127.0.0.1:$port/" || die "gateway did not come up"
}

stop_pid() {  # pid file
    local pid
    [ -e "$1" ] || return 0
    pid=$(cat "$1")
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$1"
}

reap() {
    local dir owner
    for dir in /tmp/tarvolt-ceph-*/c; do
        [ -e "$dir/owner" ] || continue
        owner=$(cat "$dir/owner")
        kill -0 "$owner" 2>/dev/null || { stop "$dir"; rmdir "$(dirname "$dir")" 2>/dev/null || true; }
    done
}

stop() {
    local dir=$1
    [ -d "$dir" ] || return 0
    local pidfile pid
    for pidfile in "$dir"/run/*.pid; do
        [ -e "$pidfile" ] || continue
        pid=$(cat "$pidfile")
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pidfile in "$dir"/run/*.pid; do
        [ -e "$pidfile" ] || continue
        pid=$(cat "$pidfile")
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$dir"
}

case "${1:-}" in
    start) [ $# -eq 2 ] || die "usage: $0 start DIR"; start "$2" ;;
    stop) [ $# -eq 2 ] || die "usage: $0 stop DIR"; stop "$2" ;;
    stop-gateway) [ $# -eq 2 ] || die "usage: $0 stop-gateway DIR"; stop_pid "$2/run/client.admin.pid" ;;
    start-gateway) [ $# -eq 2 ] || die "usage: $0 start-gateway DIR"; start_gateway "$2" ;;
    reap) reap ;;
    *) die "usage: $0 start|stop|stop-gateway|start-gateway DIR, or reap" ;;
esac
