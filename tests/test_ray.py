"""Batch search on a local Ray cluster (vantoro_ray): results equal to a local
batch_search, actors killed mid-run, the object-store path, failures with the
local exception, and the Ray Data callable. One cluster serves the module."""
import json
import os
import random
import shutil
import tempfile

import pytest

import vantoro
from conftest import fault_type

if os.environ.get("VANTORO_EXPECT_SANITIZED"):
    pytest.skip("Ray's own binaries would inherit the preloaded sanitizer runtimes of this run",
                allow_module_level=True)
ray = pytest.importorskip("ray", reason="Ray is not installed (pip install '.[ray]')")
import vantoro_ray  # noqa: E402

N_QUERIES = 3000


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, object_store_memory=96 * 1024 * 1024, include_dashboard=False,
             log_to_driver=False, configure_logging=False)
    try:
        yield
    finally:
        ray.shutdown()


def quiet(call, *args):
    """Runs call with descriptor 1 (vantoro's progress and messages) sent to /dev/null."""
    with vantoro_ray._descriptor_to_devnull(1):
        return call(*args)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A saved index of 1,500 documents (some empty, non-ASCII tokens, ids of
    realistic length), queries that include empty ones, unknown tokens and
    repeats, and the full local ranking of every query."""
    rng = random.Random(5)
    vocab = [f"tok{i}" for i in range(400)] + ["é", "naïve", "", "a b", "\u4e2d\u6587"]
    weights = [1.0 / (rank + 3) for rank in range(len(vocab))]
    docs = [(f"document-{i:05d}-{rng.randrange(10**8):08d}",
             rng.choices(vocab, weights, k=rng.choice([0, 3, 8, 20, 40])))
            for i in range(1500)]
    directory = tmp_path_factory.mktemp("index")
    bm = vantoro.BM25()
    quiet(bm.add_documents, docs)
    quiet(bm.save, str(directory))
    queries = []
    for i in range(N_QUERIES):
        kind = i % 10
        if kind == 0:
            queries.append([])
        elif kind == 1:
            queries.append([f"unknown{i}", rng.choice(vocab)])
        elif kind == 2:
            queries.append([f"unknown{i}"])
        else:
            queries.append(rng.choices(vocab, weights, k=rng.randint(1, 5)))
    queries[50:60] = [queries[3]] * 10
    local = vantoro.BM25()
    quiet(local.load, str(directory))
    quiet(local.freeze)
    full = [dict(result) for result in local.batch_search(queries, 10**9)]
    return {"dir": str(directory), "queries": queries, "local": local, "full": full}


def assert_same_results(got, corpus, n, count=None):
    """Equal to the local batch_search of the first `count` queries (default
    all) up to the order of tied documents: the same scores in the same
    order, each document with its local score."""
    count = len(corpus["queries"]) if count is None else count
    full = corpus["full"][:count]
    assert len(got) == len(full)
    expected = corpus["local"].batch_search(corpus["queries"][:count], n)
    for i, (result, ranking, local) in enumerate(zip(got, full, expected)):
        assert len(result) == min(n, len(ranking)), i
        assert [s for _, s in result] == pytest.approx([s for _, s in local], rel=1e-6), i
        for doc, score in result:
            assert score == pytest.approx(ranking[doc], rel=1e-6), (i, doc)
        assert len({doc for doc, _ in result}) == len(result), i


@pytest.mark.parametrize("num_actors,cpus,threads", [(1, None, "2"), (2, 1, "1"), (3, 0.5, "1")])
def test_results_equal_local_batch_search(cluster, corpus, num_actors, cpus, threads):
    queries = corpus["queries"]
    with vantoro_ray.SearchPool(corpus["dir"], num_actors, cpus) as pool:
        ready = pool.wait_ready()
        assert [(t["threads"], t["load_s"] >= 0, t["freeze_s"] >= 0) for t in ready] == [(threads, True, True)] * num_actors
        assert len({t["pid"] for t in ready}) == num_actors
        for n in (0, 1, 10):
            assert_same_results(pool.batch_search(queries, n, progress=False), corpus, n)
        # Many small chunks on few actors: results still come back in query order.
        got = pool.batch_search(queries, 10**6, chunk_size=7, progress=False)
        assert [dict(r) == pytest.approx(full, rel=1e-6) for r, full in zip(got, corpus["full"])] == [True] * len(got)
        assert pool.batch_search([], 3) == []


@pytest.mark.parametrize("replacements", [None, 0])
def test_actor_killed_during_a_run(cluster, corpus, replacements):
    killed = []

    with vantoro_ray.SearchPool(corpus["dir"], 2, 0.5, max_actor_replacements=replacements) as pool:
        pool.wait_ready()

        def kill_once(done, total):
            if not killed:
                killed.append(pool.actors[0])
                ray.kill(pool.actors[0])

        got = pool.batch_search(corpus["queries"], 10, chunk_size=20, progress=kill_once)
        assert killed and all(actor is not killed[0] for actor in pool.actors)
        if replacements is None:
            assert pool.replacements == 1 and len(pool.actors) == 2
        else:
            assert pool.replacements == 0 and len(pool.actors) == 1
        assert_same_results(got, corpus, 10)
        # The pool goes on working after the loss.
        assert_same_results(pool.batch_search(corpus["queries"], 1, progress=False), corpus, 1)


def test_pool_with_every_actor_lost_fails(cluster, corpus):
    with vantoro_ray.SearchPool(corpus["dir"], 1, 0.5, max_actor_replacements=0) as pool:
        pool.wait_ready()
        ray.kill(pool.actors[0])
        with pytest.raises(RuntimeError, match="every search actor died"):
            pool.batch_search(corpus["queries"], 5, progress=False)


def test_object_store_path_needs_no_shared_directory(cluster, corpus, tmp_path):
    copy = tmp_path / "private"
    shutil.copytree(corpus["dir"], copy)
    shipped = vantoro_ray.put_index(copy)
    assert sum(shipped.sizes) == sum(os.path.getsize(copy / name) for name in vantoro_ray.INDEX_FILES)
    shutil.rmtree(copy)  # the workers can only get the files from the object store now
    before = set(os.listdir(tempfile.gettempdir()))
    got = vantoro_ray.batch_search(shipped, corpus["queries"], 10, num_actors=2, num_cpus_per_actor=0.5,
                                   progress=False)
    assert_same_results(got, corpus, 10)
    # Each worker removes its copy once loaded.
    left = {name for name in set(os.listdir(tempfile.gettempdir())) - before if name.startswith("vantoro-index-")}
    assert left == set()
    # ship_index=True does the same from a directory path.
    got = vantoro_ray.batch_search(corpus["dir"], corpus["queries"][:500], 3, num_actors=1,
                                   num_cpus_per_actor=0.5, ship_index=True, progress=False)
    assert_same_results(got, corpus, 3, count=500)


def local_failure(call):
    with pytest.raises(BaseException) as excinfo:
        quiet(call)
    return excinfo.value


def remote_failure(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    return excinfo.value


@pytest.fixture
def disagreeing_index(tmp_path):
    """Files that disagree: a search for "a" meets zero-length documents (NaN
    scores), and "m" names a document the index lacks."""
    (tmp_path / "index.json").write_text(json.dumps({
        "p": {"id": "p", "maps": {"a": 0}},
        "q": {"id": "q", "maps": {"a": 0}},
        "r": {"id": "r", "maps": {"b": 2}},
        "s": {"id": "s", "maps": {"c": -2}},
    }))
    (tmp_path / "token_index.json").write_text(json.dumps({
        "a": {"text": "a", "maps": {"p": 0, "q": 0}},
        "b": {"text": "b", "maps": {"r": 2}},
    }))
    return str(tmp_path)


def test_failures_carry_the_local_exception_and_message(cluster, disagreeing_index, tmp_path):
    fault = fault_type()
    assert vantoro_ray.FaultException is fault
    local = vantoro.BM25()
    quiet(local.load, disagreeing_index)
    quiet(local.freeze)
    queries = [["b"]] * 300 + [["a"]] + [["b"]] * 300
    expected = local_failure(lambda: local.batch_search(queries, 5))
    with vantoro_ray.SearchPool(disagreeing_index, 2, 0.5) as pool:
        got = remote_failure(lambda: pool.batch_search(queries, 5, chunk_size=50, progress=False))
        assert type(got) is type(expected) is fault
        assert got.args == expected.args == ("called `Option::unwrap()` on a `None` value",)
        # The failure leaves the pool usable.
        assert pool.batch_search([["b"]] * 3, 5, progress=False) == [[("r", local.search(["b"], 5)[0][1])]] * 3

    # Loading fails as the local load does.
    missing = str(tmp_path / "missing")
    expected = local_failure(lambda: vantoro.BM25().load(missing))
    got = remote_failure(lambda: vantoro_ray.batch_search(missing, [["b"]], 1, num_actors=1,
                                                          num_cpus_per_actor=0.5, progress=False))
    assert type(got) is fault and got.args == expected.args
    assert expected.args[0].startswith("Unable to read file: Os { code: 2, kind: NotFound")

    # Bad arguments fail on the driver, with the local error, before any actor starts.
    for queries, n in (("ab", 1), ([["a"], "b"], 1), ([["a"]], -1), ([[1]], 1), ([["a"]], 1.5)):
        expected = local_failure(lambda: local.batch_search(queries, n))
        got = remote_failure(lambda: vantoro_ray.batch_search(missing, queries, n, num_actors=1))
        assert (type(got), got.args) == (type(expected), expected.args)


def test_progress_bar_on_standard_error_and_switched_off(cluster, corpus, capsys):
    queries = corpus["queries"][:400]
    with vantoro_ray.SearchPool(corpus["dir"], 1, 0.5) as pool:
        pool.batch_search(queries, 3, progress=True, chunk_size=100)
        out, err = capsys.readouterr()
        assert out == "" and "vantoro search" in err and "400/400" in err
        pool.batch_search(queries, 3, progress=False)
        pool.batch_search(queries, 3)  # standard error is not a terminal here
        assert capsys.readouterr() == ("", "")
        seen = []
        pool.batch_search(queries, 3, chunk_size=150, progress=lambda done, total: seen.append((done, total)))
        assert sorted(seen) == [(150, 400), (300, 400), (400, 400)]


def test_worker_start_up_keeps_standard_output_clean(corpus, capfd, monkeypatch):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    loaded = vantoro_ray._LoadedIndex(corpus["dir"], 1)
    assert loaded.error is None
    assert capfd.readouterr().out == ""
    # Outside an actor the pool size of the process is not touched.
    assert "RAYON_NUM_THREADS" not in os.environ
    status, got = loaded.search(corpus["queries"][:50], 4)
    assert status == "ok"
    assert_same_results(got, corpus, 4, 50)


def test_ray_data_searcher_adds_result_columns(cluster, corpus, tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq

    queries = corpus["queries"]
    (tmp_path / "queries").mkdir()
    for part, start in enumerate(range(0, len(queries), 1000)):
        rows = range(start, min(start + 1000, len(queries)))
        pq.write_table(pa.table({"qid": list(rows), "query": [queries[i] for i in rows]}),
                       tmp_path / "queries" / f"part{part}.parquet")
    ds = ray.data.read_parquet(str(tmp_path / "queries"))
    # The index through the object store (a path is covered by the test below).
    shipped = vantoro_ray.put_index(corpus["dir"])
    ds = ds.map_batches(vantoro_ray.Searcher, fn_constructor_kwargs={"index": shipped, "n": 10},
                        concurrency=2, num_cpus=0.5, batch_size=500)
    ds.write_parquet(str(tmp_path / "out"))
    table = pq.read_table(tmp_path / "out")
    assert table.schema.field("result_ids").type == pa.list_(pa.string())
    assert table.schema.field("result_scores").type == pa.list_(pa.float32())
    rows = sorted(table.to_pylist(), key=lambda row: row["qid"])
    assert [row["qid"] for row in rows] == list(range(len(queries)))
    assert [row["query"] for row in rows] == queries
    got = [list(zip(row["result_ids"], row["result_scores"])) for row in rows]
    assert_same_results(got, corpus, 10)


def test_searcher_batch_formats_and_failures(corpus, disagreeing_index):
    import numpy as np
    import pandas as pd
    import pyarrow as pa

    searcher = vantoro_ray.Searcher(corpus["dir"], 4, query_column="q", num_threads=1)
    queries = corpus["queries"][:20]
    column = np.empty(len(queries), dtype=object)
    column[:] = [np.array(q, dtype=object) for q in queries]
    for batch in ({"q": column, "k": np.arange(20)},
                  pd.DataFrame({"q": queries, "k": range(20)}),
                  pa.table({"q": queries, "k": list(range(20))})):
        out = searcher(batch).to_pylist()
        assert [row["k"] for row in out] == list(range(20))
        assert_same_results([list(zip(row["result_ids"], row["result_scores"])) for row in out], corpus, 4, 20)
    with pytest.raises(ValueError, match="result_ids"):
        searcher(pa.table({"q": [["a"]], "result_ids": [["x"]]}))

    failing = vantoro_ray.Searcher(disagreeing_index, 2)
    with pytest.raises(vantoro_ray.IndexFault, match="Option::unwrap"):
        failing(pa.table({"query": [["b"], ["a"]]}))
    with pytest.raises(vantoro_ray.IndexFault, match="^Unable to read file: Os"):
        vantoro_ray.Searcher(os.path.join(disagreeing_index, "missing"), 2)
