"""Search: vantoro side by side with rank-bm25, bm25s and tantivy on the same tokens.

    python bench/bench_search.py                                   # 10k, 100k, 1M docs + Cranfield
    python bench/bench_search.py --sizes 10000,100000 --cranfield /path/to/cranfield
    python bench/bench_search.py --sizes 10000 --no-cranfield --peers bm25s,tantivy

For every corpus each library builds its own index from the same token lists
and answers the same top-10 queries, one library at a time (each index is
dropped before the next is built). Reported:

- build time: vantoro add_documents + freeze (fd 1 sent to /dev/null: both
  write progress lines there); the peers' index construction;
- single-query latency p50/p99 of vantoro search (stored weights),
  search_instance (on the fly) and each peer's one-query call;
- speed-ups, paired per query: the median over the queries of peer time /
  vantoro search time on that query, and likewise search_instance / search;
- batch_search throughput with 1 and 2 worker threads, each in a subprocess
  started with RAYON_NUM_THREADS=1 or 2 (the pool size is read once per process);
- latency for queries of rare tokens as the corpus grows (cost follows the
  postings visited);
- freeze throughput in postings per second;
- on Cranfield: MAP (top 100) and nDCG@10 from its relevance judgments.

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
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corpus as corpora  # noqa: E402
import engines  # noqa: E402
from common import fmt_rate, fmt_ratio, fmt_time, latencies, percentile, print_table  # noqa: E402

K = 10
DEFAULT_CRANFIELD = os.path.join(HERE, os.pardir, os.pardir, "shared", "data", "cranfield")


# --------------------------------------------------------------------------
# Measurements on one corpus
# --------------------------------------------------------------------------

class Run:
    """Latencies of one engine's one search function, in query order."""

    def __init__(self, label, times):
        self.label = label
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


def measure_corpus(pairs, queries, rare_queries, peers, args, postings=None, quality=None):
    """Builds every engine in turn on ``pairs``; returns a dict of measurements."""
    n_docs = len(pairs)
    out = {"docs": n_docs, "build": {}, "runs": {}, "rare": {}, "top": {}, "quality": {}}
    reference_queries = queries[:20]

    # vantoro
    gc.collect()
    engine = engines.Vantoro()
    add_s, _ = _timed(engine.add, pairs)
    freeze_s, _ = _timed(engine.freeze)
    out["build"]["vantoro"] = add_s + freeze_s
    out["add_s"], out["freeze_s"] = add_s, freeze_s
    out["postings"] = postings
    out["runs"]["search"] = Run("vantoro search", latencies(lambda q: engine.search(q, K), queries, args.budget))
    out["runs"]["search_instance"] = Run("vantoro search_instance",
                                         latencies(lambda q: engine.search_instance(q, K), queries, args.budget))
    if rare_queries:
        # Rare queries touch little memory: every engine gets one warm pass over
        # them first, so that no function profits from the one measured before it.
        warm = len(rare_queries)
        out["rare"]["search"] = Run("", latencies(lambda q: engine.search(q, K), rare_queries, args.budget,
                                                  warmup=warm))
        out["rare"]["search_instance"] = Run("", latencies(lambda q: engine.search_instance(q, K),
                                                           rare_queries, args.budget, warmup=warm))
    out["top"]["vantoro"] = [engine.search(q, K) for q in reference_queries]
    out["top"]["vantoro_instance"] = [engine.search_instance(q, K) for q in reference_queries]
    if quality:
        out["quality"]["vantoro search"] = quality(lambda q: engine.search(q, 100))
        out["quality"]["vantoro search_instance"] = quality(lambda q: engine.search_instance(q, 100))
    del engine
    gc.collect()

    for name in peers:
        module, cls = engines.PEERS[name]
        if not engines.available(module):
            print(f"  {name}: not installed, skipped (see bench/README.md)")
            continue
        engine = cls()
        out["build"][name], _ = _timed(engine.build, pairs)
        subset = queries
        if name == "rank-bm25":
            subset = queries[:rank_bm25_cap(n_docs, args.rank_bm25_max_queries)]
        out["runs"][name] = Run(name, latencies(lambda q: engine.search(q, K), subset, args.budget))
        if rare_queries:
            rare_subset = rare_queries[:len(subset)]
            warm = 2 if name == "rank-bm25" else len(rare_subset)  # rank-bm25 scans everything anyway
            out["rare"][name] = Run("", latencies(lambda q: engine.search(q, K), rare_subset, args.budget,
                                                  warmup=warm))
        out["top"][name] = [engine.search(q, K) for q in reference_queries[:min(len(subset), 20)]]
        if quality:
            out["quality"][name] = quality(lambda q: engine.search(q, 100))
        if name == "bm25s" and args.batch:
            out["bm25s_batch"] = {}
            for threads in (1, 2):
                out["bm25s_batch"][threads] = _batch_rate(lambda qs: engine.batch(qs, K, n_threads=threads),
                                                          queries, 3 * args.batch_seconds)
        del engine
        gc.collect()
    return out


