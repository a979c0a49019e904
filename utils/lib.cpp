// The vantoro module: the BM25 class, its method table and the module's
// entry point. Each method converts its arguments, calls one engine
// operation and converts the result; all engine work is plain C++.
#include <array>
#include <atomic>
#include <new>

#include "index/add_documents.hpp"
#include "index/batch_search.hpp"
#include "index/freeze.hpp"
#include "index/index.hpp"
#include "index/search.hpp"
#include "persist/save_load.hpp"
#include "python/access.hpp"
#include "python/arguments.hpp"
#include "python/call_scope.hpp"
#include "python/convert.hpp"
#include "python/module_state.hpp"
#include "python/py.hpp"

namespace vantoro::python {
namespace {

struct BM25Object {
  PyObject_HEAD
  Index index;
  Py_ssize_t borrow;  // 0 free, k shared accesses, -1 exclusive
};

// Parameter lists, one per method.
constexpr const char* kPath[] = {"path"};
constexpr const char* kSaveDirectory[] = {"save_directory"};
constexpr const char* kLoadDirectory[] = {"load_directory"};
constexpr const char* kSearch[] = {"tokenized_quries", "n"};
constexpr const char* kSearchInstance[] = {"tokenized_query", "n"};
constexpr const char* kBatchSearch[] = {"tokenized_queries", "n"};
constexpr const char* kAddDocuments[] = {"tokenized_docs"};
constexpr const char* kAddDocument[] = {"id", "tokenized_doc"};

constexpr ArgumentSpec kNewSpec{"__new__", nullptr, 0};
constexpr ArgumentSpec kSaveIndexSpec{"save_index", kPath, 1};
constexpr ArgumentSpec kSaveTokenIndexSpec{"save_token_index", kPath, 1};
constexpr ArgumentSpec kSaveSpec{"save", kSaveDirectory, 1};
constexpr ArgumentSpec kLoadSpec{"load", kLoadDirectory, 1};
constexpr ArgumentSpec kSearchSpec{"search", kSearch, 2};
constexpr ArgumentSpec kSearchInstanceSpec{"search_instance", kSearchInstance, 2};
constexpr ArgumentSpec kBatchSearchSpec{"batch_search", kBatchSearch, 2};
constexpr ArgumentSpec kAddDocumentsSpec{"add_documents", kAddDocuments, 1};
constexpr ArgumentSpec kAddDocumentSpec{"add_document", kAddDocument, 2};

BM25Object& receiver(PyObject* self) {
  if (!self) {
    if (PyErr_Occurred()) PyErr_Print();
    throw Fault("method called without a receiver");
  }
  if (!PyType_IsSubtype(Py_TYPE(self), bm25_type())) raise(PyExc_TypeError, conversion_message(self, "BM25"));
  return *reinterpret_cast<BM25Object*>(self);
}

PyObject* none() { Py_RETURN_NONE; }

// The common frame of every method taking arguments: receiver check, access,
// argument matching, then body(index, matched arguments).
template <AccessMode mode, class Body>
PyObject* method(const ArgumentSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Body&& body) {
  return call_scope([&]() -> PyObject* {
    BM25Object& object = receiver(self);
    Access access(object.borrow, mode);
    std::array<PyObject*, 2> slots{};
    match_arguments(spec, args, nargs, kwnames, slots.data());
    return body(object.index, slots.data());
  });
}

#define METHOD_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
#define FORWARD_ARGS self, args, nargs, kwnames

PyObject* bm25_save_index(METHOD_ARGS) {
  return method<AccessMode::shared>(kSaveIndexSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    save_index(index, convert_argument("path", [&] { return to_text(a[0]); }));
    return none();
  });
}

PyObject* bm25_save_token_index(METHOD_ARGS) {
  return method<AccessMode::shared>(kSaveTokenIndexSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    save_token_index(index, convert_argument("path", [&] { return to_text(a[0]); }));
    return none();
  });
}

PyObject* bm25_save(METHOD_ARGS) {
  return method<AccessMode::shared>(kSaveSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    save(index, convert_argument("save_directory", [&] { return to_text(a[0]); }));
    return none();
  });
}

PyObject* bm25_load(METHOD_ARGS) {
  return method<AccessMode::exclusive>(kLoadSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    load(index, convert_argument("load_directory", [&] { return to_text(a[0]); }));
    return none();
  });
}

PyObject* bm25_freeze(PyObject* self, PyObject*) {
  return call_scope([&]() -> PyObject* {
    BM25Object& object = receiver(self);
    Access access(object.borrow, AccessMode::exclusive);
    freeze(object.index);
    return none();
  });
}

PyObject* bm25_search(METHOD_ARGS) {
  return method<AccessMode::shared>(kSearchSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    Pins pins(is_plain_token_list(a[0]) && is_plain_count(a[1]));
    Query query = convert_argument("tokenized_quries", [&] { return to_token_list(a[0], pins); });
    size_t n = convert_argument("n", [&] { return to_count(a[1]); });
    return to_python(index, search_stored(index, query, n));
  });
}

