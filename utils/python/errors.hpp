// Python-side failures inside the native layer.
#pragma once

#include <string>
#include <string_view>

#include "fault.hpp"
#include "python/py.hpp"

namespace vantoro::python {

// Thrown after a Python exception has been set; the call scope returns NULL.
struct PythonError {};

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Throws PythonError if a Python exception is pending, else SystemError.
[[noreturn]] void raise_pending();

// "'<type qualname>' object cannot be converted to '<target>'"
std::string conversion_message(PyObject* value, std::string_view target);

// The exception class that carries fatal native failures, created on first use.
PyObject* fault_exception_type();

// Reports `fault` on standard error and sets it as FaultException.
void set_fault(const Fault& fault);

}  // namespace vantoro::python
