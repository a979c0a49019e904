"""Search: vantoro side by side with rank-bm25, bm25s, tantivy and PISA on the same tokens.

    python bench/bench_search.py                                   # 10k, 100k, 1M docs + Cranfield
    python bench/bench_search.py --sizes 10000,100000 --cranfield /path/to/cranfield
    python bench/bench_search.py --sizes 10000 --no-cranfield --peers bm25s,pisa

For every corpus each library builds its own index from the same token lists
and answers the same top-10 queries of two query sets, "zipf" (tokens drawn
from the vocabulary's distribution, the most common ones skipped) and "drawn"
(1 to 4 tokens read from a random document, common ones kept), one library at
a time (each index is dropped before the next is built). Reported:

- build time: vantoro add_documents + freeze (fd 1 sent to /dev/null: both
  write progress lines there); the peers' index construction;
- single-query latency p50/p99 of vantoro search (stored weights),
  search_instance (on the fly) and each peer's one-query call;
- speed-ups, paired per query: the median over the queries of peer time /
  vantoro search time on that query, and likewise search_instance / search;
- throughput with 1 and 2 threads: vantoro batch_search in two subprocesses
  started with RAYON_NUM_THREADS=1 or 2 (the pool size is read once per
  process) and a Python loop of search, next to PISA's batch retrieval
  (query_toks frames of all queries, maxscore and block_max_wand, threads=1
  and 2, exact and with quantised impacts) in a third subprocess and bm25s'
  multi-query retrieve; the subprocesses' rounds alternate;
- latency for queries of rare tokens as the corpus grows (cost follows the
  postings visited);
- on Cranfield: MAP@100 and nDCG@10 from its relevance judgments.

Slow engines are given a time budget per measurement (--budget) and stop
early once it is spent (never before 5 queries); rank-bm25 scores every
document in Python per query, so its query count is also capped at large
sizes (--rank-bm25-max-queries). The "queries" columns say how many ran.
Absolute times on shared machines are noisy; compare the ratios.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus as corpora  # noqa: E402
import engines  # noqa: E402
import evaluation  # noqa: E402
from common import fmt_rate, fmt_ratio, fmt_time, latencies, percentile, pool_env, print_table  # noqa: E402

K = 10
DEFAULT_PEERS = "rank-bm25,bm25s,tantivy,pisa"
DEFAULT_CRANFIELD = os.path.join(HERE, os.pardir, os.pardir, "shared", "data", "cranfield")
OVERLAP_QUERIES = 20

# Goals of the pruning work: top-10 on 1,000,000 synthetic documents with the
# "drawn" queries, measured side by side in one run.
GOAL_P50 = 300e-6
GOAL_P99 = 3e-3
GOAL_BATCH_VS_PISA = 2.0
GOAL_LOOP_VS_PISA = 1.5
GOAL_INSTANCE_VS_SEARCH = 1.5
GOAL_DOCS = 1_000_000


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated document counts")
    parser.add_argument("--queries", type=int, default=1000,
                        help="queries per query set and size (PISA batches all of them)")
    parser.add_argument("--query-sets", default=",".join(corpora.QUERY_SETS),
                        help="comma-separated query sets: " + ", ".join(corpora.QUERY_SETS))
    parser.add_argument("--ids", default=corpora.DEFAULT_ID_STYLE, choices=corpora.ID_STYLES,
                        help="document identifier style (default: 12-byte zero-padded)")
    parser.add_argument("--peers", default=DEFAULT_PEERS, help="comma-separated peers to compare ('' for none)")
    parser.add_argument("--budget", type=float, default=15.0, help="seconds per latency measurement")
    parser.add_argument("--rank-bm25-max-queries", type=int, default=0,
                        help="cap on rank-bm25 queries (default: 2,000,000 / docs, at least 10)")
    parser.add_argument("--batch-seconds", type=float, default=1.0,
                        help="seconds per throughput measurement in a round")
    parser.add_argument("--rounds", type=int, default=4, help="throughput rounds (the best is reported)")
    parser.add_argument("--no-batch", dest="batch", action="store_false", help="skip the throughput measurements")
    parser.add_argument("--pisa-algorithms", default=",".join(engines.Pisa.ALGORITHMS),
                        help="PISA query algorithms for the throughput rows")
    parser.add_argument("--no-pisa-approximate", dest="pisa_approximate", action="store_false",
                        help="skip PISA's quantised-impact (approximate) rows")
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="another interpreter with another vantoro build installed: its batch_search and "
                             "search loop run beside this one's in the throughput rounds (before/after)")
    parser.add_argument("--tmp-dir", default=None, help="where PISA's index files go (default: the temp directory)")
    parser.add_argument("--cranfield", default=DEFAULT_CRANFIELD, help="directory of the Cranfield collection")
    parser.add_argument("--no-cranfield", action="store_true")
    parser.add_argument("--throughput-child", help=argparse.SUPPRESS)
    parser.add_argument("--pisa-dir", help=argparse.SUPPRESS)
    return parser


def parse_list(text: str) -> list:
    return [p.strip() for p in text.split(",") if p.strip()]


# --------------------------------------------------------------------------
# Measurements on one corpus
# --------------------------------------------------------------------------

class Run:
    """Latencies of one engine's one search function, in query order."""

    def __init__(self, times):
        self.times = times

    @property
    def p50(self):
        return percentile(self.times, 50)

    @property
    def p99(self):
        return percentile(self.times, 99)


