"""Batch search with vantoro on a Ray cluster.

Install with ``pip install 'vantoro[ray]'``. Every worker holds a whole copy
of one saved index (``BM25.save``), loaded and frozen once, and answers its
share of the queries with the index's own multi-threaded ``batch_search``.
The results are exactly those of a local run::

    bm = vantoro.BM25()
    bm.load(index_dir)
    bm.freeze()
    bm.batch_search(queries, n)

same documents and scores, in query order; documents with equal scores may
come in another order, as they may between two local calls.

Two ways in:

``batch_search(index_dir, queries, n, num_actors=None, ...)``
    Starts a pool of actors, searches, and stops the pool. To search several
    query lists against one index without loading it again, keep a
    ``SearchPool`` open and call its ``batch_search``.

``Searcher``
    A callable class for Ray Data: ``ds.map_batches(Searcher,
    fn_constructor_kwargs={"index": index_dir, "n": 10}, concurrency=k)`` adds
    the results of the dataset's column of tokenized queries as two list
    columns, the document ids and the scores (see ``Searcher``).

The index reaches the workers in one of two ways:

- a directory path that every node can read (a shared file system); a
  relative path is taken relative to the driver's working directory;
- ``put_index(index_dir)`` (or ``ship_index=True``): the driver reads the two
  files once and puts them into Ray's object store; each worker writes them to
  a fresh directory under its node's temporary directory, loads them and
  removes the copy at once. The object store sends each file to a node once,
  whatever the number of workers there.

Failures:

- A failure of the index itself (a directory that cannot be read, a malformed
  file, a search that meets files that disagree) fails the call with the same
  exception type and message as the local run: ``FaultException`` (the
  driver's own ``native_runtime.FaultException`` class, also reachable as
  ``vantoro_ray.FaultException``), which derives from ``BaseException``.
  Argument errors (a bare ``str`` as a query, a negative ``n``) are raised on
  the driver before anything is sent, exactly as ``BM25.batch_search`` raises
  them.
- A worker that dies (killed, out of memory, its node lost) has its unfinished
  queries sent to the other workers, and a replacement worker is started
  (at most ``max_actor_replacements`` per pool); a chunk of queries is tried
  at most ``max_chunk_attempts`` times before the Ray error is raised.

vantoro's ``load`` and ``freeze`` write messages and a progress line per token
to file descriptor 1; the workers send that output to ``/dev/null``, so that
Ray does not forward it to the driver's console. A progress bar over the
queries (tqdm) goes to standard error; ``progress=False`` switches it off.
"""

from __future__ import annotations

try:
    import ray
    import ray.exceptions  # fails too where a bare directory named "ray" (such as
    # Ray's own /tmp/ray) is on the path and imports as an empty namespace package
except ImportError as error:  # the core install leaves Ray out
    raise ImportError(
        "vantoro_ray needs Ray, which the core vantoro install does not include; "
        "install the extra with: pip install 'vantoro[ray]'",
        name=__name__,
    ) from error

import collections
import contextlib
import itertools
import math
import operator
import os
import pickle
import shutil
import sys
import tempfile
import threading
import time

import vantoro

__all__ = ["batch_search", "SearchPool", "Searcher", "put_index", "ShippedIndex", "FaultException"]

INDEX_FILES = ("index.json", "token_index.json")

# Errors that mean the worker is gone, not that the query failed: the chunk
# is sent to another worker.
_WORKER_LOST = tuple(
    cls
    for cls in (
        getattr(ray.exceptions, "RayActorError", None),
        getattr(ray.exceptions, "ActorUnavailableError", None),
        getattr(ray.exceptions, "ObjectLostError", None),
    )
    if cls is not None
)


# --------------------------------------------------------------------------
# The fault class and errors carried back from workers
# --------------------------------------------------------------------------

_fault_lock = threading.Lock()
_fault_class = None


