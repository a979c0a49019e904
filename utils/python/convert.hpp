// Conversions between Python values and the engine's native values.
//
// Text is read in place: a view of the UTF-8 form that the str object keeps.
// Objects produced during a conversion (items of a user-defined sequence)
// are held in Pins until the call ends, so every view stays valid.
#pragma once

#include <string_view>
#include <vector>

#include "index/add_documents.hpp"
#include "index/search.hpp"
#include "python/errors.hpp"

namespace vantoro::python {

// New references held for the rest of the call.
class Pins {
 public:
  Pins() = default;
  Pins(const Pins&) = delete;
  Pins& operator=(const Pins&) = delete;
  ~Pins() {
    for (PyObject* object : objects_) Py_DECREF(object);
  }
  void hold(PyObject* object) { objects_.push_back(object); }

 private:
  std::vector<PyObject*> objects_;
};

void prefix_type_error(const char* name);

// Runs one argument's conversion; a TypeError it raises is replaced by one
// whose message starts "argument '<name>': ".
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

std::string_view to_text(PyObject* value);
size_t to_count(PyObject* value);
Query to_token_list(PyObject* value, Pins& pins);
std::vector<Query> to_query_list(PyObject* value, Pins& pins);

// The documents of add_documents, checked whole before any is added.
class DocumentList final : public DocumentFeed {
 public:
  DocumentList(PyObject* value, Pins& pins);
  size_t size() const override { return direct_ ? static_cast<size_t>(PySequence_Fast_GET_SIZE(direct_)) : ids_.size(); }
  std::string_view read(size_t i, std::vector<std::string_view>& tokens) override;

 private:
  bool check_direct(PyObject* value);
  void collect(PyObject* value, Pins& pins);

  // Set when every level is a plain list or tuple of str: the documents are
  // then read straight from the Python objects, with no copy of the list.
  PyObject* direct_ = nullptr;
  std::vector<std::string_view> ids_;
  std::vector<size_t> ends_;  // end of each document's run in tokens_
  std::vector<std::string_view> tokens_;
};

PyObject* to_python(const Index& index, const ResultList& results);
PyObject* to_python(const Index& index, const std::vector<ResultList>& results);

}  // namespace vantoro::python
