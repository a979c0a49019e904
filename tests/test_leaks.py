"""Every method, on success and on each failure path, run thousands of times:
native memory in use, the interpreter's allocated blocks and the reference
counts of the arguments stay flat."""
import json
import os

from conftest import NATIVE_BYTES, run_python

# Runs in a fresh interpreter with fd 1 on /dev/null (progress lines). Prints
# one JSON object: per scenario, the growth of native bytes in use, of the
# interpreter's allocated blocks, and of the arguments' reference counts.
PROBE = NATIVE_BYTES + r'''
import gc, json, os, shutil, sys, tempfile
import vantoro

ROUNDS = int(sys.argv[1])
root = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
good = os.path.join(root, "good")
bad = os.path.join(root, "bad")
os.mkdir(good)
os.mkdir(bad)
with open(os.path.join(bad, "index.json"), "w") as f:
    f.write('{"d":{"id":"d","maps":{"a":1}}}')
with open(os.path.join(bad, "token_index.json"), "w") as f:
    f.write('{"a":{"text":"a","maps":{"d":1,"ghost":2}}}')  # names a missing document

def index(frozen=True):
    bm = vantoro.BM25()
    bm.add_documents([("d%d" % i, ["t%d" % (i % 5), "tok%d" % (i % 3), "é"]) for i in range(30)])
    if frozen:
        bm.freeze()
    return bm

frozen, unfrozen, broken = index(), index(False), vantoro.BM25()
frozen.save(good)
broken.load(bad)
query = ["t1", "tok2", "é", "missing"]
queries = [query, ["t3"], [], ["t0", "t0"]]
docs = [("x%d" % i, ["t1", "new%d" % i]) for i in range(3)]

class Seq:
    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at
    def __len__(self):
        return len(self.items)
    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError("boom")
        return self.items[i]

class Index:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value

class Reenter:  # a query that calls add_document on its own index
    def __len__(self):
        return 1
    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        frozen.add_document("inner", ["a"])

def adding():
    bm = vantoro.BM25()
    bm.add_documents(docs)
    bm.add_document("y", query)
    bm.add_documents(Seq([("z", Seq(query))]))

named = type("Named", (), {})
named.__qualname__ = "x\x00y"
scenarios = {
    "construct": lambda: vantoro.BM25(),
    "construct with arguments": lambda: vantoro.BM25(1),
    "construct with keyword": lambda: vantoro.BM25(**{"a\x00b": 1}),
    "add": adding,
    "freeze": lambda: index(),
    "freeze without tokens": lambda: vantoro.BM25().freeze(),
    "freeze of a broken index": lambda: broken.freeze(),
    "search": lambda: frozen.search(query, 3),
    "search of user sequences": lambda: frozen.search(Seq(query), Index(3)),
    "search unfrozen": lambda: unfrozen.search(query, 3),
    "search_instance": lambda: unfrozen.search_instance(tuple(query), True),
    "search_instance of a broken index": lambda: broken.search_instance(["a"], 3),
    "batch_search": lambda: frozen.batch_search(queries, 3),
    "batch_search on the fly": lambda: unfrozen.batch_search(Seq([Seq(q) for q in queries]), 3),
    "batch_search of a broken index": lambda: broken.batch_search([["a"], ["a"]], 3),
    "save": lambda: frozen.save(good),
    "save_index and save_token_index": lambda: (frozen.save_index(good + "/x"), frozen.save_token_index(good + "/x")),
    "load": lambda: unfrozen.load(good),
    "save to a missing directory": lambda: frozen.save(root + "/missing"),
    "save to a path with NUL": lambda: frozen.save_index(root + "/\x00"),
    "load of missing files": lambda: unfrozen.load(root),
    "load of a bad file": lambda: unfrozen.load(good + "/index.json"),
    "too many arguments": lambda: frozen.search(query, 3, 4),
    "unknown keyword": lambda: frozen.search(query, **{"n\x00x": 3}),
    "repeated argument": lambda: frozen.search(query, 3, n=3),
    "missing argument": lambda: frozen.add_document(),
    "wrong receiver": lambda: vantoro.BM25.search(object(), query, 3),
    "str for a list": lambda: frozen.search("abc", 3),
    "set for a list": lambda: frozen.batch_search({"a"}, 3),
    "int among tokens": lambda: frozen.add_documents([("d", ["a", 1])]),
    "list for a pair": lambda: frozen.add_documents([["d", ["a"]]]),
    "pair of three": lambda: frozen.add_documents([("d", ["a"], 3)]),
    "lone surrogate": lambda: frozen.search_instance(["a", "\ud800"], 3),
    "qualified name with NUL": lambda: frozen.save(named()),
    "sequence that raises": lambda: frozen.search_instance(Seq(query, fail_at=2), 3),
    "documents that raise": lambda: frozen.add_documents(Seq(docs, fail_at=2)),
    "negative n": lambda: frozen.search(query, -1),
    "float n": lambda: frozen.search(query, 2.5),
    "index method raising TypeError": lambda: frozen.search(query, Index(TypeError("a\x00b"))),
    "access conflict": lambda: frozen.search_instance(Reenter(), 3),
}

def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]

def measure(call, arguments):
    def run():
        try:
            call()
        except BaseException:
            pass
    for _ in range(200):
        run()
    gc.collect()
    counts = refcounts(arguments)
    blocks, native = sys.getallocatedblocks(), native_bytes()
    for _ in range(ROUNDS):
        run()
    gc.collect()
    return (native_bytes() - native, sys.getallocatedblocks() - blocks,
            [after - before for after, before in zip(refcounts(arguments), counts)])

arguments = [query, queries, docs, frozen] + query + [q for q in queries]
try:
    growth = {name: measure(call, arguments) for name, call in scenarios.items()}
finally:
    shutil.rmtree(root)
print(json.dumps(growth), file=sys.stderr)
'''


def test_no_method_leaks_on_any_path():
    rounds = 3000
    result = run_python(PROBE, args=[str(rounds)], stdout=open(os.devnull, "w"))
    assert result.returncode == 0, result.stderr
    growth = json.loads(result.stderr.strip().splitlines()[-1])
    assert len(growth) == 40
    # A leak of one pointer per call would add 8 x 3000 bytes.
    leaks = {name: g for name, g in growth.items() if g[0] > 8 * rounds or g[1] > rounds // 10 or any(g[2])}
    assert leaks == {}, leaks