def speedup(slow: Run, fast: Run) -> float:
    """Median over the queries both ran of slow's time / fast's time on that query.

    Paired per query and a median, so that a burst of other load on the machine
    during a few queries does not decide the ratio."""
    m = min(len(slow.times), len(fast.times))
    if m == 0:
        return float("nan")
    return percentile([slow.times[i] / fast.times[i] for i in range(m)], 50)


def overlap_at_k(a: list, b: list) -> float:
    """Mean share of common documents in two lists of top-k results."""
    pairs = [(set(x), set(y)) for x, y in zip(a, b) if x or y]
    if not pairs:
        return float("nan")
    return sum(len(x & y) / max(len(x), len(y)) for x, y in pairs) / len(pairs)


def rank_bm25_cap(n_docs: int, cap: int) -> int:
    # About 2 million document scorings per size, never fewer than 10 queries.
    return cap if cap > 0 else max(10, 2_000_000 // max(n_docs, 1))


def _timed(fn, *a):
    start = time.perf_counter()
    result = fn(*a)
    return time.perf_counter() - start, result


def measure_corpus(pairs, query_sets: dict, rare_queries, peers, args, postings=None, quality=None,
                   keep_pisa=False):
    """Builds every engine in turn on ``pairs`` and runs ``query_sets``
    ({name: queries}); returns a dict of measurements. With ``keep_pisa`` PISA's
    index files stay in ``out["pisa_dir"]`` for the throughput subprocess."""
    n_docs = len(pairs)
    out = {"docs": n_docs, "postings": postings, "build": {}, "config": {}, "skipped": [],
           "runs": {s: {} for s in query_sets}, "top": {s: {} for s in query_sets},
           "rare": {}, "quality": {}, "bm25s_batch": {}}

    gc.collect()
    engine = engines.Vantoro()
    out["config"]["vantoro"] = engine.config
    add_s, _ = _timed(engine.add, pairs)
    freeze_s, _ = _timed(engine.freeze)
    out["build"]["vantoro"] = add_s + freeze_s
    out["add_s"], out["freeze_s"] = add_s, freeze_s
    for s, queries in query_sets.items():
        for key, fn in (("search", engine.search), ("search_instance", engine.search_instance)):
            out["runs"][s][key] = Run(latencies(lambda q: fn(q, K), queries, args.budget))
            out["top"][s][key] = [fn(q, K) for q in queries[:OVERLAP_QUERIES]]
    if rare_queries:
        # Rare queries touch little memory: every engine gets one warm pass over
        # them first, so that no function profits from the one measured before it.
        warm = len(rare_queries)
        for key, fn in (("search", engine.search), ("search_instance", engine.search_instance)):
            out["rare"][key] = Run(latencies(lambda q: fn(q, K), rare_queries, args.budget, warmup=warm))
    if quality:
        out["quality"]["search"] = quality(lambda q: engine.search(q, 100))
        out["quality"]["search_instance"] = quality(lambda q: engine.search_instance(q, 100))
    del engine
    gc.collect()

    for name in peers:
        module, cls = engines.PEERS[name]
        if not engines.available(module):
            line = f"{name}: not installed (module {module} cannot be imported), skipped"
            print("  " + line)
            out["skipped"].append(line)
            continue
        engine = cls(parent=args.tmp_dir) if name == "pisa" else cls()
        try:
            out["build"][name], _ = _timed(engine.build, pairs)
        except Exception as error:  # a peer that fails is reported, not fatal
            line = f"{name}: failed to build ({type(error).__name__}: {error}), skipped"
            print("  " + line)
            out["skipped"].append(line)
            continue
        out["config"][name] = engine.config
        cap = rank_bm25_cap(n_docs, args.rank_bm25_max_queries) if name == "rank-bm25" else None
        for s, queries in query_sets.items():
            subset = queries[:cap]
            out["runs"][s][name] = Run(latencies(lambda q: engine.search(q, K), subset, args.budget))
            out["top"][s][name] = [engine.search(q, K) for q in subset[:OVERLAP_QUERIES]]
        if rare_queries:
            rare_subset = rare_queries[:cap]
            warm = 2 if name == "rank-bm25" else len(rare_subset)  # rank-bm25 scans everything anyway
            out["rare"][name] = Run(latencies(lambda q: engine.search(q, K), rare_subset, args.budget, warmup=warm))
        if quality:
            out["quality"][name] = quality(lambda q: engine.search(q, 100))
        if name == "bm25s" and args.batch:
            for s, queries in query_sets.items():
                out["bm25s_batch"][s] = {
                    t: _rates(lambda qs: engine.batch(qs, K, n_threads=t), queries, args.batch_seconds,
                              max(1, args.rounds - 1))
                    for t in (1, 2)}
        if name == "pisa" and keep_pisa:
            out["pisa_dir"] = engine.detach()
        del engine
        gc.collect()
    return out


def _rate(run_batch, queries, min_seconds: float) -> float:
    """Queries per second of run_batch(queries), repeated for at least min_seconds."""
    done, start = 0, time.perf_counter()
    while True:
        run_batch(queries)
        done += len(queries)
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return done / elapsed


def _rates(run_batch, queries, min_seconds: float, rounds: int) -> list:
    """Queries per second of each of ``rounds`` rounds (after a warm-up)."""
    run_batch(queries[:10])
    return [_rate(run_batch, queries, min_seconds) for _ in range(rounds)]


# --------------------------------------------------------------------------
# Throughput: one subprocess per vantoro pool size, one for PISA
# --------------------------------------------------------------------------
#
# The worker pool's size is read once per process, so each size gets its own
# process; PISA gets one too, so that no process carries another's heap. All
# stay alive and take turns: each round asks every process for one
# measurement of each of its rows, so that a burst of other load on the
# machine hits all of them alike. Every round's figure is kept (for the
# spread); tables show the best.

def _child_corpus(args):
    corpus = corpora.synthetic_corpus(args.docs_, id_style=args.ids)
    sets = {s: corpora.query_set(s, corpus, args.queries) for s in parse_list(args.query_sets)}
    return corpus, sets


def throughput_child(args) -> None:
    args.docs_ = int(args.sizes)
    if args.throughput_child == "vantoro":
        engine = engines.Vantoro()
        corpus, sets = _child_corpus(args)
        engine.build(corpus.pairs())
        del corpus
        gc.collect()
        engine.index.batch_search(next(iter(sets.values()))[:10], K)  # starts the worker pool

        def round_():
            records = []
            for s, queries in sets.items():
                cpu, wall = time.process_time(), time.perf_counter()
                qps = _rate(lambda qs: engine.index.batch_search(qs, K), queries, args.batch_seconds)
                # Processor time over wall time: how many cores the pool actually got.
                cores = (time.process_time() - cpu) / (time.perf_counter() - wall)
                records.append({"set": s, "row": "batch_search", "qps": qps, "cores": cores})
                qps = _rate(lambda qs: [engine.index.search(q, K) for q in qs], queries, args.batch_seconds)
                records.append({"set": s, "row": "search loop", "qps": qps})
            return records
    elif args.throughput_child == "pisa":
        engine = engines.Pisa(directory=args.pisa_dir)
        engine.open()
        corpus, sets = _child_corpus(args)
        del corpus
        gc.collect()
        frames = {s: engines.Pisa.frame(q) for s, q in sets.items()}
        configs = [(alg, t, approx) for approx in ([False, True] if args.pisa_approximate else [False])
                   for alg in parse_list(args.pisa_algorithms) for t in (1, 2)]
        for alg, t, approx in configs:  # loads (and for approx, quantises) the index once
            engine.run(frames[next(iter(frames))].head(10), K, alg, t, approx)

        def round_():
            records = []
            for s, frame in frames.items():
                for alg, t, approx in configs:
                    qps = _rate(lambda _: engine.run(frame, K, alg, t, approx), sets[s], args.batch_seconds)
                    records.append({"set": s, "row": pisa_row(alg, approx), "threads": t, "qps": qps})
            return records
    else:
        raise SystemExit(f"unknown throughput child {args.throughput_child!r}")

    print("ready", flush=True)
    for line in sys.stdin:
        if line.strip() != "round":
            break
        print(json.dumps(round_()), flush=True)


def pisa_row(algorithm: str, approximate: bool) -> str:
    return f"PISA {algorithm}" + (", quantised (approximate)" if approximate else "")


def throughput(n_docs: int, args, pisa_dir=None) -> dict:
    """{"rows": {set: {row: {threads: [qps per round]}}}, "cores": {set: {row: {threads: [...]}}}}.

    Rows: "vantoro batch_search", "vantoro search loop" (single-threaded; its
    column is the pool size of the process it ran in), PISA's configurations,
    and "baseline ..." rows when --baseline names another interpreter."""
    base = ["--sizes", str(n_docs), "--ids", args.ids, "--queries", str(args.queries),
            "--query-sets", args.query_sets, "--batch-seconds", str(args.batch_seconds)]
    launches = []  # (row prefix, threads or None, command, environment)
    for prefix, python in (("vantoro", sys.executable), ("baseline", args.baseline)):
        if not python:
            continue
        for threads in (1, 2):
            launches.append((prefix, threads, [python, os.path.abspath(__file__), "--throughput-child", "vantoro", *base],
                             pool_env(threads)))
    if pisa_dir:
        cmd = [sys.executable, os.path.abspath(__file__), "--throughput-child", "pisa", "--pisa-dir", pisa_dir,
               "--pisa-algorithms", args.pisa_algorithms, *base]
        if not args.pisa_approximate:
            cmd.append("--no-pisa-approximate")
        launches.append(("", None, cmd, dict(os.environ)))

    rows, cores = {}, {}
    children = []
    try:
        for prefix, threads, cmd, env in launches:
            children.append((prefix, threads, subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                               text=True, env=env)))
        live = []
        for prefix, threads, child in children:
            if child.stdout.readline().strip() == "ready":
                live.append((prefix, threads, child))
            else:
                print(f"  throughput subprocess {prefix or 'PISA'} {threads or ''} failed to start", flush=True)
        for _ in range(args.rounds):
            for prefix, threads, child in live:
                child.stdin.write("round\n")
                child.stdin.flush()
                for r in json.loads(child.stdout.readline()):
                    row = f"{prefix} {r['row']}".strip()
                    t = r.get("threads", threads)
                    rows.setdefault(r["set"], {}).setdefault(row, {}).setdefault(t, []).append(r["qps"])
                    if "cores" in r:
                        cores.setdefault(r["set"], {}).setdefault(row, {}).setdefault(t, []).append(r["cores"])
    finally:
        for _, _, child in children:
            if child.stdin:
                child.stdin.close()
            child.wait()
    return {"rows": rows, "cores": cores}


