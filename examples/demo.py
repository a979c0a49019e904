"""Search the docstrings of the Python standard library with vantoro.

    python examples/demo.py

Imports the public standard-library modules (skipping those that fail to
import, open windows or browsers, or print on import), takes the docstring of
every public module, class, function and method defined there, tokenizes it
and indexes it. Then it runs a few queries with search (frozen weights),
search_instance (computed on the fly) and batch_search (all queries at once on
the worker pool) and prints the ranked results with their scores and timings.
Needs nothing beyond the Python installation and vantoro.
"""

from __future__ import annotations

import contextlib
import importlib
import inspect
import io
import os
import pkgutil
import re
import sys
import sysconfig
import time
import warnings

# Modules whose import has effects beyond defining things (a browser, a
# window, text on the terminal, terminal state) or that are test suites.
SKIP = {
    "antigravity", "this", "tkinter", "turtle", "turtledemo", "idlelib", "test", "tests",
    "readline", "rlcompleter", "pydoc_data", "lib2to3", "ensurepip", "venv", "msilib",
    "winreg", "winsound", "xxlimited", "xxlimited_35", "xxsubtype", "xxtestfuzz",
}

STOP_WORDS = frozenset("""
a an and are as at be but by for from has have if in into is it its of on or that the
their then there these this those to was were which will with not no can may this
return returns none true false self object default
""".split())

_WORD = re.compile(r"[a-z0-9]+")


def tokenize(text: str) -> list:
    """Lowercase alphanumeric words without stop words; underscores and dots split words."""
    return [w for w in _WORD.findall(text.lower()) if w not in STOP_WORDS and len(w) > 1]


