#!/usr/bin/env bash
# pgcluster.sh - a throwaway PostgreSQL server for the tests, listening on
# 127.0.0.1 only, with password (SCRAM) logins for the role kel/kelpw and a
# database kel (UTF8).
#
#   pgcluster.sh start <dir> <port>           a new cluster in <dir> (emptied first)
#   pgcluster.sh stop <dir> <port>            stop it and remove <dir>
#   pgcluster.sh stop-immediate <dir> <port>  stop it at once, as a crash would; keep <dir>
#   pgcluster.sh restart <dir> <port>         start the kept cluster again
#
# The server refuses to run as root: as root, the cluster belongs to the
# user $KEL_PG_OS_USER (postgres) and every server command runs as that user.
# Server binaries: $KEL_PG_BINDIR, else pg_config --bindir, else the newest
# /usr/lib/postgresql/*/bin. Role, password and database: $KEL_PG_USER,
# $KEL_PG_PASSWORD, $KEL_PG_DB.
set -euo pipefail

ROLE=${KEL_PG_USER:-kel}
PASSWORD=${KEL_PG_PASSWORD:-kelpw}
DB=${KEL_PG_DB:-kel}
OS_USER=${KEL_PG_OS_USER:-postgres}

die() {
    echo "pgcluster: $*" >&2
    exit 1
}

[ $# -eq 3 ] || die "usage: $0 start|stop|stop-immediate|restart <dir> <port>"
ACTION=$1
DIR=$2
PORT=$3
DATA=$DIR/data
LOG=$DIR/server.log
case $DIR in /*) ;; *) die "the folder must be an absolute path: $DIR" ;; esac
case $PORT in '' | *[!0-9]*) die "bad port: $PORT" ;; esac

find_bindir() {
    local d
    if [ -n "${KEL_PG_BINDIR:-}" ]; then
        echo "$KEL_PG_BINDIR"
        return
    fi
    if command -v pg_config >/dev/null 2>&1; then
        d=$(pg_config --bindir 2>/dev/null || true)
        if [ -x "$d/initdb" ]; then
            echo "$d"
            return
        fi
    fi
    for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [ -x "$d/initdb" ]; then
            echo "$d"
            return
        fi
    done
    d=$(command -v initdb 2>/dev/null || true)
    [ -n "$d" ] || die "no PostgreSQL server programs (initdb) found; set KEL_PG_BINDIR"
    dirname "$d"
}
BIN=$(find_bindir)

# Runs a server command as the cluster's owner.
as_owner() {
    if [ "$(id -u)" -ne 0 ]; then
        "$@"
    elif command -v runuser >/dev/null 2>&1; then
        runuser -u "$OS_USER" -- "$@"
    else
        setpriv --reuid="$OS_USER" --regid="$OS_USER" --init-groups -- "$@"
    fi
}

# The server's user must reach the folder; when the build tree is closed to
# it (a checkout under /root, say), the cluster lives under /tmp instead, at
# a name derived from the folder so that every action finds it.
if [ "$(id -u)" -eq 0 ] && ! as_owner test -x "$(dirname "$DIR")" 2>/dev/null; then
    DIR=${TMPDIR:-/tmp}/kel-pg-$PORT-$(printf '%s' "$DIR" | md5sum | cut -c1-12)
    DATA=$DIR/data
    LOG=$DIR/server.log
fi

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null
}

is_running() {
    [ -f "$DATA/postmaster.pid" ] && as_owner "$BIN/pg_ctl" -D "$DATA" status >/dev/null 2>&1
}

show_log() {
    [ -f "$LOG" ] && tail -n 30 "$LOG" >&2
    return 0
}

check_port_free() {
    if port_in_use; then
        die "port $PORT is taken by another program; choose another with -DKEL_PG_PORT=<port>"
    fi
}

server_start() {
    check_port_free
    as_owner "$BIN/pg_ctl" -D "$DATA" -l "$LOG" -w -t 60 start >/dev/null ||
        { show_log; die "the server in $DATA did not start"; }
}

server_stop() { # mode
    is_running || return 0
    as_owner "$BIN/pg_ctl" -D "$DATA" -m "$1" -w -t 60 stop >/dev/null ||
        as_owner "$BIN/pg_ctl" -D "$DATA" -m immediate -w -t 60 stop >/dev/null ||
        die "the server in $DATA does not stop"
}

create_cluster() {
    # A server left over from an interrupted run on this folder goes first.
    server_stop immediate
    check_port_free
    rm -rf "$DIR"
    mkdir -p "$DIR"
    if [ "$(id -u)" -eq 0 ]; then
        chown "$OS_USER:" "$DIR"
    fi
    chmod 700 "$DIR"

    local pwfile=$DIR/pwfile
    (umask 077 && printf '%s\n' "$PASSWORD" >"$pwfile")
    if [ "$(id -u)" -eq 0 ]; then
        chown "$OS_USER:" "$pwfile"
    fi
    as_owner "$BIN/initdb" -D "$DATA" -U "$ROLE" --pwfile="$pwfile" -A scram-sha-256 \
        -E UTF8 --locale=C -N >"$DIR/initdb.log" 2>&1 ||
        { cat "$DIR/initdb.log" >&2; die "initdb failed"; }
    rm -f "$pwfile"

    # Throwaway: no durability needed, TCP on loopback only, no socket files.
    as_owner tee -a "$DATA/postgresql.conf" >/dev/null <<EOF
listen_addresses = '127.0.0.1'
port = $PORT
unix_socket_directories = ''
fsync = off
full_page_writes = off
max_connections = 40
shared_buffers = 16MB
EOF
    printf 'host all all 127.0.0.1/32 scram-sha-256\n' | as_owner tee "$DATA/pg_hba.conf" >/dev/null
}

create_database() {
    PGPASSWORD=$PASSWORD PGCONNECT_TIMEOUT=10 "$BIN/psql" -X -q -v ON_ERROR_STOP=1 \
        "host=127.0.0.1 port=$PORT user=$ROLE dbname=postgres" \
        -c "CREATE DATABASE \"$DB\" ENCODING 'UTF8'" >/dev/null ||
        { show_log; die "cannot create the database $DB"; }
}

case $ACTION in
start)
    create_cluster
    server_start
    create_database
    echo "pgcluster: server on 127.0.0.1:$PORT, data in $DATA"
    ;;
stop)
    server_stop fast
    rm -rf "$DIR"
    ;;
stop-immediate)
    [ -d "$DATA" ] || die "no cluster in $DIR"
    server_stop immediate
    ;;
restart)
    [ -d "$DATA" ] || die "no cluster in $DIR"
    is_running || server_start
    ;;
*)
    die "unknown action $ACTION"
    ;;
esac
