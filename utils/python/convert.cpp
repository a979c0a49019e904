#include "python/convert.hpp"

#include <algorithm>

namespace vantoro::python {
namespace {

// A sequence may report any length; reserve no more than this up front.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

bool is_plain_sequence(PyObject* value) { return PyList_CheckExact(value) || PyTuple_CheckExact(value); }

// The checks shared by every list-like argument: a str is refused, then
// anything that is not a sequence.
void check_sequence(PyObject* value) {
  int is_str = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_str < 0) PyErr_Clear();
  if (is_str == 1) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) raise(PyExc_TypeError, conversion_message(value, "Sequence"));
}

Py_ssize_t reserve_hint(PyObject* value) {
  if (is_plain_sequence(value)) return PySequence_Fast_GET_SIZE(value);
  Py_ssize_t size = PySequence_Size(value);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(size, kMaxReserve);
}

// Calls visit(item) for each element, in order, exactly as iteration would
// see them. An item stays referenced for the rest of the call: a tuple holds
// its items while it lives, an item of a list is kept by `pins`, an item
// from iteration is held by `pins`.
template <class Visit>
void for_each_item(PyObject* value, Pins& pins, Visit&& visit) {
  if (PyList_CheckExact(value)) {
    // visit() may run Python code that shrinks the list: its length is read
    // again before each item, as the list's iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
      PyObject* item = PyList_GET_ITEM(value, i);
      pins.keep(item);
      visit(item);
    }
    return;
  }
  if (PyTuple_CheckExact(value)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < size; ++i) visit(PyTuple_GET_ITEM(value, i));
    return;
  }
  PyObject* iterator = PyObject_GetIter(value);
  if (!iterator) raise_pending();
  pins.hold(iterator);
  while (PyObject* item = PyIter_Next(iterator)) {
    pins.hold(item);
    visit(item);
  }
  if (PyErr_Occurred()) raise_pending();
}

void read_tokens(PyObject* value, Pins& pins, std::vector<std::string_view>& out) {
  if (!is_plain_sequence(value)) check_sequence(value);
  out.reserve(out.size() + static_cast<size_t>(reserve_hint(value)));
  for_each_item(value, pins, [&](PyObject* item) { out.push_back(to_text(item)); });
}

// The (identifier, tokens) tuple of one document.
PyObject* pair_items(PyObject* element, PyObject** id) {
  if (!PyTuple_Check(element)) raise(PyExc_TypeError, conversion_message(element, "PyTuple"));
  const Py_ssize_t size = PyTuple_GET_SIZE(element);
  if (size != 2) {
    raise(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(size));
  }
  *id = PyTuple_GET_ITEM(element, 0);
  return PyTuple_GET_ITEM(element, 1);
}

// Whether every item passes `plain`.
template <class Plain>
bool all_items(PyObject* value, Plain&& plain) {
  if (!is_plain_sequence(value)) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
  PyObject** items = PySequence_Fast_ITEMS(value);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!plain(items[i])) return false;
  }
  return true;
}

}  // namespace

bool is_plain_token_list(PyObject* value) { return all_items(value, [](PyObject* item) { return PyUnicode_Check(item); }); }

bool is_plain_query_list(PyObject* value) { return all_items(value, is_plain_token_list); }

void prefix_type_error(const char* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  // %S takes the exception's str() whole: NUL characters and lone
  // surrogates included.
  PyObject* text = PyUnicode_FromFormat("argument '%s': %S", name, value ? value : Py_None);
  PyObject* replacement = text ? PyObject_CallOneArg(PyExc_TypeError, text) : nullptr;
  Py_XDECREF(text);
  if (replacement) {
    PyObject* cause = value ? PyException_GetCause(value) : nullptr;  // new reference or NULL
    if (cause) PyException_SetCause(replacement, cause);  // steals it
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
  }  // else the failure to render is pending instead
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

std::string_view to_text(PyObject* value) {
  if (!PyUnicode_Check(value)) raise(PyExc_TypeError, conversion_message(value, "PyString"));
  // An ASCII string's characters are its UTF-8 bytes: read them in place.
  if (PyUnicode_IS_COMPACT_ASCII(value)) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(value)));
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) raise_pending();
  return std::string_view(text, static_cast<size_t>(size));
}