@contextlib.contextmanager
def quiet():
    """Silences warnings and anything written to stdout or stderr, at the Python
    level and on file descriptors 1 and 2 (for output from native code)."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()), \
                contextlib.redirect_stderr(io.StringIO()):
            warnings.simplefilter("ignore")
            yield
    finally:
        sys.stdout.flush()
        sys.stderr.flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in saved + [devnull]:
            os.close(fd)


def _public(name: str) -> bool:
    return not any(part.startswith("_") for part in name.split("."))


def stdlib_module_names() -> list:
    """Names of the public top-level standard-library modules."""
    names = set(getattr(sys, "stdlib_module_names", ()))
    if not names:  # Python < 3.10: list the standard library directory
        stdlib = sysconfig.get_paths()["stdlib"]
        names = {m.name for m in pkgutil.iter_modules([stdlib])} | set(sys.builtin_module_names)
    return sorted(n for n in names if _public(n) and n not in SKIP)


def import_modules(names) -> dict:
    """Imports each module and the public submodules of packages; returns {name: module}.
    A module that fails to import is skipped."""
    modules = {}

    def try_import(name):
        if name in modules:
            return
        try:
            modules[name] = importlib.import_module(name)
        except BaseException:  # noqa: BLE001 - any failure, SystemExit included, means skip
            pass

    with quiet():
        for name in names:
            if not _public(name) or name.split(".")[0] in SKIP:
                continue
            try_import(name)
            module = modules.get(name)
            path = getattr(module, "__path__", None)
            if not path:
                continue
            for info in pkgutil.walk_packages(path, prefix=name + ".", onerror=lambda _: None):
                if _public(info.name) and not set(info.name.split(".")) & SKIP:
                    try_import(info.name)
    return modules


def _documented(obj):
    doc = getattr(obj, "__doc__", None)
    return doc if isinstance(doc, str) and doc.strip() else None


def gather_documents(modules: dict) -> list:
    """(identifier, docstring) for every documented public module, and class,
    function and method defined in it. Identifiers are qualified names."""
    docs = []
    for mod_name, module in sorted(modules.items()):
        doc = _documented(module)
        if doc:
            docs.append((mod_name, doc))
        for name, obj in sorted(vars(module).items()):
            if name.startswith("_") or getattr(obj, "__module__", None) != mod_name:
                continue
            if not (inspect.isclass(obj) or inspect.isroutine(obj)):
                continue
            doc = _documented(obj)
            if doc:
                docs.append((f"{mod_name}.{name}", doc))
            if inspect.isclass(obj):
                for attr, member in sorted(vars(obj).items()):
                    if attr.startswith("_"):
                        continue
                    member = getattr(member, "__func__", member)  # classmethod / staticmethod
                    if inspect.isroutine(member) and _documented(member):
                        docs.append((f"{mod_name}.{name}.{attr}", member.__doc__))
    return docs


def summary_line(doc: str, width: int) -> str:
    line = next((s.strip() for s in doc.strip().splitlines() if s.strip()), "")
    return line if len(line) <= width else line[: width - 3] + "..."


QUERIES = [
    "parse command line arguments",
    "compress data with gzip",
    "create a temporary directory",
    "regular expression search pattern",
    "run a function in a thread pool",
    "serialize objects to json",
    "current date and time in a timezone",
    "copy a file and its permissions",
]


def main() -> None:
    import vantoro

    start = time.perf_counter()
    modules = import_modules(stdlib_module_names())
    with warnings.catch_warnings():  # reading attributes of deprecated modules warns
        warnings.simplefilter("ignore")
        documents = gather_documents(modules)
    pairs = [(doc_id, tokenize(doc_id.replace(".", " ").replace("_", " ") + " " + doc))
             for doc_id, doc in documents]
    texts = dict(documents)
    gathered_s = time.perf_counter() - start

    index = vantoro.BM25()
    with quiet():  # add_documents and freeze print a progress line per document / token on fd 1
        t0 = time.perf_counter()
        index.add_documents(pairs)
        t1 = time.perf_counter()
        index.freeze()
        t2 = time.perf_counter()
    n_tokens = sum(len(tokens) for _, tokens in pairs)
    vocabulary = len({t for _, tokens in pairs for t in tokens})
    print(f"Indexed {len(pairs):,} docstrings ({n_tokens:,} tokens, {vocabulary:,} distinct) from "
          f"{len(modules):,} modules: gathered in {gathered_s:.2f} s, add_documents {(t1 - t0) * 1e3:.1f} ms, "
          f"freeze {(t2 - t1) * 1e3:.1f} ms")

    queries = [tokenize(q) for q in QUERIES]
    for query in queries:  # warm caches, so the timings below show steady state
        index.search(query, 5)
        index.search_instance(query, 5)
    timings = []
    for text, query in zip(QUERIES, queries):
        t0 = time.perf_counter()
        hits = index.search(query, 5)
        t1 = time.perf_counter()
        on_the_fly = index.search_instance(query, 5)
        t2 = time.perf_counter()
        timings.append((text, t1 - t0, t2 - t1, [d for d, _ in hits] == [d for d, _ in on_the_fly]))
        print(f"\n{text!r}  ->  tokens {query}")
        print(f"  {'#':>2}  {'score':>6}  {'name':<44}  summary")
        for rank, (doc_id, score) in enumerate(hits, start=1):
            name = doc_id if len(doc_id) <= 44 else doc_id[:41] + "..."
            print(f"  {rank:>2}  {score:6.2f}  {name:<44}  {summary_line(texts[doc_id], 60)}")

    t0 = time.perf_counter()
    index.batch_search(queries, 5)  # the first call starts the worker pool
    first_s = time.perf_counter() - t0
    t0 = time.perf_counter()
    batch = index.batch_search(queries, 5)
    batch_s = time.perf_counter() - t0
    same = all([d for d, _ in b] == [d for d, _ in index.search(q, 5)] for b, q in zip(batch, queries))

    print(f"\n{'query':<40}  {'search':>9}  {'search_instance':>15}  same top 5")
    for text, stored_s, fly_s, agree in timings:
        print(f"{text:<40}  {stored_s * 1e6:7.1f}us  {fly_s * 1e6:13.1f}us  {'yes' if agree else 'no (ties)'}")
    print(f"batch_search of all {len(queries)} queries: {batch_s * 1e6:.1f} us "
          f"(first call, which starts the worker pool: {first_s * 1e6:.1f} us); "
          f"same top 5 as search: {'yes' if same else 'no (ties)'}")


if __name__ == "__main__":
    main()
