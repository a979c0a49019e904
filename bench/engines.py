"""One adapter per search library, all fed the same token lists.

Each adapter has ``build(pairs)`` (pairs of (id, tokens)), ``search(tokens, k)``
returning the ids of the best ``k`` documents, best first, and optionally
``batch(queries, k)``; ``config`` names the configuration it runs. Scores are
not compared across libraries: each uses its own idf variant, so only rankings
are comparable.
"""

from __future__ import annotations

import collections
import importlib
import shutil
import tempfile
import weakref

import numpy as np

from common import fd1_to_devnull, fds_to_devnull

K1, B = 1.2, 0.75


def available(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


class Vantoro:
    name = "vantoro"
    config = "add_documents + freeze; search (stored weights), search_instance (on the fly), batch_search"

    def __init__(self):
        import vantoro
        self.index = vantoro.BM25()

    def add(self, pairs):
        with fd1_to_devnull():  # one progress line per document on fd 1
            self.index.add_documents(pairs)

    def freeze(self):
        with fd1_to_devnull():  # one progress line per token on fd 1
            self.index.freeze()

    def build(self, pairs):
        self.add(pairs)
        self.freeze()

    def search(self, tokens, k=10):
        return [doc for doc, _ in self.index.search(tokens, k)]

    def search_instance(self, tokens, k=10):
        return [doc for doc, _ in self.index.search_instance(tokens, k)]

    def batch(self, queries, k=10):
        return [[doc for doc, _ in hits] for hits in self.index.batch_search(queries, k)]


class RankBM25:
    """rank-bm25's BM25Okapi: scores every document per query in Python/numpy.
    Top-k is taken with argpartition on its score array (cheaper than its own
    get_top_n, which sorts everything)."""
    name = "rank-bm25"
    config = "BM25Okapi(k1=1.2, b=0.75), get_scores + argpartition top-k"

    def build(self, pairs):
        from rank_bm25 import BM25Okapi
        self.ids = [doc_id for doc_id, _ in pairs]
        self.model = BM25Okapi([tokens for _, tokens in pairs], k1=K1, b=B)

    def search(self, tokens, k=10):
        scores = self.model.get_scores(tokens)
        k = min(k, len(scores))
        top = np.argpartition(-scores, k - 1)[:k]
        top = top[np.argsort(-scores[top], kind="stable")]
        return [self.ids[i] for i in top if scores[i] > 0]


class BM25S:
    """bm25s with its token-list input (no tokenizer of its own). Its numba
    backend (its fastest documented one) when numba is installed, else numpy."""
    name = "bm25s"

    def __init__(self):
        self.backend = "numba" if available("numba") else "numpy"
        self.config = f"BM25(k1=1.2, b=0.75, backend={self.backend!r}), index(token lists), retrieve"

    def build(self, pairs):
        import bm25s
        self.ids = [doc_id for doc_id, _ in pairs]
        self.model = bm25s.BM25(k1=K1, b=B, backend=self.backend)
        self.model.index([tokens for _, tokens in pairs], show_progress=False)

    def _ids(self, docs, scores):
        return [self.ids[d] for d, s in zip(docs.tolist(), scores.tolist()) if s > 0]

    def search(self, tokens, k=10):
        docs, scores = self.model.retrieve([tokens], k=min(k, len(self.ids)), show_progress=False)
        return self._ids(docs[0], scores[0])

    def batch(self, queries, k=10, n_threads=0):
        docs, scores = self.model.retrieve(queries, k=min(k, len(self.ids)), show_progress=False,
                                           n_threads=n_threads)
        return [self._ids(d, s) for d, s in zip(docs, scores)]


class Tantivy:
    """tantivy in RAM. The tokens are joined with blanks and split again by its
    whitespace tokenizer, so it indexes exactly the same tokens; the field keeps
    frequencies but no positions (all BM25 needs). One writer thread, like the
    single-threaded adds of the others."""
    name = "tantivy"
    config = ("in RAM, whitespace tokenizer, frequencies without positions, 1 writer thread; "
              "boolean OR of term queries, hit count off")

    def build(self, pairs):
        import tantivy
        self.tantivy = tantivy
        builder = tantivy.SchemaBuilder()
        builder.add_text_field("body", stored=False, tokenizer_name="whitespace", index_option="freq")
        builder.add_unsigned_field("n", stored=True)
        self.schema = builder.build()
        self.ids = [doc_id for doc_id, _ in pairs]
        index = tantivy.Index(self.schema)
        writer = index.writer(heap_size=512_000_000, num_threads=1)
        for n, (_, tokens) in enumerate(pairs):
            writer.add_document(tantivy.Document(body=" ".join(tokens), n=n))
        writer.commit()
        writer.wait_merging_threads()
        index.reload()
        self.searcher = index.searcher()
        # With one segment the document addresses are the insertion positions;
        # then ids come from a list instead of a stored-field fetch per hit.
        # Verified on a few queries, else the stored field is used.
        probes = [tokens[:2] for _, tokens in (pairs[0], pairs[len(pairs) // 2], pairs[-1]) if tokens] \
            if pairs else []
        self.by_address = self.searcher.num_segments == 1 and all(map(self.check_addresses, probes))

    def _query(self, tokens):
        q = self.tantivy.Query
        terms = [(self.tantivy.Occur.Should, q.term_query(self.schema, "body", t)) for t in dict.fromkeys(tokens)]
        return q.boolean_query(terms)

    def search(self, tokens, k=10):
        hits = self.searcher.search(self._query(tokens), k, count=False).hits
        if self.by_address:
            return [self.ids[address.doc] for _, address in hits]
        return [self.ids[self.searcher.doc(address)["n"][0]] for _, address in hits]

    def check_addresses(self, tokens) -> bool:
        """True when address order and the stored positions agree on this query's hits."""
        hits = self.searcher.search(self._query(tokens), 10, count=False).hits
        return all(self.searcher.doc(a)["n"][0] == a.doc for _, a in hits)


class Pisa:
    """PISA through pyterrier-pisa. The same tokens go in as term-count
    dictionaries through ``toks_indexer(scale=1)`` (so a term's count is its
    frequency and a document's length its number of tokens), stemming and stop
    words off; BM25 with k1 = 1.2, b = 0.75. Queries go in as a ``query_toks``
    frame, many at once: its per-call frame costs are amortised over the batch.

    The index lives in files under ``directory`` (a new temporary directory by
    default, removed with the adapter). Building includes the compression of the
    index for retrieval (done when the first retriever is made)."""
    name = "PISA"
    ALGORITHMS = ("maxscore", "block_max_wand")
    config = ("toks_indexer(scale=1), stemmer and stop words off, block_simdbp encoding; "
              "bm25(k1=1.2, b=0.75), query_toks frames")

    def __init__(self, directory=None, parent=None):
        self.directory = directory
        self.parent = parent
        self.retrievers = {}

    def _quiet(self):
        # Its indexing and compression log to both standard streams.
        return fds_to_devnull(1, 2)

    def build(self, pairs):
        from pyterrier_pisa import PisaIndex
        if self.directory is None:
            self.directory = tempfile.mkdtemp(prefix="vantoro-bench-pisa-", dir=self.parent)
            self._cleanup = weakref.finalize(self, shutil.rmtree, self.directory, True)
        docs = ({"docno": doc_id, "toks": collections.Counter(tokens)} for doc_id, tokens in pairs)
        self.index = PisaIndex(self.directory, stemmer="none", stops="none", threads=1)
        with self._quiet():
            self.index.toks_indexer(scale=1).index(docs)
        self.retriever(10, "block_max_wand", 1, False)

    def detach(self) -> str:
        """Keeps the index files after this adapter is gone (for another process
        to open); the caller removes the returned directory."""
        cleanup = getattr(self, "_cleanup", None)
        if cleanup is not None:
            cleanup.detach()
        return self.directory

    def open(self):
        """Opens an index built earlier in ``directory`` (by another process)."""
        from pyterrier_pisa import PisaIndex
        self.index = PisaIndex(self.directory, stemmer="none", stops="none", threads=1)

    def retriever(self, k, algorithm, threads, approximate):
        """The retrieval transformer for one configuration; made once. With
        ``approximate`` it scores with precomputed quantised impacts
        (``precompute_impact=True``), which changes scores and rankings."""
        key = (k, algorithm, threads, approximate)
        if key not in self.retrievers:
            with self._quiet():
                self.retrievers[key] = self.index.bm25(k1=K1, b=B, num_results=k, threads=threads,
                                                       query_algorithm=algorithm, precompute_impact=approximate)
        return self.retrievers[key]

    @staticmethod
    def frame(queries):
        """The query frame for ``queries``: qid "0", "1", ... in order. Queries
        without tokens are left out (they have no results)."""
        import pandas as pd
        rows = [(str(i), {t: 1.0 for t in q}) for i, q in enumerate(queries) if q]
        return pd.DataFrame({"qid": [r[0] for r in rows], "query_toks": [r[1] for r in rows]})

    def run(self, frame, k=10, algorithm="block_max_wand", threads=1, approximate=False):
        """The result frame of one transform call: what a batch costs."""
        return self.retriever(k, algorithm, threads, approximate).transform(frame)

    @staticmethod
    def ranked_lists(result, n_queries):
        lists = [[] for _ in range(n_queries)]
        ordered = result.sort_values(["qid", "rank"], key=lambda c: c.astype(int) if c.name == "qid" else c)
        for qid, docno in zip(ordered["qid"].tolist(), ordered["docno"].tolist()):
            lists[int(qid)].append(docno)
        return lists

    def batch(self, queries, k=10, algorithm="block_max_wand", threads=1, approximate=False):
        return self.ranked_lists(self.run(self.frame(queries), k, algorithm, threads, approximate), len(queries))

    def search(self, tokens, k=10):
        """One query in a frame of its own: the cost of a single call, frame included."""
        if not tokens:
            return []
        return self.batch([tokens], k)[0]


# name -> (module that must be importable, adapter class)
PEERS = {"rank-bm25": ("rank_bm25", RankBM25), "bm25s": ("bm25s", BM25S), "tantivy": ("tantivy", Tantivy),
         "pisa": ("pyterrier_pisa", Pisa)}