size_t to_count(PyObject* value) {
  PyObject* integer = PyNumber_Index(value);
  if (!integer) raise_pending();
  unsigned long long n = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending();
  return static_cast<size_t>(n);
}

Query to_token_list(PyObject* value, Pins& pins) {
  Query tokens;
  read_tokens(value, pins, tokens);
  return tokens;
}

std::vector<Query> to_query_list(PyObject* value, Pins& pins) {
  if (!is_plain_sequence(value)) check_sequence(value);
  std::vector<Query> queries;
  queries.reserve(static_cast<size_t>(reserve_hint(value)));
  for_each_item(value, pins, [&](PyObject* item) { queries.push_back(to_token_list(item, pins)); });
  return queries;
}

bool DocumentList::read_plain(PyObject* value) {
  if (!is_plain_sequence(value)) return false;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
  PyObject** items = PySequence_Fast_ITEMS(value);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* element = items[i];
    if (!PyTuple_Check(element) || PyTuple_GET_SIZE(element) != 2) return false;
    PyObject* id = PyTuple_GET_ITEM(element, 0);
    PyObject* tokens = PyTuple_GET_ITEM(element, 1);
    if (!PyUnicode_Check(id) || !is_plain_sequence(tokens)) return false;
    to_text(id);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(tokens);
    PyObject** token_items = PySequence_Fast_ITEMS(tokens);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!PyUnicode_Check(token_items[k])) return false;
      to_text(token_items[k]);
    }
  }
  return true;
}

DocumentList::DocumentList(PyObject* value, Pins& pins) {
  if (pins.borrowing()) {  // read_plain(value) was true
    direct_ = value;
    return;
  }
  collect(value, pins);
}

void DocumentList::collect(PyObject* value, Pins& pins) {
  if (!is_plain_sequence(value)) check_sequence(value);
  const auto hint = static_cast<size_t>(reserve_hint(value));
  ids_.reserve(hint);
  ends_.reserve(hint);
  for_each_item(value, pins, [&](PyObject* element) {
    PyObject* id = nullptr;
    PyObject* tokens = pair_items(element, &id);
    ids_.push_back(to_text(id));
    read_tokens(tokens, pins, tokens_);
    ends_.push_back(tokens_.size());
  });
}

std::string_view DocumentList::read(size_t i, std::vector<std::string_view>& tokens) {
  tokens.clear();
  if (direct_) {
    PyObject* id = nullptr;
    PyObject* list = pair_items(PySequence_Fast_ITEMS(direct_)[i], &id);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(list);
    PyObject** items = PySequence_Fast_ITEMS(list);
    tokens.reserve(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) tokens.push_back(to_text(items[k]));
    return to_text(id);
  }
  const size_t begin = i == 0 ? 0 : ends_[i - 1];
  tokens.assign(tokens_.begin() + static_cast<ptrdiff_t>(begin), tokens_.begin() + static_cast<ptrdiff_t>(ends_[i]));
  return ids_[i];
}

PyObject* to_python(const Index& index, const ResultList& results) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
  if (!list) raise_pending();
  for (size_t i = 0; i < results.size(); ++i) {
    std::string_view name = index.document_name(results[i].document);
    PyObject* id = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    PyObject* score = id ? PyFloat_FromDouble(static_cast<double>(results[i].score)) : nullptr;
    PyObject* pair = score ? PyTuple_New(2) : nullptr;
    if (!pair) {
      Py_XDECREF(id);
      Py_XDECREF(score);
      Py_DECREF(list);
      raise_pending();
    }
    PyTuple_SET_ITEM(pair, 0, id);
    PyTuple_SET_ITEM(pair, 1, score);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

PyObject* to_python(const Index& index, const std::vector<ResultList>& results) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
  if (!list) raise_pending();
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* inner = nullptr;
    try {
      inner = to_python(index, results[i]);
    } catch (...) {
      Py_DECREF(list);
      throw;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), inner);
  }
  return list;
}

}  // namespace vantoro::python
