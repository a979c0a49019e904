"""Whole loads of damaged saved indexes, end to end: each load either works
or fails with its FaultException, and afterwards freeze and every search
either work or fail with theirs. A successful load must answer consistently
and survive a save and a second load; a failed one changes nothing.

VANTORO_HOSTILE_CASES sets the number of mutated cases (default 300)."""
import json
import os
import pathlib
import random
import re
import shutil
import tempfile

import pytest

import vantoro

CASES = int(os.environ.get("VANTORO_HOSTILE_CASES", "300"))
READ_FAILURES = ("Unable to read file: ", "called `Result::unwrap()` on an `Err` value: ")
INDEX_FAILURES = ("The index is not freezed", "called `Option::unwrap()` on a `None` value")

DOCS_A = [
    ("d1", ["a", "b", "a", "c"]),
    ("d2", ["b", "@", "a@b"]),
    ("", ["", "a"]),
    ("a@b", ["c"]),
    ("é\U0001f600\"\\\n", ["é", "\x00", "a"]),
    ("empty", []),
]
DOCS_B = [("d1", ["x", "a"]), ("other", ["b", "y", "y"]), ("d9", ["a", "z"])]
QUERIES = [["a"], ["b", "c"], ["@"], [""], ["é", "a@b"], ["x", "y", "z"], ["missing"], []]


def saved(tmp_path, name, docs):
    bm = vantoro.BM25()
    for doc_id, tokens in docs:
        bm.add_document(doc_id, tokens)
    directory = tmp_path / name
    directory.mkdir()
    bm.save(str(directory))
    return (directory / "index.json").read_bytes(), (directory / "token_index.json").read_bytes()


NUMBER = re.compile(rb"-?\d+")
HUGE = [b"2147483647", b"2147483648", b"-2147483648", b"-2147483649", b"99999999999999999999999",
        b"1e999", b"-0", b"0", b"-1", b"1.5", b"1e2"]
BAD_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80", b"\xe2\x82"]
SIGNIFICANT = [b'"', b"\\", b"{", b"}", b"[", b"]", b",", b":", b"\\u0000", b"\\ud800", b"null", b" "]


def restructure(rng, data):
    """Valid JSON that breaks the index's own rules: records removed or
    renamed, counts of any 32-bit value, postings of unknown names, the
    array form, extra members."""
    try:
        files = json.loads(data)
    except (ValueError, RecursionError):  # not JSON (any more), or too deep for this parser
        return data
    if not isinstance(files, dict) or not files:
        return data
    key = rng.choice(sorted(files))
    record = files[key]
    kind = rng.randrange(6)
    if kind == 0:
        del files[key]
    elif kind == 1:
        files[key + rng.choice(["x", "@", ""])] = files.pop(key)
    elif kind == 2 and isinstance(record, dict) and record.get("maps"):
        name = rng.choice(sorted(record["maps"]))
        record["maps"][name] = rng.choice([0, -1, 2**31 - 1, -2**31, 3])
    elif kind == 3 and isinstance(record, dict) and isinstance(record.get("maps"), dict):
        record["maps"][rng.choice(["nobody", "", "a", "d2", "zz"])] = rng.randint(-3, 3)
    elif kind == 4 and isinstance(record, dict):
        files[key] = [record.get("id", record.get("text", "")), record.get("maps", {})]
    else:
        files[rng.choice(["new", "", key])] = {"maps": {}, "id": "other", "text": "t", "extra": [[[]]]}
    return json.dumps(files, separators=(",", ":"), ensure_ascii=rng.random() < 0.5).encode("utf-8", "surrogatepass")


def mutate(rng, data, other):
    if rng.random() < 0.4:
        return restructure(rng, data)
    kind = rng.randrange(8)
    if not data:
        return rng.choice([b"", b"{}", b"[]", other])
    at = rng.randrange(len(data) + 1)
    if kind == 0:  # truncated
        return data[:at]
    if kind == 1:  # flipped bits
        out = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            out[rng.randrange(len(out))] ^= 1 << rng.randrange(8)
        return bytes(out)
    if kind == 2:  # huge, negative, fractional numbers
        numbers = list(NUMBER.finditer(data))
        if numbers:
            m = rng.choice(numbers)
            return data[:m.start()] + rng.choice(HUGE) + data[m.end():]
        return data + rng.choice(HUGE)
    if kind == 3:  # deep nesting, as an unknown member or in place of a value
        depth = rng.choice([10, 1000, 100000])
        nest = rng.choice([b"[" * depth + b"]" * depth, b'{"k":' * depth + b"1" + b"}" * depth, b"[" * depth])
        brace = data.find(b"{", at)
        if brace >= 0 and rng.random() < 0.5:
            return data[:brace + 1] + b'"zz":' + nest + b"," + data[brace + 1:]
        return data[:at] + nest + data[at:]
    if kind == 4:  # invalid UTF-8
        return data[:at] + rng.choice(BAD_UTF8) + data[at:]
    if kind == 5:  # JSON-significant text
        return data[:at] + rng.choice(SIGNIFICANT) + data[at:]
    if kind == 6:  # a slice copied elsewhere
        start = rng.randrange(len(data))
        piece = data[start:start + rng.randint(1, 40)]
        return data[:at] + piece + data[at:]
    return data[:at] + data[at + rng.randint(1, 20):]  # a slice removed


