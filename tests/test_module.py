"""The module object, the BM25 class and its construction."""
import gc
import weakref

import pytest

import vantoro
from conftest import run_python

METHODS = [
    ("save_index", "($self, path)"),
    ("save_token_index", "($self, path)"),
    ("save", "($self, save_directory)"),
    ("load", "($self, load_directory)"),
    ("freeze", "($self)"),
    ("search", "($self, tokenized_quries, n)"),
    ("search_instance", "($self, tokenized_query, n)"),
    ("batch_search", "($self, tokenized_queries, n)"),
    ("add_documents", "($self, tokenized_docs)"),
    ("add_document", "($self, id, tokenized_doc)"),
]


def test_module_attributes():
    assert vantoro.__all__ == ["BM25"]
    assert vantoro.__doc__ == ""
    public = {name for name in dir(vantoro) if not name.startswith("__")}
    assert public == {"BM25"}
    assert vantoro.BM25.__module__ == "builtins"
    assert vantoro.BM25.__name__ == "BM25"
    assert vantoro.BM25.__qualname__ == "BM25"
    assert vantoro.BM25.__doc__ is None


def test_method_table_in_order_with_text_signatures():
    own = [name for name in vantoro.BM25.__dict__ if not name.startswith("__")]
    assert own == [name for name, _ in METHODS]
    for name, signature in METHODS:
        method = getattr(vantoro.BM25, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ is None


def test_class_is_final_and_instances_are_closed():
    with pytest.raises(TypeError):
        type("Sub", (vantoro.BM25,), {})
    bm = vantoro.BM25()
    with pytest.raises(AttributeError):
        bm.x = 1
    with pytest.raises(TypeError):
        weakref.ref(bm)


def test_constructor_takes_no_arguments():
    with pytest.raises(TypeError) as one:
        vantoro.BM25(1)
    assert str(one.value) == "BM25.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as two:
        vantoro.BM25(1, 2)
    assert str(two.value) == "BM25.__new__() takes 0 positional arguments but 2 were given"
    with pytest.raises(TypeError) as keyword:
        vantoro.BM25(k1=2.0)
    assert str(keyword.value) == "BM25.__new__() got an unexpected keyword argument 'k1'"


def test_instances_are_independent_and_released():
    first, second = vantoro.BM25(), vantoro.BM25()
    first.add_document("d", ["x"])
    assert first.search_instance(["x"], 5)[0][0] == "d"
    assert second.search_instance(["x"], 5) == []
    del first
    gc.collect()
    assert second.search_instance(["x"], 5) == []


def test_second_initialisation_is_refused():
    result = run_python(
        """
        import sys
        import vantoro
        del sys.modules["vantoro"]
        try:
            import vantoro
        except ImportError as error:
            print("ImportError", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError ")


def test_unbound_method_checks_its_receiver():
    with pytest.raises(TypeError):
        vantoro.BM25.freeze(object())
    with pytest.raises(TypeError):
        vantoro.BM25.search_instance("not an index", ["a"], 1)


def test_ray_integration_without_ray_names_the_extra():
    # Ray hidden from the import system, as in a core install.
    result = run_python(
        """
        import sys
        sys.modules["ray"] = None
        try:
            import vantoro_ray
        except ImportError as error:
            print(type(error).__name__, error.name, "|", error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError vantoro_ray | vantoro_ray needs Ray, which the core vantoro install does not "
        "include; install the extra with: pip install 'vantoro[ray]'"
    )
