"""The benchmark report's evaluation code and a smoke run of the report.

The report runs on a tiny synthetic corpus with no peer libraries, writing
only into a temporary directory; the peers and the real collections are not
needed.
"""

import json
import math
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

evaluation = pytest.importorskip("evaluation")


class TestEvaluation:
    def test_average_precision_by_hand(self):
        ranked = ["a", "x", "b", "y", "c"]
        relevant = {"a", "b", "c", "d"}
        # Hits at ranks 1, 3 and 5: (1/1 + 2/3 + 3/5) / 4 relevant documents.
        assert evaluation.average_precision(ranked, relevant) == pytest.approx((1 + 2 / 3 + 3 / 5) / 4)
        # Cut at 3: the hit at rank 5 no longer counts, the denominator stays 4.
        assert evaluation.average_precision(ranked, relevant, k=3) == pytest.approx((1 + 2 / 3) / 4)
        assert evaluation.average_precision([], relevant) == 0.0
        assert evaluation.average_precision(ranked, set()) == 0.0

    def test_a_repeated_document_counts_once(self):
        assert evaluation.average_precision(["a", "a", "b"], {"a", "b"}) == pytest.approx(1.0)
        assert evaluation.ndcg_at(["a", "a"], {"a": 1, "b": 1}, 10) == pytest.approx(1 / (1 + 1 / math.log2(3)))

    def test_ndcg_by_hand(self):
        grades = {"a": 3, "b": 2, "c": 1}
        # DCG = 2/log2(2) + 0 + 3/log2(4) = 3.5; ideal = 3 + 2/log2(3) + 1/log2(4).
        ideal = 3 + 2 / math.log2(3) + 0.5
        assert evaluation.ndcg_at(["b", "x", "a"], grades, 3) == pytest.approx(3.5 / ideal)
        assert evaluation.ndcg_at(["b", "x", "a"], grades, 1) == pytest.approx(2 / 3)
        assert evaluation.ndcg_at(["a", "b", "c"], grades, 10) == pytest.approx(1.0)
        assert evaluation.ndcg_at(["x"], {}, 10) == 0.0

    def test_evaluate_averages_over_judged_queries_and_scores_missing_rankings_zero(self):
        judgments = {"1": {"a": 1}, "2": {"b": 2, "c": 1}, "3": {}, "4": {"d": 1}}
        rankings = {"1": ["a"], "2": ["c", "b"], "3": ["a"]}
        result = evaluation.evaluate(rankings, judgments, ndcg_k=10, map_k=100)
        # Query 3 has no relevant document and is left out; query 4 has no ranking and scores 0.
        ndcg_2 = (1 + 2 / math.log2(3)) / (2 + 1 / math.log2(3))
        assert result["queries"] == 3
        assert result["ndcg@10"] == pytest.approx((1 + ndcg_2 + 0) / 3)
        assert result["map@100"] == pytest.approx((1 + 1 + 0) / 3)
        assert evaluation.cranfield_gains({"x": 1, "y": 4}) == {"x": 4, "y": 1}


def _write_tiny_cranfield(path):
    path.mkdir()
    (path / "cran.all.1400").write_text(
        ".I 1\n.T\nwing flow\n.W\nwing flow lift of a wing .\n"
        ".I 2\n.T\nshock waves\n.W\nshock waves in nozzles .\n"
        ".I 3\n.T\nheat\n.W\nheat transfer in a boundary layer .\n")
    (path / "cran.qry").write_text(".I 001\n.W\nlift of wings .\n.I 002\n.W\nshock waves .\n")
    (path / "cranqrel").write_text("1 1 2\n2 2 4\n")