@contextlib.contextmanager
def _descriptor_to_devnull(fd):
    """Sends file descriptor ``fd`` to /dev/null for the duration of the block.

    vantoro writes with write(2) on descriptors 1 and 2 itself, so replacing
    sys.stdout or sys.stderr would not catch it.
    """
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(Exception):
            stream.flush()
    saved = os.dup(fd)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)
        os.close(devnull)


def fault_exception_type():
    """This process's ``native_runtime.FaultException`` class.

    The extension creates the class on the first failure and exposes it
    nowhere else, so it is obtained by provoking one failure (a search on an
    unfrozen, empty index), with the report that every failure writes to
    descriptor 2 sent to /dev/null.
    """
    global _fault_class
    with _fault_lock:
        if _fault_class is None:
            with _descriptor_to_devnull(2):
                try:
                    vantoro.BM25().search([], 1)
                except BaseException as error:  # noqa: B902 - it derives from BaseException
                    _fault_class = type(error)
            if _fault_class is None:  # pragma: no cover - the search above always fails
                raise RuntimeError("could not obtain vantoro's FaultException class")
        return _fault_class


def __getattr__(name):
    if name == "FaultException":
        return fault_exception_type()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _is_fault(error):
    cls = type(error)
    return cls.__name__ == "FaultException" and cls.__module__ == "native_runtime"


def _capture(error):
    """A picklable description of an error raised in a worker.

    FaultException is created per process by the extension under a module
    name that cannot be imported, so it cannot be pickled: it travels as its
    message and is raised again as the driver's own class.
    """
    if _is_fault(error):
        return ("fault", str(error.args[0]) if error.args else "")
    try:
        pickle.loads(pickle.dumps(error))
        return ("error", error)
    except Exception:
        return ("error", RuntimeError(f"{type(error).__name__}: {error}"))


def _raise_captured(captured):
    kind, payload = captured
    if kind == "fault":
        raise fault_exception_type()(payload) from None
    raise payload


# --------------------------------------------------------------------------
# Getting the index to the workers
# --------------------------------------------------------------------------


class ShippedIndex:
    """A saved index held in Ray's object store (see ``put_index``).

    Pass it wherever an index directory is expected. The object references
    live inside this object, so Ray hands them to workers unresolved and each
    worker fetches the bytes itself. The files stay in the store while this
    object (or a worker using it) is alive.
    """

    def __init__(self, refs, sizes):
        self.refs = tuple(refs)
        self.sizes = tuple(sizes)

    def __repr__(self):
        return f"ShippedIndex(bytes={sum(self.sizes)})"


def put_index(index_dir):
    """Reads the two files of the index saved in ``index_dir`` and puts them
    into Ray's object store once; returns a ``ShippedIndex``.

    For clusters without a file system that every node can read. A file that
    cannot be read raises ``OSError`` here, on the driver.
    """
    import numpy as np

    _ensure_ray()
    refs, sizes = [], []
    for name in INDEX_FILES:
        # A numpy array is stored without a copy and read by workers in place.
        data = np.fromfile(os.path.join(os.fspath(index_dir), name), dtype=np.uint8)
        refs.append(ray.put(data))
        sizes.append(int(data.size))
        del data
    return ShippedIndex(refs, sizes)


def _resolve_index(index):
    """What a worker is given: an absolute directory path or a ShippedIndex."""
    if isinstance(index, ShippedIndex):
        return index
    # load() joins the directory and the file name with "/" unless the text is
    # empty (the working directory) or ends with "/"; abspath keeps that meaning.
    return os.path.abspath(os.fspath(index))


@contextlib.contextmanager
def _index_directory(index):
    """A directory on this node holding the index files, for the duration of the block."""
    if not isinstance(index, ShippedIndex):
        yield index
        return
    directory = tempfile.mkdtemp(prefix="vantoro-index-")
    try:
        for name, ref in zip(INDEX_FILES, index.refs):
            data = ray.get(ref)
            with open(os.path.join(directory, name), "wb") as out:
                out.write(memoryview(data))
            del data
        yield directory
    finally:
        shutil.rmtree(directory, ignore_errors=True)


