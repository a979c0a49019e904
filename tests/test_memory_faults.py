"""Running out of memory: every allocation failure raises MemoryError and
leaves the object exactly as a successful call up to the failing document
would have left it (an add_documents keeps the documents before the failing
one; anything else changes nothing). Each case runs in a fresh interpreter
whose address space is limited to a little more than it maps, at several
sizes, so that the failure falls in different tables and lists; afterwards
the limit is lifted and the object is compared with one built without
failures: saved files, every candidate of a set of queries, then further
adds and a freeze on both."""
import json
import os
import shutil
import subprocess
import tempfile

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(bool(os.environ.get("VANTORO_EXPECT_SANITIZED")),
                                reason="the sanitizer runtime cannot run under an address-space limit")

PRELUDE = r'''
import gc, json, math, os, resource, shutil, sys, threading
import vantoro

SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
WORK = sys.argv[1]
report = {"attempts": []}


def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024


class Limited:
    """Room for `slack` more bytes of address space than the process maps."""
    def __init__(self, slack):
        self.slack = slack

    def __enter__(self):
        gc.collect()
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + self.slack, HARD))

    def __exit__(self, *exc):
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))


def outcome(call):
    try:
        return ["ok", call()]
    except MemoryError:
        return ["MemoryError", None]
    except BaseException as error:
        return [type(error).__name__ + ": " + str(error), None]


def fresh_directory(name):
    path = os.path.join(WORK, name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path


def files(directory):
    with open(os.path.join(directory, "index.json"), "rb") as f:
        documents = f.read()
    with open(os.path.join(directory, "token_index.json"), "rb") as f:
        tokens = f.read()
    return documents, tokens


def saved(bm, name="fingerprint"):
    directory = fresh_directory(name)
    bm.save(directory)
    return files(directory)


def document_count(bm):
    """The count in the message that save writes to descriptor 1."""
    directory = fresh_directory("count")
    saved_stdout = os.dup(1)
    with open(os.path.join(WORK, "message"), "w+") as message:
        os.dup2(message.fileno(), 1)
        try:
            bm.save(directory)
        finally:
            os.dup2(saved_stdout, 1)
            os.close(saved_stdout)
        message.seek(0)
        return int(message.read().split()[3])


def parsed(contents):
    return [json.loads(text) for text in contents]


def answers(bm, queries, n=40):
    """The top n of each query, on the fly and by stored weights (or the
    failure), and a batch of them all."""
    out = []
    for q in queries:
        out.append(bm.search_instance(q, n))
        out.append(outcome(lambda: bm.search(q, n)))
    out.extend(bm.batch_search(queries, n))
    return out


def same_top(a, b):
    """Two top-n lists agree: scores rank by rank (the last bit of a sum may
    differ), and the same documents above the lowest score kept (documents
    tied there may be any of the tied ones)."""
    if len(a) != len(b):
        return False
    if not all(x[1] == y[1] or math.isclose(x[1], y[1], rel_tol=2e-6) for x, y in zip(a, b)):
        return False
    cut = a[-1][1] * (1 + 4e-6) if a else 0.0
    return {d for d, s in a if s > cut} == {d for d, s in b if s > cut}


def same_answers(a, b):
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if isinstance(x, list) and len(x) == 2 and isinstance(x[0], str):  # an outcome
            if x[0] != y[0] or (x[0] == "ok" and not same_top(x[1], y[1])):
                return False
        elif not same_top(x, y):
            return False
    return True


def check_same(bm, ref, queries, what):
    """bm saves and answers as ref does."""
    mine, theirs = saved(bm, "mine"), saved(ref, "theirs")
    # Member order is unspecified: where the bytes differ, the contents must not.
    assert mine == theirs or parsed(mine) == parsed(theirs), what + ": saved files differ"
    a, b = answers(bm, queries), answers(ref, queries)
    assert same_answers(a, b), what + ": answers differ"


def check_same_and_after(bm, ref, queries, more, what):
    """The same now, and after the same further adds and a freeze."""
    check_same(bm, ref, queries, what)
    for target in (bm, ref):
        target.add_documents(more)
        target.freeze()
    check_same(bm, ref, queries + [more[0][1][:2]], what + ", after adding and freezing")


def done():
    json.dump(report, open(os.path.join(WORK, "report.json"), "w"))
'''


# A fixed threshold: every allocation of 128 KiB or more maps fresh memory,
# which the limit refuses (the allocator would otherwise raise its threshold
# and serve large blocks from free heap memory, wherever that happens to be).
# One heap for every thread: the heap of a thread that saved or loaded would
# otherwise keep 64 MiB of address space, which the limit counts as room.
ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": "131072", "MALLOC_ARENA_MAX": "1"}