def best_round(rounds: list) -> float:
    return max(rounds) if rounds else float("nan")


def pisa_best(m: dict, s: str, threads: int):
    """(qps, row) of PISA's best exact configuration at ``threads`` on set ``s``."""
    rows = m.get("throughput", {}).get("rows", {}).get(s, {})
    best = (float("nan"), None)
    for row, by_threads in rows.items():
        if row.startswith("PISA") and "approximate" not in row and threads in by_threads:
            qps = best_round(by_threads[threads])
            if not best[1] or qps > best[0]:
                best = (qps, row)
    return best


# --------------------------------------------------------------------------
# Tables: (headers, rows) of strings, printed here and written by report.py
# --------------------------------------------------------------------------

ENGINE_LABELS = {"search": "vantoro search", "search_instance": "vantoro search_instance",
                 "pisa": "PISA (block_max_wand, one query per frame)"}


def engine_label(key: str) -> str:
    return ENGINE_LABELS.get(key, key)


def latency_table(m: dict, s: str):
    runs = m["runs"][s]
    ref = runs["search"]
    rows = []
    for key, run in runs.items():
        if key == "search_instance":
            build = "(same index)"
        else:
            build = fmt_time(m["build"]["vantoro" if key == "search" else key])
        ratio = "1.00x" if key == "search" else fmt_ratio(speedup(run, ref))
        overlap = m["top"][s].get(key)
        rows.append([engine_label(key), build, str(len(run.times)), fmt_time(run.p50), fmt_time(run.p99), ratio,
                     "" if key == "search" or overlap is None else f"{overlap_at_k(m['top'][s]['search'], overlap):.2f}"])
    headers = ["engine", "build", "queries", "p50", "p99", "time / vantoro search", "top-10 overlap"]
    return headers, rows


