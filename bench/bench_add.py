"""Adding documents: throughput and memory per posting, next to bm25s and tantivy.

    python bench/bench_add.py                      # 100,000 and 1,000,000 documents
    python bench/bench_add.py --sizes 100000       # one size
    python bench/bench_add.py --peers ''           # vantoro only

Every measurement runs in a fresh subprocess, so that one measurement's heap
does not hide or inflate the next one's. In each subprocess:

1. the synthetic corpus (documents of about 50 tokens, Zipf vocabulary) is
   built as Python lists, its postings (distinct (document, token) pairs) and
   string bytes are counted, and freed memory is handed back (gc + malloc_trim);
2. the resident set size is read (baseline: interpreter + corpus) and the
   peak counter is reset (/proc/self/clear_refs);
3. the documents are added, with file descriptor 1 sent to /dev/null because
   add_documents writes a progress line per document there;
4. the resident set size (retained) and its peak (VmHWM) are read again.

Index memory is the growth over the baseline, so the corpus' own Python
objects, which exist before and after, are not counted. Bytes per posting
"beyond strings" subtract the UTF-8 bytes of the distinct identifiers and
tokens, the least any index must keep for the strings themselves.

bm25s (index() of the token lists) and tantivy (an index in RAM built as in
the search benchmark: 512 MB writer heap, one writer thread, commit and merge)
are measured the same way, each in its own subprocess, their modules
imported before the baseline; so are rank-bm25 and PISA with --peers (PISA
keeps its index in files that it maps: resident memory counts the mapped
pages it touched).

Goals: >= 10 million tokens/s through add_documents; <= 24 bytes per posting
at the peak of adding; after add_documents + freeze <= 12 bytes per posting
retained and a peak (adding or freezing) at most 25 % above that, all beyond
strings.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import (fd1_to_devnull, fmt_rate, peak_rss_bytes, print_table, release_free_memory,  # noqa: E402
                    reset_peak_rss, rss_bytes)
from corpus import DEFAULT_ID_STYLE, ID_STYLES  # noqa: E402
import engines  # noqa: E402
from engines import available  # noqa: E402

GOAL_TOKENS_PER_S = 10e6
GOAL_BYTES_PER_POSTING = 24.0
# After add_documents + freeze: retained beyond strings, and the peak of
# either step at most this factor above it.
GOAL_FROZEN_BYTES_PER_POSTING = 12.0
GOAL_FROZEN_PEAK_FACTOR = 1.25



# Peers whose memory can be measured (keys of engines.PEERS); the default set
# is the first two.
PEER_MODES = ("bm25s", "tantivy", "rank-bm25", "pisa")
DEFAULT_PEERS = ("bm25s", "tantivy")


def measure(mode: str, n_docs: int, doc_len: int, freeze: bool, id_style: str = DEFAULT_ID_STYLE) -> dict:
    """Runs one measurement in this process; returns its figures."""
    import vantoro
    from corpus import synthetic_corpus

    corpus = synthetic_corpus(n_docs, doc_len=doc_len, id_style=id_style)
    pairs = corpus.pairs()
    postings = corpus.n_postings()
    string_bytes = corpus.string_bytes()
    corpus._df = None  # drop the cached frequency array before the baseline
    index = vantoro.BM25()
    if mode in PEER_MODES:
        import importlib

        import engines
        module, cls = engines.PEERS[mode]
        index = cls()
        importlib.import_module(module)  # its modules are loaded before the baseline
    release_free_memory()
    baseline = rss_bytes()
    peak_reset = reset_peak_rss()

    start = time.perf_counter()
    if mode in PEER_MODES:
        index.build(pairs)
    elif mode == "add_documents":
        with fd1_to_devnull():
            index.add_documents(pairs)
    else:
        add = index.add_document
        for doc_id, tokens in pairs:
            add(doc_id, tokens)
    seconds = time.perf_counter() - start
    peak = peak_rss_bytes()
    release_free_memory()
    retained = rss_bytes()

    result = {
        "mode": mode, "docs": n_docs, "tokens": corpus.n_tokens, "postings": postings,
        "string_bytes": string_bytes, "seconds": seconds, "baseline": baseline,
        "retained": retained, "peak": peak, "peak_reset": peak_reset,
    }
    if freeze and mode not in PEER_MODES:
        reset_peak_rss()
        start = time.perf_counter()
        with fd1_to_devnull():  # freeze writes a progress line per token
            index.freeze()
        result["freeze_seconds"] = time.perf_counter() - start
        result["freeze_peak"] = peak_rss_bytes()
        release_free_memory()
        result["frozen_retained"] = rss_bytes()
    return result


def run_child(mode: str, n_docs: int, doc_len: int, freeze: bool, id_style: str = DEFAULT_ID_STYLE) -> dict:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", mode,
           "--sizes", str(n_docs), "--doc-len", str(doc_len), "--ids", id_style]
    if freeze:
        cmd.append("--freeze")
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def per_posting(r: dict, rss: int) -> tuple:
    growth = rss - r["baseline"]
    return growth / r["postings"], (growth - r["string_bytes"]) / r["postings"]


def memory_figures(r: dict) -> dict:
    """Bytes per posting of one child's result, for the index as it is used:
    vantoro after add_documents + freeze (peak: the higher of the two steps),
    a peer after its build."""
    if "frozen_retained" in r:
        retained, peak = r["frozen_retained"], max(r["peak"], r["freeze_peak"])
    else:
        retained, peak = r["retained"], r["peak"]
    kept, kept_beyond = per_posting(r, retained)
    high, high_beyond = per_posting(r, peak)
    return {"retained": kept, "retained_beyond": kept_beyond, "peak": high, "peak_beyond": high_beyond,
            "postings": r["postings"], "string_bytes": r["string_bytes"], "seconds": r["seconds"]}


def peer_memory(n_docs: int, peers, doc_len: int = 50, id_style: str = DEFAULT_ID_STYLE) -> dict:
    """{engine: memory_figures} for vantoro (add_documents + freeze) and each
    installed peer of ``peers``; a peer that is not installed maps to None."""
    out = {"vantoro": memory_figures(run_child("add_documents", n_docs, doc_len, True, id_style))}
    for peer in peers:
        installed = available(engines.PEERS[peer][0])
        out[peer] = memory_figures(run_child(peer, n_docs, doc_len, False, id_style)) if installed else None
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="100000,1000000", help="comma-separated document counts")
    parser.add_argument("--doc-len", type=int, default=50, help="mean tokens per document")
    parser.add_argument("--no-freeze", action="store_true", help="skip the memory/time of freeze")
    parser.add_argument("--ids", default=DEFAULT_ID_STYLE, choices=ID_STYLES, help="document identifier style")
    parser.add_argument("--peers", default=",".join(DEFAULT_PEERS),
                        help="peers whose memory is measured on the same tokens ('' for none), among "
                             + ", ".join(PEER_MODES))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--freeze", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s]
    peers = [p for p in args.peers.split(",") if p]
    if any(p not in PEER_MODES for p in peers):
        parser.error(f"peers are among {', '.join(PEER_MODES)}")

    if args.child:
        print(json.dumps(measure(args.child, sizes[0], args.doc_len, args.freeze, args.ids)))
        return

    print(__doc__.split("\n\n", 2)[2].split("\nGoals")[0].strip())
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; load average at start: {os.getloadavg()[0]:.2f}\n")
    rows, mem_rows = [], []
    for n_docs in sizes:
        bulk = run_child("add_documents", n_docs, args.doc_len, not args.no_freeze, args.ids)
        loop = run_child("add_document", n_docs, args.doc_len, False, args.ids)
        for r in (bulk, loop):
            rate = r["tokens"] / r["seconds"]
            goal = ""
            if r["mode"] == "add_documents":
                goal = "yes" if rate >= GOAL_TOKENS_PER_S else "NO"
            rows.append([f"{n_docs:,}", r["mode"], f"{r['tokens']:,}", f"{r['seconds']:.2f} s",
                         fmt_rate(rate, "tok"), fmt_rate(n_docs / r["seconds"], "doc"), goal])
            if not r["peak_reset"]:
                print("note: peak RSS could not be reset; peaks include corpus generation")
            kept, kept_beyond = per_posting(r, r["retained"])
            peak, peak_beyond = per_posting(r, r["peak"])
            mem_rows.append([f"{n_docs:,}", f"after {r['mode']}", f"{r['postings']:,}",
                             f"{r['string_bytes'] / 2**20:.1f} MiB",
                             f"{kept:.1f}", f"{kept_beyond:.1f}", f"{peak:.1f}", f"{peak_beyond:.1f}",
                             "yes" if peak_beyond <= GOAL_BYTES_PER_POSTING else "NO"])
        if "freeze_seconds" in bulk:
            r = bulk
            kept, kept_beyond = per_posting(r, r["frozen_retained"])
            peak, peak_beyond = per_posting(r, r["freeze_peak"])
            f = memory_figures(r)
            met = f["retained_beyond"] <= GOAL_FROZEN_BYTES_PER_POSTING and \
                f["peak_beyond"] <= GOAL_FROZEN_PEAK_FACTOR * f["retained_beyond"]
            mem_rows.append([f"{n_docs:,}", "after add + freeze", f"{r['postings']:,}",
                             f"{r['string_bytes'] / 2**20:.1f} MiB",
                             f"{kept:.1f}", f"{kept_beyond:.1f}", f"{peak:.1f}", f"{peak_beyond:.1f}",
                             "yes" if met else "NO"])
            rows.append([f"{n_docs:,}", "freeze", f"{r['postings']:,} postings", f"{r['freeze_seconds']:.2f} s",
                         fmt_rate(r["postings"] / r["freeze_seconds"], "posting"), "", ""])
        for peer in peers:
            if not available(engines.PEERS[peer][0]):
                print(f"{peer} is not installed: skipped")
                continue
            r = run_child(peer, n_docs, args.doc_len, False, args.ids)
            f = memory_figures(r)
            mem_rows.append([f"{n_docs:,}", f"{peer}, after its build", f"{r['postings']:,}",
                             f"{r['string_bytes'] / 2**20:.1f} MiB", f"{f['retained']:.1f}",
                             f"{f['retained_beyond']:.1f}", f"{f['peak']:.1f}", f"{f['peak_beyond']:.1f}", ""])

    print("Throughput (goal: >= 10 M tokens/s through add_documents)")
    print_table(["docs", "operation", "tokens", "time", "tokens/s", "docs/s", "goal met"], rows)
    print()
    print("Memory per posting: RSS growth over the baseline / postings (goals, beyond strings: after adding, "
          "peak <= 24 B; after add + freeze, retained <= 12 B and the peak of either step <= 1.25x that). "
          "The add + freeze row's peak is the freeze step's; peers: after their build")
    print_table(["docs", "state", "postings", "string bytes", "retained B/post", "beyond strings",
                 "peak B/post", "beyond strings", "goal met"], mem_rows)
    print(f"load average at end (1 / 5 / 15 min): {' / '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
