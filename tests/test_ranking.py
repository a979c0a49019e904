"""Freezing, single-query search and batch search."""
import json
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bm25_model import Model, f32, idf_factor, token_weight
from conftest import run_python


def fault_message(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value).__name__ == "FaultException"
    return str(excinfo.value)


@pytest.fixture
def xy(bm):
    """d1 holds x and y, d2 holds x: N = 2, average length 1.5."""
    bm.add_document("d1", ["x", "y"])
    bm.add_document("d2", ["x"])
    return bm


class TestFreeze:
    def test_output_and_weights(self, bm, capfd):
        bm.add_document("d1", ["a", "b", "a"])
        bm.add_document("d2", ["a"])
        bm.freeze()
        assert capfd.readouterr().out == (
            "freezing index\n"
            " 50% [##########          ] 1/2\n"
            "100% [####################] 2/2\n"
            "The number of index that was freezed:3\n"
        )
        avg = f32(2.0)
        factor_a = idf_factor(2, 2)
        assert factor_a == f32(1.0)
        assert dict(bm.search(["a"], 10)) == {
            "d1": float(token_weight(factor_a, 2, 3, avg)),
            "d2": float(token_weight(factor_a, 1, 1, avg)),
        }
        assert bm.search(["b"], 10) == [("d1", float(token_weight(idf_factor(2, 1), 1, 3, avg)))]
        assert bm.search(["a"], 1)[0][1] == pytest.approx(1.25714, abs=1e-5)

    def test_empty_index(self, bm, capfd):
        bm.freeze()
        assert capfd.readouterr().out == "freezing index\nThe number of index that was freezed:0\n"
        assert fault_message(lambda: bm.search([], 1)) == "The index is not freezed"

    def test_refreeze_follows_new_statistics(self, xy, capfd):
        xy.freeze()
        before = dict(xy.search(["x"], 10))
        xy.add_document("d3", ["z"])
        xy.freeze()
        after = dict(xy.search(["x"], 10))
        assert after["d1"] != before["d1"]
        assert after == dict(xy.search_instance(["x"], 10))

    def test_empty_document_has_no_weight_but_counts(self, bm, capfd):
        bm.add_documents([("d1", ["x"]), ("e", [])])
        bm.freeze()
        assert capfd.readouterr().out.endswith("The number of index that was freezed:1\n")
        avg = f32(1.0) / f32(2.0)
        assert bm.search(["x"], 5) == [("d1", float(token_weight(idf_factor(2, 1), 1, 1, avg)))]

    def test_weights_are_keyed_by_the_pair_not_a_joined_string(self, bm, capfd):
        # "a@b" + "@" + "c" and "a" + "@" + "b@c" would collide as joined text.
        bm.add_document("a@b", ["c", "q"])
        bm.add_document("a", ["b@c"])
        bm.freeze()
        assert capfd.readouterr().out.endswith("The number of index that was freezed:3\n")
        assert dict(bm.search(["c"], 5)) == dict(bm.search_instance(["c"], 5))
        assert dict(bm.search(["b@c"], 5)) == dict(bm.search_instance(["b@c"], 5))
        assert bm.search(["c"], 5)[0][1] != bm.search(["b@c"], 5)[0][1]


class TestSearch:
    def test_worked_example(self, xy):
        avg = f32(3.0) / f32(2.0)
        y = float(token_weight(idf_factor(2, 1), 1, 2, avg))
        x1 = float(token_weight(f32(1.0), 1, 2, avg))
        x2 = float(token_weight(f32(1.0), 1, 1, avg))
        assert xy.search_instance(["y"], 10) == [("d1", y)]
        assert y == pytest.approx(1.23681, abs=1e-5)
        assert xy.search_instance(["x"], 10) == [("d2", x2), ("d1", x1)]
        assert x2 == pytest.approx(1.157895, abs=1e-6)
        both = xy.search_instance(["x", "y", "x"], 10)
        assert [d for d, _ in both] == ["d1", "d2"]
        assert both[0][1] in (float(f32(x1) + f32(y)), float(f32(y) + f32(x1)))
        assert xy.search_instance(["x", "y", "x"], 1) == both[:1]

    def test_frozen_search_agrees_with_on_the_fly(self, xy, capfd):
        xy.freeze()
        for query in (["x"], ["y"], ["x", "y"], ["y", "x", "y"]):
            assert dict(xy.search(query, 10)) == pytest.approx(dict(xy.search_instance(query, 10)), rel=1e-6)

    def test_edges(self, xy, capfd):
        assert fault_message(lambda: xy.search([], 10)) == "The index is not freezed"
        assert xy.search_instance([], 10) == []
        assert xy.search_instance(["nope"], 10) == []
        assert xy.search_instance(["x"], 0) == []
        assert len(xy.search_instance(["x"], 2**64 - 1)) == 2
        xy.freeze()
        assert xy.search([], 10) == []
        assert xy.search(["nope", "nope"], 10) == []

    def test_token_in_every_document_has_factor_one(self, bm):
        bm.add_documents([("d1", ["t"]), ("d2", ["t"])])
        assert bm.search_instance(["t"], 5)[0][1] == float(token_weight(f32(1.0), 1, 1, f32(1.0)))

    def test_stale_weights_give_new_documents_zero(self, xy, capfd):
        xy.freeze()
        xy.add_document("d3", ["x", "w"])
        stored = dict(xy.search(["x", "w"], 10))
        assert stored["d3"] == 0.0
        assert set(stored) == {"d1", "d2", "d3"}
        assert dict(xy.search_instance(["x", "w"], 10))["d3"] > 0.0
        assert dict(xy.batch_search([["x", "w"]], 10)[0]) == stored


