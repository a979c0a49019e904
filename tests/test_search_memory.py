"""Memory a search keeps between calls: each thread that searched keeps one
window table, bounded whatever the size of the index it searched, and an
index leaves nothing behind when it is dropped."""
import json

from conftest import NATIVE_BYTES, run_python

PROBE = NATIVE_BYTES + r'''
import gc, json, sys
import vantoro

# Start the pool and every thread's table on a small index first.
small = vantoro.BM25()
small.add_documents([("s%d" % i, ["t"]) for i in range(100)])
small.freeze()
small.batch_search([["t"]] * 64, 5)
small.search_instance(["t"], 5)
gc.collect()
before = native_bytes()

documents = int(sys.argv[1])
big = vantoro.BM25()
big.add_documents([("doc-%08d" % i, ["t", "u%d" % (i % 7)]) for i in range(documents)])
big.search_instance(["t", "u1"], 5)
big.batch_search([["t", "u%d" % (q % 7)] for q in range(64)], 5)
big.freeze()
big.search(["t"], 5)
big.batch_search([["t", "u%d" % (q % 7)] for q in range(64)], 5)
del big
gc.collect()
print(json.dumps({"kept": native_bytes() - before}), file=sys.stderr)
'''


def test_threads_keep_bounded_tables_after_searching_a_large_index():
    documents = 400_000
    result = run_python(PROBE, args=[str(documents)], env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    kept = json.loads(result.stderr.strip().splitlines()[-1])["kept"]
    # Three threads searched (the caller and two workers). A table per thread
    # sized to the index would keep about 12 bytes per document each.
    assert kept < 3 * 1_200_000, kept