def run_case(body, tmp_path, *args):
    # Files in memory where possible: a save waits for its data to reach storage.
    work = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else tmp_path)
    try:
        result = run_python(PRELUDE + body, args=[work, *args], stdout=subprocess.DEVNULL, env=ALLOCATOR)
        assert result.returncode == 0, result.stderr[-4000:]
        with open(os.path.join(work, "report.json")) as f:
            return json.load(f)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# Documents of three shapes, each growing other structures: many new token
# names (the token name table, the array of lists), long lists (posting
# growth), and many documents with one common token (the document name table
# and the lengths).
ADDING = r'''
VOCABULARY = ["p%d" % k for k in range(12)] + ["d%d" % k for k in range(3)]
SHAPES = {
    "tokens": lambda i: ("doc%d" % i, ["tok%d_%d" % (i, j) for j in range(200)]),
    "postings": lambda i: ("doc%d" % i, [VOCABULARY[(i * 7 + j) % 12] for j in range(10)]),
    "documents": lambda i: ("a-document-with-a-longer-name-%d" % i, [VOCABULARY[12 + i % 3]]),
}
shape = sys.argv[2]
make = SHAPES[shape]
SIZES = {"tokens": (30, 120, 500), "postings": (2000, 8000, 30000), "documents": (5000, 20000, 80000)}
EXTRA = {"tokens": 1000, "postings": 40000, "documents": 100000}
SLACKS = (0, 1 << 20)


def build(docs, base, upto, loaded):
    """The index without failures: base documents, freeze (and a save and
    load into the frozen object, whose weights it keeps), the rest."""
    bm = vantoro.BM25()
    bm.add_documents(docs[:base])
    bm.freeze()
    if loaded:
        directory = fresh_directory("base")
        bm.save(directory)
        bm.load(directory)
    bm.add_documents(docs[base:upto])
    return bm


all_docs = [make(i) for i in range(SIZES[shape][-1] + EXTRA[shape])]
for base in SIZES[shape]:
    docs = all_docs[:base + EXTRA[shape]]
    for slack in SLACKS:
        # Frozen, or frozen then loaded (new postings then take the stored
        # weights of their names), in turn.
        loaded = len(report["attempts"]) % 2 == 1
        bm = build(docs, base, base, loaded)
        pos, failed = base, False
        with Limited(slack):
            while pos < len(docs) and not failed:
                chunk = docs[pos:pos + 100]
                try:
                    bm.add_documents(chunk)
                    pos += len(chunk)
                except MemoryError:
                    failed = True
        # The failing call kept the documents before the failing one (the
        # comparison below checks that they are those).
        upto = document_count(bm)
        assert pos <= upto <= pos + 100
        ref = build(docs, base, upto, loaded)
        near = [docs[k][1][:3] for k in (0, base - 1, upto - 1, min(upto, len(docs) - 1))]
        queries = near + [[t] for q in near for t in q]
        more = [("more%d" % k, docs[(upto + k) % len(docs)][1][:5] + ["more"]) for k in range(30)]
        check_same_and_after(bm, ref, queries, more, "%s %d %d" % (shape, base, slack))
        report["attempts"].append({"base": base, "slack": slack, "loaded": loaded, "failed": failed,
                                   "added": upto - base})
done()
'''


@pytest.mark.parametrize("shape", ["tokens", "postings", "documents"])
def test_adding(shape, tmp_path):
    attempts = run_case(ADDING, tmp_path, shape)["attempts"]
    assert len(attempts) == 6
    # The limit must bite: most attempts end in MemoryError, and so do the
    # tightest ones (no room beyond what the process maps).
    assert sum(a["failed"] for a in attempts) >= 5, attempts
    assert all(a["failed"] for a in attempts if a["slack"] == 0), attempts


FREEZING = r'''
# Freezing under the limit: the stored weights stay those of the earlier
# freeze (or none) until a freeze succeeds. Freezes of a grown index (its
# lists give back their spare room first) and of a loaded one (no room to
# give back).
docs = [("doc%d" % i, ["p%d" % ((i * 7 + j) % 90) for j in range(1 + i % 30)]) for i in range(20000)]
source = vantoro.BM25()
source.add_documents(docs)
directory = fresh_directory("source")
source.save(directory)
for state in ("grown", "loaded"):
    for slack in (0, 1 << 18, 1 << 20):
        bm, ref = vantoro.BM25(), vantoro.BM25()
        for target in (bm, ref):
            if state == "grown":
                target.add_documents(docs[:4000])
                target.freeze()
                target.add_documents(docs[4000:])
            else:
                target.load(directory)
        with Limited(slack):
            result = outcome(bm.freeze)
        if result[0] == "ok":
            ref.freeze()
        else:
            assert result[0] == "MemoryError", result
        queries = [["p1"], ["p2", "p3"], docs[-1][1][:4]]
        more = [("more%d" % k, ["p%d" % k, "more"]) for k in range(10)]
        check_same_and_after(bm, ref, queries, more, "freeze %s %d" % (state, slack))
        report["attempts"].append({"state": state, "failed": result[0] != "ok"})
done()
'''


