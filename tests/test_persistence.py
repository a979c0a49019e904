"""Saving and loading: the two JSON files, the messages on fd 1, the failure
texts, a save that never destroys the previous files and a load that is all
or nothing."""
import json
import os
import shutil
import stat
import tempfile

import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_python

import vantoro

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NUL_PATH = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'
BAD_UTF8 = 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'


def fault_message(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    assert type(excinfo.value).__name__ == "FaultException"
    return str(excinfo.value)


def os_error(code, kind):
    return 'Os { code: %d, kind: %s, message: "%s" }' % (code, kind, os.strerror(code))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def compact(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)


def assert_compact(path):
    """The file is UTF-8 JSON with no white space outside strings and no final line feed."""
    text = read(path).decode("utf-8")
    assert text == compact(json.loads(text))
    return json.loads(text)


def answers(bm, queries=(["a"], ["b"], ["a", "b"], ["é"], ["x"])):
    return [sorted(bm.search_instance(q, 100)) for q in queries]


DOCS = [
    ("d1", ["a", "b", "a"]),
    ("d2", ["b"]),
    ("", ["", "x"]),
    ('q"\\\t\x01\x1f/é\U0001f600', ['q"\\', "\n\r\b\f", "é", "\x7f\x00"]),
    ("empty", []),
]


@pytest.fixture
def filled():
    bm = vantoro.BM25()
    for doc_id, tokens in DOCS:
        bm.add_document(doc_id, tokens)
    return bm


def expected_files():
    documents, tokens = {}, {}
    for doc_id, toks in DOCS:
        counts = {}
        for t in toks:
            counts[t] = counts.get(t, 0) + 1
        documents[doc_id] = {"id": doc_id, "maps": counts}
        for t, c in counts.items():
            tokens.setdefault(t, {"text": t, "maps": {}})["maps"][doc_id] = c
    return documents, tokens


class TestRoundTrip:
    def test_save_writes_both_files_and_the_message(self, filled, tmp_path, capfd):
        filled.save(str(tmp_path))
        assert capfd.readouterr().out == "Saved index with 5 documents and 8 tokens\n"
        documents, tokens = expected_files()
        assert assert_compact(tmp_path / "index.json") == documents
        assert assert_compact(tmp_path / "token_index.json") == tokens
        assert sorted(os.listdir(tmp_path)) == ["index.json", "token_index.json"]

    def test_load_restores_an_equal_index(self, filled, tmp_path, capfd):
        filled.save(str(tmp_path) + "/")
        other = vantoro.BM25()
        other.add_document("old", ["a"])
        other.load(str(tmp_path))
        assert capfd.readouterr().out.endswith("Loaded index with 5 documents and 8 tokens\n")
        assert answers(other) == answers(filled)
        again = tmp_path / "again"
        again.mkdir()
        other.save(str(again))
        assert read(again / "index.json") == read(tmp_path / "index.json")
        assert read(again / "token_index.json") == read(tmp_path / "token_index.json")

    def test_empty_index(self, bm, tmp_path, capfd):
        bm.save(str(tmp_path))
        assert capfd.readouterr().out == "Saved index with 0 documents and 0 tokens\n"
        assert read(tmp_path / "index.json") == b"{}"
        assert read(tmp_path / "token_index.json") == b"{}"
        bm.load(str(tmp_path))
        assert capfd.readouterr().out == "Loaded index with 0 documents and 0 tokens\n"

    def test_records_are_kept_as_stored(self, bm, tmp_path, capfd):
        # Record ids that differ from their keys, extreme and negative counts,
        # the array form, ignored members, members in any order, blanks.
        write(tmp_path / "index.json", '{"k1": {"maps": {"a": -2147483648, "b": 0}, "extra": [{}], "id": "other"},\n'
                                       ' "k2": ["", {"a": 2147483647}]}\n')
        write(tmp_path / "token_index.json", '{"a":{"text":"A","maps":{"k1":-5,"nobody":3}}}')
        bm.load(str(tmp_path))
        assert capfd.readouterr().out == "Loaded index with 2 documents and 1 tokens\n"
        out = tmp_path / "out"
        out.mkdir()
        bm.save(str(out))
        assert assert_compact(out / "index.json") == {
            "k1": {"id": "other", "maps": {"a": -2147483648, "b": 0}},
            "k2": {"id": "", "maps": {"a": 2147483647}},
        }
        assert assert_compact(out / "token_index.json") == {"a": {"text": "A", "maps": {"k1": -5, "nobody": 3}}}

    def test_save_index_and_save_token_index_write_exactly_the_path(self, filled, tmp_path, capfd):
        path = str(tmp_path / "a.json")
        filled.save_index(path)
        documents, tokens = expected_files()
        assert assert_compact(path) == documents
        filled.save_token_index(path)
        assert assert_compact(path) == tokens
        assert os.listdir(tmp_path) == ["a.json"]
        assert capfd.readouterr().out == ""

    def test_empty_directory_text_is_the_working_directory(self, filled, tmp_path, monkeypatch, capfd):
        monkeypatch.chdir(tmp_path)
        filled.save("")
        assert sorted(os.listdir(tmp_path)) == ["index.json", "token_index.json"]
        other = vantoro.BM25()
        other.load("")
        assert answers(other) == answers(filled)

    def test_load_keeps_the_stored_weights(self, tmp_path, capfd):
        bm = vantoro.BM25()
        bm.add_document("d1", ["a"])
        bm.add_document("d2", ["b"])
        bm.freeze()
        frozen = bm.search(["a"], 5)
        bm.save(str(tmp_path))
        bm.load(str(tmp_path))
        assert bm.search(["a"], 5) == frozen  # weights are not saved, and load keeps them


class TestLoadThreads:
    """Load decodes the two files at the same time when the worker-pool size
    setting allows two threads; one thread, two, and a forked child must load
    the same index, and a failure is the same either way."""

    SNIPPET = """
        import os, sys
        import vantoro
        docs = [("doc-%08d" % i, ["w%d" % ((i * 7 + k * k) % 301) for k in range(i % 13)] + ["x"] * (i % 400 // 100))
                for i in range(6000)]
        bm = vantoro.BM25()
        for doc_id, tokens in docs:
            bm.add_document(doc_id, tokens)
        bm.save(sys.argv[1])
        fresh = vantoro.BM25()
        fresh.load(sys.argv[1])
        pid = os.fork()
        if pid == 0:
            child = vantoro.BM25()
            child.load(sys.argv[1])
            os._exit(0 if child.search_instance(["w3", "x"], 50) == bm.search_instance(["w3", "x"], 50) else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), repr(fresh.search_instance(["w3", "x"], 50)))
        try:
            with open(os.path.join(sys.argv[1], "token_index.json"), "a") as f:
                f.write(" x")
            fresh.load(sys.argv[1])
        except BaseException as error:
            print(error)
    """

    def test_one_thread_two_threads_and_a_forked_child_load_alike(self, tmp_path):
        outputs = []
        for threads in ("1", "2"):
            directory = tmp_path / threads
            directory.mkdir()
            result = run_python(self.SNIPPET, env={"RAYON_NUM_THREADS": threads}, args=[str(directory)])
            assert result.returncode == 0, result.stderr
            lines = [line for line in result.stdout.splitlines() if not line.startswith(("Saved", "Loaded"))]
            outputs.append(lines)
        assert outputs[0] == outputs[1]
        assert outputs[0][0].startswith("0 [('doc-")
        assert outputs[0][1].startswith(UNWRAP + 'Error("trailing characters"')


# Any text without lone surrogates: control characters, quotes, backslashes,
# non-BMP characters and the empty string included.
TEXT = st.text(st.characters(blacklist_categories=("Cs",)), max_size=6)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(docs=st.lists(st.tuples(TEXT, st.lists(TEXT, max_size=6)), max_size=6))
def test_round_trip_of_any_texts(tmp_path, capfd, docs):
    bm = vantoro.BM25()
    for doc_id, tokens in docs:
        bm.add_document(doc_id, tokens)
    bm.save(str(tmp_path))
    documents = assert_compact(tmp_path / "index.json")
    tokens_file = assert_compact(tmp_path / "token_index.json")
    expected = {}
    for doc_id, tokens in docs:
        if doc_id not in expected:
            counts = {}
            for t in tokens:
                counts[t] = counts.get(t, 0) + 1
            expected[doc_id] = {"id": doc_id, "maps": counts}
    assert documents == expected
    assert sum(len(t["maps"]) for t in tokens_file.values()) == sum(len(d["maps"]) for d in documents.values())
    loaded = vantoro.BM25()
    loaded.load(str(tmp_path))
    queries = [tokens[:2] for _, tokens in docs] + [[t] for _, tokens in docs for t in tokens]
    assert [sorted(loaded.search_instance(q, 50)) for q in queries] == [sorted(bm.search_instance(q, 50)) for q in queries]
    capfd.readouterr()


class TestSaveFailures:
    def test_missing_directory(self, filled, tmp_path, capfd):
        message = fault_message(lambda: filled.save(str(tmp_path / "missing")))
        assert message == "Unable to write file: " + os_error(2, "NotFound")
        assert capfd.readouterr().out == ""
        assert os.listdir(tmp_path) == []
        try:  # not an Exception: only BaseException catches it
            filled.save(str(tmp_path / "missing"))
        except Exception:  # noqa: BLE001
            pytest.fail("FaultException was caught as Exception")
        except BaseException:  # noqa: B902
            pass
        filled.save(str(tmp_path))  # the instance stays usable

    def test_directory_path_and_nul(self, filled, tmp_path, capfd):
        assert fault_message(lambda: filled.save_index(str(tmp_path))) == "Unable to write file: " + os_error(21, "IsADirectory")
        assert fault_message(lambda: filled.save_token_index(str(tmp_path / "a\0b"))) == "Unable to write file: " + NUL_PATH
        assert fault_message(lambda: filled.save(str(tmp_path) + "\0")) == "Unable to write file: " + NUL_PATH
        assert os.listdir(tmp_path) == []

    def test_devices_are_written_in_place(self, filled):
        assert fault_message(lambda: filled.save_index("/dev/full")) == "Unable to write file: " + os_error(28, "StorageFull")
        filled.save_token_index("/dev/null")
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)

    def test_permission_bits_and_symbolic_links(self, filled, tmp_path):
        kept = tmp_path / "kept.json"
        write(kept, "old")
        os.chmod(kept, 0o640)
        filled.save_index(str(kept))
        assert stat.S_IMODE(os.stat(kept).st_mode) == 0o640
        real = tmp_path / "real.json"
        write(real, "old")
        os.symlink("real.json", tmp_path / "link.json")
        filled.save_index(str(tmp_path / "link.json"))
        assert os.path.islink(tmp_path / "link.json")
        assert read(real) == read(kept)
        assert sorted(os.listdir(tmp_path)) == ["kept.json", "link.json", "real.json"]

    def test_a_failed_save_keeps_the_previous_files(self, tmp_path):
        # Writing past the file-size limit fails with EFBIG once SIGXFSZ is ignored.
        write(tmp_path / "index.json", "previous documents")
        write(tmp_path / "token_index.json", "previous tokens")
        result = run_python(
            """
            import os, resource, signal, sys
            import vantoro
            bm = vantoro.BM25()
            bm.add_documents([("doc%d" % i, ["token%d" % (i % 50), "common"]) for i in range(2000)])
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            for call in (lambda: bm.save(sys.argv[1]), lambda: bm.save_index(sys.argv[1] + "/new.json")):
                try:
                    call()
                except BaseException as error:
                    print(type(error).__name__, error, file=sys.stderr)
            """.replace("sys.argv[1]", repr(str(tmp_path))),
            stdout=open(os.devnull, "w"),
        )
        failure = "FaultException Unable to write file: " + os_error(27, "FileTooLarge")
        faults = [line for line in result.stderr.splitlines() if line.startswith("FaultException")]
        assert faults == [failure, failure], result.stderr
        assert read(tmp_path / "index.json") == b"previous documents"
        assert read(tmp_path / "token_index.json") == b"previous tokens"
        assert sorted(os.listdir(tmp_path)) == ["index.json", "token_index.json"]  # no temporary, no new.json

    def test_failure_to_print_the_message_keeps_the_files(self, tmp_path):
        result = run_python(
            """
            import os, sys
            fd = os.open("/dev/full", os.O_WRONLY)
            os.dup2(fd, 1)
            import vantoro
            bm = vantoro.BM25()
            bm.add_document("d1", ["a"])
            try:
                bm.save(%r)
            except BaseException as error:
                print(type(error).__name__, error, file=sys.stderr)
            """ % str(tmp_path),
        )
        assert "FaultException failed printing to stdout: No space left on device (os error 28)" in result.stderr
        assert read(tmp_path / "index.json") == b'{"d1":{"id":"d1","maps":{"a":1}}}'


