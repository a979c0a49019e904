"""One index of more than 20 million postings: added, frozen, searched,
saved and loaded. Resident memory per posting stays within 24 bytes, and the
loaded index answers exactly as the saved one does.

Slow (about a minute and 2 GiB of memory): it runs only when
VANTORO_SCALE is set, e.g. `VANTORO_SCALE=1 python -m pytest
tests/test_scale.py -s`, which also prints its figures."""
import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(not os.environ.get("VANTORO_SCALE"),
                                reason="slow; set VANTORO_SCALE=1 to run it")

DOCUMENTS = 280_000
LENGTH = 110  # tokens per document on average

SCALE = r'''
import json, os, sys, time
import numpy as np
import vantoro

out, DOCUMENTS, LENGTH = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":")) * 1024


vocabulary = ["w%d" % r for r in range(50_000)]
p = 1.0 / np.arange(1, len(vocabulary) + 1) ** 1.07
p /= p.sum()
rng = np.random.default_rng(7)
figures = {}

# Documents are made a chunk at a time, so that the growth of resident
# memory is the index's own.
before = status("VmRSS")
bm = vantoro.BM25()
start = time.perf_counter()
chunk = 2000
postings = 0
for first in range(0, DOCUMENTS, chunk):
    lengths = rng.integers(1, 2 * LENGTH, chunk)
    ids = rng.choice(len(vocabulary), size=int(lengths.sum()), p=p)
    docs, at = [], 0
    for i, length in enumerate(lengths):
        tokens = [vocabulary[k] for k in ids[at:at + length]]
        at += length
        docs.append(("document-%07d" % (first + i), tokens))
        postings += len(set(tokens))
    bm.add_documents(docs)
    del docs, ids
figures["add_s"] = time.perf_counter() - start
start = time.perf_counter()
bm.freeze()
figures["freeze_s"] = time.perf_counter() - start
figures["postings"] = postings
figures["bytes_per_posting"] = (status("VmRSS") - before) / postings

queries = [[vocabulary[k] for k in rng.choice(len(vocabulary), size=int(rng.integers(1, 5)), p=p)]
           for _ in range(200)]
start = time.perf_counter()
top = [bm.search(q, 10) for q in queries]
figures["search_ms"] = (time.perf_counter() - start) * 1000 / len(queries)
start = time.perf_counter()
live = [bm.search_instance(q, 10) for q in queries]
figures["search_instance_ms"] = (time.perf_counter() - start) * 1000 / len(queries)
full = [bm.search(q, 10**9) for q in queries[:20]]
batch = bm.batch_search(queries, 10)

start = time.perf_counter()
bm.save(out)
figures["save_s"] = time.perf_counter() - start
figures["saved_bytes"] = sum(os.path.getsize(os.path.join(out, f)) for f in ("index.json", "token_index.json"))
loaded = vantoro.BM25()
start = time.perf_counter()
loaded.load(out)
figures["load_s"] = time.perf_counter() - start
# The loaded index, on the fly and then frozen: every answer as before.
same = {"search_instance": [loaded.search_instance(q, 10) for q in queries] == live}
loaded.freeze()
same["search"] = [loaded.search(q, 10) for q in queries] == top
same["full"] = [loaded.search(q, 10**9) for q in queries[:20]] == full
same["batch_search"] = loaded.batch_search(queries, 10) == batch
figures["same"] = same


def head(t, f):
    """t is the first 10 of f, up to ties at the 10th score and the last
    bits of sums."""
    scores = dict(f)
    return (len(t) == min(10, len(f)) and all(abs(a[1] - b[1]) <= 2e-6 * abs(b[1]) for a, b in zip(t, f))
            and all(abs(scores[d] - s) <= 2e-6 * abs(s) for d, s in t))


figures["heads"] = all(head(t, f) for t, f in zip(top, full))
figures["peak_rss_gib"] = status("VmHWM") / 2**30
with open(os.path.join(out, "figures.json"), "w") as f:
    json.dump(figures, f)
'''


def test_twenty_million_postings(tmp_path):
    documents = int(os.environ.get("VANTORO_SCALE_DOCUMENTS", DOCUMENTS))
    result = subprocess.run([sys.executable, "-c", SCALE, str(tmp_path), str(documents), str(LENGTH)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=1800)
    assert result.returncode == 0, result.stderr[-3000:]
    with open(tmp_path / "figures.json") as f:
        figures = json.load(f)
    print(json.dumps(figures, indent=1))
    if documents == DOCUMENTS:
        assert figures["postings"] >= 20_000_000
    assert figures["bytes_per_posting"] <= 24
    assert figures["same"] == {"search_instance": True, "search": True, "full": True, "batch_search": True}
    assert figures["heads"]
