"""Several Python threads on one object and on several objects, interleaving
every operation. User-defined sequences yield the interpreter in the middle
of a conversion, so that other threads meet the open access. Every call
either gives the right answer or fails with the borrow error its access
asks for."""
import random
import sys
import threading
import time

import pytest

import vantoro
from bm25_model import Model, f32

THREADS = 6
OPERATIONS = 120
BORROW = {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}
NOT_FROZEN = "The index is not freezed"


class Yielding:
    """A sequence that lets other threads run before handing out each item."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        time.sleep(0)
        return self.items[i]


def maybe_yielding(rng, items):
    return Yielding(items) if rng.random() < 0.5 else list(items)


class Worker:
    def __init__(self, number, shared, directory):
        self.number = number
        self.shared = shared  # the objects every thread uses
        self.directory = directory
        self.rng = random.Random(number)
        self.added = {id(bm): {} for bm in shared}  # object -> {doc id: tokens} this thread added
        self.conflicts = 0
        self.errors = []

    def token(self, k):
        return "t%d_%d" % (self.number, k)  # only this thread adds documents with it

    def call(self, access, method, *args):
        """(True, result), or (False, None) after the borrow error of `access`."""
        try:
            return True, method(*args)
        except RuntimeError as error:
            if str(error) != BORROW[access]:
                raise
            self.conflicts += 1
            return False, None

    def expect_mine(self, bm, results, k):
        """A result list for this thread's token k lists exactly the documents
        this thread added with it: no other thread adds that token."""
        expected = {d for d, tokens in self.added[id(bm)].items() if self.token(k) in tokens}
        got = {d for d, score in results}
        assert got == expected, (self.token(k), got, expected)
        assert all(type(s) is float for _, s in results)

    def step(self, i):
        rng = self.rng
        bm = rng.choice(self.shared)
        k = rng.randrange(4)
        op = rng.randrange(9)
        if op <= 1:  # add_document / add_documents
            doc = "d%d_%d" % (self.number, i)
            tokens = [self.token(rng.randrange(4)) for _ in range(rng.randint(0, 4))] + ["common"]
            if op == 0:
                done, _ = self.call("exclusive", bm.add_document, doc, maybe_yielding(rng, tokens))
            else:
                done, _ = self.call("exclusive", bm.add_documents,
                                    maybe_yielding(rng, [(doc, maybe_yielding(rng, tokens))]))
            if done:
                self.added[id(bm)][doc] = tokens
        elif op == 2:
            try:
                self.call("exclusive", bm.freeze)
            except BaseException as error:  # noqa: B902
                if str(error) != NOT_FROZEN:
                    raise
        elif op == 3:
            done, results = self.call("shared", bm.search_instance, maybe_yielding(rng, [self.token(k)]), 1000)
            if done:
                self.expect_mine(bm, results, k)
        elif op == 4:
            try:
                done, results = self.call("shared", bm.search, maybe_yielding(rng, [self.token(k)]), 1000)
            except BaseException as error:  # noqa: B902
                if str(error) != NOT_FROZEN:
                    raise
            else:
                if done:
                    self.expect_mine(bm, results, k)
        elif op == 5:
            queries = [[self.token(j)] for j in range(4)]
            done, results = self.call("shared", bm.batch_search, maybe_yielding(rng, queries), 1000)
            if done:
                for j, entry in enumerate(results):
                    self.expect_mine(bm, entry, j)
        elif op == 6:  # a snapshot loads into a private object with this thread's documents
            path = "%s/t%d" % (self.directory, self.number)
            done, _ = self.call("shared", bm.save, path)
            if done:
                private = vantoro.BM25()
                private.load(path)
                saved_added = self.added[id(bm)]
                results = private.search_instance([self.token(k)], 1000)
                assert {d for d, _ in results} == {d for d, t in saved_added.items() if self.token(k) in t}
        elif op == 7:  # re-entry from inside a conversion
            def inner():
                time.sleep(0)
                return self.call("shared", bm.search_instance, ["common"], 3)[0]

            class Reenter:
                def __len__(self):
                    return 1

                def __getitem__(self, j):
                    if j:
                        raise IndexError(j)
                    inner()
                    return "common"

            self.call("shared", bm.search_instance, Reenter(), 3)
        else:  # an object of this thread only
            own = vantoro.BM25()
            own.add_documents([("x", [self.token(0)]), ("y", [self.token(1), self.token(0)])])
            assert {d for d, _ in own.batch_search([[self.token(0)]], 5)[0]} == {"x", "y"}

    def run(self, barrier):
        barrier.wait()
        try:
            for i in range(OPERATIONS):
                self.step(i)
        except BaseException as error:  # noqa: B902 - reported by the test
            self.errors.append(error)


def test_threads_interleave_every_operation(tmp_path, capfd):
    for n in range(THREADS):
        (tmp_path / ("t%d" % n)).mkdir()
    shared = [vantoro.BM25(), vantoro.BM25()]
    workers = [Worker(n, shared, str(tmp_path)) for n in range(THREADS)]
    barrier = threading.Barrier(THREADS)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=w.run, args=(barrier,)) for w in workers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    capfd.readouterr()
    errors = [e for w in workers for e in w.errors]
    if errors:
        raise errors[0]
    print("borrow conflicts:", sum(w.conflicts for w in workers))
    assert sum(w.conflicts for w in workers) > 0  # the borrow errors were met

    # Afterwards each object holds exactly the documents whose add succeeded,
    # and scores them as the reference model does.
    for bm in shared:
        model = Model()
        for w in workers:
            for doc, tokens in w.added[id(bm)].items():
                model.add(doc, tokens)
        for w in workers:
            for k in range(4):
                query = [w.token(k), "common"]
                got = dict(bm.search_instance(query, 10**6))
                expected = {d: float(sum(ws, f32(0.0))) for d, ws in model.scores(query, stored=False).items()}
                assert got.keys() == expected.keys()
                assert all(got[d] == pytest.approx(expected[d], rel=1e-6) for d in got)
