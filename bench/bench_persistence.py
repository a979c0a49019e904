"""Saving and loading: MB/s of the index files, against bm25s and plain json.

    python bench/bench_persistence.py                    # 100,000 and 1,000,000 documents
    python bench/bench_persistence.py --sizes 100000     # one size
    python bench/bench_persistence.py --no-peers         # vantoro only
    python bench/bench_persistence.py --repeat 5         # best of 5 (default 3)

Every engine runs in a fresh subprocess on the same synthetic corpus
(documents of about 50 tokens from a Zipf-like vocabulary, fixed seed; see
corpus.py). Files go to a temporary directory (--dir to choose one); loads
read them back from the page cache, warm. Figures are the best of --repeat
runs, in megabytes (10^6 bytes) of saved files per second.

- vantoro encode / decode: the engine alone, no file I/O and no interpreter
  (bench/native/persist_bench.cpp, built with g++ on first use).
- vantoro save / load: the whole Python calls `save(dir)` and `load(dir)`,
  both files, messages on fd 1 sent to /dev/null.
- vantoro add_documents: building the same index from the Python lists, the
  cost that a load replaces.
- json.dumps / json.loads: the standard library on dictionaries equal to the
  two files' contents (compact separators, ensure_ascii=False), MB/s of the
  UTF-8 text.
- bm25s save / load: `BM25.save(dir)` and `BM25.load(dir)` of a bm25s model
  indexed from the same token lists (its own file format: numpy arrays and a
  vocabulary), MB/s of the files it writes.

Goals: encode >= 500 MB/s, decode >= 300 MB/s, and load faster than
add_documents of the same documents.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from common import fd1_to_devnull, print_table  # noqa: E402
from engines import available  # noqa: E402

GOAL_ENCODE = 500.0
GOAL_DECODE = 300.0


def dir_bytes(path: str) -> int:
    total = 0
    for base, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(base, f)) for f in files)
    return total


def best(repeat: int, fn) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


# --------------------------------------------------------------------------
# Children: one engine, one size, figures as one JSON line
# --------------------------------------------------------------------------

def child_vantoro(n_docs: int, doc_len: int, repeat: int, directory: str) -> dict:
    import vantoro
    from corpus import synthetic_corpus

    pairs = synthetic_corpus(n_docs, doc_len=doc_len).pairs()
    bm = vantoro.BM25()
    start = time.perf_counter()
    with fd1_to_devnull():
        bm.add_documents(pairs)
    add_s = time.perf_counter() - start

    with fd1_to_devnull():
        save_s = best(repeat, lambda: bm.save(directory))
    size = dir_bytes(directory)
    loaded = vantoro.BM25()
    with fd1_to_devnull():
        load_s = best(repeat, lambda: loaded.load(directory))
    for doc_id, tokens in pairs[:: max(1, n_docs // 20)]:
        assert loaded.search_instance(tokens[:3], 5) == bm.search_instance(tokens[:3], 5), doc_id
    return {"bytes": size, "add_s": add_s, "save_s": save_s, "load_s": load_s}


def child_json(n_docs: int, doc_len: int, repeat: int, directory: str) -> dict:
    from corpus import synthetic_corpus

    corpus = synthetic_corpus(n_docs, doc_len=doc_len)
    documents, tokens = {}, {}
    for doc_id, toks in zip(corpus.ids, corpus.docs):
        counts = collections.Counter(toks)
        documents[doc_id] = {"id": doc_id, "maps": dict(counts)}
        for t, c in counts.items():
            entry = tokens.get(t)
            if entry is None:
                entry = tokens[t] = {"text": t, "maps": {}}
            entry["maps"][doc_id] = c
    del corpus
    out = {}
    for name, obj in (("documents", documents), ("tokens", tokens)):
        text = None

        def dump():
            nonlocal text
            text = json.dumps(obj, ensure_ascii=False, separators=(",", ":"))

        dumps_s = best(repeat, dump)
        size = len(text.encode("utf-8"))
        loads_s = best(repeat, lambda: json.loads(text))
        out[name] = {"bytes": size, "dumps_s": dumps_s, "loads_s": loads_s}
        del text
    return out


def child_bm25s(n_docs: int, doc_len: int, repeat: int, directory: str) -> dict:
    import bm25s
    from corpus import synthetic_corpus

    corpus = synthetic_corpus(n_docs, doc_len=doc_len)
    model = bm25s.BM25(k1=1.2, b=0.75)
    start = time.perf_counter()
    model.index(corpus.docs, show_progress=False)
    index_s = time.perf_counter() - start
    del corpus
    path = os.path.join(directory, "bm25s")
    save_s = best(repeat, lambda: model.save(path))
    size = dir_bytes(path)
    load_s = best(repeat, lambda: bm25s.BM25.load(path))
    return {"bytes": size, "index_s": index_s, "save_s": save_s, "load_s": load_s}


def native_binary() -> str | None:
    """bench/native/persist_bench built under build/bench (g++, once)."""
    out = os.path.join(ROOT, "build", "bench", "persist_bench")
    source = os.path.join(HERE, "native", "persist_bench.cpp")
    sources = [source]
    for sub in ("persist", "index", "progress"):
        folder = os.path.join(ROOT, "utils", sub)
        sources += [os.path.join(folder, f) for f in sorted(os.listdir(folder)) if f.endswith(".cpp")]
    newest = max(os.path.getmtime(s) for s in sources + [os.path.join(ROOT, "utils", "index", "index.hpp")])
    if os.path.exists(out) and os.path.getmtime(out) >= newest:
        return out
    if shutil.which("g++") is None:
        return None
    os.makedirs(os.path.dirname(out), exist_ok=True)
    print("building bench/native/persist_bench.cpp ...", flush=True)
    cmd = ["g++", "-std=c++20", "-O2", "-DNDEBUG", "-I" + os.path.join(ROOT, "utils"), *sources, "-o", out, "-lpthread"]
    subprocess.run(cmd, check=True)
    return out


def child_native(n_docs: int, doc_len: int, repeat: int, directory: str) -> dict:
    binary = native_binary()
    if binary is None:
        return {}
    figures = {}
    for _ in range(repeat):
        out = subprocess.run([binary, str(n_docs), str(doc_len), directory], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        for line in out.splitlines():
            if line.endswith("MB/s"):  # "<name, 24 columns> <s> s <MB> MB <rate> MB/s"
                name, rate = line[:24].strip(), float(line.split()[-2])
                figures[name] = max(figures.get(name, 0.0), rate)
    return figures


CHILDREN = {"vantoro": child_vantoro, "json": child_json, "bm25s": child_bm25s, "native": child_native}


def run_child(engine: str, n_docs: int, args) -> dict | None:
    directory = tempfile.mkdtemp(prefix="vantoro-bench-", dir=args.dir)
    try:
        cmd = [sys.executable, os.path.abspath(__file__), "--child", engine, "--sizes", str(n_docs),
               "--doc-len", str(args.doc_len), "--repeat", str(args.repeat), "--dir", directory]
        result = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
        if result.returncode != 0:
            print(f"  {engine} at {n_docs:,} documents failed (exit {result.returncode})", flush=True)
            return None
        return json.loads(result.stdout.strip().splitlines()[-1])
    finally:
        shutil.rmtree(directory, ignore_errors=True)


def mbps(size: float, seconds: float) -> str:
    return f"{size / 1e6 / seconds:,.0f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="100000,1000000", help="comma-separated document counts")
    parser.add_argument("--doc-len", type=int, default=50, help="mean tokens per document")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept")
    parser.add_argument("--no-peers", action="store_true", help="skip bm25s and json")
    parser.add_argument("--no-native", action="store_true", help="skip the engine-only encode/decode figures")
    parser.add_argument("--dir", default=None, help="where the files are written (default: the temp directory)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s]

    if args.child:
        print(json.dumps(CHILDREN[args.child](sizes[0], args.doc_len, args.repeat, args.dir)))
        return

    print(__doc__.split("\n\n", 2)[2].split("\nGoals")[0].strip())
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; "
          f"load average at start: {os.getloadavg()[0]:.2f}\n")
    for n_docs in sizes:
        rows = []
        v = run_child("vantoro", n_docs, args)
        if not args.no_native:
            n = run_child("native", n_docs, args) or {}
            for key, label, goal in (("encode both", "vantoro encode (engine)", GOAL_ENCODE),
                                     ("decode both", "vantoro decode (engine)", GOAL_DECODE)):
                if key in n:
                    rows.append([label, "", f"{n[key]:,.0f}", f">= {goal:.0f}: " + ("yes" if n[key] >= goal else "NO")])
        if v:
            rows.append(["vantoro save()", f"{v['save_s']:.2f} s", mbps(v["bytes"], v["save_s"]), ""])
            ok = "yes" if v["load_s"] < v["add_s"] else "NO"
            rows.append(["vantoro load()", f"{v['load_s']:.2f} s", mbps(v["bytes"], v["load_s"]),
                         f"< add_documents: {ok}"])
            rows.append(["vantoro add_documents()", f"{v['add_s']:.2f} s", "", "the build a load replaces"])
        if not args.no_peers:
            j = run_child("json", n_docs, args)
            if j:
                size = j["documents"]["bytes"] + j["tokens"]["bytes"]
                dumps_s = j["documents"]["dumps_s"] + j["tokens"]["dumps_s"]
                loads_s = j["documents"]["loads_s"] + j["tokens"]["loads_s"]
                rows.append(["json.dumps (both dicts)", f"{dumps_s:.2f} s", mbps(size, dumps_s), ""])
                rows.append(["json.loads (both texts)", f"{loads_s:.2f} s", mbps(size, loads_s), ""])
            if available("bm25s"):
                b = run_child("bm25s", n_docs, args)
                if b:
                    rows.append(["bm25s save()", f"{b['save_s']:.2f} s", mbps(b["bytes"], b["save_s"]),
                                 f"{b['bytes'] / 1e6:,.0f} MB of files"])
                    rows.append(["bm25s load()", f"{b['load_s']:.2f} s", mbps(b["bytes"], b["load_s"]), ""])
                    rows.append(["bm25s index()", f"{b['index_s']:.2f} s", "", "its build"])
            else:
                print("bm25s is not installed: skipped (pip install bm25s)")
        size_note = f"{v['bytes'] / 1e6:,.0f} MB of JSON" if v else ""
        print(f"{n_docs:,} documents ({size_note})")
        print_table(["", "time", "MB/s", "note"], rows)
        print()


if __name__ == "__main__":
    main()
