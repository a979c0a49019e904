"""One benchmark report against every peer: docs/benchmarks.md and PNG charts.

    python bench/report.py                  # full run: 10k, 100k, 1M documents (10M if memory allows), Cranfield
    python bench/report.py --quick          # a few minutes: 10k and 100k documents
    python bench/report.py --out /tmp/report --cranfield ../shared/data/cranfield

Runs the search, adding/memory and persistence benchmarks (bench_search.py,
bench_add.py, bench_persistence.py) in one run and writes what they measured,
side by side, into ``--out`` (default: docs/ of the repository):
benchmarks.md, one PNG per chart (matplotlib; without it the report says so
and has no charts) and benchmarks.json with the charted figures. Peers that
are not installed are skipped with a line in the report.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import bench_add  # noqa: E402
import bench_persistence  # noqa: E402
import bench_search  # noqa: E402
import corpus as corpora  # noqa: E402
import engines  # noqa: E402
from common import fmt_rate, fmt_ratio, fmt_time  # noqa: E402

PROFILES = {
    "full": {"sizes": "10000,100000,1000000,10000000", "queries": 1000, "budget": 10.0, "batch_seconds": 1.0,
             "rounds": 4, "memory_sizes": "100000,1000000", "persistence_sizes": "100000,1000000",
             "persistence_ids": "short,padded,uuid", "repeat": 3},
    "quick": {"sizes": "10000,100000", "queries": 500, "budget": 3.0, "batch_seconds": 0.5, "rounds": 3,
              "memory_sizes": "100000", "persistence_sizes": "100000", "persistence_ids": "padded", "repeat": 2},
}
# Resident memory one process needs per synthetic document at its peak: the
# corpus as Python lists plus vantoro's index (measured: about 2,250 bytes at
# 200,000 documents). Sizes that would not fit are skipped with a line.
BYTES_PER_DOC = 2300
PEER_NAMES = {"rank-bm25": "rank-bm25", "bm25s": "bm25s", "tantivy": "tantivy", "pisa": "PISA"}
DISPLAY_SET = "drawn"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few-minute run: " + ", ".join(
        f"{k}={v}" for k, v in PROFILES["quick"].items()))
    parser.add_argument("--out", default=os.path.join(ROOT, "docs"), help="directory for the report and charts")
    parser.add_argument("--peers", default=bench_search.DEFAULT_PEERS, help="comma-separated peers ('' for none)")
    parser.add_argument("--sizes", help="synthetic corpus sizes for search and building")
    parser.add_argument("--queries", type=int, help="queries per query set and size")
    parser.add_argument("--budget", type=float, help="seconds per latency measurement")
    parser.add_argument("--batch-seconds", type=float, help="seconds per throughput measurement in a round")
    parser.add_argument("--rounds", type=int, help="throughput rounds")
    parser.add_argument("--memory-sizes", help="sizes for memory per posting")
    parser.add_argument("--persistence-sizes", help="sizes for save and load")
    parser.add_argument("--persistence-ids", help="identifier styles for save and load")
    parser.add_argument("--repeat", type=int, help="runs per save/load measurement")
    parser.add_argument("--ids", default=corpora.DEFAULT_ID_STYLE, choices=corpora.ID_STYLES,
                        help="identifier style of the search and memory corpora")
    parser.add_argument("--dirs", help="directories for save and load (default: /dev/shm and --disk-dir)")
    parser.add_argument("--disk-dir", default=None, help="a directory on a disk (default: the temp directory)")
    parser.add_argument("--no-dd", dest="dd", action="store_false", help="skip the dd reference for save")
    parser.add_argument("--cranfield", default=bench_search.DEFAULT_CRANFIELD, help="Cranfield directory")
    parser.add_argument("--no-cranfield", action="store_true")
    parser.add_argument("--no-charts", dest="charts", action="store_false")
    parser.add_argument("--max-process-gib", type=float, default=6.0,
                        help="sizes needing more memory than this in one process are skipped")
    parser.add_argument("--tmp-dir", default=None, help="where PISA's index files go")
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="interpreter with another vantoro build: its throughput rows run beside this one's")
    return parser


def settings(args) -> dict:
    profile = PROFILES["quick" if args.quick else "full"]
    return {k: getattr(args, k) if getattr(args, k) is not None else v for k, v in profile.items()}


def sizes_of(text: str) -> list:
    return [int(s.replace("_", "")) for s in text.split(",") if s.strip()]


# --------------------------------------------------------------------------
# Machine and software
# --------------------------------------------------------------------------

def _read(path: str) -> str:
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def _meminfo(field: str) -> int:
    for line in _read("/proc/meminfo").splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    return 0


def version(dist: str) -> str | None:
    from importlib import metadata
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def machine() -> dict:
    cpu = next((line.split(":", 1)[1].strip() for line in _read("/proc/cpuinfo").splitlines()
                if line.startswith("model name")), platform.processor() or "unknown")
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    thp = _read("/sys/kernel/mm/transparent_hugepage/enabled").strip()
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
    except OSError:
        commit, dirty = "", ""
    import vantoro
    libs = {name: version(name) for name in ("vantoro", "numpy", "rank-bm25", "bm25s", "numba", "tantivy",
                                             "pyterrier-pisa", "python-terrier", "pandas", "matplotlib")}
    return {"cpu": cpu, "cpus": os.cpu_count(), "usable_cpus": usable, "memory": _meminfo("MemTotal"),
            "available": _meminfo("MemAvailable"), "kernel": platform.release(), "thp": thp,
            "python": sys.version.split()[0], "libs": libs, "commit": commit + (" (with local changes)" if dirty else ""),
            "module": vantoro.__file__}


# --------------------------------------------------------------------------
# Running
# --------------------------------------------------------------------------

def search_args(args, s: dict):
    argv = ["--queries", str(s["queries"]), "--budget", str(s["budget"]), "--batch-seconds", str(s["batch_seconds"]),
            "--rounds", str(s["rounds"]), "--ids", args.ids, "--peers", args.peers]
    if args.tmp_dir:
        argv += ["--tmp-dir", args.tmp_dir]
    if args.baseline:
        argv += ["--baseline", args.baseline]
    return bench_search.build_parser().parse_args(argv)


def persistence_args(args, s: dict):
    argv = ["--repeat", str(s["repeat"]), "--no-native", "--no-peers"]
    if args.disk_dir:
        argv += ["--disk-dir", args.disk_dir]
    if args.dirs:
        argv += ["--dirs", args.dirs]
    if not args.dd:
        argv.append("--no-dd")
    return bench_persistence.build_parser().parse_args(argv)


def fits(n_docs: int, args) -> str | None:
    """None if ``n_docs`` fits in memory, else why not."""
    need = n_docs * BYTES_PER_DOC
    limit = min(args.max_process_gib * 2**30, _meminfo("MemAvailable") or float("inf"))
    if need <= limit:
        return None
    return (f"{n_docs:,} documents skipped: one process would need about {need / 2**30:.0f} GiB (the corpus as "
            f"Python lists and the index, {BYTES_PER_DOC:,} bytes per document), over the "
            f"{limit / 2**30:.1f} GiB allowed per process here (--max-process-gib, memory available)")


def run(args) -> dict:
    s = settings(args)
    peers = [p for p in args.peers.split(",") if p]
    started = time.time()
    data = {"settings": s, "argv": sys.argv[1:], "machine": machine(), "load_start": os.getloadavg(),
            "started": datetime.datetime.now().astimezone().isoformat(timespec="seconds"), "peers": peers,
            "skipped_sizes": [], "search": [], "cranfield": None, "cranfield_note": None, "memory": {},
            "persistence": []}
    sargs = search_args(args, s)

    for n_docs in sizes_of(s["sizes"]):
        why = fits(n_docs, args)
        if why:
            print(why, flush=True)
            data["skipped_sizes"].append(why)
            continue
        m = bench_search.run_size(n_docs, sargs, peers)
        bench_search.print_corpus(m)
        data["search"].append(m)

    if args.no_cranfield:
        data["cranfield_note"] = "Cranfield not run (--no-cranfield)."
    else:
        path = os.path.abspath(args.cranfield)
        data["cranfield"] = bench_search.run_cranfield(path, sargs, peers)
        if data["cranfield"] is None:
            data["cranfield_note"] = f"Cranfield collection not found at `{path}`: quality not measured " \
                                     "(pass --cranfield DIR)."
        else:
            data["cranfield"]["path"] = path
            bench_search.print_corpus(data["cranfield"])

    memory_peers = [p for p in peers if p in bench_add.PEER_MODES]
    for n_docs in sizes_of(s["memory_sizes"]):
        if fits(n_docs, args):
            continue
        print(f"\n[memory per posting at {n_docs:,} documents]", flush=True)
        data["memory"][n_docs] = bench_add.peer_memory(n_docs, memory_peers, id_style=args.ids)

    pargs = persistence_args(args, s)
    for n_docs in sizes_of(s["persistence_sizes"]):
        if fits(n_docs, args):
            continue
        for style in [x for x in s["persistence_ids"].split(",") if x]:
            for directory in bench_persistence.directories(pargs):
                print(f"\n[save and load: {n_docs:,} documents, {style} ids, {directory}]", flush=True)
                r = bench_persistence.measure(n_docs, style, directory, pargs)
                if r:
                    data["persistence"].append(r)

    data["load_end"] = os.getloadavg()
    data["seconds"] = time.time() - started
    return data


# --------------------------------------------------------------------------
# Figures for charts and the headline
# --------------------------------------------------------------------------

def engine_name(key: str) -> str:
    return {"search": "vantoro search", "search_instance": "vantoro search_instance"}.get(key, PEER_NAMES.get(key, key))


def series(data: dict) -> dict:
    """The charted figures: {chart: {line: {docs: value}}}."""
    out = {"build_s": {}, "qps_1_thread": {}, "qps_2_threads": {}, "memory_retained": {}, "memory_peak": {},
           "persistence_s": {}}
    for s in corpora.QUERY_SETS:
        out[f"p50_{s}"] = {}
    for m in data["search"]:
        n = m["docs"]
        for key, seconds in m["build"].items():
            out["build_s"].setdefault(engine_name(key), {})[n] = seconds
        for s, runs in m["runs"].items():
            for key, run in runs.items():
                out.setdefault(f"p50_{s}", {}).setdefault(engine_name(key), {})[n] = run.p50
        runs = m["runs"].get(DISPLAY_SET, {})
        rows = m.get("throughput", {}).get("rows", {}).get(DISPLAY_SET, {})
        for threads, chart in ((1, "qps_1_thread"), (2, "qps_2_threads")):
            for row, label in (("vantoro batch_search", "vantoro batch_search"),
                               ("baseline batch_search", "baseline vantoro batch_search")):
                if threads in rows.get(row, {}):
                    out[chart].setdefault(label, {})[n] = max(rows[row][threads])
            pisa, row = bench_search.pisa_best(m, DISPLAY_SET, threads)
            if row:
                out[chart].setdefault("PISA, best exact algorithm (batch)", {})[n] = pisa
            approx = [max(v[threads]) for r, v in rows.items() if "approximate" in r and threads in v]
            if approx:
                out[chart].setdefault("PISA, quantised impacts (approximate)", {})[n] = max(approx)
            b = m.get("bm25s_batch", {}).get(DISPLAY_SET, {}).get(threads)
            if b:
                out[chart].setdefault("bm25s retrieve (batch)", {})[n] = max(b)
        if "vantoro search loop" in rows and 1 in rows["vantoro search loop"]:
            out["qps_1_thread"].setdefault("vantoro search, Python loop", {})[n] = max(rows["vantoro search loop"][1])
        for key in ("tantivy", "rank-bm25"):
            if key in runs and runs[key].times:
                out["qps_1_thread"].setdefault(f"{PEER_NAMES[key]} (one query per call)", {})[n] = \
                    len(runs[key].times) / sum(runs[key].times)
    for n, by_engine in data["memory"].items():
        for key, f in by_engine.items():
            if f:
                out["memory_retained"].setdefault(engine_name(key), {})[n] = f["retained_beyond"]
                out["memory_peak"].setdefault(engine_name(key), {})[n] = f["peak_beyond"]
    for r in data["persistence"]:
        tag = f"{r['ids']} ids, {r['dir']}"
        adds = out["persistence_s"].setdefault(f"add_documents ({r['ids']} ids)", {})
        adds[r["docs"]] = min(adds.get(r["docs"], r["add_s"]), r["add_s"])
        out["persistence_s"].setdefault(f"save ({tag})", {})[r["docs"]] = min(r["save_times"])
        for t, load in r["load"].items():
            out["persistence_s"].setdefault(f"load, {t} thread{'s' if t > 1 else ''} ({tag})", {})[r["docs"]] = \
                min(load["load_times"])
    return out


CHARTS = [
    ("qps_1_thread", "qps_vs_docs.png", "Top-10 queries per second, 1 thread ('drawn' queries)", "queries / s"),
    ("qps_2_threads", "qps_2_threads_vs_docs.png", "Top-10 queries per second, 2 threads ('drawn' queries)",
     "queries / s"),
    ("build_s", "build_vs_docs.png", "Building the index from token lists", "seconds"),
    ("p50_drawn", "latency_drawn_vs_docs.png", "Single-query latency p50, 'drawn' queries", "seconds"),
    ("p50_zipf", "latency_zipf_vs_docs.png", "Single-query latency p50, 'zipf' queries", "seconds"),
    ("memory_peak", "memory_vs_docs.png", "Peak resident memory per posting, beyond strings", "bytes / posting"),
    ("persistence_s", "persistence_vs_docs.png", "vantoro save and load against add_documents", "seconds"),
]


def draw_charts(figures: dict, out_dir: str) -> tuple:
    """Writes the PNG charts; returns ({chart key: file name}, note or None)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return {}, "matplotlib is not installed: no charts (pip install matplotlib)."
    written = {}
    # One colour per engine (the first matching prefix), in every chart.
    palette = [("vantoro search, Python loop", "tab:cyan"), ("vantoro search_instance", "tab:cyan"),
               ("vantoro", "tab:blue"), ("baseline", "tab:gray"), ("PISA, quantised", "lightcoral"),
               ("PISA", "tab:red"), ("bm25s", "tab:green"), ("tantivy", "tab:purple"),
               ("rank-bm25", "tab:brown"), ("add_documents", "black")]
    markers = ["o", "s", "^", "v", "D", "x", "P", "*"]
    for key, name, title, unit in CHARTS:
        lines = {label: points for label, points in figures.get(key, {}).items() if points}
        if not lines:
            continue
        fig, ax = plt.subplots(figsize=(7, 4.5), dpi=100)
        sizes = set()
        for i, (label, points) in enumerate(lines.items()):
            xs = sorted(points)
            sizes.update(xs)
            ours = label.startswith("vantoro")
            color = next((c for prefix, c in palette if label.startswith(prefix)), None)
            ax.plot(xs, [points[x] for x in xs], "-" if ours else "--", marker=markers[i % len(markers)],
                    label=label, color=color, linewidth=2.5 if ours else 1.5)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sorted(sizes))
        ax.set_xticklabels([f"{x // 1_000_000}M" if x >= 1_000_000 and x % 1_000_000 == 0 else
                            f"{x // 1000}k" if x >= 1000 and x % 1000 == 0 else str(x) for x in sorted(sizes)])
        ax.minorticks_off()
        ax.set_xlabel("documents")
        ax.set_ylabel(unit)
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
        fig.tight_layout()
        fig.savefig(os.path.join(out_dir, name))
        plt.close(fig)
        written[key] = name
    return written, None


