#include "common/method.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "common/call.h"

namespace vt {

namespace {

std::string quoted_list(const Signature& sig, const Bound& b, std::size_t upto, int* n) {
  // 'a'; 'a' and 'b'; 'a', 'b' and 'c': the interpreter's wording.
  std::string names[kMaxParams];
  int count = 0;
  for (std::size_t i = 0; i < upto; ++i)
    if (!b.get<Borrowed>(i)) names[count++] = "'" + std::string(sig.params[i].name) + "'";
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += count > 2 ? (i == count - 1 ? ", and " : ", ") : " and ";
    out += names[i];
  }
  *n = count;
  return out;
}

[[noreturn]] void type_error(std::string_view qualname, const char* fmt, ...) {
  // Formats the tail after "qualname()" with PyUnicode_FromFormatV.
  va_list va;
  va_start(va, fmt);
  PyObject* tail = PyUnicode_FromFormatV(fmt, va);
  va_end(va);
  if (!tail) throw PyError{};
  Ref t = Ref::steal(tail);
  PyErr_Format(PyExc_TypeError, "%.*s()%U", static_cast<int>(qualname.size()), qualname.data(),
               t.get());
  throw PyError{};
}

Ref make_default(const Default& d) {
  switch (d.kind) {
    case Default::None:
      return Ref::of(Py_None);
    case Default::False:
      return Ref::of(Py_False);
    case Default::True:
      return Ref::of(Py_True);
    case Default::Int:
      return take(PyLong_FromLong(d.number));
    case Default::Str:
      return take(
          PyUnicode_FromStringAndSize(d.text.data(), static_cast<Py_ssize_t>(d.text.size())));
    case Default::Required:
      break;
  }
  return Ref();
}

// The parameter a keyword names; positional-only ones cannot be named.
int find_param(const Signature& sig, PyObject* key) {
  for (std::size_t i = sig.positional; i < sig.count; ++i) {
    std::string_view n = sig.params[i].name;
    if (PyUnicode_EqualToUTF8AndSize(key, n.data(), static_cast<Py_ssize_t>(n.size())))
      return static_cast<int>(i);
  }
  return -1;
}

// The positional-only parameters among the keywords, as "'a, b'", or an
// empty text when there are none.
std::string positional_only_named(const Signature& sig, PyObject* kwnames) {
  std::string out;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    for (std::size_t i = 0; i < sig.positional; ++i) {
      std::string_view n = sig.params[i].name;
      if (!PyUnicode_EqualToUTF8AndSize(key, n.data(), static_cast<Py_ssize_t>(n.size()))) continue;
      out += out.empty() ? "'" : ", ";
      out += n;
      break;
    }
  }
  return out.empty() ? out : out + "'";
}

}  // namespace

// In the order the interpreter checks a call of a Python function: the
// keywords, then the number of positional arguments, then what is missing.
void bind(std::string_view qualname, const Signature& sig, bool is_static, PyObject* const* args,
          Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
  nargs = PyVectorcall_NARGS(nargs);
  const Py_ssize_t self = is_static ? 0 : 1;
  const auto n = static_cast<Py_ssize_t>(sig.count);
  for (Py_ssize_t i = 0; i < std::min(nargs, n); ++i) out.values_[i] = args[i];
  const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nk; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    int idx = find_param(sig, key);
    if (idx < 0) {
      if (!sig.var_keywords) {
        const std::string named = positional_only_named(sig, kwnames);
        if (!named.empty())
          type_error(qualname,
                     " got some positional-only arguments passed as keyword arguments: %s",
                     named.c_str());
        type_error(qualname, " got an unexpected keyword argument '%U'", key);
      }
      if (!out.kwargs_) out.kwargs_ = take(PyDict_New());
      check(PyDict_SetItem(out.kwargs_, key, value));
      continue;
    }
    if (out.values_[idx]) type_error(qualname, " got multiple values for argument '%U'", key);
    out.values_[idx] = value;
  }
  if (nargs > n) {
    const auto req = static_cast<Py_ssize_t>(sig.required);
    if (req == n)
      type_error(qualname, " takes %zd positional argument%s but %zd %s given", n + self,
                 n + self == 1 ? "" : "s", nargs + self, nargs + self == 1 ? "was" : "were");
    type_error(qualname, " takes from %zd to %zd positional arguments but %zd were given",
               req + self, n + self, nargs + self);
  }
  int missing = 0;
  std::string names = quoted_list(sig, out, sig.required, &missing);
  if (missing)
    type_error(qualname, " missing %d required positional argument%s: %s", missing,
               missing == 1 ? "" : "s", names.c_str());
  for (std::size_t i = sig.required; i < sig.count; ++i) {
    if (out.values_[i]) continue;
    out.made_[i] = make_default(sig.params[i].dflt);
    out.values_[i] = out.made_[i].get();
  }
}

void bind_tuple(std::string_view qualname, const Signature& sig, PyObject* args, PyObject* kwargs,
                Bound& out) {
  // Laid out as a vectorcall: positionals, then keyword values (any number
  // of them, for a trailing **name).
  const Py_ssize_t np = PyTuple_GET_SIZE(args);
  const Py_ssize_t nk = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  std::vector<PyObject*> stack(static_cast<std::size_t>(np + nk));
  for (Py_ssize_t i = 0; i < np; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (nk) {
    kwnames = take(PyTuple_New(nk));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
      stack[np + k++] = value;
    }
  }
  bind(qualname, sig, false, stack.data(), np, kwnames.get(), out);
  // The values point into `args` and `kwargs`, which outlive the call.
}

double PositiveOrNone::number(const Rule& rule) const {
  if (is(Py_None)) return 0;
  if (PyBool_Check(get()) || !(PyLong_Check(get()) || PyFloat_Check(get())))
    raise_format(PyExc_TypeError, rule.type_text, Py_TYPE(get())->tp_name);
  double value = PyFloat_AsDouble(get());
  if (value == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
    PyErr_Clear();
    Ref zero = take(PyLong_FromLong(0));
    value = compare(*this, zero, Py_GT) ? std::numeric_limits<double>::max() : -1.0;
  }
  // (NaN is no number here: it fails the first test.)
  if (!(value > 0) || (!rule.infinite && std::isinf(value)))
    raise_format(PyExc_ValueError, rule.value_text, get());
  return value;
}

void install_static_methods(PyObject* type, PyObject* module, PyMethodDef* defs) {
  // Into the type's own namespace: the type is immutable once made, and
  // this is still its setting up.
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  Ref module_name = take(PyModule_GetNameObject(module));
  for (PyMethodDef* d = defs; d->ml_name; ++d) {
    Ref fn = take(PyCFunction_NewEx(d, module, module_name));
    Ref sm = take(PyStaticMethod_New(fn));
    check(PyDict_SetItemString(tp->tp_dict, d->ml_name, sm));
  }
  PyType_Modified(tp);
}

}  // namespace vt