class TestBatch:
    def test_unfrozen_batch_searches_on_the_fly(self, xy):
        queries = [["x"], [], ["y"], ["x"], ["nothing"], ["x", "y"]]
        results = xy.batch_search(queries, 10)
        assert len(results) == len(queries)
        for query, result in zip(queries, results):
            assert dict(result) == pytest.approx(dict(xy.search_instance(query, 10)), rel=1e-6)
        assert xy.batch_search([["x"]] * 3, 0) == [[], [], []]
        assert xy.batch_search([], 5) == []

    def test_failing_query_fails_the_batch_and_the_pool_recovers(self, bm, tmp_path, capfd):
        # Counts that sum to a total length of 0: documents p and q have
        # length 0, so dl / average is 0 / 0 and their scores are NaN.
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
        bm.load(str(tmp_path))
        queries = [["b"]] * 20 + [["a"]] + [["b"]] * 20
        message = fault_message(lambda: bm.batch_search(queries, 5))
        assert message == "called `Option::unwrap()` on a `None` value"
        for _ in range(5):
            assert [r[0][0] for r in bm.batch_search([["b"]] * 30, 5)] == ["r"] * 30


def count_pool_threads(env):
    result = run_python(
        """
        import os, vantoro
        before = len(os.listdir("/proc/self/task"))
        vantoro.BM25().batch_search([], 1)
        print(len(os.listdir("/proc/self/task")) - before)
        """,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


class TestPoolSize:
    def test_environment_sets_the_size(self):
        clean = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}
        assert count_pool_threads({**clean, "RAYON_NUM_THREADS": "3"}) == 3
        assert count_pool_threads({**clean, "RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "2"}) == 2
        available = len(os.sched_getaffinity(0))
        assert 1 <= count_pool_threads({**clean, "RAYON_NUM_THREADS": "0"}) <= available

    def test_pool_that_cannot_start_fails_every_batch(self):
        result = run_python(
            """
            import resource, sys, vantoro
            bm = vantoro.BM25()
            bm.add_document("d", ["a"])
            # Room for a few thread stacks at most.
            with open("/proc/self/status") as status:
                vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, ((vm + 48 * 1024) * 1024, resource.RLIM_INFINITY))
            for attempt in range(2):
                try:
                    bm.batch_search([["a"], ["a"]], 1)
                    print("no failure")
                except BaseException as error:
                    print(type(error).__name__, str(error).startswith("The global thread pool has not been initialized."))
            print(bm.search_instance(["a"], 1)[0][0])
            """,
            env={"RAYON_NUM_THREADS": "100000"},
        )
        assert result.stdout.split("\n")[:3] == ["FaultException True", "FaultException True", "d"], result.stderr

    def test_results_do_not_depend_on_the_thread_count(self):
        code = """
            import vantoro, json, sys
            bm = vantoro.BM25()
            bm.add_documents([("d%d" % i, ["w%d" % (i * 7 % 13), "w%d" % (i % 5)]) for i in range(300)])
            out = bm.batch_search([["w%d" % q, "w%d" % (q + 1)] for q in range(12)], 4)
            sys.stderr.write(json.dumps([sorted(doc for doc, _ in r) for r in out]))
        """
        outputs = []
        for threads in ("1", "4"):
            result = run_python(code, env={"RAYON_NUM_THREADS": threads})
            assert result.returncode == 0, result.stderr
            outputs.append(json.loads(result.stderr))
        assert outputs[0] == outputs[1]
        assert len(outputs[0]) == 12 and all(len(r) == 4 for r in outputs[0])


# ---- property test against the reference model

tokens = st.sampled_from(["a", "b", "c", "d", "a@b", "@", ""])
doc_ids = st.sampled_from(["d1", "d2", "d3", "d4", "x@y", "x", ""])
operations = st.lists(
    st.one_of(
        st.tuples(st.just("add"), doc_ids, st.lists(tokens, max_size=6)),
        st.tuples(st.just("freeze")),
        st.tuples(st.just("search"), st.lists(tokens, max_size=4), st.integers(0, 5)),
    ),
    max_size=25,
)


def check_against_model(result, contributions, n):
    """Same candidates and scores as the model (exact for one contribution;
    several are summed in an unspecified order), best first, cut at n."""
    expected = {d: float(sum(ws, f32(0.0))) for d, ws in contributions.items()}
    assert len(result) == min(n, len(expected))
    for doc, score in result:
        if len(contributions[doc]) == 1:
            assert score == expected[doc]
        else:
            assert score == pytest.approx(expected[doc], rel=1e-6)
    scores = [s for _, s in result]
    assert scores == sorted(scores, reverse=True)
    if result:
        cut = result[-1][1]
        rest = [s for d, s in expected.items() if d not in dict(result)]
        assert all(s <= cut * (1 + 1e-6) + 1e-6 for s in rest)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ops=operations)
def test_matches_reference_model(ops, capfd):
    import vantoro

    bm, model = vantoro.BM25(), Model()
    for op in ops:
        if op[0] == "add":
            bm.add_document(op[1], op[2])
            model.add(op[1], op[2])
        elif op[0] == "freeze":
            bm.freeze()
            count = model.freeze()
            assert capfd.readouterr().out.endswith("The number of index that was freezed:%d\n" % count)
        else:
            query, n = op[1], op[2]
            with np.errstate(all="ignore"):
                check_against_model(bm.search_instance(query, n), model.scores(query, stored=False), n)
                if model.frozen:
                    check_against_model(bm.search(query, n), model.scores(query, stored=True), n)
                    check_against_model(bm.batch_search([query, query], n)[1], model.scores(query, stored=True), n)
                else:
                    assert fault_message(lambda: bm.search(query, n)) == "The index is not freezed"