def _timed(fn, *a):
    start = time.perf_counter()
    result = fn(*a)
    return time.perf_counter() - start, result


def _batch_rate(run_batch, queries, min_seconds: float, rounds: int = 3) -> float:
    """Queries per second of run_batch(queries): the best of ``rounds`` rounds of at
    least min_seconds / rounds each (the best round is the one least disturbed by
    other load on the machine)."""
    run_batch(queries[:10])  # warm-up: starts the worker pool
    best = 0.0
    for _ in range(rounds):
        done, start = 0, time.perf_counter()
        while True:
            run_batch(queries)
            done += len(queries)
            elapsed = time.perf_counter() - start
            if elapsed >= min_seconds / rounds:
                break
        best = max(best, done / elapsed)
    return best


# --------------------------------------------------------------------------
# batch_search with a given pool size: one subprocess per pool size
# --------------------------------------------------------------------------
#
# The pool size is read once per process, so each size gets its own process.
# Both processes build the same index and stay alive; their measurement rounds
# alternate, so that a burst of other load on the machine hits both sizes
# alike, and each size reports its best round.

def batch_child(n_docs: int, n_queries: int, seconds: float) -> None:
    engine = engines.Vantoro()
    corpus = corpora.synthetic_corpus(n_docs)
    queries = corpora.synthetic_queries(corpus, n_queries)
    engine.build(corpus.pairs())
    del corpus
    gc.collect()
    engine.index.batch_search(queries[:10], K)  # starts the worker pool
    print("ready", flush=True)
    for line in sys.stdin:
        if line.strip() != "round":
            break
        cpu, wall = time.process_time(), time.perf_counter()
        batch = _batch_rate(lambda qs: engine.index.batch_search(qs, K), queries, seconds, rounds=1)
        # Processor time over wall time: how many cores the pool actually got.
        cores = (time.process_time() - cpu) / (time.perf_counter() - wall)
        loop = _batch_rate(lambda qs: [engine.index.search(q, K) for q in qs], queries, seconds, rounds=1)
        print(json.dumps({"batch_qps": batch, "loop_qps": loop, "batch_cores": cores}), flush=True)


def batch_scaling(n_docs: int, n_queries: int, seconds: float, rounds: int = 4) -> dict:
    """{threads: {"batch_qps", "loop_qps"}} for 1 and 2 pool threads, best of ``rounds``."""
    children = {}
    for threads in (1, 2):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        env.pop("RAYON_RS_NUM_CPUS", None)
        cmd = [sys.executable, os.path.abspath(__file__), "--batch-child", str(n_docs),
               "--queries", str(n_queries), "--batch-seconds", str(seconds)]
        children[threads] = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    best = {t: {"batch_qps": 0.0, "loop_qps": 0.0, "batch_cores": 0.0} for t in children}
    try:
        for child in children.values():
            if child.stdout.readline().strip() != "ready":
                raise RuntimeError("batch subprocess failed to start")
        for _ in range(rounds):
            for threads, child in children.items():
                child.stdin.write("round\n")
                child.stdin.flush()
                result = json.loads(child.stdout.readline())
                if result["batch_qps"] > best[threads]["batch_qps"]:
                    best[threads]["batch_qps"] = result["batch_qps"]
                    best[threads]["batch_cores"] = result["batch_cores"]
                best[threads]["loop_qps"] = max(best[threads]["loop_qps"], result["loop_qps"])
    finally:
        for child in children.values():
            child.stdin.close()
            child.wait()
    return best


# --------------------------------------------------------------------------
# Reports
# --------------------------------------------------------------------------

