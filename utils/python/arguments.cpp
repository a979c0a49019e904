#include "python/arguments.hpp"

#include <string>
#include <string_view>

namespace vantoro::python {
namespace {

std::string full_name(const ArgumentSpec& spec) { return std::string("BM25.") + spec.method + "()"; }

[[noreturn]] void too_many_positional(const ArgumentSpec& spec, Py_ssize_t given) {
  raise(PyExc_TypeError, full_name(spec) + " takes " + std::to_string(spec.count) + " positional arguments but " +
                             std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

std::string keyword_text(PyObject* name) {
  if (PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text) return std::string(text, static_cast<size_t>(size));
    PyErr_Clear();
    // A name with a lone surrogate: kept as such, for raise() to give back.
    PyObject* bytes = PyUnicode_AsEncodedString(name, "utf-8", "surrogatepass");
    if (bytes) {
      std::string kept(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
      Py_DECREF(bytes);
      return kept;
    }
    PyErr_Clear();
  }
  PyObject* shown = PyObject_Str(name);
  std::string text;
  if (shown) {
    const char* utf8 = PyUnicode_AsUTF8(shown);
    if (utf8) text = utf8;
    Py_DECREF(shown);
  }
  PyErr_Clear();
  return text;
}

// Puts one keyword argument into its slot.
void place_keyword(const ArgumentSpec& spec, PyObject* name, PyObject* value, PyObject** slots) {
  const std::string text = keyword_text(name);
  for (size_t i = 0; i < spec.count; ++i) {
    if (text == spec.names[i]) {
      if (slots[i]) raise(PyExc_TypeError, full_name(spec) + " got multiple values for argument '" + text + "'");
      slots[i] = value;
      return;
    }
  }
  raise(PyExc_TypeError, full_name(spec) + " got an unexpected keyword argument '" + text + "'");
}

void check_missing(const ArgumentSpec& spec, PyObject** slots) {
  size_t missing = 0;
  for (size_t i = 0; i < spec.count; ++i) missing += slots[i] == nullptr;
  if (missing == 0) return;
  std::string list;
  size_t listed = 0;
  for (size_t i = 0; i < spec.count; ++i) {
    if (slots[i]) continue;
    if (listed > 0) {
      if (missing == 2) {
        list += " and ";
      } else {
        list += listed + 1 == missing ? ", and " : ", ";
      }
    }
    list += "'";
    list += spec.names[i];
    list += "'";
    ++listed;
  }
  raise(PyExc_TypeError, full_name(spec) + " missing " + std::to_string(missing) + " required positional " +
                             (missing == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

void match_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
  for (size_t i = 0; i < spec.count; ++i) slots[i] = nullptr;
  if (static_cast<size_t>(nargs) > spec.count) too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) place_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
  }
  check_missing(spec, slots);
}

void match_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
  for (size_t i = 0; i < spec.count; ++i) slots[i] = nullptr;
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  if (static_cast<size_t>(nargs) > spec.count) too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) place_keyword(spec, name, value, slots);
  }
  check_missing(spec, slots);
}

}  // namespace vantoro::python