# --------------------------------------------------------------------------
# One loaded index inside a worker
# --------------------------------------------------------------------------


def _in_actor():
    if not ray.is_initialized():
        return False
    try:
        return ray.get_runtime_context().get_actor_id() is not None
    except Exception:
        return False


def _assigned_threads():
    """The number of CPUs Ray assigned to this worker, at least 1."""
    if not ray.is_initialized():  # asking the runtime context would start Ray
        return 1
    try:
        cpus = ray.get_runtime_context().get_assigned_resources().get("CPU", 1.0)
    except Exception:
        cpus = 1.0
    return max(1, int(cpus))


class _LoadedIndex:
    """``BM25().load(directory)`` and ``freeze()``, with their output on
    descriptor 1 sent to /dev/null. A failure is kept and returned by every
    search instead of being raised, so that it reaches the driver intact."""

    def __init__(self, index, num_threads=None):
        if _in_actor():
            # The worker pool reads its size once, at the process's first
            # batch_search; an actor has its process to itself. Elsewhere (a
            # Searcher called in the driver) the environment is left alone.
            os.environ["RAYON_NUM_THREADS"] = str(num_threads or _assigned_threads())
        self.error = None
        self.timings = {"pid": os.getpid(), "node": _node_id(), "threads": os.environ.get("RAYON_NUM_THREADS")}
        self.bm = vantoro.BM25()
        start = time.perf_counter()
        try:
            with _index_directory(index) as directory, _descriptor_to_devnull(1):
                self.bm.load(directory)
                loaded = time.perf_counter()
            with _descriptor_to_devnull(1):
                self.bm.freeze()
            self.timings.update(load_s=loaded - start, freeze_s=time.perf_counter() - loaded)
        except BaseException as error:  # noqa: B902 - FaultException derives from BaseException
            self.error = _capture(error)

    def search(self, queries, n):
        if self.error is not None:
            return self.error
        try:
            return ("ok", self.bm.batch_search(queries, n))
        except BaseException as error:  # noqa: B902
            return _capture(error)


def _node_id():
    if not ray.is_initialized():
        return None
    try:
        return ray.get_runtime_context().get_node_id()
    except Exception:
        return None


@ray.remote
class _SearchActor:
    def __init__(self, index, num_threads):
        self._index = _LoadedIndex(index, num_threads)

    def ready(self):
        """(captured error or None, timings of the start-up)."""
        return self._index.error, self._index.timings

    def search(self, queries, n):
        """The results of ``queries`` as (ids, scores, lengths): every result
        list's ids and scores in order, flattened, and each list's length.
        Ray moves flat lists of strings and floats several times faster than
        nested lists of tuples."""
        outcome = self._index.search(queries, n)
        if outcome[0] != "ok":
            return outcome
        results = outcome[1]
        return ("ok", ([doc for result in results for doc, _ in result],
                       [score for result in results for _, score in result],
                       [len(result) for result in results]))


def _unflatten(ids, scores, lengths):
    """The result lists back from ``_SearchActor.search``'s flat form."""
    pairs = list(zip(ids, scores))
    ends = itertools.accumulate(lengths)
    return [pairs[end - length:end] for end, length in zip(ends, lengths)]


# --------------------------------------------------------------------------
# The driver side
# --------------------------------------------------------------------------


def _ensure_ray():
    if not ray.is_initialized():
        ray.init()


def _check_arguments(queries, n):
    """Raises exactly what a local ``BM25.batch_search(queries, n)`` raises for
    bad arguments (a search on an empty index converts them the same way and
    finds nothing); returns the queries as lists and ``n`` as an int."""
    vantoro.BM25().batch_search(queries, n)
    return [list(query) for query in queries], operator.index(n)