def fmt_rounds(rounds: list) -> str:
    if not rounds:
        return "-"
    if len(rounds) == 1:
        return fmt_rate(rounds[0], "q")
    return f"{fmt_rate(max(rounds), 'q')} ({min(rounds) / max(rounds) * 100:.0f}-100%)"


def throughput_table(m: dict, s: str):
    """Best round per row and pool size, the worst round as a share of the best in brackets."""
    rows = []
    tp = m.get("throughput", {})
    for row, by_threads in tp.get("rows", {}).get(s, {}).items():
        one, two = by_threads.get(1, []), by_threads.get(2, [])
        label = row
        if row.endswith("search loop"):
            label = row + " (1 thread; column = pool size of its process)"
        ratio = fmt_ratio(best_round(two) / best_round(one)) if one and two else "-"
        rows.append([label, fmt_rounds(one), fmt_rounds(two), ratio])
        c = tp.get("cores", {}).get(s, {}).get(row)
        if c:
            pick = lambda t: f"{c[t][by_threads[t].index(best_round(by_threads[t]))]:.2f}" if t in c else "-"
            rows.append(["  cores busy in its best round (CPU / wall)", pick(1), pick(2), ""])
    by_row = tp.get("rows", {}).get(s, {})
    for what in ("batch_search", "search loop"):
        ours, base = by_row.get(f"vantoro {what}"), by_row.get(f"baseline {what}")
        if ours and base:
            rows.append([f"vantoro / baseline, {what}"] +
                        [fmt_ratio(best_round(ours[t]) / best_round(base[t])) if t in ours and t in base else "-"
                         for t in (1, 2)] + [""])
    b = m.get("bm25s_batch", {}).get(s)
    if b:
        rows.append(["bm25s retrieve(all queries, n_threads)", fmt_rounds(b[1]), fmt_rounds(b[2]),
                     fmt_ratio(best_round(b[2]) / best_round(b[1]))])
    return ["", "1 thread", "2 threads", "2 / 1"], rows


