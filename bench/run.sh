#!/usr/bin/env bash
# run.sh - builds the benchmarks (configure preset "bench"), runs them all
# against their baselines, and writes BENCHMARKS.md at the top of the tree.
#
#   bench/run.sh
#
# Environment: KEL_BENCH_BUILD (build folder, default build/bench),
# KEL_BENCH_PG_PORT (port of the throwaway PostgreSQL server, default 54339),
# KEL_BENCH_OUT (report file, default BENCHMARKS.md), KEL_BENCH_LOAD_RATE
# (logins a second of the paced smhost load, default 60000). A whole run
# takes a few minutes. PostgreSQL figures are left out when no server can be started.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${KEL_BENCH_BUILD:-$ROOT/build/bench}
PG_PORT=${KEL_BENCH_PG_PORT:-54339}
OUT=${KEL_BENCH_OUT:-$ROOT/BENCHMARKS.md}
LOAD_RATE=${KEL_BENCH_LOAD_RATE:-60000}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelbench-run.XXXXXX")
PG_DIR=$WORK/pg
PG_UP=0

cleanup() {
    if [ "$PG_UP" = 1 ]; then
        bash "$ROOT/tests/pg/pgcluster.sh" stop "$PG_DIR" "$PG_PORT" >/dev/null 2>&1 || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

cd "$ROOT"
cmake --preset bench -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target bench_trace bench_auth bench_event bench_writer bench_scale \
    smhost smauthkel smeventkel smagentapi clntsh kel_delayproxy_tool

uptime >"$WORK/load-before.txt"
# Five repetitions of each microbenchmark, interleaved at random so that a
# change in the machine's load falls on all of them alike; the report takes
# the medians.
GB_ARGS=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true
         --benchmark_min_time=0.5 --benchmark_enable_random_interleaving=true
         --benchmark_out_format=json)
for b in trace auth event; do
    echo "== bench_$b"
    "$BUILD/bin/bench_$b" "${GB_ARGS[@]}" --benchmark_out="$WORK/$b.json"
done

echo "== bench_scale"
"$BUILD/bin/bench_scale" | tee "$WORK/scale.jsonl"

echo "== bench_writer"
PG_ARGS=()
if bash "$ROOT/tests/pg/pgcluster.sh" start "$PG_DIR" "$PG_PORT" >"$WORK/pg.log" 2>&1; then
    PG_UP=1
    PG_ARGS=(--pg "postgresql://127.0.0.1:$PG_PORT/kel")
else
    echo "PostgreSQL not started (see below); its figures are left out" >&2
    cat "$WORK/pg.log" >&2
fi
"$BUILD/bin/bench_writer" --rows 20 --rounds 30 --min-seconds 2 --batch 1,64,512 --delays-us 0,1000,5000 "${PG_ARGS[@]}" |
    tee "$WORK/writer.jsonl"
if [ "$PG_UP" = 1 ]; then
    echo "== bench_writer: catching up with a journal backlog"
    "$BUILD/bin/bench_writer" --catchup 100000 --batch 1,512 --only PostgreSQL "${PG_ARGS[@]}" |
        tee "$WORK/catchup.jsonl"
fi
"$BUILD/bin/bench_writer" --journal --rows 2000 --rounds 6 | tee "$WORK/journalwriter.jsonl"
if [ "$PG_UP" = 1 ]; then
    # The policy server simulator at full speed, its database 1 ms away each
    # way: does the writer keep pace with the logins?
    echo "== smhost load: 4 threads, BATCH_MAX 512, 1 ms each way"
    mkdir -p "$WORK/load/home"
    "$BUILD/bin/kel_delayproxy" --to "$PG_PORT" --delay-us 1000 --seconds 600 >"$WORK/load/proxy.port" &
    PROXY_PID=$!
    for _ in $(seq 50); do [ -s "$WORK/load/proxy.port" ] && break; sleep 0.1; done
    "$BUILD/bin/smhost" load --datasource "postgresql://127.0.0.1:$(cat "$WORK/load/proxy.port")/kel" \
        --db-user kel --db-password kelpw --table loadbench --create-table --threads 4 --seconds 10 \
        --batch-max 512 --max-queue 100000 --home "$WORK/load/home" | tee "$WORK/load.txt" || true
    # The same logins paced at a fixed rate: does the writer keep pace there?
    echo "== smhost load: the same, paced at $LOAD_RATE logins/s"
    echo "$LOAD_RATE" >"$WORK/load-rate.txt"
    "$BUILD/bin/smhost" load --datasource "postgresql://127.0.0.1:$(cat "$WORK/load/proxy.port")/kel" \
        --db-user kel --db-password kelpw --table loadpaced --create-table --threads 4 --seconds 10 \
        --rate "$LOAD_RATE" --batch-max 512 --max-queue 100000 --home "$WORK/load/home" |
        tee "$WORK/load-paced.txt" || true
    kill "$PROXY_PID" 2>/dev/null || true
fi
uptime >"$WORK/load-after.txt"

python3 "$ROOT/bench/report.py" "$WORK" "$OUT"
echo "wrote $OUT"
