"""Batch search on a local Ray cluster against a local batch_search.

    python bench/bench_ray.py                              # 1,000,000 documents, 100,000 queries
    python bench/bench_ray.py --docs 100000 --queries 20000
    python bench/bench_ray.py --dir /tmp/ray-bench-index   # keep the saved index for later runs
    python bench/bench_ray.py --ship                       # also start a pool through the object store

Needs the `ray` extra (pip install '.[ray]') and numpy. Steps, each apart
so that no two copies of the index are built at once where avoidable:

1. A subprocess builds the synthetic corpus (corpus.py), adds it, saves the
   index and writes the queries (2 to 5 words, rare words included) beside it.
   Skipped when --dir already holds them.
2. Local: a subprocess with RAYON_NUM_THREADS=<cpus> runs BM25().load(dir)
   and freeze(), then one batch_search(queries, n) per round.
3. Ray: ray.init(num_cpus=<cpus>); a SearchPool of --actors actors, each with
   <cpus>/<actors> CPUs and as many search threads, loads and freezes the
   index (start-up: the wall time until every actor is ready, and each
   actor's own load and freeze times).
4. --rounds rounds, each a local batch_search and then the pool's
   batch_search of the same queries, alternating so that other load on the
   machine hits both alike; best round of each, and the ratio of the
   median rounds. The pool's results are
   checked against the local ones (same lengths, same scores up to the
   rounding of sums).

Read the ratio of the two throughputs: absolute figures on a shared 2-core
machine are noisy.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import fmt_rate, fmt_time, pool_env, print_table  # noqa: E402

QUERIES_FILE = "bench_queries.json"

BUILD = r"""
import json, os, sys, time
sys.path.insert(0, {here!r})
from common import fd1_to_devnull
from corpus import synthetic_corpus, synthetic_queries
import vantoro
corpus = synthetic_corpus({docs})
queries = synthetic_queries(corpus, {queries})
with open(os.path.join({dir!r}, {qfile!r}), "w") as f:
    json.dump(queries, f)
bm = vantoro.BM25()
with fd1_to_devnull():
    bm.add_documents(corpus.pairs())
del corpus
with fd1_to_devnull():
    bm.save({dir!r})
"""

LOCAL = r"""
import json, os, sys, time
import numpy as np
sys.path.insert(0, {here!r})
from common import fd1_to_devnull, peak_rss_bytes
import vantoro
with open(os.path.join({dir!r}, {qfile!r})) as f:
    queries = json.load(f)
bm = vantoro.BM25()
start = time.perf_counter()
with fd1_to_devnull():
    bm.load({dir!r})
loaded = time.perf_counter()
with fd1_to_devnull():
    bm.freeze()
frozen = time.perf_counter()
print(json.dumps({{"load_s": loaded - start, "freeze_s": frozen - loaded}}), flush=True)
for command in sys.stdin:
    if command.strip() != "search":
        break
    start = time.perf_counter()
    results = bm.batch_search(queries, {n})
    print(json.dumps({{"search_s": time.perf_counter() - start}}), flush=True)
scores = np.full((len(queries), {n}), np.nan, dtype=np.float64)
for i, result in enumerate(results):
    scores[i, :len(result)] = [s for _, s in result]