class _Progress:
    def __init__(self, progress, total):
        self._bar = None
        self._callback = None
        self.done = 0
        self.total = total
        if callable(progress):
            self._callback = progress
        elif progress or (progress is None and _stderr_is_terminal()):
            from tqdm.auto import tqdm

            self._bar = tqdm(total=total, unit="query", desc="vantoro search", file=sys.stderr)

    def advance(self, count):
        self.done += count
        if self._bar is not None:
            self._bar.update(count)
        if self._callback is not None:
            self._callback(self.done, self.total)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _stderr_is_terminal():
    try:
        return sys.stderr.isatty()
    except Exception:
        return False


class SearchPool:
    """A pool of Ray actors, each holding the index loaded and frozen.

    ``index``: a directory that every node can read, or a ``ShippedIndex``
    from ``put_index``.
    ``num_actors``: default one per alive node with CPUs.
    ``num_cpus_per_actor``: the CPUs Ray reserves for each actor, and the
    number of search threads it runs (at least 1); default the cluster's CPUs
    divided among the actors (fractions below 1 allowed, whole numbers
    above). Each actor holds a whole copy of the index in memory.
    ``actor_options``: further ``.options()`` for the actors (``memory``,
    ``resources``, ``scheduling_strategy``...); by default actors are spread
    over the nodes.
    ``max_actor_replacements``: how many dead actors may be replaced over the
    pool's life (default ``num_actors``).

    Actors start loading as soon as the pool is created; ``wait_ready``
    waits for them. Use the pool as a context manager, or call ``close``.
    """

    def __init__(self, index, num_actors=None, num_cpus_per_actor=None, *, actor_options=None,
                 max_actor_replacements=None, max_chunk_attempts=3):
        _ensure_ray()
        self._index = _resolve_index(index)
        if num_actors is None:
            num_actors = max(1, sum(1 for node in ray.nodes()
                                    if node.get("Alive") and node.get("Resources", {}).get("CPU", 0) > 0))
        if num_actors < 1:
            raise ValueError("num_actors must be at least 1")
        if num_cpus_per_actor is None:
            share = ray.cluster_resources().get("CPU", 1.0) / num_actors
            num_cpus_per_actor = math.floor(share) if share >= 1 else math.floor(share * 1000) / 1000 or 0.001
        self.num_actors = num_actors
        self.num_cpus_per_actor = num_cpus_per_actor
        self._threads = max(1, int(num_cpus_per_actor))
        options = {"num_cpus": num_cpus_per_actor, "max_restarts": 0, "scheduling_strategy": "SPREAD"}
        options.update(actor_options or {})
        self._options = options
        self.replacements_left = num_actors if max_actor_replacements is None else max_actor_replacements
        self.max_chunk_attempts = max_chunk_attempts
        self.replacements = 0  # actors replaced so far
        self.actors = [self._start_actor() for _ in range(num_actors)]

    def _start_actor(self):
        return _SearchActor.options(**self._options).remote(self._index, self._threads)

    def wait_ready(self):
        """Waits until every actor has loaded and frozen the index; raises the
        first start-up failure as the local run would. Returns one dict per
        actor: ``load_s``, ``freeze_s`` (seconds, measured in the actor),
        ``threads`` (its RAYON_NUM_THREADS), ``pid`` and ``node``."""
        reports = ray.get([actor.ready.remote() for actor in self.actors])
        for error, _ in reports:
            if error is not None:
                _raise_captured(error)
        return [timings for _, timings in reports]

    def batch_search(self, queries, n, *, chunk_size=None, progress=None, max_in_flight=2):
        """Ranks every query of ``queries`` against the index, ``n`` results
        each; returns one result list per query, in query order, equal to
        ``BM25.batch_search`` on the same index loaded and frozen locally.

        ``chunk_size``: queries per task (default: about 16 tasks per actor,
        between 50 and 1,000 queries each). ``max_in_flight``: tasks queued
        on each actor at once. ``progress``: ``True`` shows a progress bar on
        standard error, ``False`` shows none, ``None`` (default) shows one
        when standard error is a terminal; a callable is called as
        ``progress(done, total)`` after each finished chunk instead.
        """
        queries, n = _check_arguments(queries, n)
        return self._run(queries, n, chunk_size, progress, max_in_flight)

    def _run(self, queries, n, chunk_size, progress, max_in_flight=2):
        if not self.actors:
            raise RuntimeError("vantoro_ray: the search pool is closed")
        if not queries:
            self.wait_ready()  # a start-up failure fails the call as the local load would
            return []
        if chunk_size is None:
            chunk_size = min(1000, max(50, math.ceil(len(queries) / (16 * len(self.actors)))))
        chunks = [queries[i:i + chunk_size] for i in range(0, len(queries), chunk_size)]
        results = [None] * len(chunks)
        attempts = [0] * len(chunks)
        waiting = collections.deque(range(len(chunks)))
        pending = {}  # object ref -> (chunk, the actor it was sent to)
        in_flight = collections.Counter()  # actor id -> chunks sent and not yet back
        bar = _Progress(progress, len(queries))
        try:
            while waiting or pending:
                for actor in self.actors:
                    key = id(actor)
                    while waiting and in_flight[key] < max_in_flight:
                        chunk = waiting.popleft()
                        attempts[chunk] += 1
                        pending[actor.search.remote(chunks[chunk], n)] = (chunk, actor)
                        in_flight[key] += 1
                if not pending:
                    raise RuntimeError(
                        "vantoro_ray: every search actor died and no replacements are left "
                        f"(replaced {self.replacements})")
                done, _ = ray.wait(list(pending), num_returns=1)
                for ref in done:
                    chunk, actor = pending.pop(ref)
                    in_flight[id(actor)] -= 1
                    try:
                        outcome = ray.get(ref)
                    except _WORKER_LOST:
                        if attempts[chunk] >= self.max_chunk_attempts:
                            raise
                        waiting.appendleft(chunk)
                        self._replace(actor)
                        continue
                    if outcome[0] != "ok":
                        _raise_captured(outcome)
                    results[chunk] = _unflatten(*outcome[1])
                    bar.advance(len(chunks[chunk]))
        except BaseException:
            for ref in pending:
                with contextlib.suppress(Exception):
                    ray.cancel(ref)
            raise
        finally:
            bar.close()
        return [result for chunk in results for result in chunk]

    def _replace(self, dead):
        """Takes the dead actor out of the pool and, while replacements are
        left, starts a new one in its place. Its other unfinished chunks come
        back through their own errors and are queued again then."""
        if not any(actor is dead for actor in self.actors):
            return  # already replaced
        with contextlib.suppress(Exception):
            ray.kill(dead)
        if self.replacements_left > 0:
            self.replacements_left -= 1
            self.replacements += 1
            self.actors = [self._start_actor() if actor is dead else actor for actor in self.actors]
        else:
            self.actors = [actor for actor in self.actors if actor is not dead]

    def close(self):
        """Stops the actors (the pool cannot be used afterwards)."""
        for actor in self.actors:
            with contextlib.suppress(Exception):
                ray.kill(actor)
        self.actors = []

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