def report_corpus(title: str, m: dict, peers, batch=None) -> None:
    print(f"\n=== {title}: {m['docs']:,} documents ===")
    rows = []
    for label, key in (("vantoro search", "search"), ("vantoro search_instance", "search_instance")):
        run = m["runs"][key]
        build = fmt_time(m["build"]["vantoro"]) if key == "search" else "(same index)"
        rows.append([label, build, len(run.times), fmt_time(run.p50), fmt_time(run.p99), "1.00x" if key == "search"
                     else fmt_ratio(speedup(run, m["runs"]["search"]))])
    for name in peers:
        if name in m["runs"]:
            run = m["runs"][name]
            rows.append([name, fmt_time(m["build"][name]), len(run.times), fmt_time(run.p50), fmt_time(run.p99),
                         fmt_ratio(speedup(run, m["runs"]["search"]))])
    print("Build time and top-10 single-query latency; last column: median over the queries of this row's "
          "time / vantoro search's time on the same query (vantoro search speed-up)")
    print_table(["engine", "build", "queries", "p50", "p99", "time vs search"], rows)
    if m.get("postings"):
        print(f"vantoro build: add_documents {fmt_time(m['add_s'])}, freeze {fmt_time(m['freeze_s'])} "
              f"= {fmt_rate(m['postings'] / m['freeze_s'], 'posting')} frozen ({m['postings']:,} postings)")
    else:
        print(f"vantoro build: add_documents {fmt_time(m['add_s'])}, freeze {fmt_time(m['freeze_s'])}")

    agree = [f"search vs search_instance {overlap_at_k(m['top']['vantoro'], m['top']['vantoro_instance']):.2f}"]
    for name in peers:
        if name in m["top"]:
            agree.append(f"vs {name} {overlap_at_k(m['top']['vantoro'], m['top'][name]):.2f}")
    print("Top-10 overlap with vantoro search (first 20 queries; idf variants differ, so not 1.0): "
          + ", ".join(agree))

    if batch:
        one, two = batch[1], batch[2]
        rows = [["vantoro search, loop in Python", fmt_rate(one["loop_qps"], "q"), fmt_rate(two["loop_qps"], "q"),
                 fmt_ratio(two["loop_qps"] / one["loop_qps"])],
                ["vantoro batch_search", fmt_rate(one["batch_qps"], "q"), fmt_rate(two["batch_qps"], "q"),
                 fmt_ratio(two["batch_qps"] / one["batch_qps"])],
                ["  cores busy in that round (CPU time / wall time)", f"{one['batch_cores']:.2f}",
                 f"{two['batch_cores']:.2f}", ""]]
        if "bm25s_batch" in m:
            b = m["bm25s_batch"]
            rows.append(["bm25s retrieve(all queries, n_threads)", fmt_rate(b[1], "q"), fmt_rate(b[2], "q"),
                         fmt_ratio(b[2] / b[1])])
        print("Batch throughput, best round (vantoro: two subprocesses with RAYON_NUM_THREADS=1 / =2, "
              "rounds alternating; the loop row is single-threaded in both, so its 2 / 1 shows the noise)")
        print_table(["", "1 thread", "2 threads", "2 / 1"], rows)

    if m["quality"]:
        rows = [[name, f"{mean_ap:.4f}", f"{ndcg:.4f}"] for name, (mean_ap, ndcg) in m["quality"].items()]
        print("Ranking quality over the judged queries (MAP over the top 100; nDCG@10 with gains 4..1 "
              "for relevance codes 1..4)")
        print_table(["engine", "MAP@100", "nDCG@10"], rows)


def report_rare(results, peers) -> None:
    names = ["search", "search_instance"] + [p for p in peers if any(p in m["rare"] for m in results)]
    rows = []
    for m in results:
        if not m["rare"]:
            continue
        row = [f"{m['docs']:,}", f"{m['rare_postings']:.1f}"]
        for name in names:
            run = m["rare"].get(name)
            row.append(fmt_time(run.p50) if run else "-")
        rows.append(row)
    if rows:
        print("\n=== Latency (p50) of a 2-token query of rare tokens (each in 8 to 12 documents) "
              "as the corpus grows ===")
        print_table(["docs", "postings visited"] + ["vantoro " + n if n in ("search", "search_instance") else n
                                                    for n in names], rows)


def report_summary(results, peers) -> None:
    print("\n=== Summary: vantoro search speed-up (median of per-query peer time / vantoro search time) ===")
    rows = []
    for m in results:
        row = [m["title"]]
        for name in peers:
            run = m["runs"].get(name)
            row.append(fmt_ratio(speedup(run, m["runs"]["search"])) if run else "-")
        row.append(fmt_ratio(speedup(m["runs"]["search_instance"], m["runs"]["search"])))
        b = m.get("batch")
        row.append(fmt_ratio(b[2]["batch_qps"] / b[1]["batch_qps"]) if b else "-")
        row.append(fmt_rate(m["postings"] / m["freeze_s"], "posting") if m.get("postings") else "-")
        rows.append(row)
    print_table(["corpus"] + [f"vs {p}" for p in peers] + ["search_instance/search", "batch 2t/1t",
                                                          "freeze"], rows)