PyObject* bm25_search_instance(METHOD_ARGS) {
  return method<AccessMode::shared>(kSearchInstanceSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    Pins pins(is_plain_token_list(a[0]) && is_plain_count(a[1]));
    Query query = convert_argument("tokenized_query", [&] { return to_token_list(a[0], pins); });
    size_t n = convert_argument("n", [&] { return to_count(a[1]); });
    return to_python(index, search_on_the_fly(index, query, n));
  });
}

PyObject* bm25_batch_search(METHOD_ARGS) {
  return method<AccessMode::shared>(kBatchSearchSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    Pins pins(is_plain_query_list(a[0]) && is_plain_count(a[1]));
    std::vector<Query> queries = convert_argument("tokenized_queries", [&] { return to_query_list(a[0], pins); });
    size_t n = convert_argument("n", [&] { return to_count(a[1]); });
    return to_python(index, batch_search(index, queries, n));
  });
}

PyObject* bm25_add_documents(METHOD_ARGS) {
  return method<AccessMode::exclusive>(kAddDocumentsSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    Pins pins(convert_argument("tokenized_docs", [&] { return DocumentList::read_plain(a[0]); }));
    DocumentList documents = convert_argument("tokenized_docs", [&] { return DocumentList(a[0], pins); });
    add_documents(index, documents);
    return none();
  });
}

PyObject* bm25_add_document(METHOD_ARGS) {
  return method<AccessMode::exclusive>(kAddDocumentSpec, FORWARD_ARGS, [](Index& index, PyObject** a) {
    // `id` is held by the caller for the whole call.
    Pins pins(is_plain_token_list(a[1]));
    std::string_view id = convert_argument("id", [&] { return to_text(a[0]); });
    Query tokens = convert_argument("tokenized_doc", [&] { return to_token_list(a[1], pins); });
    index.add_document(id, tokens);
    return none();
  });
}

#undef METHOD_ARGS
#undef FORWARD_ARGS

PyObject* bm25_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return call_scope([&]() -> PyObject* {
    match_arguments(kNewSpec, args, kwargs, nullptr);
    Index index;
    allocfunc alloc = subtype->tp_alloc ? subtype->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (!self) raise_pending();
    auto* object = reinterpret_cast<BM25Object*>(self);
    new (&object->index) Index(std::move(index));
    object->borrow = 0;
    return self;
  });
}

void bm25_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<BM25Object*>(self)->index.~Index();
  type->tp_free(self);
  Py_DECREF(type);
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef bm25_methods[] = {
    {"save_index", FASTCALL(bm25_save_index), "save_index($self, path)\n--\n\n"},
    {"save_token_index", FASTCALL(bm25_save_token_index), "save_token_index($self, path)\n--\n\n"},
    {"save", FASTCALL(bm25_save), "save($self, save_directory)\n--\n\n"},
    {"load", FASTCALL(bm25_load), "load($self, load_directory)\n--\n\n"},
    {"freeze", bm25_freeze, METH_NOARGS, "freeze($self)\n--\n\n"},
    {"search", FASTCALL(bm25_search), "search($self, tokenized_quries, n)\n--\n\n"},
    {"search_instance", FASTCALL(bm25_search_instance), "search_instance($self, tokenized_query, n)\n--\n\n"},
    {"batch_search", FASTCALL(bm25_batch_search), "batch_search($self, tokenized_queries, n)\n--\n\n"},
    {"add_documents", FASTCALL(bm25_add_documents), "add_documents($self, tokenized_docs)\n--\n\n"},
    {"add_document", FASTCALL(bm25_add_document), "add_document($self, id, tokenized_doc)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL

PyType_Slot bm25_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(bm25_dealloc)},
    {Py_tp_methods, bm25_methods},
    {Py_tp_new, reinterpret_cast<void*>(bm25_new)},
    {0, nullptr},
};

PyType_Spec bm25_spec = {
    "builtins.BM25",
    static_cast<int>(sizeof(BM25Object)),
    0,
    Py_TPFLAGS_DEFAULT,
    bm25_slots,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "vantoro", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> initialized{false};

PyObject* initialize_module() {
  return call_scope([]() -> PyObject* {
    PyObject* module = PyModule_Create2(&module_definition, 1013);
    if (!module) raise_pending();
    if (initialized.exchange(true)) {
      Py_DECREF(module);
      raise(PyExc_ImportError, "vantoro can be initialized only once per interpreter process");
    }
    try {
      PyTypeObject* type = bm25_type_or_null(&bm25_spec);
      if (!type) raise_pending();
      add_class(module, "BM25", type);
    } catch (...) {
      Py_DECREF(module);
      throw;
    }
    return module;
  });
}

}  // namespace
}  // namespace vantoro::python

PyMODINIT_FUNC PyInit_vantoro(void) { return vantoro::python::initialize_module(); }