def goal_values(m: dict, s: str = "drawn") -> dict:
    """The pruning goals' figures on one corpus (NaN where not measured)."""
    runs = m["runs"].get(s, {})
    rows = m.get("throughput", {}).get("rows", {}).get(s, {})
    out = {"p50": runs["search"].p50 if "search" in runs else float("nan"),
           "p99": runs["search"].p99 if "search" in runs else float("nan"),
           "instance": speedup(runs["search_instance"], runs["search"]) if "search_instance" in runs else float("nan")}
    for t in (1, 2):
        pisa, row = pisa_best(m, s, t)
        out[f"pisa{t}"], out[f"pisa{t}_row"] = pisa, row
        out[f"batch{t}"] = best_round(rows.get("vantoro batch_search", {}).get(t, []))
        out[f"batch{t}_vs_pisa"] = out[f"batch{t}"] / pisa
    out["loop"] = best_round(rows.get("vantoro search loop", {}).get(1, []))
    out["loop_vs_pisa"] = out["loop"] / out["pisa1"]
    return out


def _met(value: float, goal: float, at_most: bool) -> str:
    if value != value:
        return "-"
    return "yes" if (value <= goal if at_most else value >= goal) else "NO"


def goals_table(results: list, s: str = "drawn"):
    """One row per goal and synthetic size; the goals are set for 1,000,000 documents."""
    headers = ["goal (top-10, 'drawn' queries)", "target"] + [f"{m['docs']:,} docs" for m in results]
    goals = [
        ("search p50", f"<= {fmt_time(GOAL_P50)}", "p50", GOAL_P50, True, fmt_time),
        ("search p99", f"<= {fmt_time(GOAL_P99)}", "p99", GOAL_P99, True, fmt_time),
        ("batch_search / PISA best, 1 thread", f">= {GOAL_BATCH_VS_PISA:.1f}x", "batch1_vs_pisa",
         GOAL_BATCH_VS_PISA, False, fmt_ratio),
        ("batch_search / PISA best, 2 threads", f">= {GOAL_BATCH_VS_PISA:.1f}x", "batch2_vs_pisa",
         GOAL_BATCH_VS_PISA, False, fmt_ratio),
        ("loop of search / PISA best, 1 thread", f">= {GOAL_LOOP_VS_PISA:.1f}x", "loop_vs_pisa",
         GOAL_LOOP_VS_PISA, False, fmt_ratio),
        ("search_instance / search (paired median)", f"<= {GOAL_INSTANCE_VS_SEARCH:.1f}x", "instance",
         GOAL_INSTANCE_VS_SEARCH, True, fmt_ratio),
    ]
    values = [goal_values(m, s) for m in results]
    rows = []
    for label, target, key, goal, at_most, fmt in goals:
        row = [label, target]
        for v in values:
            row.append(f"{fmt(v[key])} ({_met(v[key], goal, at_most)})" if v[key] == v[key] else "-")
        rows.append(row)
    for t in (1, 2):
        rows.append([f"  PISA best exact at {t} thread{'s' if t > 1 else ''}", ""] +
                    [f"{fmt_rate(v[f'pisa{t}'], 'q')} ({v[f'pisa{t}_row'][5:]})" if v[f"pisa{t}_row"] else "-"
                     for v in values])
    return headers, rows


