"""How postings are held: lists cut into blocks of 64, counts in one byte
where they fit, weights beside the postings, postings that go into the middle
of a list, and documents' maps kept apart where the loaded files disagree.
Every case is checked against the reference model, through every search and
through what saving writes."""
import json
import os
import subprocess

import pytest

import vantoro
from bm25_model import Model, check_search, expect_fault, MISSING
from conftest import run_python

NS = (0, 1, 3, 10, 100, 1000)


def write_files(directory, documents, tokens):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "index.json"), "w") as f:
        json.dump(documents, f)
    with open(os.path.join(directory, "token_index.json"), "w") as f:
        json.dump(tokens, f)


def mirrored(docs):
    """The two files of an agreeing index: docs maps id -> {token: count}."""
    documents = {d: {"id": d, "maps": dict(m)} for d, m in docs.items()}
    tokens = {}
    for d, m in docs.items():
        for t, c in m.items():
            tokens.setdefault(t, {"text": t, "maps": {}})["maps"][d] = c
    return documents, tokens


def saved(bm, directory):
    os.makedirs(directory, exist_ok=True)
    bm.save(str(directory))
    with open(os.path.join(directory, "index.json")) as f:
        documents = json.load(f)
    with open(os.path.join(directory, "token_index.json")) as f:
        tokens = json.load(f)
    return documents, tokens


def check_all(bm, model, queries, ns=NS):
    for query in queries:
        for n in ns:
            check_search(bm, model, query, n)


def freeze_both(bm, model):
    bm.freeze()
    model.freeze()


def load_both(bm, model, directory, documents, tokens):
    write_files(directory, documents, tokens)
    bm.load(str(directory))
    model.load(documents, tokens)


def list_documents(size, token="t", prefix="d"):
    """`size` documents holding `token` with varied counts and lengths (so
    that weights differ and blocks have different bounds), half of them
    also holding "s"."""
    docs = []
    for i in range(size):
        tokens = [token] * (1 + i * 7 % 4) + ["f%d" % (i % 5)] * (i * 13 % 17)
        if i % 2:
            tokens.append("s")
        docs.append(("%s%d" % (prefix, i), tokens))
    return docs


QUERIES = (["t"], ["t", "s"], ["s", "f1"], ["t", "f2", "s"])


@pytest.mark.parametrize("size", [63, 64, 65, 128, 129])
def test_lists_at_block_boundaries(size, tmp_path, capfd):
    bm, model = vantoro.BM25(), Model()
    docs = list_documents(size)
    # The last two postings come after a freeze: stored weights stop short
    # of the list's end, on either side of a block boundary.
    for doc_id, tokens in docs[:-2]:
        bm.add_document(doc_id, tokens)
        model.add(doc_id, tokens)
    freeze_both(bm, model)
    bm.add_documents(docs[-2:])
    for doc_id, tokens in docs[-2:]:
        model.add(doc_id, tokens)
    check_all(bm, model, QUERIES)
    freeze_both(bm, model)
    check_all(bm, model, QUERIES)
    # A load into the frozen object keeps the weights: the loaded lists
    # take them by name.
    documents, tokens = saved(bm, tmp_path / "a")
    load_both(bm, model, tmp_path / "b", documents, tokens)
    check_all(bm, model, QUERIES)
    fresh = vantoro.BM25()
    fresh.load(str(tmp_path / "a"))
    check_all(fresh, Model.loaded(documents, tokens), QUERIES)
    capfd.readouterr()


class TestCountsBeyondOneByte:
    def test_loaded_counts_are_kept_and_scored(self, tmp_path, capfd):
        # 0 and negative counts make scores that are not numbers or negative:
        # searches visit every posting and report what the model reports.
        counts = [0, -1, 1, 255, 256, 2**31 - 1, -(2**31), 2]
        docs = {"d%d" % i: {"t": c, "u%d" % (i % 2): 1 + i} for i, c in enumerate(counts)}
        documents, tokens = mirrored(docs)
        bm, model = vantoro.BM25(), Model()
        load_both(bm, model, tmp_path / "in", documents, tokens)
        assert saved(bm, tmp_path / "out") == (documents, tokens)
        queries = (["t"], ["u0"], ["u1"], ["t", "u1"])
        check_all(bm, model, queries)
        freeze_both(bm, model)
        check_all(bm, model, queries)
        capfd.readouterr()

    def test_large_counts_across_blocks_in_a_regular_index(self, tmp_path, capfd):
        # Counts of 1 or more only: pruning stays on, and the bounds must
        # see the counts held apart, wherever they fall in the blocks.
        big = {0: 2**31 - 1, 63: 256, 64: 255, 65: 70000, 127: 300, 128: 2**20, 129: 1000}
        docs = {"d%d" % i: {"t": big.get(i, 1 + i % 3), "f%d" % (i % 4): 2 + i % 5} for i in range(130)}
        documents, tokens = mirrored(docs)
        bm, model = vantoro.BM25(), Model()
        load_both(bm, model, tmp_path / "in", documents, tokens)
        queries = (["t"], ["t", "f1"], ["f0", "f3"])
        check_all(bm, model, queries)
        freeze_both(bm, model)
        check_all(bm, model, queries)
        assert saved(bm, tmp_path / "out") == (documents, tokens)
        capfd.readouterr()

    def test_added_repeats(self, tmp_path, capfd):
        bm, model = vantoro.BM25(), Model()
        docs = [("r%d" % i, ["x"] * (250 + i) + ["y"] * (i % 3)) for i in range(0, 80, 3)]
        docs.append(("many", ["x"] * 300 + ["y"]))
        docs += list_documents(70, token="x")
        for doc_id, tokens in docs:
            bm.add_document(doc_id, tokens)
            model.add(doc_id, tokens)
        assert saved(bm, tmp_path / "out") == model.files()
        check_all(bm, model, (["x"], ["x", "y"], ["y"]))
        freeze_both(bm, model)
        check_all(bm, model, (["x"], ["x", "y"], ["y"]))
        capfd.readouterr()