# --------------------------------------------------------------------------

def cranfield_quality(cran):
    judged = [(qid, q) for qid, q in zip(cran.query_ids, cran.queries) if qid in cran.qrels]

    def quality(search):
        aps, ndcgs = [], []
        for qid, q in judged:
            ranked = search(q)
            codes = cran.qrels[qid]
            aps.append(corpora.average_precision(ranked, set(codes)))
            ndcgs.append(corpora.ndcg_at(ranked, corpora.cranfield_gains(codes), 10))
        return sum(aps) / len(aps), sum(ndcgs) / len(ndcgs)

    return quality


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated document counts")
    parser.add_argument("--queries", type=int, default=500, help="synthetic queries per size")
    parser.add_argument("--peers", default="rank-bm25,bm25s,tantivy", help="comma-separated peers to compare")
    parser.add_argument("--budget", type=float, default=15.0, help="seconds per latency measurement")
    parser.add_argument("--rank-bm25-max-queries", type=int, default=0,
                        help="cap on rank-bm25 queries (default: 2,000,000 / docs, at least 10)")
    parser.add_argument("--batch-seconds", type=float, default=1.0,
                        help="seconds per throughput round (best of 4 rounds; 3 for bm25s)")
    parser.add_argument("--no-batch", dest="batch", action="store_false", help="skip batch_search throughput")
    parser.add_argument("--cranfield", default=DEFAULT_CRANFIELD, help="directory of the Cranfield collection")
    parser.add_argument("--no-cranfield", action="store_true")
    parser.add_argument("--batch-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.batch_child:
        batch_child(args.batch_child, args.queries, args.batch_seconds)
        return

    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s]
    peers = [p for p in args.peers.split(",") if p]
    unknown = [p for p in peers if p not in engines.PEERS]
    if unknown:
        parser.error(f"unknown peers: {', '.join(unknown)}")
    import vantoro  # noqa: F401  (fail early if the module is not installed)

    print(__doc__.split("\n\n", 2)[2].strip())
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; k = {K}; "
          f"load average at start: {os.getloadavg()[0]:.2f}")
    results = []
    for n_docs in sizes:
        start = time.perf_counter()
        corpus = corpora.synthetic_corpus(n_docs)
        queries = corpora.synthetic_queries(corpus, args.queries)
        rare_tokens = corpora.tokens_with_df(corpus, 8, 12, 2 * 50)
        rare_queries = [rare_tokens[i:i + 2] for i in range(0, len(rare_tokens) - 1, 2)]
        df = corpus.document_frequencies()
        rank = {t: r for r, t in enumerate(corpus.vocab)}
        rare_postings = (sum(int(df[rank[t]]) for q in rare_queries for t in q) / len(rare_queries)
                         if rare_queries else float("nan"))
        postings = corpus.n_postings()
        pairs = corpus.pairs()
        print(f"\n[{n_docs:,} docs: {corpus.n_tokens:,} tokens, {postings:,} postings, "
              f"corpus made in {time.perf_counter() - start:.1f} s]")
        del corpus, df, rank
        gc.collect()
        m = measure_corpus(pairs, queries, rare_queries, peers, args, postings=postings)
        m["title"] = f"synthetic {n_docs:,}"
        m["rare_postings"] = rare_postings
        del pairs
        gc.collect()
        if args.batch:
            m["batch"] = batch_scaling(n_docs, args.queries, args.batch_seconds)
        report_corpus("Synthetic", m, peers, m.get("batch"))
        results.append(m)

    report_rare(results, peers)

    if not args.no_cranfield:
        path = os.path.abspath(args.cranfield)
        if not os.path.exists(os.path.join(path, "cran.all.1400")):
            print(f"\nCranfield collection not found at {path}: skipped (pass --cranfield DIR)")
        else:
            cran = corpora.load_cranfield(path)
            postings = sum(len(set(d)) for d in cran.docs)
            m = measure_corpus(cran.pairs(), cran.queries, [], peers, args, postings=postings,
                               quality=cranfield_quality(cran))
            m["title"] = "Cranfield"
            report_corpus(f"Cranfield ({len(cran.queries)} queries, {len(cran.qrels)} judged)", m, peers)
            results.append(m)

    report_summary(results, peers)
    print(f"load average at end (1 / 5 / 15 min): {' / '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
