#!/usr/bin/env bash
# Starts or stops a throwaway nginx on loopback for the comparison benchmarks:
# it serves DIR over GET and accepts WebDAV PUTs into it.
#   bench/nginx.sh start DIR PORT   -> prints the nginx master pid
#   bench/nginx.sh stop DIR
set -euo pipefail

action="$1"
dir="$2"

case "$action" in
start)
    port="$3"
    mkdir -p "$dir/www" "$dir/tmp"
    cat >"$dir/nginx.conf" <<CONF
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 1;
daemon on;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path $dir/tmp;
    proxy_temp_path $dir/tmp;
    fastcgi_temp_path $dir/tmp;
    uwsgi_temp_path $dir/tmp;
    scgi_temp_path $dir/tmp;
    server {
        listen 127.0.0.1:$port;
        root $dir/www;
        client_max_body_size 0;
        client_body_buffer_size 128k;
        dav_methods PUT;
        create_full_put_path on;
        location / { }
    }
}
CONF
    nginx -c "$dir/nginx.conf" -p "$dir"
    for _ in $(seq 1 50); do
        [ -s "$dir/nginx.pid" ] && break
        sleep 0.1
    done
    cat "$dir/nginx.pid"
    ;;
stop)
    if [ -s "$dir/nginx.pid" ]; then
        kill -QUIT "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    fi
    ;;
*)
    echo "usage: $0 start DIR PORT | stop DIR" >&2
    exit 2
    ;;
esac
