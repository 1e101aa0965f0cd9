#!/usr/bin/env python3
"""report.py - turns the output of bench/run.sh into BENCHMARKS.md.

    report.py <work folder> <output file>

The work folder holds trace.json, auth.json, event.json (Google Benchmark,
five repetitions, aggregates only), writer.jsonl (bench_writer) and the
load averages before and after. Every ratio compares two figures of the
same program run.
"""
import json
import os
import platform
import re
import subprocess
import sys


COUNTERS = {}


def load_gb(path):
    """Median CPU and real time per benchmark name, in nanoseconds; the
    medians of user counters go to COUNTERS."""
    with open(path) as f:
        data = json.load(f)
    out = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        out[b["run_name"]] = (b["cpu_time"] * scale, b["real_time"] * scale)
        for k in ("scheme_ns", "journal_ns", "baseline_ns", "ratio", "record_bytes"):
            if k in b:
                COUNTERS[(b["run_name"], k)] = b[k]
    return data.get("context", {}), out


def ns(v):
    if v >= 1e6:
        return "%.2f ms" % (v / 1e6)
    if v >= 1e4:
        return "%.1f µs" % (v / 1e3)
    if v >= 1e3:
        return "%.2f µs" % (v / 1e3)
    return "%.1f ns" % v


def delay(w):
    d = w.get("delay_us", 0)
    return "none" if d == 0 else "%g ms" % (d / 1000.0)


def case(w):
    return "%s, BATCH_MAX %d, added delay %s" % (w["db"], w.get("batch_max", 1), delay(w))


def verdict(ok):
    return "met" if ok else "**missed**"


def machine(work, ctx):
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                                cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    except OSError:
        commit = "?"

    def load(name):
        try:
            with open(os.path.join(work, name)) as f:
                return f.read().split("load average:")[1].strip()
        except (OSError, IndexError):
            return "?"
    return [
        "| | |", "|---|---|",
        "| processors (nproc) | %d |" % os.cpu_count(),
        "| CPU | %s |" % cpu,
        "| kernel | %s %s |" % (platform.system(), platform.release()),
        "| run | %s, commit %s |" % (ctx.get("date", "?"), commit),
        "| load average before / after | %s / %s |" % (load("load-before.txt"), load("load-after.txt")),
    ]


def read_jsonl(path):
    out = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                out.append(json.loads(line))
    return out


def scaling(scale):
    """The table of throughput by thread count, against one thread."""
    if not scale:
        return []
    cpus = scale[0]["cpus"]
    names = {"auth": "`SmAuthenticate`, accepted login (with its session opened; claims emptied at each round)",
             "skip": "`SmEventRecord`, accepted login below `MIN_LEVEL`",
             "audit": "`SmEventRecord`, audited login into a ring of 1000"}
    counts = sorted({s["threads"] for s in scale})
    L = ["### Throughput by host threads", "",
         "All threads calling at once for 0.4 s, the median of five rounds that each take every",
         "thread count in turn; total calls per",
         "second, and in brackets the ratio to one thread. The machine has %d processor%s, so"
         % (cpus, "s" if cpus != 1 else ""),
         "beyond %d threads the figure can at best stay level." % cpus, "",
         "| workload | " + " | ".join("%d thread%s" % (n, "s" if n > 1 else "") for n in counts) + " |",
         "|---|" + "---|" * len(counts)]
    for w in ("auth", "skip", "audit"):
        row = {s["threads"]: s for s in scale if s["workload"] == w}
        if row:
            L.append("| %s | " % names[w] + " | ".join(
                "%.0f k/s (%.2f)" % (row[n]["calls_per_s"] / 1000, row[n]["ratio"]) if n in row else ""
                for n in counts) + " |")
    return L + [""]