def test_report_smoke(tmp_path, monkeypatch):
    pytest.importorskip("numpy")
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    monkeypatch.setenv("PYTHONDONTWRITEBYTECODE", "1")
    import engines
    import report

    # A peer whose library is missing is skipped with a line in the report.
    monkeypatch.setitem(engines.PEERS, "ghost", ("vantoro_bench_missing_module", None))
    cran = tmp_path / "cran"
    _write_tiny_cranfield(cran)
    out = tmp_path / "report"
    files = tmp_path / "files"
    files.mkdir()
    docs_dir = os.path.join(ROOT, "docs")
    docs_before = sorted(os.listdir(docs_dir)) if os.path.isdir(docs_dir) else None

    assert report.main(["--sizes", "200,400", "--queries", "20", "--budget", "0.1", "--batch-seconds", "0.02",
                        "--rounds", "1", "--memory-sizes", "200", "--persistence-sizes", "200",
                        "--persistence-ids", "padded", "--repeat", "1", "--dirs", str(files), "--no-dd",
                        "--peers", "ghost", "--cranfield", str(cran), "--out", str(out),
                        "--tmp-dir", str(tmp_path)]) == 0

    text = (out / "benchmarks.md").read_text()
    summary = json.loads((out / "benchmarks.json").read_text())
    for section in ("## Headline", "## Machine and software", "## Building", "## Single-query latency",
                    "## Throughput with 1 and 2 threads", "## Memory per posting", "## Saving and loading",
                    "## Ranking quality (Cranfield)", "## Where vantoro is behind"):
        assert section in text
    assert "ghost: not installed" in text
    # Every figure written is one measured in the run: the charted p50 of each
    # size appears in that size's table.
    from common import fmt_time
    p50 = summary["series"]["p50_drawn"]["vantoro search"]
    assert sorted(p50) == ["200", "400"]
    for n, seconds in p50.items():
        section = text.split(f"### {int(n):,} documents, 'drawn' queries")[1].split("###")[0]
        assert f"| vantoro search | " in section and f"| {fmt_time(seconds)} |" in section
    assert set(summary["series"]["qps_1_thread"]["vantoro batch_search"]) == {"200", "400"}
    assert summary["series"]["memory_peak"]["vantoro"]["200"] > 0
    assert "| 200 | padded |" in text
    # Each query of the tiny collection finds its one relevant document first.
    assert "| vantoro search | 1.0000 | 1.0000 | 2 |" in text
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "matplotlib is not installed" in text
    else:
        assert (out / "qps_vs_docs.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert "](qps_vs_docs.png)" in text
    assert sorted(os.listdir(files)) == []  # the save/load directories were removed
    assert (sorted(os.listdir(docs_dir)) if os.path.isdir(docs_dir) else None) == docs_before


