// Matching positional and keyword arguments to a method's parameters, with
// the interpreter-style messages for too many, unknown, repeated or missing
// arguments. Every parameter is required and may be given either way.
#pragma once

#include <array>
#include <cstddef>

#include "python/errors.hpp"

namespace vantoro::python {

struct ArgumentSpec {
  const char* method;          // "search", "__new__", ...
  const char* const* names;    // parameter names, in order
  size_t count;
};

// Fills slots[0 .. spec.count) with borrowed references (vectorcall form).
void match_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);

// The same for a positional tuple and a keyword dictionary (constructor).
void match_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace vantoro::python