def quality_table(m: dict):
    rows = [[engine_label(k), f"{q['map@100']:.4f}", f"{q['ndcg@10']:.4f}", str(q["queries"])]
            for k, q in m["quality"].items()]
    return ["engine", "MAP@100", "nDCG@10", "judged queries"], rows


def rare_table(results: list):
    keys = []
    for m in results:
        for k in m["rare"]:
            if k not in keys:
                keys.append(k)
    rows = []
    for m in results:
        if m["rare"]:
            rows.append([f"{m['docs']:,}", f"{m['rare_postings']:.1f}"] +
                        [fmt_time(m["rare"][k].p50) if k in m["rare"] else "-" for k in keys])
    return ["docs", "postings in the lists"] + [engine_label(k) for k in keys], rows


def summary_table(results: list, sets):
    """vantoro search's paired speed-up over each peer, per corpus and query set."""
    peers = []
    for m in results:
        for s in sets:
            for k in m["runs"].get(s, {}):
                if k not in ("search", "search_instance") and k not in peers:
                    peers.append(k)
    rows = []
    for m in results:
        for s in sets:
            runs = m["runs"].get(s)
            if not runs:
                continue
            row = [m["title"], s] + [fmt_ratio(speedup(runs[p], runs["search"])) if p in runs else "-" for p in peers]
            row.append(fmt_ratio(speedup(runs["search_instance"], runs["search"])))
            rows.append(row)
    return ["corpus", "queries"] + [f"{engine_label(p)} / search" for p in peers] + ["search_instance / search"], rows


