"""A small pure-Python model of the index, used to check the native results.

All weight arithmetic is single precision, one rounding per operation, in the
same order as the library, with the C library's logf.

The model keeps the two maps that the saved files hold, which agree for an
index built by adding and may disagree after a load of hand-made files, and
the stored weights W: a weight per (document, token) pair of names, which
only freeze changes.
"""
import ctypes
import ctypes.util
import math
from collections import Counter

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]

f32 = np.float32
K1 = f32(1.2)
B = f32(0.75)

MISSING = "called `Option::unwrap()` on a `None` value"
NOT_FROZEN = "The index is not freezed"


class ModelFault(Exception):
    """The FaultException that the library must raise, with its message."""


def logf(x):
    return f32(_libm.logf(float(x)))


def idf_factor(n_docs, df):
    return logf((f32(n_docs) + f32(1.0)) / (f32(df) + f32(1.0))) + f32(1.0)


def token_weight(factor, tf, dl, avg):
    """Works on scalars and, element by element, on arrays."""
    tf = np.asarray(tf, dtype=np.float32)
    dl = np.asarray(dl, dtype=np.float32)
    a = (K1 + f32(1.0)) * tf
    q = (((dl / avg) * B + (f32(1.0) - B)) * K1) + tf
    return (a / q) * factor


def wrap32(x):
    return (x + 2**31) % 2**32 - 2**31


def length_as_float(length):
    """A signed 32-bit length widened with its sign, read as unsigned 64-bit."""
    return f32(length % 2**64)


class Model:
    def __init__(self):
        self.docs = {}  # id -> {token: count}: the documents map
        self.tokens = {}  # text -> {id: count}: the token map
        self.doc_records = {}  # id -> record id, where it differs from the key
        self.token_records = {}  # text -> record text, likewise
        self.frozen = {}  # W: (doc, token) -> weight

    @classmethod
    def loaded(cls, documents, tokens):
        model = cls()
        model.load(documents, tokens)
        return model

    # ---- changes

    def add(self, doc_id, tokens):
        if doc_id in self.docs:
            return
        counts = Counter(tokens)
        self.docs[doc_id] = dict(counts)
        for t, c in counts.items():
            postings = self.tokens.setdefault(t, {})
            postings[doc_id] = wrap32(postings.get(doc_id, 0) + c)

    def load(self, documents, tokens):
        """Replaces both maps with the contents of the two files (object
        form, as json.load gives them); W stays."""
        self.docs = {k: dict(r["maps"]) for k, r in documents.items()}
        self.doc_records = {k: r["id"] for k, r in documents.items() if r["id"] != k}
        self.tokens = {k: dict(r["maps"]) for k, r in tokens.items()}
        self.token_records = {k: r["text"] for k, r in tokens.items() if r["text"] != k}

    def freeze(self):
        """Returns the number of stored weights; raises ModelFault and keeps
        W where a token lists a missing document."""
        for postings in self.tokens.values():
            if any(d not in self.docs for d in postings):
                raise ModelFault(MISSING)
        n, avg, lengths = len(self.docs), self._average(), self._lengths()
        weights = {}
        for t, postings in self.tokens.items():
            for (d, _), w in zip(postings.items(), self._weights(n, avg, lengths, postings)):
                weights[(d, t)] = w
        self.frozen = weights
        return len(weights)

    # ---- what saving writes

    def files(self):
        documents = {d: {"id": self.doc_records.get(d, d), "maps": dict(m)} for d, m in self.docs.items()}
        tokens = {t: {"text": self.token_records.get(t, t), "maps": dict(m)} for t, m in self.tokens.items()}
        return documents, tokens

    # ---- scoring

    def _lengths(self):
        return {d: length_as_float(wrap32(sum(m.values()))) for d, m in self.docs.items()}

    def _average(self):
        total = sum(wrap32(sum(m.values())) for m in self.docs.values()) % 2**64
        with np.errstate(all="ignore"):
            return f32(total) / f32(len(self.docs))

    def _postings(self, token):
        return self.tokens.get(token, {})

    @staticmethod
    def _weights(n, avg, lengths, postings):
        """The weights of one token's postings, in their order (element-wise
        float32 array arithmetic rounds each operation as scalars do)."""
        if not postings:
            return []
        factor = idf_factor(n, len(postings))
        tf = np.fromiter((wrap32(c) for c in postings.values()), dtype=np.int64, count=len(postings))
        dl = np.fromiter((lengths[d] for d in postings), dtype=np.float32, count=len(postings))
        with np.errstate(all="ignore"):
            return list(token_weight(factor, tf.astype(np.float32), dl, avg))

    def scores(self, query, stored):
        """Candidate documents with their per-token contributions. Raises
        ModelFault where the library must fail: stored weights asked for
        while W is empty, or a posting naming a missing document on the fly."""
        if stored and not self.frozen:
            raise ModelFault(NOT_FROZEN)
        n, avg = len(self.docs), self._average()
        lengths = None if stored else self._lengths()
        contributions = {}
        for t in set(query):
            postings = self._postings(t)
            if not postings:
                continue
            if stored:
                weights = [self.frozen.get((d, t), f32(0.0)) for d in postings]
            elif any(d not in lengths for d in postings):
                raise ModelFault(MISSING)
            else:
                weights = self._weights(n, avg, lengths, postings)
            for d, w in zip(postings, weights):
                contributions.setdefault(d, []).append(w)
        return contributions

    def ranking(self, query, stored):
        """Every candidate's score (contributions summed in query-set order),
        or ModelFault where a score is not a number and two or more
        candidates must be ordered."""
        contributions = self.scores(query, stored)
        with np.errstate(all="ignore"):
            totals = {d: float(sum(ws, f32(0.0))) for d, ws in contributions.items()}
        if len(totals) >= 2 and any(math.isnan(s) for s in totals.values()):
            raise ModelFault(MISSING)
        return totals, contributions


