"""The benchmark corpora and the demo's document gathering.

These cover the helpers under bench/ and examples/, not the index itself:
they need neither the shared data folder nor the peer libraries.
"""

import importlib
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "examples"))

np = pytest.importorskip("numpy")
corpus = pytest.importorskip("corpus")


def _load_demo():
    return importlib.import_module("demo")


class TestSyntheticCorpus:
    def test_same_seed_same_corpus_other_seed_other_corpus(self):
        a = corpus.synthetic_corpus(300, seed=5)
        b = corpus.synthetic_corpus(300, seed=5)
        c = corpus.synthetic_corpus(300, seed=6)
        assert a.ids == b.ids and a.docs == b.docs
        assert a.docs != c.docs
        assert corpus.synthetic_queries(a, 20) == corpus.synthetic_queries(b, 20)

    def test_documents_agree_with_token_ids_and_offsets(self):
        c = corpus.synthetic_corpus(200, doc_len=50, vocab_size=5000)
        assert len(c.ids) == len(c.docs) == 200 == len(c.offsets) - 1
        assert len(set(c.ids)) == 200
        for i in (0, 77, 199):
            ranks = c.token_ids[c.offsets[i]:c.offsets[i + 1]]
            assert c.docs[i] == [corpus.token_text(int(r)) for r in ranks]
            assert 25 <= len(c.docs[i]) <= 75
        assert c.n_tokens == sum(len(d) for d in c.docs)

    def test_frequencies_are_zipf_like(self):
        c = corpus.synthetic_corpus(2000, vocab_size=20000)
        counts = np.bincount(c.token_ids, minlength=20000)
        # The head dominates and the tail is long: rank 0 is far more common than rank 1000.
        assert counts[0] > 20 * max(counts[1000], 1)
        assert counts[:100].sum() > counts[5000:].sum()

    def test_postings_and_document_frequencies_match_a_plain_count(self):
        c = corpus.synthetic_corpus(150, vocab_size=3000)
        expected_df = {}
        for doc in c.docs:
            for t in set(doc):
                expected_df[t] = expected_df.get(t, 0) + 1
        df = c.document_frequencies()
        assert {c.vocab[r]: int(n) for r, n in enumerate(df) if n} == expected_df
        assert c.n_postings() == sum(len(set(d)) for d in c.docs)
        used = {t for d in c.docs for t in d}
        assert c.string_bytes() == sum(len(t) for t in used) + sum(len(i) for i in c.ids)

    def test_queries_use_corpus_tokens_and_rare_tokens_have_the_asked_frequency(self):
        c = corpus.synthetic_corpus(3000)
        present = {t for d in c.docs for t in d}
        queries = corpus.synthetic_queries(c, 100)
        assert len(queries) == 100
        assert all(2 <= len(q) <= 5 and set(q) <= present for q in queries)
        df = c.document_frequencies()
        rank = {t: r for r, t in enumerate(c.vocab)}
        rare = corpus.tokens_with_df(c, 3, 5, 10)
        assert rare and all(3 <= df[rank[t]] <= 5 for t in rare)
        assert any(any(df[rank[t]] <= 20 for t in q) for q in queries)


class TestTokenizerAndCranfield:
    def test_tokenize_lowercases_splits_and_drops_stop_words(self):
        assert corpus.tokenize("The Boundary-Layer of a WING, at Mach 2.5!") == \
            ["boundary", "layer", "wing", "mach", "2", "5"]
        assert corpus.tokenize("") == [] and corpus.tokenize("the of and") == []

    def test_loader_reads_fields_query_numbers_and_judgments(self, tmp_path):
        (tmp_path / "cran.all.1400").write_text(
            ".I 1\n.T\nwing flow\n.A\nsmith\n.B\nj. 1958\n.W\nwing flow .\nthe lift of a wing .\n"
            ".I 2\n.T\nshock waves\n.A\n.B\n.W\nshock waves in nozzles .\n")
        (tmp_path / "cran.qry").write_text(".I 001\n.W\nlift of wings .\n.I 004\n.W\nshock\nwaves .\n")
        (tmp_path / "cranqrel").write_text("1 1 2 \n1 2 -1\n2 2 4\n2 1 5\n")
        cran = corpus.load_cranfield(str(tmp_path))
        assert cran.ids == ["1", "2"]
        assert cran.docs == [["wing", "flow", "lift", "wing"], ["shock", "waves", "nozzles"]]
        # Queries are numbered by position, not by their .I label.
        assert cran.query_ids == ["1", "2"]
        assert cran.queries == [["lift", "wings"], ["shock", "waves"]]
        # Code -1 and codes outside 1..4 are not relevant.
        assert cran.qrels == {"1": {"1": 2}, "2": {"2": 4}}


