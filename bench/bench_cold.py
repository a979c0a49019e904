"""The first round of queries after building against later rounds.

A user's first queries meet an index that is not in the processor's caches;
this reports how much slower that first round is than the ones after it, for
the installed vantoro (or the one on PYTHONPATH). Each round is the same
batch of "drawn from documents" queries, answered with batch_search; the
time is the calling process's processor time (all its threads) and its wall
time, with the minor page faults of the round.

    python bench/bench_cold.py --docs 1000000 --queries 300 --rounds 3
"""
import argparse
import resource
import sys
import time

import corpus as corpora
from common import fd1_to_devnull


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--docs", type=int, default=1_000_000)
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--query-set", default="drawn", choices=["drawn", "zipf"])
    args = parser.parse_args()

    import vantoro

    data = corpora.synthetic_corpus(args.docs)
    queries = corpora.query_set(args.query_set, data, args.queries)
    bm = vantoro.BM25()
    with fd1_to_devnull():
        bm.add_documents(data.pairs())
        bm.freeze()
    del data
    print(f"vantoro from {vantoro.__file__}")
    print(f"{args.docs:,} documents, {len(queries)} {args.query_set} queries, top 10")
    for round_number in range(1, args.rounds + 1):
        usage = resource.getrusage(resource.RUSAGE_SELF)
        wall = time.perf_counter()
        bm.batch_search(queries, 10)
        wall = time.perf_counter() - wall
        after = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (after.ru_utime + after.ru_stime) - (usage.ru_utime + usage.ru_stime)
        faults = after.ru_minflt - usage.ru_minflt
        print(f"round {round_number}: {len(queries) / wall:8.0f} q/s wall, {len(queries) / cpu:8.0f} q/s of processor time, "
              f"{faults} minor page faults")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
