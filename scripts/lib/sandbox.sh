# Shared by scripts/demo and scripts/screenshots (sourced, not run): sample
# releases published into a local mirror, nginx serving it on loopback, and
# a sandbox installation of release 1 that updates from it.
#
# The callers set ROOT (the repository) and BUILD (the build directory).

# kr3_publish_samples WORK: writes WORK/release1 and WORK/release2 (the
# sample client, with BUILD/update as its updater) and publishes both into
# the mirror WORK/mirror with the development key.
kr3_publish_samples() {
    local work=$1
    local v
    for v in 1 2; do
        python3 "$ROOT/scripts/lib/sample_client.py" "$v" "$work/release$v" "$BUILD/update"
    done
    "$BUILD/kr3-publish" release --type client_linux_x86 --version 1 \
        --key "$ROOT/keys/dev-private.key" --gzip '*.pak' \
        "$work/release1" "$work/mirror"
    "$BUILD/kr3-publish" release --type client_linux_x86 --version 2 \
        --key "$ROOT/keys/dev-private.key" --gzip '*.pak' --previous "$work/release1" \
        "$work/release2" "$work/mirror"
}

kr3_free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# kr3_start_nginx DOCROOT PREFIX: serves DOCROOT on a free loopback port,
# with configuration, pid file and logs below PREFIX. Sets KR3_NGINX_PID and
# KR3_NGINX_URL. nginx runs in the foreground as our child; stop it with
# kr3_stop_nginx.
kr3_start_nginx() {
    local docroot=$1 prefix=$2
    local nginx=/usr/sbin/nginx
    [ -x "$nginx" ] || { echo "nginx is not installed ($nginx)" >&2; return 1; }
    mkdir -p "$prefix/logs" "$prefix/temp"
    local attempt port
    for attempt in 1 2 3 4 5; do
        port=$(kr3_free_port)
        cat > "$prefix/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/logs/error.log;
events { worker_connections 64; }
http {
    default_type application/octet-stream;
    types { }
    sendfile on;
    access_log $prefix/logs/access.log;
    client_body_temp_path $prefix/temp/body;
    proxy_temp_path $prefix/temp/proxy;
    fastcgi_temp_path $prefix/temp/fastcgi;
    uwsgi_temp_path $prefix/temp/uwsgi;
    scgi_temp_path $prefix/temp/scgi;
    server {
        listen 127.0.0.1:$port;
        root $docroot;
        location / { }
    }
}
CONF
        "$nginx" -p "$prefix/" -c "$prefix/nginx.conf" -e "$prefix/logs/error.log" \
            </dev/null >"$prefix/logs/output.log" 2>&1 &
        KR3_NGINX_PID=$!
        local i
        for i in $(seq 50); do
            if ! kill -0 "$KR3_NGINX_PID" 2>/dev/null; then
                break
            fi
            if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
                KR3_NGINX_URL="http://127.0.0.1:$port"
                return 0
            fi
            sleep 0.1
        done
        kr3_stop_nginx
    done
    echo "nginx did not start:" >&2
    cat "$prefix/logs/output.log" "$prefix/logs/error.log" >&2 2>/dev/null || true
    return 1
}

kr3_stop_nginx() {
    [ -n "${KR3_NGINX_PID:-}" ] || return 0
    if kill -TERM "$KR3_NGINX_PID" 2>/dev/null; then
        local i
        for i in $(seq 50); do
            kill -0 "$KR3_NGINX_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$KR3_NGINX_PID" 2>/dev/null || true
    fi
    wait "$KR3_NGINX_PID" 2>/dev/null || true
    KR3_NGINX_PID=
}

# kr3_make_sandbox DIR RELEASE MIRROR_URL: an installation of RELEASE in DIR
# (the updater included) whose "update.ini" selects the alpha channel with
# the mirror at MIRROR_URL and version 2, and whose "mirrors.ini" names the
# same mirror.
kr3_make_sandbox() {
    local dir=$1 release=$2 url=$3
    mkdir -p "$dir"
    cp -a "$release/." "$dir/"
    cat > "$dir/update.ini" <<INI
[Channel]
alpha=$url
alphaRevno=2
INI
    cat > "$dir/mirrors.ini" <<INI
[mirrors]
1\\mirror=local
size=1

[local]
url=$url
INI
}

# kr3_file_list DIR: "md5  relative/path" of every file below DIR, sorted.
kr3_file_list() {
    (cd "$1" && find . -type f -printf '%P\0' | sort -z | xargs -0 -r md5sum)
}

# kr3_compare_lists OLD NEW ADDED CHANGED REMOVED: compares two lists of
# kr3_file_list and prints one line per file that differs, labelled with
# ADDED (only in NEW), CHANGED or REMOVED (only in OLD), sorted by path.
kr3_compare_lists() {
    awk -v added="$3" -v changed="$4" -v removed="$5" '
        NR == FNR { old[substr($0, 35)] = $1; next }
        { new[substr($0, 35)] = $1 }
        END {
            for (f in new)
                if (!(f in old)) print added "\t" f
                else if (old[f] != new[f]) print changed "\t" f
            for (f in old) if (!(f in new)) print removed "\t" f
        }' "$1" "$2" | LC_ALL=C sort -t "$(printf '\t')" -k2 | awk -F '\t' '{ printf "  %-9s %s\n", $1, $2 }'
}
