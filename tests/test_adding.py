"""Adding documents and the progress lines that add_documents writes."""
import pytest

from conftest import fault_type, run_python


def ranked_ids(bm, query):
    return sorted(doc for doc, _ in bm.search_instance(query, 1000))


class TestAdding:
    def test_counts_and_duplicates(self, bm):
        bm.add_document("d1", ["a", "b", "a"])
        bm.add_document("d2", ["a"])
        bm.add_document("d1", ["z"])  # ignored: d1 exists
        assert ranked_ids(bm, ["a"]) == ["d1", "d2"]
        assert ranked_ids(bm, ["b"]) == ["d1"]
        assert ranked_ids(bm, ["z"]) == []

    def test_duplicate_within_one_list_keeps_the_first(self, bm, capfd):
        bm.add_documents([("x", ["p"]), ("x", ["q"])])
        assert ranked_ids(bm, ["p"]) == ["x"]
        assert ranked_ids(bm, ["q"]) == []

    def test_tokens_compare_by_exact_content(self, bm):
        bm.add_documents([("d1", ["A"]), ("d2", ["a"]), ("d3", ["a "]), ("", [""])])
        assert ranked_ids(bm, ["a"]) == ["d2"]
        assert ranked_ids(bm, ["A"]) == ["d1"]
        assert ranked_ids(bm, ["a "]) == ["d3"]
        assert ranked_ids(bm, [""]) == [""]

    def test_empty_document_counts_in_the_average(self, bm):
        bm.add_document("d1", ["x", "y"])
        before = bm.search_instance(["x"], 1)[0][1]
        bm.add_document("empty", [])
        after = bm.search_instance(["x"], 1)[0][1]
        assert after != before  # N and the average length changed
        assert ranked_ids(bm, ["x", "y"]) == ["d1"]

    def test_unicode_identifiers_and_tokens(self, bm):
        bm.add_document("dé\u4e2d", ["é", "\U0001f600"])
        assert bm.search_instance(["\U0001f600"], 1)[0][0] == "dé\u4e2d"

    def test_adding_does_not_touch_stored_weights(self, bm, capfd):
        bm.add_document("d1", ["a"])
        bm.freeze()
        frozen = bm.search(["a"], 5)
        bm.add_document("d2", ["b"])
        bm.add_documents([("d3", ["a"])])
        results = dict(bm.search(["a"], 5))
        assert results["d1"] == frozen[0][1]
        assert results["d3"] == 0.0


class TestProgressLines:
    def test_one_line_per_document_after_the_first_report(self, bm, capfd):
        bm.add_documents([("a", ["x"]), ("b", ["x"]), ("c", ["y"])])
        assert capfd.readouterr().out == (
            " 33% [######              ] 1/3\n"
            " 67% [#############       ] 2/3\n"
            "100% [####################] 3/3\n"
        )

    def test_empty_list_prints_nothing(self, bm, capfd):
        bm.add_documents([])
        bm.add_document("d", ["x"])
        assert capfd.readouterr().out == ""

    def test_rounding_and_padding(self, bm, capfd):
        bm.add_documents([(str(i), ["t"]) for i in range(8)])
        lines = capfd.readouterr().out.splitlines()
        assert lines[0] == " 13% [##                  ] 1/8"  # 12.5 rounds up
        bm.add_documents([("n%d" % i, ["t"]) for i in range(1000)])
        lines = capfd.readouterr().out.splitlines()
        assert len(lines) == 1000
        assert lines[0] == "  0% [                    ]    1/1000"
        assert lines[4] == "  1% [                    ]    5/1000"
        assert lines[993] == " 99% [################### ]  994/1000"
        assert lines[998] == "100% [####################]  999/1000"
        assert lines[999] == "100% [####################] 1000/1000"


class TestBrokenStandardOutput:
    def test_failed_write_fails_only_that_call(self):
        result = run_python(
            """
            import os
            fd = os.open("/dev/full", os.O_WRONLY)
            os.dup2(fd, 1)
            import vantoro
            bm = vantoro.BM25()
            try:
                bm.add_documents([("a", ["x"]), ("b", ["x"])])
            except BaseException as error:
                print(type(error).__name__, error, file=os.sys.stderr)
            print("after", [d for d, _ in bm.search_instance(["x"], 5)], file=os.sys.stderr)
            bm.add_documents([])
            bm.add_document("c", ["x"])
            try:
                bm.add_documents([("d", ["x"]), ("e", ["x"])])
            except BaseException as error:
                print(type(error).__name__, error, file=os.sys.stderr)
            print("later", sorted(d for d, _ in bm.search_instance(["x"], 5)), file=os.sys.stderr)
            """
        )
        err = result.stderr.splitlines()
        faults = [line for line in err if line.startswith("FaultException")]
        assert faults == ["FaultException failed printing to stdout: No space left on device (os error 28)"] * 2
        assert "after ['a']" in err
        assert "later ['a', 'c', 'd']" in err

    def test_closed_descriptor_is_silent(self):
        result = run_python(
            """
            import os, sys
            os.close(1)
            import vantoro
            bm = vantoro.BM25()
            bm.add_documents([("a", ["x"]), ("b", ["x"])])
            bm.freeze()
            print(sorted(d for d, _ in bm.search(["x"], 5)), file=sys.stderr)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stderr.strip() == "['a', 'b']"
