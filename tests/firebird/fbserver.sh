#!/usr/bin/env bash
# A private Firebird 3 server for the tests: its own root folder, configuration,
# security database, lock folder, aliases and port on 127.0.0.1. Nothing outside
# ROOT is written and the system's own server is never touched.
#
#   fbserver.sh start ROOT   set up ROOT (afresh), start the server, write ROOT/env.sh
#   fbserver.sh restart ROOT start the server of ROOT again as it was set up, after it
#                            stopped or was killed (its port, accounts and aliases stay)
#   fbserver.sh stop ROOT    stop the server started in ROOT (quietly when none runs)
#   fbserver.sh run ROOT CMD run CMD with ROOT/env.sh and the engine's log in ROOT/log
#
# The folder of the built ov_udf.dll comes from DREMLIX_UDF_DIR, else ROOT/../udf
# (the build tree puts it in <build>/udf, the default root is <build>/fbtest).
set -euo pipefail

fbdir=/usr/lib/x86_64-linux-gnu/firebird/3.0
server_bin=/usr/sbin/firebird
isql=/usr/bin/isql-fb
system_security=/var/lib/firebird/3.0/system/security3.fdb

usage() { echo "usage: $0 start|restart|stop ROOT, or $0 run ROOT COMMAND..." >&2; exit 2; }
[ $# -ge 2 ] || usage
cmd=$1
root=$2
case "$root" in /*) ;; *) root="$(pwd)/$root" ;; esac

free_port() {
    # Ask the kernel for a port nobody listens on; fall back to probing.
    if command -v python3 >/dev/null 2>&1; then
        python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
        return
    fi
    local p
    for _ in $(seq 1 200); do
        p=$(( 20000 + RANDOM % 40000 ))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
    done
    echo "no free port found" >&2
    return 1
}

# Whether a command can run with ROOT/log in place of /var/log/firebird.
in_private_log() {
    command -v unshare >/dev/null 2>&1 && [ -d /var/log/firebird ] && [ -d "$root/log" ] &&
        unshare --mount --propagation private sh -c 'mount --bind "$0/log" /var/log/firebird && "$@"' \
            "$root" "$@" >/dev/null 2>&1
}

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

stop_server() {
    local pidfile="$root/firebird.pid"
    [ -f "$pidfile" ] || return 0
    local pid
    pid=$(cat "$pidfile")
    rm -f "$pidfile"
    # Only our own process: the pid file names it, and its environment names our root.
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null \
        && tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "FIREBIRD=$root"; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || return 0
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
}

start_server() {
    for f in "$server_bin" "$isql" "$system_security" "$fbdir/plugins/libEngine12.so"; do
        [ -e "$f" ] || { echo "fbserver: $f is missing (scripts/deps.sh installs firebird3.0-server)" >&2; exit 1; }
    done
    stop_server
    rm -rf "$root"
    mkdir -p "$root/lock" "$root/data"
    # The engine finds its character sets through $(root)/intl and refuses a module
    # whose file it reaches through a symbolic link (it compares the loaded file's
    # name with the real one), so that folder holds copies; the rest are links.
    mkdir "$root/intl" "$root/log"
    cp -L "$fbdir/intl"/* "$root/intl/"
    for item in plugins UDF lib firebird.msg plugins.conf; do
        ln -s "$fbdir/$item" "$root/$item"
    done
    cp "$system_security" "$root/security3.fdb"
    chmod 0600 "$root/security3.fdb"

    local udfdir=${DREMLIX_UDF_DIR:-$(dirname "$root")/udf}
    local port
    port=$(free_port)
    cat >"$root/firebird.conf" <<CONF
# Written by fbserver.sh for one test run.
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $root/security3.fdb
AuthServer = Srp, Legacy_Auth
AuthClient = Srp, Legacy_Auth
UserManager = Srp, Legacy_UserManager
WireCrypt = Enabled
UdfAccess = Restrict $udfdir
ServerMode = Super
DatabaseAccess = Full
IpcName = dremlix_fb_$port
RemotePipeName = dremlix_fb_$port
CONF
    cat >"$root/databases.conf" <<CONF
# Aliases of the test run; tests append lines such as D:\\Data\\Base.fdb = $root/data/base.fdb
security.db = $root/security3.fdb
CONF

    # Configuration and messages come from FIREBIRD; the Debian build fixes the
    # other folders (a boot-build layout would move them too, but then every login
    # becomes SYSDBA, which the tests of accounts and roles cannot have).
    export FIREBIRD="$root" FIREBIRD_LOCK="$root/lock"
    # Accounts, made with the embedded engine before the server runs.
    if ! "$isql" -q -user SYSDBA "$root/security3.fdb" >"$root/users.log" 2>&1 <<'SQL'
CREATE USER DREMLIX PASSWORD '47219630' GRANT ADMIN ROLE USING PLUGIN Srp;
CREATE USER DREMLIX PASSWORD '47219630' GRANT ADMIN ROLE USING PLUGIN Legacy_UserManager;
CREATE USER PUBLIC_READER PASSWORD 'tarvel' USING PLUGIN Srp;
CREATE USER PUBLIC_READER PASSWORD 'tarvel' USING PLUGIN Legacy_UserManager;
CREATE USER PUBLIC_READER_WRITER PASSWORD 'tarvel' USING PLUGIN Srp;
CREATE USER PUBLIC_READER_WRITER PASSWORD 'tarvel' USING PLUGIN Legacy_UserManager;
GRANT CREATE DATABASE TO USER DREMLIX;
COMMIT;
SQL
    then
        echo "fbserver: creating the accounts failed:" >&2
        cat "$root/users.log" >&2
        exit 1
    fi
    if grep -q -i 'error\|failed' "$root/users.log"; then
        echo "fbserver: creating the accounts failed:" >&2
        cat "$root/users.log" >&2
        exit 1
    fi

    launch_server "$port"

    cat >"$root/env.sh" <<ENV
# Source this file to reach the test server of $root.
export FIREBIRD='$root'
export FIREBIRD_LOCK='$root/lock'
export DREMLIX_FB_PORT='$port'
export DREMLIX_FB_ROOT='$root'
export DREMLIX_FB_DATA='$root/data'
ENV
    echo "fbserver: running on 127.0.0.1:$port, root $root"
}

launch_server() {
    local port=$1
    export FIREBIRD="$root" FIREBIRD_LOCK="$root/lock"
    export DREMLIX_FB_PORT="$port" DREMLIX_FB_ROOT="$root" DREMLIX_FB_DATA="$root/data"
    # The Debian build writes its log to /var/log/firebird; the server runs in a mount
    # namespace of its own where that folder is ROOT/log, so the system's log stays
    # untouched. Without namespaces (no unshare, not root) it runs as it is.
    if in_private_log true; then
        nohup unshare --mount --propagation private sh -c \
            'mount --bind "$0/log" /var/log/firebird && exec "$1"' "$root" "$server_bin" \
            >"$root/server.out" 2>&1 </dev/null &
    else
        echo "fbserver: no private mount namespace; the server logs to /var/log/firebird" >&2
        nohup "$server_bin" >"$root/server.out" 2>&1 </dev/null &
    fi
    echo $! >"$root/firebird.pid"
    for _ in $(seq 1 100); do
        if answers "$port"; then break; fi
        if ! kill -0 "$(cat "$root/firebird.pid")" 2>/dev/null; then
            echo "fbserver: the server ended at start:" >&2
            cat "$root/server.out" "$root/firebird.log" 2>/dev/null >&2 || true
            exit 1
        fi
        sleep 0.1
    done
    answers "$port" || { echo "fbserver: no answer on port $port" >&2; stop_server; exit 1; }
}

restart_server() {
    [ -f "$root/env.sh" ] || { echo "fbserver: no server set up in $root" >&2; exit 1; }
    stop_server
    local port
    port=$(sed -n 's/^RemoteServicePort = //p' "$root/firebird.conf")
    launch_server "$port"
    echo "fbserver: running again on 127.0.0.1:$port, root $root"
}

run_command() {
    # Runs a command (a test run) against the server of ROOT, with its environment and,
    # where possible, with the embedded engine's log kept in ROOT/log as well.
    [ -f "$root/env.sh" ] || { echo "fbserver: no server set up in $root" >&2; exit 1; }
    # shellcheck disable=SC1091
    . "$root/env.sh"
    if in_private_log true; then
        exec unshare --mount --propagation private sh -c \
            'mount --bind "$0/log" /var/log/firebird && exec "$@"' "$root" "$@"
    fi
    exec "$@"
}

case "$cmd" in
    start) [ $# -eq 2 ] || usage; start_server ;;
    restart) [ $# -eq 2 ] || usage; restart_server ;;
    stop) [ $# -eq 2 ] || usage; stop_server ;;
    run) shift 2; [ $# -ge 1 ] || usage; run_command "$@" ;;
    *) usage ;;
esac
