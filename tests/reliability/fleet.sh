#!/bin/bash
# fleet.sh - several policy servers auditing into one PostgreSQL table: N
# runs of "smhost load" at once, each with its own SM_HOME and audit
# journal, all writing to the same table (optionally through the loopback
# delay proxy). Each load checks that its own logins are in the table once,
# in each thread's order; the fleet passes when every load does.
#
#   fleet.sh SMHOST DELAYPROXY [--loads N] [--threads T] [--seconds S]
#            [--batch-max B] [--delay-us D] [--table NAME]
#
# The server comes from KEL_PG_URI, KEL_PG_USER and KEL_PG_PASSWORD (set by
# the test run's PostgreSQL fixture). Exit status 0 when every load passed.
set -u

smhost=$1
proxy=$2
shift 2
loads=3 threads=4 seconds=10 batch=512 delay=0 table=smaccesslog4_fleet
while [ $# -gt 1 ]; do
    case $1 in
    --loads) loads=$2 ;;
    --threads) threads=$2 ;;
    --seconds) seconds=$2 ;;
    --batch-max) batch=$2 ;;
    --delay-us) delay=$2 ;;
    --table) table=$2 ;;
    *) echo "fleet.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
: "${KEL_PG_URI:?set by the PostgreSQL test fixture}" "${KEL_PG_USER:?}" "${KEL_PG_PASSWORD:?}"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelfleet.XXXXXX")
proxyPid=
cleanup() {
    [ -n "$proxyPid" ] && kill "$proxyPid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

uri=$KEL_PG_URI
if [ "$delay" -gt 0 ]; then
    port=${KEL_PG_URI#*://*:}
    port=${port%%/*}
    # The proxy ends by itself a while after the loads should have.
    "$proxy" --to "$port" --delay-us "$delay" --seconds $((seconds * 4 + 300)) >"$work/proxy.port" &
    proxyPid=$!
    for _ in $(seq 50); do [ -s "$work/proxy.port" ] && break; sleep 0.1; done
    uri=${KEL_PG_URI/:$port\//:$(cat "$work/proxy.port")\/}
fi

common=(--datasource "$uri" --db-user "$KEL_PG_USER" --db-password "$KEL_PG_PASSWORD"
        --table "$table" --threads "$threads" --batch-max "$batch" --max-queue 100000
        --spool-dir journal --drain-seconds $((seconds * 4 + 120)))
mkdir -p "$work/setup" $(for i in $(seq "$loads"); do echo "$work/load$i"; done)
# The table is made once, before the loads start.
"$smhost" load "${common[@]}" --home "$work/setup" --logins 1 --create-table >"$work/setup.out" 2>&1 ||
    { cat "$work/setup.out"; exit 1; }

pids=()
for i in $(seq "$loads"); do
    "$smhost" load "${common[@]}" --home "$work/load$i" --seconds "$seconds" >"$work/load$i.out" 2>&1 &
    pids+=($!)
done
failed=0
for i in $(seq "$loads"); do
    wait "${pids[$((i - 1))]}" || failed=$((failed + 1))
    echo "--- load $i"
    cat "$work/load$i.out"
done
echo "fleet: $loads loads, $threads threads each, BATCH_MAX $batch, delay ${delay} us each way: $failed failed"
[ "$failed" -eq 0 ]
