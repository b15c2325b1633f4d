// The texts the recorder keeps of a run's end (its failure's kind and
// message, its group), made on the worker's thread before the recorder's
// lock is taken, since making them runs Python code; and the debug log of a
// task's exception.
#pragma once
#include <string_view>

#include "common/ref.h"
#include "state/state.h"

namespace vtm::worker {

// UTF-8 text of an object's str() or repr(), at most `limit` characters,
// valid while this lives. Never fails: an object whose text cannot be had
// reads as `fallback`; lone surrogates are kept (surrogatepass).
class Utf8 {
 public:
  enum class Of { Str, Repr };
  void set(PyObject* o, Of of, Py_ssize_t limit, std::string_view fallback);
  void literal(std::string_view text) {
    keep_.reset();
    view_ = text;
  }
  std::string_view view() const { return view_; }

 private:
  vt::Ref keep_;
  std::string_view view_;
};

// An exception's kind (the qualified name of its type, with the module for
// types outside builtins) and its message, at most 200 characters.
void describe_exception(PyObject* exc, Utf8& kind, Utf8& message);
// The break result's kind and the repr of the value, at most 200 characters.
void describe_break(PyObject* result, Utf8& kind, Utf8& message);
// The group of a run: the str() of its keyword argument `key`, at most 100
// characters; "" when it has none.
void group_of(PyObject* kwargs, PyObject* key, Utf8& out);
// The exception of task `name`, with its traceback, at debug level through
// the manager's sink. A failing sink is ignored.
void log_exception(const State& st, PyObject* sink, PyObject* name, PyObject* exc);

}  // namespace vtm::worker
