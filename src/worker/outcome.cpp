#include "worker/outcome.h"

#include "collab/holder.h"
#include "common/call.h"
#include "common/error.h"

using vt::Ref;
using vt::take;

namespace vtm::worker {

namespace {

constexpr Py_ssize_t kMessageChars = 200;
constexpr Py_ssize_t kGroupChars = 100;

}  // namespace

void Utf8::set(PyObject* o, Of of, Py_ssize_t limit, std::string_view fallback) {
  keep_.reset();
  view_ = fallback;
  vt::quietly([&] {
    Ref text = PyUnicode_CheckExact(o) && of == Of::Str ? Ref::of(o)
               : of == Of::Str                          ? take(PyObject_Str(o))
                                                        : take(PyObject_Repr(o));
    if (PyUnicode_GET_LENGTH(text.get()) > limit) text = take(PyUnicode_Substring(text, 0, limit));
    Py_ssize_t n = 0;
    // A str caches its UTF-8 form: a group's value costs no copy per run.
    if (const char* p = PyUnicode_AsUTF8AndSize(text, &n)) {
      keep_ = std::move(text);
      view_ = std::string_view(p, static_cast<std::size_t>(n));
      return;
    }
    PyErr_Clear();
    Ref bytes = take(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    view_ = std::string_view(PyBytes_AS_STRING(bytes.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    keep_ = std::move(bytes);
  });
}

void describe_exception(PyObject* exc, Utf8& kind, Utf8& message) {
  kind.literal("BaseException");
  vt::quietly([&] {
    PyTypeObject* type = Py_TYPE(exc);
    Ref qualname = take(PyType_GetQualName(type));
    Ref module = take(PyType_GetModuleName(type));
    Ref name =
        PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module, "builtins") != 0
            ? take(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()))
            : qualname;
    kind.set(name, Utf8::Of::Str, PY_SSIZE_T_MAX, "BaseException");
  });
  message.set(exc, Utf8::Of::Str, kMessageChars, "<exception str() failed>");
}

void describe_break(PyObject* result, Utf8& kind, Utf8& message) {
  kind.literal("break result");
  message.set(result, Utf8::Of::Repr, kMessageChars, "<repr() failed>");
}

void group_of(PyObject* kwargs, PyObject* key, Utf8& out) {
  out.literal("");
  if (!kwargs) return;
  PyObject* value = nullptr;
  // A run without the argument, or whose look-up fails, is in group "".
  if (PyDict_GetItemRef(kwargs, key, &value) <= 0) {
    PyErr_Clear();
    return;
  }
  Ref keep = Ref::steal(value);
  out.set(value, Utf8::Of::Str, kGroupChars, "<str() failed>");
}

namespace {

// Whether the sink may write a debug message. Formatting a traceback costs
// some 200 us, which a run where every call fails would pay for nothing
// when only info is written: a VigilLog is asked as it decides itself (its
// logger, or one of its own handlers, takes that level); any other sink
// gets every message.
// The names looked up are the interned ones: each entry of the interpreter's
// type attribute cache (4,096 of them) holds the name object it was looked
// up with, so a string made afresh per failed run stayed behind in hundreds.
bool debug_wanted(const State& st, PyObject* sink) {
  if (!PyObject_TypeCheck(sink, reinterpret_cast<PyTypeObject*>(st.vigil_log_cls.get())))
    return true;
  const Names& n = st.names;
  Ref debug = take(PyLong_FromLong(10));
  Ref logger = take(PyObject_GetAttr(sink, n.logger));
  if (vt::truth(vt::call_method(logger, n.hasHandlers)) &&
      vt::truth(vt::call_method(logger, n.isEnabledFor, {debug})))
    return true;
  Ref own = take(PyObject_GetAttr(sink, n.handlers));
  Ref handlers = take(PySequence_Tuple(own));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(handlers.get()); ++i) {
    Ref level = take(PyObject_GetAttr(PyTuple_GET_ITEM(handlers.get(), i), n.level));
    if (vt::check(PyObject_RichCompareBool(level, debug, Py_LE))) return true;
  }
  return false;
}

}  // namespace

void log_exception(const State& st, PyObject* sink, PyObject* name, PyObject* exc) {
  if (!sink || sink == Py_None) return;
  vt::quietly([&] {
    if (!debug_wanted(st, sink)) return;
    Ref traceback = take(PyImport_Import(st.names.traceback));
    Ref lines = vt::call_method(traceback, st.names.format_exception, {exc});
    Ref text = take(PyUnicode_Join(st.texts.empty, lines));
    collab::log(st, sink, collab::Level::Debug,
                take(PyUnicode_FromFormat("Task error: %S: %U", name, text.get())));
  });
}

}  // namespace vtm::worker