# --------------------------------------------------------------------------
# Runs
# --------------------------------------------------------------------------

def run_size(n_docs: int, args, peers) -> dict:
    """Every measurement on the synthetic corpus of ``n_docs`` documents."""
    start = time.perf_counter()
    corpus = corpora.synthetic_corpus(n_docs, id_style=args.ids)
    sets = {s: corpora.query_set(s, corpus, args.queries) for s in parse_list(args.query_sets)}
    rare_tokens = corpora.tokens_with_df(corpus, 8, 12, 2 * 50)
    rare_queries = [rare_tokens[i:i + 2] for i in range(0, len(rare_tokens) - 1, 2)]
    df = corpus.document_frequencies()
    rank = {t: r for r, t in enumerate(corpus.vocab)}
    rare_postings = (sum(int(df[rank[t]]) for q in rare_queries for t in q) / len(rare_queries)
                     if rare_queries else float("nan"))
    list_postings = {s: sum(int(df[rank[t]]) for q in qs for t in set(q)) / max(len(qs), 1) for s, qs in sets.items()}
    postings = corpus.n_postings()
    pairs = corpus.pairs()
    print(f"\n[{n_docs:,} docs: {corpus.n_tokens:,} tokens, {postings:,} postings, ids like {corpus.ids[0]!r}, "
          f"corpus made in {time.perf_counter() - start:.1f} s]", flush=True)
    tokens = corpus.n_tokens
    del corpus, df, rank
    gc.collect()
    want_pisa = args.batch and "pisa" in peers
    m = measure_corpus(pairs, sets, rare_queries, peers, args, postings=postings, keep_pisa=want_pisa)
    m.update(title=f"synthetic {n_docs:,}", rare_postings=rare_postings, list_postings=list_postings,
             tokens=tokens, ids=args.ids)
    del pairs
    gc.collect()
    if args.batch:
        try:
            m["throughput"] = throughput(n_docs, args, m.get("pisa_dir"))
        finally:
            if m.get("pisa_dir"):
                shutil.rmtree(m.pop("pisa_dir"), ignore_errors=True)
    return m


def cranfield_quality(cran):
    judgments = {q: evaluation.cranfield_gains(codes) for q, codes in cran.qrels.items()}

    def quality(search):
        rankings = {qid: search(q) for qid, q in zip(cran.query_ids, cran.queries) if qid in judgments}
        return evaluation.evaluate(rankings, judgments, ndcg_k=10, map_k=100)

    return quality


