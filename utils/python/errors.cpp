#include "python/errors.hpp"

#include <unistd.h>

namespace vantoro::python {

void raise(PyObject* type, const std::string& message) {
  // By length, not as a C string: a message may hold a NUL character.
  // A lone surrogate that a name held comes back as itself; any other byte
  // that is not UTF-8 as a replacement character.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass");
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  }
  if (text) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonError{};  // with MemoryError pending when the text could not be made
}

void raise_pending() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  throw PythonError{};
}

std::string conversion_message(PyObject* value, std::string_view target) {
  std::string type_name = "<failed to extract type name>";
  PyObject* qualname = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__");
  if (qualname && PyUnicode_Check(qualname)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(qualname, &size);
    if (text) type_name.assign(text, static_cast<size_t>(size));
  }
  Py_XDECREF(qualname);
  PyErr_Clear();
  std::string message = "'";
  message += type_name;
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return message;
}

PyObject* fault_exception_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "native_runtime.FaultException",
        "Raised when native code called from Python fails fatally.\n\n"
        "Like SystemExit, it derives from BaseException, so that an ordinary\n"
        "`except Exception` does not catch it: it typically propagates through\n"
        "the whole stack and ends the interpreter.",
        PyExc_BaseException, nullptr);
    if (!type) Py_FatalError("failed to create the FaultException class");
  }
  return type;
}

namespace {

// The source path from the project's own root, for a shorter report.
std::string_view short_path(const char* path) {
  std::string_view p(path);
  size_t at = p.rfind("utils/");
  return at == std::string_view::npos ? p : p.substr(at);
}

void report_on_stderr(const Fault& fault) {
  std::string report = "vantoro: native failure at ";
  report += short_path(fault.where().file_name());
  report += ":";
  report += std::to_string(fault.where().line());
  report += ": ";
  report += fault.what();
  report += "\n";
  const char* p = report.data();
  size_t left = report.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void set_fault(const Fault& fault) {
  report_on_stderr(fault);
  const char* text = fault.what();
  PyObject* message = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::char_traits<char>::length(text)), "replace");
  if (!message) return;  // MemoryError is pending
  PyErr_SetObject(fault_exception_type(), message);
  Py_DECREF(message);
}

}  // namespace vantoro::python
