"""Ranking quality: average precision, MAP@k and nDCG@k against relevance judgments.

Rankings are lists of document ids, best first. Judgments map a query id to
{document id: gain}, gain > 0 meaning relevant (higher is better); documents
that are not listed have gain 0. A document that appears twice in a ranking
counts at its first position only, so a faulty ranking cannot gain by
repeating a relevant document.
"""

from __future__ import annotations

import math


def _first_occurrences(ranked):
    seen = set()
    for doc in ranked:
        if doc not in seen:
            seen.add(doc)
            yield doc


def average_precision(ranked: list, relevant, k: int | None = None) -> float:
    """Average precision of the first ``k`` entries (all if None) of ``ranked``
    against the set ``relevant``: the mean over all relevant documents of the
    precision at the rank where each is found, 0 for those not found."""
    if not relevant:
        return 0.0
    hits, total = 0, 0.0
    for rank, doc in enumerate(_first_occurrences(ranked[:k] if k is not None else ranked), start=1):
        if doc in relevant:
            hits += 1
            total += hits / rank
    return total / len(relevant)


def dcg_at(gains, k: int) -> float:
    """Discounted cumulative gain of a list of gains: sum of gain / log2(rank + 1)."""
    return sum(g / math.log2(i + 2) for i, g in enumerate(list(gains)[:k]))


def ndcg_at(ranked: list, grades: dict, k: int = 10) -> float:
    """nDCG@k with linear graded gains; ``grades`` maps document id to gain."""
    dcg = dcg_at((grades.get(doc, 0) for doc in _first_occurrences(ranked)), k)
    idcg = dcg_at(sorted(grades.values(), reverse=True), k)
    return dcg / idcg if idcg > 0 else 0.0


def cranfield_gains(codes: dict) -> dict:
    """Cranfield relevance codes 1 (complete answer) .. 4 (minimum interest) as gains 4 .. 1."""
    return {doc: 5 - code for doc, code in codes.items()}


def evaluate(rankings: dict, judgments: dict, ndcg_k: int = 10, map_k: int = 100) -> dict:
    """Mean nDCG@ndcg_k and MAP@map_k over the judged queries (the keys of
    ``judgments`` with at least one relevant document). ``rankings`` maps query
    id to a ranked list; a judged query without a ranking scores 0."""
    judged = [q for q, grades in judgments.items() if any(g > 0 for g in grades.values())]
    if not judged:
        return {f"ndcg@{ndcg_k}": float("nan"), f"map@{map_k}": float("nan"), "queries": 0}
    ndcg = ap = 0.0
    for q in judged:
        grades = judgments[q]
        ranked = rankings.get(q, [])
        ndcg += ndcg_at(ranked, grades, ndcg_k)
        ap += average_precision(ranked, {d for d, g in grades.items() if g > 0}, map_k)
    return {f"ndcg@{ndcg_k}": ndcg / len(judged), f"map@{map_k}": ap / len(judged), "queries": len(judged)}
