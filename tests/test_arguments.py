"""Argument matching, value conversion, access control and fatal failures."""
import pytest

import textwrap

import vantoro
from conftest import fault_type, run_python


def message(excinfo):
    return str(excinfo.value)


class TestMatching:
    def test_keywords_and_positions(self, bm):
        bm.add_document(id="d1", tokenized_doc=["a"])
        bm.freeze()
        assert bm.search(tokenized_quries=["a"], n=3)[0][0] == "d1"
        assert bm.search(["a"], n=3)[0][0] == "d1"
        assert bm.search_instance(tokenized_query=["a"], n=1)[0][0] == "d1"
        assert bm.batch_search(tokenized_queries=[["a"]], n=1)[0][0][0] == "d1"

    @pytest.mark.parametrize(
        "call, text",
        [
            (lambda bm: bm.search(tokenized_query=["a"], n=3),
             "BM25.search() got an unexpected keyword argument 'tokenized_query'"),
            (lambda bm: bm.search(tokenized_queries=["a"], n=3),
             "BM25.search() got an unexpected keyword argument 'tokenized_queries'"),
            (lambda bm: bm.search(["a"], n=3, tokenized_quries=["b"]),
             "BM25.search() got multiple values for argument 'tokenized_quries'"),
            (lambda bm: bm.search(["a"], 3, 4),
             "BM25.search() takes 2 positional arguments but 3 were given"),
            (lambda bm: bm.save("a", "b"),
             "BM25.save() takes 1 positional arguments but 2 were given"),
            (lambda bm: bm.search(["a"]),
             "BM25.search() missing 1 required positional argument: 'n'"),
            (lambda bm: bm.add_document(id="d1"),
             "BM25.add_document() missing 1 required positional argument: 'tokenized_doc'"),
            (lambda bm: bm.add_document(),
             "BM25.add_document() missing 2 required positional arguments: 'id' and 'tokenized_doc'"),
            (lambda bm: bm.add_document("d", doc_id="x"),
             "BM25.add_document() got an unexpected keyword argument 'doc_id'"),
            (lambda bm: bm.load("a", load_directory="b"),
             "BM25.load() got multiple values for argument 'load_directory'"),
        ],
    )
    def test_argument_errors(self, bm, call, text):
        with pytest.raises(TypeError) as excinfo:
            call(bm)
        assert message(excinfo) == text

    def test_texts_with_nul_are_kept_whole(self, bm):
        # Names with a NUL, and names with a lone surrogate (no UTF-8 form),
        # are shown as they are.
        for keyword, constructor_keyword in (("n\x00x", "a\x00b"), ("n\ud800", "\udfff\u00e9")):
            with pytest.raises(TypeError) as call:
                bm.search(["a"], **{keyword: 1})
            assert message(call) == f"BM25.search() got an unexpected keyword argument '{keyword}'"
            with pytest.raises(TypeError) as constructor:
                vantoro.BM25(**{constructor_keyword: 1})
            assert message(constructor) == f"BM25.__new__() got an unexpected keyword argument '{constructor_keyword}'"

        class Index:
            def __index__(self):
                raise TypeError("a\x00b")

        with pytest.raises(TypeError) as index:
            bm.search_instance(["a"], Index())
        assert message(index) == "argument 'n': a\x00b"
        named = type("Named", (), {})
        named.__qualname__ = "x\x00y"
        with pytest.raises(TypeError) as qualname:
            bm.save(named())
        assert message(qualname) == "argument 'save_directory': 'x\x00y' object cannot be converted to 'PyString'"

        class Surrogate:
            def __index__(self):
                raise TypeError("bad \ud800")

        with pytest.raises(TypeError) as surrogate:  # kept although it has no UTF-8 form
            bm.search_instance(["a"], Surrogate())
        assert message(surrogate) == "argument 'n': bad \ud800"

    def test_freeze_refuses_arguments(self, bm):

        with pytest.raises(TypeError):
            bm.freeze(1)