def run_cranfield(path: str, args, peers):
    """Cranfield measurements, or None when the collection is not at ``path``."""
    if not os.path.exists(os.path.join(path, "cran.all.1400")):
        return None
    cran = corpora.load_cranfield(path)
    postings = sum(len(set(d)) for d in cran.docs)
    # Throughput is measured on the synthetic sizes only.
    m = measure_corpus(cran.pairs(), {"cranfield": cran.queries}, [], peers, argparse.Namespace(**dict(
        vars(args), batch=False)), postings=postings, quality=cranfield_quality(cran))
    m.update(title="Cranfield", queries=len(cran.queries), judged=len(cran.qrels))
    return m


def print_corpus(m: dict) -> None:
    print(f"\n=== {m['title']}: {m['docs']:,} documents ===")
    for line in m["skipped"]:
        print(line)
    for s in m["runs"]:
        print(f"\nQueries '{s}'" + (f" ({corpora.QUERY_SETS[s]}; mean postings in a query's lists: "
                                    f"{m['list_postings'][s]:,.0f})" if s in corpora.QUERY_SETS else ""))
        print("Build time and top-10 single-query latency; 'time / vantoro search': median over the queries of "
              "this row's time / vantoro search's time on the same query; overlap with vantoro search on the "
              f"first {OVERLAP_QUERIES} queries (idf variants differ, so not 1.0)")
        print_table(*latency_table(m, s))
        if m.get("throughput", {}).get("rows", {}).get(s) or m.get("bm25s_batch", {}).get(s):
            print("Throughput, best of the rounds (worst round as a share of the best in brackets)")
            print_table(*throughput_table(m, s))
    if m.get("postings") and m.get("freeze_s"):
        print(f"vantoro build: add_documents {fmt_time(m['add_s'])}, freeze {fmt_time(m['freeze_s'])} "
              f"= {fmt_rate(m['postings'] / m['freeze_s'], 'posting')} frozen ({m['postings']:,} postings)")
    if m["quality"]:
        print("Ranking quality over the judged queries (MAP over the top 100; nDCG@10 with gains 4..1 "
              "for relevance codes 1..4)")
        print_table(*quality_table(m))
    sys.stdout.flush()


def main(argv=None) -> None:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.throughput_child:
        throughput_child(args)
        return

    sizes = [int(s.replace("_", "")) for s in parse_list(args.sizes)]
    peers = parse_list(args.peers)
    unknown = [p for p in peers if p not in engines.PEERS]
    if unknown:
        parser.error(f"unknown peers: {', '.join(unknown)}")
    sets = parse_list(args.query_sets)
    if any(s not in corpora.QUERY_SETS for s in sets):
        parser.error(f"unknown query set in {args.query_sets!r}")
    import vantoro  # noqa: F401  (fail early if the module is not installed)

    print(__doc__.split("\n\n", 2)[2].strip())
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; k = {K}; ids {args.ids!r}; "
          f"load average at start: {os.getloadavg()[0]:.2f}")
    results = []
    for n_docs in sizes:
        m = run_size(n_docs, args, peers)
        print_corpus(m)
        results.append(m)

    if results:
        print("\n=== Latency (p50) of a 2-token query of rare tokens (each in 8 to 12 documents) "
              "as the corpus grows ===")
        print_table(*rare_table(results))
        if "drawn" in sets:
            print(f"\n=== Pruning goals (set for {GOAL_DOCS:,} documents; every size shown) ===")
            print_table(*goals_table(results))

    cran = None
    if not args.no_cranfield:
        path = os.path.abspath(args.cranfield)
        cran = run_cranfield(path, args, peers)
        if cran is None:
            print(f"\nCranfield collection not found at {path}: skipped (pass --cranfield DIR)")
        else:
            print_corpus(cran)

    print("\n=== Summary: median over the queries of each engine's time / vantoro search's time ===")
    print_table(*summary_table(results + ([cran] if cran else []), sets + ["cranfield"]))
    print(f"load average at end (1 / 5 / 15 min): {' / '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
