"""A small pure-Python model of the index, used to check the native results.

All weight arithmetic is single precision, one rounding per operation, in the
same order as the library, with the C library's logf.
"""
import ctypes
import ctypes.util
from collections import Counter

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]

f32 = np.float32
K1 = f32(1.2)
B = f32(0.75)


def logf(x):
    return f32(_libm.logf(float(x)))


def idf_factor(n_docs, df):
    return logf((f32(n_docs) + f32(1.0)) / (f32(df) + f32(1.0))) + f32(1.0)


def token_weight(factor, tf, dl, avg):
    tf = f32(tf)
    a = (K1 + f32(1.0)) * tf
    q = ((((f32(dl) / avg) * B) + (f32(1.0) - B)) * K1) + tf
    return (a / q) * factor


class Model:
    def __init__(self):
        self.docs = {}  # id -> Counter of tokens
        self.frozen = {}  # (doc, token) -> weight

    def add(self, doc_id, tokens):
        if doc_id not in self.docs:
            self.docs[doc_id] = Counter(tokens)

    def _postings(self, token):
        return {d: c[token] for d, c in self.docs.items() if token in c}

    def _average(self):
        total = sum(sum(c.values()) for c in self.docs.values())
        with np.errstate(divide="ignore", invalid="ignore"):
            return f32(total) / f32(len(self.docs))

    def freeze(self):
        avg = self._average()
        weights = {}
        tokens = {t for c in self.docs.values() for t in c}
        for t in tokens:
            postings = self._postings(t)
            factor = idf_factor(len(self.docs), len(postings))
            for d, tf in postings.items():
                weights[(d, t)] = token_weight(factor, tf, sum(self.docs[d].values()), avg)
        self.frozen = weights
        return len(weights)

    def scores(self, query, stored):
        """Candidate documents with their per-token contributions."""
        avg = self._average()
        contributions = {}
        for t in set(query):
            postings = self._postings(t)
            if not postings:
                continue
            factor = idf_factor(len(self.docs), len(postings))
            for d, tf in postings.items():
                if stored:
                    w = self.frozen.get((d, t), f32(0.0))
                else:
                    w = token_weight(factor, tf, sum(self.docs[d].values()), avg)
                contributions.setdefault(d, []).append(w)
        return contributions
