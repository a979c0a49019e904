#include "python/module_state.hpp"

#include <string>

#include "python/errors.hpp"

namespace vantoro::python {
namespace {

PyTypeObject* cached_type = nullptr;
PyType_Spec* cached_spec = nullptr;

// The text of a str, NUL characters included; empty if it has no UTF-8 form.
std::string text_of(PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<size_t>(size));
}

std::string describe_pending_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string text;
  if (type) {
    PyObject* name = PyObject_GetAttrString(type, "__name__");
    text = text_of(name);
    Py_XDECREF(name);
  }
  if (value) {
    PyObject* shown = PyObject_Str(value);
    if (shown) text += ": " + text_of(shown);
    Py_XDECREF(shown);
  }
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return text;
}

}  // namespace

PyTypeObject* bm25_type_or_null(PyType_Spec* spec) {
  if (!cached_type) {
    cached_spec = spec;
    cached_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (!cached_type && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  }
  return cached_type;
}

PyTypeObject* bm25_type() {
  if (!cached_type && cached_spec) bm25_type_or_null(cached_spec);
  if (!cached_type) {
    if (PyErr_Occurred()) PyErr_Print();
    throw Fault("failed to create type object for BM25");
  }
  return cached_type;
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    all = PyList_New(0);
    if (!all) raise_pending();
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      raise_pending();
    }
  }
  if (!PyList_Check(all)) {
    std::string message = conversion_message(all, "PyList");
    Py_DECREF(all);
    raise(PyExc_TypeError, message);
  }
  PyObject* entry = PyUnicode_FromString(name);
  const bool appended = entry && PyList_Append(all, entry) == 0;
  Py_XDECREF(entry);
  Py_DECREF(all);
  if (!appended) throw Fault("could not append __name__ to __all__: " + describe_pending_error());
  Py_INCREF(type);
  if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    raise_pending();
  }
  Py_DECREF(type);
}

}  // namespace vantoro::python