class TestTablesAndComparisons:
    """The report's derived figures from hand-made measurements."""

    @staticmethod
    def corpus_measurements(search_times, peer_times, rows):
        import bench_search
        runs = {"search": bench_search.Run(search_times),
                "search_instance": bench_search.Run([2 * t for t in search_times]),
                "bm25s": bench_search.Run(peer_times)}
        return {"title": "synthetic 1,000", "docs": 1000, "build": {"vantoro": 2.0, "bm25s": 1.0},
                "runs": {"drawn": runs}, "top": {"drawn": {}}, "quality": {}, "rare": {}, "skipped": [],
                "throughput": {"rows": {"drawn": rows}, "cores": {}}, "bm25s_batch": {}}

    def test_paired_speedup_is_a_median_of_per_query_ratios(self):
        import bench_search
        slow = bench_search.Run([4.0, 1.0, 30.0])
        fast = bench_search.Run([1.0, 1.0, 1.0, 9.0])
        # Ratios of the queries both ran: 4, 1, 30 -> median 4 (not the ratio of the medians, 4 / 1).
        assert bench_search.speedup(slow, fast) == 4.0
        assert math.isnan(bench_search.speedup(fast, bench_search.Run([])))
        assert bench_search.overlap_at_k([["a", "b"], []], [["b", "c"], []]) == 0.5

    def test_goals_compare_against_the_best_exact_pisa_row_only(self):
        import bench_search
        rows = {"vantoro batch_search": {1: [900.0, 1000.0], 2: [1500.0]},
                "vantoro search loop": {1: [700.0]},
                "PISA maxscore": {1: [400.0], 2: [600.0]},
                "PISA block_max_wand": {1: [500.0, 450.0], 2: [700.0]},
                "PISA maxscore, quantised (approximate)": {1: [5000.0], 2: [9000.0]}}
        m = self.corpus_measurements([1e-4] * 9 + [5e-3], [2e-4] * 10, rows)
        g = bench_search.goal_values(m)
        assert (g["pisa1"], g["pisa1_row"]) == (500.0, "PISA block_max_wand")
        assert g["batch1_vs_pisa"] == 2.0 and g["batch2_vs_pisa"] == pytest.approx(1500 / 700)
        assert g["loop_vs_pisa"] == pytest.approx(700 / 500)
        assert g["instance"] == 2.0
        table = dict((r[0], r[2:]) for r in bench_search.goals_table([m])[1])
        assert table["search p50"] == ["100.0 us (yes)"]
        assert table["search p99"][0].endswith("(NO)")  # p99 of nine 0.1 ms and one 5 ms query
        assert table["batch_search / PISA best, 1 thread"] == ["2.00x (yes)"]
        assert table["batch_search / PISA best, 2 threads"] == ["2.14x (yes)"]
        assert table["loop of search / PISA best, 1 thread"] == ["1.40x (NO)"]
        assert table["search_instance / search (paired median)"] == ["2.00x (NO)"]

    def test_behind_lists_each_row_a_peer_wins_and_no_other(self):
        report = pytest.importorskip("report")
        rows = {"vantoro batch_search": {1: [1000.0], 2: [1500.0]},
                "PISA block_max_wand": {1: [1200.0], 2: [1400.0]}}
        m = self.corpus_measurements([1e-4] * 5, [5e-5] * 5, rows)
        data = {"search": [m], "cranfield": None, "persistence": [],
                "memory": {1000: {"vantoro": {"retained_beyond": 20.0, "peak_beyond": 22.0},
                                  "bm25s": {"retained_beyond": 9.0, "peak_beyond": 40.0}, "tantivy": None}}}
        lines = report.behind(data)
        text = "\n".join(lines)
        assert "bm25s answers one query faster than `search`" in text
        assert "1 thread: PISA block_max_wand" in text and "2 threads" not in text
        assert "bm25s builds its index faster" in text
        assert "retained: 9.0 against 20.0" in text and "peak:" not in text
        assert len(lines) == 4

    def test_sizes_that_do_not_fit_are_skipped_with_the_reason(self):
        report = pytest.importorskip("report")
        args = report.build_parser().parse_args(["--max-process-gib", "6"])
        assert report.fits(1_000_000, args) is None
        why = report.fits(10_000_000, args)
        assert why.startswith("10,000,000 documents skipped") and "GiB" in why

    def test_markdown_cells_escape_bars_and_numbers_align_right(self):
        report = pytest.importorskip("report")
        text = report.md_table(["engine", "p50"], [["a|b", "1.0 us"], ["c", "-"]])
        assert text.splitlines() == ["| engine | p50 |", "|---|---:|", "| a\\|b | 1.0 us |", "| c | - |"]

    def test_persistence_goals(self):
        import bench_persistence
        result = {"docs": 10, "ids": "padded", "dir": "/disk", "bytes": 2_000_000_000, "add_s": 9.0,
                  "save_times": [10.0, 8.0], "dd_mbps": 300.0, "paired_load_times": [4.0, 3.5],
                  "load": {1: {"load_times": [4.0], "peak_growth": [1.1e9], "kept": [1.0e9]},
                           2: {"load_times": [2.0, 3.0], "peak_growth": [1.2e9, 1.1e9], "kept": [1.0e9, 1.05e9]}}}
        one, two = bench_persistence.persistence_table([result])[1]
        # save 250 MB/s is 83 % of dd's 300; load 1,000 MB/s, 4.5x faster than adding; peak 200 MB over the index.
        assert two[6] == "250 (83% of dd: yes)"
        assert two[10] == "1,000 (yes)" and two[11] == "4.50x (yes)"
        assert two[15] == "200 (NO)"
        # The paired ratio takes the best alternating load, on the two-thread row only.
        assert two[12] == "2.57x (NO)" and one[12] == "-"
        # The headline gives the two-thread ratio of the largest size, and the paired one beside it.
        report = pytest.importorskip("report")
        loading = [line for line in report.headline({"search": [], "memory": {}, "persistence": [result],
                                                     "cranfield": None}) if line.startswith("**Loading")]
        assert len(loading) == 1 and "padded ids in /disk, 2 threads: 4.50x (paired 2.57x)" in loading[0]


def test_pisa_result_frames_become_ranked_lists_in_query_order():
    pd = pytest.importorskip("pandas")
    import engines
    frame = pd.DataFrame({"qid": ["10", "2", "2", "10", "0"], "docno": ["x", "b", "a", "y", "z"],
                          "rank": [0, 1, 0, 1, 0]})
    lists = engines.Pisa.ranked_lists(frame, 11)
    assert lists[0] == ["z"] and lists[2] == ["a", "b"] and lists[10] == ["x", "y"] and lists[1] == []
