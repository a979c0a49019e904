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