def disagreeing_files():
    """Files that disagree in every way the reader allows: a token listing
    documents the documents file lacks (ghost, phantom), a document counting
    a token the token file lacks, counts that differ between the files,
    record ids and texts that differ from their keys, a count near 255."""
    documents = {
        "a": {"id": "a", "maps": {"t": 1, "only-in-documents": 3}},
        "b": {"id": "B", "maps": {"t": 2, "u": 1}},
        "c": {"id": "c", "maps": {"t": 5}},
        "lonely": {"id": "lonely", "maps": {}},
    }
    tokens = {
        "t": {"text": "t", "maps": {"a": 1, "b": 7, "c": 5, "ghost": 200}},
        "u": {"text": "U", "maps": {"b": 1, "phantom": 4}},
        "v": {"text": "v", "maps": {"ghost": 1}},
        "empty": {"text": "empty", "maps": {}},
    }
    return documents, tokens


class TestFilesThatDisagree:
    def test_saving_writes_each_file_as_loaded(self, tmp_path, capfd):
        documents, tokens = disagreeing_files()
        bm = vantoro.BM25()
        write_files(tmp_path / "in", documents, tokens)
        bm.load(str(tmp_path / "in"))
        assert saved(bm, tmp_path / "out") == (documents, tokens)
        capfd.readouterr()

    def test_adding_keeps_both_maps(self, tmp_path, capfd):
        # ghost is listed by tokens but is no document: adding it sums its
        # counts in the token map (200 + 100 leaves one byte) and gives the
        # documents map only the new counts.
        documents, tokens = disagreeing_files()
        bm, model = vantoro.BM25(), Model()
        load_both(bm, model, tmp_path / "in", documents, tokens)
        queries = (["t"], ["u"], ["v"], ["t", "v"], ["w"], ["only-in-documents"], ["empty"])
        check_all(bm, model, queries)
        added = [("n1", ["t", "w"]), ("ghost", ["t"] * 100 + ["w", "v"]), ("b", ["z"]), ("n2", ["t"] * 300)]
        for doc_id, tokens_ in added:
            bm.add_document(doc_id, tokens_)
            model.add(doc_id, tokens_)
        assert saved(bm, tmp_path / "out") == model.files()
        check_all(bm, model, queries)
        expect_fault(bm.freeze, MISSING)  # phantom is still missing
        bm.add_document("phantom", ["u", "t"])
        model.add("phantom", ["u", "t"])
        freeze_both(bm, model)
        check_all(bm, model, queries)
        assert saved(bm, tmp_path / "out2") == model.files()
        capfd.readouterr()

    @pytest.mark.parametrize("listed, new, ghosts", [(62, 1, 1), (60, 2, 3), (120, 5, 10), (4060, 40, 100)])
    def test_interned_documents_added_into_the_middle_of_lists(self, listed, new, ghosts, tmp_path, capfd):
        # A load interns the names of documents that only the token file
        # lists; documents added afterwards come after them, so adding one
        # of those names later puts its postings between listed ones, here
        # filling blocks up to and past a boundary. The index stays irregular
        # (a count of 0), so the searches visit every posting and the stored
        # weights are searched by their bounds.
        docs = {"d%d" % i: {"t": 1 + i % 3, "f%d" % (i % 7): 1 + i % 2} for i in range(listed)}
        docs["d0"]["zero"] = 0
        documents, tokens = mirrored(docs)
        tokens["g"] = {"text": "g", "maps": {"ghost%d" % k: 1 for k in range(ghosts)}}
        bm, model = vantoro.BM25(), Model()
        load_both(bm, model, tmp_path / "in", documents, tokens)
        added = [("new%d" % k, ["t"] * 4) for k in range(new)]
        added += [("ghost%d" % k, ["t"] * (9 + k % 5) + ["g"]) for k in range(ghosts)]
        for doc_id, tokens_ in added:
            bm.add_document(doc_id, tokens_)
            model.add(doc_id, tokens_)
        queries = (["t"], ["t", "f1"], ["g", "t"])
        check_all(bm, model, queries)
        freeze_both(bm, model)
        check_all(bm, model, queries)
        bm.add_document("late", ["t", "f1"])
        model.add("late", ["t", "f1"])
        check_all(bm, model, queries)
        assert saved(bm, tmp_path / "out") == model.files()
        capfd.readouterr()