def test_freezing(tmp_path):
    attempts = run_case(FREEZING, tmp_path)["attempts"]
    assert len(attempts) == 6 and sum(a["failed"] for a in attempts) >= 4, attempts
    assert {a["state"] for a in attempts if a["failed"]} == {"grown", "loaded"}, attempts


SEARCHING = r'''
# Searches asking for every candidate of a large index: the result lists
# (and with them the ranking's heap) may not be made. The index and the
# calling thread's score table are left as they were: later searches on the
# same thread answer as before. A thread's first search makes its table,
# which fails too.
docs = [("doc%d" % i, ["common", "p%d" % (i % 50), "q%d" % (i % 7)]) for i in range(50000)]
bm, ref = vantoro.BM25(), vantoro.BM25()
for target in (bm, ref):
    target.add_documents(docs)
queries = [["common"], ["p3", "q2"], ["q1", "p4", "common"]]
answers(bm, queries)  # the calling thread's score table exists
bm.freeze()
ref.freeze()
calls = {
    "instance": lambda target: target.search_instance(["common", "p1"], 10**9),
    "stored": lambda target: target.search(["common"], 10**9),
    "batch": lambda target: target.batch_search([["common"], ["q1", "common"]], 10**9),
}
for slack in (0, 1 << 16, 1 << 20):
    for name, call in calls.items():
        with Limited(slack):
            result = outcome(lambda: call(bm))
        if result[0] == "ok":
            mine, expected = result[1], call(ref)
            if name != "batch":
                mine, expected = [mine], [expected]
            assert same_answers(mine, expected), name
        else:
            assert result[0] == "MemoryError", result[0]
        report["attempts"].append({"failed": result[0] != "ok"})
        check_same(bm, ref, queries, "search %d" % slack)

# A thread's first search, under the limit.
go, finished, again = threading.Event(), threading.Event(), threading.Event()
seen = []
def first_search():
    go.wait()
    seen.append(outcome(lambda: bm.search(["p1", "q1"], 5)))
    finished.set()
    again.wait()
    seen.append(outcome(lambda: sorted(bm.search(["p1", "q1"], 10**9))))
thread = threading.Thread(target=first_search)
thread.start()
with Limited(0):
    go.set()
    finished.wait()
again.set()
thread.join()
assert seen[0][0] in ("MemoryError", "ok"), seen[0][0]
assert seen[1] == ["ok", sorted(ref.search(["p1", "q1"], 10**9))]
check_same_and_after(bm, ref, queries, [("more", ["common", "more"])], "after the searches")
done()
'''


def test_searching(tmp_path):
    attempts = run_case(SEARCHING, tmp_path)["attempts"]
    assert len(attempts) == 9 and sum(a["failed"] for a in attempts) >= 6, attempts


BATCH = r'''
# The pool is started before the limit (a batch of empty queries runs no
# search); its threads' first searches, and their first exceptions, then
# come under the limit. Each batch raises MemoryError or answers right, and
# the process lives on.
docs = [("doc%d" % i, ["p%d" % (i % 40), "q%d" % (i % 9)]) for i in range(40000)]
bm, ref = vantoro.BM25(), vantoro.BM25()
for target in (bm, ref):
    target.add_documents(docs)
bm.batch_search([[], []], 1)
queries = [["p%d" % k, "q%d" % (k % 9)] for k in range(40)]
for slack, n in ((0, 10), (0, 10**9), (1 << 20, 10**9)):
    with Limited(slack):
        result = outcome(lambda: bm.batch_search(queries, n))
    if result[0] == "ok":
        assert same_answers(result[1], ref.batch_search(queries, n))
    else:
        assert result[0] == "MemoryError", result[0]
    report["attempts"].append({"failed": result[0] != "ok"})
check_same_and_after(bm, ref, queries[:5], [("more", ["p1", "more"])], "after the batches")
done()
'''


def test_batch_search(tmp_path):
    attempts = run_case(BATCH, tmp_path)["attempts"]
    assert len(attempts) == 3 and any(a["failed"] for a in attempts), attempts