class TestRankingMetrics:
    def test_average_precision(self):
        assert corpus.average_precision(["a", "x", "b"], {"a", "b"}) == pytest.approx((1 + 2 / 3) / 2)
        # A relevant document that is never retrieved lowers the average.
        assert corpus.average_precision(["a"], {"a", "b"}) == pytest.approx(0.5)
        assert corpus.average_precision(["x"], set()) == 0.0

    def test_ndcg(self):
        grades = corpus.cranfield_gains({"a": 1, "b": 4})  # codes 1 and 4 -> gains 4 and 1
        assert grades == {"a": 4, "b": 1}
        assert corpus.ndcg_at(["a", "b"], grades) == pytest.approx(1.0)
        assert corpus.ndcg_at(["b", "a"], grades) < 1.0
        assert corpus.ndcg_at(["x", "y"], grades) == 0.0


class TestDemoGathering:
    def test_tokenizer_splits_qualified_names(self):
        demo = _load_demo()
        assert demo.tokenize("json.dumps: Serialize ``obj`` to a JSON str") == \
            ["json", "dumps", "serialize", "obj", "json", "str"]

    def test_gathers_documented_public_objects_and_skips_side_effect_modules(self):
        demo = _load_demo()
        names = demo.stdlib_module_names()
        assert "json" in names and "this" not in names and "antigravity" not in names
        assert not any(n.startswith("_") for n in names)
        modules = demo.import_modules(["json", "this"])
        assert "json" in modules and "json.decoder" in modules and "this" not in modules
        docs = dict(demo.gather_documents(modules))
        assert "json.dumps" in docs and "json.decoder.JSONDecoder.decode" in docs
        assert not any(part.startswith("_") for d in docs for part in d.split("."))
        # Re-exported objects are indexed once, under their defining module.
        assert "json.JSONDecoder" not in docs


class TestIdentifiersAndDrawnQueries:
    def test_id_styles_have_their_lengths_and_are_distinct_and_repeatable(self):
        padded = corpus.document_ids(1000, "padded")
        assert padded[7] == "doc-00000007" and {len(i) for i in padded} == {12}
        assert corpus.document_ids(3, "short") == ["d0", "d1", "d2"]
        uuids = corpus.document_ids(5000, "uuid", seed=3)
        assert len(set(uuids)) == 5000 and uuids == corpus.document_ids(5000, "uuid", seed=3)
        assert uuids != corpus.document_ids(5000, "uuid", seed=4)
        for u in uuids[:50]:
            groups = u.split("-")
            assert [len(g) for g in groups] == [8, 4, 4, 4, 12] and groups[2][0] == "4"
            assert all(c in "0123456789abcdef" for c in u.replace("-", ""))
        with pytest.raises(ValueError):
            corpus.document_ids(1, "url")

    def test_tokens_do_not_depend_on_the_id_style(self):
        a = corpus.synthetic_corpus(200, id_style="uuid")
        b = corpus.synthetic_corpus(200, id_style="short")
        assert a.docs == b.docs and a.ids != b.ids
        assert corpus.synthetic_corpus(5).ids[0] == "doc-00000000"  # the default style

    def test_drawn_queries_quote_one_document_and_keep_common_tokens(self):
        c = corpus.synthetic_corpus(500)
        queries = corpus.drawn_queries(c.docs, 300)
        assert queries == corpus.drawn_queries(c.docs, 300)
        doc_sets = [set(d) for d in c.docs]
        for q in queries:
            assert 1 <= len(q) <= 4 and len(set(q)) == len(q)
            assert any(set(q) <= d for d in doc_sets)
        assert {len(q) for q in queries} == {1, 2, 3, 4}
        # Unlike the Zipf set, common tokens (the 50 most frequent ranks) are kept.
        common = {corpus.token_text(r) for r in range(50)}
        assert sum(bool(set(q) & common) for q in queries) > len(queries) // 2
        assert not any(set(q) & common for q in corpus.query_set("zipf", c, 100))

    def test_drawn_queries_skip_empty_documents(self):
        assert all(q and set(q) <= {"a", "b"} for q in corpus.drawn_queries([[], ["a", "b"], []], 20))
        assert corpus.drawn_queries([[], []], 3) == [[], [], []]