def batch_search(index_dir, queries, n, num_actors=None, *, num_cpus_per_actor=None, ship_index=False,
                 chunk_size=None, progress=None, actor_options=None, max_actor_replacements=None):
    """Ranks ``queries`` against the saved index in ``index_dir`` on a pool of
    Ray actors and returns what ``BM25().load(index_dir)``, ``freeze()``,
    ``batch_search(queries, n)`` returns locally: one result list of
    ``(document id, score)`` pairs per query, in query order.

    ``index_dir`` is a directory every node can read, or a ``ShippedIndex``;
    ``ship_index=True`` puts the directory's files into the object store
    first (``put_index``). The pool is started for this call and stopped
    afterwards; see ``SearchPool`` for the other parameters and to keep one.
    Starts a local Ray instance if none is running (``ray.init()``).
    """
    queries, n = _check_arguments(queries, n)
    _ensure_ray()
    index = put_index(index_dir) if ship_index else index_dir
    with SearchPool(index, num_actors, num_cpus_per_actor, actor_options=actor_options,
                    max_actor_replacements=max_actor_replacements) as pool:
        return pool._run(queries, n, chunk_size, progress)


# --------------------------------------------------------------------------
# Ray Data
# --------------------------------------------------------------------------


class Searcher:
    """A callable class for ``Dataset.map_batches`` that searches a column of
    tokenized queries::

        ds = ray.data.read_parquet("queries.parquet")      # a column "query": list<string>
        ds = ds.map_batches(Searcher, concurrency=2,
                            fn_constructor_kwargs={"index": "/shared/my_index", "n": 10})
        ds.write_parquet("results")

    Each actor loads and freezes the index once (``index``: a directory every
    node can read, or a ``ShippedIndex`` from ``put_index``). Each row gains
    two columns, the row's result list split in two, best first:

    - ``result_ids``: ``list<string>``, the document ids;
    - ``result_scores``: ``list<float>`` (32-bit), their scores, the exact
      32-bit values that ``BM25.batch_search`` gives as Python floats.

    The names can be changed with ``ids_column`` and ``scores_column``; a
    batch that already has a column of either name is refused. The query
    column (``query_column``, default ``"query"``) holds lists of strings; a
    null query fails as ``BM25.batch_search`` fails on ``None``. Batches may
    come in any of Ray Data's formats (numpy, pandas, pyarrow); the result is
    a pyarrow table. ``num_threads``: search threads per actor (default the
    CPUs Ray assigned to it, at least 1).

    A failure of the index (``FaultException`` locally) is raised as
    ``IndexFault``, an ``Exception`` with the same message, since Ray Data
    wraps the errors of its tasks in its own types anyway.
    """

    def __init__(self, index, n, *, query_column="query", ids_column="result_ids",
                 scores_column="result_scores", num_threads=None):
        _, self._n = _check_arguments([], n)
        self._query_column = query_column
        self._ids_column = ids_column
        self._scores_column = scores_column
        self._index = _LoadedIndex(_resolve_index(index), num_threads)
        self._raise_if_failed(self._index.error)

    @staticmethod
    def _raise_if_failed(outcome):
        if outcome is None or outcome[0] == "ok":
            return
        if outcome[0] == "fault":
            raise IndexFault(outcome[1])
        raise outcome[1]

    def __call__(self, batch):
        import pyarrow as pa

        table = _to_arrow(batch)
        for name in (self._ids_column, self._scores_column):
            if name in table.column_names:
                raise ValueError(f"the batch already has a column named {name!r}")
        queries = table.column(self._query_column).to_pylist()
        outcome = self._index.search(queries, self._n)
        self._raise_if_failed(outcome)
        ids = [[doc for doc, _ in result] for result in outcome[1]]
        scores = [[score for _, score in result] for result in outcome[1]]
        table = table.append_column(self._ids_column, pa.array(ids, type=pa.list_(pa.string())))
        return table.append_column(self._scores_column, pa.array(scores, type=pa.list_(pa.float32())))


class IndexFault(Exception):
    """Raised by ``Searcher`` for what is ``FaultException`` locally; the
    argument is the same message."""


def _to_arrow(batch):
    import pyarrow as pa

    if isinstance(batch, pa.Table):
        return batch
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - Ray Data installs pandas
        pd = None
    if pd is not None and isinstance(batch, pd.DataFrame):
        return pa.Table.from_pandas(batch, preserve_index=False)
    if isinstance(batch, dict):
        return pa.table({name: _column_to_arrow(values) for name, values in batch.items()})
    raise TypeError(f"unsupported batch type {type(batch).__name__}")


def _column_to_arrow(values):
    import numpy as np
    import pyarrow as pa

    if isinstance(values, np.ndarray) and values.dtype == object:
        # Ray Data gives list columns as object arrays of arrays.
        return pa.array([v.tolist() if isinstance(v, np.ndarray) else v for v in values])
    if isinstance(values, np.ndarray) and values.ndim > 1:
        return pa.array(list(values))
    return pa.array(values)