np.save({scores!r}, scores)
print(json.dumps({{"peak_rss": peak_rss_bytes()}}), flush=True)
"""


def build_index(directory, docs, queries):
    code = BUILD.format(here=HERE, docs=docs, queries=queries, dir=directory, qfile=QUERIES_FILE)
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True)
    return time.perf_counter() - start


class LocalSearcher:
    """A subprocess holding the index loaded and frozen, that runs one
    batch_search per request, so that its rounds can alternate with the
    pool's and other load on the machine hits both alike."""

    def __init__(self, directory, n, threads, scores_path):
        code = LOCAL.format(here=HERE, dir=directory, qfile=QUERIES_FILE, n=n, scores=scores_path)
        env = pool_env(threads)
        self.process = subprocess.Popen([sys.executable, "-c", code], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.startup = self._reply()

    def _reply(self):
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the local search process ended early")
        return json.loads(line)

    def search(self):
        self.process.stdin.write("search\n")
        self.process.stdin.flush()
        return self._reply()["search_s"]

    def finish(self):
        """Writes the last results' scores; returns the process's peak RSS."""
        self.process.stdin.close()
        peak = self._reply()["peak_rss"]
        self.process.wait()
        return peak


def check_against_local(results, scores_path, n):
    import numpy as np

    expected = np.load(scores_path)
    got = np.full(expected.shape, np.nan)
    for i, result in enumerate(results):
        got[i, :len(result)] = [s for _, s in result]
    same_lengths = bool((np.isnan(got) == np.isnan(expected)).all())
    close = bool(np.allclose(np.nan_to_num(got), np.nan_to_num(expected), rtol=1e-6, atol=0))
    return same_lengths and close


def run(directory, queries, args, scores_path):
    import ray
    import vantoro_ray

    out = {}
    local = LocalSearcher(directory, args.n, args.cpus, scores_path)
    out["local_startup"] = local.startup
    ray.init(num_cpus=args.cpus, include_dashboard=False, log_to_driver=False,
             object_store_memory=max(256 << 20, 3 * _index_bytes(directory)) if args.ship else 256 << 20)
    try:
        per_actor = args.cpus / args.actors
        per_actor = int(per_actor) if per_actor >= 1 else per_actor
        start = time.perf_counter()
        with vantoro_ray.SearchPool(directory, args.actors, per_actor) as pool:
            out["actors"] = pool.wait_ready()
            out["pool_startup_s"] = time.perf_counter() - start
            local_times, ray_times, driver_cpu = [], [], []
            for _ in range(args.rounds):
                local_times.append(local.search())
                start, cpu = time.perf_counter(), time.process_time()
                results = pool.batch_search(queries, args.n, progress=False)
                ray_times.append(time.perf_counter() - start)
                driver_cpu.append(time.process_time() - cpu)
            out["local_times"], out["ray_times"], out["results"] = local_times, ray_times, results
            out["driver_cpu_s"] = min(driver_cpu)
        out["local_peak_rss"] = local.finish()
        if args.ship:
            start = time.perf_counter()
            shipped = vantoro_ray.put_index(directory)
            put_s = time.perf_counter() - start
            with vantoro_ray.SearchPool(shipped, args.actors, per_actor) as pool:
                timings = pool.wait_ready()
                out["ship"] = (put_s, time.perf_counter() - start, timings)
            del shipped
    finally:
        if local.process.poll() is None:
            local.process.kill()
        ray.shutdown()
    return out


def _index_bytes(directory):
    return sum(os.path.getsize(os.path.join(directory, name)) for name in ("index.json", "token_index.json"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=100_000)
    parser.add_argument("-n", type=int, default=10)
    parser.add_argument("--actors", type=int, default=2)
    parser.add_argument("--cpus", type=int, default=2, help="CPUs of the local Ray cluster, and local threads")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", help="directory for the saved index (kept; reused when it holds one)")
    parser.add_argument("--ship", action="store_true", help="also start a pool through the object store")
    args = parser.parse_args()

    temporary = None
    directory = args.dir
    if directory is None:
        temporary = tempfile.TemporaryDirectory(prefix="vantoro-ray-bench-")
        directory = temporary.name
    os.makedirs(directory, exist_ok=True)
    directory = os.path.abspath(directory)
    try:
        if not os.path.exists(os.path.join(directory, QUERIES_FILE)):
            print(f"building and saving {args.docs:,} documents, {args.queries:,} queries ...", flush=True)
            print(f"  {fmt_time(build_index(directory, args.docs, args.queries))}", flush=True)
        with open(os.path.join(directory, QUERIES_FILE)) as f:
            queries = json.load(f)
        print(f"index files: {_index_bytes(directory) / 1e6:.0f} MB; {len(queries):,} queries, n = {args.n}")

        scores_path = os.path.join(directory, "local_scores.npy")
        out = run(directory, queries, args, scores_path)
        equal = check_against_local(out["results"], scores_path, args.n)
        local_s, ray_s = min(out["local_times"]), min(out["ray_times"])
        local_start = out["local_startup"]

        q = len(queries)
        print()
        print_table(
            ["run", "load", "freeze", "start-up wall", "search (best)", "throughput", "rounds (s)"],
            [
                [f"local batch_search, {args.cpus} threads", fmt_time(local_start["load_s"]),
                 fmt_time(local_start["freeze_s"]), fmt_time(local_start["load_s"] + local_start["freeze_s"]),
                 fmt_time(local_s), fmt_rate(q / local_s, "queries"),
                 " ".join(f"{t:.2f}" for t in out["local_times"])],
                *[[f"  Ray actor {i}", fmt_time(t["load_s"]), fmt_time(t["freeze_s"]), "", "", "", ""]
                  for i, t in enumerate(out["actors"])],
                [f"Ray pool, {args.actors} actors x {args.cpus / args.actors:g} CPU", "", "",
                 fmt_time(out["pool_startup_s"]), fmt_time(ray_s), fmt_rate(q / ray_s, "queries"),
                 " ".join(f"{t:.2f}" for t in out["ray_times"])],
            ],
        )
        print(f"\nRay / local throughput: {local_s / ray_s:.2f}x (best rounds), "
              f"{statistics.median(out['local_times']) / statistics.median(out['ray_times']):.2f}x (median rounds); "
              f"results equal to local: {'yes' if equal else 'NO'}; "
              f"local process peak RSS {out['local_peak_rss'] / 2**30:.2f} GiB")
        print(f"driver CPU time per query (checking, chunking, rebuilding results; least of the rounds): "
              f"{out['driver_cpu_s'] / q * 1e6:.2f} us")
        if "ship" in out:
            put_s, total_s, timings = out["ship"]
            print(f"object store: put_index {fmt_time(put_s)}, put + pool start-up {fmt_time(total_s)} "
                  f"(actor fetch + write + load: {', '.join(fmt_time(t['load_s']) for t in timings)})")
        if not equal:
            sys.exit(1)
    finally:
        if temporary is not None:
            temporary.cleanup()


if __name__ == "__main__":
    main()
