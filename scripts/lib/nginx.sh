# shellcheck shell=bash
# Sourced by the demo, the benchmarks and the test fixture: a throw-away nginx on a free loopback
# port, with its configuration, logs and temporary files under one directory.
#
#   nginx_start WORKDIR DOCROOT [EXTRA_SERVER_DIRECTIVES]
#       sets NGINX_PORT and NGINX_PID; fails when nginx does not come up
#   nginx_stop
#   nginx_config WORKDIR DOCROOT [EXTRA_SERVER_DIRECTIVES]
#       only writes WORKDIR/nginx.conf and sets NGINX_PORT
#   nginx_exec WORKDIR DOCROOT [EXTRA_SERVER_DIRECTIVES [tls]]
#       the C++ test fixture's: with tls, adds an HTTPS listener with a
#       certificate for 127.0.0.1 made in WORKDIR (cert.pem); writes the ports,
#       "HTTP HTTPS", to WORKDIR/ports and becomes nginx, which dies with its
#       parent, so that a crashed or killed test takes it down

# A 127.0.0.1 port nobody listens on, from START (default 18000) upwards.
free_port() {
    local port
    for ((port = ${1:-18000}; port <= 65000; port++)); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

nginx_config() {
    local work=$1 docroot=$2 extra=${3:-}
    mkdir -p "$work/logs" "$work/temp"
    NGINX_PORT=$(free_port $((18000 + RANDOM % 20000)))
    cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
$([ "$(id -u)" -eq 0 ] && echo "user root;")
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http {
    access_log $work/logs/access.log;
    client_body_temp_path $work/temp/body;
    proxy_temp_path $work/temp/proxy;
    fastcgi_temp_path $work/temp/fastcgi;
    uwsgi_temp_path $work/temp/uwsgi;
    scgi_temp_path $work/temp/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $docroot;
        $extra
    }
}
CONF
}

nginx_start() {
    local work=$1
    nginx_config "$@"
    /usr/sbin/nginx -p "$work/" -c "$work/nginx.conf" -e "$work/logs/error.log" &
    NGINX_PID=$!
    local _
    for _ in $(seq 200); do
        (exec 3<>"/dev/tcp/127.0.0.1/$NGINX_PORT") 2>/dev/null && return 0
        kill -0 "$NGINX_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "nginx did not come up:" >&2
    cat "$work/logs/error.log" >&2 2>/dev/null || true
    return 1
}

nginx_stop() {
    if [ -n "${NGINX_PID:-}" ]; then
        kill "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
        NGINX_PID=
    fi
}

nginx_exec() {
    local work=$1 docroot=$2 extra=${3:-} tls_port=
    if [ "${4:-}" = tls ]; then
        tls_port=$(free_port $((18000 + RANDOM % 20000)))
        [ -e "$work/key.pem" ] || openssl req -x509 -newkey ec -pkeyopt \
            ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
            -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
            -keyout "$work/key.pem" -out "$work/cert.pem" || return 1
        extra+=" listen 127.0.0.1:$tls_port ssl; ssl_certificate $work/cert.pem;"
        extra+=" ssl_certificate_key $work/key.pem;"
    fi
    nginx_config "$work" "$docroot" "$extra"
    echo "$NGINX_PORT $tls_port" >"$work/ports"
    exec setpriv --pdeathsig TERM /usr/sbin/nginx -p "$work/" -c "$work/nginx.conf" \
        -e "$work/logs/error.log"
}
