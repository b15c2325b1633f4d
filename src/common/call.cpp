#include "common/call.h"

namespace vt {

namespace {

constexpr std::size_t kMaxCallArgs = 12;

Ref vectorcall(PyObject* callable, PyObject* self, std::initializer_list<Borrowed> args,
               Keywords keywords, PyObject* method_name) {
  if (args.size() + keywords.size() > kMaxCallArgs)
    raise_format(PyExc_SystemError, "too many arguments for an internal call");
  // slot 0 is free for the vectorcall protocol's offset trick
  PyObject* stack[kMaxCallArgs + 2];
  std::size_t n = 1;
  if (self) stack[n++] = self;
  for (Borrowed a : args) stack[n++] = a;
  const std::size_t npos = n - 1;
  Ref kwnames;
  if (keywords.size()) {
    kwnames = take(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (auto& [k, v] : keywords) {
      PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(k));
      stack[n++] = v;
    }
  }
  const size_t nargsf = npos | PY_VECTORCALL_ARGUMENTS_OFFSET;
  if (method_name)
    return take(PyObject_VectorcallMethod(method_name, stack + 1, nargsf, kwnames.get()));
  return take(PyObject_Vectorcall(callable, stack + 1, nargsf, kwnames.get()));
}

}  // namespace

Ref call_method(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args) {
  return vectorcall(nullptr, obj, args, {}, name);
}

Ref call_method_kw(Borrowed obj, Borrowed name, std::initializer_list<Borrowed> args,
                   Keywords keywords) {
  return vectorcall(nullptr, obj, args, keywords, name);
}

Ref call_kw(Borrowed fn, std::initializer_list<Borrowed> args, Keywords keywords) {
  return vectorcall(fn, nullptr, args, keywords, nullptr);
}

Ref run_source(const char* source, const char* module_name) {
  Ref globals = take(PyDict_New());
  Ref builtins = take(PyImport_ImportModule("builtins"));
  check(PyDict_SetItemString(globals, "__builtins__", builtins));
  Ref name = take(PyUnicode_FromString(module_name));
  check(PyDict_SetItemString(globals, "__name__", name));
  take(PyRun_String(source, Py_file_input, globals, globals));
  return globals;
}

Ref defined(Borrowed namespace_, const char* name) {
  PyObject* obj = nullptr;
  if (!check(PyDict_GetItemStringRef(namespace_, name, &obj)))
    raise_format(PyExc_SystemError, "%s not defined", name);
  return Ref::steal(obj);
}

Ref deliver_pending(PyObject* flush) {
  PyObject* saved = PyErr_GetRaisedException();
  Ref r = Ref::steal(PyObject_CallNoArgs(flush));
  Ref delivered;
  if (!r) delivered = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetRaisedException(saved);
  return delivered;
}

Ref exc_text(Borrowed exc) {
  Ref s = Ref::steal(PyObject_Str(exc));
  if (s) return s;
  PyErr_Clear();
  return take(PyUnicode_FromString(""));
}

}  // namespace vt