class TestConversion:
    @pytest.mark.parametrize(
        "call, kind, text",
        [
            (lambda bm: bm.add_document("d1", "abc"), TypeError,
             "argument 'tokenized_doc': Can't extract `str` to `Vec`"),
            (lambda bm: bm.add_document("d1", ["a", 1]), TypeError,
             "argument 'tokenized_doc': 'int' object cannot be converted to 'PyString'"),
            (lambda bm: bm.add_document(5, ["a"]), TypeError,
             "argument 'id': 'int' object cannot be converted to 'PyString'"),
            (lambda bm: bm.add_document(b"d", ["a"]), TypeError,
             "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
            (lambda bm: bm.add_documents([["d1", ["a"]]]), TypeError,
             "argument 'tokenized_docs': 'list' object cannot be converted to 'PyTuple'"),
            (lambda bm: bm.add_documents([("d1", ["a"], 3)]), ValueError,
             "expected tuple of length 2, but got tuple of length 3"),
            (lambda bm: bm.add_documents([("d1",)]), ValueError,
             "expected tuple of length 2, but got tuple of length 1"),
            (lambda bm: bm.add_documents("abc"), TypeError,
             "argument 'tokenized_docs': Can't extract `str` to `Vec`"),
            (lambda bm: bm.add_documents({("d", ("a",))}), TypeError,
             "argument 'tokenized_docs': 'set' object cannot be converted to 'Sequence'"),
            (lambda bm: bm.add_documents([("d", "ab")]), TypeError,
             "argument 'tokenized_docs': Can't extract `str` to `Vec`"),
            (lambda bm: bm.search_instance({"a"}, 1), TypeError,
             "argument 'tokenized_query': 'set' object cannot be converted to 'Sequence'"),
            (lambda bm: bm.search_instance(iter(["a"]), 1), TypeError,
             "argument 'tokenized_query': 'list_iterator' object cannot be converted to 'Sequence'"),
            (lambda bm: bm.batch_search(["ab"], 1), TypeError,
             "argument 'tokenized_queries': Can't extract `str` to `Vec`"),
            (lambda bm: bm.save_index(5), TypeError,
             "argument 'path': 'int' object cannot be converted to 'PyString'"),
            (lambda bm: bm.search_instance(["a"], -1), OverflowError, None),
            (lambda bm: bm.search_instance(["a"], 2**64), OverflowError, None),
        ],
    )
    def test_refusals(self, bm, call, kind, text):
        with pytest.raises(kind) as excinfo:
            call(bm)
        assert type(excinfo.value) is kind
        if text is not None:
            assert message(excinfo) == text

    def test_bad_n_has_argument_prefix(self, bm):
        with pytest.raises(TypeError) as excinfo:
            bm.search_instance(["a"], 2.0)
        assert message(excinfo).startswith("argument 'n': ")

    def test_lone_surrogate_passes_through(self, bm):
        with pytest.raises(UnicodeEncodeError):
            bm.add_document("\ud800", ["a"])

    def test_query_is_read_before_n(self, bm):
        with pytest.raises(TypeError) as excinfo:
            bm.search_instance(5, "n")
        assert message(excinfo).startswith("argument 'tokenized_query': ")

    def test_accepted_shapes(self, bm):
        bm.add_document("d1", ("a", "b"))
        bm.add_documents((("d2", ["a"]),))

        class Words(str):
            pass

        bm.add_document(Words("d3"), [Words("a")])
        assert {doc for doc, _ in bm.search_instance(["a"], True)} <= {"d1", "d2", "d3"}
        assert len(bm.search_instance(["a"], True)) == 1
        assert len(bm.search_instance(["a"], 10)) == 3

    def test_bad_element_anywhere_adds_nothing(self, bm):
        with pytest.raises(TypeError):
            bm.add_documents([("d1", ["a"]), ("d2", ["b"]), ("d3", [None])])
        assert bm.search_instance(["a", "b"], 10) == []

    def test_text_without_utf8_form_anywhere_adds_nothing(self, bm):
        # In a list read in place, and in one where a later document needs
        # the general conversion (a user sequence that counts its reads).
        reads = []

        class Tokens:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                reads.append(i)
                if i:
                    raise IndexError(i)
                return "c"

        for docs in ([("d1", ["a"]), ("d2", ["b", "\ud800"])],
                     [("d1", ["a"]), ("d2", ["b", "\ud800"]), ("d3", Tokens())],
                     [("d1", ["a"]), ("d3", Tokens()), ("\ud800", ["b"])]):
            with pytest.raises(UnicodeEncodeError):
                bm.add_documents(docs)
            assert bm.search_instance(["a", "b", "c"], 10) == []
        # Only the last list reached the user sequence: the error came after it.
        assert reads == [0, 1]

    def test_user_sequence_with_lying_length(self, bm):
        class Liar:
            def __len__(self):
                return 2**62

            def __getitem__(self, i):
                if i < 3:
                    return ["x", "y", "x"][i]
                raise IndexError(i)

        bm.add_document("d", Liar())
        bm.add_documents([("e", Liar())])
        assert sorted(doc for doc, _ in bm.search_instance(Liar(), 10)) == ["d", "e"]

    def test_every_list_argument_asks_a_user_sequence_for_its_length(self, bm):
        asked = []

        class Seq:
            def __init__(self, name, items):
                self.name, self.items = name, items

            def __len__(self):
                asked.append(self.name)
                return len(self.items)

            def __getitem__(self, i):
                return self.items[i]

        bm.add_documents(Seq("docs", [("d1", Seq("tokens", ["a"]))]))
        bm.add_document("d2", Seq("doc", ["a"]))
        bm.search_instance(Seq("query", ["a"]), 1)
        bm.batch_search(Seq("queries", [Seq("inner", ["a"])]), 1)
        assert asked == ["docs", "tokens", "doc", "query", "queries", "inner"]

    def test_errors_raised_by_iteration_pass_through(self, bm):

        class Broken:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                raise KeyError("boom")

        with pytest.raises(KeyError):
            bm.add_document("d", Broken())

    def test_results_are_lists_of_tuples(self, bm):
        bm.add_documents([("d1", ["a"]), ("d2", ["a", "b"])])
        result = bm.search_instance(["a"], 10)
        assert type(result) is list
        assert all(type(pair) is tuple and len(pair) == 2 for pair in result)
        assert all(type(doc) is str and type(score) is float for doc, score in result)
        batch = bm.batch_search([["a"], ["b"]], 10)
        assert type(batch) is list and len(batch) == 2
        assert bm.batch_search([], 10) == []


class TestAccess:
    def test_reentry_during_exclusive_access(self, bm):
        seen = []

        class Docs:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError(i)
                try:
                    bm.search_instance(["a"], 1)
                except RuntimeError as error:
                    seen.append(str(error))
                return ("d1", ["a"])

        bm.add_documents(Docs())
        assert seen == ["Already mutably borrowed"]
        assert bm.search_instance(["a"], 1)[0][0] == "d1"

    def test_reentry_during_shared_access(self, bm):
        bm.add_document("d1", ["a"])
        seen = []

        class Query:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                if i > 0:
                    raise IndexError(i)
                seen.append(bm.search_instance(["a"], 1)[0][0])
                try:
                    bm.add_document("d2", ["a"])
                except RuntimeError as error:
                    seen.append(str(error))
                return "a"

        assert bm.search_instance(Query(), 5)[0][0] == "d1"
        assert seen == ["d1", "Already borrowed"]

    def test_propagated_access_error_fails_outer_call_and_changes_nothing(self, bm):
        class Docs:
            def __len__(self):
                return 1

            def __getitem__(self, i):
                bm.add_document("inner", ["a"])

        with pytest.raises(RuntimeError) as excinfo:
            bm.add_documents(Docs())
        assert message(excinfo) == "Already borrowed"
        assert bm.search_instance(["a"], 5) == []
        bm.add_document("after", ["a"])  # access was released
        assert bm.search_instance(["a"], 5)[0][0] == "after"


class TestFaults:
    def test_fault_exception_class(self):
        fault = fault_type()
        assert fault.__name__ == "FaultException"
        assert fault.__module__ == "native_runtime"
        assert fault.__bases__ == (BaseException,)
        assert not issubclass(fault, Exception)
        assert "BaseException" in fault.__doc__

    def test_fault_is_not_an_exception_and_object_stays_usable(self, bm, capfd):
        with pytest.raises(BaseException) as excinfo:
            try:
                bm.search(["a"], 1)
            except Exception:  # must not catch it
                pytest.fail("FaultException was caught as Exception")
        assert type(excinfo.value).__name__ == "FaultException"
        assert excinfo.value.args == ("The index is not freezed",)
        assert "The index is not freezed" in capfd.readouterr().err
        bm.add_document("d", ["a"])
        assert bm.search_instance(["a"], 1)[0][0] == "d"


# Each snippet runs in its own interpreter (a read of freed memory may crash
# it) and prints what the call returned. The user-defined sequences run
# Python code in the middle of a conversion that empties lists whose items
# were already read, then allocates strings to reuse the freed memory.
LIFETIME_SETUP = """
import vantoro
def fresh(text):  # a str whose only reference is the caller's
    return "".join(list(text))
def churn():
    return [fresh("u%d" % (i % 10)) for i in range(5000)]
def show(*values):  # the lines that the test reads; progress lines go to fd 1 too
    print(">", *values)
b = vantoro.BM25()
for doc in [("d1", ["ta", "ta", "tc"]), ("d2", ["tb"]), ("d3", ["ta", "tb", "tc"])]:
    b.add_document(*doc)
"""


class TestConversionLifetime:
    def run(self, body):
        result = run_python(LIFETIME_SETUP + textwrap.dedent(body))
        assert result.returncode == 0, result.stderr
        return "".join(line[2:] + "\n" for line in result.stdout.splitlines() if line.startswith("> "))

    def test_batch_search_outer_list_emptied_by_a_query(self):
        # Reading stops where iteration of the list would stop.
        out = self.run("""
            outer = []
            class Q:
                def __len__(s): return 0
                def __getitem__(s, i): raise IndexError
                def __iter__(s):
                    outer.clear(); s.junk = churn(); return iter([])
            outer += [Q(), [fresh("ta")], [fresh("tb")]]
            show(b.batch_search(outer, 5))
        """)
        assert out == "[[]]\n"

    def test_batch_search_earlier_query_emptied_by_a_later_one(self):
        out = self.run("""
            first = [fresh("ta"), fresh("tc")]
            class Q:
                def __len__(s): return 1
                def __getitem__(s, i): raise IndexError(i)
                def __iter__(s):
                    first.clear(); s.junk = churn(); return iter([fresh("tb")])
            show(sorted(map(sorted, b.batch_search([first, Q()], 5))))
            show(sorted(map(sorted, b.batch_search([["ta", "tc"], ["tb"]], 5))))
        """)
        got, expected = out.splitlines()
        assert got == expected

    @pytest.mark.parametrize("method", ["search", "search_instance"])
    def test_query_emptied_by_the_index_method_of_n(self, method):
        out = self.run("""
            query = [fresh("ta"), fresh("tc")]
            class N:
                def __index__(s):
                    query.clear(); s.junk = churn(); return 5
            b.freeze()
            show(sorted(b.%s(query, N())))
            show(sorted(b.%s(["ta", "tc"], 5)))
        """ % (method, method))
        got, expected = out.splitlines()
        assert got == expected

    def test_batch_search_queries_emptied_by_the_index_method_of_n(self):
        out = self.run("""
            queries = [[fresh("ta")], [fresh("tb"), fresh("tc")]]
            class N:
                def __index__(s):
                    for q in queries: q.clear()
                    queries.clear(); s.junk = churn(); return 5
            show(sorted(map(sorted, b.batch_search(queries, N()))))
            show(sorted(map(sorted, b.batch_search([["ta"], ["tb", "tc"]], 5))))
        """)
        got, expected = out.splitlines()
        assert got == expected

    def test_add_documents_list_emptied_by_a_token_sequence(self):
        out = self.run("""
            docs = []
            class T:
                def __len__(s): return 1
                def __getitem__(s, i): raise IndexError(i)
                def __iter__(s):
                    docs.clear(); s.junk = churn(); return iter([fresh("tz")])
            docs += [(fresh("e0"), T()), (fresh("e1"), [fresh("tz")]), (fresh("e2"), [fresh("tz")])]
            b.add_documents(docs)
            show(sorted(d for d, _ in b.search_instance(["tz"], 10)))
        """)
        assert out == "['e0']\n"

    def test_add_documents_earlier_document_emptied_by_a_later_one(self):
        out = self.run("""
            first = [fresh("tz"), fresh("ty")]
            docs = [(fresh("e0"), first)]
            class T:
                def __len__(s): return 1
                def __getitem__(s, i): raise IndexError(i)
                def __iter__(s):
                    first.clear(); docs.clear(); s.junk = churn(); return iter([fresh("tz")])
            docs.append((fresh("e1"), T()))
            b.add_documents(docs)
            show(sorted(d for d, _ in b.search_instance(["tz"], 10)), b.search_instance(["ty"], 10)[0][0])
        """)
        assert out == "['e0', 'e1'] e0\n"

    def test_add_document_arguments_dropped_during_conversion(self):
        out = self.run("""
            kw = {}
            class T:
                def __len__(s): return 2
                def __getitem__(s, i): raise IndexError(i)
                def __iter__(s):
                    kw.clear(); s.junk = churn(); return iter([fresh("tz"), fresh("ty")])
            kw.update(id=fresh("e0"), tokenized_doc=T())
            b.add_document(**kw)
            show(b.search_instance(["tz", "ty"], 10)[0][0])
        """)
        assert out == "e0\n"
