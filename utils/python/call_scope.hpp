// Every entry from the interpreter runs through call_scope: native failures
// become Python exceptions here and never escape into the interpreter.
#pragma once

#include <new>

#include "python/errors.hpp"

namespace vantoro::python {

// Calls body(); a PythonError returns NULL with its exception set, a Fault
// becomes FaultException, exhausted memory becomes MemoryError.
template <class Body>
PyObject* call_scope(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  } catch (const Fault& fault) {
    set_fault(fault);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_fault(Fault(e.what()));
  } catch (...) {
    set_fault(Fault("unknown native failure"));
  }
  return nullptr;
}

}  // namespace vantoro::python