SAVED_D1 = '{"d1":{"id":"d1","maps":{"a":1}}}'
SAVED_A = '{"a":{"text":"a","maps":{"d1":1}}}'

# Mounts for the snippets below, in a mount namespace of the snippet's own
# process, so that nothing is visible outside it and all vanish with it.
MOUNTS = """
import ctypes, os, sys
import vantoro
libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 1, 32, 4096, 16384, 1 << 18
def call(result):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error))
try:
    call(libc.unshare(0x20000))  # CLONE_NEWNS
    call(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None))
    os.mkdir(sys.argv[1] + "/probe")
    call(libc.mount(b"tmpfs", (sys.argv[1] + "/probe").encode(), b"tmpfs", 0, b"size=64k"))
except OSError as error:
    print("unavailable:", error)
    sys.exit(0)
def tmpfs(name, options="size=1m"):
    path = os.path.join(sys.argv[1], name)
    os.mkdir(path)
    call(libc.mount(b"tmpfs", path.encode(), b"tmpfs", 0, options.encode()))
    return path
def put(path, text):
    with open(path, "w") as f:
        f.write(text)
def get(path):
    with open(path) as f:
        return f.read()
b = vantoro.BM25()
b.add_document("d1", ["a"])
"""


class TestSaveWhereNoTemporaryFileCanBeMade:
    """Where the temporary file cannot be created or renamed but the target
    can be written, save writes the target in place."""

    def test_path_with_no_room_for_a_temporary_name(self, filled, tmp_path):
        # open() takes a 4,090-byte path; the temporary name beside it would
        # pass the 4,096-byte limit.
        directory = str(tmp_path)
        while 4090 - len(directory) > 255:
            directory = os.path.join(directory, "d" * 200)
        directory = os.path.join(directory, "e" * (4090 - len(directory) - len("/index.json") - 1))
        os.makedirs(directory)
        path = os.path.join(directory, "index.json")
        assert len(path.encode()) == 4090
        write(path, "previous, longer than the new content " * 100)
        filled.save_index(path)
        documents, _ = expected_files()
        assert assert_compact(path) == documents
        assert os.listdir(directory) == ["index.json"]

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs files owned by another user")
    def test_sticky_directory_where_the_rename_is_refused(self):
        # Like /tmp: anyone may create files, but only a file's owner may
        # replace it. Our process may write the file, not rename over it.
        directory = tempfile.mkdtemp()
        try:
            os.chmod(directory, 0o1777)
            for name in ("index.json", "token_index.json"):
                write(os.path.join(directory, name), "previous")
                os.chown(os.path.join(directory, name), 1, 1)
                os.chmod(os.path.join(directory, name), 0o666)
            result = run_python(
                """
                import os, sys
                import vantoro
                b = vantoro.BM25()
                b.add_document("d1", ["a"])
                os.setgid(65534)
                os.setuid(65534)
                b.save(sys.argv[1])
                """,
                args=[directory],
            )
            assert result.returncode == 0, result.stderr
            assert read(os.path.join(directory, "index.json")) == SAVED_D1.encode()
            assert read(os.path.join(directory, "token_index.json")) == SAVED_A.encode()
            assert os.stat(os.path.join(directory, "index.json")).st_uid == 1  # the same file
            assert sorted(os.listdir(directory)) == ["index.json", "token_index.json"]
        finally:
            shutil.rmtree(directory)

    def run_with_mounts(self, tmp_path, body):
        result = run_python(MOUNTS + textwrap.dedent(body), args=[str(tmp_path)])
        assert result.returncode == 0, result.stderr
        if result.stdout.startswith("unavailable:"):
            pytest.skip("no mount namespace here: " + result.stdout.strip())
        return result.stdout.splitlines()[-1]

    def test_writable_file_on_a_read_only_mount(self, tmp_path):
        # A file bind-mounted from a writable file system onto a read-only
        # one: the directory refuses new files with EROFS.
        out = self.run_with_mounts(tmp_path, """
            writable, read_only = tmpfs("writable"), tmpfs("read_only")
            for name in ("index.json", "token_index.json"):
                put(os.path.join(writable, name), "previous")
                put(os.path.join(read_only, name), "")
            call(libc.mount(b"none", read_only.encode(), None, MS_REMOUNT | MS_RDONLY, None))
            for name in ("index.json", "token_index.json"):
                source, target = os.path.join(writable, name), os.path.join(read_only, name)
                call(libc.mount(source.encode(), target.encode(), None, MS_BIND, None))
            try:
                open(os.path.join(read_only, "new"), "w")
            except OSError as error:
                assert error.errno == 30, error
            b.save(read_only)
            print(get(os.path.join(writable, "index.json")) + " " + get(os.path.join(writable, "token_index.json")))
        """)
        assert out == SAVED_D1 + " " + SAVED_A

    def test_file_system_without_free_inodes(self, tmp_path):
        out = self.run_with_mounts(tmp_path, """
            full = tmpfs("full", "size=1m,nr_inodes=16")
            put(os.path.join(full, "index.json"), "previous")
            put(os.path.join(full, "token_index.json"), "previous")
            try:
                for i in range(100):
                    put(os.path.join(full, "filler%d" % i), "")
            except OSError as error:
                assert error.errno == 28, error
            b.save(full)
            print(get(os.path.join(full, "index.json")) + " " + get(os.path.join(full, "token_index.json")))
        """)
        assert out == SAVED_D1 + " " + SAVED_A


