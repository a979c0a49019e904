"""Saving and loading: time, MB/s and memory of the index files, against rebuilding.

    python bench/bench_persistence.py                    # 100,000 and 1,000,000 documents
    python bench/bench_persistence.py --sizes 100000     # one size
    python bench/bench_persistence.py --ids padded --dirs /dev/shm
    python bench/bench_persistence.py --disk-dir /var/tmp --repeat 5
    python bench/bench_persistence.py --vocab 2000000    # a vocabulary as large as real text's

For each size and identifier style ("short": d0, d1, ...; "padded":
doc-00000000, 12 bytes; "uuid": 36 bytes) and each directory (/dev/shm,
memory-backed, and a disk directory, --disk-dir), on the same synthetic corpus
(documents of about 50 tokens from a Zipf-like vocabulary, fixed seed; see
corpus.py):

- a subprocess times add_documents of the documents (the build that a load
  replaces) --repeat times, each into a new index (after the first build, it
  times save(dir) --repeat times); after each build it also times a load of
  the saved files, so that builds and loads alternate within the same
  minutes: the "paired" ratio of the best of each does not drift with the
  machine's speed between one subprocess and the next. It runs with
  RAYON_NUM_THREADS=2, as the two-thread loads below;
- two more subprocesses load the files --repeat times each, one with
  RAYON_NUM_THREADS=1 and one with =2 (load's parallelism follows the pool
  size); every load goes into a new index after the previous one was freed,
  from warm files (page cache). Reported: the best time, MB/s of the saved
  files (10^6 bytes), add_documents time / load time, the peak resident memory
  during a load over the process' resident memory before it, and the resident
  memory the loaded index keeps;
- `dd bs=1M conv=fsync` of as many bytes as the index files into the same
  directory, --repeat times (the best is kept), for the speed the storage
  itself writes at. On a virtual machine whose host backs memory only when
  it is touched, writing new memory-backed files varies several-fold from
  one minute to the next (dd into /dev/shm: 240 to 2,500 MB/s): the /dev/shm
  rows give dd's figure too.

Reference rows for the first identifier style, in /tmp-like storage:
- vantoro encode / decode: the engine alone, no file I/O and no interpreter
  (bench/native/persist_bench.cpp, built with g++ on first use);
- json.dumps / json.loads: the standard library on dictionaries equal to the
  two files' contents (compact separators, ensure_ascii=False);
- bm25s save / load: its own file format (numpy arrays and a vocabulary) for
  a model indexed from the same token lists.

Goals: load at least 3x faster than add_documents and >= 1 GB/s; save
>= 800 MB/s into /dev/shm and >= 80 % of dd's speed on a disk; peak memory
during a load at most the new index + 128 MB (the old index is empty here).
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

from common import (fd1_to_devnull, peak_rss_bytes, pool_env, print_table,  # noqa: E402
                    release_free_memory, reset_peak_rss, rss_bytes)
from corpus import DEFAULT_VOCAB, ID_STYLES  # noqa: E402
from engines import available  # noqa: E402

GOAL_LOAD_VS_ADD = 3.0
GOAL_LOAD_MBPS = 1000.0
GOAL_SAVE_SHM_MBPS = 800.0
GOAL_SAVE_VS_DD = 0.8
GOAL_LOAD_PEAK_EXTRA = 128e6
# Reference goals of the engine-only encode/decode figures.
GOAL_ENCODE = 500.0
GOAL_DECODE = 300.0
SHM = "/dev/shm"


def dir_bytes(path: str) -> int:
    total = 0
    for base, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(base, f)) for f in files)
    return total


def best(repeat: int, fn) -> float:
    return min(all_times(repeat, fn))


def all_times(repeat: int, fn) -> list:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return times



# --------------------------------------------------------------------------
# Children: one engine, one size, figures as one JSON line
# --------------------------------------------------------------------------

def timed_load(bm, directory: str, n_docs: int):
    """Seconds that bm.load(directory) takes, and bm. The message on fd 1
    ("Loaded index with D documents and T tokens") goes to a file, to check
    that the whole index came back."""
    with tempfile.TemporaryFile() as out:
        sys.stdout.flush()
        saved = os.dup(1)
        os.dup2(out.fileno(), 1)
        try:
            start = time.perf_counter()
            bm.load(directory)
            seconds = time.perf_counter() - start
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        out.seek(0)
        message = out.read().decode(errors="replace")
    if f"Loaded index with {n_docs} documents" not in message:
        raise SystemExit(f"load did not report {n_docs} documents: {message!r}")
    return seconds, bm


def child_save(n_docs: int, args) -> dict:
    """add_documents, then save into args.dir (which keeps the files); each
    build is followed by a load of the files, for the paired ratio."""
    import vantoro
    from corpus import synthetic_corpus

    pairs = synthetic_corpus(n_docs, doc_len=args.doc_len, vocab_size=args.vocab, id_style=args.ids).pairs()
    # As many builds as loads, each into a new index after the last one was
    # freed: both sides of the ratio are the best of the same number of runs.
    add_times, save_times, paired_loads = [], [], []
    for round_ in range(args.repeat):
        bm = None
        release_free_memory()
        bm = vantoro.BM25()
        start = time.perf_counter()
        with fd1_to_devnull():
            bm.add_documents(pairs)
        add_times.append(time.perf_counter() - start)
        if round_ == 0:
            with fd1_to_devnull():
                save_times = all_times(args.repeat, lambda: bm.save(args.dir))
        bm = None
        release_free_memory()
        seconds, _ = timed_load(vantoro.BM25(), args.dir, n_docs)
        paired_loads.append(seconds)
    return {"bytes": dir_bytes(args.dir), "add_s": min(add_times), "add_times": add_times, "save_times": save_times,
            "paired_load_times": paired_loads}


def child_load(n_docs: int, args) -> dict:
    """Loads args.dir --repeat times, each into a new index after freeing the last."""
    import vantoro

    times, peaks, kept = [], [], []
    for _ in range(args.repeat):
        release_free_memory()
        before = rss_bytes()
        reset_peak_rss()
        seconds, bm = timed_load(vantoro.BM25(), args.dir, n_docs)
        times.append(seconds)
        peaks.append(peak_rss_bytes() - before)
        release_free_memory()
        kept.append(rss_bytes() - before)
        del bm
    return {"load_times": times, "peak_growth": peaks, "kept": kept}


def child_json(n_docs: int, args) -> dict:
    from corpus import synthetic_corpus

    corpus = synthetic_corpus(n_docs, doc_len=args.doc_len, vocab_size=args.vocab, id_style=args.ids)
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

        dumps_s = best(args.repeat, dump)
        size = len(text.encode("utf-8"))
        loads_s = best(args.repeat, lambda: json.loads(text))
        out[name] = {"bytes": size, "dumps_s": dumps_s, "loads_s": loads_s}
        del text
    return out


def child_bm25s(n_docs: int, args) -> dict:
    import bm25s
    from corpus import synthetic_corpus

    corpus = synthetic_corpus(n_docs, doc_len=args.doc_len, vocab_size=args.vocab, id_style=args.ids)
    model = bm25s.BM25(k1=1.2, b=0.75)
    start = time.perf_counter()
    model.index(corpus.docs, show_progress=False)
    index_s = time.perf_counter() - start
    del corpus
    path = os.path.join(args.dir, "bm25s")
    save_s = best(args.repeat, lambda: model.save(path))
    size = dir_bytes(path)
    load_s = best(args.repeat, lambda: bm25s.BM25.load(path))
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
    # The module's own release flags: at -O2 a load ran about a third slower.
    cmd = ["g++", "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math",
           "-I" + os.path.join(ROOT, "utils"), *sources, "-o", out, "-lpthread"]
    subprocess.run(cmd, check=True)
    return out


def child_native(n_docs: int, args) -> dict:
    binary = native_binary()
    if binary is None or args.vocab != DEFAULT_VOCAB:  # its corpus has the default vocabulary only
        return {}
    figures = {}
    for _ in range(args.repeat):
        out = subprocess.run([binary, str(n_docs), str(args.doc_len), args.dir, args.ids], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        for line in out.splitlines():
            # "<name, 24 columns> <s> s <MB> MB <rate> MB/s  (processor <s> s)"
            words = line[24:].split()
            if "MB/s" in words:
                name, rate = line[:24].strip(), float(words[words.index("MB/s") - 1])
                figures[name] = max(figures.get(name, 0.0), rate)
    return figures


CHILDREN = {"save": child_save, "load": child_load, "json": child_json, "bm25s": child_bm25s,
            "native": child_native}


def run_child(engine: str, n_docs: int, args, directory: str, id_style: str, env=None) -> dict | None:
    cmd = [sys.executable, os.path.abspath(__file__), "--child", engine, "--sizes", str(n_docs),
           "--doc-len", str(args.doc_len), "--vocab", str(args.vocab), "--repeat", str(args.repeat), "--dir", directory,
           "--ids", id_style]
    result = subprocess.run(cmd, stdout=subprocess.PIPE, text=True, env=env)
    if result.returncode != 0:
        print(f"  {engine} at {n_docs:,} documents failed (exit {result.returncode})", flush=True)
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def dd_mbps(directory: str, size_bytes: int, repeat: int) -> float | None:
    """MB/s of `dd if=/dev/zero bs=1M conv=fsync` writing about ``size_bytes`` into ``directory``, best of
    ``repeat`` runs. Each writes a new file beside the saved ones, as a save does beside the files it replaces."""
    count = max(64, min(2048, size_bytes // 2**20))
    target = os.path.join(directory, f".vantoro-bench-dd-{os.getpid()}")
    fastest = None
    for _ in range(repeat):
        try:
            start = time.perf_counter()
            done = subprocess.run(["dd", "if=/dev/zero", f"of={target}", "bs=1M", f"count={count}", "conv=fsync"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
        except OSError:
            return None
        finally:
            if os.path.exists(target):
                os.remove(target)
        if done.returncode != 0:
            return None
        fastest = seconds if fastest is None else min(fastest, seconds)
    return count * 2**20 / 1e6 / fastest


def measure(n_docs: int, id_style: str, directory: str, args, threads=(1, 2)) -> dict | None:
    """Save and load figures for one size, identifier style and directory."""
    work = tempfile.mkdtemp(prefix="vantoro-bench-", dir=directory)
    try:
        saved = run_child("save", n_docs, args, work, id_style, pool_env(max(threads)))
        if not saved:
            return None
        out = dict(saved, docs=n_docs, ids=id_style, dir=directory, load={})
        for t in threads:
            loaded = run_child("load", n_docs, args, work, id_style, pool_env(t))
            if loaded:
                out["load"][t] = loaded
        out["dd_mbps"] = dd_mbps(directory, saved["bytes"], args.repeat) if args.dd else None
        return out
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --------------------------------------------------------------------------
# Tables
# --------------------------------------------------------------------------

def _mb(x: float) -> str:
    return f"{x / 1e6:,.0f}"


def _goal(ok: bool) -> str:
    return "yes" if ok else "NO"


def paired_ratio(result: dict) -> float | None:
    """add_documents time over the best load that alternated with the builds, or None if none ran."""
    loads = result.get("paired_load_times")
    return result["add_s"] / min(loads) if loads else None


def persistence_table(results: list):
    """One row per (size, ids, directory, load threads); goals in brackets."""
    headers = ["docs", "ids", "directory", "files MB", "add_documents", "save", "save MB/s", "dd MB/s",
               "load threads", "load", "load MB/s", "add / load", "paired", "load peak MB", "index MB after",
               "peak - index MB"]
    rows = []
    for r in results:
        size, save_s = r["bytes"], min(r["save_times"])
        save_rate = size / 1e6 / save_s
        if r["dir"] == SHM:
            # dd's figure here shows what the machine gave new memory-backed
            # files at the time; the goal stays the fixed rate.
            of_dd = f"; {save_rate / r['dd_mbps'] * 100:.0f}% of dd" if r.get("dd_mbps") else ""
            save_note = f"{save_rate:,.0f} ({_goal(save_rate >= GOAL_SAVE_SHM_MBPS)}{of_dd})"
        elif r.get("dd_mbps"):
            save_note = f"{save_rate:,.0f} ({save_rate / r['dd_mbps'] * 100:.0f}% of dd: " \
                        f"{_goal(save_rate >= GOAL_SAVE_VS_DD * r['dd_mbps'])})"
        else:
            save_note = f"{save_rate:,.0f}"
        paired_threads = max(r["load"]) if r["load"] else None
        for t, load in sorted(r["load"].items()):
            load_s = min(load["load_times"])
            # Builds and loads that alternated in one subprocess (two threads).
            alternating = paired_ratio(r) if t == paired_threads else None
            paired = f"{alternating:.2f}x ({_goal(alternating >= GOAL_LOAD_VS_ADD)})" if alternating else "-"
            rate = size / 1e6 / load_s
            ratio = r["add_s"] / load_s
            # The load whose peak rose most over the index it kept (a peak of
            # one load over the index of another would mix two moments).
            peak, kept = max(zip(load["peak_growth"], load["kept"]), key=lambda pk: pk[0] - pk[1])
            rows.append([f"{r['docs']:,}", r["ids"], r["dir"], _mb(size), f"{r['add_s']:.2f} s", f"{save_s:.2f} s",
                         save_note, f"{r['dd_mbps']:,.0f}" if r.get("dd_mbps") else "-", str(t), f"{load_s:.2f} s",
                         f"{rate:,.0f} ({_goal(rate >= GOAL_LOAD_MBPS)})",
                         f"{ratio:.2f}x ({_goal(ratio >= GOAL_LOAD_VS_ADD)})", paired, _mb(peak), _mb(kept),
                         f"{(peak - kept) / 1e6:,.0f} ({_goal(peak - kept <= GOAL_LOAD_PEAK_EXTRA)})"])
    return headers, rows


def reference_rows(n_docs: int, args, id_style: str) -> list:
    rows = []
    directory = tempfile.mkdtemp(prefix="vantoro-bench-", dir=args.disk_dir)
    try:
        if args.native:
            n = run_child("native", n_docs, args, directory, id_style) or {}
            for key, label, goal in (("encode both", "vantoro encode (engine only)", GOAL_ENCODE),
                                     ("decode both", "vantoro decode (engine only)", GOAL_DECODE)):
                if key in n:
                    rows.append([label, "", f"{n[key]:,.0f}", f">= {goal:.0f}: {_goal(n[key] >= goal)}"])
        if args.peers:
            j = run_child("json", n_docs, args, directory, id_style)
            if j:
                size = j["documents"]["bytes"] + j["tokens"]["bytes"]
                dumps_s = j["documents"]["dumps_s"] + j["tokens"]["dumps_s"]
                loads_s = j["documents"]["loads_s"] + j["tokens"]["loads_s"]
                rows.append(["json.dumps (both dicts)", f"{dumps_s:.2f} s", f"{size / 1e6 / dumps_s:,.0f}", ""])
                rows.append(["json.loads (both texts)", f"{loads_s:.2f} s", f"{size / 1e6 / loads_s:,.0f}", ""])
            if available("bm25s"):
                b = run_child("bm25s", n_docs, args, directory, id_style)
                if b:
                    rows.append(["bm25s save()", f"{b['save_s']:.2f} s", f"{b['bytes'] / 1e6 / b['save_s']:,.0f}",
                                 f"{b['bytes'] / 1e6:,.0f} MB of files"])
                    rows.append(["bm25s load()", f"{b['load_s']:.2f} s", f"{b['bytes'] / 1e6 / b['load_s']:,.0f}",
                                 ""])
                    rows.append(["bm25s index()", f"{b['index_s']:.2f} s", "", "its build"])
            else:
                print("bm25s is not installed: skipped (pip install bm25s)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)
    return rows


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="100000,1000000", help="comma-separated document counts")
    parser.add_argument("--ids", default=",".join(ID_STYLES), help="identifier styles: " + ", ".join(ID_STYLES))
    parser.add_argument("--dirs", default=None,
                        help="comma-separated directories (default: /dev/shm and --disk-dir)")
    parser.add_argument("--disk-dir", default=tempfile.gettempdir(), help="a directory on a disk")
    parser.add_argument("--doc-len", type=int, default=50, help="mean tokens per document")
    parser.add_argument("--vocab", type=int, default=DEFAULT_VOCAB,
                        help="words the Zipf-like ranks are drawn over (real text of this size meets millions)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept")
    parser.add_argument("--no-peers", dest="peers", action="store_false", help="skip bm25s and json")
    parser.add_argument("--no-native", dest="native", action="store_false",
                        help="skip the engine-only encode/decode figures")
    parser.add_argument("--no-dd", dest="dd", action="store_false", help="skip the dd reference")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--dir", help=argparse.SUPPRESS)
    return parser


def directories(args) -> list:
    if args.dirs:
        return [d for d in args.dirs.split(",") if d]
    return ([SHM] if os.path.isdir(SHM) else []) + [args.disk_dir]


def main(argv=None) -> None:
    parser = build_parser()
    args = parser.parse_args(argv)
    sizes = [int(s.replace("_", "")) for s in args.sizes.split(",") if s]

    if args.child:
        print(json.dumps(CHILDREN[args.child](sizes[0], args)))
        return
    styles = [s for s in args.ids.split(",") if s]
    if any(s not in ID_STYLES for s in styles):
        parser.error(f"identifier styles are among {', '.join(ID_STYLES)}")

    print(__doc__.split("\n\n", 2)[2].split("\nGoals")[0].strip())
    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} CPUs; "
          f"load average at start: {os.getloadavg()[0]:.2f}; ranks drawn over {args.vocab:,} words\n")
    for n_docs in sizes:
        results = []
        for style in styles:
            for directory in directories(args):
                r = measure(n_docs, style, directory, args)
                if r:
                    results.append(r)
        print(f"{n_docs:,} documents: best of {args.repeat}; goals in brackets (load >= {GOAL_LOAD_MBPS:,.0f} MB/s "
              f"and >= {GOAL_LOAD_VS_ADD:.0f}x faster than add_documents; save >= {GOAL_SAVE_SHM_MBPS:,.0f} MB/s "
              f"into {SHM}, >= {GOAL_SAVE_VS_DD * 100:.0f}% of dd on a disk; load peak <= index + 128 MB)")
        print_table(*persistence_table(results))
        if args.native or args.peers:
            rows = reference_rows(n_docs, args, styles[0])
            if rows:
                print(f"\nReference ({styles[0]!r} ids, files in {args.disk_dir})")
                print_table(["", "time", "MB/s", "note"], rows)
        print()
    print(f"load average at end (1 / 5 / 15 min): {' / '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
