#!/usr/bin/env bash
# Start or stop a throw-away ClickHouse server (Debian's clickhouse-server 18.16)
# for integration tests, entirely inside a work directory.
#
# Needed Debian packages: clickhouse-server (pulls clickhouse-common), openssl
# (the TLS port), coreutils. Any Python 3 picks free ports and asks the HTTP
# interface whether the server is up: $TARNWICK_PYTHON, else the one the
# project's scripts find (scripts/common.sh), else python3 on the PATH.
#   apt-get install -y clickhouse-server openssl
#
# Usage:
#   real_server.sh start <workdir>   # idempotent: reuses a live server
#   real_server.sh stop <workdir>    # idempotent: nothing to do if not running
#
# After start, <workdir>/env holds shell KEY=value lines:
#   TARNWICK_CH_TCP=127.0.0.1:PORT    native protocol, plain
#   TARNWICK_CH_HTTP=127.0.0.1:PORT   HTTP interface
#   TARNWICK_CH_TLS=127.0.0.1:PORT    native protocol over TLS (only when it works)
#   TARNWICK_CH_CA=<workdir>/tls/ca.pem  test CA that signed the server certificate
#   TARNWICK_CH_PID=<pid>
# Users: "default" with an empty password, "tarnwick" with password "s3cret".
# Nothing outside <workdir> is read or written (no /etc, no /var/lib).
set -euo pipefail

CH_SERVER_BIN=${CH_SERVER_BIN:-/usr/sbin/clickhouse-server}
START_TIMEOUT=${START_TIMEOUT:-60}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)

die() { echo "real_server.sh: $*" >&2; exit 1; }

usage() { die "usage: $0 start|stop <workdir>"; }

