// Conversions between Python values and the engine's native values.
//
// Text is read in place: a view of the UTF-8 form that the str object keeps.
// Python code can run in the middle of a conversion (a user-defined
// sequence's __len__, __iter__ or __getitem__, an __index__ method) and may
// empty any list read so far. So every object whose memory a view points
// into stays referenced by the call's Pins until the engine is done, unless
// the call reads only lists and tuples of str and an int, where no Python
// code can run at all and the items are borrowed.
#pragma once

#include <string_view>
#include <vector>

#include "index/add_documents.hpp"
#include "index/search.hpp"
#include "python/errors.hpp"

namespace vantoro::python {

// References held for the rest of the call.
class Pins {
 public:
  // `borrow`: the caller has checked that no Python code can run until the
  // engine is done, so items read from lists need no reference of their own.
  explicit Pins(bool borrow = false) : borrow_(borrow) {}
  Pins(const Pins&) = delete;
  Pins& operator=(const Pins&) = delete;
  ~Pins() {
    for (PyObject* object : objects_) Py_DECREF(object);
  }
  bool borrowing() const { return borrow_; }
  // Takes over a new reference.
  void hold(PyObject* object) {
    try {
      objects_.push_back(object);
    } catch (...) {
      Py_DECREF(object);
      throw;
    }
  }
  // Keeps a borrowed item of a list alive, unless borrowing is safe.
  void keep(PyObject* object) {
    if (borrow_) return;
    objects_.push_back(object);
    Py_INCREF(object);
  }

 private:
  bool borrow_;
  std::vector<PyObject*> objects_;
};

// Whether converting the value runs no Python code: an exact list or tuple of
// str; of such token lists (documents: DocumentList::read_plain). Checking
// runs no code either and raises nothing.
bool is_plain_token_list(PyObject* value);
bool is_plain_query_list(PyObject* value);
// An int (or a subclass): reading it as a count runs no Python code.
inline bool is_plain_count(PyObject* value) { return PyLong_Check(value); }

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
  // Whether `value` is a plain list or tuple of (str, plain list or tuple
  // of str) tuples, found in one pass that reads every text once, in order:
  // a text with no UTF-8 form fails here, before any document is added, so
  // that read() cannot fail. Returns false, having raised nothing, at the
  // first part that is not plain: the general conversion then reads the
  // parts before it again with the same outcome, since reading them ran no
  // Python code.
  static bool read_plain(PyObject* value);
  // With pins that borrow, `value` must have passed read_plain.
  DocumentList(PyObject* value, Pins& pins);
  size_t size() const override { return direct_ ? static_cast<size_t>(PySequence_Fast_GET_SIZE(direct_)) : ids_.size(); }
  std::string_view read(size_t i, std::vector<std::string_view>& tokens) override;

 private:
  void collect(PyObject* value, Pins& pins);

  // Set when every level is a plain list or tuple of str: the documents are
  // then read straight from the Python objects, with no copy of the list;
  // no Python code runs before the engine is done with them.
  PyObject* direct_ = nullptr;
  std::vector<std::string_view> ids_;
  std::vector<size_t> ends_;  // end of each document's run in tokens_
  std::vector<std::string_view> tokens_;
};

PyObject* to_python(const Index& index, const ResultList& results);
PyObject* to_python(const Index& index, const std::vector<ResultList>& results);

}  // namespace vantoro::python