def outcome(call):
    """("ok", result) or ("fault", message); any other exception fails the test."""
    try:
        return "ok", call()
    except BaseException as error:  # noqa: B902 - FaultException derives from BaseException
        if type(error).__name__ != "FaultException":
            raise
        return "fault", str(error)


def check_results(results):
    assert type(results) is list
    for pair in results:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is str and type(pair[1]) is float


def same_answers(first, second):
    """Equal up to the order of ties and the last bits of sums."""
    if first[0] != second[0]:
        return False
    if first[0] == "fault":
        return first[1] == second[1]
    a, b = sorted(first[1]), sorted(second[1])
    return [d for d, _ in a] == [d for d, _ in b] and all(
        x == y or abs(x - y) <= 1e-5 * max(abs(x), abs(y)) or (x != x and y != y) for (_, x), (_, y) in zip(a, b))


def check_outcomes(outcomes):
    for status, value in outcomes:
        if status == "fault":
            assert value in INDEX_FAILURES, value
        elif type(value) is list and value and type(value[0]) is list:
            for entry in value:
                check_results(entry)
        else:
            check_results(value)


def exercise(bm):
    """Freeze, then every search: each works or fails with its message, and
    a batch answers like search, entry by entry."""
    status, value = outcome(bm.freeze)
    if status == "fault":
        assert value in INDEX_FAILURES, value
    stored = [outcome(lambda q=q: bm.search(q, 50)) for q in QUERIES]
    on_the_fly = [outcome(lambda q=q: bm.search_instance(q, 50)) for q in QUERIES]
    batch = outcome(lambda: bm.batch_search(QUERIES, 50))
    check_outcomes(stored + on_the_fly + [batch])
    if batch[0] == "ok":
        assert len(batch[1]) == len(QUERIES)
        for entry, single in zip(batch[1], stored):
            if single[0] == "ok":  # stored weights, as search uses them
                assert same_answers(("ok", entry), single), (entry, single)


@pytest.fixture
def fast_path():
    """A directory in memory where there is one: each loaded case is saved,
    and a save waits for the data to reach storage."""
    directory = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    yield pathlib.Path(directory)
    shutil.rmtree(directory)


def test_mutated_saved_indexes_load_or_fail_cleanly(fast_path, capfd):
    tmp_path = fast_path
    index_a, tokens_a = saved(tmp_path, "a", DOCS_A)
    index_b, tokens_b = saved(tmp_path, "b", DOCS_B)
    work = tmp_path / "work"
    work.mkdir()
    loaded = failed = 0
    for case in range(CASES):
        rng = random.Random(case)
        index, tokens = (index_a, tokens_a) if rng.random() < 0.7 else (index_b, tokens_b)
        other_index, other_tokens = (index_b, tokens_b) if index is index_a else (index_a, tokens_a)
        choice = rng.randrange(4)
        if choice == 3:  # files that disagree: one from each index, then damaged or not
            tokens = other_tokens
        for _ in range(rng.randint(0 if choice == 3 else 1, 3)):
            if rng.random() < 0.5:
                index = mutate(rng, index, other_index)
            else:
                tokens = mutate(rng, tokens, other_tokens)
        (work / "index.json").write_bytes(index)
        (work / "token_index.json").write_bytes(tokens)

        bm = vantoro.BM25()
        if rng.random() < 0.5:  # a loaded object that was frozen before
            for doc_id, toks in DOCS_B:
                bm.add_document(doc_id, toks)
            bm.freeze()
        before = [outcome(lambda q=q: bm.search_instance(q, 50)) for q in QUERIES]
        status, message = outcome(lambda: bm.load(str(work)))
        if status == "fault":
            failed += 1
            assert message.startswith(READ_FAILURES), (case, message)
            after = [outcome(lambda q=q: bm.search_instance(q, 50)) for q in QUERIES]
            assert all(same_answers(x, y) for x, y in zip(before, after)), case  # nothing changed
        else:
            loaded += 1
            # A loaded index saves and loads again to the same answers.
            again = tmp_path / "again"
            again.mkdir(exist_ok=True)
            bm.save(str(again))
            copy = vantoro.BM25()
            copy.load(str(again))
            mine = [outcome(lambda q=q: bm.search_instance(q, 50)) for q in QUERIES]
            theirs = [outcome(lambda q=q: copy.search_instance(q, 50)) for q in QUERIES]
            assert all(same_answers(x, y) for x, y in zip(mine, theirs)), case
            # Unfrozen, a batch answers like search_instance.
            fresh = vantoro.BM25()
            fresh.load(str(work))
            batch = outcome(lambda: fresh.batch_search(QUERIES, 50))
            singles = [outcome(lambda q=q: fresh.search_instance(q, 50)) for q in QUERIES]
            check_outcomes(singles + [batch])
            if batch[0] == "ok":
                assert all(same_answers(("ok", e), s) for e, s in zip(batch[1], singles)), case
            else:
                assert batch[1] in [s[1] for s in singles if s[0] == "fault"], case
        try:
            exercise(bm)
        except AssertionError as error:
            raise AssertionError("case %d: %s" % (case, error)) from error
        capfd.readouterr()  # progress lines and messages
    # The mutations reach both outcomes.
    print("hostile files: %d loaded, %d refused" % (loaded, failed))
    assert loaded > CASES // 20 and failed > CASES // 4, (loaded, failed)