def read_load(path):
    """The figures of an `smhost load` run's output, or None."""
    if not os.path.exists(path):
        return None
    text = open(path).read()
    found = {}
    for key, pattern in (("logins", r"logins per second\s+(\d+)"),
                         ("rows", r"rows per second\s+(\d+) \((\d+) rows in ([\d.]+) s\)"),
                         ("record", r"SmEventRecord\s+p50 ([\d.]+) us\s+p99 ([\d.]+) us"),
                         ("check", r"check passed: (\d+) audited logins, (\d+) rows")):
        m = re.search(pattern, text)
        if m:
            found[key] = m.groups()
    return found if "logins" in found and "rows" in found else None


def paced_rate(work):
    """The --rate of the paced smhost load, as run.sh noted it."""
    path = os.path.join(work, "load-rate.txt")
    return open(path).read().strip() if os.path.exists(path) else "?"


def main():
    work, out = sys.argv[1], sys.argv[2]
    ctx, t = load_gb(os.path.join(work, "trace.json"))
    _, a = load_gb(os.path.join(work, "auth.json"))
    _, e = load_gb(os.path.join(work, "event.json"))
    writer = read_jsonl(os.path.join(work, "writer.jsonl"))
    jpath = os.path.join(work, "journalwriter.jsonl")
    jwriter = read_jsonl(jpath) if os.path.exists(jpath) else []
    catchup = read_jsonl(os.path.join(work, "catchup.jsonl")) if os.path.exists(os.path.join(work, "catchup.jsonl")) else []
    scale = read_jsonl(os.path.join(work, "scale.jsonl"))
    load = read_load(os.path.join(work, "load.txt"))
    paced = read_load(os.path.join(work, "load-paced.txt"))

    cpu = lambda d, k: d[k][0]
    L = ["# Benchmarks", "",
         "Generated by `bench/run.sh` (do not edit by hand). Every figure stands beside a baseline",
         "measured in the same program run, and the targets are ratios, so that the figures carry",
         "over between machines better than absolute times do.", "",
         "## Machine", ""] + machine(work, ctx) + [
         "",
         "Times are the medians of five repetitions, as CPU time of the measuring threads. The",
         "machine is shared (other builds and test runs go on beside it), so wall-clock times of",
         "the microbenchmarks mostly measure waiting for a processor; CPU time does not. The",
         "database figures are rows over wall-clock time, since there the wait for the commit",
         "is the cost. A benchmark that sets the trace level pushes a clock of its own forward so",
         "that the trace module reads keltrace.conf at once, then gives the module its own clock",
         "back: the calls measured read the time as they do in production.", ""]

    # ---- targets
    L += ["## Targets", "",
          "| What | Figure | Baseline | Ratio or value | Target | |",
          "|---|---|---|---|---|---|"]
    for n in (32, 128, 512, 2048):
        f, b = cpu(t, "TraceWritten/%d" % n), cpu(t, "WriteBaseline/%d" % n)
        L.append("| trace line written, message of %d characters | %s | %s (fstat + write(2) of the same bytes) | %.2f | ≤ 1.3 | %s |"
                 % (n, ns(f), ns(b), f / b, verdict(f / b <= 1.3)))
    for lv in (0, 3):
        f = cpu(t, "TraceFiltered/%d" % lv)
        L.append("| trace line filtered out by level (level %d), no lock taken | %s | | %s | < 10 ns | %s |" % (lv, ns(f), ns(f), verdict(f < 10)))
    f, b = COUNTERS[("AuthPaired", "scheme_ns")], COUNTERS[("AuthPaired", "baseline_ns")]
    agentApiCalls = b  # the stand-in's own calls for one login, quoted below
    L.append("| `SmAuthenticate`, accepted PIN;cookie login, trace level 0 (measured in turn with its baseline) | %s | %s (decode, login, logout and two frees, straight) | %.2f | ≤ 1.2 | %s (see below) |"
             % (ns(f), ns(b), f / b, verdict(f / b <= 1.2)))
    f, b = COUNTERS[("PinTriesPaired", "scheme_ns")], COUNTERS[("PinTriesPaired", "baseline_ns")]
    L.append("| `SmAuthenticate` with `PIN_TRIES=5`, accepted PIN;cookie login, trace level 0, 512 other sessions counted (measured in turn with its baseline) | %s | %s (the same login without `PIN_TRIES`) | %.2f | ≤ 1.05 | %s |"
             % (ns(f), ns(b), f / b, verdict(f / b <= 1.05)))
    f, b = COUNTERS[("ClaimsPaired/iterations:4", "scheme_ns")], COUNTERS[("ClaimsPaired/iterations:4", "baseline_ns")]
    L.append("| `SmAuthenticate` with 1,000,000 live accept-once claims of other sessions, accepted PIN;cookie login, trace level 0 (measured in turn with its baseline) | %s | %s (the same login, no claims held) | %.2f | ≤ 1.1 | %s |"
             % (ns(f), ns(b), f / b, verdict(f / b <= 1.1)))
    auth = {r["threads"]: r for r in scale if r["workload"] == "auth"}
    if 1 in auth and 2 in auth and 16 in auth:
        r2, r16 = auth[2]["ratio"], auth[16]["ratio"]
        L.append("| `SmAuthenticate` throughput by host threads (see below) | 2 threads %.2f, 16 threads %.2f of 1 thread | %.0f k/s (1 thread) | 16 ≥ 2 ≥ 0.9 × 1 | 16 threads ≥ 2 threads ≥ 0.9 | %s |"
                 % (r2, r16, auth[1]["calls_per_s"] / 1000, verdict(r16 >= r2 >= 0.9)))
    for k, what in (("SmEventRecordReject", "rejected authentication (kind 1, 1, 2)"),
                    ("SmEventRecordLowLevel", "accepted login below MIN_LEVEL")):
        f = cpu(e, k)
        L.append("| `SmEventRecord`, not audited: %s, trace level 0 | %s | | %s | < 200 ns | %s |" % (what, ns(f), ns(f), verdict(f < 200)))
    # One producer is the recording path's own cost; two add the wait for
    # the one queue lock between them.
    for th, limit in ((1, 1000), (2, 2000)):
        f = cpu(e, "AuditAuth/1000/real_time/threads:%d" % th)
        L.append("| `auditAuth` enqueue, room in the ring (1000 places), %d producer%s, trace level 0 | %s | %s (malloc + 15 strdup + frees) | %s | < %d µs | %s |"
                 % (th, "s" if th > 1 else "", ns(f), ns(cpu(e, "CopyBaseline")), ns(f), limit // 1000, verdict(f < limit)))
    real = lambda d, k: d[k][1]
    f, b = COUNTERS[("JournalAlwaysPaired/0/real_time", "journal_ns")], COUNTERS[("JournalAlwaysPaired/0/real_time", "baseline_ns")]
    L.append("| `SmEventRecord` with the audit journal, SPOOL_SYNC always (measured in turn with its baseline) | %s | %s (pwrite + fdatasync of the same %d bytes) | %.2f | ≤ 1.2 | %s |"
             % (ns(f), ns(b), COUNTERS.get(("DatasyncBaseline/real_time", "record_bytes"), 0), f / b, verdict(f / b <= 1.2)))
    mem = real(e, "RecordMemory/1000/real_time")
    for arg, mode in ((1, "second"), (2, "none")):
        f = real(e, "RecordJournal/%d/real_time" % arg)
        L.append("| `SmEventRecord` with the audit journal, SPOOL_SYNC %s | %s | %s (`SmEventRecord` into the ring, no journal) | %.2f | ≤ 2 | %s |"
                 % (mode, ns(f), ns(mem), f / mem, verdict(f / mem <= 2)))
    for w in writer:
        if "tmpfs" in w["db"]:
            continue
        L.append("| database writer, %s, events waiting | %.0f rows/s | %.0f rows/s (bare client, the same groups) | %.2f | ≥ 0.9 | %s |"
                 % (case(w), w["writer_rows_per_s"], w["bare_rows_per_s"], w["ratio"], verdict(w["ratio"] >= 0.9)))
    for w in writer:
        if w["db"] == "PostgreSQL" and w.get("batch_max") == 512 and w.get("delay_us") == 1000:
            L.append("| database writer, %s, events recorded while it runs | %.0f rows/s | | | ≥ 20000 rows/s | %s |"
                     % (case(w), w["recorded_rows_per_s"], verdict(w["recorded_rows_per_s"] >= 20000)))
    if load:
        logins, rows = float(load["logins"][0]), float(load["rows"][0])
        once = "check" in load and load["check"][0] == load["check"][1]
        L.append("| `smhost load --threads 4`, PostgreSQL 1 ms each way, BATCH_MAX 512: rows/s against logins/s, every row once | %.0f rows/s%s | %.0f logins/s | %.2f | ≥ 1, every row once | %s |"
                 % (rows, "" if once else " (**row check failed**)", logins, rows / logins, verdict(rows >= logins and once)))
    if not any(w["db"] == "PostgreSQL" for w in writer):
        L.append("| database writer, PostgreSQL | not run: no server could be started | | | ≥ 0.9 | |")
    for w in jwriter:
        L.append("| database writer with the audit journal, draining a backlog, SPOOL_SYNC always, %s | %.0f rows/s | %.0f rows/s (SPOOL_SYNC second) | %.2f | ≥ 0.9 | %s |"
                 % (w["db"].replace(", journal", ""), w["always_rows_per_s"], w["second_rows_per_s"], w["ratio"],
                    verdict(w["ratio"] >= 0.9)))
    L += ["",
          "### `SmAuthenticate` against the stand-in's own calls", "",
          "The stand-in Agent API answers from memory, so its calls for a login cost about %s." % ns(agentApiCalls),
          "Beside them the scheme does, on every login: about thirty trace calls filtered out by",
          "level (%s each: two atomic loads and the clock's seconds, no lock), the look-up of its"
          % ns(cpu(t, "TraceFiltered/0")),
          "kept parameter string (a fresh parse costs %s; it is kept per distinct string)"
          % ns(cpu(a, "ParseParameters/0")),
          "the attribute reads with only their texts terminated, the PIN compared over both whole",
          "buffers without a branch on their contents, the claim that lets a session be accepted",
          "once (one short lock), and the wiping of the PIN, the cookie and the session record.",
          "Against a real Agent API, whose calls go to the policy server over the network, the",
          "scheme's share is a small fraction. Of that work, the hold on the agent that lets a",
          "release wait for logins in progress, the claim that accepts a session once and the",
          "wiping of the secrets must be done; with the thirty filtered trace calls they are what",
          "stands between the figure and 1.2.", "",
          "### The PostgreSQL writer and the ring", "",
          "For the commit-in-doubt look-up the transaction's id must reach the PostgreSQL client",
          "before the commit: a single row's INSERT returns it, a group asks for it first, a flush",
          "request makes the server send it, and the sync commits. That is one round trip, as the",
          "bare client's, but the server answers in two pieces and the client waits for both, with",
          "a deadline on each wait. `auditAuth` and the audited `SmEventRecord` with many threads",
          "share the one queue lock that the queue's design requires, with a consumer thread",
          "competing for the same two processors; their figures vary most from run to run on a",
          "shared machine.", "",
          "Measured apart (not in turn) in the same run: `SmAuthenticate` %s, the baseline %s."
          % (ns(cpu(a, "SmAuthenticate/0")), ns(cpu(a, "AgentApiBaseline"))), ""]

    # ---- growth
    L += ["## How the cost grows", "",
          "### Trace line by message length", "",
          "| characters | written | fstat + write | ratio | written, per character beyond 32 |", "|---|---|---|---|---|"]
    first = cpu(t, "TraceWritten/32")
    for n in (32, 128, 512, 2048):
        f, b = cpu(t, "TraceWritten/%d" % n), cpu(t, "WriteBaseline/%d" % n)
        per = "" if n == 32 else "%.2f ns" % ((f - first) / (n - 32))
        L.append("| %d | %s | %s | %.2f | %s |" % (n, ns(f), ns(b), f / b, per))
    L += ["", "The configuration gate when nothing changed (the two-second gate open at every call,",
          "`keltrace.conf` looked at and found unchanged, the message filtered out): %s, against %s for"
          % (ns(cpu(t, "ConfGate")), ns(cpu(t, "StatBaseline"))),
          "the stat(2) and time of day that it cannot avoid (ratio %.2f). Between gates a filtered"
          % (cpu(t, "ConfGate") / cpu(t, "StatBaseline")),
          "call costs the figure above: the lock, the clock and two comparisons.", "",
          "### Scheme parameters by string length", "",
          "| characters | `parseParameters` | per character |", "|---|---|---|"]
    L.append("| typical (%d) | %s | |" % (len("AGENT_NAME=loadagent;USE_PIN=yes;MIN_LEVEL=2;MAX_LEVEL=3"), ns(cpu(a, "ParseParameters/0"))))
    for n in (256, 1024, 4096):
        f = cpu(a, "ParseParameters/%d" % n)
        L.append("| %d | %s | %.2f ns |" % (n, ns(f), f / n))
    L += ["", "`SmAuthenticate` at trace level 5 (about forty lines written per login, each flushed): %s,"
          % ns(cpu(a, "SmAuthenticate/5")),
          "%.0f times the stand-in's own calls; the cost is the lines." % (cpu(a, "SmAuthenticate/5") / b),
          "", "### Event selection by transaction id", "",
          "| items ahead of `authlevel` | `getAuthLevel` |", "|---|---|"]
    for k in (0, 4, 16):
        L.append("| %d | %s |" % (k, ns(cpu(e, "GetAuthLevel/%d" % k))))
    L += ["", "### Enqueue by producer threads and ring size", "",
          "A consumer thread takes entries out as fast as it can, as the writer does after each",
          "committed row; with a small ring the producers wait for it (the machine has %d processors"
          % os.cpu_count(),
          "for the producers and the consumer together).", "",
          "| ring places | 1 producer | 2 producers |", "|---|---|---|"]
    for q in (1, 20, 1000):
        L.append("| %d | %s | %s |" % (q, ns(cpu(e, "AuditAuth/%d/real_time/threads:1" % q)),
                                      ns(cpu(e, "AuditAuth/%d/real_time/threads:2" % q))))
    L += [""] + scaling(scale)
    L += ["### The audit journal", "",
          "`SmEventRecord` of an audited login at trace level 0, wall-clock time (a sync is a wait,",
          "not work), with the database absent and the writer held in its pause, so the journal only",
          "grows. The ring's figure has a consumer thread keeping up, as for the enqueue above.", "",
          "| what | time per event |", "|---|---|",
          "| ring only (no `SPOOL_DIR`), 1000 places | %s |" % ns(mem)]
    for arg, mode in ((0, "always"), (1, "second"), (2, "none")):
        L.append("| journal, SPOOL_SYNC %s | %s |" % (mode, ns(real(e, "RecordJournal/%d/real_time" % arg))))
    L += ["| pwrite + fdatasync of one record's bytes (measured apart) | %s |" % ns(real(e, "DatasyncBaseline/real_time")),
          "",
          "The sync time of the disk changes by ten times from one minute to the next on a shared",
          "machine, so SPOOL_SYNC always is held to its baseline only in the paired measurement of",
          "the targets table."]
    L += ["", "### Database writer", "",
          "Rounds taken in turn by three sides, each on one connection kept open: the bare client",
          "(per row: prepare, fourteen binds, execute with commit, straight through sqlite3 or",
          "libpq); the writer with the round's events waiting in the ring before it may take any",
          "(it then inserts groups as full as the bare client's); and the writer while the round's",
          "events are recorded with `SmEventRecord` (it takes what is waiting when it looks, never",
          "waiting for more, so its first groups are small, and the recording shares the two",
          "processors with it and the database server). The writer's time ends at its last commit,",
          "as the bare client's does. Each side's rate is its rows over its summed time. A case takes",
          "30 rounds, and more (up to 2000) until the bare client's rounds add up to 2 s: a round",
          "without a delay takes milliseconds, and one late wake-up weighs less among many. The commit",
          "dominates and varies from run to run on a shared disk; taking the rounds in turn gives",
          "the sides the same conditions. The in-memory SQLite line (a file on tmpfs, where a",
          "commit waits for no disk) shows what is left: the software on each side.", "",
          "With `BATCH_MAX` above 1 the bare client inserts the same rows in groups of that size",
          "(one transaction on SQLite; on PostgreSQL one pipeline and one round trip, the rows in",
          "multi-row INSERTs of up to 512 rows, each size prepared once, as the stand-in sends a",
          "group), and the delay is added each way by the loopback delay proxy of the tests.", "",
          "| database | BATCH_MAX | added delay each way | rows a round | rounds | bare client | writer, events waiting | ratio | writer, events recorded | ratio | rows checked |",
          "|---|---|---|---|---|---|---|---|---|---|---|"]
    for w in writer:
        L.append("| %s | %d | %s | %d | %d | %.0f rows/s | %.0f rows/s | %.2f | %.0f rows/s | %.2f | %s |"
                 % (w["db"], w.get("batch_max", 1), delay(w), w["rows"], w["rounds"], w["bare_rows_per_s"], w["writer_rows_per_s"],
                    w["ratio"], w["recorded_rows_per_s"], w["recorded_ratio"], "yes" if w["rows_checked"] else "**NO**"))
    if load:
        L += ["", "### The policy server simulator across the delay", "",
              "`smhost load --threads 4 --seconds 10 --batch-max 512 --max-queue 100000` on PostgreSQL",
              "through the delay proxy (1 ms each way): four threads log in and record as fast as",
              "they can, on the same two processors as the writer, the proxy and the database server.",
              "The rows' rate runs until the last row is in, after the logins have ended (meanwhile",
              "smhost counts only the rows that are new since its last look). Once the ring is full a",
              "login waits for the writer to make room, so the logins' rate is the writer's plus the",
              "ring's head start. The second run paces the same logins (`--rate`) below what the",
              "first run's writer managed: there the writer has to keep pace, and its rows' rate",
              "falls short of the logins' only by the wait for the last rows.", "",
              "| logins | logins/s | rows/s | rows | in | `SmEventRecord` p50 | p99 | every row once |",
              "|---|---|---|---|---|---|---|---|"]
        for label, run in (("as fast as they can", load), ("paced (`--rate %s`)" % paced_rate(work), paced)):
            if run is None:
                continue
            L.append("| %s | %s | %s | %s | %s s | %s µs | %s µs | %s |"
                     % (label, run["logins"][0], run["rows"][0], run["rows"][1], run["rows"][2],
                        run["record"][0] if "record" in run else "?", run["record"][1] if "record" in run else "?",
                        "yes" if "check" in run and run["check"][0] == run["check"][1] else "**NO**"))
    if catchup:
        L += ["", "### Catching up with a journal backlog", "",
              "Events recorded while the database could not be reached wait in the journal; then the",
              "writer is let at the database and timed until the journal is empty.", "",
              "| database | BATCH_MAX | events | time | rows/s | rows checked |", "|---|---|---|---|---|---|"]
        for c in catchup:
            L.append("| %s | %d | %d | %.1f s | %.0f | %s |" % (c["catchup"], c["batch_max"], c["events"], c["seconds"],
                                                            c["rows_per_s"], "yes" if c["rows_checked"] else "**NO**"))
    L += ["", "## Other figures", "",
          "| What | CPU time |", "|---|---|",
          "| `scrypt` of a 13-character password | %s |" % ns(cpu(t, "Scrypt")),
          "| event copy baseline (malloc + 15 strdup, and the frees) | %s |" % ns(cpu(e, "CopyBaseline")),
          "",
          "## What was changed to reach these figures", "",
          "Behaviour is unchanged: the same messages, levels, order, locks and commits; the test",
          "suite passes as before.", "",
          "- Trace module: the timestamp up to the second is formatted once per second; the",
          "  \" pid tid: \" part once per thread (made again in a child after fork), where each line",
          "  used to make two system calls for it; prefix, message and newline are formatted into",
          "  one buffer and written with one write(2), past the stream, and the scan for characters",
          "  to escape goes a word at a time. A written line went from about 2.5 times its fstat and",
          "  write to the ratios above.",
          "- Scheme: the PIN comparison still compares both whole buffers without a branch on their",
          "  contents, but a word at a time instead of a byte at a time through a volatile",
          "  accumulator, which alone cost about twice the stand-in's calls for a whole login.",
          "- Trace module: a call filtered out by its level reads the level and the time of the",
          "  next look at `keltrace.conf` (atomics) and the clock's seconds, and takes no lock; the",
          "  lock is taken only to write a line or when the two-second gate is due.",
          "- Scheme: the parameter string is parsed once per distinct string (at trace level 5 and",
          "  for a faulty string it is parsed afresh, so the trace is as before); attribute buffers",
          "  are terminated rather than cleared whole; the PIN is compared 32 bytes at a time.",
          "- Stand-in libclntsh over PostgreSQL: an INSERT is one implicit transaction (the INSERT",
          "  returning its transaction id, a flush, the sync that commits) instead of BEGIN, INSERT,",
          "  COMMIT; the id still reaches the client before the commit, for the commit-in-doubt",
          "  look-up after a lost connection.",
          "- Stand-in Agent API: its sessions in 64 shards with a lock each (a token and its session",
          "  id pick the same shard), its attribute lists registered in shards, the handle check a",
          "  version number read per call, counters spread over cache lines, random bytes drawn from",
          "  the kernel outside any lock. One global lock, with a random source that takes",
          "  microseconds per draw held under it, made 16 threads slower than one.",
          "- Scheme: a call between two management requests leaves without taking the agent's",
          "  management lock.",
          "- Stand-in libclntsh: a statement prepared again with the same text keeps its parsed",
          "  placeholders; bound texts go to SQLite and PostgreSQL from the caller's buffers when",
          "  a check finds them valid UTF-8 (a copy is made only to replace bytes that are not),",
          "  and a group asks for its transaction id once instead of having every row return it.",
          "- Stand-in libclntsh over PostgreSQL: a group goes as multi-row INSERTs of up to 512",
          "  rows (powers of two, each size prepared once per connection) instead of one INSERT per",
          "  row: the server plans a size once and runs a chunk as one statement. A group the",
          "  server refuses runs again a row per statement, so the row count and the error name",
          "  the row.",
          "- Writer: a connection prepares the group statement and binds its column arrays once,",
          "  and keeps the arrays from group to group (places rounded up to 64 bytes); it prepares",
          "  and binds again only after a lone event's insert or for a group that needs more room.",
          "- Recording path: the count of copies handed back sits beside the ring's count, so a",
          "  put reads one line the writer has written instead of two.",
          "- Recording path: the event's copy is made before the queue lock is taken; the copies",
          "  the writer is done with are freed by the recording threads, whose allocations then come",
          "  from their own thread's cache of freed blocks instead of the allocator's slow path; a",
          "  consumer finding the ring empty yields its processor a while before it sleeps, so a",
          "  steady stream of events needs no wake-up; the module's mutexes are adaptive, as the",
          "  Solaris default mutex is.", ""]
    with open(out, "w") as f:
        f.write("\n".join(L))


if __name__ == "__main__":
    main()