[ $# -eq 2 ] || usage
cmd=$1
mkdir -p "$2"
WORK=$(cd "$2" && pwd)

pid_alive() {
    local pid=$1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}

read_pid() {
    if [ -f "$WORK/server.pid" ]; then cat "$WORK/server.pid"; fi
}

find_interpreter() {
    bash "$ROOT/scripts/common.sh" find_python 2>/dev/null || command -v python3 || true
}

free_ports() {
    # Ask the kernel for N distinct free loopback ports (all sockets kept open
    # until every port is chosen, so they differ).
    "$PYTHON" - "$1" <<'PY'
import socket, sys
n = int(sys.argv[1])
socks = []
for _ in range(n):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
for s in socks:
    s.close()
PY
}

make_tls() {
    # Test CA plus a leaf for 127.0.0.1 / localhost (IP and DNS SANs).
    local d="$WORK/tls"
    mkdir -p "$d"
    if [ -s "$d/server.crt" ] && [ -s "$d/server.key" ] && [ -s "$d/ca.pem" ]; then
        return 0
    fi
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 \
        -subj "/CN=tarnwick test CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$d/ca.key" -out "$d/ca.pem" >/dev/null 2>&1
    openssl req -new -newkey rsa:2048 -nodes \
        -subj "/CN=localhost" \
        -keyout "$d/server.key" -out "$d/server.csr" >/dev/null 2>&1
    cat > "$d/leaf.ext" <<EXT
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
    openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" \
        -CAcreateserial -days 3650 -sha256 -extfile "$d/leaf.ext" \
        -out "$d/server.crt" >/dev/null 2>&1
    rm -f "$d/server.csr"
}

write_config() {
    local tcp=$1 http=$2 tls=$3 inter=$4
    mkdir -p "$WORK/data" "$WORK/tmp" "$WORK/user_files" "$WORK/format_schemas" "$WORK/log"
    local secure=""
    local openssl_block=""
    if [ -n "$tls" ]; then
        secure="<tcp_port_secure>$tls</tcp_port_secure>"
        openssl_block="<openSSL>
        <server>
            <certificateFile>$WORK/tls/server.crt</certificateFile>
            <privateKeyFile>$WORK/tls/server.key</privateKeyFile>
            <verificationMode>none</verificationMode>
            <loadDefaultCAFile>false</loadDefaultCAFile>
            <cacheSessions>true</cacheSessions>
            <disableProtocols>sslv2,sslv3</disableProtocols>
            <preferServerCiphers>true</preferServerCiphers>
        </server>
    </openSSL>"
    fi
    cat > "$WORK/config.xml" <<XML
<?xml version="1.0"?>
<yandex>
    <logger>
        <level>information</level>
        <log>$WORK/log/server.log</log>
        <errorlog>$WORK/log/server.err.log</errorlog>
        <size>100M</size>
        <count>2</count>
        <console>0</console>
    </logger>
    <display_name>tarnwick-test</display_name>
    <listen_host>127.0.0.1</listen_host>
    <http_port>$http</http_port>
    <tcp_port>$tcp</tcp_port>
    <interserver_http_port>$inter</interserver_http_port>
    <interserver_http_host>127.0.0.1</interserver_http_host>
    $secure
    $openssl_block
    <max_connections>256</max_connections>
    <keep_alive_timeout>3</keep_alive_timeout>
    <max_concurrent_queries>64</max_concurrent_queries>
    <uncompressed_cache_size>67108864</uncompressed_cache_size>
    <mark_cache_size>67108864</mark_cache_size>
    <path>$WORK/data/</path>
    <tmp_path>$WORK/tmp/</tmp_path>
    <user_files_path>$WORK/user_files/</user_files_path>
    <format_schema_path>$WORK/format_schemas/</format_schema_path>
    <users_config>$WORK/users.xml</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <timezone>UTC</timezone>
    <mlock_executable>false</mlock_executable>
    <builtin_dictionaries_reload_interval>3600</builtin_dictionaries_reload_interval>
    <max_session_timeout>3600</max_session_timeout>
    <default_session_timeout>60</default_session_timeout>
</yandex>
XML
    cat > "$WORK/users.xml" <<XML
<?xml version="1.0"?>
<yandex>
    <profiles>
        <default>
            <max_memory_usage>4000000000</max_memory_usage>
            <use_uncompressed_cache>0</use_uncompressed_cache>
            <load_balancing>random</load_balancing>
        </default>
    </profiles>
    <users>
        <default>
            <password></password>
            <networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </default>
        <tarnwick>
            <password>s3cret</password>
            <networks><ip>127.0.0.1</ip><ip>::1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </tarnwick>
    </users>
    <quotas>
        <default>
            <interval>
                <duration>3600</duration>
                <queries>0</queries>
                <errors>0</errors>
                <result_rows>0</result_rows>
                <read_rows>0</read_rows>
                <execution_time>0</execution_time>
            </interval>
        </default>
    </quotas>
</yandex>
XML
}

http_ok() {
    # SELECT 1 over the HTTP interface answers 1 (no proxy, whatever the
    # environment names).
    "$PYTHON" - "$1" 2>/dev/null <<'PY'
import sys
import urllib.request

url = f"http://127.0.0.1:{sys.argv[1]}/?query=SELECT%201"
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
try:
    with opener.open(url, timeout=2) as answer:
        sys.exit(0 if answer.read() == b"1\n" else 1)
except OSError:
    sys.exit(1)
PY
}

tls_ok() {
    # A TLS handshake against the secure native port that verifies the
    # certificate chain and the IP SAN.
    local port=$1
    echo | timeout 5 openssl s_client -connect "127.0.0.1:$port" \
        -CAfile "$WORK/tls/ca.pem" -verify_ip 127.0.0.1 -verify_return_error \
        >"$WORK/log/tls_probe.log" 2>&1
}

launch() {
    # $1 = "tls" to include the secure port, "" without it. Sets PID.
    local want_tls=$1
    read -r TCP HTTP TLSP INTER < <(free_ports 4)
    [ "$want_tls" = tls ] || TLSP=""
    write_config "$TCP" "$HTTP" "$TLSP" "$INTER"
    : > "$WORK/log/stdout.log"
    (cd "$WORK" && exec setsid "$CH_SERVER_BIN" --config-file="$WORK/config.xml" \
        >>"$WORK/log/stdout.log" 2>&1 </dev/null) &
    PID=$!
    echo "$PID" > "$WORK/server.pid"
    local deadline=$((SECONDS + START_TIMEOUT))
    while [ $SECONDS -lt $deadline ]; do
        if ! pid_alive "$PID"; then
            return 1
        fi
        if http_ok "$HTTP"; then
            return 0
        fi
        sleep 0.2
    done
    return 1
}

do_stop() {
    local pid
    pid=$(read_pid)
    if pid_alive "$pid"; then
        kill -TERM "$pid" 2>/dev/null || true
        local _
        for _ in $(seq 1 150); do   # up to ~15 s
            pid_alive "$pid" || break
            sleep 0.1
        done
        if pid_alive "$pid"; then
            kill -KILL "$pid" 2>/dev/null || true
            for _ in $(seq 1 50); do
                pid_alive "$pid" || break
                sleep 0.1
            done
        fi
    fi
    rm -f "$WORK/server.pid" "$WORK/env"
}

do_start() {
    PYTHON=$(find_interpreter)
    [ -n "$PYTHON" ] || die "no Python 3 found (set TARNWICK_PYTHON)"
    local pid
    pid=$(read_pid)
    if pid_alive "$pid" && [ -f "$WORK/env" ]; then
        local http
        http=$(sed -n 's/^TARNWICK_CH_HTTP=127.0.0.1://p' "$WORK/env")
        if [ -n "$http" ] && http_ok "$http"; then
            cat "$WORK/env"
            return 0
        fi
    fi
    do_stop
    [ -x "$CH_SERVER_BIN" ] || die "$CH_SERVER_BIN not found (apt-get install clickhouse-server)"

    local have_tls=""
    if command -v openssl >/dev/null && make_tls; then
        if launch tls && tls_ok "$TLSP"; then
            have_tls=1
        else
            echo "real_server.sh: TLS port did not come up; starting without it" >&2
            do_stop
        fi
    fi
    if [ -z "$have_tls" ]; then
        if ! launch ""; then
            tail -n 30 "$WORK/log/stdout.log" "$WORK/log/server.err.log" >&2 2>/dev/null || true
            do_stop
            die "server did not answer SELECT 1 within ${START_TIMEOUT}s"
        fi
    fi
    {
        echo "TARNWICK_CH_TCP=127.0.0.1:$TCP"
        echo "TARNWICK_CH_HTTP=127.0.0.1:$HTTP"
        if [ -n "$have_tls" ]; then echo "TARNWICK_CH_TLS=127.0.0.1:$TLSP"; fi
        echo "TARNWICK_CH_CA=$WORK/tls/ca.pem"
        echo "TARNWICK_CH_PID=$PID"
    } > "$WORK/env.tmp"
    mv "$WORK/env.tmp" "$WORK/env"
    cat "$WORK/env"
}

case "$cmd" in
    start) do_start ;;
    stop) do_stop ;;
    *) usage ;;
esac