class TestLoadFailures:
    @pytest.fixture
    def before(self, filled):
        return answers(filled)

    def check_unchanged(self, bm, before, tmp_path):
        assert answers(bm) == before
        out = tmp_path / "check"
        out.mkdir(exist_ok=True)
        bm.save(str(out))
        documents, tokens = expected_files()
        assert json.loads(read(out / "index.json")) == documents
        assert json.loads(read(out / "token_index.json")) == tokens

    def test_missing_files(self, filled, before, tmp_path, capfd):
        assert fault_message(lambda: filled.load(str(tmp_path / "missing"))) == "Unable to read file: " + os_error(2, "NotFound")
        write(tmp_path / "index.json", '{"n":{"id":"n","maps":{}}}')
        # Both files are read before either is decoded.
        assert fault_message(lambda: filled.load(str(tmp_path))) == "Unable to read file: " + os_error(2, "NotFound")
        assert fault_message(lambda: filled.load(str(tmp_path) + "\0")) == "Unable to read file: " + NUL_PATH
        assert capfd.readouterr().out == ""
        self.check_unchanged(filled, before, tmp_path)

    def test_token_file_that_does_not_decode_changes_nothing(self, filled, before, tmp_path, capfd):
        write(tmp_path / "index.json", '{"n":{"id":"n","maps":{"a":1}}}')
        write(tmp_path / "token_index.json", "[]")
        assert fault_message(lambda: filled.load(str(tmp_path))) == (
            UNWRAP + 'Error("invalid type: sequence, expected a map", line: 1, column: 0)'
        )
        assert capfd.readouterr().out == ""
        self.check_unchanged(filled, before, tmp_path)

    def test_invalid_utf8_and_directories(self, filled, before, tmp_path):
        write(tmp_path / "index.json", b'{"\xed\xa0\x80":{}}')  # an encoded surrogate
        write(tmp_path / "token_index.json", "{}")
        assert fault_message(lambda: filled.load(str(tmp_path))) == "Unable to read file: " + BAD_UTF8
        os.remove(tmp_path / "index.json")
        os.mkdir(tmp_path / "index.json")
        assert fault_message(lambda: filled.load(str(tmp_path))) == "Unable to read file: " + os_error(21, "IsADirectory")
        self.check_unchanged(filled, before, tmp_path)

    @pytest.mark.parametrize(
        "documents, error",
        [
            ("", 'Error("EOF while parsing a value", line: 1, column: 0)'),
            ('{"d1":{"id":"d1"}}', 'Error("missing field `maps`", line: 1, column: 17)'),
            ('{"d1":["d1"]}', 'Error("invalid length 1, expected struct Document with 2 elements", line: 1, column: 12)'),
            ('{"d1":["d1",{},3]}', 'Error("trailing characters", line: 1, column: 16)'),
            ('{"d1":{"id":"a","id":"b","maps":{}}}', 'Error("duplicate field `id`", line: 1, column: 35)'),
            ('{"d1":{"id":null,"maps":{}}}', 'Error("invalid type: null, expected a string", line: 1, column: 16)'),
            ('{"d":{"id":"d","maps":{"a":"3"}}}', 'Error("invalid type: string \\"3\\", expected i32", line: 1, column: 30)'),
            ('{"d":{"id":"d","maps":{"a":2147483648}}}',
             'Error("invalid value: integer `2147483648`, expected i32", line: 1, column: 37)'),
            ('{"d":{"id":"d","maps":{"a":1.0}}}', 'Error("invalid type: floating point `1`, expected i32", line: 1, column: 30)'),
            ('{"d":{"id":"d","maps":{"a":1e400}}}', 'Error("number out of range", line: 1, column: 32)'),
            ('{\n"d":{"id":"\\ud800"}}', 'Error("unexpected end of hex escape", line: 2, column: 18)'),
            ('{"a\x01"}', 'Error("control character (\\\\u0000-\\\\u001F) found while parsing a string", line: 1, column: 4)'),
            ('\ufeff{}', 'Error("expected value", line: 1, column: 1)'),
            ('{} x', 'Error("trailing characters", line: 1, column: 4)'),
        ],
    )
    def test_format_errors(self, filled, before, tmp_path, documents, error):
        write(tmp_path / "index.json", documents)
        write(tmp_path / "token_index.json", "{}")
        assert fault_message(lambda: filled.load(str(tmp_path))) == UNWRAP + error
        assert answers(filled) == before

    def test_hostile_nesting_does_not_crash(self, filled, before, tmp_path, capfd):
        deep = "[" * 2_000_000 + "]" * 2_000_000
        write(tmp_path / "index.json", '{"d":{"id":"d","maps":{},"x":%s}}' % deep)
        write(tmp_path / "token_index.json", '{"t":{"text":"t","maps":{},"x":%s}}' % ("{\"k\":" * 500_000 + "1" + "}" * 500_000))
        filled.load(str(tmp_path))
        assert capfd.readouterr().out == "Loaded index with 1 documents and 1 tokens\n"
        write(tmp_path / "index.json", '{"d":{"x":%s' % ("[" * 2_000_000))
        assert fault_message(lambda: filled.load(str(tmp_path))) == (
            UNWRAP + 'Error("EOF while parsing a list", line: 1, column: %d)' % (10 + 2_000_000)
        )
