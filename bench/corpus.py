"""Corpora for the benchmarks: a synthetic Zipf corpus and the Cranfield collection.

The synthetic corpus is deterministic for a given (size, seed): every process
that asks for the same corpus gets the same tokens, which lets a benchmark
rebuild an identical index in a subprocess (for example to run the worker pool
with a different thread count).

Tokens are plain Python ``str`` objects shared between documents (one object
per vocabulary entry), the way a caller's tokenizer output usually looks after
interning.
"""

from __future__ import annotations

import contextlib
import gc
import os
import re
from dataclasses import dataclass, field

try:  # numpy is needed for the synthetic corpus only
    import numpy as np
except ImportError:  # pragma: no cover - exercised only without numpy
    np = None

# --------------------------------------------------------------------------
# Synthetic corpus
# --------------------------------------------------------------------------

DEFAULT_VOCAB = 200_000
DEFAULT_DOC_LEN = 50
ZIPF_EXPONENT = 1.07
# Zipf-Mandelbrot offset: flattens the head a little, as in natural text.
ZIPF_OFFSET = 2.7


@contextlib.contextmanager
def _collector_paused():
    """Pauses the cyclic garbage collector: building millions of lists or tuples
    would set it off again and again, each pass walking every container made
    so far, and none of them can form a cycle."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def token_text(rank: int) -> str:
    """Text of the vocabulary entry with frequency rank ``rank`` (0 = most common)."""
    return f"w{rank}"


# Identifier styles: zero-padded numbers (12 bytes, the default), UUID-shaped
# strings (36 bytes) and the short "d<i>" form (2 to 7 bytes).
ID_STYLES = ("padded", "uuid", "short")
DEFAULT_ID_STYLE = "padded"


def document_ids(n_docs: int, style: str = DEFAULT_ID_STYLE, seed: int = 42) -> list:
    """``n_docs`` distinct identifiers in the given style, the same for the same
    (n_docs, style, seed).

    - "padded": "doc-00000000", "doc-00000001", ... (12 bytes);
    - "uuid": UUID-shaped, "8-4-4-4-12" lowercase hex digits (36 bytes); the
      last group is the document number times an odd constant modulo 2^48, a
      bijection, so the identifiers are distinct without a check;
    - "short": "d0", "d1", ...
    """
    if style == "padded":
        return [f"doc-{i:08d}" for i in range(n_docs)]
    if style == "short":
        return [f"d{i}" for i in range(n_docs)]
    if style != "uuid":
        raise ValueError(f"unknown id style {style!r}; choose from {', '.join(ID_STYLES)}")
    if np is None:
        raise RuntimeError("uuid-shaped ids need numpy")
    rng = np.random.default_rng([seed, 0x1D5])
    heads = rng.integers(0, 1 << 62, size=n_docs, dtype=np.int64).tolist()
    variants = rng.integers(0x8000, 0xC000, size=n_docs, dtype=np.int64).tolist()
    mask = (1 << 48) - 1
    ids = []
    for i, (head, variant) in enumerate(zip(heads, variants)):
        h = f"{head:016x}"
        tail = (i * 0x9E3779B97F4B) & mask
        ids.append(f"{h[:8]}-{h[8:12]}-4{h[13:16]}-{variant:04x}-{tail:012x}")
    return ids


@dataclass
class SyntheticCorpus:
    ids: list            # document identifiers (see document_ids)
    docs: list           # one list of token strings per document
    token_ids: object    # numpy int32 array: every token's vocabulary rank, documents concatenated
    offsets: object      # numpy int64 array of len(docs) + 1: document i is token_ids[offsets[i]:offsets[i+1]]
    vocab: list          # vocabulary strings; vocab[r] is token_text(r)
    seed: int
    _df: object = field(default=None, repr=False)

    @property
    def n_tokens(self) -> int:
        return int(self.offsets[-1])

    def pairs(self) -> list:
        """The corpus as add_documents wants it: [(id, tokens), ...]."""
        with _collector_paused():
            return list(zip(self.ids, self.docs))

    def document_frequencies(self):
        """Number of documents containing each vocabulary entry (numpy array of len(vocab))."""
        if self._df is None:
            vocab_size = len(self.vocab)
            doc_of_token = np.repeat(np.arange(len(self.docs), dtype=np.int64), np.diff(self.offsets))
            keys = doc_of_token * vocab_size + self.token_ids
            del doc_of_token
            keys.sort()  # a plain sort + diff is much faster here than np.unique
            first = np.empty(len(keys), dtype=bool)
            first[:1] = True
            np.not_equal(keys[1:], keys[:-1], out=first[1:])
            self._df = np.bincount(keys[first] % vocab_size, minlength=vocab_size)
        return self._df

    def n_postings(self) -> int:
        """Number of distinct (document, token) pairs: what an index stores one posting for."""
        return int(self.document_frequencies().sum())

    def string_bytes(self) -> int:
        """UTF-8 bytes of the distinct identifiers and distinct tokens of the corpus.

        This is the least any index must keep for the strings themselves, so
        per-posting overhead is measured beyond it.
        """
        used = np.flatnonzero(np.bincount(self.token_ids, minlength=len(self.vocab)))
        token_bytes = sum(len(self.vocab[r].encode()) for r in used.tolist())
        id_bytes = sum(len(i.encode()) for i in self.ids)
        return token_bytes + id_bytes


def _zipf_cdf(vocab_size: int):
    ranks = np.arange(vocab_size, dtype=np.float64)
    weights = (ranks + ZIPF_OFFSET) ** -ZIPF_EXPONENT
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    return cdf


def _draw_ranks(rng, cdf, count: int):
    ranks = np.searchsorted(cdf, rng.random(count), side="right")
    return np.minimum(ranks, len(cdf) - 1).astype(np.int32)


def synthetic_corpus(n_docs: int, doc_len: int = DEFAULT_DOC_LEN,
                     vocab_size: int = DEFAULT_VOCAB, seed: int = 42,
                     id_style: str = DEFAULT_ID_STYLE) -> SyntheticCorpus:
    """``n_docs`` documents of about ``doc_len`` tokens (uniform in [doc_len/2, 3*doc_len/2])
    drawn from a Zipf-like distribution over ``vocab_size`` entries, identified
    in ``id_style`` (see document_ids). The tokens do not depend on the id style."""
    if np is None:
        raise RuntimeError("the synthetic corpus needs numpy")
    rng = np.random.default_rng(seed)
    lo, hi = max(1, doc_len // 2), max(1, doc_len + doc_len // 2)
    lengths = rng.integers(lo, hi + 1, size=n_docs, dtype=np.int64)
    offsets = np.zeros(n_docs + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    token_ids = _draw_ranks(rng, _zipf_cdf(vocab_size), int(offsets[-1]))

    vocab = [token_text(r) for r in range(vocab_size)]
    # One object array of shared str objects, sliced per document: far faster
    # than a Python-level lookup per token.
    words = np.array(vocab, dtype=object)[token_ids]
    bounds = offsets.tolist()
    with _collector_paused():
        docs = [words[bounds[i]:bounds[i + 1]].tolist() for i in range(n_docs)]
        ids = document_ids(n_docs, id_style, seed)
    return SyntheticCorpus(ids=ids, docs=docs, token_ids=token_ids, offsets=offsets,
                           vocab=vocab, seed=seed)


def synthetic_queries(corpus: SyntheticCorpus, n_queries: int, seed: int = 7,
                      rare_fraction: float = 0.25) -> list:
    """Queries of 2 to 5 tokens that occur in the corpus.

    Most tokens follow the corpus' own Zipf distribution, skipping the 50 most
    common ranks (the stop-word zone a caller's tokenizer would drop); in
    ``rare_fraction`` of the queries one token is replaced by a rare one
    (document frequency 1 to 20).
    """
    rng = np.random.default_rng(seed)
    df = corpus.document_frequencies()
    present = np.flatnonzero(df > 0)
    rare = np.flatnonzero((df >= 1) & (df <= 20))
    cdf = _zipf_cdf(len(corpus.vocab))
    queries = []
    for _ in range(n_queries):
        size = int(rng.integers(2, 6))
        picked = []
        while len(picked) < size:
            r = int(_draw_ranks(rng, cdf, 1)[0])
            if r >= 50 and df[r] > 0 and r not in picked:
                picked.append(r)
        if len(rare) and rng.random() < rare_fraction:
            picked[-1] = int(rare[rng.integers(len(rare))])
        elif not len(present):
            picked = []
        queries.append([corpus.vocab[r] for r in picked])
    return queries


def drawn_queries(docs: list, n_queries: int, seed: int = 13, min_tokens: int = 1,
                  max_tokens: int = 4) -> list:
    """Queries "drawn from documents": each is ``min_tokens`` to ``max_tokens``
    distinct tokens read from one random document, the way a user quotes words
    they saw. Positions are picked uniformly, so common tokens come up as often
    as they appear in the text; nothing is dropped. ``docs`` is a list of token
    lists (any corpus)."""
    if not any(docs):
        return [[] for _ in range(n_queries)]
    rng = np.random.default_rng(seed)
    queries = []
    for _ in range(n_queries):
        doc = []
        while not doc:  # empty documents are drawn again
            doc = docs[int(rng.integers(len(docs)))]
        want = int(rng.integers(min_tokens, max_tokens + 1))
        picked = []
        for position in rng.permutation(len(doc)).tolist():
            token = doc[position]
            if token not in picked:
                picked.append(token)
                if len(picked) == want:
                    break
        queries.append(picked)
    return queries


# The two query sets every search benchmark runs: key -> description.
QUERY_SETS = {
    "zipf": "Zipf-drawn tokens, 2 to 5 per query, the 50 most common ranks skipped, "
            "a quarter with one rare token",
    "drawn": "drawn from documents: 1 to 4 distinct tokens read from a random document, "
             "common tokens kept",
}


def query_set(name: str, corpus, n_queries: int) -> list:
    """The queries of set ``name`` (a key of QUERY_SETS) for a synthetic corpus."""
    if name == "zipf":
        return synthetic_queries(corpus, n_queries)
    if name == "drawn":
        return drawn_queries(corpus.docs, n_queries)
    raise ValueError(f"unknown query set {name!r}; choose from {', '.join(QUERY_SETS)}")


def tokens_with_df(corpus: SyntheticCorpus, lo: int, hi: int, count: int, seed: int = 11) -> list:
    """Up to ``count`` vocabulary entries whose document frequency lies in [lo, hi]."""
    df = corpus.document_frequencies()
    candidates = np.flatnonzero((df >= lo) & (df <= hi))
    if len(candidates) > count:
        rng = np.random.default_rng(seed)
        candidates = np.sort(rng.choice(candidates, size=count, replace=False))
    return [corpus.vocab[r] for r in candidates.tolist()]


# --------------------------------------------------------------------------
# Tokenizer shared by the Cranfield loader
# --------------------------------------------------------------------------

STOP_WORDS = frozenset("""
a an and are as at be but by for from has have in into is it its of on or that
the their there these this those to was were which with what how can been not
""".split())

_WORD = re.compile(r"[a-z0-9]+")


def tokenize(text: str) -> list:
    """Lowercase alphanumeric words, stop words removed."""
    return [w for w in _WORD.findall(text.lower()) if w not in STOP_WORDS]


# --------------------------------------------------------------------------
# Cranfield collection
# --------------------------------------------------------------------------

@dataclass
class Cranfield:
    ids: list                    # document numbers as strings, "1" .. "1400"
    docs: list                   # token lists, same order as ids
    query_ids: list              # query numbers as strings, "1" .. "225", in file order
    queries: list                # token lists, same order as query_ids
    qrels: dict = field(default_factory=dict)  # query id -> {doc id: relevance code 1..4}

    def pairs(self) -> list:
        return list(zip(self.ids, self.docs))


def _records(path: str):
    """Yields (label, {field letter: text}) for each '.I' record of a Cranfield file."""
    label, fields, current = None, {}, None
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith(".I"):
                if label is not None:
                    yield label, {k: " ".join(v) for k, v in fields.items()}
                label, fields, current = line[2:].strip(), {}, None
            elif len(line) >= 2 and line[0] == "." and line[1] in "TABW" and line[2:].strip() == "":
                current = line[1]
                fields.setdefault(current, [])
            elif current is not None:
                fields[current].append(line.strip())
    if label is not None:
        yield label, {k: " ".join(v) for k, v in fields.items()}


def load_cranfield(directory: str) -> Cranfield:
    """Reads cran.all.1400, cran.qry and cranqrel from ``directory``.

    A document is its text (.W, which repeats the title), or its title where
    the text is missing. Queries are numbered 1..225
    in file order, which is the numbering the judgments use. Relevance codes
    1 (most relevant) to 4 are kept; code -1 and unlisted documents are not
    relevant.
    """
    ids, docs = [], []
    for label, fields in _records(os.path.join(directory, "cran.all.1400")):
        ids.append(str(int(label)))
        docs.append(tokenize(fields.get("W") or fields.get("T", "")))
    query_ids, queries = [], []
    for number, (_label, fields) in enumerate(_records(os.path.join(directory, "cran.qry")), start=1):
        query_ids.append(str(number))
        queries.append(tokenize(fields.get("W", "")))
    qrels: dict = {}
    with open(os.path.join(directory, "cranqrel"), encoding="latin-1") as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            query, doc, code = parts[0], str(int(parts[1])), int(parts[2])
            if 1 <= code <= 4:
                qrels.setdefault(str(int(query)), {})[doc] = code
    return Cranfield(ids=ids, docs=docs, query_ids=query_ids, queries=queries, qrels=qrels)


# Ranking quality: kept here under their old names for callers of this module.
from evaluation import average_precision, cranfield_gains, ndcg_at  # noqa: E402,F401