SAVING = r'''
# A save that cannot encode its files leaves the previous files as they
# were and no temporary file beside them.
docs = [("doc%d" % i, ["p%d" % (i % 70), "t%d" % i]) for i in range(60000)]
bm, ref = vantoro.BM25(), vantoro.BM25()
for target in (bm, ref):
    target.add_documents(docs[:100])
target_dir = fresh_directory("target")
bm.save(target_dir)
previous = files(target_dir)
for target in (bm, ref):
    target.add_documents(docs[100:])
for slack in (0, 1 << 18, 1 << 20):
    with Limited(slack):
        result = outcome(lambda: bm.save(target_dir))
    assert result[0] == "MemoryError", result[0]
    assert files(target_dir) == previous
    assert sorted(os.listdir(target_dir)) == ["index.json", "token_index.json"]
    report["attempts"].append({"failed": True})
    check_same(bm, ref, [["p1"], ["t5", "p5"]], "save %d" % slack)
bm.save(target_dir)
ref_dir = fresh_directory("ref")
ref.save(ref_dir)
assert [json.loads(f) for f in files(target_dir)] == [json.loads(f) for f in files(ref_dir)]
done()
'''


def test_saving(tmp_path):
    assert len(run_case(SAVING, tmp_path)["attempts"]) == 3


LOADING = r'''
# A load that runs out of memory (reading, decoding, building the lists,
# carrying the stored weights over) leaves the object as it was.
big = [("doc%d" % i, ["p%d" % (i % 60), "t%d" % i, "q%d" % (i % 11)]) for i in range(60000)]
source = vantoro.BM25()
source.add_documents(big)
directory = fresh_directory("big")
source.save(directory)
small = [("doc%d" % i, ["p%d" % (i % 5), "t%d" % i]) for i in range(0, 3000, 3)]
bm, ref = vantoro.BM25(), vantoro.BM25()
for target in (bm, ref):
    target.add_documents(small)
    target.freeze()
queries = [["p1"], ["p2", "q3"], ["t3", "p3"]]
for slack in (0, 1 << 20, 4 << 20, 12 << 20):
    with Limited(slack):
        result = outcome(lambda: bm.load(directory))
    if result[0] == "ok":
        ref.load(directory)
    else:
        assert result[0] == "MemoryError", result[0]
    report["attempts"].append({"failed": result[0] != "ok"})
    check_same(bm, ref, queries, "load %d" % slack)
for target in (bm, ref):
    target.load(directory)
# The stored weights of the small index's freeze carry over by name.
check_same_and_after(bm, ref, queries, [("more", ["p1", "more"])], "after the load")
done()
'''


def test_loading(tmp_path):
    attempts = run_case(LOADING, tmp_path)["attempts"]
    assert len(attempts) == 4 and sum(a["failed"] for a in attempts) >= 3, attempts


REPRODUCER = r'''
# The report's case: 600 MiB of address space, then calls of 100 documents
# of 200 new tokens each until one runs out of memory.
resource.setrlimit(resource.RLIMIT_AS, (600 * 2**20, HARD))
bm = vantoro.BM25()
calls = 0
def documents(c):
    return [("d%d_%d" % (c, i), ["t%d_%d_%d" % (c, i, j) for j in range(200)]) for i in range(100)]
try:
    while calls < 2000:
        batch = documents(calls)
        bm.add_documents(batch)
        calls += 1
except MemoryError:
    pass
resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
del batch
gc.collect()
assert calls < 2000, "no MemoryError"
report["calls"] = calls
report["first"] = bm.search_instance(["t0_0_0"], 1)
# The failing call kept the documents before its failing one.
failing = documents(calls)
kept = [bool(bm.search_instance([tokens[199]], 1)) for _, tokens in failing]
report["kept"] = sum(kept)
assert kept == sorted(kept, reverse=True), kept
# Every token is in one document of 200 tokens: each sampled token finds
# its own document, all with one score, before and after a freeze.
samples = [(d, tokens[j]) for c in range(0, calls + 1, 5) for d, tokens in documents(c)[::9] for j in (0, 100, 199)]
samples = [(d, t) for d, t in samples if d in {doc for doc, _ in failing[:sum(kept)]} or not d.startswith("d%d_" % calls)]
assert report["first"], "the first document is lost"
first = report["first"][0][1]
assert all(bm.search_instance([t], 3) == [(d, first)] for d, t in samples)
bm.add_documents([("late", ["late"])])
bm.freeze()
frozen = bm.search(["t0_0_0"], 1)[0][1]
assert all(bm.search([t], 3) == [(d, frozen)] for d, t in samples)
done()
'''


def test_report_case_adding_until_memory_runs_out(tmp_path):
    report = run_case(REPRODUCER, tmp_path)
    assert report["first"] and report["first"][0][0] == "d0_0", report
    assert report["calls"] > 10