def test_tokens_first_seen_after_a_freeze(capfd):
    # A token and documents that the last freeze did not see: stored
    # weights give them 0.0, so they rank below every stored weight, and
    # the bounds of their blocks (all 0.0) must not hide the older ones.
    bm, model = vantoro.BM25(), Model()
    for doc_id, tokens in list_documents(100):
        bm.add_document(doc_id, tokens)
        model.add(doc_id, tokens)
    freeze_both(bm, model)
    for doc_id, tokens in list_documents(150, token="new", prefix="late"):
        tokens = tokens + (["t"] if doc_id.endswith("7") else [])
        bm.add_document(doc_id, tokens)
        model.add(doc_id, tokens)
    check_all(bm, model, (["new"], ["new", "t"], ["t"], ["s", "new"]))
    capfd.readouterr()


# ---- names interned by an add that ran out of memory

INTERNED_BY_FAILED_ADD = r"""
import json, os, resource, sys
import vantoro

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024

# As many documents holding "t" as its list has room for (lists grow by
# half from 4), so that the next posting of "t" needs a larger list.
full = 4
while full < 20000:
    full += full // 2
docs = [("d%d" % i, ["t", "f%d" % (i % 10)]) for i in range(full)]
victim = ["t"] * 3 + ["v"]
bm = vantoro.BM25()
bm.add_documents(docs)
# The first tries have no room for the larger list: they fail after the
# victim's name was interned.
failed = []
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for step in range(40):
    name = "victim%d" % step
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + step * (1 << 16), hard))
    try:
        bm.add_document(name, victim)
    except MemoryError:
        failed.append(name)
        continue
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    break
later = [("after%d" % k, ["t", "t", "v"]) for k in range(5)]
bm.add_documents(later)
for name in failed:
    bm.add_document(name, victim)
# The same documents, added without failures.
ref = vantoro.BM25()
ref.add_documents(docs + [("victim%d" % len(failed), victim)] + later + [(name, victim) for name in failed])
out = sys.argv[1]
for target, name in ((bm, "bm"), (ref, "ref")):
    os.mkdir(os.path.join(out, name))
    target.save(os.path.join(out, name))
queries = [["t", "v"], ["v"], ["t", "f3"]]
json.dump({
    "failed": failed,
    "bm": [bm.search_instance(q, 10**9) for q in queries],
    "ref": [ref.search_instance(q, 10**9) for q in queries],
}, open(os.path.join(out, "answers.json"), "w"))
"""


@pytest.mark.skipif(bool(os.environ.get("VANTORO_EXPECT_SANITIZED")),
                    reason="the sanitizer runtime cannot run under an address-space limit")
def test_names_interned_by_a_failed_add_are_added_later(tmp_path):
    # One thread: a list added on two threads reserves the lengths of exactly
    # its documents, and the victim's first tries would then fail on growing
    # them, before its name is interned.
    result = run_python(INTERNED_BY_FAILED_ADD, args=[str(tmp_path)], stdout=subprocess.DEVNULL,
                        env={"MALLOC_MMAP_THRESHOLD_": "131072", "RAYON_NUM_THREADS": "1"})
    assert result.returncode == 0, result.stderr
    answers = json.load(open(tmp_path / "answers.json"))
    failed = answers["failed"]
    assert failed, "no add ran out of memory"
    with open(tmp_path / "bm" / "token_index.json") as f:
        order = list(json.load(f)["v"]["maps"])
    # Precondition: a failed add interned its name, so that its later add
    # put postings between those of documents added after it.
    assert order.index(failed[0]) < order.index("after0"), order
    for name in ("index.json", "token_index.json"):
        with open(tmp_path / "bm" / name) as mine, open(tmp_path / "ref" / name) as theirs:
            assert json.load(mine) == json.load(theirs), name
    for mine, theirs in zip(answers["bm"], answers["ref"]):
        assert sorted(mine) == sorted(theirs)