def close(a, b, rel):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if math.isinf(a) or math.isinf(b):
        return a == b
    return abs(a - b) <= rel * max(abs(a), abs(b)) + 1e-30


def check_ranking(result, totals, n, contributions=None, rel=2e-6):
    """`result` is a correct top n of the candidates `totals` (document ->
    exact score): as many pairs as it should hold, best first, each document
    once and with its own score (exact where it has one contribution, else
    within `rel`), and no candidate left out that scores above the last one
    kept. Documents tied at the n-th score may be any of the tied ones."""
    assert len(result) == min(n, len(totals)), (len(result), n, len(totals))
    seen = set()
    for doc, score in result:
        assert doc in totals, doc
        assert doc not in seen, doc
        seen.add(doc)
        if contributions is not None and len(contributions[doc]) == 1:
            assert score == totals[doc] or (math.isnan(score) and math.isnan(totals[doc])), (doc, score, totals[doc])
        else:
            assert close(score, totals[doc], rel), (doc, score, totals[doc])
    scores = [s for _, s in result]
    assert all(a >= b or close(a, b, rel) for a, b in zip(scores, scores[1:])), scores
    if result and len(result) < len(totals):
        cut = result[-1][1]
        for doc, score in totals.items():
            if doc not in seen:
                assert score <= cut or close(score, cut, rel), (doc, score, cut)


def expect_fault(call, message):
    try:
        call()
    except BaseException as error:  # noqa: B902 - FaultException derives from BaseException
        assert type(error).__name__ == "FaultException", repr(error)
        assert str(error) == message, str(error)
        return
    raise AssertionError("no FaultException (%s)" % message)


def check_search(bm, model, query, n):
    """search_instance, search and batch_search of `query` against the model,
    results or failures alike."""
    answers = [(bm.search_instance, False), (bm.search, True)]
    # A batch scores with the stored weights where there are any.
    answers.append((lambda q, k: bm.batch_search([q, q], k)[1], bool(model.frozen)))
    for method, stored in answers:
        try:
            totals, contributions = model.ranking(query, stored)
        except ModelFault as fault:
            expect_fault(lambda: method(query, n), str(fault))
        else:
            check_ranking(method(query, n), totals, n, contributions)