# --------------------------------------------------------------------------
# Markdown
# --------------------------------------------------------------------------

def md_table(headers, rows, numbers=True) -> str:
    """A Markdown table; with ``numbers``, columns whose cells start with digits are right-aligned."""
    def cell(x):
        return str(x).replace("|", "\\|")

    def numeric(i):
        cells = [str(r[i]).strip() for r in rows if i < len(r) and str(r[i]).strip() not in ("", "-")]
        return bool(cells) and sum(c[0].isdigit() or c[0] == "(" for c in cells) * 2 > len(cells)
    lines = ["| " + " | ".join(cell(h) for h in headers) + " |",
             "|" + "|".join("---:" if i and numbers and numeric(i) else "---" for i in range(len(headers))) + "|"]
    lines += ["| " + " | ".join(cell(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def _gib(x: float) -> str:
    return f"{x / 2**30:.1f} GiB"


def largest(data: dict):
    return data["search"][-1] if data["search"] else None


def headline(data: dict) -> list:
    """Bullet lines of ratios on the largest corpus, each pair from this run."""
    lines = []
    m = largest(data)
    if m:
        n = m["docs"]
        runs = m["runs"].get(DISPLAY_SET, {})
        if "search" in runs:
            parts = [f"{bench_search.engine_label(k)} {fmt_ratio(bench_search.speedup(r, runs['search']))}"
                     for k, r in runs.items() if k not in ("search", "search_instance")]
            lines.append(f"**Single query, {n:,} documents, 'drawn' queries:** vantoro `search` p50 "
                         f"{fmt_time(runs['search'].p50)}, p99 {fmt_time(runs['search'].p99)}; each peer's time / "
                         f"`search`'s time (median over the queries): " + (", ".join(parts) or "no peer ran") + ".")
        g = bench_search.goal_values(m, DISPLAY_SET)
        for t in (1, 2):
            if g[f"pisa{t}_row"] and g[f"batch{t}"] == g[f"batch{t}"]:
                lines.append(f"**Throughput, {t} thread{'s' if t > 1 else ''}:** `batch_search` "
                             f"{fmt_rate(g[f'batch{t}'], 'q')} against {g[f'pisa{t}_row']} "
                             f"{fmt_rate(g[f'pisa{t}'], 'q')}: {fmt_ratio(g[f'batch{t}_vs_pisa'])}.")
        b = m["build"]
        if "vantoro" in b and len(b) > 1:
            lines.append(f"**Building {n:,} documents:** vantoro {fmt_time(b['vantoro'])}; peers' time / vantoro's: "
                         + ", ".join(f"{engine_name(k)} {fmt_ratio(v / b['vantoro'])}" for k, v in b.items()
                                     if k != "vantoro") + ".")
    if data["memory"]:
        n = max(data["memory"])
        mem = data["memory"][n]
        parts = [f"{engine_name(k)} {f['retained_beyond']:.1f}" for k, f in mem.items() if f]
        lines.append(f"**Memory at {n:,} documents** (retained bytes per posting beyond strings): " + ", ".join(parts)
                     + ".")
    if data["persistence"]:
        n = max(r["docs"] for r in data["persistence"])
        parts = []
        for r in data["persistence"]:
            if r["docs"] == n and r["load"]:
                t = max(r["load"])
                paired = bench_persistence.paired_ratio(r)
                parts.append(f"{r['ids']} ids in {r['dir']}, {t} thread{'s' if t > 1 else ''}: "
                             f"{fmt_ratio(r['add_s'] / min(r['load'][t]['load_times']))}"
                             + (f" (paired {fmt_ratio(paired)})" if paired else ""))
        lines.append(f"**Loading {n:,} documents** (add_documents time / load time; paired: builds and loads "
                     "alternating in one process): " + "; ".join(parts) + ".")
    q = data["cranfield"]
    if q and q["quality"]:
        parts = [f"{engine_name(k)} {v['ndcg@10']:.3f}" for k, v in q["quality"].items() if k != "search_instance"]
        lines.append("**Quality on Cranfield (nDCG@10):** " + ", ".join(parts) + ".")
    return lines


def behind(data: dict) -> list:
    """Every comparison in this run where a peer did better than vantoro."""
    out = []
    for m in data["search"] + ([data["cranfield"]] if data["cranfield"] else []):
        where = m["title"]
        for s, runs in m["runs"].items():
            for k, r in runs.items():
                if k in ("search", "search_instance"):
                    continue
                x = bench_search.speedup(r, runs["search"])
                if x < 1:
                    out.append(f"{where}, '{s}' queries: {engine_name(k)} answers one query faster than `search` "
                               f"(its time / ours {fmt_ratio(x)}).")
                y = bench_search.speedup(r, runs["search_instance"])
                if y < 1 <= x:
                    out.append(f"{where}, '{s}' queries: {engine_name(k)} answers one query faster than "
                               f"`search_instance` (its time / ours {fmt_ratio(y)}).")
            rows = m.get("throughput", {}).get("rows", {}).get(s, {})
            for t in (1, 2):
                ours = max(rows.get("vantoro batch_search", {}).get(t, []) or [float("nan")])
                peers = {r: max(v[t]) for r, v in rows.items() if r.startswith("PISA") and t in v}
                b = m.get("bm25s_batch", {}).get(s, {}).get(t)
                if b:
                    peers["bm25s retrieve"] = max(b)
                for row, qps in peers.items():
                    if qps > ours:
                        out.append(f"{where}, '{s}' queries, {t} thread{'s' if t > 1 else ''}: {row} "
                                   f"{fmt_rate(qps, 'q')} against `batch_search` {fmt_rate(ours, 'q')}.")
        for k, sec in m["build"].items():
            if k != "vantoro" and sec < m["build"].get("vantoro", float("inf")):
                out.append(f"{where}: {engine_name(k)} builds its index faster ({fmt_time(sec)} against "
                           f"{fmt_time(m['build']['vantoro'])}).")
        for k, q in m["quality"].items():
            ours = m["quality"].get("search")
            if ours and k not in ("search", "search_instance"):
                for metric in ("ndcg@10", "map@100"):
                    if q[metric] > ours[metric]:
                        out.append(f"{where}: {engine_name(k)} ranks better by {metric} "
                                   f"({q[metric]:.4f} against {ours[metric]:.4f}).")
    for n, mem in data["memory"].items():
        ours = mem.get("vantoro")
        for k, f in mem.items():
            if k != "vantoro" and f and ours:
                for key, what in (("retained_beyond", "retained"), ("peak_beyond", "peak")):
                    if f[key] < ours[key]:
                        out.append(f"{n:,} documents: {engine_name(k)} needs less memory ({what}: {f[key]:.1f} "
                                   f"against {ours[key]:.1f} bytes per posting beyond strings).")
    for r in data["persistence"]:
        for t, load in r["load"].items():
            x = r["add_s"] / min(load["load_times"])
            if x < 1:
                out.append(f"{r['docs']:,} documents, {r['ids']} ids, {r['dir']}, {t} thread(s): `load` is slower "
                           f"than rebuilding with `add_documents` ({fmt_ratio(x)}).")
    return out


def memory_table(data: dict):
    engines_seen = []
    for mem in data["memory"].values():
        for k in mem:
            if k not in engines_seen:
                engines_seen.append(k)
    rows = []
    for n, mem in sorted(data["memory"].items()):
        for k in engines_seen:
            f = mem.get(k)
            if f is None:
                rows.append([f"{n:,}", engine_name(k), "not installed", "", "", ""])
                continue
            what = "add_documents + freeze" if k == "vantoro" else "its build"
            rows.append([f"{n:,}", engine_name(k), what, f"{f['postings']:,}", f"{f['retained_beyond']:.1f}",
                         f"{f['peak_beyond']:.1f}"])
    return ["docs", "engine", "measured after", "postings", "retained B/posting", "peak B/posting"], rows


def render(data: dict, charts: dict, chart_note, cmd: str) -> str:
    mach = data["machine"]
    s = data["settings"]
    out = ["# vantoro benchmarks", ""]
    out.append(f"Written by `{cmd}` on {data['started']}, in {data['seconds'] / 60:.1f} minutes. Every figure "
               "below comes from this one run: each ratio pairs two measurements taken side by side in it. "
               "Absolute times on a shared machine are noisy; read the ratios.")
    out.append("")
    out += ["## Headline", ""]
    out += [f"- {line}" for line in headline(data)] or ["- (nothing measured)"]
    out.append("")
    if "qps_1_thread" in charts:
        out += [f"![Queries per second against corpus size]({charts['qps_1_thread']})", ""]
    if chart_note:
        out += [chart_note, ""]

    out += ["## Machine and software", ""]
    libs = ", ".join(f"{k} {v}" for k, v in mach["libs"].items() if v)
    missing = ", ".join(k for k, v in mach["libs"].items() if not v)
    rows = [["CPU", mach["cpu"]], ["cores", f"{mach['cpus']} ({mach['usable_cpus']} usable by this process)"],
            ["memory", f"{_gib(mach['memory'])} ({_gib(mach['available'])} available at the start)"],
            ["load average (1 min) at start / end", f"{data['load_start'][0]:.2f} / {data['load_end'][0]:.2f}"],
            ["kernel; transparent huge pages", f"{mach['kernel']}; {mach['thp'] or 'unknown'}"],
            ["Python", mach["python"]], ["libraries", libs + (f" (not installed: {missing})" if missing else "")],
            ["vantoro module", f"`{mach['module']}`; repository at {mach['commit'] or 'unknown'}"]]
    out += [md_table(["", "this run"], rows, numbers=False), ""]

    out += ["## Data and method", ""]
    out.append(f"- Synthetic corpus (`bench/corpus.py`): documents of 25 to 75 tokens (mean 50) drawn from a "
               f"Zipf-like distribution (exponent {corpora.ZIPF_EXPONENT}, offset {corpora.ZIPF_OFFSET}) over "
               f"{corpora.DEFAULT_VOCAB:,} tokens, seed 42; identifiers '{data['settings'].get('ids', '')}' style "
               f"as `{corpora.document_ids(1, data.get('ids', corpora.DEFAULT_ID_STYLE))[0]}`. Sizes: "
               + ", ".join(f"{m['docs']:,}" for m in data["search"]) + ".")
    for line in data["skipped_sizes"]:
        out.append(f"- {line}.")
    for name, text in corpora.QUERY_SETS.items():
        out.append(f"- Queries '{name}': {text}; {s['queries']:,} per size.")
    out.append(f"- Repetitions: single-query latencies over up to {s['queries']:,} queries per set, at most "
               f"{s['budget']:g} s per engine and set (never fewer than 5; rank-bm25 capped, see the 'queries' "
               f"column); p99 shows the spread. Throughput: {s['rounds']} rounds of at least {s['batch_seconds']:g} s "
               f"per row, the processes' rounds alternating; the best round is shown with the worst as a share of "
               f"it. Save and load: best of {s['repeat']}. Paired speed-ups are medians over the queries of one "
               f"engine's time / the other's on the same query.")
    out.append("- " + (data["cranfield_note"] or
                       f"Cranfield: {data['cranfield']['docs']:,} documents, {data['cranfield']['queries']} queries "
                       f"({data['cranfield']['judged']} judged), from `{data['cranfield']['path']}`, tokenized into "
                       f"lowercase words without a short stop-word list."))
    out.append("")

    out += ["## Engines", ""]
    configs = {}
    for m in data["search"] + ([data["cranfield"]] if data["cranfield"] else []):
        configs.update(m["config"])
    rows = [[PEER_NAMES.get(k, k), c] for k, c in configs.items()]
    skipped = sorted({line for m in data["search"] + ([data["cranfield"]] if data["cranfield"] else [])
                      for line in m["skipped"]})
    out += [md_table(["engine", "configuration"], rows), ""]
    out += [f"- {line}" for line in skipped]
    if "pisa" in configs:
        out.append("- PISA's quantised-impact rows (`precompute_impact=True`) are approximate: scores are rounded "
                   "to integers before ranking, so rankings can differ from exact BM25.")
    out.append("")

    out += ["## Building", ""]
    names = []
    for m in data["search"]:
        names += [k for k in m["build"] if k not in names]
    rows = [[f"{m['docs']:,}"] + [fmt_time(m["build"][k]) if k in m["build"] else "-" for k in names] +
            [fmt_time(m["add_s"]), fmt_time(m["freeze_s"])] for m in data["search"]]
    out += [md_table(["docs"] + [engine_name(k) for k in names] + ["vantoro add_documents", "vantoro freeze"], rows),
            ""]
    if "build_s" in charts:
        out += [f"![Build time]({charts['build_s']})", ""]

    out += ["## Single-query latency", ""]
    out.append("Top-10, one query per call. 'time / vantoro search' is the median over the queries of the row's "
               "time / `search`'s time on the same query; the overlap column is the share of top-10 documents in "
               f"common with `search` on the first {bench_search.OVERLAP_QUERIES} queries (the engines' idf "
               "variants differ, so it is not 1.0).")
    out.append("")
    for m in data["search"]:
        for qs in m["runs"]:
            out += [f"### {m['docs']:,} documents, '{qs}' queries", "", md_table(*bench_search.latency_table(m, qs)),
                    ""]
    for key in ("p50_drawn", "p50_zipf"):
        if key in charts:
            out += [f"![Latency]({charts[key]})", ""]

    out += ["## Throughput with 1 and 2 threads", ""]
    out.append("vantoro `batch_search` in processes started with RAYON_NUM_THREADS=1 and =2; a Python loop of "
               "`search` (single-threaded, listed under its process' pool size); PISA's batch retrieval of all "
               "queries in one `query_toks` frame per call; bm25s' multi-query `retrieve`. Best round, the worst "
               "round as a share of it in brackets.")
    out.append("")
    for m in data["search"]:
        for qs in m["runs"]:
            headers, rows = bench_search.throughput_table(m, qs)
            if rows:
                out += [f"### {m['docs']:,} documents, '{qs}' queries", "", md_table(headers, rows), ""]
    if "qps_2_threads" in charts:
        out += [f"![Queries per second, 2 threads]({charts['qps_2_threads']})", ""]
    if data["search"] and any(m.get("throughput") for m in data["search"]):
        out += ["### Goals of the pruning work", "",
                f"Set for {bench_search.GOAL_DOCS:,} documents; every size is shown.", "",
                md_table(*bench_search.goals_table(data["search"])), ""]
    if data["search"]:
        out += ["### Rare tokens", "", "p50 of 2-token queries whose tokens are each in 8 to 12 documents: the "
                "cost should follow the postings visited, not the corpus size.", "",
                md_table(*bench_search.rare_table(data["search"])), ""]

    out += ["## Memory per posting", ""]
    if data["memory"]:
        out.append("Resident-set growth over a baseline taken after the corpus was built, per posting (distinct "
                   "(document, token) pair), less the UTF-8 bytes of the distinct identifiers and tokens; each "
                   "engine in a fresh process. The peak is the highest resident set during the build (for "
                   "vantoro, the higher of adding and freezing). PISA maps its index files: its resident memory "
                   "counts the pages it touched.")
        out += ["", md_table(*memory_table(data)), ""]
        if "memory_peak" in charts:
            out += [f"![Memory per posting]({charts['memory_peak']})", ""]
    else:
        out += ["Not measured in this run.", ""]

    out += ["## Saving and loading", ""]
    if data["persistence"]:
        out.append("`save(dir)` and `load(dir)` of the index that `add_documents` built, in a fresh process each "
                   "(load: one process per pool size), files warm in the page cache; 'add / load' is the build "
                   "time a load saves; 'paired' is the same ratio from builds and two-thread loads that alternated "
                   "in one process, which the machine's drift in speed between processes does not move. The dd "
                   "column is `dd bs=1M conv=fsync` into the same directory. Goals in brackets.")
        out += ["", md_table(*bench_persistence.persistence_table(data["persistence"])), ""]
        if "persistence_s" in charts:
            out += [f"![Save and load]({charts['persistence_s']})", ""]
    else:
        out += ["Not measured in this run.", ""]

    out += ["## Ranking quality (Cranfield)", ""]
    q = data["cranfield"]
    if q and q["quality"]:
        out.append("MAP@100 and nDCG@10 (gains 4..1 for relevance codes 1..4) over the judged queries, computed "
                   "by `bench/evaluation.py` from each engine's top 100 on the same tokens. The engines use "
                   "different idf formulas (vantoro ln((N+1)/(df+1)) + 1, always positive; the others variants of "
                   "ln((N - df + 0.5)/(df + 0.5)), some floored or shifted), so their rankings are close but not "
                   "identical.")
        out += ["", md_table(*bench_search.quality_table(q)), ""]
    else:
        out += [data["cranfield_note"] or "Not measured.", ""]

    out += ["## Where vantoro is behind", ""]
    losses = behind(data)
    out += [f"- {line}" for line in losses] if losses else ["- Nowhere in this run."]
    out.append("")
    return "\n".join(out)


def _plain(x):
    """JSON-safe copy: NaN as null, keys as strings."""
    if isinstance(x, dict):
        return {str(k): _plain(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_plain(v) for v in x]
    if isinstance(x, float) and not math.isfinite(x):
        return None
    return x


def main(argv=None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    unknown = [p for p in args.peers.split(",") if p and p not in engines.PEERS]
    if unknown:
        parser.error(f"unknown peers: {', '.join(unknown)} (known: {', '.join(engines.PEERS)})")
    import vantoro  # noqa: F401  (fail early if the module is not installed)
    os.makedirs(args.out, exist_ok=True)
    data = run(args)
    data["ids"] = args.ids
    data["settings"]["ids"] = args.ids
    figures = series(data)
    charts, note = draw_charts(figures, args.out) if args.charts else ({}, "Charts were not drawn (--no-charts).")
    cmd = "python bench/report.py" + ("".join(f" {a}" for a in (argv if argv is not None else sys.argv[1:])))
    text = render(data, charts, note, cmd)
    with open(os.path.join(args.out, "benchmarks.md"), "w") as f:
        f.write(text + "\n")
    summary = {"machine": data["machine"], "settings": data["settings"], "started": data["started"],
               "seconds": data["seconds"], "series": figures, "skipped_sizes": data["skipped_sizes"],
               "goals": {m["docs"]: bench_search.goal_values(m) for m in data["search"] if "drawn" in m["runs"]},
               "behind": behind(data)}
    with open(os.path.join(args.out, "benchmarks.json"), "w") as f:
        json.dump(_plain(summary), f, indent=1)
    print(f"\nwrote {os.path.join(args.out, 'benchmarks.md')} and {len(charts)} charts "
          f"in {data['seconds'] / 60:.1f} minutes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
