#!/usr/bin/env bash
# Starts or stops a throwaway nginx on loopback for the comparison benchmarks:
# it serves DIR over GET and accepts WebDAV PUTs into it. The proxy variant
# is an nginx reverse proxy in front of such an nginx, set up for large
# bodies: 1 MiB proxy buffers, request bodies passed on as they arrive, no
# temporary files, keep-alive connections to the origin.
#   bench/nginx.sh start DIR PORT                  -> prints the nginx master pid
#   bench/nginx.sh start-proxy DIR PORT ORIGIN_PORT -> prints the proxy's master pid
#   bench/nginx.sh stop DIR
set -euo pipefail

action="$1"
dir="$2"

# The start of both configurations, up to the inside of the http block.
preamble() {
    [ "$(id -u)" -eq 0 ] && echo "user root;"
    cat <<CONF
worker_processes 1;
daemon on;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $dir/tmp;
    proxy_temp_path $dir/tmp;
    fastcgi_temp_path $dir/tmp;
    uwsgi_temp_path $dir/tmp;
    scgi_temp_path $dir/tmp;
CONF
}

# Starts nginx on "$dir/nginx.conf" and prints its master pid.
launch() {
    nginx -c "$dir/nginx.conf" -p "$dir"
    for _ in $(seq 1 50); do
        [ -s "$dir/nginx.pid" ] && break
        sleep 0.1
    done
    cat "$dir/nginx.pid"
}

case "$action" in
start)
    port="$3"
    mkdir -p "$dir/www" "$dir/tmp"
    cat >"$dir/nginx.conf" <<CONF
$(preamble)
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
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
    launch
    ;;
start-proxy)
    port="$3"
    origin="$4"
    mkdir -p "$dir/tmp"
    cat >"$dir/nginx.conf" <<CONF
$(preamble)
    upstream origin {
        server 127.0.0.1:$origin;
        keepalive 16;
    }
    server {
        listen 127.0.0.1:$port;
        client_max_body_size 0;
        location / {
            proxy_pass http://origin;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_request_buffering off;
            proxy_buffering on;
            proxy_buffer_size 1m;
            proxy_buffers 8 1m;
            proxy_busy_buffers_size 2m;
            proxy_max_temp_file_size 0;
            client_body_buffer_size 1m;
        }
    }
}
CONF
    launch
    ;;
stop)
    if [ -s "$dir/nginx.pid" ]; then
        kill -QUIT "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    fi
    ;;
*)
    echo "usage: $0 start DIR PORT | start-proxy DIR PORT ORIGIN_PORT | stop DIR" >&2
    exit 2
    ;;
esac
