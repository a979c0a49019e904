// Process-wide state of the module: the BM25 type object, created once.
#pragma once

#include "python/py.hpp"

namespace vantoro::python {

// Creates the type on first use from `spec`; returns NULL with an error set
// if that fails. Later calls return the cached type.
PyTypeObject* bm25_type_or_null(PyType_Spec* spec);

// The cached type for method wrappers; a creation failure is fatal here.
PyTypeObject* bm25_type();

// Adds `type` to `module` as `name` and lists it in `__all__`.
void add_class(PyObject* module, const char* name, PyTypeObject* type);

}  // namespace vantoro::python
